// The per-frame pass, end to end: the built plug-in runs on frames of the
// host's render driver, and every expectation comes from the host's own
// camera geometry, not from the plug-in's code.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "testsupport/test_harness.h"

namespace {

using harness::ahead;
using harness::Harness;
using harness::kPi;
using harness::Star;

double rad(double deg) { return deg * kPi / 180; }

// Centroid in x of the rows of one parity.
double row_parity_x(const host::FrameImage& im, int parity) {
  double s = 0, sx = 0;
  for (int y = parity; y < im.height; y += 2)
    for (int x = 0; x < im.width; ++x) {
      const double v = im.red[static_cast<size_t>(y) * im.width + x];
      s += v;
      sx += v * x;
    }
  return s > 0 ? sx / s : -1;
}

double row_parity_sum(const host::FrameImage& im, int parity) {
  double s = 0;
  for (int y = parity; y < im.height; y += 2)
    for (int x = 0; x < im.width; ++x) s += im.red[static_cast<size_t>(y) * im.width + x];
  return s;
}

bool same_bits(const host::FrameImage& a, const host::FrameImage& b) {
  return a.red == b.red && a.green == b.green && a.blue == b.blue && a.alpha == b.alpha;
}

// The sRGB curves from their definition, in double precision, with the
// thresholds the host's pixels were made with (0.03928 and 0.00304).
double decode_exact(double v) {
  return v > 0.03928 ? std::pow((v + 0.055) / 1.055, 2.4) : v / 12.92;
}
double encode_exact(double v) {
  return v > 0.00304 ? 1.055 * std::pow(v, 1 / 2.4) - 0.055 : v * 12.92;
}

}  // namespace

TEST(FramePass, StarLandsWhereTheCameraPutsIt) {
  Harness hn;
  double hfov, vfov;
  hn.host.scene.fov(*hn.cam, 0, hfov, vfov);
  const double W = 200, H = 100, aspect = W / H;
  struct Case {
    int projection;
    double right, up;
    double x, y;  // expected framebuffer position
  };
  const double r = 20, u = 8;
  std::vector<Case> cases = {
      {Perspective, 0, 0, W / 2, H / 2},
      {Perspective, r, 0, W / 2 * (1 + std::tan(rad(r)) / std::tan(hfov / 2)), H / 2},
      {Perspective, 0, u, W / 2, H / 2 * (1 - std::tan(rad(u)) / std::tan(vfov / 2))},
      // The disc projections fill the screen window's height: radius 1 at 90 degrees.
      {Hemispherical, r, 0, W / 2 * (1 + std::sin(rad(r)) / aspect), H / 2},
      {Hemispherical, 0, u, W / 2, H / 2 * (1 - std::sin(rad(u)))},
      {AzimuthalEquidistant, r, 0, W / 2 * (1 + rad(r) / (kPi / 2) / aspect), H / 2},
      {AzimuthalEquidistant, 0, -u, W / 2, H / 2 * (1 + rad(u) / (kPi / 2))},
  };
  for (const Case& c : cases) {
    auto f = hn.instance(hn.db({ahead(c.right, c.up)}));
    Harness::settings(*f).Projection = c.projection;
    Harness::settings(*f).StarSize = 20;  // 2 pixels
    const host::FrameImage im = hn.render(*f);
    double cx, cy;
    harness::centroid(im, cx, cy);
    EXPECT_NEAR(cx, c.x, 0.02) << "projection " << c.projection << " right " << c.right;
    EXPECT_NEAR(cy, c.y, 0.02) << "projection " << c.projection << " up " << c.up;
    int bx, by;
    harness::brightest(im, bx, by);
    EXPECT_LE(std::abs(bx - c.x), 0.5 + 1e-9);
    EXPECT_LE(std::abs(by - c.y), 0.5 + 1e-9);
  }
}

TEST(FramePass, ParentItemTurnsTheSky) {
  Harness hn;
  host::Item& rig = hn.host.scene.add(host::ItemKind::Object, "Sky");
  rig.motion.rotation[0] = host::Channel(30.0);   // the sky's +Z turns 30 degrees to the right
  rig.motion.position[1] = host::Channel(500.0);  // moving it does not move directions
  auto f = hn.instance(hn.db({ahead(0, 0)}));
  Harness::settings(*f).ParentID = host::Host::to_id(rig.id);
  Harness::settings(*f).StarSize = 20;
  double cx, cy;
  harness::centroid(hn.render(*f), cx, cy);
  EXPECT_NEAR(cx, hn.perspective_x(30), 0.02);
  EXPECT_NEAR(cy, 50, 0.02);
}

