#include "libimgops/stars.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "libimgops/isa.h"
#include "libimgops/lanes.h"
#include "libimgops/streak.h"

namespace {

// A BGRA_FLOAT-like pixel buffer: alpha, red, green, blue per pixel.
struct Planes {
  Planes(int w, int h, float alpha = 0.0f) : w(w), h(h), px(static_cast<size_t>(w) * h * 4, 0.0f) {
    for (int i = 0; i < w * h; ++i) px[i * 4] = alpha;
  }
  StarFramebuffer fb() { return StarFramebuffer{&px[1], &px[2], &px[3], &px[0], w, h, w * 4, 4}; }
  float& a(int x, int y) { return px[(y * w + x) * 4]; }
  float& r(int x, int y) { return px[(y * w + x) * 4 + 1]; }
  float& g(int x, int y) { return px[(y * w + x) * 4 + 2]; }
  float& b(int x, int y) { return px[(y * w + x) * 4 + 3]; }
  double red_sum() const {
    double s = 0;
    for (int i = 0; i < w * h; ++i) s += px[i * 4 + 1];
    return s;
  }
  int w, h;
  std::vector<float> px;
};

VectorN<float, 2> P(float x, float y) { return VectorN<float, 2>{{x, y}}; }
const VectorN<float, 3> kWhite{{1.0f, 1.0f, 1.0f}};

bool draw(Planes& p, VectorN<float, 2> p0, VectorN<float, 2> p1, float amount, float a, float b,
          op_stars_lines lines = AllLines, VectorN<float, 3> colour = kWhite) {
  return op_star_streak(p.fb(), p0, p1, amount, colour, a, b, lines);
}

// A repeatable sequence of uniform floats.
struct Random {
  uint32_t seed;
  float operator()(float lo, float hi) {
    seed = seed * 1664525u + 1013904223u;
    return lo + (hi - lo) * static_cast<float>(seed >> 8) / 16777216.0f;
  }
};

// The light a star moving from (x0, y0) to (x1, y1) puts at the point (px, py),
// worked out independently in double precision: the spot integrated in closed
// form along the segment, measured from its first end, and divided by the
// segment's length. Coinciding ends give the still spot.
double streak_value(double x0, double y0, double x1, double y1, double amount, double a, double b,
                    double px, double py) {
  const double ex = px - x0, ey = py - y0, dx = x1 - x0, dy = y1 - y0;
  const double len = std::hypot(dx, dy);
  if (len == 0.0) return amount * std::exp(-ex * ex / (a * a) - ey * ey / (b * b));
  const double ux = dx / len, uy = dy / len;
  // The exponent at distance s along the segment is -(al s^2 - 2 be s + ga),
  // least at s = peak; its value there is taken from the offset of the point
  // from that spot, which stays exact when the ends lie far away.
  const double al = ux * ux / (a * a) + uy * uy / (b * b);
  const double be = ex * ux / (a * a) + ey * uy / (b * b);
  const double r = std::sqrt(al), peak = be / al;
  const double ox = ex - peak * ux, oy = ey - peak * uy;
  const double least = ox * ox / (a * a) + oy * oy / (b * b);
  const double along = std::erf(r * (len - peak)) - std::erf(-r * peak);
  return amount / len * std::exp(-least) * std::sqrt(M_PI) / (2.0 * r) * along;
}

// Largest difference between a drawing and streak_value over the framebuffer:
// every pixel of the star's box must carry its value, every other pixel none.
// The box reaches rx = a * sqrt(ln(6250 * amount)) beyond the ends, computed
// in single precision as the rasteriser does so that the edges agree.
double box_error(const Planes& p, float x0, float y0, float x1, float y1, float amount, float a,
                 float b) {
  const float L = std::sqrt(std::log(6250.0f * amount));
  const float rx = L * a, ry = L * b;
  const int xlo = static_cast<int>(std::floor(std::fmin(x0, x1) - rx));
  const int xhi = static_cast<int>(std::floor(std::fmax(x0, x1) + rx)) + 1;
  const int ylo = static_cast<int>(std::floor(std::fmin(y0, y1) - ry));
  const int yhi = static_cast<int>(std::floor(std::fmax(y0, y1) + ry)) + 1;
  double worst = 0.0;
  for (int y = 0; y < p.h; ++y)
    for (int x = 0; x < p.w; ++x) {
      const bool in_box = x >= xlo && x <= xhi && y >= ylo && y <= yhi;
      const double want = in_box ? streak_value(x0, y0, x1, y1, amount, a, b, x, y) : 0.0;
      const double got = p.px[(static_cast<size_t>(y) * p.w + x) * 4 + 1];
      worst = std::fmax(worst, std::fabs(got - want));
    }
  return worst;
}

}  // namespace

