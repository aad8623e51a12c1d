// The star renderer over databases held in memory.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "libimgops/stars.h"
#include "stardb/star_record.h"

namespace {

using Star = star_db::StarRecord;
using Bytes = std::vector<unsigned char>;

constexpr double kPi = 3.14159265358979323846;

// A star database as bytes: a header with the given magic, then the records.
Bytes database(const std::vector<Star>& stars, const char* magic = "VANTREL2") {
  Bytes bytes(star_db::kRecordSize * (stars.size() + 1), 0);
  memcpy(bytes.data(), magic, star_db::kMagicSize);
  for (size_t i = 0; i < stars.size(); ++i)
    star_db::encode(stars[i], &bytes[star_db::kRecordSize * (i + 1)]);
  return bytes;
}

// A source over a database in memory that keeps, as the plug-in's file
// reader does, each record's brightness and direction.
class MemoryStars : public StarInput {
public:
  explicit MemoryStars(const Bytes& bytes) : bytes(bytes) {
    record_count = static_cast<uint32_t>(bytes.size() / star_db::kRecordSize);
    for (uint32_t i = 0; i < record_count; ++i) {
      const Star s = star_db::decode(record(i));
      bright.push_back(s.brightness);
      dirs.push_back(sky_direction(s.ra, s.dec));
    }
  }
  const unsigned char* next() override { return record(cursor++); }
  void rewind() override { cursor = 0; }
  int version() const override { return star_db::header_version(bytes.data()); }
  const float* brightnesses() override { return bright.data(); }
  const SkyDirection* directions() override { return dirs.data(); }

private:
  const unsigned char* record(uint32_t i) const { return &bytes[star_db::kRecordSize * i]; }
  Bytes bytes;
  uint32_t cursor = 0;
  std::vector<float> bright;
  std::vector<SkyDirection> dirs;
};

struct RenderBench {
  RenderBench(int w = 64, int h = 64)
      : width(w), height(h), px(static_cast<size_t>(w) * h * 4, 0.0f) {
    data = StarRendererData{};
    data.screen_left = -1;
    data.screen_right = 1;
    data.screen_bottom = -1;
    data.screen_top = 1;
    set_spot(2.0f, 2.0f);
    data.lum_threshold = 0.001;
    data.lum_max = 1e9;
    data.brightness = 1.0;
    data.saturation = 1.0;
    data.brightness_power = 1.0;
    data.tint_strength = 0.0;
    data.tint = VectorN<float, 3>{{1, 1, 1}};
    data.projection = Hemispherical;  // the identity camera then maps +Z to the centre
    data.lines = AllLines;
    data.three_d = false;
    add_camera(Matrix4<double>::identity());
  }

  // Spot sizes in pixels, as star_width and star_height settings.
  void set_spot(float sx, float sy) {
    data.star_width = sx / (width * 0.0005);
    data.star_height = sy / (width * 0.0005);
  }
  void add_camera(const Matrix4<double>& m) { cams.append(camera{m, 1.0, 1.0, -1.0}); }
  StarFramebuffer fb() {
    return StarFramebuffer{&px[1], &px[2], &px[3], &px[0], width, height, width * 4, 4};
  }
  float red(int x, int y) const { return px[(static_cast<size_t>(y) * width + x) * 4 + 1]; }
  float green(int x, int y) const { return px[(static_cast<size_t>(y) * width + x) * 4 + 2]; }
  double red_sum() const {
    double s = 0;
    for (size_t i = 1; i < px.size(); i += 4) s += px[i];
    return s;
  }

  Bytes db(const std::vector<Star>& stars, const char* magic = "VANTREL2") {
    return database(stars, magic);
  }

  // Renders every record; returns how many render_next calls were made.
  int render(const Bytes& db, bool* drew_out = nullptr) {
    MemoryStars input(db);
    StarFramebuffer f = fb();
    StarRenderer r(data, f, input, cams);
    bool drew = false;
    int calls = 0;
    while (++calls, r.render_next(drew)) {
    }
    if (drew_out) *drew_out = drew;
    return calls;
  }

