// Matching a real shot: camera tracks from channel files, the lens in
// millimetres, the shutter, and the sky for a place and time. Each result is
// checked against a computation of the test's own.
#include <cmath>
#include <fstream>
#include <sstream>

#include "testsupport/cli_support.h"

namespace {

constexpr double kPi = 3.14159265358979323846, kDeg = kPi / 180;

struct Quat {
  double w, x, y, z;
  Quat operator*(const Quat& b) const {
    return {w * b.w - x * b.x - y * b.y - z * b.z, w * b.x + x * b.w + y * b.z - z * b.y,
            w * b.y - x * b.z + y * b.w + z * b.x, w * b.z + x * b.y - y * b.x + z * b.w};
  }
  std::array<double, 3> rotate(const std::array<double, 3>& v) const {
    const Quat p{0, v[0], v[1], v[2]}, c{w, -x, -y, -z};
    const Quat r = *this * p * c;
    return {r.x, r.y, r.z};
  }
};

Quat about(int axis, double degrees) {
  Quat q{std::cos(degrees * kDeg / 2), 0, 0, 0};
  (&q.x)[axis] = std::sin(degrees * kDeg / 2);
  return q;
}

// A star (our sky's right ascension and declination, degrees) in a direction of our world.
harness::Star star_towards(const std::array<double, 3>& d, float brightness = 1.0f) {
  const double n = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
  return harness::Star{std::atan2(d[2], d[0]) / kDeg, std::asin(d[1] / n) / kDeg, brightness};
}

// The light-weighted centre of the first channel near a point, in the
// renderer's pixel coordinates: pixel i is sampled at the point i, and the
// screen window's left edge is at 0.
bool centre_near(const Image& im, double px, double py, double& cx, double& cy, int reach = 8) {
  double s = 0, sx = 0, sy = 0;
  for (int y = std::max(0, int(py) - reach); y <= std::min(im.h - 1, int(py) + reach); ++y)
    for (int x = std::max(0, int(px) - reach); x <= std::min(im.w - 1, int(px) + reach); ++x) {
      const double v = im.at(x, y, 0);
      s += v, sx += v * x, sy += v * y;
    }
  if (!(s > 0)) return false;
  cx = sx / s, cy = sy / s;
  return true;
}

void write_text(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Shot : Cli {
  // A scene of one star written by new-scene with the arguments, rendered at
  // a frame into a linear EXR.
  Image render_star(const harness::Star& star, std::vector<std::string> args, int frame = 1) {
    const std::string db1 = dir.file("one.stars"), s = dir.file("shot.vsc"),
                      out = dir.file("shot.exr");
    harness::write_db(h, db1, {star});
    std::vector<std::string> all = {"new-scene", s,          "--force",  "--database",
                                    db1,         "--linear", "--plugin", plugin};
    if (std::find(args.begin(), args.end(), "--size") == args.end())
      all.insert(all.end(), {"--size", "960x540"});
    all.insert(all.end(), args.begin(), args.end());
    const RunResult n = run(all);
    EXPECT_EQ(n.status, 0) << n.err;
    const RunResult r = run(
        {"render", s, "--frames", std::to_string(frame), "-o", out, "--plugin", plugin, "--quiet"});
    EXPECT_EQ(r.status, 0) << r.err;
    return load(out);
  }
};

}  // namespace

TEST_F(Shot, ChannelCamerasPutAStarWhereTheirRotationsSay) {
  // The star lies at a fixed place in the camera's view; the camera turns by
  // the file's rotations, composed here from quaternions.
  const std::array<double, 3> in_view{0.12, -0.07, -1.0};  // right, down, ahead (-Z)
  const double vfov = 30, zoom = 1 / std::tan(vfov / 2 * kDeg);
  const double want_x = 480 + in_view[0] * zoom * 270, want_y = 270 - in_view[1] * zoom * 270;
  struct Case {
    std::string order;
    double rx, ry, rz;
  };
  const std::vector<Case> cases = {{"ZXY", 0, 0, 0},     {"ZXY", 0, 35, 0},    {"ZXY", 20, 0, 0},
                                   {"ZXY", 0, 0, 50},    {"XYZ", 20, 35, -25}, {"XZY", 20, 35, -25},
                                   {"YXZ", 20, 35, -25}, {"YZX", 20, 35, -25}, {"ZXY", 20, 35, -25},
                                   {"ZYX", 20, 35, -25}};
  double worst = 0;
  for (const Case& c : cases) {
    const double r[3] = {c.rx, c.ry, c.rz};
    Quat q{1, 0, 0, 0};
    for (char axis : c.order) q = about(axis - 'X', r[axis - 'X']) * q;
    std::array<double, 3> d = q.rotate(in_view);
    d[2] = -d[2];  // their right-handed world into ours
    char line[200];
    snprintf(line, sizeof line, "1 3.5 -2 7 %.12g %.12g %.12g\n", c.rx, c.ry, c.rz);
    write_text(dir.file("cam.chan"), line);
    const Image im = render_star(star_towards(d), {"--camera-chan", dir.file("cam.chan"),
                                                   "--rotation-order", c.order, "--fov", "30"});
    double cx, cy;
    ASSERT_TRUE(centre_near(im, want_x, want_y, cx, cy)) << c.order << " " << line;
    const double error = std::hypot(cx - want_x, cy - want_y);
    worst = std::max(worst, error);
    EXPECT_LT(error, 0.1) << c.order << " " << line << " at " << cx << "," << cy;
  }
  RecordProperty("chan_worst_centre_error_px", std::to_string(worst));
  printf("channel cameras: worst centre error %.4f px\n", worst);
}

TEST_F(Shot, ChannelTracksKeyEveryFrameAndTheLensComesFromTheFileOrTheFocalLength) {
  // A pan of 10 degrees a frame with the angle of view in the file: at frame
  // 3 the camera has turned 20 degrees, across the 180-degree line's far side
  // (from 170 to 190) without spinning back through 0.
  write_text(dir.file("pan.chan"),
             "1 0 0 0 0 170 0 25\n2 0 0 0 0 180 0 25\n"
             "3 0 0 0 0 -170 0 25\n");
  Quat q = about(1, 190);
  std::array<double, 3> d = q.rotate({0.05, 0.0, -1.0});
  d[2] = -d[2];
  Image im =
      render_star(star_towards(d), {"--camera-chan", dir.file("pan.chan"), "--fov", "60"}, 3);
  double zoom = 1 / std::tan(12.5 * kDeg), cx, cy;
  ASSERT_TRUE(centre_near(im, 480 + 0.05 * zoom * 270, 270, cx, cy));
  EXPECT_NEAR(cx, 480 + 0.05 * zoom * 270, 0.1);
  EXPECT_NEAR(cy, 270, 0.1);
  const std::string scene = read_text(dir.file("shot.vsc"));
  EXPECT_NE(scene.find("FrameRange 1 3 1"), std::string::npos) << scene;

  // No angle in the file: a 50 mm lens on the default film back, fitted
  // across the frame: the half-width of the frame is 12.288 mm at 50 mm.
  write_text(dir.file("still.chan"), "1 0 0 0 0 0 0\n");
  im = render_star(star_towards({0.1, 0, 1}),
                   {"--camera-chan", dir.file("still.chan"), "--focal", "50"});
  ASSERT_TRUE(centre_near(im, 480 + 0.1 * 50 / 12.288 * 480, 270, cx, cy, 12));
  EXPECT_NEAR(cx, 480 + 0.1 * 50 / 12.288 * 480, 0.1);
  // The film back's height fitted up the frame instead.
  im = render_star(star_towards({0, 0.1, 1}), {"--focal", "35", "--film-back", "36x24", "--fit",
                                               "vertical", "--camera-ra", "90"});
  ASSERT_TRUE(centre_near(im, 480, 270 - 0.1 * 35 / 12 * 270, cx, cy, 12));
  EXPECT_NEAR(cy, 270 - 0.1 * 35 / 12 * 270, 0.1);
  // An angle of view across the frame.
  im = render_star(star_towards({0.2, 0, 1}),
                   {"--fov", "40", "--fov-axis", "horizontal", "--camera-ra", "90"});
  ASSERT_TRUE(centre_near(im, 480 + 0.2 / std::tan(20 * kDeg) * 480, 270, cx, cy, 12));
  EXPECT_NEAR(cx, 480 + 0.2 / std::tan(20 * kDeg) * 480, 0.1);
}

TEST_F(Shot, ChannelFilesWithFaultsAreRefusedByFileAndLine) {
  struct Bad {
    std::string text, extra, says;
  };
  const std::vector<Bad> bad = {
      {"1 0 0 0 0 0 0\n2 0 0 0\n", "", "bad.chan:2: expects 'frame tx ty tz rx ry rz"},
      {"1 0 0 0 0 nan 0\n", "", "bad.chan:1: expects a finite number, found 'nan'"},
      {"1 0 0 0 0 0 0\n\n1.5 0 0 0 0 0 0\n", "", "bad.chan:3: expects a whole frame number"},
      {"1 0 0 0 0 0 0 30\n2 0 0 0 0 0 0\n", "", "bad.chan:2: has 7 values where"},
      {"1 0 0 0 0 0 0\n3 0 0 0 0 0 0\n", "--frames=1-3", "bad.chan: frame 2 is missing"},
      {"1 0 0 0 0 0 0\n", "--rotation-order=XXY", "--rotation-order expects an order of X, Y"},
      {"", "", "bad.chan: no camera lines"},
  };
  for (const Bad& b : bad) {
    write_text(dir.file("bad.chan"), b.text);
    std::vector<std::string> args = {"new-scene",
                                     dir.file("b.vsc"),
                                     "--force",
                                     "--camera-chan",
                                     dir.file("bad.chan"),
                                     "--database",
                                     db,
                                     "--plugin",
                                     plugin};
    if (!b.extra.empty()) args.push_back(b.extra);
    const RunResult r = run(args);
    EXPECT_EQ(r.status, 1) << b.text;
    EXPECT_NE(r.err.find(b.says), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("b.vsc"))) << b.text;
  }
}

