// The preview's numbers and the set operation's refusals, on the plug-in's
// core linked in: the preview stars and byte tables, the stars drawn under
// the settings, the time budget with a slow clock, and values no setting keeps.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "LW/frame.h"
#include "LW/xpgui.h"
#include "libkeshimage/image.h"
#include "testsupport/test_harness.h"

namespace {

using harness::Instance;
using harness::StaticPlugin;

// A float image the size of a preview area.
struct Area {
  Area(int w, int h) : image(Kesh::ImageSpec(w, h, Kesh::ImageSpec::BGRA_FLOAT)) { image.clear(); }
  StarFramebuffer fb() { return star_framebuffer(image); }
  const float* px(int x, int y) {
    return reinterpret_cast<const float*>(image.row(y)) + 4 * static_cast<size_t>(x);
  }
  double light() {
    double sum = 0;
    for (int y = 0; y < image.height; ++y)
      for (int x = 0; x < image.width; ++x) sum += px(x, y)[1] + px(x, y)[2] + px(x, y)[3];
    return sum;
  }
  Kesh::Image image;
};

uint64_t fake_now = 0, fake_step = 0;
uint64_t stepping_clock() { return fake_now += fake_step; }
// A clock that never moves: every star is drawn, however slow the machine.
uint64_t frozen_clock() { return 0; }

float from_bits(uint32_t bits) {
  float f;
  memcpy(&f, &bits, sizeof f);
  return f;
}

}  // namespace

TEST(Preview, BytesFromTheTables) {
  StaticPlugin p;
  // Both tables are read at the middle of the value's bucket: 0.5 stands for 0.5078125.
  EXPECT_EQ(preview_byte(0.5f, true), 189);
  EXPECT_EQ(preview_byte(0.5f, false), 129);
  EXPECT_EQ(preview_byte(0.25f, true), 138);
  EXPECT_EQ(preview_byte(0.25f, false), 64);
  for (float v : {1.0f, 1.5f, 1e30f, std::numeric_limits<float>::infinity()}) {
    EXPECT_EQ(preview_byte(v, true), 255) << v;
    EXPECT_EQ(preview_byte(v, false), 255) << v;
  }
  for (float v : {0.0f, -0.0f, -0.5f, -std::numeric_limits<float>::infinity(), 1e-30f}) {
    EXPECT_EQ(preview_byte(v, true), 0) << v;
    EXPECT_EQ(preview_byte(v, false), 0) << v;
  }
  EXPECT_EQ(preview_byte(from_bits(0xFFFFFFFFu), false), 255);  // entry 16383
  // Rising with the value over the finite positive floats.
  for (int srgb = 0; srgb < 2; ++srgb)
    for (uint32_t i = 1; i < 8160; ++i)
      ASSERT_LE(preview_byte(from_bits((i - 1) << 18), srgb),
                preview_byte(from_bits(i << 18), srgb))
          << i;
}

TEST(Preview, StarTableRangesAndSpread) {
  const PreviewStar given[] = {{0.359694f, 0.09942f, 0.07894f, 0.714691f},
                               {0.360365f, 0.797409f, 0.013379f, 0.667645f},
                               {0.432467f, 0.889253f, 0.922629f, 0.131659f}};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(memcmp(&preview_stars[i], &given[i], sizeof given[i]), 0);
  float lo[4], hi[4];
  int outside = 0, decades[4] = {}, rises = 0, falls = 0;
  for (int i = 0; i < kPreviewStars; ++i) {
    const PreviewStar& s = preview_stars[i];
    const float f[4] = {s.x, s.y, s.luminance, s.colour};
    for (int k = 0; k < 4; ++k) {
      lo[k] = i ? std::min(lo[k], f[k]) : f[k];
      hi[k] = i ? std::max(hi[k], f[k]) : f[k];
    }
    outside += s.x < 0 || s.x > 1 || s.y < 0 || s.y > 1;
    ++decades[std::min(3, static_cast<int>(std::floor(-std::log10(s.luminance))))];
    if (i) (s.luminance > preview_stars[i - 1].luminance ? rises : falls)++;
  }
  const float want_lo[4] = {-0.0843f, -0.0912f, 0.000104f, 0.006f};
  const float want_hi[4] = {1.0989f, 1.0989f, 0.99983f, 0.9986f};
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(lo[k], want_lo[k]) << k;
    EXPECT_EQ(hi[k], want_hi[k]) << k;
  }
  EXPECT_EQ(outside, 68);
  EXPECT_EQ(decades[0], 55);
  EXPECT_EQ(decades[1], 52);
  EXPECT_EQ(decades[2], 47);
  EXPECT_EQ(decades[3], 46);
  EXPECT_GT(rises, 50);  // not sorted either way
  EXPECT_GT(falls, 50);
}

