// Executing a frame's plan against the host: the instance's database, the
// pixels in and out through the sRGB curves, and the passes over the stars.
#include <algorithm>
#include <cmath>

#include "LW/frame.h"
#include "libkeshimage/image.h"

namespace {

void send_error(const char* first, const char* second) {
  const VHMessageFuncs* m = vantrel_module.host.messages;
  if (m) m->error(m, first, second);
}

// The host's answers, from the globals the activation fetched.
class GlobalAnswers : public HostAnswers {
public:
  explicit GlobalAnswers(const VantrelHost& h) : h(h) {}

  VHItemID camera_at(double time) const override {
    VHItemID cam = h.scene ? h.scene->render_camera(h.scene, time) : nullptr;
    if (!cam && h.items) cam = h.items->first(h.items, VH_ITEM_CAMERA, nullptr);
    if (!cam) THROW_STR("no camera?");
    return cam;
  }
  CameraAnswers camera(VHItemID cam, double t) const override {
    const VHCameraInfo* c = h.camera;
    CameraAnswers a;
    a.zoom = c->zoom_factor(c, cam, t);
    a.focal_length = c->focal_length(c, cam, t);
    a.focal_distance = c->focal_distance(c, cam, t);
    a.f_stop = c->f_stop(c, cam, t);
    a.blur_length = c->blur_length(c, cam, t);
    c->fov_angles(c, cam, t, &a.hfov, &a.vfov);
    return a;
  }
  unsigned camera_flags(VHItemID cam) const override { return h.camera->flags(h.camera, cam); }
  PixelRegion camera_region(VHItemID cam) const override {
    PixelRegion r;
    h.camera->region_limits(h.camera, cam, &r.x0, &r.y0, &r.x1, &r.y1);
    return r;
  }
  ItemPose pose(VHItemID item, double t) const override {
    const VHItemInfo* i = h.items;
    ItemPose p;
    i->param(i, item, VH_PARAM_RIGHT, t, p.right);
    i->param(i, item, VH_PARAM_UP, t, p.up);
    i->param(i, item, VH_PARAM_FORWARD, t, p.forward);
    i->param(i, item, VH_PARAM_PIVOT, t, p.pivot);
    i->param(i, item, VH_PARAM_WORLD_POSITION, t, p.position);
    return p;
  }

private:
  const VantrelHost& h;
};

FrameFacts facts_of(const VHSceneInfo& scene, const VHFilterAccess& access, uint32_t records) {
  FrameFacts f;
  f.fps = scene.fps;
  f.frame_width = scene.frame_width;
  f.frame_height = scene.frame_height;
  f.region = PixelRegion{scene.region_x0, scene.region_y0, scene.region_x1, scene.region_y1};
  f.render_options = scene.render_options;
  f.image_width = access.width;
  f.image_height = access.height;
  f.frame = access.frame;
  f.start = access.start;
  f.end = access.end;
  f.time_from_frame = vantrel_module.host_time_from_frame;
  f.record_count = records;
  return f;
}

// Makes sure the instance holds the database StarFile names; false (with the
// host told why) when it cannot be used.
bool ensure_database(vantrel* v) {
  if (v->StarSource && v->StarSource->path == v->StarFile) return true;
  delete v->StarSource;
  v->StarSource = nullptr;
  if (!star_file_check(v->StarFile.c_str(), &v->StarFileIs3D)) {
    send_error("Vantrel: Invalid star database file", v->StarFile.c_str());
    return false;
  }
  if (v->ThreeD && !v->StarFileIs3D) {
    send_error("Vantrel: This star database file does not support 3D stars", v->StarFile.c_str());
    return false;
  }
  v->StarSource = new LWStarFile(v->StarFile.c_str());
  return true;
}

// Puts the database's cursor back on its header on every way out of a pass,
// so that the next renderer finds the header even after a failure.
class RewindGuard {
public:
  explicit RewindGuard(StarInput& input) : input(input) {}
  RewindGuard(const RewindGuard&) = delete;
  RewindGuard& operator=(const RewindGuard&) = delete;
  ~RewindGuard() { input.rewind(); }

private:
  StarInput& input;
};

// Draws one pass; false when the user cancelled through the monitor.
bool draw_pass(const PassPlan& pass, const StarFramebuffer& fb, LWStarFile& db,
               VHMonitor* monitor) {
  RewindGuard rewind(db);
  StarRenderer renderer(pass.data, fb, db, pass.cameras);
  bool drew = false;
  for (uint32_t i = 1; i < db.record_count; ++i) {
    if (!renderer.render_next(drew)) break;
    if ((i & 0x7FF) == 0x7FF && monitor && monitor->step(monitor->data, 1)) return false;
  }
  return true;
}

// Copies the rectangle in, draws every pass, copies it back out. A cancel
// leaves the host's buffers as they were.
void execute_plan(const FramePlan& plan, const VHFilterAccess* access, LWStarFile& db, bool srgb) {
  const star_rect& r = plan.rect;
  Kesh::Image image(Kesh::ImageSpec(r.x1 - r.x0 + 1, r.y1 - r.y0 + 1, Kesh::ImageSpec::BGRA_FLOAT));
  const StarFramebuffer fb = star_framebuffer(image);
  framebuffer_from_host(access, image, r, srgb);

  VHMonitor* monitor = access->monitor;
  if (monitor) monitor->init(monitor->data, plan.monitor_total);
  for (int p = 0; p < plan.pass_count; ++p)
    if (!draw_pass(plan.passes[p], fb, db, monitor)) return;
  if (monitor) monitor->done(monitor->data);
  framebuffer_to_host(access, image, r, srgb, plan.whole_image);
}

}  // namespace