TEST(StarSpot, WorkedNumbersAndBox) {
  Planes p(40, 40);
  EXPECT_TRUE(draw(p, P(10, 20), P(10, 20), 1.0f, 1.0f, 1.0f));
  EXPECT_EQ(p.r(10, 20), 1.0f);
  EXPECT_EQ(p.g(10, 20), 1.0f);
  EXPECT_EQ(p.b(10, 20), 1.0f);
  EXPECT_EQ(p.r(11, 20), std::exp(-1.0f));
  EXPECT_EQ(p.r(12, 20), std::exp(-4.0f));
  // Reach sqrt(ln 6250) = 2.96: columns 7 to 13, rows 17 to 23.
  EXPECT_GT(p.r(7, 20), 0.0f);
  EXPECT_GT(p.r(13, 20), 0.0f);
  EXPECT_EQ(p.r(6, 20), 0.0f);
  EXPECT_EQ(p.r(14, 20), 0.0f);
  EXPECT_GT(p.r(10, 17), 0.0f);
  EXPECT_GT(p.r(10, 23), 0.0f);
  EXPECT_EQ(p.r(10, 16), 0.0f);
  EXPECT_EQ(p.r(10, 24), 0.0f);
}

TEST(StarSpot, ReachLimitsAndRejections) {
  // 6250 * amount exactly 1: reach 0, the box spans floor(x) and floor(x) + 1.
  float amount = 1.0f / 6250.0f;
  while (6250.0f * amount < 1.0f) amount = std::nextafter(amount, 1.0f);
  ASSERT_EQ(6250.0f * amount, 1.0f);
  Planes p(20, 20);
  EXPECT_TRUE(draw(p, P(10.5f, 5.5f), P(10.5f, 5.5f), amount, 1.0f, 1.0f));
  int touched = 0;
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 20; ++x)
      if (p.r(x, y) != 0.0f) {
        ++touched;
        EXPECT_TRUE((x == 10 || x == 11) && (y == 5 || y == 6)) << x << "," << y;
      }
  EXPECT_EQ(touched, 4);

  Planes q(20, 20);
  EXPECT_FALSE(draw(q, P(10, 10), P(10, 10), 0.0001f, 1.0f, 1.0f));
  EXPECT_FALSE(draw(q, P(10, 10), P(10, 10), 0.0f, 1.0f, 1.0f));
  EXPECT_FALSE(draw(q, P(10, 10), P(10, 10), -1.0f, 1.0f, 1.0f));
  EXPECT_FALSE(draw(q, P(10, 10), P(10, 10), std::nanf(""), 1.0f, 1.0f));
  // Left of the framebuffer by more than the reach; likewise every other side.
  EXPECT_FALSE(draw(q, P(-4, 10), P(-4, 10), 1.0f, 1.0f, 1.0f));
  EXPECT_FALSE(draw(q, P(24, 10), P(24, 10), 1.0f, 1.0f, 1.0f));
  EXPECT_FALSE(draw(q, P(10, -4), P(-10, -4), 1.0f, 1.0f, 1.0f));
  EXPECT_FALSE(draw(q, P(10, 24), P(10, 40), 1.0f, 1.0f, 1.0f));
  EXPECT_EQ(q.red_sum(), 0.0);
}