  int width, height;
  std::vector<float> px;
  StarRendererData data;
  Array<camera> cams;
};

// A star straight ahead lands on pixel (32, 32) of a 64 x 64 framebuffer.
const Star kCentre{90.0, 0.0, 0.5f};

// A camera turned about +Y by `deg` degrees: the sky's +Z lands at
// (sin deg, 0, cos deg), in front while |deg| < 90.
Matrix4<double> turned_about_y(double deg) {
  const double c = std::cos(deg * kPi / 180), s = std::sin(deg * kPi / 180);
  Matrix4<double> m = Matrix4<double>::identity();
  m(0, 0) = c;
  m(0, 2) = -s;
  m(2, 0) = s;
  m(2, 2) = c;
  return m;
}

// Spread of the red light about its centre, as Gaussian sizes in pixels: a
// spot exp(-x^2 / a^2) has the second moment a^2 / 2.
struct SpotSize {
  double a, b;
};
SpotSize measured_size(const RenderBench& s) {
  double sum = 0, sx = 0, sy = 0, sxx = 0, syy = 0;
  for (int y = 0; y < s.height; ++y)
    for (int x = 0; x < s.width; ++x) {
      const double v = s.red(x, y);
      sum += v;
      sx += v * x;
      sy += v * y;
      sxx += v * x * x;
      syy += v * y * y;
    }
  const double cx = sx / sum, cy = sy / sum;
  return SpotSize{std::sqrt(2 * (sxx / sum - cx * cx)), std::sqrt(2 * (syy / sum - cy * cy))};
}

// Counts the records that the input it wraps hands out.
struct CountingInput : StarInput {
  explicit CountingInput(StarInput& in) : in(in) { record_count = in.record_count; }
  const unsigned char* next() override {
    ++handed;
    return in.next();
  }
  void rewind() override { in.rewind(); }
  int version() const override { return in.version(); }
  StarInput& in;
  int handed = 0;
};

}  // namespace

TEST(StarRenderer, BrightnessThresholdPowerAndClamp) {
  RenderBench s;
  s.data.brightness = 0.0;
  bool drew = false;
  EXPECT_EQ(s.render(s.db({kCentre, kCentre}), &drew), 1);  // false at once
  EXPECT_FALSE(drew);
  EXPECT_EQ(s.red_sum(), 0.0);

  // seg_brightness = brightness * 4 with one camera; peak = b * seg_brightness.
  RenderBench at;
  at.data.lum_threshold = 0.5;  // exactly the record's brightness: drawn
  at.render(at.db({kCentre}), &drew);
  EXPECT_TRUE(drew);
  EXPECT_FLOAT_EQ(at.red(32, 32), 0.5f * 4.0f);
  RenderBench below;
  below.data.lum_threshold = std::nextafter(0.5, 1.0);
  drew = false;
  below.render(below.db({kCentre}), &drew);
  EXPECT_FALSE(drew);
  EXPECT_EQ(below.red_sum(), 0.0);

  RenderBench power;
  power.data.brightness_power = 0.5;
  power.data.lum_max = 0.4;  // the clamp comes after the power: 0.25 -> 0.5 -> 0.4
  power.render(power.db({Star{90, 0, 0.25f}}));
  EXPECT_FLOAT_EQ(power.red(32, 32), 0.4f * 4.0f);
  RenderBench power_free;
  power_free.data.brightness_power = 0.5;
  power_free.render(power_free.db({Star{90, 0, 0.25f}}));
  EXPECT_FLOAT_EQ(power_free.red(32, 32), 0.5f * 4.0f);

  RenderBench clamp;
  clamp.data.lum_max = 0.5;
  clamp.render(clamp.db({Star{90, 0, 2.0f}}));
  EXPECT_FLOAT_EQ(clamp.red(32, 32), 0.5f * 4.0f);

  // The threshold looks at the record's own brightness, before the power and
  // the clamp move it to the other side.
  RenderBench raised;  // 0.16 is below 0.3, its square root 0.4 is not
  raised.data.lum_threshold = 0.3;
  raised.data.brightness_power = 0.5;
  drew = false;
  raised.render(raised.db({Star{90, 0, 0.16f}}), &drew);
  EXPECT_FALSE(drew);
  EXPECT_EQ(raised.red_sum(), 0.0);
  RenderBench lowered;  // 0.36 passes, its square 0.1296 would not
  lowered.data.lum_threshold = 0.3;
  lowered.data.brightness_power = 2.0;
  lowered.render(lowered.db({Star{90, 0, 0.36f}}), &drew);
  EXPECT_FLOAT_EQ(lowered.red(32, 32), 0.36f * 0.36f * 4.0f);
  RenderBench clamped;  // 0.5 passes, the clamp's 0.2 would not
  clamped.data.lum_threshold = 0.3;
  clamped.data.lum_max = 0.2;
  clamped.render(clamped.db({Star{90, 0, 0.5f}}));
  EXPECT_FLOAT_EQ(clamped.red(32, 32), 0.2f * 4.0f);
}

