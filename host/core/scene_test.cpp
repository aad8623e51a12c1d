#include "host/core/scene.h"

#include <gtest/gtest.h>

#include <cmath>

#include "host/core/host.h"

namespace {

const double kPi = 3.14159265358979323846;

void expect_vec(const double got[3], host::Vec3 want, const char* what, double t) {
  for (int k = 0; k < 3; ++k)
    EXPECT_NEAR(got[k], want[k], 1e-9) << what << " at t=" << t << " [" << k << "]";
}

}  // namespace

TEST(Scene, ChannelsInterpolateAndHold) {
  host::Channel c;
  c.set(1.0, 10.0);
  c.set(0.0, 0.0);
  c.set(2.0, 30.0);
  c.set(1.0, 20.0);  // replaces
  EXPECT_EQ(c.keys.size(), 3u);
  EXPECT_EQ(c.at(-1.0), 0.0);
  EXPECT_EQ(c.at(0.5), 10.0);
  EXPECT_EQ(c.at(1.5), 25.0);
  EXPECT_EQ(c.at(9.0), 30.0);
  EXPECT_EQ(host::Channel().at(3.0), 0.0);
}

TEST(Scene, RotationAxesFollowHeadingPitchBank) {
  host::Frame f = host::rotation_frame(kPi / 2, 0, 0);  // heading turns +Z towards +X
  EXPECT_NEAR(f.forward[0], 1.0, 1e-12);
  EXPECT_NEAR(f.right[2], -1.0, 1e-12);
  f = host::rotation_frame(0, kPi / 2, 0);  // pitch turns +Z towards -Y
  EXPECT_NEAR(f.forward[1], -1.0, 1e-12);
  EXPECT_NEAR(f.up[2], 1.0, 1e-12);
  f = host::rotation_frame(0, 0, kPi / 2);  // bank turns +X towards +Y
  EXPECT_NEAR(f.right[1], 1.0, 1e-12);
  // Axes stay orthonormal with forward = right x up (true of the identity) for any angles.
  f = host::rotation_frame(0.3, -1.1, 2.5);
  const host::Vec3& r = f.right;
  const host::Vec3& u = f.up;
  host::Vec3 cross{r[1] * u[2] - r[2] * u[1], r[2] * u[0] - r[0] * u[2], r[0] * u[1] - r[1] * u[0]};
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(cross[k], f.forward[k], 1e-12);
}

TEST(Scene, MovingParentedCameraThroughItemInfo) {
  host::Host h;
  host::Item& rig = h.scene.add(host::ItemKind::Object, "Rig");
  rig.motion.position[0] = host::Channel(10.0);
  rig.motion.rotation[0].set(0.0, 0.0);
  rig.motion.rotation[0].set(1.0, 90.0);
  host::Item& cam = h.scene.add(host::ItemKind::Camera, "Camera", rig.id);
  cam.motion.position[2] = host::Channel(-5.0);
  cam.motion.position[1].set(0.0, 0.0);
  cam.motion.position[1].set(1.0, 2.0);

  auto* items = static_cast<const VHItemInfo*>(h.global(VH_ITEM_INFO));
  ASSERT_NE(items, nullptr);
  VHItemID id = items->first(items, VH_ITEM_CAMERA, nullptr);
  ASSERT_EQ(host::Host::from_id(id), cam.id);
  EXPECT_EQ(host::Host::from_id(items->parent(items, id)), rig.id);
  EXPECT_STREQ(items->name(items, id), "Camera");
  EXPECT_EQ(items->next(items, id), nullptr);

  for (double t : {0.0, 0.5, 1.0}) {
    const double a = kPi / 2 * t, s = std::sin(a), c = std::cos(a);
    double out[3];
    items->param(items, id, VH_PARAM_WORLD_POSITION, t, out);
    expect_vec(out, {10.0 - 5.0 * s, 2.0 * t, -5.0 * c}, "world position", t);
    items->param(items, id, VH_PARAM_FORWARD, t, out);
    expect_vec(out, {s, 0, c}, "forward", t);
    items->param(items, id, VH_PARAM_RIGHT, t, out);
    expect_vec(out, {c, 0, -s}, "right", t);
    items->param(items, id, VH_PARAM_UP, t, out);
    expect_vec(out, {0, 1, 0}, "up", t);
    items->param(items, id, VH_PARAM_POSITION, t, out);
    expect_vec(out, {0, 2.0 * t, -5.0}, "local position", t);
  }

  // A pivot is the point the item turns about; its world position is where it sits.
  host::Item& pivoted = h.scene.add(host::ItemKind::Object, "Pivoted");
  pivoted.pivot = {1, 0, 0};
  pivoted.motion.position[0] = host::Channel(3.0);
  pivoted.motion.rotation[0] = host::Channel(180.0);
  double out[3];
  items->param(items, host::Host::to_id(pivoted.id), VH_PARAM_WORLD_POSITION, 0, out);
  expect_vec(out, {3, 0, 0}, "pivot world position", 0);
  const host::Vec3 origin = h.scene.world_frame(pivoted, 0).apply({0, 0, 0});
  EXPECT_NEAR(origin[0], 4.0, 1e-12);  // the origin swings round the pivot
}

TEST(Scene, ZoomAndFieldOfViewAgree) {
  host::Host h;
  h.scene.render.width = 1920;
  h.scene.render.height = 1080;
  host::Item& cam = h.scene.add(host::ItemKind::Camera, "Camera");
  cam.camera.zoom = host::Channel(2.0);
  auto* ci = static_cast<const VHCameraInfo*>(h.global(VH_CAMERA_INFO));
  VHItemID id = host::Host::to_id(cam.id);
  double hfov, vfov;
  ci->fov_angles(ci, id, 0.0, &hfov, &vfov);
  const double zoom = ci->zoom_factor(ci, id, 0.0);
  EXPECT_DOUBLE_EQ(zoom, 2.0);
  EXPECT_NEAR(1.0 / std::tan(vfov / 2), zoom, 1e-12);
  EXPECT_NEAR(std::tan(hfov / 2) / std::tan(vfov / 2), 1920.0 / 1080.0, 1e-12);
  // A point on the edge of the horizontal field lands at x * zoom / z = aspect.
  const double x = std::tan(hfov / 2), z = 1.0;
  EXPECT_NEAR(x * zoom / z, 1920.0 / 1080.0, 1e-12);
  EXPECT_NEAR(ci->focal_length(ci, id, 0.0), 2.0 * 0.015 / 2 * 1000, 1e-9);
  // Not a camera: zeros, not a crash.
  EXPECT_EQ(ci->zoom_factor(ci, host::Host::to_id(12345), 0.0), 0.0);
}