TEST(FramePass, EmptyRegionsTouchNothing) {
  Harness hn;
  auto f = hn.instance(hn.db({ahead(0, 0)}));
  const host::FrameImage before = [&] {
    host::FrameImage im(200, 100);
    std::fill(im.red.begin(), im.red.end(), 0.3f);
    std::fill(im.green.begin(), im.green.end(), 0.3f);
    std::fill(im.blue.begin(), im.blue.end(), 0.3f);
    std::fill(im.alpha.begin(), im.alpha.end(), 0.2f);
    return im;
  }();
  // A camera region that ends before it starts.
  hn.cam->camera.limited_region = true;
  hn.cam->camera.region_x0 = 150;
  hn.cam->camera.region_x1 = 100;
  hn.cam->camera.region_y1 = 99;
  EXPECT_TRUE(same_bits(hn.render(*f, 0, 0.3f, 0.2f), before));
  // A scene region and a camera region that do not meet.
  hn.cam->camera.region_x0 = 0;
  hn.cam->camera.region_x1 = 50;
  hn.host.scene.render.limited_region = true;
  hn.host.scene.render.region_x0 = 120;
  hn.host.scene.render.region_x1 = 199;
  hn.host.scene.render.region_y1 = 99;
  EXPECT_TRUE(same_bits(hn.render(*f, 0, 0.3f, 0.2f), before));
  // Overlapping regions (columns 50 to 150) draw the star where the whole
  // frame would have it; outside them the frame comes back unchanged.
  hn.host.scene.render.region_x0 = 50;
  hn.cam->camera.region_x1 = 150;
  Harness::settings(*f).StarSize = 20;
  const host::FrameImage drawn = hn.render(*f, 0, 0.0f, 0.0f);
  double cx, cy;
  harness::centroid(drawn, cx, cy);
  EXPECT_NEAR(cx, 100.0, 0.02);
  EXPECT_NEAR(cy, 50.0, 0.02);
  const host::FrameImage kept = hn.render(*f, 0, 0.3f, 0.2f);
  for (int y = 0; y < 100; ++y)
    for (int x = 0; x < 200; ++x) {
      if (x >= 50 && x <= 150) continue;
      ASSERT_EQ(kept.red[y * 200 + x], 0.3f) << x << "," << y;
    }
}

TEST(FramePass, MotionBlurStreaksCarryTheSpotsLight) {
  Harness hn;
  hn.cam->camera.motion_blur = true;
  hn.cam->camera.blur_length = host::Channel(1.0);
  hn.cam->motion.rotation[0].set(0.0, 0.0);
  hn.cam->motion.rotation[0].set(1.0 / 24, 10);  // pans 10 degrees during frame 0
  const std::string db = hn.db({ahead(5, 0, 0.05f)});
  auto render_with = [&](int segs) {
    auto f = hn.instance(db);
    Harness::settings(*f).BlurSegs = segs;
    Harness::settings(*f).StarSize = 20;
    return hn.render(*f);
  };
  // BlurSegs 0: one camera at the start of the exposure, a still spot.
  const host::FrameImage still = render_with(0);
  double cx, cy;
  harness::centroid(still, cx, cy);
  EXPECT_NEAR(cx, hn.perspective_x(5), 0.02);

  const host::FrameImage streak = render_with(8);
  EXPECT_NEAR(harness::sum(streak.red) / harness::sum(still.red), 1.0, 2e-3);
  // The streak runs from the star's place at the start to its place at the end.
  // Lit all along, and no farther than a spot's reach (about 5 pixels) past either end.
  int lo = 200, hi = -1;
  for (int x = 0; x < 200; ++x)
    if (streak.red[50 * 200 + x] > 1e-4f) lo = std::min(lo, x), hi = std::max(hi, x);
  const double start = hn.perspective_x(5), end = hn.perspective_x(-5);
  EXPECT_LE(lo, end);
  EXPECT_GE(lo, end - 6.5);
  EXPECT_GE(hi, start);
  EXPECT_LE(hi, start + 6.5);
  for (int x = static_cast<int>(std::ceil(end)); x <= start; ++x)
    EXPECT_GT(streak.red[50 * 200 + x], 1e-4f) << x;
  harness::centroid(streak, cx, cy);
  EXPECT_NEAR(cx, (hn.perspective_x(5) + hn.perspective_x(-5)) / 2, 0.5);

  // A zero-length exposure gives the still spot, whatever the segment count.
  hn.cam->camera.blur_length = host::Channel(0.0);
  EXPECT_TRUE(same_bits(render_with(8), still));
}

TEST(FramePass, FieldsInterleaveTwoTimes) {
  Harness hn;
  hn.cam->motion.rotation[0].set(0.0, 0.0);
  hn.cam->motion.rotation[0].set(1.0 / 24, 10);
  auto f = hn.instance(hn.db({ahead(0, 0, 0.1f)}));
  Harness::settings(*f).StarSize = 40;  // 4 pixels tall: both parities get light
  const double early = hn.perspective_x(0), late = hn.perspective_x(-5);  // half a frame on
  for (bool even_first : {true, false}) {
    hn.host.scene.render.render_options =
        VH_ROPT_FIELDS | (even_first ? VH_ROPT_EVEN_FIELD_FIRST : 0);
    const host::FrameImage im = hn.render(*f);
    EXPECT_NEAR(row_parity_x(im, even_first ? 0 : 1), early, 0.05) << even_first;
    EXPECT_NEAR(row_parity_x(im, even_first ? 1 : 0), late, 0.05) << even_first;
  }
  // A still camera: the two fields together hold the whole spot.
  Harness still;
  auto g = still.instance(still.db({ahead(0, 0, 0.1f)}));
  Harness::settings(*g).StarSize = 40;
  const double whole = harness::sum(still.render(*g).red);
  still.host.scene.render.render_options = VH_ROPT_FIELDS;
  const host::FrameImage fields = still.render(*g);
  EXPECT_GT(row_parity_sum(fields, 0), 0.0);
  EXPECT_GT(row_parity_sum(fields, 1), 0.0);
  EXPECT_NEAR(harness::sum(fields.red) / whole, 1.0, 1e-6);
}

