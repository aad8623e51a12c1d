#include "libimgops/stars.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>

#include "libimgops/prepared_stars.h"
#include "libimgops/sky_reach.h"
#include "libimgops/srgb.h"
#include "libimgops/streak.h"
#include "stardb/star_record.h"

StarInput::~StarInput() = default;

namespace imgops {
double erf(double x) { return std::erf(x); }
}  // namespace imgops

namespace imgops {

namespace {

// Saturating float-to-int conversion: box limits far outside the int range
// clip on both sides instead of wrapping.
int to_int(float f) {
  if (f <= static_cast<float>(INT_MIN)) return INT_MIN;
  if (f >= static_cast<float>(INT_MAX)) return INT_MAX;
  return static_cast<int>(f);
}

int plus_one(int i) { return i == INT_MAX ? i : i + 1; }

// How far beyond the framebuffer a segment's end may lie before it is cut
// back: from there on, no pixel of the framebuffer gets light from the cut
// part. In the segment's direction (ux, uy), with D = a^2 uy^2 + b^2 ux^2:
// pixels whose Gaussian across the segment is not zero (in float, its
// exponent above -104) lie within 10.2 sqrt(D) of it; the light of such a
// pixel is centred along the segment up to 10.2 |ux uy| |a^2 - b^2| / sqrt(D)
// from its foot (the spot is skewed when a != b), and spreads along it with
// sigma a b / sqrt(2 D), so that the error function of an end 4 a b /
// sqrt(D) beyond that centre is 1 in float. The margin is kept no larger:
// a longer cut segment puts its midpoint, from which every pixel's offset
// is taken in float, farther from the pixels.
double clip_margin(float a, float b, double ux, double uy) {
  const double a2 = double(a) * a, b2 = double(b) * b;
  const double sqrt_D = std::sqrt(a2 * uy * uy + b2 * ux * ux);
  const double skew = 10.2 * std::fabs(ux * uy) * std::fabs(a2 - b2) / sqrt_D;
  return 4.0 * a * b / sqrt_D + skew + 10.2 * sqrt_D + 2.0;
}

// Cuts the segment p(t) = p0 + t (p1 - p0), 0 <= t <= 1, to the box; false
// when nothing of it is inside.
bool clip_to_box(double x0, double y0, double x1, double y1, double lo_x, double lo_y, double hi_x,
                 double hi_y, double& t0, double& t1) {
  t0 = 0.0, t1 = 1.0;
  const double d[2] = {x1 - x0, y1 - y0}, p[2] = {x0, y0}, lo[2] = {lo_x, lo_y},
               hi[2] = {hi_x, hi_y};
  for (int i = 0; i < 2; ++i) {
    if (d[i] == 0.0) {
      if (p[i] < lo[i] || p[i] > hi[i]) return false;
      continue;
    }
    double a = (lo[i] - p[i]) / d[i], b = (hi[i] - p[i]) / d[i];
    if (a > b) std::swap(a, b);
    t0 = std::fmax(t0, a);
    t1 = std::fmin(t1, b);
  }
  return t0 <= t1;
}

// A segment's ends and its length in pixels.
struct Segment {
  float x0, y0, x1, y1, len;
};

// An end far outside (a star near the camera plane projects thousands or
// millions of pixels away) would put the midpoint there, and every pixel's
// offset from it would lose its fraction in float. Only the part of the
// segment that can light the framebuffer is drawn, with the light per unit
// length of the whole: the segment is cut to it here. False when no part
// of it can.
bool cut_far_ends(const StarFramebuffer& dst, float a, float b, Segment& s) {
  const double ddx = double(s.x1) - s.x0, ddy = double(s.y1) - s.y0;
  const double length = std::sqrt(ddx * ddx + ddy * ddy);
  const double m = clip_margin(a, b, ddx / length, ddy / length);
  const double lo_x = -m, lo_y = -m, hi_x = dst.width - 1 + m, hi_y = dst.height - 1 + m;
  auto outside = [&](float x, float y) { return x < lo_x || x > hi_x || y < lo_y || y > hi_y; };
  if (!outside(s.x0, s.y0) && !outside(s.x1, s.y1)) return true;
  double t0, t1;
  if (!clip_to_box(s.x0, s.y0, s.x1, s.y1, lo_x, lo_y, hi_x, hi_y, t0, t1)) return false;
  const double ax = s.x0, ay = s.y0;
  s.x0 = static_cast<float>(ax + t0 * ddx), s.y0 = static_cast<float>(ay + t0 * ddy);
  s.x1 = static_cast<float>(ax + t1 * ddx), s.y1 = static_cast<float>(ay + t1 * ddy);
  s.len = static_cast<float>((t1 - t0) * length);
  // A cut that leaves no length: the segment only grazes the margin.
  return s.len > 0.00001f;
}

// The segment's box grown by (rx, ry), clipped to the framebuffer, into s;
// false when none of it is left, or none of the band's rows.
bool set_box(const StarFramebuffer& dst, const Segment& g, float rx, float ry, Streak& s) {
  const float minx = g.x0 < g.x1 ? g.x0 : g.x1, maxx = g.x0 < g.x1 ? g.x1 : g.x0;
  const float miny = g.y0 < g.y1 ? g.y0 : g.y1, maxy = g.y0 < g.y1 ? g.y1 : g.y0;
  s.xlo = to_int(std::floor(minx - rx));
  s.ylo = to_int(std::floor(miny - ry));
  s.xhi = plus_one(to_int(std::floor(maxx + rx)));
  s.yhi = plus_one(to_int(std::floor(maxy + ry)));
  if (s.xhi < 0 || s.xlo >= dst.width || s.yhi < 0 || s.ylo >= dst.height) return false;
  s.xlo = std::min(std::max(s.xlo, 0), dst.width - 1);
  s.xhi = std::min(s.xhi, dst.width - 1);
  s.ylo = std::min(std::max(s.ylo, 0), dst.height - 1);
  s.yhi = std::min(s.yhi, dst.height - 1);
  return dst.draws_any_row(s.ylo, s.yhi);
}

}  // namespace

Streak setup_streak(const StarFramebuffer& dst, const VectorN<float, 2>& p0,
                    const VectorN<float, 2>& p1, float amount, float a, float b) {
  Streak s;
  float x0 = p0[0], y0 = p0[1], x1 = p1[0], y1 = p1[1];
  // A segment with a non-finite end (a star in the camera plane) draws nothing.
  if (!std::isfinite(x0) || !std::isfinite(y0) || !std::isfinite(x1) || !std::isfinite(y1))
    return s;
  // Drawn out to the level 1/6250 of the peak: below that there is no reach.
  // An infinite amount or size has no finite reach either: it would fill the
  // whole box with inf or NaN.
  const float kLevel = 6250.0f;
  if (!(kLevel * amount >= 1.0f) || !std::isfinite(amount)) return s;
  if (!(a > 0.0f) || !(b > 0.0f) || !std::isfinite(a) || !std::isfinite(b)) return s;

  float dx = x1 - x0, dy = y1 - y0;
  s.len = std::sqrt(dx * dx + dy * dy);
  // Ends so far apart that the length overflows (one end about 2e19 pixels
  // away, a star crossing the camera plane): the light per pixel is nil, and
  // an infinite length would turn every scanned pixel into NaN.
  if (!std::isfinite(s.len)) return s;
  s.ux = s.uy = 0.0f;
  if (s.len != 0.0f) {
    const float inv = 1.0f / s.len;
    s.ux = dx * inv;
    s.uy = dy * inv;
  }
  s.is_streak = s.len > 0.00001f;
  s.light_per_len = s.is_streak ? amount / s.len : 0.0f;

  if (s.is_streak) {
    Segment seg{x0, y0, x1, y1, s.len};
    if (!cut_far_ends(dst, a, b, seg)) return s;
    x0 = seg.x0, y0 = seg.y0, x1 = seg.x1, y1 = seg.y1, s.len = seg.len;
    dx = x1 - x0, dy = y1 - y0;
  }

  const float L = std::log(kLevel * amount);
  const float rx = std::sqrt(L) * a;
  const float ry = std::sqrt(L) * b;
  // Each row scans a band of half-width h around the segment's x at that row;
  // near-horizontal segments scan the whole box.
  if (std::fabs(dy) > 0.000001f) {
    s.slope = dx / dy;
    s.h = std::fabs(rx * b * s.slope) + rx * a;
  } else {
    s.slope = 1e20f;
    s.h = 1e20f;
  }

  if (!set_box(dst, Segment{x0, y0, x1, y1, s.len}, rx, ry, s)) return s;

  s.x0 = x0, s.y0 = y0;
  s.amount = amount, s.a = a, s.b = b;
  s.a2 = a * a, s.b2 = b * b;
  s.D = s.a2 * s.uy * s.uy + s.b2 * s.ux * s.ux;
  s.k = (1.0f / std::sqrt(s.D)) / (a * b);
  s.cx = (x0 + x1) * 0.5f, s.cy = (y0 + y1) * 0.5f;
  s.drawable = true;
  return s;
}

RowSpan row_span(const StarFramebuffer& dst, const Streak& s, float U) {
  const float W = s.slope >= 100000.0f ? s.cx : (U + s.cy - s.y0) * s.slope + s.x0;
  const float xs = std::fmax(static_cast<float>(s.xlo), W - s.h);
  const float xe = std::fmin(static_cast<float>(s.xhi), W + s.h);
  RowSpan r{to_int(std::floor(xs)), -1, std::floor(xs) - s.cx};
  const float Xend = std::ceil(xe) - s.cx;
  if (r.X > Xend) return r;
  // The columns run while X, grown by adding 1, stays within Xend, and
  // within the row: count them as those additions do.
  const int room = dst.width - r.first;
  int n = Xend - r.X >= static_cast<float>(room) ? room : static_cast<int>(Xend - r.X) + 1;
  while (n < room && r.X + static_cast<float>(n) <= Xend) ++n;
  while (n > 0 && r.X + static_cast<float>(n - 1) > Xend) --n;
  r.last = r.first + n - 1;
  return r;
}

}  // namespace imgops

