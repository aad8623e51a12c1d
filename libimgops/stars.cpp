#include "libimgops/stars.h"

#include <climits>
#include <cmath>
#include <cstring>
#include <memory>

StarInput::~StarInput() = default;

namespace imgops {
double erf(double x) { return std::erf(x); }
}  // namespace imgops

namespace {

// Saturating float-to-int conversion: box limits far outside the int range
// clip on both sides instead of wrapping.
int to_int(float f) {
  if (f <= static_cast<float>(INT_MIN)) return INT_MIN;
  if (f >= static_cast<float>(INT_MAX)) return INT_MAX;
  return static_cast<int>(f);
}

int plus_one(int i) { return i == INT_MAX ? i : i + 1; }

}  // namespace

bool op_star_streak(const StarFramebuffer& dst, const VectorN<float, 2>& p0,
                    const VectorN<float, 2>& p1, float amount, const VectorN<float, 3>& colour,
                    float a, float b, op_stars_lines lines) {
  const float x0 = p0[0], y0 = p0[1], x1 = p1[0], y1 = p1[1];
  // A segment with a non-finite end (a star in the camera plane) draws nothing.
  if (!std::isfinite(x0) || !std::isfinite(y0) || !std::isfinite(x1) || !std::isfinite(y1))
    return false;
  // Drawn out to the level 1/6250 of the peak: below that there is no reach.
  // An infinite amount or size has no finite reach either: it would fill the
  // whole box with inf or NaN.
  const float kLevel = 6250.0f;
  if (!(kLevel * amount >= 1.0f) || !std::isfinite(amount)) return false;
  if (!(a > 0.0f) || !(b > 0.0f) || !std::isfinite(a) || !std::isfinite(b)) return false;

  const float minx = x0 < x1 ? x0 : x1, maxx = x0 < x1 ? x1 : x0;
  const float miny = y0 < y1 ? y0 : y1, maxy = y0 < y1 ? y1 : y0;

  const float dx = x1 - x0, dy = y1 - y0;
  const float len = std::sqrt(dx * dx + dy * dy);
  // Ends so far apart that the length overflows (one end about 2e19 pixels
  // away, a star crossing the camera plane): the light per pixel is nil, and
  // an infinite length would turn every scanned pixel into NaN.
  if (!std::isfinite(len)) return false;
  float ux = 0.0f, uy = 0.0f;
  if (len != 0.0f) {
    const float inv = 1.0f / len;
    ux = dx * inv;
    uy = dy * inv;
  }
  const bool streak = len > 0.00001f;

  const float L = std::log(kLevel * amount);
  const float rx = std::sqrt(L) * a;
  const float ry = std::sqrt(L) * b;

  // Each row scans a band of half-width h around the segment's x at that row;
  // near-horizontal segments scan the whole box.
  float slope, h;
  if (std::fabs(dy) > 0.000001f) {
    slope = dx / dy;
    h = std::fabs(rx * b * slope) + rx * a;
  } else {
    slope = 1e20f;
    h = 1e20f;
  }

  int xlo = to_int(std::floor(minx - rx));
  int ylo = to_int(std::floor(miny - ry));
  int xhi = plus_one(to_int(std::floor(maxx + rx)));
  int yhi = plus_one(to_int(std::floor(maxy + ry)));
  if (xhi < 0 || xlo >= dst.width || yhi < 0 || ylo >= dst.height) return false;
  if (xlo < 0) xlo = 0;
  if (xlo > dst.width - 1) xlo = dst.width - 1;
  if (xhi > dst.width - 1) xhi = dst.width - 1;
  if (ylo < 0) ylo = 0;
  if (ylo > dst.height - 1) ylo = dst.height - 1;
  if (yhi > dst.height - 1) yhi = dst.height - 1;

  const float a2 = a * a, b2 = b * b;
  const float D = a2 * uy * uy + b2 * ux * ux;
  const float k = (1.0f / std::sqrt(D)) / (a * b);
  const float cx = (x0 + x1) * 0.5f, cy = (y0 + y1) * 0.5f;
  const float sqrt_pi_2 = 0.88622695f;

  bool result = false;
  float U = static_cast<float>(ylo) - cy;
  for (int iy = ylo; iy <= yhi; ++iy, U += 1.0f) {
    ASSERT(iy >= 0 && iy < dst.height);
    if (lines == EvenLines && (iy & 1)) continue;
    if (lines == OddLines && !(iy & 1)) continue;

    const float W = slope >= 100000.0f ? (x0 + x1) * 0.5f : (U + cy - y0) * slope + x0;
    const float xs = std::fmax(static_cast<float>(xlo), W - h);
    const float xe = std::fmin(static_cast<float>(xhi), W + h);
    float X = std::floor(xs) - cx;
    const float Xend = std::ceil(xe) - cx;
    if (X > Xend) continue;

    const int row = iy * dst.row_stride;
    for (int ix = to_int(std::floor(xs)); X <= Xend && ix < dst.width; X += 1.0f, ++ix) {
      ASSERT(ix >= 0 && ix < dst.width);
      const int at = row + ix * dst.pixel_stride;
      const float c = dst.alpha[at];
      if (c >= 1.0f) continue;
      float g;
      if (!streak) {
        g = std::exp(-(X * X / a2) - U * U / b2) * amount;
      } else {
        const float across = uy * X - ux * U;
        const float G = std::exp(across * across * (-1.0f / D));
        if (G == 0.0f) {
          g = 0.0f;  // bounded erf terms times zero: the same 0 without computing them
        } else {
          const float P = a2 * uy * U + b2 * ux * X;
          const float e1 = static_cast<float>(imgops::erf((len * 0.5f * D - P) * k));
          const float e0 = static_cast<float>(imgops::erf((len * -0.5f * D - P) * k));
          g = (e1 - e0) * (G * (a * sqrt_pi_2 * b * (1.0f / std::sqrt(D)))) * (amount / len);
        }
      }
      g = g * (1.0f - c);
      dst.red[at] += g * colour[0];
      dst.green[at] += g * colour[1];
      dst.blue[at] += g * colour[2];
      if (g > 0.0f) result = true;
    }
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

bool world_to_screen(double ra, double dec, double distance, double parallax, Matrix4<double> m,
                     op_stars_projection projection, int width, int height, double left,
                     double right, double bottom, double top, VectorN<float, 2>& out) {
  // Angles go to radians in single precision, as the star records were made for.
  const double ra_r = static_cast<double>(static_cast<float>(ra) * 0.017453292f);
  const double dec_r = static_cast<double>(static_cast<float>(dec) * 0.017453292f);
  const double cd = std::cos(dec_r);
  const double X = cd * std::cos(ra_r), Y = std::sin(dec_r), Z = cd * std::sin(ra_r);

  double w = (distance > 0.0 ? 1.0 / distance : 0.0) - 0.01 * parallax;
  if (!(w >= 0.0)) w = 0.0;

  double r = X * m(0, 0) + Y * m(1, 0) + Z * m(2, 0) + w * m(3, 0);
  double u = X * m(0, 1) + Y * m(1, 1) + Z * m(2, 1) + w * m(3, 1);
  double v = X * m(0, 2) + Y * m(1, 2) + Z * m(2, 2) + w * m(3, 2);
  const double t = X * m(0, 3) + Y * m(1, 3) + Z * m(2, 3) + w * m(3, 3);
  bool visible = t >= 0.0;

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

  out[0] = static_cast<float>((r - left) / (right - left) * width);
  out[1] = static_cast<float>((top - u) / (top - bottom) * height);
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
  float seg_brightness = 0.0f;
  float spot_w = 0.0f;
  float spot_h = 0.0f;
  uint32_t next_record = 0;
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

  const unsigned char* header = input.next();
  if (memcmp(header, "VANTREL1", 8) != 0) {
    if (memcmp(header, "VANTREL2", 8) == 0)
      input.is_version2 = true;
    else
      THROW_STR("error in star database file");
  }
  priv->next_record = 1;
  this->priv = guard.release();
}

StarRenderer::~StarRenderer() { delete priv; }

bool StarRenderer::render_next(bool& drew) {
  if (priv->next_record >= priv->input.record_count) return false;
  if (data.brightness == 0.0) return false;
  if (render_star(priv->input.next())) drew = true;
  ++priv->next_record;
  return priv->next_record < priv->input.record_count;
}

namespace {

// Star colour bytes are sRGB-encoded; 0.94786733 is the float just above 1 / 1.055.
float decode_srgb_byte(unsigned char v) {
  const float x = static_cast<float>(v) * 0.003921569f;
  return x > 0.03928f ? std::pow((x + 0.055f) * 0.94786733f, 2.4f) : x * 0.07739938f;
}

template <class T>
T field(const unsigned char* record, int offset) {
  T v;
  memcpy(&v, record + offset, sizeof v);  // records are little-endian, as is the machine
  return v;
}

}  // namespace

bool StarRenderer::render_star(const unsigned char* record) {
  float b = field<float>(record, 16);
  if (!(static_cast<double>(b) >= data.lum_threshold)) return false;
  const double distance =
      data.three_d && priv->input.is_version2 ? field<double>(record, 24) : -1.0;
  if (data.brightness_power != 1.0) b = std::pow(b, static_cast<float>(data.brightness_power));
  if (static_cast<double>(b) > data.lum_max) b = static_cast<float>(data.lum_max);

  const float t = static_cast<float>(data.tint_strength);
  const float s = static_cast<float>(data.saturation);
  VectorN<float, 3> colour;
  for (int c = 0; c < 3; ++c) {
    const float linear = decode_srgb_byte(record[20 + c]);
    colour[c] = ((1.0f - t) * linear + t * data.tint[c]) * s + (1.0f - s) * 0.5f;
  }
  const float amount = b * priv->seg_brightness;

  const double ra = field<double>(record, 0), dec = field<double>(record, 8);
  const StarFramebuffer& fb = priv->fb;
  auto project = [&](size_t i, VectorN<float, 2>& p) {
    return world_to_screen(ra, dec, distance, data.parallax, priv->xforms[i], data.projection,
                           fb.width, fb.height, data.screen_left, data.screen_right,
                           data.screen_bottom, data.screen_top, p);
  };

  VectorN<float, 2> prev;
  bool prev_ok = project(0, prev);
  const size_t n = priv->xforms.len();
  if (n == 1)
    return prev_ok &&
           op_star_streak(fb, prev, prev, amount, colour, priv->spot_w, priv->spot_h, data.lines);
  bool drew = false;
  for (size_t i = 1; i < n; ++i) {
    VectorN<float, 2> p;
    const bool ok = project(i, p);
    // A segment is drawn when either end is visible; the other end is used as projected.
    if ((ok || prev_ok) &&
        op_star_streak(fb, prev, p, amount, colour, priv->spot_w, priv->spot_h, data.lines))
      drew = true;
    prev = p;
    prev_ok = ok;
  }
  return drew;
}