TEST(FramePass, ThreeDStarsNeedAVersion2Database) {
  Harness hn;
  const std::string v1 = hn.db({ahead(0, 0)}, "VANTREL1", "v1.stars");
  auto f = hn.instance(v1);
  Harness::settings(*f).ThreeD = 1;
  const host::FrameImage refused = hn.render(*f);
  EXPECT_EQ(harness::sum(refused.red), 0.0);
  ASSERT_EQ(hn.host.messages.size(), 1u);
  EXPECT_EQ(hn.host.messages[0].kind, host::Message::Error);
  EXPECT_EQ(hn.host.messages[0].first,
            "Vantrel: This star database file does not support 3D stars");
  EXPECT_EQ(hn.host.messages[0].second, v1);
  EXPECT_FALSE(Harness::settings(*f).StarFileIs3D);

  // A database already held is not tested again: its stars are drawn, without distances.
  Harness::settings(*f).ThreeD = 0;
  const double plain = harness::sum(hn.render(*f).red);
  Harness::settings(*f).ThreeD = 1;
  EXPECT_EQ(harness::sum(hn.render(*f).red), plain);
  EXPECT_GT(plain, 0.0);
  EXPECT_EQ(hn.host.messages.size(), 1u);
}

TEST(FramePass, DepthOfFieldKeepsTheLight) {
  Harness hn;
  hn.cam->camera.focal_distance = host::Channel(0.1);  // close focus: distant stars blur
  auto f = hn.instance(hn.db({ahead(0, 0, 0.3f)}));
  const host::FrameImage sharp = hn.render(*f);
  hn.host.scene.render.render_options = VH_ROPT_DEPTH_OF_FIELD;
  const host::FrameImage soft = hn.render(*f);
  EXPECT_NEAR(harness::sum(soft.red) / harness::sum(sharp.red), 1.0, 2e-3);
  const float peak_sharp = *std::max_element(sharp.red.begin(), sharp.red.end());
  const float peak_soft = *std::max_element(soft.red.begin(), soft.red.end());
  EXPECT_LT(peak_soft, peak_sharp / 4);
  auto lit = [](const host::FrameImage& im) {
    return std::count_if(im.red.begin(), im.red.end(), [](float v) { return v > 0; });
  };
  EXPECT_GT(lit(soft), lit(sharp));
  // In focus: sizes and brightness as without depth of field.
  hn.cam->camera.focal_distance = host::Channel(1e9);
  EXPECT_TRUE(same_bits(hn.render(*f), sharp));
}

// The host's pixels are sRGB-encoded or linear; stars are added in linear
// terms. A pixel that no star changes comes back exactly as it came, also
// where a trip through decoding and encoding would not bring it back bit for
// bit, and alpha always does.
TEST(FramePass, PixelsAreSRGBOrLinear) {
  Harness hn;
  // Every pixel a value of its own, 20,000 of 0.01 .. 1: the curves in
  // single precision bring a good share of them back some ulps away after
  // a round trip.
  host::FrameImage varied(200, 100);
  for (size_t i = 0; i < varied.red.size(); ++i) {
    const float v = 0.01f + 0.99f * static_cast<float>(i) / static_cast<float>(varied.red.size());
    varied.red[i] = varied.green[i] = varied.blue[i] = v;
    varied.alpha[varied.red.size() - 1 - i] = v;
  }
  for (const char* magic : {"VANTREL2", "header only"}) {
    const bool header_only = std::string(magic) == "header only";
    auto f =
        hn.instance(hn.db(header_only ? std::vector<Star>{} : std::vector<Star>{ahead(40, 0)}));
    if (!header_only) Harness::settings(*f).Brightness = 0;  // draws nothing
    for (int srgb : {1, 0}) {
      Harness::settings(*f).sRGBFrameBuffer = srgb;
      host::FrameImage im = varied;
      host::run_filters(hn.host, {f.get()}, im, 0);
      EXPECT_TRUE(same_bits(im, varied)) << magic << " sRGB " << srgb;
    }
  }
  // A star on an sRGB frame: the light is added in linear terms, and every
  // pixel it leaves dark is the host's own, also beside lit ones.
  auto f = hn.instance(hn.db({ahead(0, 0)}));
  host::FrameImage srgb = varied, lin = varied;
  for (size_t i = 0; i < varied.red.size(); ++i) {
    srgb.alpha[i] = lin.alpha[i] = 0.0f;
    lin.red[i] = lin.green[i] = lin.blue[i] = static_cast<float>(decode_exact(varied.red[i]));
  }
  const host::FrameImage linear = lin;
  Harness::settings(*f).sRGBFrameBuffer = 1;
  host::run_filters(hn.host, {f.get()}, srgb, 0);
  Harness::settings(*f).sRGBFrameBuffer = 0;
  host::run_filters(hn.host, {f.get()}, lin, 0);
  int lit = 0;
  for (size_t i = 0; i < lin.red.size(); ++i) {
    if (lin.red[i] != linear.red[i]) {
      ++lit;
      ASSERT_NEAR(srgb.red[i], encode_exact(lin.red[i]), 1e-6) << i;
    } else {
      ASSERT_EQ(srgb.red[i], varied.red[i]) << i;
    }
    ASSERT_EQ(srgb.alpha[i], 0.0f);
  }
  EXPECT_GT(lit, 20);
  EXPECT_GT(srgb.red[50 * 200 + 100], varied.red[50 * 200 + 100] + 0.1f);  // the star's centre
}

