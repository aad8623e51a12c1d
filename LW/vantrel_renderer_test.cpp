// The star renderer over databases read through the host's file service.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "LW/test_harness.h"

namespace {

using harness::Star;

struct RenderBench {
  RenderBench(int w = 64, int h = 64)
      : width(w), height(h), px(static_cast<size_t>(w) * h * 4, 0.0f) {
    h_.echo_messages = false;
    vantrel_host.fileio = static_cast<const VHFileIOFuncs*>(h_.global(VH_FILE_IO));
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
  ~RenderBench() { vantrel_host = VantrelHost(); }

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

  std::string db(const std::vector<Star>& stars, const char* magic = "VANTREL2") {
    std::string path = dir.file("r.stars");
    harness::write_db(h_, path, stars, magic);
    return path;
  }

  // Renders every record; returns how many render_next calls were made.
  int render(const std::string& path, bool* drew_out = nullptr) {
    LWStarFile input(path.c_str());
    StarFramebuffer f = fb();
    StarRenderer r(data, f, input, cams);
    bool drew = false;
    int calls = 0;
    while (++calls, r.render_next(drew)) {
    }
    if (drew_out) *drew_out = drew;
    version2 = input.is_version2;
    return calls;
  }

  testing_support::TempDir dir;
  host::Host h_;
  int width, height;
  std::vector<float> px;
  StarRendererData data;
  Array<camera> cams;
  bool version2 = false;
};

// A star straight ahead lands on pixel (32, 32) of a 64 x 64 framebuffer.
const Star kCentre{90.0, 0.0, 0.5f};

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
  c.r = 255;
  c.g = 10;
  c.b = 0;
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
    EXPECT_EQ(s.version2, std::string(magic) == "VANTREL2");
    if (s.version2)
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
    EXPECT_EQ(std::string(e.message.c_str()).rfind("error in star database file in <", 0), 0u);
  }

  RenderBench unknown;
  unknown.data.projection = static_cast<op_stars_projection>(3);
  // Raised at the first star that passes the threshold, not before.
  unknown.data.lum_threshold = 0.4;
  EXPECT_THROW(unknown.render(unknown.db({Star{90, 0, 0.1f}, kCentre})), StrXception);
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

// Depth of field scales the spot by the camera's blur disc, never below its
// own size, and keeps its light. The screen window may be stretched against
// the framebuffer: with a window twice as wide, a pixel spans twice the
// window's units across (u = 1/2); the disc is the same seen across, and
// anamorphic depth of field scales its width by u once more.
TEST(StarRenderer, DepthOfFieldScale) {
  harness::StaticPlugin p;
  host::Item& cam = p.host.scene.add(host::ItemKind::Camera, "Camera");
  cam.camera.focal_distance = host::Channel(0.05);
  p.host.scene.render.height = 100;
  p.host.scene.render.render_options = VH_ROPT_DEPTH_OF_FIELD;
  vantrel_host.scene = static_cast<const VHSceneInfo*>(p.host.global(VH_SCENE_INFO));
  vantrel* v = static_cast<vantrel*>(vantrel_create(nullptr, nullptr, nullptr));
  const VHItemID id = host::Host::to_id(cam.id);
  struct Scaled {
    double sx, sy, k;
  };
  // A 200 x 100 framebuffer under a window of 2:1 (u = 1) or 4:1 (u = 1/2).
  auto scale = [&](double sx, double sy, double window_w) {
    Scaled s{};
    dof_star_scale(v, id, 0.0, 200, 100, -window_w / 2, window_w / 2, -0.5, 0.5, sx, sy, s.sx, s.sy,
                   s.k);
    return s;
  };
  const Scaled small = scale(1, 1, 2);
  EXPECT_GT(small.sx, 1);
  EXPECT_GT(small.sy, 1);
  EXPECT_NEAR(small.sx * small.sy * small.k, 1.0, 1e-12);  // the light is kept
  EXPECT_NEAR(small.sx, small.sy, 1e-9);                   // round under square pixels
  // Larger than the blur disc: unchanged, factor 1.
  const Scaled big = scale(1e4, 1e4, 2);
  EXPECT_EQ(big.sx, 1e4);
  EXPECT_EQ(big.sy, 1e4);
  EXPECT_EQ(big.k, 1.0);
  // A window twice as wide: the same disc as seen across, unless anamorphic.
  const Scaled wide = scale(1, 1, 4);
  EXPECT_NEAR(wide.sx, small.sx, 1e-9);
  EXPECT_NEAR(wide.sy, small.sy, 1e-9);
  v->AnamorphicDOF = 1;
  const Scaled anamorphic = scale(1, 1, 4);
  EXPECT_NEAR(anamorphic.sx, small.sx / 2, 1e-9);
  EXPECT_NEAR(anamorphic.sy, small.sy, 1e-9);
  EXPECT_NEAR(anamorphic.sx * anamorphic.sy * anamorphic.k, 1.0, 1e-12);
  EXPECT_NEAR(scale(1, 1, 2).sx, small.sx, 1e-9);  // square pixels: anamorphic changes nothing
  // Without the render option nothing changes.
  p.host.scene.render.render_options = 0;
  vantrel_host.scene = static_cast<const VHSceneInfo*>(p.host.global(VH_SCENE_INFO));
  const Scaled off = scale(1, 1, 4);
  EXPECT_EQ(off.sx, 1.0);
  EXPECT_EQ(off.k, 1.0);
  vantrel_destroy(v);
}