TEST_F(Shot, ExportedTracksComeBackExactly) {
  // A moving camera with a changing lens, written out, read into a new
  // scene and written again: the same text, and the values first given.
  std::string track;
  for (int f = 1; f <= 4; ++f) {
    char line[200];
    snprintf(line, sizeof line, "%d %g %g %g %g %g %g %g\n", f, 1.5 * f, -0.25, 10.0 - f, 12.0 - f,
             100.0 + 30 * f, 5.0 * f, 40.0 - f);
    track += line;
  }
  write_text(dir.file("in.chan"), track);
  for (const std::string order : {"ZXY", "XZY", "YZX"}) {
    ASSERT_EQ(run({"new-scene", dir.file("a.vsc"), "--force", "--camera-chan", dir.file("in.chan"),
                   "--rotation-order", order, "--database", db, "--plugin", plugin})
                  .status,
              0);
    RunResult e = run(
        {"export-chan", dir.file("a.vsc"), "-o", dir.file("out.chan"), "--rotation-order", order});
    ASSERT_EQ(e.status, 0) << e.err;
    EXPECT_EQ(read_text(dir.file("out.chan")), track) << order;
    // Into a scene that had a still camera, and out again.
    ASSERT_EQ(run({"new-scene", dir.file("b.vsc"), "--force", "--frames", "1-4", "--database", db,
                   "--plugin", plugin})
                  .status,
              0);
    e = run({"import-chan", dir.file("b.vsc"), dir.file("out.chan"), "--rotation-order", order,
             "--plugin", plugin});
    ASSERT_EQ(e.status, 0) << e.err;
    e = run({"export-chan", dir.file("b.vsc"), "-o", dir.file("again.chan"), "--rotation-order",
             order});
    ASSERT_EQ(e.status, 0) << e.err;
    EXPECT_EQ(read_text(dir.file("again.chan")), track) << order;
  }
}