// The monitor's steps and a cancel, with the stars drawn in one band of
// rows and in three, a thread each.
TEST(FramePass, MonitorStepsAndCancel) {
  for (const char* threads : {"1", "3"}) {
    SCOPED_TRACE(threads);
    const harness::ThreadsInEnvironment bands(threads);
    Harness hn;
    std::vector<Star> many;
    for (int i = 0; i < 5000; ++i)
      many.push_back(ahead((i % 60) - 30.0, (i / 60 % 40) - 20.0, 0.01f));
    auto f = hn.instance(hn.db(many));
    host::FrameImage image(200, 100);
    std::vector<unsigned> totals;
    host::Progress progress;
    progress.report = [&](unsigned done, unsigned total) {
      if (done == 0) totals.push_back(total);
    };
    {
      host::FrameAccess access(image, 0, 0, 0, progress);
      f->process(access.access());
      EXPECT_TRUE(access.done_called());
    }
    ASSERT_EQ(totals.size(), 1u);
    EXPECT_EQ(totals[0], 5000u >> 11);  // (record count - 1) >> 11 per pass
    hn.host.scene.render.render_options = VH_ROPT_FIELDS;
    totals.clear();
    host::run_filters(hn.host, {f.get()}, image, 0, progress);
    EXPECT_EQ(totals.at(0), 2 * (5000u >> 11));
    hn.host.scene.render.render_options = 0;

    // Cancelled at the first step: the frame is left as it was, done is not
    // called, and no batch of records after the cancel steps the monitor.
    std::atomic<bool> cancel{true};
    host::Progress stop;
    stop.cancel = &cancel;
    int steps = 0;
    stop.report = [&](unsigned done, unsigned) { steps += done > 0; };
    host::FrameImage untouched(200, 100);
    std::fill(untouched.red.begin(), untouched.red.end(), 0.125f);
    const host::FrameImage before = untouched;
    {
      host::FrameAccess access(untouched, 0, 0, 0, stop);
      f->process(access.access());
      EXPECT_TRUE(access.cancelled());
      EXPECT_FALSE(access.done_called());
      EXPECT_EQ(steps, 1);
    }
    EXPECT_TRUE(same_bits(untouched, before));
    EXPECT_FALSE(host::run_filters(hn.host, {f.get()}, untouched, 0, stop));
    // After a cancel the database is rewound: the next frame renders in full.
    EXPECT_GT(harness::sum(hn.render(*f).red), 0.0);
  }
}

TEST(FramePass, MessagesForMissingSceneAndBadDatabase) {
  Harness hn;
  auto f = hn.instance(hn.dir.file("no such.stars"));
  hn.render(*f);
  ASSERT_EQ(hn.host.messages.size(), 1u);
  EXPECT_EQ(hn.host.messages[0].first, "Vantrel: Invalid star database file");
  EXPECT_EQ(hn.host.messages[0].second, hn.dir.file("no such.stars"));
  hn.host.messages.clear();
  hn.host.withheld.insert(VH_SCENE_INFO);
  hn.render(*f);
  ASSERT_EQ(hn.host.messages.size(), 1u);
  EXPECT_EQ(hn.host.messages[0].first, "Vantrel: Error obtaining Scene Info global");
  EXPECT_EQ(hn.host.messages[0].second, "");
}