TEST(StarSpot, NonFiniteEndsDrawNothing) {
  const float inf = std::numeric_limits<float>::infinity(), nan = std::nanf("");
  Planes p(20, 20);
  EXPECT_FALSE(draw(p, P(inf, 5), P(inf, 5), 1.0f, 1.0f, 1.0f));
  EXPECT_FALSE(draw(p, P(nan, 5), P(nan, 5), 1.0f, 1.0f, 1.0f));
  EXPECT_FALSE(draw(p, P(5, 5), P(inf, 5), 1.0f, 1.0f, 1.0f));
  EXPECT_FALSE(draw(p, P(5, 5), P(5, -inf), 1.0f, 1.0f, 1.0f));
  EXPECT_FALSE(draw(p, P(5, 5), P(nan, 7), 1.0f, 1.0f, 1.0f));
  // An infinite amount or size has no finite reach: nothing, rather than a box of inf and NaN.
  EXPECT_FALSE(draw(p, P(5, 5), P(5, 5), inf, 1.0f, 1.0f));
  EXPECT_FALSE(draw(p, P(5, 5), P(8, 9), inf, 1.0f, 1.0f));
  EXPECT_FALSE(draw(p, P(5, 5), P(5, 5), 1.0f, inf, 1.0f));
  EXPECT_FALSE(draw(p, P(5, 5), P(5, 5), 1.0f, 1.0f, inf));
  EXPECT_EQ(p.red_sum(), 0.0);
}

// One end so far away that its squared distance overflows a float (a star
// that crosses the camera plane during the exposure): no pixel may turn into
// NaN, whichever end is the far one and along either axis.
TEST(StarStreak, EndsFarBeyondTheFloatRangeDrawNothing) {
  const float far = 2e19f;
  const VectorN<float, 2> near = P(10, 10);
  for (const VectorN<float, 2>& other :
       {P(far, 10), P(-far, 10), P(10, far), P(10, -far), P(far, far), P(-far, 3)}) {
    for (bool reversed : {false, true}) {
      Planes p(20, 20);
      const bool drew = reversed ? draw(p, other, near, 1e6f, 1.0f, 1.0f)
                                 : draw(p, near, other, 1e6f, 1.0f, 1.0f);
      EXPECT_FALSE(drew) << other[0] << "," << other[1];
      for (float v : p.px) ASSERT_TRUE(v == 0.0f) << other[0] << "," << other[1];
    }
  }
  // A long streak whose length still fits draws finite light along its row.
  Planes p(20, 20);
  EXPECT_TRUE(draw(p, P(10, 10), P(1e18f, 10), 1e20f, 1.0f, 1.0f));
  for (float v : p.px) ASSERT_TRUE(std::isfinite(v));
  EXPECT_GT(p.r(15, 10), 0.0f);
}

TEST(StarSpot, BoxesBeyondIntRangeClipOnBothSides) {
  // A horizontal streak from far left to far right crosses the whole frame.
  Planes p(30, 10);
  EXPECT_TRUE(draw(p, P(-1e10f, 5), P(1e10f, 5), 1e6f, 1.0f, 1.0f));
  for (int x = 0; x < 30; ++x) EXPECT_GT(p.r(x, 5), 0.0f) << x;
  // So does a vertical one, and a spot whose reach exceeds 2^31 pixels.
  Planes q(10, 30);
  EXPECT_TRUE(draw(q, P(5, 1e10f), P(5, -1e10f), 1e6f, 1.0f, 1.0f));
  for (int y = 0; y < 30; ++y) EXPECT_GT(q.r(5, y), 0.0f) << y;
  Planes s(8, 8);
  EXPECT_TRUE(draw(s, P(4, 4), P(4, 4), 1.0f, 1e10f, 1e10f));
  EXPECT_GT(s.r(0, 0), 0.0f);
  EXPECT_GT(s.r(7, 7), 0.0f);
}

TEST(StarSpot, CoverageHoldsLightBackAndIsNeverWritten) {
  Planes clear(20, 20), covered(20, 20);
  covered.a(10, 10) = 1.0f;
  covered.a(11, 10) = 0.75f;
  covered.a(12, 10) = 2.0f;
  draw(clear, P(11, 10), P(11, 10), 1.0f, 2.0f, 2.0f);
  draw(covered, P(11, 10), P(11, 10), 1.0f, 2.0f, 2.0f);
  EXPECT_EQ(covered.r(10, 10), 0.0f);
  EXPECT_EQ(covered.r(12, 10), 0.0f);
  EXPECT_FLOAT_EQ(covered.r(11, 10), 0.25f * clear.r(11, 10));
  EXPECT_EQ(covered.r(11, 11), clear.r(11, 11));

  // Streaks leave the alpha plane as it was, too.
  Planes s(30, 30, 0.5f);
  draw(s, P(3, 4), P(25, 21), 1.0f, 1.5f, 1.0f);
  draw(s, P(15, 15), P(15, 15), 1.0f, 1.5f, 1.0f);
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 30; ++x) ASSERT_EQ(s.a(x, y), 0.5f);
}

