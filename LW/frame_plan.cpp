// Planning a frame: exposure, cameras, region, screen window, passes. Pure:
// everything comes from the facts, the settings and the host's answers.
#include <algorithm>
#include <climits>
#include <cmath>

#include "LW/frame.h"

HostAnswers::~HostAnswers() = default;

namespace {

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

// The frame's exposure and the camera that shoots it.
struct Exposure {
  double t0, t1;
  VHItemID cam;
};

Exposure frame_exposure(const FrameFacts& f, const HostAnswers& host) {
  Exposure x;
  if (f.time_from_frame) {
    x.t0 = f.frame / f.fps;
    x.cam = get_camera_id(host, x.t0);
    x.t1 = x.t0 + host.camera(x.cam, x.t0).blur_length / f.fps;
  } else {
    x.t0 = f.start;
    x.t1 = f.end;
    x.cam = get_camera_id(host, x.t1);
    if (host.camera_flags(x.cam) & VH_CAMF_MOTION_BLUR)
      x.t0 = x.t1 - host.camera(x.cam, x.t1).blur_length / f.fps;
  }
  return x;
}

// The settings as the renderer takes them; window, sizes and lines come later.
StarRendererData renderer_settings(const VantrelSettings& s) {
  StarRendererData data{};
  data.star_width = s.StarSize * s.StarAspect;
  data.star_height = s.StarSize;
  data.lum_threshold = s.LumThreshold;
  data.lum_max = s.LumMax;
  data.brightness = s.Brightness;
  data.saturation = s.Saturation;
  data.brightness_power = 1.0 / s.BrightnessBias;
  data.tint_strength = s.TintStrength;
  data.parallax = s.Parallax;
  data.tint = VectorN<float, 3>{{static_cast<float>(s.TintRed), static_cast<float>(s.TintGreen),
                                 static_cast<float>(s.TintBlue)}};
  data.projection = static_cast<op_stars_projection>(s.Projection);
  data.lines = AllLines;
  data.three_d = s.ThreeD != 0;
  return data;
}

// The region drawn into: the scene's, narrowed by the camera's when it has
// one, and cut to the frame. A region reaching past the frame covers only
// the frame (the screen window must match the pixels there are, or the stars
// would be squeezed into them); one that misses it is empty (clamped, it
// would fall on the edge row or column).
PixelRegion drawn_region(const FrameFacts& f, const HostAnswers& host, VHItemID cam) {
  PixelRegion r = f.region;
  if (host.camera_flags(cam) & VH_CAMF_LIMITED_REGION) {
    const PixelRegion c = host.camera_region(cam);
    r = PixelRegion{std::max(r.x0, c.x0), std::max(r.y0, c.y0), std::min(r.x1, c.x1),
                    std::min(r.y1, c.y1)};
  }
  return PixelRegion{std::max(r.x0, 0), std::max(r.y0, 0), std::min(r.x1, f.frame_width - 1),
                     std::min(r.y1, f.frame_height - 1)};
}

// The region in the frame's own unit square, x from -1 to 1 and y from 1
// down to -1, before any stretching for the projection.
struct Square {
  double left, right, bottom, top;
};

Square frame_square(const FrameFacts& f, const PixelRegion& r) {
  const double W = f.frame_width, H = f.frame_height;
  return Square{2.0 * r.x0 / W - 1.0, 2.0 * (r.x1 + 1.0) / W - 1.0, 1.0 - 2.0 * (r.y1 + 1.0) / H,
                1.0 - 2.0 * r.y0 / H};
}

// The host image's pixels under the region. It comes from the region as laid
// over the frame: stretching one axis for the screen window and undoing it on
// the other would shift a portrait disc's region. Empty for a degenerate camera.
star_rect image_rect(const FrameFacts& f, const Square& q) {
  const int w = f.image_width, h = f.image_height;
  const double first_col = (q.left + 1.0) * 0.5 * w + 0.5;
  const double first_row = (1.0 - q.top) * 0.5 * h + 0.5;
  const double last_col = (q.right + 1.0) * 0.5 * w - 0.5;
  const double last_row = (1.0 - q.bottom) * 0.5 * h - 0.5;
  if (!std::isfinite(first_col) || !std::isfinite(first_row) || !std::isfinite(last_col) ||
      !std::isfinite(last_row))
    return star_rect{0, 0, -1, -1};
  return star_rect{
      std::clamp(floor_to_int(first_col), 0, w - 1), std::clamp(floor_to_int(first_row), 0, h - 1),
      std::clamp(floor_to_int(last_col), 0, w - 1), std::clamp(floor_to_int(last_row), 0, h - 1)};
}

// Passes over [start, end] with their cameras and row sets: one, or two fields.
void plan_times(const FrameFacts& f, const HostAnswers& host, const Exposure& x, FramePlan& plan) {
  if (!(f.render_options & VH_ROPT_FIELDS)) {
    plan.pass_count = 1;
    PassPlan& p = plan.passes[0];
    p.start = x.t0, p.end = x.t1, p.cam = x.cam;
    p.data.lines = AllLines;
    return;
  }
  plan.pass_count = 2;
  PassPlan& a = plan.passes[0];
  PassPlan& b = plan.passes[1];
  // Each field covers half the blur interval.
  if (f.time_from_frame) {
    a.start = f.frame / f.fps;
    a.cam = get_camera_id(host, a.start);
    a.end = a.start + 0.5 * host.camera(a.cam, a.start).blur_length / f.fps;
    b.start = (f.frame + 0.5) / f.fps;
    b.cam = get_camera_id(host, b.start);
    b.end = b.start + 0.5 * host.camera(b.cam, b.start).blur_length / f.fps;
  } else {
    a.end = x.t1 - 0.5 / f.fps;
    a.start = a.end - 0.5 * (x.t1 - x.t0);
    a.cam = get_camera_id(host, a.end);
    b.start = x.t1 - 0.5 * (x.t1 - x.t0);
    b.end = x.t1;
    b.cam = get_camera_id(host, x.t1);
  }
  const bool even_first = (f.render_options & VH_ROPT_EVEN_FIELD_FIRST) != 0;
  a.data.lines = even_first ? EvenLines : OddLines;
  b.data.lines = even_first ? OddLines : EvenLines;
}

}  // namespace