namespace {

// Azimuth and altitude from astropy for lines "LAT LON HEIGHT UTC RA DEC";
// empty when astropy cannot be run, with the reason.
std::vector<std::pair<double, double>> astropy_altaz(const testing_support::TempDir& dir,
                                                     const std::string& lines,
                                                     std::string& reason) {
  const std::string in = dir.file("altaz.in"), out = dir.file("altaz.out");
  write_text(in, lines);
  // Debian's interpreter: the one its python3-astropy package serves.
  const char* python = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
  const std::string command = std::string(python) + " '" + VANTREL_ALTAZ_SCRIPT + "' < '" + in +
                              "' > '" + out + "' 2> '" + out + ".err'";
  const int status = system(command.c_str());
  std::vector<std::pair<double, double>> seen;
  if (status != 0) {
    reason = "astropy's horizon frame is not available: " + read_text(out + ".err");
    return seen;
  }
  std::istringstream text(read_text(out));
  for (double az, alt; text >> az >> alt;) seen.push_back({az, alt});
  return seen;
}

// The pixel where a horizon direction lands for a camera aimed at an azimuth
// and altitude with a horizontal angle of view on a W x H frame.
std::pair<double, double> pixel_of(double az, double alt, double cam_az, double cam_alt,
                                   double hfov, int w, int h) {
  auto dir = [](double a, double e) {
    return std::array<double, 3>{std::sin(a * kDeg) * std::cos(e * kDeg), std::sin(e * kDeg),
                                 std::cos(a * kDeg) * std::cos(e * kDeg)};
  };
  const auto d = dir(az, alt), fwd = dir(cam_az, cam_alt);
  const std::array<double, 3> right{std::cos(cam_az * kDeg), 0, -std::sin(cam_az * kDeg)};
  const std::array<double, 3> up{-std::sin(cam_alt * kDeg) * std::sin(cam_az * kDeg),
                                 std::cos(cam_alt * kDeg),
                                 -std::sin(cam_alt * kDeg) * std::cos(cam_az * kDeg)};
  auto dot = [](const std::array<double, 3>& a, const std::array<double, 3>& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
  };
  const double half = w / 2.0 / std::tan(hfov / 2 * kDeg);  // pixels per unit of the image plane
  return {w / 2.0 + dot(d, right) / dot(d, fwd) * half, h / 2.0 - dot(d, up) / dot(d, fwd) * half};
}

}  // namespace