TEST(StarSpot, RowSelectionByParity) {
  for (op_stars_lines lines : {EvenLines, OddLines}) {
    Planes all(30, 30), some(30, 30);
    draw(all, P(15, 15), P(15, 15), 1.0f, 2.0f, 2.0f);
    draw(some, P(15, 15), P(15, 15), 1.0f, 2.0f, 2.0f, lines);
    draw(all, P(2, 3), P(27, 26), 1.0f, 1.0f, 1.0f);
    draw(some, P(2, 3), P(27, 26), 1.0f, 1.0f, 1.0f, lines);
    int skipped = lines == EvenLines ? 1 : 0;
    for (int y = 0; y < 30; ++y)
      for (int x = 0; x < 30; ++x) {
        if (y % 2 == skipped)
          ASSERT_EQ(some.r(x, y), 0.0f) << x << "," << y;
        else
          ASSERT_EQ(some.r(x, y), all.r(x, y)) << x << "," << y;
      }
  }
}

TEST(StarSpot, ColourScalesChannels) {
  Planes p(20, 20);
  draw(p, P(10, 10), P(10, 10), 0.5f, 1.0f, 1.0f, AllLines, VectorN<float, 3>{{1.0f, 0.5f, 0.0f}});
  EXPECT_EQ(p.r(10, 10), 0.5f);
  EXPECT_EQ(p.g(10, 10), 0.25f);
  EXPECT_EQ(p.b(10, 10), 0.0f);
}

// Ends up to 1e-5 apart draw the still spot at their midpoint, bit for bit;
// farther apart they draw a streak, whose error-function arithmetic carries
// the same light but shows in the last bits.
TEST(StarStreak, EndsUpTo1e5ApartAreASpotAtTheMidpoint) {
  const float step = std::nextafter(4.0f, 8.0f) - 4.0f;  // float spacing from 4 to 8
  struct Case {
    float x0, y0, x1, y1;
    bool spot;
  };
  const Case cases[] = {
      {4, 6, 4 + 20 * step, 6, true},   // 9.5e-6 apart
      {4, 6, 4 + 21 * step, 6, false},  // 1.0014e-5 apart
      {6, 4, 6, 4 + 20 * step, true},   // the same, vertical
      {6, 4 + 21 * step, 6, 4, false},  // upwards
      {6, 0, 6, 0.00001f, true},        // exactly 1e-5 apart
      {0.00001f, 6, 0, 6, true},        // the same, leftwards
  };
  for (const Case& c : cases) {
    Planes pair(12, 12), spot(12, 12);
    const float mx = (c.x0 + c.x1) * 0.5f, my = (c.y0 + c.y1) * 0.5f;
    EXPECT_TRUE(draw(pair, P(c.x0, c.y0), P(c.x1, c.y1), 1.0f, 1.0f, 1.0f));
    draw(spot, P(mx, my), P(mx, my), 1.0f, 1.0f, 1.0f);
    const std::string name = std::to_string(c.x1 - c.x0) + "," + std::to_string(c.y1 - c.y0);
    if (c.spot) {
      EXPECT_EQ(pair.px, spot.px) << name;
    } else {
      EXPECT_NE(pair.px, spot.px) << name;
      // The error function's float rounding (6e-8) against its differences
      // of about 1e-5 leaves noise of a percent per pixel.
      EXPECT_NEAR(pair.red_sum() / spot.red_sum(), 1.0, 5e-3) << name;
    }
  }
}