TEST(Preview, StarsDrawnWithinTheTimeBudget) {
  StaticPlugin p;
  Instance a;
  Area area(200, 150);
  PreviewStats s = draw_preview_stars(*a.v, area.fb(), frozen_clock);
  EXPECT_EQ(s.reached, 200);
  EXPECT_EQ(s.drawn, 154);  // the default threshold 0.001
  EXPECT_GT(area.light(), 0.0);
  a.v->LumThreshold = 0.99984;
  Area none(200, 150);
  EXPECT_EQ(draw_preview_stars(*a.v, none.fb(), frozen_clock).drawn, 0);
  EXPECT_EQ(none.light(), 0.0);
  a.v->LumThreshold = 0.001;
  // A clock that moves 10 ms at every reading: the check before star 100
  // finds 110 ms gone; stars 0 to 99 are drawn.
  fake_step = 10000;
  Area slow(200, 150);
  s = draw_preview_stars(*a.v, slow.fb(), stepping_clock);
  EXPECT_EQ(s.reached, 100);
  int bright_enough = 0;
  for (int i = 0; i < 100; ++i) bright_enough += preview_stars[i].luminance >= 0.001f;
  EXPECT_EQ(s.drawn, bright_enough);
  EXPECT_LT(slow.light(), area.light());
  // A second late at every reading: not even the first star.
  fake_step = 1000000;
  s = draw_preview_stars(*a.v, slow.fb(), stepping_clock);
  EXPECT_EQ(s.reached, 0);
  EXPECT_EQ(s.drawn, 0);
}

TEST(Preview, TintThenSaturationInTheLight) {
  StaticPlugin p;
  Instance a;
  a.v->TintStrength = 1;
  a.v->Saturation = 1;
  a.v->TintRed = 0.9;
  a.v->TintGreen = 0.5;
  a.v->TintBlue = 0.2;
  Area tinted(120, 90);
  draw_preview_stars(*a.v, tinted.fb(), frozen_clock);
  int lit = 0;
  for (int y = 0; y < 90; ++y)
    for (int x = 0; x < 120; ++x) {
      const float* px = tinted.px(x, y);
      if (px[1] <= 0) continue;
      ++lit;
      ASSERT_NEAR(px[2] / px[1], 0.5f / 0.9f, 1e-5) << x << "," << y;
      ASSERT_NEAR(px[3] / px[1], 0.2f / 0.9f, 1e-5) << x << "," << y;
    }
  EXPECT_GT(lit, 100);
  a.v->Saturation = 0;  // grey 0.5 times the spot, whatever the colour and tint
  Area grey(120, 90);
  draw_preview_stars(*a.v, grey.fb(), frozen_clock);
  for (int y = 0; y < 90; ++y)
    for (int x = 0; x < 120; ++x) {
      ASSERT_EQ(grey.px(x, y)[1], grey.px(x, y)[2]);
      ASSERT_EQ(grey.px(x, y)[1], grey.px(x, y)[3]);
    }
  EXPECT_GT(grey.light(), 0.0);
}

// One star of the preview alone, drawn again from the preview's own terms:
// brightness times 2.5 times its luminance capped at Maximum Luminance, size
// times 0.4, the colour from yellow-white (0.2 c + 1 - c) to blue (c),
// saturated towards grey 0.5. A change to any of these moves the spot.
TEST(Preview, OneSpotIsItsStarsTerms) {
  StaticPlugin p;
  Instance a;
  int brightest = 0;
  for (int i = 1; i < kPreviewStars; ++i)
    if (preview_stars[i].luminance > preview_stars[brightest].luminance) brightest = i;
  const PreviewStar& star = preview_stars[brightest];
  ASSERT_GT(star.colour, 0.05f);  // neither end of the colour scale
  ASSERT_LT(star.colour, 0.95f);
  a.v->LumThreshold = star.luminance;  // this star alone
  a.v->LumMax = star.luminance * 0.5;  // and capped
  a.v->Brightness = 0.8;
  a.v->BrightnessBias = 1;
  a.v->StarSize = 5;
  a.v->StarAspect = 1;
  a.v->Saturation = 0.6;
  a.v->TintStrength = 0;
  Area preview(200, 150);
  ASSERT_EQ(draw_preview_stars(*a.v, preview.fb(), frozen_clock).drawn, 1);

  const float c = star.colour, yellow = 0.2f * c + (1.0f - c);
  VectorN<float, 3> colour{{yellow, yellow, c}};
  for (int k = 0; k < 3; ++k) colour[k] = colour[k] * 0.6f + (1.0f - 0.6f) * 0.5f;
  const VectorN<float, 2> at{{star.x * 200.0f, star.y * 150.0f}};
  Area expected(200, 150);
  op_star_streak(expected.fb(), at, at, static_cast<float>(0.8 * 2.5 * a.v->LumMax), colour, 2.0f,
                 2.0f, AllLines);
  ASSERT_GT(expected.light(), 0.0);
  for (int y = 0; y < 150; ++y)
    for (int x = 0; x < 200; ++x)
      for (int k = 1; k < 4; ++k)
        ASSERT_NEAR(preview.px(x, y)[k], expected.px(x, y)[k], 1e-6f) << x << "," << y << "," << k;
}