TEST(StarRenderer, CamerasShareTheLight) {
  RenderBench one;
  one.set_spot(4.0f, 4.0f);
  one.render(one.db({kCentre}));
  RenderBench three;
  three.set_spot(4.0f, 4.0f);
  three.add_camera(Matrix4<double>::identity());
  three.add_camera(Matrix4<double>::identity());
  three.render(three.db({kCentre}));
  // Two segments of brightness * 4 / 2 each: the centre matches one camera's spot.
  EXPECT_FLOAT_EQ(three.red(32, 32), one.red(32, 32));
  EXPECT_FLOAT_EQ(three.red(32, 32), 2.0f * (0.5f * (1.0f * 4.0f / 2.0f)));
  // Each half-bright spot reaches less far (11.8 against 12.3 pixels): the
  // faint rim is cut, the rest agrees.
  for (int d = 0; d <= 6; ++d) EXPECT_NEAR(three.red(32 + d, 32), one.red(32 + d, 32), 1e-6) << d;
  EXPECT_GT(one.red(19, 32), 0.0f);
  EXPECT_EQ(three.red(19, 32), 0.0f);
}

TEST(StarRenderer, SubPixelSpotsAreWidenedAndDimmed) {
  RenderBench s(1000, 100);
  // A screen window of the framebuffer's proportions: no pixel-aspect correction.
  s.data.screen_left = -10;
  s.data.screen_right = 10;
  s.data.star_width = 1.0;   // 1000 * 0.0005 = 0.5 pixels: drawn 1 wide, half as bright
  s.data.star_height = 4.0;  // 2 pixels: unchanged
  s.render(s.db({kCentre}));
  // Hemispherical maps +Z to the centre of the screen window: pixel (500, 50).
  const float peak_half = s.px[(50 * 1000 + 500) * 4 + 1];
  EXPECT_FLOAT_EQ(peak_half, 0.5f * 4.0f * 0.5f);
  RenderBench both(1000, 100);
  both.data.screen_left = -10;
  both.data.screen_right = 10;
  both.data.star_width = 1.0;
  both.data.star_height = 1.0;
  both.render(both.db({kCentre}));
  EXPECT_FLOAT_EQ(both.px[(50 * 1000 + 500) * 4 + 1], 0.5f * 4.0f * 0.25f);
}