// The light a streak adds equals the light of a still spot of the same amount:
// pi * a * b * amount, up to what the 1/6250 cut-off leaves out.
TEST(StarStreak, CarriesTheLightOfASpot) {
  struct Case {
    float x0, y0, x1, y1, a, b;
  };
  const Case cases[] = {
      {20, 30, 60, 30, 2.0f, 2.0f},                 // horizontal
      {40, 10, 40, 50, 1.5f, 2.5f},                 // vertical
      {12, 12, 70, 50, 2.0f, 1.0f},                 // diagonal
      {70.3f, 9.7f, 15.6f, 47.2f, 1.2f, 1.7f},      // diagonal, sub-pixel, right to left
      {30.25f, 30.75f, 31.0f, 30.75f, 2.0f, 2.0f},  // shorter than a pixel
      {40.5f, 30.5f, 40.5f, 30.5f, 3.0f, 2.0f},     // still
  };
  for (const Case& c : cases) {
    for (float amount : {1.0f, 0.05f}) {
      Planes p(90, 70);
      EXPECT_TRUE(draw(p, P(c.x0, c.y0), P(c.x1, c.y1), amount, c.a, c.b));
      const double expected = M_PI * c.a * c.b * amount;
      EXPECT_NEAR(p.red_sum() / expected, 1.0, 5e-4)
          << c.x0 << "," << c.y0 << " -> " << c.x1 << "," << c.y1 << " amount " << amount;
    }
  }

  // Every direction, to float accuracy: an amount of 1000 puts the cut-off at
  // 1.6e-7 of the light, and from size 1.5 up sampling at whole pixels adds
  // less than 1e-9.
  const float sizes[][2] = {{1.5f, 3.0f}, {3.0f, 1.5f}, {2.0f, 2.0f}};
  for (int deg = 0; deg < 360; deg += 5)
    for (const float* ab : sizes) {
      const float dx = 12.5f * static_cast<float>(std::cos(deg * M_PI / 180));
      const float dy = 12.5f * static_cast<float>(std::sin(deg * M_PI / 180));
      Planes p(90, 70);
      draw(p, P(45.3f - dx, 35.6f - dy), P(45.3f + dx, 35.6f + dy), 1000.0f, ab[0], ab[1]);
      EXPECT_NEAR(p.red_sum() / (M_PI * ab[0] * ab[1] * 1000.0), 1.0, 2e-6)
          << deg << " degrees, size " << ab[0] << " x " << ab[1];
    }
}

TEST(StarSpot, SymmetricAboutItsCentre) {
  Planes p(41, 41);
  draw(p, P(20, 20), P(20, 20), 1.0f, 3.0f, 2.0f);
  for (int dy = 0; dy <= 20; ++dy)
    for (int dx = 0; dx <= 20; ++dx) {
      const float v = p.r(20 + dx, 20 + dy);
      ASSERT_EQ(v, p.r(20 - dx, 20 - dy));
      ASSERT_EQ(v, p.r(20 - dx, 20 + dy));
      ASSERT_EQ(v, p.r(20 + dx, 20 - dy));
    }
}

TEST(StarStreak, NothingLandsBeyondTheReach) {
  Random rnd{12345};
  for (int n = 0; n < 200; ++n) {
    Planes p(64, 48);
    const float x0 = rnd(-10, 74), y0 = rnd(-10, 58), x1 = rnd(-10, 74), y1 = rnd(-10, 58);
    const float a = rnd(1, 4), b = rnd(1, 4), amount = rnd(0.0002f, 2.0f);
    draw(p, P(x0, y0), P(x1, y1), amount, a, b);
    const float L = std::sqrt(std::log(6250.0f * amount));
    const float rx = L * a, ry = L * b;
    for (int y = 0; y < 48; ++y)
      for (int x = 0; x < 64; ++x) {
        if (p.r(x, y) == 0.0f) continue;
        ASSERT_GE(x, std::floor(std::fmin(x0, x1) - rx)) << n;
        ASSERT_LE(x, std::floor(std::fmax(x0, x1) + rx) + 1) << n;
        ASSERT_GE(y, std::floor(std::fmin(y0, y1) - ry)) << n;
        ASSERT_LE(y, std::floor(std::fmax(y0, y1) + ry) + 1) << n;
        ASSERT_GT(p.r(x, y), 0.0f);
      }
  }
}

