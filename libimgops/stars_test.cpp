#include "libimgops/stars.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

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

TEST(StarStreak, NearlyCoincidentEndsAreASpotAtTheMidpoint) {
  Planes spot(30, 30), pair(30, 30);
  draw(spot, P(12.0f, 14.0f), P(12.0f, 14.0f), 1.0f, 2.0f, 1.5f);
  draw(pair, P(12.0f, 14.0f - 0.0000025f), P(12.0f, 14.0f + 0.0000025f), 1.0f, 2.0f, 1.5f);
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 30; ++x) ASSERT_NEAR(pair.r(x, y), spot.r(x, y), 1e-6f) << x << "," << y;
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
  uint32_t seed = 12345;
  auto rnd = [&seed](float lo, float hi) {
    seed = seed * 1664525u + 1013904223u;
    return lo + (hi - lo) * static_cast<float>(seed >> 8) / 16777216.0f;
  };
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