TEST(StarRenderer, ColourDecodingTintAndSaturation) {
  RenderBench s;
  Star c = kCentre;
  c.red = 255;
  c.green = 10;
  c.blue = 0;
  s.render(s.db({c}));
  const float amount = 0.5f * 4.0f;
  EXPECT_FLOAT_EQ(s.red(32, 32), amount * 1.0f);
  EXPECT_FLOAT_EQ(s.green(32, 32), amount * (10 * 0.003921569f * 0.07739938f));

  RenderBench grey;
  grey.data.saturation = 0.0;  // every channel a neutral 0.5
  grey.render(grey.db({c}));
  EXPECT_FLOAT_EQ(grey.green(32, 32), amount * 0.5f);

  RenderBench tinted;
  tinted.data.tint_strength = 1.0;
  tinted.data.tint = VectorN<float, 3>{{0.25f, 0.5f, 1.0f}};
  tinted.render(tinted.db({c}));
  EXPECT_FLOAT_EQ(tinted.red(32, 32), amount * 0.25f);
  EXPECT_FLOAT_EQ(tinted.green(32, 32), amount * 0.5f);

  // Every byte value decodes as sRGB does, worked out here in double.
  RenderBench every;
  MemoryStars input(every.db({}));
  const StarFramebuffer f = every.fb();
  StarRenderer r(every.data, f, input, every.cams);
  for (int v = 0; v < 256; ++v) {
    Star g = kCentre;
    g.green = static_cast<unsigned char>(v);
    std::fill(every.px.begin(), every.px.end(), 0.0f);
    unsigned char record[star_db::kRecordSize];
    star_db::encode(g, record);
    r.render_star(record);
    const double x = v / 255.0;
    const double want = x <= 0.03928 ? x / 12.92 : std::pow((x + 0.055) / 1.055, 2.4);
    EXPECT_NEAR(every.green(32, 32) / amount, want, 2e-6 * want) << v;
  }
}

// The tint is mixed in first and the saturation then acts on the tinted
// colour: none leaves the neutral 0.5 whatever the tint, more than 1 pushes
// the tinted colour away from that grey.
TEST(StarRenderer, SaturationActsOnTheTintedColour) {
  Star star = kCentre;
  star.red = 255;
  star.green = 128;
  star.blue = 20;
  const VectorN<float, 3> tint{{0.1f, 0.9f, 0.6f}};
  auto colour = [&](double tint_strength, double saturation) {
    RenderBench s;
    s.data.tint = tint;
    s.data.tint_strength = tint_strength;
    s.data.saturation = saturation;
    s.render(s.db({star}));
    const size_t at = (32 * 64 + 32) * 4;
    const float amount = 0.5f * 4.0f;
    return std::vector<double>{s.px[at + 1] / amount, s.px[at + 2] / amount, s.px[at + 3] / amount};
  };
  const std::vector<double> plain = colour(0, 1), tinted = colour(0.3, 1);
  const std::vector<double> grey = colour(0.3, 0), vivid = colour(0.3, 1.6);
  for (int c = 0; c < 3; ++c) {
    EXPECT_NEAR(tinted[c], 0.7 * plain[c] + 0.3 * tint[c], 1e-6) << c;
    EXPECT_EQ(grey[c], 0.5) << c;
    EXPECT_NEAR(vivid[c] - 0.5, 1.6 * (tinted[c] - 0.5), 1e-6) << c;
  }
}

TEST(StarRenderer, DistancesOnlyFromVersion2WithThreeD) {
  // A camera 10 units along +X: a star with a distance shifts, a direction does not.
  Matrix4<double> moved = Matrix4<double>::identity();
  moved(3, 0) = -10.0;
  Star near = kCentre;
  near.distance = 20.0;
  auto peak_x = [](RenderBench& s) {
    int bx = 0;
    float best = 0;
    for (int x = 0; x < s.width; ++x)
      if (s.red(x, 32) > best) best = s.red(x, 32), bx = x;
    return bx;
  };
  for (const char* magic : {"VANTREL1", "VANTREL2"}) {
    RenderBench s;
    s.cams.clear();
    s.add_camera(moved);
    s.data.three_d = true;
    s.render(s.db({near}, magic));
    if (std::string(magic) == "VANTREL2")
      EXPECT_LT(peak_x(s), 32) << "the near star moves against the camera";
    else
      EXPECT_EQ(peak_x(s), 32) << "VANTREL1 distances are never read";
  }
  RenderBench off;
  off.cams.clear();
  off.add_camera(moved);
  off.render(off.db({near}));
  EXPECT_EQ(peak_x(off), 32);
}