namespace {

using imgops::Streak;

// The light at (X, U) from the midpoint: the spot, or the spot's integral
// along the segment divided by its length.
float streak_value(const Streak& s, float X, float U) {
  if (!s.is_streak) return std::exp(-(X * X / s.a2) - U * U / s.b2) * s.amount;
  const float across = s.uy * X - s.ux * U;
  const float G = std::exp(across * across * (-1.0f / s.D));
  // Bounded erf terms times zero: the same 0 without computing them.
  if (G == 0.0f) return 0.0f;
  const float P = s.a2 * s.uy * U + s.b2 * s.ux * X;
  const float e1 = static_cast<float>(imgops::erf((s.len * 0.5f * s.D - P) * s.k));
  const float e0 = static_cast<float>(imgops::erf((s.len * -0.5f * s.D - P) * s.k));
  const float sqrt_pi_2 = 0.88622695f;
  return (e1 - e0) * (G * (s.a * sqrt_pi_2 * s.b * (1.0f / std::sqrt(s.D)))) * s.light_per_len;
}

// Adds the light of one row, U = iy - cy; true when any pixel gained light.
bool draw_row(const StarFramebuffer& dst, const Streak& s, int iy, float U,
              const VectorN<float, 3>& colour) {
  const imgops::RowSpan span = imgops::row_span(dst, s, U);
  if (span.last < span.first) return false;
  if (dst.lazy) dst.lazy->prepare(iy, span.first, span.last);

  bool lit = false;
  const int row = iy * dst.row_stride;
  float X = span.X;
  for (int ix = span.first; ix <= span.last; X += 1.0f, ++ix) {
    ASSERT(ix >= 0 && ix < dst.width);
    const int at = row + ix * dst.pixel_stride;
    const float c = dst.alpha[at];
    if (c >= 1.0f) continue;
    const float g = streak_value(s, X, U) * (1.0f - c);
    dst.red[at] += g * colour[0];
    dst.green[at] += g * colour[1];
    dst.blue[at] += g * colour[2];
    if (g > 0.0f) lit = true;
  }
  return lit;
}

}  // namespace