// A whole sky: every star's light lies within its reach of where the camera
// puts it, and each star alone adds the light of its analytic spot.
TEST(FramePass, SkyFrameLightStaysWithinReach) {
  Harness hn(320, 240);
  double hfov, vfov;
  hn.host.scene.fov(*hn.cam, 0, hfov, vfov);
  uint32_t seed = 2026;
  auto rnd = [&](double lo, double hi) {
    seed = seed * 1664525u + 1013904223u;
    return lo + (hi - lo) * (seed >> 8) / 16777216.0;
  };
  std::vector<Star> stars;
  for (int i = 0; i < 300; ++i)
    stars.push_back(
        ahead(rnd(-36, 36), rnd(-28, 28), static_cast<float>(std::pow(10.0, rnd(-2.5, 0)))));

  auto configure = [](host::FilterInstance& f) {
    vantrel& v = Harness::settings(f);
    v.StarSize = 10;  // 320 * 10 * 0.0005 = 1.6 pixels
    v.LumMax = 100;
    v.Saturation = 1;
    v.Brightness = 1;
  };
  auto all = hn.instance(hn.db(stars, "VANTREL2", "sky.stars"));
  configure(*all);
  const host::FrameImage sky = hn.render(*all);

  const double a = 1.6;
  std::vector<char> mask(320 * 240, 0);
  std::vector<float> singles(320 * 240, 0.0f);
  int checked = 0;
  for (size_t i = 0; i < stars.size(); ++i) {
    const double right = 90.0 - stars[i].ra, up = stars[i].dec;
    // Direction (cos u sin r, sin u, cos u cos r): x / z = tan r, y / z = tan u / cos r.
    const double x = 160 * (1 + std::tan(rad(right)) / std::tan(hfov / 2));
    const double y = 120 * (1 - std::tan(rad(up)) / std::cos(rad(right)) / std::tan(vfov / 2));
    const double amount = stars[i].brightness * 4.0;
    const double reach = a * std::sqrt(std::max(0.0, std::log(6250 * amount)));
    const int x0 = static_cast<int>(std::floor(x - reach)),
              x1 = static_cast<int>(std::floor(x + reach)) + 1;
    const int y0 = static_cast<int>(std::floor(y - reach)),
              y1 = static_cast<int>(std::floor(y + reach)) + 1;
    for (int yy = std::max(0, y0); yy <= std::min(239, y1); ++yy)
      for (int xx = std::max(0, x0); xx <= std::min(319, x1); ++xx) mask[yy * 320 + xx] = 1;

    auto one = hn.instance(hn.db({stars[i]}, "VANTREL2", "one.stars"));
    configure(*one);
    const host::FrameImage alone = hn.render(*one);
    for (size_t p = 0; p < singles.size(); ++p) singles[p] += alone.red[p];
    if (x0 >= 0 && y0 >= 0 && x1 < 320 && y1 < 240) {
      // The cut at 1/6250 of the peak leaves out at most 1 / (6250 * amount) of the light.
      const double light = harness::sum(alone.red), full = kPi * a * a * amount;
      EXPECT_LE(light / full, 1.0 + 2e-3) << i;
      EXPECT_GE(light / full, 1.0 - 1.0 / (6250 * amount) - 2e-3) << i;
      ++checked;
    }
  }
  EXPECT_GT(checked, 150);  // the rest straddle the frame's edge or lie beyond it
  for (size_t p = 0; p < mask.size(); ++p) {
    if (!mask[p]) {
      ASSERT_EQ(sky.red[p], 0.0f) << "light beyond every star's reach at " << p;
    }
    ASSERT_NEAR(sky.red[p], singles[p], 1e-5) << p;
  }
}

namespace {

// Where the host's own geometry puts a star on a Perspective frame at time t:
// a direction (distance 0) or a point at that distance, in the parent's frame
// when there is a parent.
struct Placed {
  double x, y;
};
Placed perspective_place(const Harness& hn, const Star& s, double t,
                         const host::Item* parent = nullptr) {
  const double a = rad(s.ra), d = rad(s.dec);
  const host::Vec3 dir{std::cos(d) * std::cos(a), std::sin(d), std::cos(d) * std::sin(a)};
  const host::Frame identity;
  const host::Frame p = parent ? hn.host.scene.world_frame(*parent, t) : identity;
  host::Vec3 rel;
  const host::Frame c = hn.host.scene.world_frame(*hn.cam, t);
  if (s.distance > 0) {
    const host::Vec3 local{dir[0] * s.distance, dir[1] * s.distance, dir[2] * s.distance};
    const host::Vec3 world = p.apply(local);
    for (int k = 0; k < 3; ++k) rel[k] = world[k] - c.position[k];
  } else {
    for (int k = 0; k < 3; ++k)
      rel[k] = dir[0] * p.right[k] + dir[1] * p.up[k] + dir[2] * p.forward[k];
  }
  auto dot = [](const host::Vec3& u, const host::Vec3& v) {
    return u[0] * v[0] + u[1] * v[1] + u[2] * v[2];
  };
  const double zoom = hn.cam->camera.zoom.at(t);
  const double W = hn.host.scene.render.width, H = hn.host.scene.render.height;
  const double xs = dot(rel, c.right) * zoom / dot(rel, c.forward);
  const double ys = dot(rel, c.up) * zoom / dot(rel, c.forward);
  return Placed{W / 2 * (1 + xs / (W / H)), H / 2 * (1 - ys)};
}

// The light-weighted centre of a streak drawn with `segs` segments over
// [s, e]: every segment carries the same light, centred on its midpoint.
double streak_centre_x(const Harness& hn, const Star& star, double s, double e, int segs) {
  double sum = 0;
  for (int i = 0; i < segs; ++i) {
    const double a = s + i * (e - s) / segs, b = s + (i + 1) * (e - s) / segs;
    sum += (perspective_place(hn, star, a).x + perspective_place(hn, star, b).x) / 2;
  }
  return sum / segs;
}

}  // namespace