TEST(StarRenderer, HeaderOnlyAndFailures) {
  RenderBench s;
  bool drew = false;
  EXPECT_EQ(s.render(s.db({}), &drew), 1);
  EXPECT_FALSE(drew);

  RenderBench none;
  none.cams.clear();
  try {
    none.render(none.db({kCentre}));
    FAIL() << "rendered without a camera";
  } catch (const AssertXception& e) {
    EXPECT_STREQ(e.expression, "priv->cams.len() > 0");
  }

  RenderBench bad;
  try {
    bad.render(bad.db({kCentre}, "VANTREL3"));
    FAIL() << "accepted a bad header";
  } catch (const StrXception& e) {
    EXPECT_EQ(std::string(e.message.c_str()).rfind("error in star database file", 0), 0u);
  }

  // Raised at the first star that passes the threshold, not before: the
  // faint stars ahead of it are read and passed over.
  RenderBench unknown;
  unknown.data.projection = static_cast<op_stars_projection>(3);
  unknown.data.lum_threshold = 0.4;
  MemoryStars file(unknown.db({Star{90, 0, 0.1f}, Star{90, 0, 0.2f}, kCentre, kCentre}));
  CountingInput input(file);
  StarFramebuffer f = unknown.fb();
  StarRenderer r(unknown.data, f, input, unknown.cams);
  int completed = 0;
  try {
    while (r.render_next(drew)) ++completed;
    FAIL() << "an unknown projection was accepted";
  } catch (const StrXception& e) {
    EXPECT_EQ(std::string(e.message.c_str()).rfind("unknown projection", 0), 0u);
  }
  EXPECT_EQ(completed, 2);
  EXPECT_EQ(input.handed, 4);  // the header, the two faint stars and the first bright one
}

TEST(StarRenderer, SegmentWithOneEndBehindIsDrawn) {
  RenderBench s;
  Matrix4<double> turned{};  // a half turn about Y: +Z goes behind
  turned(0, 0) = -1;
  turned(1, 1) = 1;
  turned(2, 2) = -1;
  turned(3, 3) = 1;
  s.add_camera(turned);
  bool drew = false;
  s.render(s.db({kCentre}), &drew);
  EXPECT_TRUE(drew);
  EXPECT_GT(s.red_sum(), 0.0);
  RenderBench hidden;
  hidden.cams.clear();
  hidden.add_camera(turned);
  hidden.add_camera(turned);
  drew = false;
  hidden.render(hidden.db({kCentre}), &drew);
  EXPECT_FALSE(drew);
}