bool op_star_streak(const StarFramebuffer& dst, const VectorN<float, 2>& p0,
                    const VectorN<float, 2>& p1, float amount, const VectorN<float, 3>& colour,
                    float a, float b, op_stars_lines lines) {
  const Streak s = imgops::setup_streak(dst, p0, p1, amount, a, b);
  if (!s.drawable) return false;
  bool result = false;
  // U grows by adding 1 row by row, skipped rows included.
  float U = static_cast<float>(s.ylo) - s.cy;
  for (int iy = s.ylo; iy <= s.yhi; ++iy, U += 1.0f) {
    ASSERT(iy >= 0 && iy < dst.height);
    if (!imgops::row_drawn(dst, lines, iy)) continue;
    if (draw_row(dst, s, iy, U, colour)) result = true;
  }
  return result;
}

Matrix4<double> perspective_matrix(double zoom, double near, double far) {
  if (!(zoom >= 0.0)) return Matrix4<double>::identity();
  const double k = far > 0.0 ? 1.0 / ((1.0 - near / far) * zoom) : 1.0 / zoom;
  Matrix4<double> m{};
  m(0, 0) = 1.0;
  m(1, 1) = 1.0;
  m(2, 2) = k;
  m(2, 3) = 1.0 / zoom;
  m(3, 2) = -k * near;
  return m;
}