VHItemID get_camera_id(const HostAnswers& host, double time) { return host.camera_at(time); }

void camera_at_time(camera& c, const HostAnswers& host, VHItemID cam, VHItemID parent,
                    double time) {
  ItemPose p = host.pose(cam, time);
  double* R = p.right;
  double* F = p.forward;
  normalise(F);
  const double rf = dot(R, F);
  for (int k = 0; k < 3; ++k) R[k] -= F[k] * rf;
  normalise(R);
  const Vec U = {F[1] * R[2] - F[2] * R[1], F[2] * R[0] - F[0] * R[2], F[0] * R[1] - F[1] * R[0]};

  Matrix4<double> rotation = Matrix4<double>::identity();
  for (int k = 0; k < 3; ++k) {
    rotation(k, 0) = R[k];
    rotation(k, 1) = U[k];
    rotation(k, 2) = F[k];
  }
  c.matrix = translation(p.position) * rotation;
  c.zoom = host.camera(cam, time).zoom;
  c.near = 1.0;
  c.far = -1.0;

  if (parent) {
    // Star directions are given in the parent's frame: the sky turns with it.
    const ItemPose q = host.pose(parent, time);
    Matrix4<double> pm = Matrix4<double>::identity();
    for (int k = 0; k < 3; ++k) {
      pm(0, k) = q.right[k];
      pm(1, k) = q.up[k];
      pm(2, k) = q.forward[k];
      pm(3, k) = q.position[k];
    }
    c.matrix = (translation(q.pivot) * pm) * c.matrix;
  }
}

void build_camera_list(Array<camera>& list, const HostAnswers& host, VHItemID cam, VHItemID parent,
                       double start, double end, int segments) {
  camera c;
  camera_at_time(c, host, cam, parent, start);
  list.append(c);
  // Unordered times count as equal: one still camera.
  if (!(start < end || start > end) || segments <= 0) return;
  for (int i = 1; i <= segments; ++i) {
    camera_at_time(c, host, cam, parent, start + i * (end - start) / segments);
    list.append(c);
  }
}