// The spot is sized in screen-window units: where the screen window's
// proportions differ from the framebuffer's (pixels that are not square) it is
// narrowed or widened in pixels, so that its shape in the window is the one
// the sizes ask for.
TEST(StarRenderer, SpotShapeFollowsTheScreenWindowNotThePixels) {
  struct Case {
    int w, h;
    double left, right, bottom, top;
    double aspect;  // star_width / star_height
  };
  const Case cases[] = {
      {64, 64, -2, 2, -1, 1, 1.0},  // pixels twice as wide as tall
      {64, 64, -1, 1, -2, 2, 1.0},  // pixels twice as tall as wide
      {96, 48, -2, 2, -1, 1, 1.5},  // square pixels, an oval spot
      {48, 96, -1, 1, -1, 1, 1.0},  // a tall frame, a square window
      {64, 64, 2, -2, 1, -1, 1.0},  // a window mirrored both ways
  };
  for (const Case& c : cases) {
    RenderBench s(c.w, c.h);
    s.data.screen_left = c.left;
    s.data.screen_right = c.right;
    s.data.screen_bottom = c.bottom;
    s.data.screen_top = c.top;
    s.data.star_height = 3.0 / (c.w * 0.0005);  // 3 pixels tall
    s.data.star_width = c.aspect * s.data.star_height;
    s.render(s.db({kCentre}));
    const SpotSize px = measured_size(s);
    const double wide = px.a * std::fabs(c.right - c.left) / c.w;
    const double tall = px.b * std::fabs(c.top - c.bottom) / c.h;
    EXPECT_NEAR(wide / tall, c.aspect, 0.01 * c.aspect) << c.w << " x " << c.h << ", " << c.left;
    EXPECT_NEAR(px.b, 3.0, 0.03) << c.w << " x " << c.h << ", " << c.left;
  }
}

// One camera draws a star only where it sees it: a star behind the camera
// must not come out mirrored in front, under any projection.
TEST(StarRenderer, OneCameraDrawsOnlyWhatItSees) {
  const Star behind{290, 10, 0.5f};     // a little right of and above -Z
  const Star mirrored{110, -10, 0.5f};  // its opposite direction, in front
  for (op_stars_projection projection : {Perspective, Hemispherical, AzimuthalEquidistant}) {
    RenderBench front, back;
    front.data.projection = back.data.projection = projection;
    bool drew = false;
    front.render(front.db({mirrored}), &drew);
    EXPECT_TRUE(drew) << projection;
    drew = false;
    back.render(back.db({behind}), &drew);
    EXPECT_FALSE(drew) << projection;
    EXPECT_EQ(back.red_sum(), 0.0) << projection;
  }
}

// Across several cameras a segment is drawn when either of its ends is
// visible, from the previous camera's point to this one's, and the point and
// the visibility move on at every step. The whole streak is then the sum of
// its segments, each drawn alone with two cameras, added in the same order.
TEST(StarRenderer, SegmentsHandVisibilityOn) {
  // Visible, hidden, hidden, visible, visible, hidden: a hidden end lands at
  // the mirrored point, still inside the disc.
  const double turns[] = {10, 150, 130, -20, -35, 120};
  const size_t n = sizeof turns / sizeof turns[0];
  RenderBench whole;
  whole.data.brightness = 1.25;  // 1.25 * 4 / 5 segments: exactly 1 per segment
  whole.cams.clear();
  for (double deg : turns) whole.add_camera(turned_about_y(deg));
  const Bytes db = whole.db({kCentre});
  whole.render(db);

  RenderBench pieces;
  pieces.data.brightness = 0.25;  // one segment: 0.25 * 4 = 1
  for (size_t i = 0; i + 1 < n; ++i) {
    pieces.cams.clear();
    pieces.add_camera(turned_about_y(turns[i]));
    pieces.add_camera(turned_about_y(turns[i + 1]));
    const double before = pieces.red_sum();
    bool drew = false;
    pieces.render(db, &drew);
    const bool seen = std::fabs(turns[i]) < 90 || std::fabs(turns[i + 1]) < 90;
    EXPECT_EQ(drew, seen) << "segment " << i;
    EXPECT_EQ(pieces.red_sum() > before, seen) << "segment " << i;
  }
  EXPECT_GT(whole.red_sum(), 0.0);
  EXPECT_EQ(whole.px, pieces.px);
}