TEST_F(Shot, APlaceAndTimePutAStarWhereAstropySeesIt) {
  struct Case {
    std::string site, time;
    double ra, dec;
  };
  // Both hemispheres, the south pole and the equator; stars high and low.
  const std::vector<Case> cases = {
      {"51.4779,-0.0015,45", "2026-08-12T22:30:00Z", 279.2347, 38.7837},   // Vega over London
      {"-33.9249,18.4241,10", "2027-03-01T19:05:30Z", 95.9880, -52.6957},  // Canopus, Cape Town
      {"-90,0,2835", "2026-06-21T12:00:00Z", 101.2872, -16.7161},          // Sirius at the pole
      {"0,-78.4678,2850", "2026-12-31T23:59:30Z", 88.7929, 7.4071},        // Betelgeuse, equator
      {"64.1466,-21.9426,20", "2028-02-29T03:15:00Z", 37.9546, 89.2641}};  // Polaris, Reykjavik
  std::string lines, reason;
  for (const Case& c : cases) {
    std::string site = c.site;
    std::replace(site.begin(), site.end(), ',', ' ');
    lines += site + " " + c.time + " " + std::to_string(c.ra) + " " + std::to_string(c.dec) + "\n";
  }
  const auto seen = astropy_altaz(dir, lines, reason);
  if (seen.empty()) GTEST_SKIP() << reason;
  ASSERT_EQ(seen.size(), cases.size());
  double worst = 0;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    char az[32], alt[32];
    snprintf(az, sizeof az, "%.10f", seen[i].first);
    snprintf(alt, sizeof alt, "%.10f", seen[i].second);
    // North turned to heading 30 for every other case: the camera's azimuth turns with it.
    const bool turned = i % 2 == 1;
    const Image im = render_star(harness::Star{c.ra, c.dec, 1.0f},
                                 {"--site", c.site, "--time", c.time, "--camera-az", az,
                                  "--camera-alt", alt, "--fov", "5", "--fov-axis", "horizontal",
                                  "--size", "1920x1080", "--north-heading", turned ? "30" : "0"});
    double cx, cy;
    ASSERT_TRUE(centre_near(im, 960, 540, cx, cy)) << c.site << " " << c.time;
    const double error = std::hypot(cx - 960, cy - 540);
    worst = std::max(worst, error);
    EXPECT_LT(error, 0.3) << c.site << " " << c.time << ": at " << cx << "," << cy;
  }
  RecordProperty("place_time_worst_centre_error_px", std::to_string(worst));
  printf("place and time: worst centre error %.4f px\n", worst);
}

