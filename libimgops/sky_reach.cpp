#include "libimgops/sky_reach.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace imgops {

namespace {

const double kHalfPi = 1.5707963267948966;
// Angles are compared through acos of single dot products: a margin for
// their rounding, far below a cell's size.
const double kSlack = 1e-6;
// A reach beyond this many pixels is no bound worth keeping.
const int kMaxReach = 1 << 16;

double dot(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

double angle_between(const double* a, const double* b) {
  return std::acos(std::clamp(dot(a, b), -1.0, 1.0));
}

void normalise(double* v) {
  const double n = std::sqrt(dot(v, v));
  for (int i = 0; i < 3; ++i) v[i] /= n;
}

// How far an angle from the view axis can change when the image plane is
// scaled by s >= 1: the largest atan(s t) - atan(t), reached at t = 1/sqrt(s).
double zoom_turn(double s) {
  if (s < 1.0) s = 1.0 / s;
  return std::atan(std::sqrt(s)) - std::atan(1.0 / std::sqrt(s));
}

}  // namespace

SkyReach::SkyReach(const ReachInputs& inputs) : in(inputs) {
  const Array<camera>& cams = *in.cams;
  const bool perspective = in.data->projection == Perspective;
  const StarRendererData& d = *in.data;
  const bool window = std::isfinite(d.screen_left) && std::isfinite(d.screen_right) &&
                      std::isfinite(d.screen_top) && std::isfinite(d.screen_bottom) &&
                      d.screen_left != d.screen_right && d.screen_top != d.screen_bottom;
  if (!window || in.width <= 0 || in.height <= 0 || !std::isfinite(in.spot_w) ||
      !std::isfinite(in.spot_h) || !(in.spot_w > 0.0f) || !(in.spot_h > 0.0f)) {
    unbounded = true;
    return;
  }
  for (size_t k = 0; k < cams.len(); ++k) {
    const Matrix4<double>& m = cams[k].matrix;
    Sample s{};
    // Row vectors: a direction d lands at d A + w b. The test holds for A a
    // positive scale times a rotation and an affine last column.
    const double scale = std::sqrt(m(0, 0) * m(0, 0) + m(0, 1) * m(0, 1) + m(0, 2) * m(0, 2));
    bool rigid = scale > 0.0 && std::isfinite(scale) && m(0, 3) == 0.0 && m(1, 3) == 0.0 &&
                 m(2, 3) == 0.0 && m(3, 3) == 1.0;
    for (int i = 0; i < 3 && rigid; ++i)
      for (int j = 0; j < 3; ++j) {
        const double aat =
            (m(i, 0) * m(j, 0) + m(i, 1) * m(j, 1) + m(i, 2) * m(j, 2)) / (scale * scale);
        if (!(std::fabs(aat - (i == j ? 1.0 : 0.0)) < 1e-9)) rigid = false;
      }
    if (!rigid || (perspective && !(cams[k].zoom > 0.0 && std::isfinite(cams[k].zoom)))) {
      unbounded = true;
      return;
    }
    // Camera axis j seen in the sky's frame is column j of the rotation.
    for (int j = 0; j < 3; ++j)
      for (int i = 0; i < 3; ++i) s.axes[j][i] = m(i, j) / scale;
    for (int i = 0; i < 3; ++i) s.forward[i] = s.axes[2][i];
    // d A + w b = scale (d + w b Q^T / scale) Q: a star's camera direction
    // is its sky direction moved by w times this distance.
    s.offset = std::sqrt(m(3, 0) * m(3, 0) + m(3, 1) * m(3, 1) + m(3, 2) * m(3, 2)) / scale;
    s.zoom = cams[k].zoom;
    if (!std::isfinite(s.offset)) {
      unbounded = true;
      return;
    }
    samples.push_back(s);
  }
  for (size_t k = 0; k + 1 < samples.size(); ++k) {
    // The turn between two rotations: cos = (trace(Q_k^T Q_k+1) - 1) / 2.
    double trace = 0.0;
    for (int j = 0; j < 3; ++j) trace += dot(samples[k].axes[j], samples[k + 1].axes[j]);
    samples[k].turn = std::acos(std::clamp((trace - 1.0) * 0.5, -1.0, 1.0));
    if (perspective) samples[k].turn += zoom_turn(samples[k + 1].zoom / samples[k].zoom);
  }
}

// The farthest a star's light lands from its projected point or segment, in
// pixels: the spot's box (the Gaussian to 1/6250 of its peak) or, for a
// streak, the margin past which the rasteriser cuts a segment away
// (clip_margin, largest over directions). Infinity when there is no bound.
double SkyReach::pixel_reach(float brightest) const {
  const StarRendererData& d = *in.data;
  double b = brightest;
  if (d.brightness_power != 1.0) {
    // b^p grows with b for p >= 0 and b >= 0 only; elsewhere the cap bounds it.
    b = d.brightness_power >= 0.0 && d.lum_threshold >= 0.0
            ? std::pow(b, d.brightness_power)
            : std::numeric_limits<double>::infinity();
  }
  if (b > d.lum_max) b = d.lum_max;
  // The renderer works in single precision: a hair of margin for its rounding.
  const double amount = b * in.seg_brightness * 1.001;
  if (std::isnan(amount)) return std::numeric_limits<double>::infinity();
  if (!(6250.0 * amount >= 1.0)) return -1.0;  // no star of it reaches the level drawn
  const double big = std::max(in.spot_w, in.spot_h), small = std::min(in.spot_w, in.spot_h);
  const double spot = std::sqrt(std::log(6250.0 * amount)) * big + 1.0;
  const double streak = 14.2 * big + 5.1 * std::fabs(big * big - small * small) / small + 2.0;
  return std::max(spot, streak) + 2.0;
}

// The largest w of a star of the patch: the weight of the camera's position
// in its projection (1 / distance less the parallax setting's share).
double SkyReach::star_parallax(double nearest) const {
  const double inverse = in.data->three_d && in.distances ? 1.0 / nearest : 0.0;
  return std::max(0.0, inverse - 0.01 * in.data->parallax);
}

const std::vector<SkyReach::Cone>& SkyReach::cones(int reach) const {
  if (cone_cache.size() <= static_cast<size_t>(reach)) cone_cache.resize(reach + 1);
  std::vector<Cone>& out = cone_cache[reach];
  if (!out.empty()) return out;
  const StarRendererData& d = *in.data;
  // The framebuffer grown by the reach, in screen-window units.
  const double grown = reach;
  const double xs[2] = {-grown, in.width - 1.0 + grown}, ys[2] = {-grown, in.height - 1.0 + grown};
  double r[2], u[2];
  for (int i = 0; i < 2; ++i) {
    r[i] = d.screen_left + xs[i] / in.width * (d.screen_right - d.screen_left);
    u[i] = d.screen_top - ys[i] / in.height * (d.screen_top - d.screen_bottom);
  }
  for (const Sample& s : samples) {
    Cone c{};
    if (d.projection == Perspective) {
      double centre[3] = {(r[0] + r[1]) * 0.5 / s.zoom, (u[0] + u[1]) * 0.5 / s.zoom, 1.0};
      normalise(centre);
      // The directions through a rectangle of the image plane lie within the
      // cone about its centre that holds its corners (its sections are convex).
      for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j) {
          double corner[3] = {r[i] / s.zoom, u[j] / s.zoom, 1.0};
          normalise(corner);
          c.half_angle = std::max(c.half_angle, angle_between(centre, corner));
        }
      for (int i = 0; i < 3; ++i)
        c.axis[i] = centre[0] * s.axes[0][i] + centre[1] * s.axes[1][i] + centre[2] * s.axes[2][i];
    } else {
      for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j)
          c.half_angle = std::max(c.half_angle, std::sqrt(r[i] * r[i] + u[j] * u[j]));
      for (int i = 0; i < 3; ++i) c.axis[i] = s.forward[i];
    }
    out.push_back(c);
  }
  return out;
}