// Every pixel of a streak's box carries the integral of the moving spot, to
// float accuracy, also below the 1/6250 level: a row band narrower than the
// light would leave faint pixels of a sloping streak dark. From size 2 up,
// what lies outside the scanned band is below (6250 * amount)^-4 of the peak,
// under 1e-7 for these amounts; near-horizontal streaks scan their whole box
// at any size.
TEST(StarStreak, MatchesTheIntegralAtEveryPixelOfItsBox) {
  Random rnd{777};
  for (int n = 0; n < 600; ++n) {
    Planes p(80, 60);
    // Long streaks of every direction, then short ones, whose edges are brighter.
    const float x0 = rnd(-5, 85), y0 = rnd(-5, 65);
    const float spread = n < 300 ? 90.0f : 6.0f;
    const float x1 = x0 + rnd(-spread, spread), y1 = y0 + rnd(-spread, spread);
    // Faint stars: the lower the peak, the brighter the edge relative to it.
    const float a = rnd(2, 4), b = rnd(1, 4), amount = std::pow(10.0f, rnd(-2, 0));
    draw(p, P(x0, y0), P(x1, y1), amount, a, b);
    ASSERT_LE(box_error(p, x0, y0, x1, y1, amount, a, b), 2e-6 * amount)
        << n << ": " << x0 << "," << y0 << " -> " << x1 << "," << y1 << " a " << a << " b " << b;
  }

  // Near-horizontal: |dy| up to 1e-6 is horizontal, and a slope dx / dy of
  // 1e5 or more takes the row's centre from the midpoint. Unit sizes, integer
  // rows: the first and last rows of the box lie just beyond the reach, where
  // the light is faint but far above the tolerance.
  const float dy_max = 0.000001f, dy_steep = std::ldexp(1.0f, -19);  // 1e5 * dy_steep is exact
  struct Case {
    float x0, y0, x1, y1;
  };
  const Case flat[] = {
      {10, 8, 30, 8},                                 // horizontal
      {10, 0, 10.05f, dy_max},                        // |dy| at the limit, slope 5e4
      {10.5f, 0, 10.53f, dy_max / 2},                 // within the limit (as a slope, 6e4)
      {10, 8, 10 + 100000 * dy_steep, 8 + dy_steep},  // slope exactly 1e5
      {30, 8 + 2 * dy_steep, 10, 8},                  // right to left, slope 5.2e6
  };
  for (const Case& c : flat)
    for (float a : {1.0f, 2.5f}) {
      Planes p(40, 16);
      draw(p, P(c.x0, c.y0), P(c.x1, c.y1), 1.0f, a, 1.0f);
      // The error function's values are rounded to float, and a streak divides
      // their difference by its length: short ones carry more rounding.
      const double len = std::hypot(c.x1 - c.x0, c.y1 - c.y0);
      EXPECT_LE(box_error(p, c.x0, c.y0, c.x1, c.y1, 1.0f, a, 1.0f), 2e-6 + 2.5e-7 * a / len)
          << c.x0 << "," << c.y0 << " -> " << c.x1 << "," << c.y1 << " a " << a;
    }
}