TEST_F(Shot, TheSkyTurnsOverASequence) {
  // A frame a minute: by the second frame Vega has moved about a quarter of
  // a degree across a still camera, to where astropy sees it then.
  const std::string site = "51.4779,-0.0015,45";
  std::string reason;
  const auto seen = astropy_altaz(dir,
                                  "51.4779 -0.0015 45 2026-08-12T22:30:00Z 279.2347 38.7837\n"
                                  "51.4779 -0.0015 45 2026-08-12T22:31:00Z 279.2347 38.7837\n",
                                  reason);
  if (seen.empty()) GTEST_SKIP() << reason;
  char az[32], alt[32];
  snprintf(az, sizeof az, "%.10f", seen[0].first);
  snprintf(alt, sizeof alt, "%.10f", seen[0].second);
  const Image im =
      render_star(harness::Star{279.2347, 38.7837, 1.0f},
                  {"--site", site, "--time", "2026-08-12T22:30:00Z", "--camera-az", az,
                   "--camera-alt", alt, "--fov", "5", "--fov-axis", "horizontal", "--size",
                   "1920x1080", "--fps", "0.0166666666666666667", "--frames", "1-2"},
                  2);
  const auto [want_x, want_y] =
      pixel_of(seen[1].first, seen[1].second, seen[0].first, seen[0].second, 5, 1920, 1080);
  EXPECT_GT(std::hypot(want_x - 960, want_y - 540), 50);  // it did move
  double cx, cy;
  ASSERT_TRUE(centre_near(im, want_x, want_y, cx, cy)) << want_x << "," << want_y;
  const double error = std::hypot(cx - want_x, cy - want_y);
  EXPECT_LT(error, 0.3) << cx << "," << cy;
  RecordProperty("sequence_centre_error_px", std::to_string(error));
  printf("the sky a minute on: error %.4f px\n", error);
}