bool SkyReach::may_light(const SkyPatch& patch) const {
  if (unbounded) return true;
  if (patch.brightest < in.data->lum_threshold) return false;
  const double reach = pixel_reach(patch.brightest);
  if (reach < 0.0) return false;
  if (!(reach < kMaxReach) || !(patch.nearest > 0.0) || !(patch.radius >= 0.0)) return true;
  const std::vector<Cone>& cone = cones(static_cast<int>(std::ceil(reach)));

  // Each sample's shift of the patch's directions by parallax.
  const double w = star_parallax(patch.nearest);
  std::vector<double>& shift = scratch;
  shift.resize(samples.size());
  for (size_t k = 0; k < samples.size(); ++k) {
    const double moved = w * samples[k].offset;
    if (!(moved < 1.0)) return true;
    shift[k] = std::asin(moved);
  }
  const double* c = &patch.centre.x;
  const double margin = patch.radius + kSlack;
  const op_stars_projection projection = in.data->projection;
  // Azimuthal projections: the largest angle off the view axis of a point in
  // front whose screen radius is at most rho.
  auto off_axis = [projection](double rho) {
    rho = std::min(1.0, rho);
    return projection == Hemispherical ? std::asin(rho) : rho * kHalfPi;
  };
  if (samples.size() == 1) {
    if (projection == Perspective)
      return angle_between(c, cone[0].axis) <= cone[0].half_angle + shift[0] + margin;
    return angle_between(c, samples[0].forward) <= off_axis(cone[0].half_angle) + shift[0] + margin;
  }
  for (size_t k = 0; k + 1 < samples.size(); ++k) {
    // How far a star's camera direction moves over the segment.
    const double travel = samples[k].turn + shift[k] + shift[k + 1];
    if (projection == Perspective) {
      // With both ends in front, the segment is the image of the great arc
      // between them, all within `travel` of the first end. An end behind
      // the camera projects through the centre: a star that crosses the
      // camera's side plane may be drawn anywhere.
      const double near = travel + shift[k] + margin;
      if (angle_between(c, cone[k].axis) <= cone[k].half_angle + near) return true;
      if (std::fabs(angle_between(c, samples[k].forward) - kHalfPi) <= near) return true;
    } else {
      // Both azimuthal projections move a point on the screen no farther than
      // its direction turns, in screen-radius units: the end in front that
      // makes the segment drawn lies within `travel` of the grown framebuffer.
      const double limit = off_axis(cone[k].half_angle + travel);
      for (size_t j = k; j <= k + 1; ++j)
        if (angle_between(c, samples[j].forward) <= limit + shift[j] + margin) return true;
    }
  }
  return false;
}

}  // namespace imgops