DofScale dof_star_scale(const DofInputs& in) {
  DofScale out{in.sx, in.sy, 1.0};
  if (!in.enabled) return out;
  const double f = in.lens.focal_length * 0.001;
  const double N = in.lens.f_stop;
  const double d = in.lens.focal_distance;
  const double blur = std::fabs(1.0 - d / (d - f)) * (f / N) * 66.66666666666667 * in.frame_height;
  const double fw = in.width, fh = in.height;
  // Framebuffer proportions against the window's: 1 under square pixels.
  const double u = (fw / fh) / (std::fabs(in.right - in.left) / std::fabs(in.bottom - in.top));
  const double ax = fw * 0.0005 * in.sx * 2.0 * u;
  const double ay = fw * 0.0005 * in.sy * 2.0;
  double bx = u * blur;
  if (in.anamorphic) bx *= u;
  const double kx = bx > ax ? bx / ax : 1.0;
  const double ky = blur > ay ? blur / ay : 1.0;
  out.sx = kx * in.sx;
  out.sy = ky * in.sy;
  out.brightness = 1.0 / (kx * ky);
  return out;
}

FramePlan plan_frame(const FrameFacts& f, const VantrelSettings& s, const HostAnswers& host) {
  FramePlan plan;
  const Exposure x = frame_exposure(f, host);
  const StarRendererData settings = renderer_settings(s);
  const CameraAnswers lens = host.camera(x.cam, x.t0);
  const double ratio = std::tan(0.5 * lens.hfov) / std::tan(0.5 * lens.vfov);

  const PixelRegion region = drawn_region(f, host, x.cam);
  if (region.x1 < region.x0 || region.y1 < region.y0) return plan;
  const Square q = frame_square(f, region);
  // The screen window: the disc projections keep their disc round in a
  // portrait frame by shrinking the window's height, the rest widen its width.
  double left = q.left, right = q.right, top = q.top, bottom = q.bottom;
  if (s.Projection != Perspective && f.frame_width < f.frame_height) {
    top /= ratio;
    bottom /= ratio;
  } else {
    left *= ratio;
    right *= ratio;
  }
  plan.rect = image_rect(f, q);
  if (plan.empty()) return plan;

  // Spot sizes are fractions of the framebuffer's width: a region renders
  // them as the whole image would.
  const star_rect& r = plan.rect;
  const int fb_w = r.x1 - r.x0 + 1, fb_h = r.y1 - r.y0 + 1;
  const double width_ratio = static_cast<double>(f.image_width) / fb_w;
  plan_times(f, host, x, plan);
  for (int i = 0; i < plan.pass_count; ++i) {
    PassPlan& p = plan.passes[i];
    build_camera_list(p.cameras, host, p.cam, s.ParentID, p.start, p.end, s.BlurSegs);
    DofInputs dof;
    dof.enabled = (f.render_options & VH_ROPT_DEPTH_OF_FIELD) != 0;
    dof.anamorphic = s.AnamorphicDOF != 0;
    if (dof.enabled) dof.lens = host.camera(p.cam, p.start);
    dof.frame_height = f.frame_height;
    dof.width = fb_w, dof.height = fb_h;
    dof.left = left, dof.right = right, dof.bottom = bottom, dof.top = top;
    dof.sx = settings.star_width * width_ratio;
    dof.sy = settings.star_height * width_ratio;
    const DofScale scale = dof_star_scale(dof);
    const op_stars_lines lines = p.data.lines;
    // Each pass starts again from the settings' sizes and brightness.
    p.data = settings;
    p.data.screen_left = left, p.data.screen_right = right;
    p.data.screen_bottom = bottom, p.data.screen_top = top;
    p.data.star_width = scale.sx;
    p.data.star_height = scale.sy;
    p.data.brightness = s.Brightness * scale.brightness;
    p.data.lines = lines;
  }
  plan.monitor_total = ((f.record_count - 1) >> 11) * plan.pass_count;
  plan.whole_image =
      (host.camera_flags(plan.passes[plan.pass_count - 1].cam) & VH_CAMF_LIMITED_REGION) != 0;
  return plan;
}