// A segment whose far end projects millions of pixels away (a star crossing
// the camera plane) lights the framebuffer as the integral along the whole
// segment says: the part far outside is cut, the light per unit length kept,
// for spots of every aspect up to 10 (the renderer's sizes are at least 1).
// Float arithmetic over a cut segment, whose midpoint lies some reaches of
// the spot away, leaves the light within 1e-5 of the integral plus 5e-6 of
// the segment's peak.
TEST(StarStreak, FarEndsLightTheFrameAsTheIntegralSays) {
  struct Case {
    float x0, y0, x1, y1;
  };
  const Case cases[] = {
      {12.3f, 9.6f, 1e8f, 9.6f + 1e6f},  // to the right, gently down
      {-3e7f, 25.0f, 20.7f, 4.2f},       // from far left
      {15.5f, -2e9f, 17.25f, 3e9f},      // through the frame, both ends far
      {30.1f, 12.9f, -4e6f, -3e6f},      // to the upper left
      {12.3f, 9.6f, 1e4f, 3009.6f},      // just far enough to be cut
  };
  const float sizes[][2] = {{1.5f, 1.2f},  {1.0f, 10.0f}, {10.0f, 1.0f},
                            {3.0f, 30.0f}, {30.0f, 3.0f}, {1.0f, 4.0f}};
  for (const auto& size : sizes)
    for (const Case& c : cases) {
      const double len = std::hypot(double(c.x1) - c.x0, double(c.y1) - c.y0);
      const float amount = static_cast<float>(len);  // about 1.8 at the segment's centre line
      const float a = size[0], b = size[1];
      std::vector<double> want(40 * 30);
      double peak = 0;
      for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x)
          peak = std::fmax(
              peak, want[y * 40 + x] = streak_value(c.x0, c.y0, c.x1, c.y1, amount, a, b, x, y));
      for (auto fn : {op_star_streak, op_star_streak_fast}) {
        Planes p(40, 30);
        EXPECT_TRUE(fn(p.fb(), P(c.x0, c.y0), P(c.x1, c.y1), amount, kWhite, a, b, AllLines));
        double worst = 0;
        for (int y = 0; y < 30; ++y)
          for (int x = 0; x < 40; ++x)
            worst =
                std::fmax(worst, std::fabs(p.r(x, y) - want[y * 40 + x]) - 1e-5 * want[y * 40 + x]);
        EXPECT_LE(worst, 5e-6 * peak)
            << c.x0 << "," << c.y0 << " -> " << c.x1 << "," << c.y1 << " size " << a << " x " << b
            << (fn == op_star_streak ? " reference" : " fast");
      }
    }
}

// The fast rasteriser against the reference, pixel by pixel, in every
// vector variant the machine runs: spots and streaks of every length and
// direction, boxes cut by the framebuffer's edges, coverage, row parities,
// and planes interleaved, separate, and separate with padded rows, whose
// padding the fast path may read and rewrite but never change.
TEST(FastRaster, MatchesTheReferenceEverywhere) {
  const imgops::Isa before = imgops::isa_in_use();
  for (imgops::Isa isa : {imgops::Isa::Baseline, imgops::Isa::Avx2}) {
    if (!imgops::use_isa(isa)) continue;
    Random rnd{4242}, cuts{99};
    for (int n = 0; n < 432; ++n) {
      const int w = 80, h = 56;
      const int layout_kind = n / 18 % 3, slack = layout_kind == 2 ? 9 : 0;
      // Interleaved as the frame's BGRA image, or four planes one after another
      // (their rows padded in the third kind).
      const size_t plane = static_cast<size_t>(w + slack) * h;
      std::vector<float> px(plane * 4, 0.0f);
      for (size_t i = 0; i < px.size(); ++i)
        if (slack && static_cast<int>(i % (w + slack)) >= w) px[i] = i % 3 ? -7.0f : NAN;
      auto fb = [&](std::vector<float>& v) {
        return layout_kind ? StarFramebuffer{&v[plane],
                                             &v[2 * plane],
                                             &v[3 * plane],
                                             &v[0],
                                             w,
                                             h,
                                             w + slack,
                                             1,
                                             nullptr,
                                             slack}
                           : StarFramebuffer{&v[1], &v[2], &v[3], &v[0], w, h, w * 4, 4};
      };
      const StarFramebuffer layout = fb(px);
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          const float r = rnd(0, 1);
          layout.alpha[y * layout.row_stride + x * layout.pixel_stride] = r < 0.7f   ? 0.0f
                                                                          : r < 0.8f ? 1.0f
                                                                                     : rnd(0, 1.2f);
        }
      const float x0 = rnd(-20, w + 20), y0 = rnd(-20, h + 20);
      // Still, sub-pixel, short, long, and reaching far out.
      const float spans[] = {0.0f, 0.00002f, 0.7f, 6.0f, 60.0f, 3000.0f};
      const float spread = spans[n % 6];
      const float x1 = x0 + rnd(-spread, spread), y1 = y0 + rnd(-spread, spread);
      const float a = rnd(1, 4), b = rnd(1, 4), amount = std::pow(10.0f, rnd(-3.5f, 1.5f));
      const op_stars_lines lines = static_cast<op_stars_lines>(n / 6 % 3);
      const VectorN<float, 3> colour{{rnd(0, 1), rnd(-0.2f, 1), 1.0f}};
      std::vector<float> ref = px, fast = px;
      const bool lit_ref =
          op_star_streak(fb(ref), P(x0, y0), P(x1, y1), amount, colour, a, b, lines);
      const bool lit_fast =
          op_star_streak_fast(fb(fast), P(x0, y0), P(x1, y1), amount, colour, a, b, lines);
      const std::string what = std::to_string(n) + ": " + std::to_string(x0) + "," +
                               std::to_string(y0) + " -> " + std::to_string(x1) + "," +
                               std::to_string(y1) + (isa == imgops::Isa::Avx2 ? " avx2" : "");
      EXPECT_EQ(lit_ref, lit_fast) << what;
      // The same pixels gain light, but for light below 2^-59 (a streak's
      // 2^-60, times a colour up to 1.2 and a rounding) that a streak leaves out.
      for (size_t i = 0; i < px.size(); ++i) {
        if (std::isnan(px[i])) {
          ASSERT_TRUE(std::isnan(fast[i]) && std::isnan(ref[i])) << what << " sample " << i;
          continue;
        }
        ASSERT_LE(std::fabs(fast[i] - ref[i]), 1e-5 * std::fabs(ref[i]) + 1e-7 * amount)
            << what << " sample " << i << ": " << fast[i] << " against " << ref[i];
        const bool fast_lit = fast[i] != px[i], ref_lit = ref[i] != px[i];
        ASSERT_TRUE(fast_lit == ref_lit || (ref_lit && std::fabs(ref[i] - px[i]) < 0x1p-59))
            << what << " sample " << i << ": " << ref[i] - px[i];
      }
      // Set up once and drawn in parts of the rows one after another, as a
      // pass in stripes draws it: the same bits.
      std::vector<float> parts = px;
      const imgops::Streak s = imgops::setup_streak(fb(parts), P(x0, y0), P(x1, y1), amount, a, b);
      for (int from = 0; s.drawable && from < h;) {
        StarFramebuffer view = fb(parts);
        view.first_row = from;
        view.last_row = from + static_cast<int>(cuts(0, 12));
        imgops::draw_streak_fast(view, s, colour, lines);
        from = view.last_row + 1;
      }
      ASSERT_EQ(0, memcmp(parts.data(), fast.data(), sizeof(float) * px.size())) << what;
    }
  }
  imgops::use_isa(before);
}

