// The demo scene with the shipped database, rendered by vantrel-host: the
// bright stars of Orion land where a gnomonic projection of their catalogue
// coordinates through the scene's camera puts them. Everything expected here
// is computed from right ascension and declination, not from the plug-in.
#include <gtest/gtest.h>

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "testsupport/test_support.h"

namespace {

const double kPi = 3.14159265358979323846;

struct Named {
  const char* name;
  const char* ra;   // hhmmss.ss as in the catalogue
  const char* dec;  // +ddmmss.s
  bool red;         // B-V above 1: redder than blue
};

double ra_deg(const std::string& s) {
  return 15.0 * (std::stod(s.substr(0, 2)) + std::stod(s.substr(2, 2)) / 60 +
                 std::stod(s.substr(4)) / 3600);
}
double dec_deg(const std::string& s) {
  const double v =
      std::stod(s.substr(1, 2)) + std::stod(s.substr(3, 2)) / 60 + std::stod(s.substr(5)) / 3600;
  return s[0] == '-' ? -v : v;
}

using V = std::array<double, 3>;
V dir(double ra, double dec) {
  const double a = ra * kPi / 180, d = dec * kPi / 180;
  return {std::cos(d) * std::cos(a), std::sin(d), std::cos(d) * std::sin(a)};
}
double dot(const V& a, const V& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
V cross(const V& a, const V& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

}  // namespace

TEST(RealSky, OrionWhereTheCatalogueSays) {
  testing_support::TempDir dir_;
  const std::string plugin = dir_.file("vantrel64.so");
  ASSERT_EQ(std::system(("cp '" VANTREL_PLUGIN_PATH "' '" + plugin + "'").c_str()), 0);
  const std::string out = dir_.file("orion.exr");
  const std::string cmd = std::string("'" VANTREL_HOST_PATH "' render '" VANTREL_SOURCE_DIR
                                      "/data/orion.vsc' -q -o '") +
                          out + "' --plugin '" + plugin + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;

  auto in = OIIO::ImageInput::open(out);
  ASSERT_TRUE(in);
  const int W = in->spec().width, H = in->spec().height, n = in->spec().nchannels;
  ASSERT_EQ(W, 1920);
  ASSERT_EQ(H, 1080);
  std::vector<float> px(static_cast<size_t>(W) * H * n);
  ASSERT_TRUE(in->read_image(0, 0, 0, n, OIIO::TypeDesc::FLOAT, px.data()));
  auto at = [&](int x, int y, int c) { return px[(static_cast<size_t>(y) * W + x) * n + c]; };

  // The scene: camera at right ascension 83.5, declination 0, 40 degrees tall.
  const V forward = dir(83.5, 0.0);
  const V right = cross(V{0, 1, 0}, forward);  // world axes are left-handed, +Y up
  const V up = cross(forward, right);
  const double tan_v = std::tan(20.0 * kPi / 180), tan_h = tan_v * W / H;

  const Named orion[] = {
      {"Betelgeuse", "055510.31", "+072425.4", true}, {"Rigel", "051432.27", "-081205.9", false},
      {"Bellatrix", "052507.86", "+062058.9", false}, {"Alnilam", "053612.81", "-011206.9", false},
      {"Alnitak", "054045.52", "-015633.3", false},   {"Mintaka", "053200.40", "-001756.7", false}};
  for (const Named& s : orion) {
    const V p = dir(ra_deg(s.ra), dec_deg(s.dec));
    const double x = W / 2.0 * (1 + dot(p, right) / dot(p, forward) / tan_h);
    const double y = H / 2.0 * (1 - dot(p, up) / dot(p, forward) / tan_v);
    // The brightest pixel within 6 pixels (the nearest bright neighbours are 50 away).
    int bx = -1, by = -1;
    float best = -1;
    for (int yy = static_cast<int>(y) - 6; yy <= static_cast<int>(y) + 6; ++yy)
      for (int xx = static_cast<int>(x) - 6; xx <= static_cast<int>(x) + 6; ++xx) {
        const float v = at(xx, yy, 0) + at(xx, yy, 1) + at(xx, yy, 2);
        if (v > best) best = v, bx = xx, by = yy;
      }
    EXPECT_LE(std::fabs(bx - x), 1.0) << s.name << " expected x " << x;
    EXPECT_LE(std::fabs(by - y), 1.0) << s.name << " expected y " << y;
    EXPECT_GT(best, 0.3f) << s.name;
    // Colour: Betelgeuse orange (red above blue), the blue giants the other way.
    if (s.red)
      EXPECT_GT(at(bx, by, 0), 1.5f * at(bx, by, 2)) << s.name;
    else
      EXPECT_GT(at(bx, by, 2), at(bx, by, 0)) << s.name;
  }
}

namespace {

std::vector<float> render_orion(const testing_support::TempDir& dir, const std::string& db,
                                const std::string& name) {
  std::string scene = testing_support::read_bytes(VANTREL_SOURCE_DIR "/data/orion.vsc");
  const size_t at = scene.find("StarFile \"hipparcos3D.stars\"");
  if (at == std::string::npos) return {};
  scene.replace(at, 28, "StarFile \"" + db + "\"");
  scene.replace(scene.find("FrameSize 1920 1080"), 19, "FrameSize 480 270");
  testing_support::write_bytes(dir.file(name + ".vsc"), scene);
  const std::string out = dir.file(name + ".exr");
  const std::string cmd = std::string("'" VANTREL_HOST_PATH "' render '") +
                          dir.file(name + ".vsc") + "' -q -o '" + out + "' --plugin '" +
                          dir.file("vantrel64.so") + "'";
  if (std::system(cmd.c_str()) != 0) return {};
  auto in = OIIO::ImageInput::open(out);
  if (!in) return {};
  std::vector<float> px(static_cast<size_t>(in->spec().width) * in->spec().height *
                        in->spec().nchannels);
  in->read_image(0, 0, 0, in->spec().nchannels, OIIO::TypeDesc::FLOAT, px.data());
  return px;
}

}  // namespace

// The shipped database ordered on the sky by vantrel-stars index: the plug-in
// reads it, header and all, as it reads the original, and draws the same sky
// (only the order of the additions differs, by rounding).
TEST(RealSky, AnOrderedDatabaseDrawsTheSameSky) {
  testing_support::TempDir dir;
  ASSERT_EQ(
      std::system(("cp '" VANTREL_PLUGIN_PATH "' '" + dir.file("vantrel64.so") + "'").c_str()), 0);
  const std::string ordered = dir.file("ordered.stars");
  const std::string cmd = std::string("'" VANTREL_STARS_PATH "' index '" VANTREL_SOURCE_DIR
                                      "/data/hipparcos3D.stars' -o '") +
                          ordered + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  ASSERT_NE(testing_support::read_bytes(ordered),
            testing_support::read_bytes(VANTREL_SOURCE_DIR "/data/hipparcos3D.stars"));
  const std::vector<float> a =
      render_orion(dir, VANTREL_SOURCE_DIR "/data/hipparcos3D.stars", "shipped");
  const std::vector<float> b = render_orion(dir, ordered, "ordered");
  ASSERT_FALSE(a.empty());
  ASSERT_EQ(a.size(), b.size());
  size_t lit = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    lit += a[i] > 0;
    ASSERT_NEAR(a[i], b[i], 1e-5f * std::max(1.0f, a[i])) << "sample " << i;
    ASSERT_EQ(a[i] > 0, b[i] > 0) << "sample " << i;
  }
  EXPECT_GT(lit, a.size() / 10);
}