TEST(Preview, SpotsStopGrowingAtSizeTen) {
  StaticPlugin p;
  Instance a;
  auto drawn = [&](double size, double aspect) {
    a.v->StarSize = size;
    a.v->StarAspect = aspect;
    Area area(200, 150);
    draw_preview_stars(*a.v, area.fb(), frozen_clock);
    return std::vector<float>(reinterpret_cast<const float*>(area.image.block),
                              reinterpret_cast<const float*>(area.image.block) + 200 * 150 * 4);
  };
  const std::vector<float> ten = drawn(10, 1);
  EXPECT_EQ(drawn(25, 1), ten);
  EXPECT_NE(drawn(9, 1), ten);
  // A spot of no size draws nothing, and is not counted as drawn.
  for (const auto& [size, aspect] : {std::pair{0.0, 1.0}, std::pair{1.0, 0.0}}) {
    a.v->StarSize = size;
    a.v->StarAspect = aspect;
    Area area(50, 40);
    EXPECT_EQ(draw_preview_stars(*a.v, area.fb(), frozen_clock).drawn, 0);
    EXPECT_EQ(area.light(), 0.0);
  }
}

TEST(Preview, TheAreaIsTimedWithTheModuleClock) {
  StaticPlugin p;
  host::ScriptedFrontEnd front;
  host::PanelToolkit kit(p.host, front);
  Instance a;
  VHInterface record{a.v, nullptr, nullptr, nullptr};
  ASSERT_EQ(activate_interface(VH_INTERFACE_VERSION, host::Host::global_lookup, &record, nullptr),
            VH_ACTIVATE_OK);
  host::Panel& panel = kit.panel(record.panel);
  panel.set_area_size(control_id(PanelControl::Preview), 64, 48);
  auto lit = [&] {
    for (uint8_t b : panel.raster(control_id(PanelControl::Preview)).rgb)
      if (b) return true;
    return false;
  };
  fake_step = 1000000;
  vantrel_module.preview_clock = stepping_clock;
  EXPECT_FALSE(lit());
  vantrel_module.preview_clock = frozen_clock;
  panel.refresh();
  EXPECT_TRUE(lit());
  kit.close(record.panel);
  EXPECT_FALSE(a.v->PanelOpen);
  EXPECT_TRUE(kit.problems.empty());
}

TEST(Panel, SetRefusesWhatNoSettingKeeps) {
  StaticPlugin p;
  Instance a;
  vantrel& v = *a.v;
  int32_t three = 3, two = 2, blur = 101;
  const double nan = std::nan(""), huge = 2e8;
  const double tint[3] = {0.5, std::numeric_limits<double>::infinity(), 0.5};
  EXPECT_EQ(panel_set(&v, 0x800C, &three), VH_REFRESH_REDRAW);  // Projection has three choices
  EXPECT_EQ(v.Projection, 0);
  EXPECT_EQ(panel_set(&v, 0x800E, &two), VH_REFRESH_REDRAW);  // Treat Pixels As: has two
  EXPECT_EQ(v.sRGBFrameBuffer, 1);
  EXPECT_EQ(panel_set(&v, 0x800A, &blur), VH_REFRESH_REDRAW);
  EXPECT_EQ(v.BlurSegs, 1);
  panel_set(&v, 0x8001, const_cast<double*>(&nan));
  EXPECT_EQ(v.Brightness, 5.0);
  panel_set(&v, 0x8008, const_cast<double*>(&huge));
  EXPECT_EQ(v.StarSize, 2.5);
  panel_set(&v, 0x8004, const_cast<double*>(tint));  // all three components or none
  EXPECT_EQ(v.TintRed, 1.0);
  EXPECT_EQ(panel_set(&v, 0x8011, nullptr), VH_REFRESH_REDRAW);
  // Identifiers it does not serve.
  EXPECT_EQ(panel_set(&v, 0x8015, &two), VH_REFRESH_NONE);
  EXPECT_EQ(panel_set(&v, 0x9999, &two), VH_REFRESH_NONE);
  EXPECT_EQ(panel_get(&v, 0x8015), nullptr);
  EXPECT_EQ(panel_get(&v, 0), nullptr);
  // The colour hands out its three components in a row.
  EXPECT_EQ(panel_get(&v, 0x8004), &v.TintRed);
}