// The error function of every vector lane rounds to float as the reference
// rounds the double function: a dense sample of the floats that are not
// already +-1, the table's points and their neighbours, and the edge where
// the float result becomes 1. (bench/stars_bench sweeps every float.)
TEST(FastRaster, ErrorFunctionRoundsAsTheReference) {
  std::vector<float> xs;
  for (uint32_t u = 0; u < 0x40900000u; u += 997) xs.push_back(imgops::lanes::bit_cast<float>(u));
  for (int j = 0; j <= 512; ++j)
    for (float d : {-1e-6f, 0.0f, 1e-6f}) xs.push_back(j / 128.0f + d);
  const float one = imgops::lanes::erf_table().one;
  for (float x = std::nextafter(one, 0.0f), k = 0; k < 4; ++k, x = std::nextafter(x, 9.0f))
    xs.push_back(x);
  ASSERT_LT(imgops::lanes::erf_rounded(std::nextafter(one, 0.0f)), 1.0f);
  ASSERT_EQ(imgops::lanes::erf_rounded(one), 1.0f);
  xs.push_back(std::nanf(""));
  const size_t count = xs.size();
  for (size_t i = 0; i < count; ++i) xs.push_back(-xs[i]);
  while (xs.size() % 8) xs.push_back(0.0f);
  for (size_t i = 0; i < xs.size(); i += 8) {
    imgops::lanes::Lanes<8>::F v;
    memcpy(&v, &xs[i], sizeof v);
    const imgops::lanes::Lanes<8>::F e = imgops::lanes::erf_lanes<8>(v, imgops::lanes::erf_table());
    for (int j = 0; j < 8; ++j) {
      const float want = imgops::lanes::erf_rounded(v[j]);
      if (std::isnan(want)) {
        ASSERT_TRUE(std::isnan(e[j]));
        continue;
      }
      ASSERT_EQ(imgops::lanes::bit_cast<uint32_t>(e[j]), imgops::lanes::bit_cast<uint32_t>(want))
          << "x = " << v[j];
    }
  }
}