// The parallax setting reaches the projection: it takes parallax / 100 from
// every star's weight 1 / distance, so a negative one gives a star without
// distance the distance 100 / |parallax|, and a positive one turns stars
// beyond 100 / parallax into directions.
TEST(StarRenderer, ParallaxMovesStarsAsDistanceWould) {
  Matrix4<double> moved = Matrix4<double>::identity();
  moved(3, 0) = -3.0;  // the camera 3 units along +X
  auto frame = [&](double distance, double parallax) {
    RenderBench s;
    s.cams.clear();
    s.add_camera(moved);
    s.data.three_d = true;
    s.data.parallax = parallax;
    Star star = kCentre;
    star.distance = distance;
    s.render(s.db({star}));
    return s.px;
  };
  auto max_difference = [](const std::vector<float>& a, const std::vector<float>& b) {
    float d = 0;
    for (size_t i = 0; i < a.size(); ++i) d = std::max(d, std::fabs(a[i] - b[i]));
    return d;
  };
  const std::vector<float> direction = frame(0, 0), at_10 = frame(10, 0), at_20 = frame(20, 0);
  // The camera's move shows, and differently for the two distances.
  ASSERT_GT(max_difference(direction, at_10), 0.1f);
  ASSERT_GT(max_difference(at_20, at_10), 0.1f);
  EXPECT_LE(max_difference(frame(0, -10), at_10), 1e-6f);
  EXPECT_LE(max_difference(frame(10, 5), at_20), 1e-6f);  // 1/10 - 5/100 = 1/20
  EXPECT_EQ(frame(20, 10), direction);                    // 1/20 - 10/100 < 0
}