// A region render is the full render cut to the region, for every projection,
// landscape and portrait; nothing outside the region changes.
TEST(FramePass, RegionRenderEqualsTheFullRenderInsideIt) {
  for (bool portrait : {false, true}) {
    const int W = portrait ? 100 : 200, H = portrait ? 200 : 100;
    Harness hn(W, H);
    uint32_t seed = 7;
    auto rnd = [&](double lo, double hi) {
      seed = seed * 1664525u + 1013904223u;
      return lo + (hi - lo) * (seed >> 8) / 16777216.0;
    };
    std::vector<Star> stars;
    for (int i = 0; i < 120; ++i) stars.push_back(ahead(rnd(-60, 60), rnd(-60, 60), 0.3f));
    const std::string db = hn.db(stars);
    // Columns 25..74 and rows 50..149 of the portrait frame; transposed for landscape.
    const int x0 = portrait ? 25 : 50, x1 = portrait ? 74 : 149;
    const int y0 = portrait ? 50 : 25, y1 = portrait ? 149 : 74;
    for (int projection : {Perspective, Hemispherical, AzimuthalEquidistant}) {
      auto f = hn.instance(db);
      Harness::settings(*f).Projection = projection;
      Harness::settings(*f).StarSize = 30;
      hn.host.scene.render.limited_region = false;
      const host::FrameImage full = hn.render(*f, 0, 0.25f);
      hn.host.scene.render.limited_region = true;
      hn.host.scene.render.region_x0 = x0;
      hn.host.scene.render.region_y0 = y0;
      hn.host.scene.render.region_x1 = x1;
      hn.host.scene.render.region_y1 = y1;
      const host::FrameImage part = hn.render(*f, 0, 0.25f);
      double inside = 0;
      for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
          const size_t i = static_cast<size_t>(y) * W + x;
          if (x >= x0 && x <= x1 && y >= y0 && y <= y1) {
            ASSERT_NEAR(part.red[i], full.red[i], 2e-5f * full.red[i] + 1e-6f)
                << "projection " << projection << " portrait " << portrait << " at " << x << ","
                << y;
            inside += full.red[i] - 0.25;
          } else {
            ASSERT_EQ(part.red[i], 0.25f) << "projection " << projection << " at " << x << "," << y;
          }
        }
      EXPECT_GT(inside, 1.0) << "the region holds stars, projection " << projection;
    }
  }
}

// A region that misses the frame draws nothing, not even on the edge; one
// that reaches past the frame covers the frame only, and is the full render.
TEST(FramePass, RegionsBeyondTheFrame) {
  Harness hn;
  auto f = hn.instance(hn.db({ahead(0, 0), ahead(40, 20), ahead(-44, -22)}));
  // Large stars: a region that drew at all would light pixels.
  Harness::settings(*f).StarSize = 60;
  Harness::settings(*f).sRGBFrameBuffer = 1;
  const float bg = 0.125f;
  const host::FrameImage full = hn.render(*f, 0, bg);
  host::RenderSettings& r = hn.host.scene.render;
  r.limited_region = true;
  struct Region {
    int x0, y0, x1, y1;
  };
  for (const Region& g : {Region{200, 0, 260, 99}, Region{-60, 0, -1, 99}, Region{0, 100, 199, 150},
                          Region{0, -40, 199, -1}}) {
    r.region_x0 = g.x0, r.region_y0 = g.y0, r.region_x1 = g.x1, r.region_y1 = g.y1;
    const host::FrameImage im = hn.render(*f, 0, bg);
    for (float v : im.red) ASSERT_EQ(v, bg) << g.x0 << "," << g.y0;
  }
  for (const Region& g : {Region{0, 0, INT_MAX, INT_MAX}, Region{-50, -50, 250, 150},
                          Region{INT_MIN, INT_MIN, INT_MAX, INT_MAX}}) {
    r.region_x0 = g.x0, r.region_y0 = g.y0, r.region_x1 = g.x1, r.region_y1 = g.y1;
    EXPECT_TRUE(same_bits(hn.render(*f, 0, bg), full)) << g.x0 << "," << g.x1;
  }
}

// The exposure of a frame and of each field, from the frame number on hosts
// of version 9 and later, from the access record and the camera's blur flag
// before; each field covers half the blur interval.
TEST(FramePass, ExposureTimesOfFramesAndFields) {
  Harness hn;
  const double fps = 24, blur = 1.0;  // frames
  hn.cam->camera.motion_blur = true;
  hn.cam->camera.blur_length = host::Channel(blur);
  hn.cam->motion.rotation[0].set(-1.0, -240);  // 10 degrees a frame
  hn.cam->motion.rotation[0].set(1.0, 240);
  const Star star = ahead(30, 0, 0.1f);
  auto f = hn.instance(hn.db({star}));
  Harness::settings(*f).BlurSegs = 4;
  Harness::settings(*f).StarSize = 40;
  const int frame = 3;
  const double t = frame / fps;
  for (uint32_t version : {11u, 8u}) {
    // The host's version is read when the filter is activated.
    hn.host.product_info = version << 20;
    f.reset();
    hn.server = std::make_unique<host::ImageFilterServer>(*hn.library, "Vantrel");
    f = hn.instance(hn.db({star}));
    Harness::settings(*f).BlurSegs = 4;
    Harness::settings(*f).StarSize = 40;
    const bool modern = version >= 9;
    // The whole frame: [t, t + blur] on modern hosts; the access record's
    // [t - blur, t] (the camera blurs motion) on older ones.
    hn.host.scene.render.render_options = 0;
    double cx, cy;
    harness::centroid(hn.render(*f, frame), cx, cy);
    const double s = modern ? t : t - blur / fps, e = modern ? t + blur / fps : t;
    EXPECT_NEAR(cx, streak_centre_x(hn, star, s, e, 4), 0.05) << version;

    // Fields, the first on the even rows.
    hn.host.scene.render.render_options = VH_ROPT_FIELDS | VH_ROPT_EVEN_FIELD_FIRST;
    const host::FrameImage im = hn.render(*f, frame);
    double s1, e1, s2, e2;
    if (modern) {
      s1 = t, e1 = t + 0.5 * blur / fps;
      s2 = (frame + 0.5) / fps, e2 = s2 + 0.5 * blur / fps;
    } else {
      e1 = e - 0.5 / fps, s1 = e1 - 0.5 * (e - s);
      s2 = e - 0.5 * (e - s), e2 = e;
    }
    EXPECT_NEAR(row_parity_x(im, 0), streak_centre_x(hn, star, s1, e1, 4), 0.05) << version;
    EXPECT_NEAR(row_parity_x(im, 1), streak_centre_x(hn, star, s2, e2, 4), 0.05) << version;
  }
}

