// The per-frame pass: every rendered frame gets its star field.
#include <algorithm>
#include <climits>
#include <cmath>

#include "LW/vantrel.h"
#include "libkeshimage/image.h"

namespace {

void send_error(const char* first, const char* second) {
  const VHMessageFuncs* m = vantrel_host.messages;
  if (m) m->error(m, first, second);
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

int floor_to_int(double v) {
  const double f = std::floor(v);
  if (f <= INT_MIN) return INT_MIN;
  if (f >= INT_MAX) return INT_MAX;
  return static_cast<int>(f);
}

using Vec = double[3];

double dot(const Vec a, const Vec b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

void normalise(Vec v) {
  const double len = std::sqrt(dot(v, v));
  if (len != 0.0)
    for (int k = 0; k < 3; ++k) v[k] /= len;
}

Matrix4<double> translation(const Vec p) {
  Matrix4<double> m = Matrix4<double>::identity();
  m(3, 0) = -p[0];
  m(3, 1) = -p[1];
  m(3, 2) = -p[2];
  return m;
}

}  // namespace

float srgb_decode(float v) {
  return v > 0.03928f ? std::pow((v + 0.055f) * 0.94786733f, 2.4f) : v * 0.07739938f;
}

float srgb_encode(float v) {
  // The threshold is 0.00304, not 0.0031308: the curve the host's pixels were made with.
  return v > 0.00304f ? std::pow(v, 0.41666666f) * 1.055f - 0.055f : v * 12.92f;
}

VHItemID get_camera_id(double time) {
  const VHSceneInfo* scene = vantrel_host.scene;
  VHItemID cam = scene ? scene->render_camera(scene, time) : nullptr;
  if (!cam && vantrel_host.items)
    cam = vantrel_host.items->first(vantrel_host.items, VH_ITEM_CAMERA, nullptr);
  if (!cam) THROW_STR("no camera?");
  return cam;
}

void camera_at_time(camera& c, VHItemID cam, VHItemID parent, double time) {
  const VHItemInfo* items = vantrel_host.items;
  Vec R, F, U, P;
  items->param(items, cam, VH_PARAM_RIGHT, time, R);
  items->param(items, cam, VH_PARAM_FORWARD, time, F);
  items->param(items, cam, VH_PARAM_WORLD_POSITION, time, P);
  normalise(F);
  const double rf = dot(R, F);
  for (int k = 0; k < 3; ++k) R[k] -= F[k] * rf;
  normalise(R);
  U[0] = F[1] * R[2] - F[2] * R[1];
  U[1] = F[2] * R[0] - F[0] * R[2];
  U[2] = F[0] * R[1] - F[1] * R[0];

  Matrix4<double> rotation = Matrix4<double>::identity();
  for (int k = 0; k < 3; ++k) {
    rotation(k, 0) = R[k];
    rotation(k, 1) = U[k];
    rotation(k, 2) = F[k];
  }
  c.matrix = translation(P) * rotation;
  c.zoom = vantrel_host.camera->zoom_factor(vantrel_host.camera, cam, time);
  c.near = 1.0;
  c.far = -1.0;

  if (parent) {
    // Star directions are given in the parent's frame: the sky turns with it.
    Vec pr, pu, pf, pp, pivot;
    items->param(items, parent, VH_PARAM_RIGHT, time, pr);
    items->param(items, parent, VH_PARAM_UP, time, pu);
    items->param(items, parent, VH_PARAM_FORWARD, time, pf);
    items->param(items, parent, VH_PARAM_WORLD_POSITION, time, pp);
    items->param(items, parent, VH_PARAM_PIVOT, time, pivot);
    Matrix4<double> pm = Matrix4<double>::identity();
    for (int k = 0; k < 3; ++k) {
      pm(0, k) = pr[k];
      pm(1, k) = pu[k];
      pm(2, k) = pf[k];
      pm(3, k) = pp[k];
    }
    c.matrix = (translation(pivot) * pm) * c.matrix;
  }
}

void build_camera_list(Array<camera>& list, VHItemID cam, VHItemID parent, double start, double end,
                       int segments) {
  camera c;
  camera_at_time(c, cam, parent, start);
  list.append(c);
  // Unordered times count as equal: one still camera.
  if (!(start < end || start > end) || segments <= 0) return;
  for (int i = 1; i <= segments; ++i) {
    camera_at_time(c, cam, parent, start + i * (end - start) / segments);
    list.append(c);
  }
}

void dof_star_scale(const vantrel* v, VHItemID cam, double time, int width, int height, double left,
                    double right, double bottom, double top, double sx, double sy, double& out_sx,
                    double& out_sy, double& factor) {
  out_sx = sx;
  out_sy = sy;
  factor = 1.0;
  if (!(vantrel_host.scene->render_options & VH_ROPT_DEPTH_OF_FIELD)) return;
  const VHCameraInfo* ci = vantrel_host.camera;
  const double f = ci->focal_length(ci, cam, time) * 0.001;
  const double N = ci->f_stop(ci, cam, time);
  const double d = ci->focal_distance(ci, cam, time);
  const double blur =
      std::fabs(1.0 - d / (d - f)) * (f / N) * 66.66666666666667 * vantrel_host.scene->frame_height;
  const double fw = width, fh = height;
  const double u = (fw / fh) / (std::fabs(right - left) / std::fabs(bottom - top));
  const double ax = fw * 0.0005 * sx * 2.0 * u;
  const double ay = fw * 0.0005 * sy * 2.0;
  double bx = u * blur;
  if (v->AnamorphicDOF) bx *= u;
  const double kx = bx > ax ? bx / ax : 1.0;
  const double ky = blur > ay ? blur / ay : 1.0;
  out_sx = kx * sx;
  out_sy = ky * sy;
  factor = 1.0 / (kx * ky);
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
  vantrel_host.scene = vantrel_host.global
                           ? static_cast<const VHSceneInfo*>(vantrel_host.global(VH_SCENE_INFO, 0))
                           : nullptr;
  const VHSceneInfo* scene = vantrel_host.scene;
  if (!scene) {
    send_error("Vantrel: Error obtaining Scene Info global", nullptr);
    return;
  }

  if (!v->StarSource || v->StarSource->path != v->StarFile) {
    delete v->StarSource;
    v->StarSource = nullptr;
    if (!star_file_check(v->StarFile.c_str(), &v->StarFileIs3D)) {
      send_error("Vantrel: Invalid star database file", v->StarFile.c_str());
      return;
    }
    if (v->ThreeD && !v->StarFileIs3D) {
      send_error("Vantrel: This star database file does not support 3D stars", v->StarFile.c_str());
      return;
    }
    v->StarSource = new LWStarFile(v->StarFile.c_str());
  }
  LWStarFile& db = *v->StarSource;

  const VHCameraInfo* ci = vantrel_host.camera;
  const double fps = scene->fps;
  double t0, t1;
  VHItemID cam;
  if (host_time_from_frame) {
    t0 = access->frame / fps;
    cam = get_camera_id(t0);
    t1 = t0 + ci->blur_length(ci, cam, t0) / fps;
  } else {
    t0 = access->start;
    t1 = access->end;
    cam = get_camera_id(t1);
    if (ci->flags(ci, cam) & VH_CAMF_MOTION_BLUR) t0 = t1 - ci->blur_length(ci, cam, t1) / fps;
  }

  StarRendererData data;
  data.star_width = v->StarSize * v->StarAspect;
  data.star_height = v->StarSize;
  data.lum_threshold = v->LumThreshold;
  data.lum_max = v->LumMax;
  data.brightness = v->Brightness;
  data.saturation = v->Saturation;
  data.brightness_power = 1.0 / v->BrightnessBias;
  data.tint_strength = v->TintStrength;
  data.parallax = v->Parallax;
  data.tint = VectorN<float, 3>{{static_cast<float>(v->TintRed), static_cast<float>(v->TintGreen),
                                 static_cast<float>(v->TintBlue)}};
  data.projection = static_cast<op_stars_projection>(v->Projection);
  data.lines = AllLines;
  data.three_d = v->ThreeD != 0;

  double hfov, vfov;
  ci->fov_angles(ci, cam, t0, &hfov, &vfov);
  const double ratio = std::tan(0.5 * hfov) / std::tan(0.5 * vfov);

  int x0 = scene->region_x0, y0 = scene->region_y0, x1 = scene->region_x1, y1 = scene->region_y1;
  if (ci->flags(ci, cam) & VH_CAMF_LIMITED_REGION) {
    int a0, b0, a1, b1;
    ci->region_limits(ci, cam, &a0, &b0, &a1, &b1);
    x0 = std::max(x0, a0);
    y0 = std::max(y0, b0);
    x1 = std::min(x1, a1);
    y1 = std::min(y1, b1);
  }

  // A region reaching past the frame covers only the frame: the screen window
  // must match the pixels there are, or the stars would be squeezed into them.
  // One that misses the frame draws nothing (clamped, it would fall on the
  // edge row or column).
  x0 = std::max(x0, 0);
  y0 = std::max(y0, 0);
  x1 = std::min(x1, scene->frame_width - 1);
  y1 = std::min(y1, scene->frame_height - 1);
  if (x1 < x0 || y1 < y0) return;

  const double W = scene->frame_width, H = scene->frame_height;
  // The region in the frame's own unit square: the host image is laid over it
  // whatever the projection's proportions.
  const double frame_left = 2.0 * x0 / W - 1.0, frame_right = 2.0 * (x1 + 1.0) / W - 1.0;
  const double frame_top = 1.0 - 2.0 * y0 / H, frame_bottom = 1.0 - 2.0 * (y1 + 1.0) / H;
  double left = frame_left, right = frame_right, top = frame_top, bottom = frame_bottom;
  if (v->Projection != Perspective && W < H) {
    top /= ratio;
    bottom /= ratio;
  } else {
    left *= ratio;
    right *= ratio;
  }

  data.screen_left = left;
  data.screen_right = right;
  data.screen_bottom = bottom;
  data.screen_top = top;

  // The rectangle comes from the region as laid over the frame, before the
  // screen window was stretched for the projection: scaling one axis for the
  // window and undoing it on the other would shift a portrait disc's region.
  const int w = access->width, h = access->height;
  const double first_col = (frame_left + 1.0) * 0.5 * w + 0.5;
  const double first_row = (1.0 - frame_top) * 0.5 * h + 0.5;
  const double last_col = (frame_right + 1.0) * 0.5 * w - 0.5;
  const double last_row = (1.0 - frame_bottom) * 0.5 * h - 0.5;
  // A degenerate camera (no field of view) leaves no rectangle to draw into.
  if (!std::isfinite(first_col) || !std::isfinite(first_row) || !std::isfinite(last_col) ||
      !std::isfinite(last_row))
    return;
  star_rect rect{
      std::clamp(floor_to_int(first_col), 0, w - 1), std::clamp(floor_to_int(first_row), 0, h - 1),
      std::clamp(floor_to_int(last_col), 0, w - 1), std::clamp(floor_to_int(last_row), 0, h - 1)};
  if (rect.x1 < rect.x0 || rect.y1 < rect.y0) return;

  const double width_ratio = static_cast<double>(w) / (rect.x1 - rect.x0 + 1);
  const double base_w = data.star_width * width_ratio;
  const double base_h = data.star_height * width_ratio;

  Kesh::Image image(
      Kesh::ImageSpec(rect.x1 - rect.x0 + 1, rect.y1 - rect.y0 + 1, Kesh::ImageSpec::BGRA_FLOAT));
  float* base = reinterpret_cast<float*>(image.pixels);
  const StarFramebuffer fb{base + 1,
                           base + 2,
                           base + 3,
                           base + 0,
                           image.width,
                           image.height,
                           static_cast<int>(image.stride / 4),
                           4};
  const bool srgb = v->sRGBFrameBuffer != 0;
  framebuffer_from_host(access, image, rect, srgb);

  struct Pass {
    double s, e;
    VHItemID cam;
    op_stars_lines lines;
  };
  Pass passes[2];
  int npasses = 1;
  const unsigned opts = scene->render_options;
  if (!(opts & VH_ROPT_FIELDS)) {
    passes[0] = Pass{t0, t1, cam, AllLines};
  } else {
    npasses = 2;
    const bool even_first = (opts & VH_ROPT_EVEN_FIELD_FIRST) != 0;
    Pass& a = passes[0];
    Pass& b = passes[1];
    if (host_time_from_frame) {
      a.s = access->frame / fps;
      a.cam = get_camera_id(a.s);
      a.e = a.s + 0.5 * ci->blur_length(ci, a.cam, a.s) / fps;
      b.s = (access->frame + 0.5) / fps;
      b.cam = get_camera_id(b.s);
      b.e = b.s + 0.5 * ci->blur_length(ci, b.cam, b.s) / fps;
    } else {
      a.e = t1 - 0.5 / fps;
      a.s = a.e - 0.5 * (t1 - t0);
      a.cam = get_camera_id(a.e);
      b.s = t1 - 0.5 * (t1 - t0);
      b.e = t1;
      b.cam = get_camera_id(t1);
    }
    a.lines = even_first ? EvenLines : OddLines;
    b.lines = even_first ? OddLines : EvenLines;
  }

  VHMonitor* monitor = access->monitor;
  if (monitor) monitor->init(monitor->data, ((db.record_count - 1) >> 11) * npasses);

  for (int p = 0; p < npasses; ++p) {
    const Pass& pass = passes[p];
    Array<camera> list;
    build_camera_list(list, pass.cam, v->ParentID, pass.s, pass.e, v->BlurSegs);
    double factor;
    dof_star_scale(v, pass.cam, pass.s, fb.width, fb.height, left, right, bottom, top, base_w,
                   base_h, data.star_width, data.star_height, factor);
    data.brightness = v->Brightness * factor;
    data.lines = pass.lines;

    RewindGuard rewind(db);
    StarRenderer renderer(data, fb, db, list);
    bool drew = false;
    for (uint32_t i = 1; i < db.record_count; ++i) {
      if (!renderer.render_next(drew)) break;
      if ((i & 0x7FF) == 0x7FF && monitor && monitor->step(monitor->data, 1))
        return;  // cancelled: the frame stays as the host rendered it
    }
  }
  if (monitor) monitor->done(monitor->data);

  const VHItemID last_cam = passes[npasses - 1].cam;
  framebuffer_to_host(access, image, rect, srgb,
                      (ci->flags(ci, last_cam) & VH_CAMF_LIMITED_REGION) != 0);
}