SkyDirection sky_direction(double ra, double dec) {
  // Angles go to radians in single precision, as the star records were made for.
  const double ra_r = static_cast<double>(static_cast<float>(ra) * 0.017453292f);
  const double dec_r = static_cast<double>(static_cast<float>(dec) * 0.017453292f);
  const double cd = std::cos(dec_r);
  return SkyDirection{cd * std::cos(ra_r), std::sin(dec_r), cd * std::sin(ra_r)};
}

void star_lookups(const unsigned char* records, size_t n, float* bright, SkyDirection* dirs) {
  for (size_t i = 0; i < n; ++i) {
    const unsigned char* record = records + i * star_db::kRecordSize;
    bright[i] = star_db::field<float>(record, star_db::kBrightness);
    dirs[i] = sky_direction(star_db::field<double>(record, star_db::kRa),
                            star_db::field<double>(record, star_db::kDec));
  }
}

bool world_to_screen(const SkyPoint& star, const Matrix4<double>& m, const ScreenMapping& screen,
                     VectorN<float, 2>& out) {
  return world_to_screen(sky_direction(star.ra, star.dec), star, m, screen, out);
}

bool world_to_screen(const SkyDirection& direction, const SkyPoint& star, const Matrix4<double>& m,
                     const ScreenMapping& screen, VectorN<float, 2>& out) {
  const double X = direction.x, Y = direction.y, Z = direction.z;
  double w = (star.distance > 0.0 ? 1.0 / star.distance : 0.0) - 0.01 * star.parallax;
  if (!(w >= 0.0)) w = 0.0;

  double r = X * m(0, 0) + Y * m(1, 0) + Z * m(2, 0) + w * m(3, 0);
  double u = X * m(0, 1) + Y * m(1, 1) + Z * m(2, 1) + w * m(3, 1);
  double v = X * m(0, 2) + Y * m(1, 2) + Z * m(2, 2) + w * m(3, 2);
  const double t = X * m(0, 3) + Y * m(1, 3) + Z * m(2, 3) + w * m(3, 3);
  bool visible = t >= 0.0;

  const op_stars_projection projection = screen.projection;
  switch (projection) {
    case Perspective: {
      const double inv = 1.0 / t;
      r *= inv;
      u *= inv;
      v *= inv;
      break;
    }
    case Hemispherical:
    case AzimuthalEquidistant: {
      const double L = std::sqrt(r * r + u * u + v * v);
      if (L != 0.0) {
        const double inv = 1.0 / L;
        r *= inv;
        u *= inv;
        v *= inv;
      }
      if (projection == AzimuthalEquidistant) {
        const double rho = std::sqrt(r * r + u * u);
        if (rho == 0.0) {
          r = u = 0.0;  // on the view axis: the centre, not 0 * infinity
        } else {
          // Rounding can leave rho a hair above 1 at 90 degrees off axis.
          const double s = std::asin(rho < 1.0 ? rho : 1.0) * 0.6366197546520227;
          const double f = s * (1.0 / rho);
          r *= f;
          u *= f;
        }
      }
      if (r * r + u * u > 1.0) visible = false;
      break;
    }
    default: THROW_STR("unknown projection");
  }
  if (!(v >= 0.0)) visible = false;

  out[0] = static_cast<float>((r - screen.left) / (screen.right - screen.left) * screen.width);
  out[1] = static_cast<float>((screen.top - u) / (screen.top - screen.bottom) * screen.height);
  return visible;
}

// ---------------------------------------------------------------------------
// StarRenderer