// 3D stars through the whole pass: the camera's position, and a parent that
// is turned about all three axes, moved, and pivoted off its origin.
TEST(FramePass, ThreeDStarsThroughCameraAndParent) {
  Harness hn;
  host::Item& rig = hn.host.scene.add(host::ItemKind::Object, "Rig");
  rig.motion.rotation[0] = host::Channel(25.0);
  rig.motion.rotation[1] = host::Channel(-15.0);
  rig.motion.rotation[2] = host::Channel(40.0);
  rig.motion.position[0] = host::Channel(3.0);
  rig.motion.position[1] = host::Channel(-2.0);
  rig.pivot = host::Vec3{1.5, 0.5, -2.0};
  // A star off the equator, at a distance; the camera placed to look at it from a few units away.
  Star star{200.0, 35.0, 0.3f};
  star.distance = 8.0;
  const double a = rad(star.ra), d = rad(star.dec);
  const host::Vec3 local{8 * std::cos(d) * std::cos(a), 8 * std::sin(d),
                         8 * std::cos(d) * std::sin(a)};
  const host::Vec3 world = hn.host.scene.world_frame(rig, 0).apply(local);
  hn.cam->motion.position[0] = host::Channel(world[0] - 0.4);
  hn.cam->motion.position[1] = host::Channel(world[1] + 0.3);
  hn.cam->motion.position[2] = host::Channel(world[2] - 3.0);

  auto f = hn.instance(hn.db({star}));
  Harness::settings(*f).ThreeD = 1;
  Harness::settings(*f).StarSize = 20;
  Harness::settings(*f).ParentID = host::Host::to_id(rig.id);
  double cx, cy;
  harness::centroid(hn.render(*f), cx, cy);
  const Placed want = perspective_place(hn, star, 0, &rig);
  EXPECT_NEAR(cx, want.x, 0.03);
  EXPECT_NEAR(cy, want.y, 0.03);
  EXPECT_GT(std::fabs(want.x - 100), 5);  // off centre on both axes: every term counts
  EXPECT_GT(std::fabs(want.y - 50), 5);
}

// The monitor counts (stars >> 11) steps per pass and is stepped after every
// 2048th star that leaves more to draw.
TEST(FramePass, MonitorTotalAndCadence) {
  Harness hn;
  for (int n : {2047, 2048, 4097}) {
    auto f = hn.instance(hn.db(std::vector<Star>(n, ahead(0, 0, 0.0001f)), "VANTREL2", "n.stars"));
    for (unsigned options : {0u, unsigned{VH_ROPT_FIELDS}}) {
      hn.host.scene.render.render_options = options;
      std::vector<unsigned> totals, steps;
      host::Progress progress;
      progress.report = [&](unsigned done, unsigned total) {
        (done == 0 ? totals : steps).push_back(done);
        if (done == 0) totals.back() = total;
      };
      host::FrameImage image(200, 100);
      host::run_filters(hn.host, {f.get()}, image, 0, progress);
      const unsigned passes = options ? 2 : 1;
      ASSERT_EQ(totals.size(), 1u);
      EXPECT_EQ(totals[0], passes * (static_cast<unsigned>(n) >> 11)) << n;
      // One step after stars 2047, 4095, ... of each pass, unless it was the last star.
      EXPECT_EQ(steps.size(), passes * (static_cast<unsigned>(n) >> 11)) << n;
    }
  }
}

