// Whole frames through the plug-in's core: the fast path (vector rasteriser,
// lazily filled planes, curves over runs) against the reference (exact
// rasteriser, the whole rectangle copied through the exact curves), on hosts
// with and without the row service.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "LW/frame.h"
#include "testsupport/test_harness.h"

namespace {

using harness::Star;

struct Sky {
  harness::StaticPlugin p;
  host::Item* cam;
  VHInstance instance = nullptr;
  std::string db;

  Sky() {
    host::Scene& scene = p.host.scene;
    scene.render.width = 160, scene.render.height = 90, scene.render.fps = 24.0;
    cam = &scene.add(host::ItemKind::Camera, "Camera");
    cam->camera.zoom = host::Channel(1.5);
    p.host.global(VH_SCENE_INFO);  // the plug-in's record sees the camera
    // Stars of every brightness, some near: with ThreeD and a camera moving
    // through them they cross its plane within an exposure.
    std::mt19937 rng(77);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<Star> stars;
    for (int i = 0; i < 3000; ++i) {
      Star s{60.0 + 60.0 * u(rng), -25.0 + 50.0 * u(rng),
             static_cast<float>(std::pow(10, -3.5 * u(rng)))};
      s.r = static_cast<unsigned char>(255 * u(rng));
      s.distance = i % 10 ? 1000.0 : 0.5 + 3.0 * u(rng);
      stars.push_back(s);
    }
    db = p.dir.file("sky.stars");
    harness::write_db(p.host, db, stars);
    instance = vantrel_create(nullptr, nullptr, nullptr);
  }
  ~Sky() { vantrel_destroy(instance); }
  vantrel& settings() { return *static_cast<vantrel*>(instance); }

  // A frame over a background of varied values and coverage.
  host::FrameImage render(bool reference, bool rows, int frame) {
    vantrel_module.render_reference = reference;
    vantrel_module.host.rows =
        rows ? static_cast<const VHFilterRows*>(p.host.global(VH_FILTER_ROWS)) : nullptr;
    host::FrameImage image(160, 90);
    for (size_t i = 0; i < image.red.size(); ++i) {
      image.red[i] = static_cast<float>(i % 7) * 0.11f;
      image.green[i] = static_cast<float>(i % 13) * 0.021f;
      image.alpha[i] = i % 3 ? 1.0f : 0.0f;
    }
    double start, end;
    host::frame_times(p.host, frame, start, end);
    const host::Progress progress;  // the access record keeps a reference to it
    host::FrameAccess access(image, frame, start, end, progress);
    vantrel_process(instance, access.access());
    vantrel_module.render_reference = false;
    return image;
  }
};

// Relative 1e-5 per value, or 1e-7 absolute near zero.
void expect_close(const host::FrameImage& fast, const host::FrameImage& ref, const char* what) {
  int lit = 0;
  for (size_t i = 0; i < ref.red.size(); ++i) {
    ASSERT_EQ(fast.alpha[i], ref.alpha[i]) << what << " pixel " << i;
    const float f[3] = {fast.red[i], fast.green[i], fast.blue[i]};
    const float r[3] = {ref.red[i], ref.green[i], ref.blue[i]};
    for (int c = 0; c < 3; ++c)
      ASSERT_LE(std::fabs(f[c] - r[c]), std::fmax(1e-5 * std::fabs(r[c]), 1e-7))
          << what << " pixel " << i << " channel " << c;
    if (ref.blue[i] != 0.0f) ++lit;
  }
  EXPECT_GT(lit, 500) << what;  // the frame has stars to compare
}

}  // namespace

TEST(FramePixels, FastFramesMatchTheReference) {
  Sky sky;
  sky.settings().StarFile = sky.db.c_str();
  sky.settings().StarSize = 4;
  for (int srgb : {1, 0}) {
    sky.settings().sRGBFrameBuffer = srgb;
    const host::FrameImage ref = sky.render(true, false, 3);
    expect_close(sky.render(false, true, 3), ref, srgb ? "still, sRGB, rows" : "still, rows");
    expect_close(sky.render(false, false, 3), ref, srgb ? "still, sRGB, pixels" : "still, pixels");
  }
  // Motion blur: a pan, and a camera moving through the near stars.
  sky.cam->motion.rotation[0].set(0.0, -10.0);
  sky.cam->motion.rotation[0].set(1.0, 10.0);
  sky.cam->motion.position[2].set(0.0, 0.0);
  sky.cam->motion.position[2].set(1.0, 16.0);
  sky.cam->camera.motion_blur = true;
  sky.p.host.global(VH_SCENE_INFO);
  sky.settings().BlurSegs = 8;
  sky.settings().ThreeD = 1;
  sky.settings().sRGBFrameBuffer = 1;
  const host::FrameImage ref = sky.render(true, false, 5);
  expect_close(sky.render(false, true, 5), ref, "motion blur, rows");
  expect_close(sky.render(false, false, 5), ref, "motion blur, pixels");
}