// The culling of sky cells: a patch that may_light refuses must add no light
// at all, over random cameras (turning, moving, zooming, scaled by a parent)
// in every projection, with motion blur, 3D stars and parallax, random spot
// sizes, brightness laws and screen windows that cut out a region. Patches
// lie around the view, many at its edge; the test also asks that most of
// the far ones are refused, so that a test that keeps everything fails.
TEST(StarRenderer, PatchesRefusedByTheReachTestAddNoLight) {
  std::mt19937 rng(20261208);
  auto uniform = [&](double a, double b) {
    return std::uniform_real_distribution<double>(a, b)(rng);
  };
  auto unit = [&] {
    double v[3];
    double n = 0;
    do {
      for (double& x : v) x = uniform(-1, 1);
      n = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    } while (n < 0.1 || n > 1);
    return SkyDirection{v[0] / n, v[1] / n, v[2] / n};
  };
  // d turned towards a random direction by `angle` radians.
  auto turned = [&](const SkyDirection& d, double angle) {
    const SkyDirection r = unit();
    const double along = r.x * d.x + r.y * d.y + r.z * d.z;
    SkyDirection p{r.x - along * d.x, r.y - along * d.y, r.z - along * d.z};
    const double n = std::sqrt(p.x * p.x + p.y * p.y + p.z * p.z);
    const double c = std::cos(angle), s = std::sin(angle) / n;
    return SkyDirection{c * d.x + s * p.x, c * d.y + s * p.y, c * d.z + s * p.z};
  };
  // A rotation about a random axis (Rodrigues), as a 3 x 3 in a Matrix4.
  auto rotation = [&](double angle) {
    const SkyDirection k = unit();
    const double c = std::cos(angle), s = std::sin(angle), t = 1 - c;
    const double a[3] = {k.x, k.y, k.z};
    Matrix4<double> m = Matrix4<double>::identity();
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        m(i, j) = t * a[i] * a[j] + (i == j ? c : 0) +
                  s * (i == (j + 1) % 3   ? -a[3 - i - j]
                       : j == (i + 1) % 3 ? a[3 - i - j]
                                          : 0);
    return m;
  };
  const op_stars_projection projections[] = {Perspective, Hemispherical, AzimuthalEquidistant};
  int refused = 0, far = 0, far_refused = 0;
  for (int trial = 0; trial < 600; ++trial) {
    RenderBench s(48, 32);
    s.cams.clear();
    s.data.projection = projections[trial % 3];
    s.data.three_d = trial % 2 == 0;
    s.data.parallax = uniform(-20, 20);
    s.data.brightness = uniform(0.5, 50);
    s.data.brightness_power = trial % 4 == 0 ? uniform(0.5, 2) : 1.0;
    s.data.lum_max = trial % 5 == 0 ? uniform(0.1, 2) : 1e9;
    s.data.lum_threshold = uniform(0, 0.05);
    s.set_spot(static_cast<float>(uniform(0.5, 4)), static_cast<float>(uniform(0.5, 4)));
    // A region: part of a wider window.
    const double l = uniform(-1, 0.5);
    s.data.screen_left = l;
    s.data.screen_right = l + uniform(0.2, 1.0);
    const double b = uniform(-1, 0.5);
    s.data.screen_bottom = b;
    s.data.screen_top = b + uniform(0.2, 1.0);

    const int samples = 1 + trial % 4;
    const double zoom = std::exp(uniform(std::log(0.7), std::log(40.0)));
    const double scale = trial % 7 == 0 ? 2.5 : 1.0;  // a parent scaled uniformly
    Matrix4<double> m = rotation(uniform(0, kPi));
    for (int k = 0; k < samples; ++k) {
      Matrix4<double> c = m;
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) c(i, j) *= scale;
      for (int j = 0; j < 3; ++j) c(3, j) = uniform(-0.3, 0.3) * scale;
      s.cams.append(camera{c, zoom * uniform(0.7, 1.3), 1.0, -1.0});
      m = m * rotation(uniform(0, 0.3));
    }
    // The camera's view axis in the sky: column 2 of the first rotation.
    const Matrix4<double>& first = s.cams[0].matrix;
    const SkyDirection forward{first(0, 2) / scale, first(1, 2) / scale, first(2, 2) / scale};

    // Roughly the view's half-width, to put most patches about its edge.
    const double view = s.data.projection == Perspective ? std::atan(1.5 / zoom) : 1.6;
    for (int p = 0; p < 12; ++p) {
      SkyPatch patch{};
      patch.centre = turned(forward, uniform(0, p < 8 ? 3 * view : kPi));
      patch.radius = uniform(0.0005, 0.02);
      patch.brightest = static_cast<float>(uniform(0.001, 1.5));
      patch.nearest = trial % 3 == 0 ? uniform(0.5, 5) : INFINITY;
      std::vector<Star> stars;
      for (int i = 0; i < 40; ++i) {
        const SkyDirection d = turned(patch.centre, uniform(0, patch.radius));
        Star st;
        st.ra = std::atan2(d.z, d.x) * 180 / kPi;
        st.dec = std::asin(d.y) * 180 / kPi;
        st.brightness = i == 0 ? patch.brightest : static_cast<float>(uniform(0, patch.brightest));
        st.distance = std::isinf(patch.nearest) ? 0 : patch.nearest * uniform(1, 3);
        stars.push_back(st);
      }
      // Directions from single-precision angles: the index's radius has room.
      patch.radius += 1e-5;
      const Bytes bytes = s.db(stars);
      MemoryStars input(bytes);
      std::fill(s.px.begin(), s.px.end(), 0.0f);
      StarFramebuffer f = s.fb();
      StarRenderer r(s.data, f, input, s.cams);
      const bool may = r.may_light(patch);
      std::vector<float> bright(stars.size());
      std::vector<SkyDirection> dirs(stars.size());
      star_lookups(bytes.data() + star_db::kRecordSize, stars.size(), bright.data(), dirs.data());
      r.render_records(bytes.data() + star_db::kRecordSize, bright.data(), dirs.data(),
                       stars.size());
      if (!may) {
        ++refused;
        ASSERT_EQ(s.red_sum(), 0.0) << "trial " << trial << " patch " << p;
      }
      if (p >= 8) ++far, far_refused += may ? 0 : 1;
    }
  }
  EXPECT_GT(refused, 0);
  EXPECT_GT(far_refused, far / 3);
}