// With a camera region the whole host image is written back, every pixel
// exactly once; with a scene region only the region. A host without the row
// service gets set_rgb and set_alpha calls; one whose output rows are not its
// input rows gets every pixel written there.
TEST(FramePass, CameraRegionsWriteTheWholeImageBack) {
  Harness hn;
  auto f = hn.instance(hn.db({ahead(0, 0)}));
  static int rgb_calls, alpha_calls;
  static const VHFilterAccess* inner;
  static host::FrameImage* output;  // the output rows of a host that keeps them apart
  struct Written {
    int rgb_calls, alpha_calls;
    int outside;    // output pixels outside the region that hold the input's values
    double inside;  // light in the region
  };
  auto run = [&](int x0, int y0, int x1, int y1) {
    host::FrameImage image(200, 100), apart(200, 100);
    std::fill(image.red.begin(), image.red.end(), 0.5f);
    std::fill(apart.red.begin(), apart.red.end(), -1.0f);
    std::fill(apart.alpha.begin(), apart.alpha.end(), -1.0f);
    output = &apart;
    const host::Progress no_progress;  // FrameAccess keeps a reference to it
    host::FrameAccess access(image, 0, 0, 0, no_progress);
    VHFilterAccess counted = *access.access();
    inner = access.access();
    counted.set_rgb = [](const VHFilterAccess*, int x, int y, const float rgb[3]) {
      ++rgb_calls;
      inner->set_rgb(inner, x, y, rgb);
    };
    counted.set_alpha = [](const VHFilterAccess*, int x, int y, float a) {
      ++alpha_calls;
      inner->set_alpha(inner, x, y, a);
    };
    rgb_calls = alpha_calls = 0;
    f->process(&counted);
    Written w{rgb_calls, alpha_calls, 0, 0.0};
    for (int y = 0; y < 100; ++y)
      for (int x = 0; x < 200; ++x) {
        const size_t i = static_cast<size_t>(y) * 200 + x;
        const bool in_region = x >= x0 && x <= x1 && y >= y0 && y <= y1;
        if (in_region) {
          w.inside += (apart.red[i] >= 0 ? apart.red : image.red)[i] - 0.5;
          continue;
        }
        EXPECT_EQ(image.red[i], 0.5f);
        if (apart.red[i] == 0.5f && apart.alpha[i] == 0.0f) ++w.outside;
      }
    return w;
  };
  auto regions = [&](const char* host_kind, int calls, int outside_whole, int outside_scene) {
    hn.cam->camera.limited_region = true;
    hn.cam->camera.region_x0 = 60, hn.cam->camera.region_y0 = 20;
    hn.cam->camera.region_x1 = 139, hn.cam->camera.region_y1 = 79;
    const Written whole = run(60, 20, 139, 79);
    EXPECT_EQ(whole.rgb_calls, calls * 200 * 100) << host_kind;
    EXPECT_EQ(whole.alpha_calls, calls * 200 * 100) << host_kind;
    EXPECT_EQ(whole.outside, outside_whole) << host_kind;
    EXPECT_GT(whole.inside, 0.1) << host_kind;
    hn.cam->camera.limited_region = false;
    hn.host.scene.render.limited_region = true;
    hn.host.scene.render.region_x0 = 60, hn.host.scene.render.region_y0 = 20;
    hn.host.scene.render.region_x1 = 139, hn.host.scene.render.region_y1 = 79;
    const Written scene = run(60, 20, 139, 79);
    EXPECT_EQ(scene.rgb_calls, calls * 80 * 60) << host_kind;
    EXPECT_EQ(scene.alpha_calls, calls * 80 * 60) << host_kind;
    EXPECT_EQ(scene.outside, outside_scene) << host_kind;
    EXPECT_GT(scene.inside, 0.1) << host_kind;
    hn.host.scene.render.limited_region = false;
  };
  // This host's own row service works in place: no calls, nothing apart.
  regions("in place", 0, 0, 0);
  // Activating again fetches the services again.
  hn.host.withheld.insert(VH_FILTER_ROWS);
  host::ImageFilterServer without_rows(*hn.library, "Vantrel");
  regions("pixel by pixel", 1, 0, 0);
  static VHFilterRows apart{nullptr, [](const VHFilterRows*, const VHFilterAccess*, int buffer,
                                        int y) { return output->plane(buffer) + y * 200; }};
  hn.host.withheld.clear();
  hn.host.extra_globals[VH_FILTER_ROWS] = &apart;
  host::ImageFilterServer with_apart(*hn.library, "Vantrel");
  regions("output apart", 0, 200 * 100 - 80 * 60, 0);
}

// Depth of field per pass: each field pass starts again from Brightness (the
// fields together keep the light), and the blur is that of the pass's start.
TEST(FramePass, DepthOfFieldPerPassAndTime) {
  Harness hn;
  hn.cam->camera.focal_distance = host::Channel(0.1);
  auto f = hn.instance(hn.db({ahead(0, 0, 0.3f)}));
  auto peak = [](const host::FrameImage& im) {
    return *std::max_element(im.red.begin(), im.red.end());
  };
  hn.host.scene.render.render_options = VH_ROPT_FIELDS;
  const host::FrameImage sharp = hn.render(*f);
  hn.host.scene.render.render_options = VH_ROPT_FIELDS | VH_ROPT_DEPTH_OF_FIELD;
  const host::FrameImage soft = hn.render(*f);
  EXPECT_LT(peak(soft), peak(sharp) / 4);
  EXPECT_NEAR(harness::sum(soft.red) / harness::sum(sharp.red), 1.0, 2e-3);
  EXPECT_NEAR(row_parity_sum(soft, 0) / row_parity_sum(soft, 1), 1.0, 0.05);

  // Focus racks from near to infinity during frame 0: the frame takes the
  // blur of its start (time 0), however late its exposure ends.
  hn.host.scene.render.render_options = VH_ROPT_DEPTH_OF_FIELD;
  hn.cam->camera.motion_blur = true;
  hn.cam->camera.blur_length = host::Channel(1.0);
  hn.cam->camera.focal_distance = host::Channel();
  hn.cam->camera.focal_distance.set(0.0, 0.1);
  hn.cam->camera.focal_distance.set(1e-3, 1e9);
  const float racked = peak(hn.render(*f));
  hn.cam->camera.focal_distance = host::Channel(1e9);
  EXPECT_GT(peak(hn.render(*f)), 3 * racked);
  hn.cam->camera.focal_distance = host::Channel(0.1);
  EXPECT_EQ(peak(hn.render(*f)), racked);
}