struct StarRenderer::Private {
  Private(const StarFramebuffer& fb, StarInput& input, const Array<camera>& cams)
      : fb(fb), input(input), cams(cams) {}
  const StarFramebuffer& fb;
  StarInput& input;
  const Array<camera>& cams;
  Array<Matrix4<double>> xforms;  // one final matrix per camera
  ScreenMapping screen{};         // the window over the framebuffer, with the data's projection
  float seg_brightness = 0.0f;
  float spot_w = 0.0f;
  float spot_h = 0.0f;
  uint32_t next_record = 0;
  bool distances = false;  // the source's records carry distances
  float linear[256];       // the colour bytes through the sRGB decoding curve
  // The input's brightnesses and directions, when it keeps them.
  const float* bright = nullptr;
  const SkyDirection* dirs = nullptr;

  std::unique_ptr<imgops::SkyReach> reach;  // made at the first question

  bool draw(const StarRendererData& data, const unsigned char* record, const SkyDirection* dir);
  // Calls segment(p0, p1, amount, colour) for each spot or streak of the
  // record, in drawing order; true when any call returned true.
  template <class Segment>
  bool each_segment(const StarRendererData& data, const unsigned char* record,
                    const SkyDirection* dir, Segment&& segment) const;
  // A record with its lookups: a faint star is passed over untouched.
  bool draw_looked_up(const StarRendererData& data, const unsigned char* record, float bright,
                      const SkyDirection* dir) {
    return static_cast<double>(bright) >= data.lum_threshold && draw(data, record, dir);
  }
};

StarRenderer::StarRenderer(const StarRendererData& data, const StarFramebuffer& fb,
                           StarInput& input, const Array<camera>& cams)
    : data(data), priv(nullptr) {
  // Owned by the guard until construction succeeds.
  std::unique_ptr<Private> guard(new Private(fb, input, cams));
  Private* priv = guard.get();
  ASSERT(priv->cams.len() > 0);

  for (const camera& c : cams) {
    if (data.projection == Perspective)
      priv->xforms.append(c.matrix * perspective_matrix(c.zoom, c.near, c.far));
    else
      priv->xforms.append(c.matrix);
  }

  priv->screen =
      ScreenMapping{data.projection,   fb.width,           fb.height,      data.screen_left,
                    data.screen_right, data.screen_bottom, data.screen_top};

  // A star's light is shared among the streak segments between its cameras.
  priv->seg_brightness = static_cast<float>(data.brightness * 4.0);
  const size_t n = cams.len();
  if (n > 1) priv->seg_brightness /= static_cast<float>(n - 1);

  const double W = fb.width, H = fb.height;
  priv->spot_w = static_cast<float>(W * (data.star_width * 0.0005));
  priv->spot_h = static_cast<float>(W * (data.star_height * 0.0005));
  // Pixel aspect: 1 when the screen window has the framebuffer's proportions.
  priv->spot_w = static_cast<float>(priv->spot_w *
                                    ((W / H) / (std::fabs(data.screen_right - data.screen_left) /
                                                std::fabs(data.screen_bottom - data.screen_top))));
  // Never narrower than a pixel: a smaller star is drawn one pixel wide and fainter.
  if (priv->spot_w < 1.0f) {
    priv->seg_brightness *= priv->spot_w;
    priv->spot_w = 1.0f;
  }
  if (priv->spot_h < 1.0f) {
    priv->seg_brightness *= priv->spot_h;
    priv->spot_h = 1.0f;
  }

  // The header record is passed over: the source tells what it says.
  input.next();
  switch (input.version()) {
    case 1: break;
    case 2: priv->distances = true; break;
    default: THROW_STR("error in star database file");
  }
  priv->next_record = 1;
  // Star colour bytes are sRGB-encoded: 256 values, decoded once.
  for (int v = 0; v < 256; ++v) priv->linear[v] = srgb_decode(static_cast<float>(v) * 0.003921569f);
  priv->bright = input.brightnesses();
  priv->dirs = input.directions();
  this->priv = guard.release();
}

StarRenderer::~StarRenderer() { delete priv; }

bool StarRenderer::render_next(bool& drew) {
  if (priv->next_record >= priv->input.record_count) return false;
  if (data.brightness == 0.0) return false;
  const uint32_t i = priv->next_record;
  const unsigned char* record = priv->input.next();
  if (priv->bright ? priv->draw_looked_up(data, record, priv->bright[i],
                                          priv->dirs ? priv->dirs + i : nullptr)
                   : priv->draw(data, record, nullptr))
    drew = true;
  ++priv->next_record;
  return priv->next_record < priv->input.record_count;
}