TEST_F(Shot, TheShutterPlacesTheStreakAroundTheFrameTime) {
  // A pan of 10 degrees a frame; half a frame of blur. The star is straight
  // ahead at frame 2's time, and its streak's light lies where the star is
  // on average while the shutter is open.
  write_text(dir.file("pan.chan"), "1 0 0 0 0 -10 0\n2 0 0 0 0 0 0\n3 0 0 0 0 10 0\n");
  const double zoom = 1 / std::tan(15 * kDeg);
  auto mean_x = [&](double from, double to) {  // frames from frame 2's time
    double sum = 0;
    const int n = 10000;
    for (int i = 0; i < n; ++i)
      sum += 480 + std::tan(10 * (from + (to - from) * (i + 0.5) / n) * kDeg) * zoom * 270;
    return sum / n;
  };
  struct Mode {
    std::string name;
    double from, to;
  };
  for (const Mode& m :
       {Mode{"open", 0, 0.5}, Mode{"centred", -0.25, 0.25}, Mode{"close", -0.5, 0}}) {
    const std::string s = dir.file("blur.vsc"), out = dir.file("blur.exr");
    harness::write_db(h, dir.file("one.stars"), {harness::Star{90, 0, 1.0f}});
    RunResult r =
        run({"new-scene", s, "--force", "--database", dir.file("one.stars"), "--linear", "--plugin",
             plugin, "--size", "960x540", "--camera-chan", dir.file("pan.chan"), "--fov", "30",
             "--shutter", m.name, "--blur-segs", "16"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string text = read_text(s);
    const std::string off = "MotionBlur 0";
    ASSERT_NE(text.find(off), std::string::npos);
    text.replace(text.find(off), off.size(), "MotionBlur 1");
    write_text(s, text);
    r = run({"render", s, "--frames", "2", "-o", out, "--plugin", plugin, "--quiet"});
    ASSERT_EQ(r.status, 0) << r.err;
    const Image im = load(out);
    const double want = mean_x(m.from, m.to);
    double cx, cy;
    ASSERT_TRUE(centre_near(im, want, 270, cx, cy, 70)) << m.name;
    EXPECT_NEAR(cx, want, 0.2) << m.name;
    EXPECT_NEAR(cy, 270, 0.05) << m.name;
  }
  const RunResult bad = run({"new-scene", dir.file("x.vsc"), "--shutter", "middle", "--database",
                             db, "--plugin", plugin});
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find("--shutter expects open, centred or close, found 'middle'"),
            std::string::npos)
      << bad.err;
}

TEST_F(Shot, FrameListsPatternsStillPlatesAndNewFolders) {
  const std::string s = scene({"--frames", "1-30"});
  // A still plate under every frame: the left half covered.
  std::vector<float> bg(64 * 48 * 4, 0.0f);
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 32; ++x) bg[(y * 64 + x) * 4 + 3] = 1.0f;
  save(dir.file("plate.exr"), 64, 48, 4, bg, OIIO::TypeDesc::FLOAT, false);
  struct Form {
    std::string frames, output;
    std::vector<std::string> written;
  };
  const std::vector<Form> forms = {
      {"7", "out/a/still.exr", {"out/a/still.exr"}},
      {"2-4", "out/b/f.####.exr", {"out/b/f.0002.exr", "out/b/f.0003.exr", "out/b/f.0004.exr"}},
      {"1-9x4", "out/c/f.%03d.exr", {"out/c/f.001.exr", "out/c/f.005.exr", "out/c/f.009.exr"}},
      {"3,12-13,20-29x9",
       "out/d/$F4/f.exr",
       {"out/d/0003/f.exr", "out/d/0012/f.exr", "out/d/0013/f.exr", "out/d/0020/f.exr",
        "out/d/0029/f.exr"}},
      {"5,6", "out/e/f.#.exr", {"out/e/f.5.exr", "out/e/f.6.exr"}},
      {"-2--1", "out/f/f.$F.exr", {"out/f/f.-1.exr", "out/f/f.-2.exr"}},  // sorted by name
  };
  for (const Form& f : forms) {
    const RunResult r =
        run({"render", s, "--frames", f.frames, "--background", dir.file("plate.exr"), "-o",
             dir.file(f.output), "--plugin", plugin, "--jobs", "2"});
    ASSERT_EQ(r.status, 0) << f.frames << ": " << r.err;
    std::vector<std::string> found;
    const std::string top = dir.file(f.output.substr(0, 6));
    for (const auto& e : std::filesystem::recursive_directory_iterator(top))
      if (e.is_regular_file()) found.push_back(e.path().string().substr(dir.path.size() + 1));
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, f.written) << f.frames;
    // The plate is under each frame: its covered half untouched, stars in the other.
    const Image im = load(dir.file(f.written.back()));
    ASSERT_EQ(im.w, 64) << f.frames;
    double left = 0, right = 0;
    for (int y = 0; y < 48; ++y)
      for (int x = 0; x < 64; ++x) (x < 32 ? left : right) += im.at(x, y, 1);
    EXPECT_EQ(left, 0.0) << f.frames;
    EXPECT_GT(right, 0.0) << f.frames;
  }
  for (const std::string bad : {"3-1", "1-5x0", "1-5x", "x2", "1,,2", "1-2-3", "a", "1-5x2.5"}) {
    const RunResult r =
        run({"render", s, "--frames", bad, "-o", dir.file("bad.####.png"), "--plugin", plugin});
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_NE(r.err.find("--frames"), std::string::npos) << bad << ": " << r.err;
  }
  // A scene's own range with a step.
  const std::string stepped = dir.file("stepped.vsc");
  ASSERT_EQ(run({"new-scene", stepped, "--force", "--frames", "1-9x4", "--size", "64x48",
                 "--database", db, "--plugin", plugin})
                .status,
            0);
  EXPECT_NE(read_text(stepped).find("FrameRange 1 9 4"), std::string::npos);
  ASSERT_EQ(run({"render", stepped, "-o", dir.file("out/g/f.####.png"), "--plugin", plugin}).status,
            0);
  std::vector<std::string> stepped_files;
  for (const auto& e : std::filesystem::directory_iterator(dir.file("out/g")))
    stepped_files.push_back(e.path().filename().string());
  std::sort(stepped_files.begin(), stepped_files.end());
  EXPECT_EQ(stepped_files, (std::vector<std::string>{"f.0001.png", "f.0005.png", "f.0009.png"}));
  EXPECT_EQ(run({"new-scene", stepped, "--force", "--frames", "1,3", "--database", db, "--plugin",
                 plugin})
                .status,
            1);

  // A folder that cannot be made: a file stands in its place.
  write_text(dir.file("blocked"), "");
  const RunResult r =
      run({"render", s, "--frames", "1", "-o", dir.file("blocked/sub/f.png"), "--plugin", plugin});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot make the folder " + dir.file("blocked/sub")), std::string::npos)
      << r.err;
}

