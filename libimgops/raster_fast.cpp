// The fast rasteriser: the reference's setup, rows and columns, with the
// per-pixel arithmetic in vector lanes. Every product and sum is the
// reference's, in its order; only the exponential differs (a few ulps),
// a spot's exponential is split into a column and a row factor, and a
// streak leaves out light below kFaintest, which the reference forms in
// subnormal floats at a hundred times the cost.
#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>

#include "libimgops/isa.h"
#include "libimgops/lanes.h"
#include "libimgops/streak.h"

namespace imgops {
namespace lanes {

ErfTable::ErfTable() {
  for (int j = 0; j <= 512; ++j) {
    const double x0 = j / 128.0;
    at[j] = Point{imgops::erf(x0), 1.1283791670955126 * std::exp(-x0 * x0)};
  }
  // The float error function is monotonic: bisect over the bit patterns.
  uint32_t lo = bit_cast<uint32_t>(1.0f), hi = bit_cast<uint32_t>(8.0f);
  while (hi - lo > 1) {
    const uint32_t mid = lo + (hi - lo) / 2;
    (erf_rounded(bit_cast<float>(mid)) == 1.0f ? hi : lo) = mid;
  }
  one = bit_cast<float>(hi);
}

const ErfTable& erf_table() {
  static const ErfTable table;
  return table;
}

float erf_rounded(float x) { return static_cast<float>(imgops::erf(x)); }

}  // namespace lanes

namespace {

using lanes::any;
using lanes::Lanes;
using lanes::load;
using lanes::store;

// One row's run of pixels, contiguous. A padded run may be read and
// written back unchanged up to W - 1 values past its end.
struct Run {
  float* red;
  float* green;
  float* blue;
  const float* alpha;
  int n;
  bool padded;
};

// The coverage of the W pixels at index at, of which only the first m are
// the run's: the others count as covered, so that they keep their values.
template <int W>
IMGOPS_INLINE typename Lanes<W>::F coverage_of(const Run& run, int at, int m) {
  typedef typename Lanes<W>::F F;
  const F c = load<F>(run.alpha + at);
  if (m >= W) return c;
  F lane;
  for (int j = 0; j < W; ++j) lane[j] = static_cast<float>(j);
  return lane < static_cast<float>(m) ? c : F{} + 1.0f;
}

// Light a streak adds to a pixel below this (about 1e-18) is left out: ten
// billion times below the least value a half float holds, and far enough
// above the subnormal floats that no product on the way to a pixel forms one.
const float kFaintest = 0x1p-60f;

// What every pixel of one streak needs, each value rounded as the reference
// rounds it.
struct StreakTerms {
  explicit StreakTerms(const Streak& s)
      : ux(s.ux),
        uy(s.uy),
        minus_inv_D(-1.0f / s.D),
        a2uy(s.a2 * s.uy),
        b2ux(s.b2 * s.ux),
        head(s.len * 0.5f * s.D),
        tail(s.len * -0.5f * s.D),
        k(s.k),
        scale(s.a * 0.88622695f * s.b * (1.0f / std::sqrt(s.D))),
        light_per_len(s.light_per_len),
        erf(lanes::erf_table()) {
    // The Gaussian across the segment below which a pixel's light, at most
    // 2 G scale light_per_len, is under kFaintest; never a subnormal.
    const double floor = kFaintest / (2.0 * double(scale) * light_per_len);
    faintest_G = static_cast<float>(std::min(std::max(floor, double(FLT_MIN)), 2.0));
  }
  float ux, uy, minus_inv_D, a2uy, b2ux, head, tail, k, scale, light_per_len;
  float faintest_G;
  const lanes::ErfTable& erf;
};

// Adds light v to the W pixels at index at, except where the scene covers
// them (coverage of 1 or more); true when any of them gained light.
template <int W>
IMGOPS_INLINE bool add_light(const Run& run, int at, typename Lanes<W>::F value,
                             typename Lanes<W>::F coverage, const VectorN<float, 3>& colour) {
  typedef typename Lanes<W>::F F;
  typedef typename Lanes<W>::I I;
  const I keep = ~(coverage >= 1.0f);
  const F v = value * (1.0f - coverage);
  const F r = load<F>(run.red + at), g = load<F>(run.green + at), b = load<F>(run.blue + at);
  store(run.red + at, keep ? r + v * colour[0] : r);
  store(run.green + at, keep ? g + v * colour[1] : g);
  store(run.blue + at, keep ? b + v * colour[2] : b);
  return any(keep & (v > 0.0f));
}

// Runs kernel(pixels, at, i, m) over a run W pixels at a time: the pixels
// i of the run are those at index at, and the first m lanes are the run's.
// The last, partial vector of a run that is not padded goes through a
// padded copy (at 0) whose extra pixels are covered.
template <int W, class Kernel>
IMGOPS_INLINE bool over_run(const Run& run, Kernel kernel) {
  bool lit = false;
  int i = 0;
  for (; i + W <= run.n; i += W) lit |= kernel(run, i, i, W);
  if (i < run.n && run.padded) return kernel(run, i, i, run.n - i) || lit;
  if (i < run.n) {
    float r[W], g[W], b[W], a[W];
    const int m = run.n - i;
    for (int j = 0; j < W; ++j) {
      const bool in = j < m;
      r[j] = in ? run.red[i + j] : 0.0f;
      g[j] = in ? run.green[i + j] : 0.0f;
      b[j] = in ? run.blue[i + j] : 0.0f;
      a[j] = in ? run.alpha[i + j] : 1.0f;
    }
    lit |= kernel(Run{r, g, b, a, W, false}, 0, i, W);
    for (int j = 0; j < m; ++j) {
      run.red[i + j] = r[j];
      run.green[i + j] = g[j];
      run.blue[i + j] = b[j];
    }
  }
  return lit;
}

// A spot's light is exp(-X^2 / a^2) exp(-U^2 / b^2) amount: columns times
// rows. column holds the run's factors and W - 1 more, of any value.
template <int W>
IMGOPS_INLINE bool spot_run(const Run& run, const float* column, float row,
                            const VectorN<float, 3>& colour) {
  typedef typename Lanes<W>::F F;
  return over_run<W>(run, [&](const Run& r, int at, int i, int m) IMGOPS_LAMBDA {
    const F value = load<F>(column + i) * row;
    return add_light<W>(r, at, value, coverage_of<W>(r, at, m), colour);
  });
}

template <int W>
IMGOPS_INLINE bool streak_run(const Run& run, const StreakTerms& t, float X0, float U,
                              const VectorN<float, 3>& colour) {
  typedef typename Lanes<W>::F F;
  typedef typename Lanes<W>::I I;
  F lane;
  for (int j = 0; j < W; ++j) lane[j] = static_cast<float>(j);
  const float uxU = t.ux * U, a2uyU = t.a2uy * U;
  return over_run<W>(run, [&](const Run& r, int at, int i, int m) IMGOPS_LAMBDA {
    const F coverage = coverage_of<W>(r, at, m);
    // X grows by adding 1 per column; so long as it is exact, as here.
    const F X = X0 + (lane + static_cast<float>(i));
    const F across = t.uy * X - uxU;
    const F e = lanes::exp_neg<W>(across * across * t.minus_inv_D);
    const F G = e >= t.faintest_G ? e : F{};
    const I live = ~(coverage >= 1.0f) & (G != 0.0f);
    if (!any(live)) return false;
    const F P = a2uyU + t.b2ux * X;
    const F e1 = lanes::erf_lanes<W>((t.head - P) * t.k, t.erf);
    const F e0 = lanes::erf_lanes<W>((t.tail - P) * t.k, t.erf);
    const F value = (e1 - e0) * (G * t.scale) * t.light_per_len;
    return add_light<W>(r, at, G != 0.0f ? value : F{}, coverage, colour);
  });
}

// Calls fn(run, first column of the run) for the columns first..last of a
// row: the framebuffer's own memory when its pixels are contiguous, else
// copies of up to 64 pixels, written back afterwards.
template <int W, class Fn>
IMGOPS_INLINE bool with_run(const StarFramebuffer& dst, int iy, int first, int last, Fn fn) {
  const size_t row = static_cast<size_t>(iy) * dst.row_stride;
  if (dst.pixel_stride == 1) {
    const Run run{dst.red + row + first,   dst.green + row + first, dst.blue + row + first,
                  dst.alpha + row + first, last - first + 1,        dst.slack >= W - 1};
    return fn(run, first);
  }
  bool lit = false;
  for (int x = first; x <= last; x += 64) {
    const int n = std::min(64, last - x + 1);
    float r[64 + W], g[64 + W], b[64 + W], a[64 + W];
    for (int j = 0; j < n; ++j) {
      const size_t at = row + static_cast<size_t>(x + j) * dst.pixel_stride;
      r[j] = dst.red[at], g[j] = dst.green[at], b[j] = dst.blue[at], a[j] = dst.alpha[at];
    }
    for (int j = n; j < n + W; ++j) r[j] = g[j] = b[j] = a[j] = 0.0f;
    lit |= fn(Run{r, g, b, a, n, true}, x);
    for (int j = 0; j < n; ++j) {
      const size_t at = row + static_cast<size_t>(x + j) * dst.pixel_stride;
      dst.red[at] = r[j], dst.green[at] = g[j], dst.blue[at] = b[j];
    }
  }
  return lit;
}

// NaN (a band of spot sizes whose products overflow) goes to lo: as a last
// column or row that leaves nothing to draw.
int clamp_to_int(double v, int lo, int hi) {
  return !(v > lo) ? lo : v >= hi ? hi : static_cast<int>(v);
}

// Where a streak's Gaussian across the segment reaches faintest_G: |across|
// < T, with across = uy X - ux U, rounded as the pixels round it.
struct Band {
  Band(const Streak& s, const StreakTerms& t) : ux(s.ux), uy(s.uy), cx(s.cx), cy(s.cy) {
    // exp(-across^2 / D) >= faintest_G; a few ulps of the exponential, float
    // rounding of the two products and a pixel of slack on top.
    const double reach = std::fabs(double(s.xhi) - s.cx) + std::fabs(double(s.xlo) - s.cx) +
                         std::fabs(double(s.yhi) - s.cy) + std::fabs(double(s.ylo) - s.cy);
    T = std::sqrt((-std::log(double(t.faintest_G)) + 0.01) * s.D) + reach * 1e-6 + 1.0;
  }
  // Narrows the columns first..last of a row at U.
  void columns(float U, int& first, int& last) const {
    const double c = double(ux) * U;
    if (std::fabs(uy) < 1e-9) {
      if (std::fabs(c) > T) last = first - 1;
      return;
    }
    double lo = (c - T) / uy, hi = (c + T) / uy;
    if (lo > hi) std::swap(lo, hi);
    first = std::max(first, clamp_to_int(std::floor(lo + cx) - 1, INT_MIN / 2, INT_MAX / 2));
    last = std::min(last, clamp_to_int(std::ceil(hi + cx) + 1, INT_MIN / 2, INT_MAX / 2));
  }
  // Narrows the rows ylo..yhi to those whose columns xlo..xhi can be in the band.
  void rows(int xlo, int xhi, int& ylo, int& yhi) const {
    if (std::fabs(ux) < 1e-9) return;
    const double m0 = uy * (xlo - double(cx)), m1 = uy * (xhi - double(cx));
    double lo = (std::min(m0, m1) - T) / ux, hi = (std::max(m0, m1) + T) / ux;
    if (lo > hi) std::swap(lo, hi);
    ylo = std::max(ylo, clamp_to_int(std::floor(lo + cy) - 1, INT_MIN / 2, INT_MAX / 2));
    yhi = std::min(yhi, clamp_to_int(std::ceil(hi + cy) + 1, INT_MIN / 2, INT_MAX / 2));
  }
  double ux, uy, cx, cy, T;
};

// The rows of ylo .. yhi that dst draws (none when last < first).
struct DrawnRows {
  DrawnRows(const StarFramebuffer& dst, int ylo, int yhi)
      : first(std::max(ylo, dst.first_row)), last(std::min(yhi, dst.last_row)) {}
  int first, last;
};

// A spot's row factors exp(-U^2 / b^2) amount for the W rows from iy; U
// grows by adding 1 per row from the box's first row, exactly.
template <int W>
IMGOPS_INLINE typename Lanes<W>::F spot_rows(const Streak& s, int iy) {
  typedef typename Lanes<W>::F F;
  F U;
  for (int j = 0; j < W; ++j) U[j] = static_cast<float>(j);
  U = ((static_cast<float>(s.ylo) - s.cy) + static_cast<float>(iy - s.ylo)) + U;
  return lanes::exp_neg<W>(-(U * U / s.b2)) * s.amount;
}

template <int W>
IMGOPS_INLINE bool draw_spot(const StarFramebuffer& dst, const Streak& s,
                             const VectorN<float, 3>& colour, op_stars_lines lines) {
  typedef typename Lanes<W>::F F;
  bool lit = false;
  const float X0 = static_cast<float>(s.xlo) - s.cx;
  const float U0 = static_cast<float>(s.ylo) - s.cy;
  // A spot whose ends lie level scans the same columns on every row.
  const bool same_span = s.slope >= 100000.0f;
  const RowSpan common = same_span ? row_span(dst, s, U0) : RowSpan{};
  const DrawnRows drawn(dst, s.ylo, s.yhi);
  F lane;
  for (int j = 0; j < W; ++j) lane[j] = static_cast<float>(j);
  // Columns in blocks, so that the column factors fit on the stack.
  const int kBlock = 512;
  float column[kBlock + 8];
  for (int b0 = s.xlo; b0 <= s.xhi; b0 += kBlock) {
    const int b1 = std::min(s.xhi, b0 + kBlock - 1);
    // X grows by adding 1 per column, exactly, as in the reference.
    for (int x = b0; x <= b1; x += W) {
      const F X = (X0 + static_cast<float>(x - s.xlo)) + lane;
      store(column + (x - b0), lanes::exp_neg<W>(-(X * X / s.a2)));
    }
    std::fill(column + (b1 - b0 + 1), column + (b1 - b0 + 9), 0.0f);
    // The factors of a first row inside a group of W come from its group.
    const int j0 = (drawn.first - s.ylo) % W;
    F rows = j0 ? spot_rows<W>(s, drawn.first - j0) : F{};
    for (int iy = drawn.first; iy <= drawn.last; ++iy) {
      const int j = (iy - s.ylo) % W;
      if (j == 0) rows = spot_rows<W>(s, iy);
      if (!row_drawn(dst, lines, iy)) continue;
      const float U = U0 + static_cast<float>(iy - s.ylo);
      const RowSpan span = same_span ? common : row_span(dst, s, U);
      const int first = std::max(span.first, b0), last = std::min(span.last, b1);
      if (last < first) continue;
      if (dst.lazy) dst.lazy->prepare(iy, first, last);
      const float row = rows[j];
      lit |= with_run<W>(dst, iy, first, last, [&](const Run& run, int x) IMGOPS_LAMBDA {
        return spot_run<W>(run, column + (x - b0), row, colour);
      });
    }
  }
  return lit;
}

template <int W>
IMGOPS_INLINE bool draw_streak(const StarFramebuffer& dst, const Streak& s,
                               const VectorN<float, 3>& colour, op_stars_lines lines) {
  const StreakTerms terms(s);
  const Band band(s, terms);
  int ylo = s.ylo, yhi = s.yhi;
  band.rows(s.xlo, s.xhi, ylo, yhi);
  const DrawnRows drawn(dst, ylo, yhi);
  bool lit = false;
  const float U0 = static_cast<float>(s.ylo) - s.cy;
  for (int iy = drawn.first; iy <= drawn.last; ++iy) {
    if (!row_drawn(dst, lines, iy)) continue;
    const float U = U0 + static_cast<float>(iy - s.ylo);
    const RowSpan span = row_span(dst, s, U);
    int first = span.first, last = span.last;
    band.columns(U, first, last);
    if (last < first) continue;
    if (dst.lazy) dst.lazy->prepare(iy, first, last);
    const float X0 = span.X + static_cast<float>(first - span.first);
    lit |= with_run<W>(dst, iy, first, last, [&](const Run& run, int x) IMGOPS_LAMBDA {
      return streak_run<W>(run, terms, X0 + static_cast<float>(x - first), U, colour);
    });
  }
  return lit;
}

// A spot no wider than V vectors in padded rows, as most stars are: V
// vectors a row, V exponentials for the columns and one for W rows. The
// columns' X and every pixel's value are those draw_spot computes.
template <int W, int V>
IMGOPS_INLINE bool draw_narrow_spot(const StarFramebuffer& dst, const Streak& s,
                                    const RowSpan& span, const VectorN<float, 3>& colour,
                                    op_stars_lines lines) {
  typedef typename Lanes<W>::F F;
  F lane;
  for (int j = 0; j < W; ++j) lane[j] = static_cast<float>(j);
  const int n = span.last - span.first + 1;
  F column[V];
  for (int v = 0; v < V; ++v) {
    const F X = (span.X + static_cast<float>(v * W)) + lane;
    column[v] = lanes::exp_neg<W>(-(X * X / s.a2));
  }
  const DrawnRows drawn(dst, s.ylo, s.yhi);
  int j = (drawn.first - s.ylo) % W;
  F rows = j ? spot_rows<W>(s, drawn.first - j) : F{};
  bool lit = false;
  for (int iy = drawn.first; iy <= drawn.last; ++iy, j = j + 1 == W ? 0 : j + 1) {
    if (j == 0) rows = spot_rows<W>(s, iy);
    if (!row_drawn(dst, lines, iy)) continue;
    if (dst.lazy) dst.lazy->prepare(iy, span.first, span.last);
    const size_t at = static_cast<size_t>(iy) * dst.row_stride + span.first;
    const Run run{dst.red + at, dst.green + at, dst.blue + at, dst.alpha + at, n, true};
    const float row = rows[j];
    for (int v = 0; v < V; ++v) {
      const int m = std::min(W, n - v * W);
      lit |= add_light<W>(run, v * W, column[v] * row, coverage_of<W>(run, v * W, m), colour);
    }
  }
  return lit;
}

template <int W>
IMGOPS_INLINE bool draw(const StarFramebuffer& dst, const Streak& s,
                        const VectorN<float, 3>& colour, op_stars_lines lines) {
  if (s.is_streak) return draw_streak<W>(dst, s, colour, lines);
  // A spot whose ends lie level scans the same columns on every row.
  if (dst.pixel_stride == 1 && dst.slack >= W - 1 && s.slope >= 100000.0f) {
    const RowSpan span = row_span(dst, s, static_cast<float>(s.ylo) - s.cy);
    if (span.last < span.first) return false;
    if (span.last - span.first < W) return draw_narrow_spot<W, 1>(dst, s, span, colour, lines);
    if (span.last - span.first < 2 * W) return draw_narrow_spot<W, 2>(dst, s, span, colour, lines);
  }
  return draw_spot<W>(dst, s, colour, lines);
}

bool draw_baseline(const StarFramebuffer& dst, const Streak& s, const VectorN<float, 3>& colour,
                   op_stars_lines lines) {
  return draw<4>(dst, s, colour, lines);
}

#if IMGOPS_HAVE_AVX2
IMGOPS_TARGET_AVX2 bool draw_avx2(const StarFramebuffer& dst, const Streak& s,
                                  const VectorN<float, 3>& colour, op_stars_lines lines) {
  return draw<8>(dst, s, colour, lines);
}
#endif

}  // namespace
}  // namespace imgops

bool imgops::draw_streak_fast(const StarFramebuffer& dst, const Streak& s,
                              const VectorN<float, 3>& colour, op_stars_lines lines) {
#if IMGOPS_HAVE_AVX2
  if (isa_in_use() == Isa::Avx2) return draw_avx2(dst, s, colour, lines);
#endif
  return draw_baseline(dst, s, colour, lines);
}

bool op_star_streak_fast(const StarFramebuffer& dst, const VectorN<float, 2>& p0,
                         const VectorN<float, 2>& p1, float amount, const VectorN<float, 3>& colour,
                         float a, float b, op_stars_lines lines) {
  const imgops::Streak s = imgops::setup_streak(dst, p0, p1, amount, a, b);
  return s.drawable && imgops::draw_streak_fast(dst, s, colour, lines);
}