StarFramebuffer star_framebuffer(Kesh::Image& image) {
  float* base = reinterpret_cast<float*>(image.pixels);
  return StarFramebuffer{base + 1,
                         base + 2,
                         base + 3,
                         base + 0,
                         image.width,
                         image.height,
                         static_cast<int>(image.stride / 4),
                         4};
}

float srgb_decode(float v) {
  return v > 0.03928f ? std::pow((v + 0.055f) * 0.94786733f, 2.4f) : v * 0.07739938f;
}

float srgb_encode(float v) {
  // The threshold is 0.00304, not 0.0031308: the curve the host's pixels were made with.
  return v > 0.00304f ? std::pow(v, 0.41666666f) * 1.055f - 0.055f : v * 12.92f;
}

void framebuffer_from_host(const VHFilterAccess* access, Kesh::Image& image, const star_rect& r,
                           bool srgb) {
  for (int y = r.y0; y <= r.y1; ++y) {
    const float* a = access->get_line(access, VH_BUF_ALPHA, y);
    const float* red = access->get_line(access, VH_BUF_RED, y);
    const float* green = access->get_line(access, VH_BUF_GREEN, y);
    const float* blue = access->get_line(access, VH_BUF_BLUE, y);
    float* px = reinterpret_cast<float*>(image.row(y - r.y0));
    for (int x = r.x0; x <= r.x1; ++x, px += 4) {
      // A buffer the host does not have reads as zero.
      const float in[4] = {a ? a[x] : 0.0f, red ? red[x] : 0.0f, green ? green[x] : 0.0f,
                           blue ? blue[x] : 0.0f};
      for (int c = 0; c < 4; ++c) px[c] = srgb ? srgb_decode(in[c]) : in[c];
    }
  }
}

void framebuffer_to_host(const VHFilterAccess* access, Kesh::Image& image, const star_rect& r,
                         bool srgb, bool whole_image) {
  if (whole_image) {
    for (int y = 0; y < access->height; ++y) {
      const float* a = access->get_line(access, VH_BUF_ALPHA, y);
      const float* red = access->get_line(access, VH_BUF_RED, y);
      const float* green = access->get_line(access, VH_BUF_GREEN, y);
      const float* blue = access->get_line(access, VH_BUF_BLUE, y);
      for (int x = 0; x < access->width; ++x) {
        if (y >= r.y0 && y <= r.y1 && x >= r.x0 && x <= r.x1) continue;
        const float rgb[3] = {red ? red[x] : 0.0f, green ? green[x] : 0.0f, blue ? blue[x] : 0.0f};
        access->set_rgb(access, x, y, rgb);
        access->set_alpha(access, x, y, a ? a[x] : 0.0f);
      }
    }
  }
  for (int y = r.y0; y <= r.y1; ++y) {
    const float* px = reinterpret_cast<const float*>(image.row(y - r.y0));
    for (int x = r.x0; x <= r.x1; ++x, px += 4) {
      float out[4];
      for (int c = 0; c < 4; ++c) out[c] = srgb ? srgb_encode(px[c]) : px[c];
      access->set_rgb(access, x, y, out + 1);
      access->set_alpha(access, x, y, out[0]);
    }
  }
}

void vantrel_render_frame(vantrel* v, const VHFilterAccess* access) {
  VantrelHost& host = vantrel_module.host;
  host.scene =
      host.global ? static_cast<const VHSceneInfo*>(host.global(VH_SCENE_INFO, 0)) : nullptr;
  if (!host.scene) {
    send_error("Vantrel: Error obtaining Scene Info global", nullptr);
    return;
  }
  if (!ensure_database(v)) return;
  LWStarFile& db = *v->StarSource;
  const FramePlan plan =
      plan_frame(facts_of(*host.scene, *access, db.record_count), *v, GlobalAnswers(host));
  if (plan.empty()) return;
  execute_plan(plan, access, db, v->sRGBFrameBuffer != 0);
}