TEST_F(Shot, TheHorizonHoldsTheStarsBack) {
  // Stars all over the sky; a camera looking level at the northern horizon,
  // rolled 20 degrees so that the horizon crosses the frame on a slant.
  std::vector<harness::Star> stars;
  for (int i = 0; i < 3000; ++i) {
    const double z = 1 - 2 * (i + 0.5) / 3000, ra = std::fmod(i * 137.50776405, 360.0);
    stars.push_back(harness::Star{ra, std::asin(z) / kDeg, 1.0f});
  }
  const std::string stars_db = dir.file("all.stars");
  harness::write_db(h, stars_db, stars);
  for (bool horizon : {true, false}) {
    const std::string s = dir.file("h.vsc"), out = dir.file("h.exr");
    std::vector<std::string> args = {"new-scene",
                                     "--force",
                                     s,
                                     "--database",
                                     stars_db,
                                     "--linear",
                                     "--plugin",
                                     plugin,
                                     "--size",
                                     "320x180",
                                     "--site",
                                     "51.5,0",
                                     "--time",
                                     "2026-08-12T22:30:00Z",
                                     "--camera-chan",
                                     dir.file("roll.chan"),
                                     "--fov",
                                     "60"};
    write_text(dir.file("roll.chan"), "1 0 0 0 0 0 20\n");
    if (horizon) args.push_back("--horizon");
    ASSERT_EQ(run(args).status, 0);
    const RunResult r = run({"render", s, "-o", out, "--plugin", plugin, "--quiet"});
    ASSERT_EQ(r.status, 0) << r.err;
    const Image im = load(out);
    double above = 0, below = 0, alpha = 0;
    for (int y = 0; y < im.h; ++y)
      for (int x = 0; x < im.w; ++x) {
        // The ray's height: the rolled camera's right is (cos 20, sin 20, 0)
        // and its up (-sin 20, cos 20, 0); two pixels' margin either side.
        const double xs = (2.0 * x / im.w - 1) * im.w / im.h, ys = 1 - 2.0 * y / im.h;
        const double height = xs * std::sin(20 * kDeg) + ys * std::cos(20 * kDeg);
        if (height > 4.0 / im.h) above += im.at(x, y, 1);
        if (height < -4.0 / im.h) below += im.at(x, y, 1);
        alpha += im.at(x, y, 3);
      }
    EXPECT_GT(above, 0.5) << horizon;
    if (horizon)
      EXPECT_EQ(below, 0.0);
    else
      EXPECT_GT(below, 0.5);
    EXPECT_EQ(alpha, 0.0) << "the frame's own coverage comes back";
  }
}