bool StarRenderer::render_star(const unsigned char* record) {
  return priv->draw(data, record, nullptr);
}

bool StarRenderer::render_records(const unsigned char* records, const float* bright,
                                  const SkyDirection* dirs, size_t n) {
  bool drew = false;
  if (data.brightness == 0.0) return false;
  for (size_t i = 0; i < n; ++i)
    if (priv->draw_looked_up(data, records + i * star_db::kRecordSize, bright[i], dirs + i))
      drew = true;
  return drew;
}

bool StarRenderer::may_light(const SkyPatch& patch) const {
  if (!priv->reach) {
    const imgops::ReachInputs in{&data,        &priv->cams,  priv->fb.width,       priv->fb.height,
                                 priv->spot_w, priv->spot_h, priv->seg_brightness, priv->distances};
    priv->reach = std::make_unique<imgops::SkyReach>(in);
  }
  return data.brightness != 0.0 && priv->reach->may_light(patch);
}

void StarRenderer::prepare_records(const unsigned char* records, const float* bright,
                                   const SkyDirection* dirs, size_t n,
                                   std::vector<PreparedStar>& out) const {
  if (data.brightness == 0.0) return;
  const Private& p = *priv;
  auto prepare = [&](const VectorN<float, 2>& p0, const VectorN<float, 2>& p1, float amount,
                     const VectorN<float, 3>& colour) {
    const imgops::Streak s = imgops::setup_streak(p.fb, p0, p1, amount, p.spot_w, p.spot_h);
    if (s.drawable) out.push_back(PreparedStar{s, colour});
    return s.drawable;
  };
  for (size_t i = 0; i < n; ++i)
    if (static_cast<double>(bright[i]) >= data.lum_threshold)
      p.each_segment(data, records + i * star_db::kRecordSize, dirs + i, prepare);
}

bool StarRenderer::Private::draw(const StarRendererData& data, const unsigned char* record,
                                 const SkyDirection* dir) {
  auto streak = data.path == ExactPath ? op_star_streak : op_star_streak_fast;
  return each_segment(data, record, dir,
                      [&](const VectorN<float, 2>& p0, const VectorN<float, 2>& p1, float amount,
                          const VectorN<float, 3>& colour) {
                        return streak(fb, p0, p1, amount, colour, spot_w, spot_h, data.lines);
                      });
}

template <class Segment>
bool StarRenderer::Private::each_segment(const StarRendererData& data, const unsigned char* record,
                                         const SkyDirection* dir, Segment&& segment) const {
  using star_db::field;
  float b = field<float>(record, star_db::kBrightness);
  if (!(static_cast<double>(b) >= data.lum_threshold)) return false;
  const double distance =
      data.three_d && distances ? field<double>(record, star_db::kDistance) : -1.0;
  if (data.brightness_power != 1.0) b = std::pow(b, static_cast<float>(data.brightness_power));
  if (static_cast<double>(b) > data.lum_max) b = static_cast<float>(data.lum_max);

  const float t = static_cast<float>(data.tint_strength);
  const float s = static_cast<float>(data.saturation);
  VectorN<float, 3> colour;
  for (int c = 0; c < 3; ++c)
    colour[c] =
        ((1.0f - t) * linear[record[star_db::kRed + c]] + t * data.tint[c]) * s + (1.0f - s) * 0.5f;
  const float amount = b * seg_brightness;

  const SkyPoint star{field<double>(record, star_db::kRa), field<double>(record, star_db::kDec),
                      distance, data.parallax};
  const SkyDirection direction = dir ? *dir : sky_direction(star.ra, star.dec);
  auto project = [&](size_t i, VectorN<float, 2>& p) {
    return world_to_screen(direction, star, xforms[i], screen, p);
  };

  VectorN<float, 2> prev;
  bool prev_ok = project(0, prev);
  const size_t n = xforms.len();
  if (n == 1) return prev_ok && segment(prev, prev, amount, colour);
  bool drew = false;
  for (size_t i = 1; i < n; ++i) {
    VectorN<float, 2> p;
    const bool ok = project(i, p);
    // A segment is drawn when either end is visible; the other end is used as projected.
    if ((ok || prev_ok) && segment(prev, p, amount, colour)) drew = true;
    prev = p;
    prev_ok = ok;
  }
  return drew;
}
