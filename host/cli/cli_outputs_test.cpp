// Outputs as a compositor receives them: every format read back, straight
// alpha, the stars layer, EXR options and attributes, colour spaces, the
// camera rebuilt from a written EXR.
#include <cmath>
#include <fstream>
#include <sstream>

#include "testsupport/cli_support.h"

namespace {

float encode(float v) {
  return v > 0.0031308f ? 1.055f * std::pow(v, 1 / 2.4f) - 0.055f : 12.92f * v;
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::string bytes_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Straight-alpha files as stored, not premultiplied by the reader.
Image load_straight(const std::string& path) {
  OIIO::ImageSpec config;
  config.attribute("oiio:UnassociatedAlpha", 1);
  Image im;
  auto in = OIIO::ImageInput::open(path, &config);
  if (!in) return im;
  im.w = in->spec().width, im.h = in->spec().height, im.n = in->spec().nchannels;
  im.px.resize(static_cast<size_t>(im.w) * im.h * im.n);
  in->read_image(0, 0, 0, im.n, OIIO::TypeDesc::FLOAT, im.px.data());
  return im;
}

OIIO::ImageSpec spec_of(const std::string& path) {
  auto in = OIIO::ImageInput::open(path);
  return in ? in->spec() : OIIO::ImageSpec();
}

// A linear plate, premultiplied: grey 0.2 (straight) under coverage that
// steps across the frame: none, a quarter, half, whole.
float plate_alpha(int x) { return x < 16 ? 0.0f : x < 32 ? 0.25f : x < 48 ? 0.5f : 1.0f; }

struct Outputs : Cli {
  std::string plate() {
    std::vector<float> bg(64 * 48 * 4);
    for (int i = 0; i < 64 * 48; ++i) {
      const float a = plate_alpha(i % 64);
      bg[i * 4 + 0] = 0.2f * a, bg[i * 4 + 1] = 0.1f * a, bg[i * 4 + 2] = 0.05f * a;
      bg[i * 4 + 3] = a;
    }
    // Frames 1 and 2 of a sequence, and frame 1 alone.
    for (const char* name : {"plate.0001.exr", "plate.0002.exr", "plate.exr"})
      save(dir.file(name), 64, 48, 4, bg, OIIO::TypeDesc::FLOAT, false);
    return dir.file("plate.exr");
  }
  // Six stars across the frame, bright enough to reach the 8-bit formats.
  void bright_stars() {
    std::vector<harness::Star> stars;
    for (int i = 0; i < 6; ++i)
      stars.push_back(harness::ahead(-14.0 + 5.6 * i, -6.0 + 2.4 * i, 40.f));
    stars[2].r = 255, stars[2].g = 120, stars[2].b = 40;  // one coloured star
    harness::write_db(h, db, stars);
  }
};

TEST_F(Outputs, EveryFormatReadsBackWithItsSizeChannelsAndPixels) {
  bright_stars();
  const std::string s = scene({"--linear"});
  const std::string bg = plate();
  const std::vector<std::string> ext = {"exr", "png", "tif", "tiff", "jpg", "dpx", "tga", "hdr"};
  std::vector<std::string> args = {"render", s, "--background", bg, "--plugin", plugin};
  for (const std::string& e : ext) args.insert(args.end(), {"-o", dir.file("f." + e)});
  const RunResult r = run(args);
  ASSERT_EQ(r.status, 0) << r.err;
  const Image exr = load(dir.file("f.exr"));
  ASSERT_EQ(exr.n, 4);
  for (const std::string& e : ext) {
    SCOPED_TRACE(e);
    const Image im = load(dir.file("f." + e));
    ASSERT_EQ(im.w, 64);
    ASSERT_EQ(im.h, 48);
    ASSERT_EQ(im.n, e == "exr" ? 4 : 3);
    // Opaque files hold the frame over black: premultiplied light, encoded
    // unless the format holds floats.
    const bool floats = e == "exr" || e == "hdr";
    const double step = e == "jpg" ? 0.06 : e == "hdr" ? 0.01 : e == "dpx" ? 1.0 / 1023 : 0.6 / 255;
    double worst = 0;
    for (int y = 0; y < 48; ++y)
      for (int x = 0; x < 64; ++x)
        for (int c = 0; c < 3; ++c) {
          const float v = exr.at(x, y, c);
          const float want = floats ? v : std::min(encode(v), 1.0f);
          const double tolerance = e == "hdr" ? step * std::max(want, 0.05f) : step;
          worst = std::max(worst, std::fabs(im.at(x, y, c) - want) / tolerance);
        }
    EXPECT_LE(worst, 1.0);
  }
  double light = 0;
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 16; ++x) light += exr.at(x, y, 0);
  EXPECT_GT(light, 0.1);  // stars drawn where the plate leaves the sky empty

  // Alpha and 16 bits where the format holds them; said once (two frames)
  // where it does not.
  const std::string two = scene({"--linear", "--frames", "1-2"});
  const RunResult k = run(
      {"render", two, "--background", dir.file("plate.####.exr"), "--keep-alpha", "--bits", "16",
       "-o", dir.file("k.####.png"), "-o", dir.file("k.####.tif"), "-o", dir.file("k.####.dpx"),
       "-o", dir.file("k.####.tga"), "-o", dir.file("k.####.jpg"), "--plugin", plugin});
  ASSERT_EQ(k.status, 0) << k.err;
  EXPECT_EQ(count(k.err, "JPEG holds no alpha"), 1u) << k.err;
  EXPECT_EQ(count(k.err, "Targa holds 8 bits a channel"), 1u) << k.err;
  EXPECT_EQ(count(k.err, " holds "), 3u) << k.err;
  for (const std::string e : {"png", "tif", "dpx"}) {
    SCOPED_TRACE(e);
    EXPECT_EQ(spec_of(dir.file("k.0001." + e)).format, OIIO::TypeDesc::UINT16);
    const Image im = load_straight(dir.file("k.0001." + e));
    ASSERT_EQ(im.n, 4);
    // Straight colour: divided by alpha in linear light, then encoded.
    for (int y = 0; y < 48; ++y)
      for (int x = 16; x < 64; ++x) {
        const float a = exr.at(x, y, 3);
        ASSERT_NEAR(im.at(x, y, 3), a, 1e-4);
        for (int c = 0; c < 3; ++c)
          ASSERT_NEAR(im.at(x, y, c), std::min(1.0f, encode(exr.at(x, y, c) / a)), 2e-4)
              << x << "," << y;
      }
  }
  EXPECT_EQ(load(dir.file("k.0002.tga")).n, 4);
  // The program takes its own TIFF back as a background.
  const RunResult back = run({"render", s, "--frames", "1", "--background", dir.file("k.0001.tif"),
                              "-o", dir.file("back.png"), "--plugin", plugin});
  EXPECT_EQ(back.status, 0) << back.err;
  EXPECT_EQ(load(dir.file("k.0002.jpg")).n, 3);
}

TEST_F(Outputs, StraightPngAndPremultipliedExrAgreeWherePartlyCovered) {
  bright_stars();
  const std::string s = scene({"--linear"});
  const RunResult r = run({"render", s, "--background", plate(), "--keep-alpha", "-o",
                           dir.file("o.exr"), "-o", dir.file("o.png"), "--plugin", plugin});
  ASSERT_EQ(r.status, 0) << r.err;
  const Image exr = load(dir.file("o.exr")), png = load_straight(dir.file("o.png"));
  ASSERT_EQ(png.n, 4);
  int compared = 0;
  for (int y = 0; y < 48; ++y)
    for (int x = 16; x < 48; ++x) {
      const float a = exr.at(x, y, 3);
      for (int c = 0; c < 3; ++c) {
        // A compositor takes the PNG's colour back to linear and multiplies by alpha.
        const float linear = host::decode_srgb(png.at(x, y, c)) * png.at(x, y, 3);
        const float want = exr.at(x, y, c);
        if (want / a > 1.0f) continue;  // beyond what 8 bits hold
        ASSERT_NEAR(encode(linear / a), encode(want / a), 1.0 / 255) << x << "," << y;
        ++compared;
      }
    }
  EXPECT_GT(compared, 32 * 48 * 2);
}

TEST_F(Outputs, TheStarsLayerCompositesUnderThePlate) {
  bright_stars();
  const std::string s = scene({"--linear"});
  const RunResult r = run({"render", s, "--background", plate(), "--stars-layer", "-o",
                           dir.file("c.exr"), "-o", dir.file("c.png"), "--plugin", plugin});
  ASSERT_EQ(r.status, 0) << r.err;
  auto in = OIIO::ImageInput::open(dir.file("c.exr"));
  ASSERT_TRUE(in);
  const OIIO::ImageSpec spec = in->spec();
  ASSERT_EQ(spec.nchannels, 8);
  EXPECT_EQ(spec.channelnames[4], "stars.R");
  EXPECT_EQ(spec.channelnames[7], "stars.A");
  std::vector<float> px(64 * 48 * 8);
  ASSERT_TRUE(in->read_image(0, 0, 0, 8, OIIO::TypeDesc::FLOAT, px.data()));
  double hidden = 0, behind_half = 0;
  for (int i = 0; i < 64 * 48; ++i) {
    const float* p = &px[i * 8];
    const float a = plate_alpha(i % 64);
    const float plate[3] = {0.2f * a, 0.1f * a, 0.05f * a};
    ASSERT_EQ(p[7], 1.0f);  // the layer is an opaque backdrop
    for (int c = 0; c < 3; ++c)
      ASSERT_NEAR(p[c], plate[c] + p[4 + c] * (1 - a), 1e-6f * (1 + p[4 + c])) << i;
    if (a == 1.0f) hidden += p[4];
    if (a == 0.5f) behind_half += p[4];
  }
  EXPECT_GT(hidden, 0.1);  // stars behind the opaque plate are in the layer
  EXPECT_GT(behind_half, 0.1);
  // Other formats: a second file, the stars as light over black.
  const Image stars = load(dir.file("c.stars.png"));
  ASSERT_EQ(stars.n, 3);
  double peak = 0;
  for (int i = 0; i < 64 * 48; ++i)
    for (int c = 0; c < 3; ++c) {
      const float want = std::min(1.0f, encode(px[i * 8 + 4 + c]));
      ASSERT_NEAR(stars.px[i * 3 + c], want, 0.6 / 255) << i;
      peak = std::max<double>(peak, want);
    }
  EXPECT_GT(peak, 0.2);

  // Alpha from the light, in a straight-alpha file: the colour survives.
  const RunResult l = run({"render", s, "--stars-layer", "--stars-alpha", "light", "--keep-alpha",
                           "-o", dir.file("l.exr"), "-o", dir.file("l.png"), "--plugin", plugin});
  ASSERT_EQ(l.status, 0) << l.err;
  const Image lexr = load(dir.file("l.exr")), lpng = load_straight(dir.file("l.stars.png"));
  ASSERT_EQ(lpng.n, 4);
  int coloured = 0;
  for (int i = 0; i < 64 * 48; ++i) {
    const float r = lpng.px[i * 4], g = lpng.px[i * 4 + 1], a = lpng.px[i * 4 + 3];
    if (a < 0.02f) continue;
    EXPECT_NEAR(host::decode_srgb(r) * a, std::min(1.0f, lexr.px[i * lexr.n + 4]), 0.02) << i;
    if (r > g + 0.1f) ++coloured;
  }
  EXPECT_GT(coloured, 0);
}

TEST_F(Outputs, ExrOptionsAndAttributesWithoutDateOrHost) {
  const std::string s = scene({"--linear", "--frames", "1-2", "--fps", "23.976"});
  const RunResult r = run({"render", s, "--half", "--compression", "dwab", "--tiled", "--jobs", "1",
                           "-o", dir.file("a.####.exr"), "--plugin", plugin});
  ASSERT_EQ(r.status, 0) << r.err;
  const OIIO::ImageSpec spec = spec_of(dir.file("a.0001.exr"));
  EXPECT_EQ(spec.format, OIIO::TypeDesc::HALF);
  EXPECT_EQ(spec.get_string_attribute("compression"), "dwab");
  EXPECT_EQ(spec.tile_width, 64);
  EXPECT_EQ(spec.find_attribute("DateTime"), nullptr);
  EXPECT_EQ(spec.find_attribute("HostComputer"), nullptr);
  const OIIO::ParamValue* fps = spec.find_attribute("framesPerSecond");
  ASSERT_TRUE(fps);
  const int* ratio = static_cast<const int*>(fps->data());
  EXPECT_EQ(ratio[0], 24000);
  EXPECT_EQ(ratio[1], 1001);
  const OIIO::ParamValue* chroma = spec.find_attribute("chromaticities");
  ASSERT_TRUE(chroma);
  EXPECT_FLOAT_EQ(static_cast<const float*>(chroma->data())[0], 0.64f);
  EXPECT_EQ(spec.get_string_attribute("vantrel:database"), db);
  EXPECT_EQ(spec.get_int_attribute("vantrel:databaseStars"), 6);
  EXPECT_NE(spec.get_string_attribute("vantrel:filter").find("StarFile"), std::string::npos);
  EXPECT_FALSE(spec.get_string_attribute("vantrel:version").empty());
  // Scanline and 32-bit by default; the same bytes from any number of workers.
  const RunResult j =
      run({"render", s, "--jobs", "2", "-o", dir.file("b.####.exr"), "--plugin", plugin});
  ASSERT_EQ(j.status, 0) << j.err;
  const RunResult one =
      run({"render", s, "--jobs", "1", "-o", dir.file("c.####.exr"), "--plugin", plugin});
  ASSERT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(spec_of(dir.file("b.0002.exr")).format, OIIO::TypeDesc::FLOAT);
  EXPECT_EQ(spec_of(dir.file("b.0002.exr")).tile_width, 0);
  for (const char* f : {"0001", "0002"})
    EXPECT_EQ(bytes_of(dir.file(std::string("b.") + f + ".exr")),
              bytes_of(dir.file(std::string("c.") + f + ".exr")));
}

}  // namespace

namespace {

using Matrix = std::array<double, 16>;  // row-major, row vectors

Matrix matrix_of(const OIIO::ImageSpec& spec, const char* name) {
  Matrix m{};
  const OIIO::ParamValue* p = spec.find_attribute(name, OIIO::TypeMatrix);
  if (p)
    for (int i = 0; i < 16; ++i) m[i] = static_cast<const float*>(p->data())[i];
  return m;
}

Matrix inverse(Matrix a) {
  Matrix r{};
  for (int i = 0; i < 4; ++i) r[i * 5] = 1;
  for (int c = 0; c < 4; ++c) {
    int pivot = c;
    for (int i = c + 1; i < 4; ++i)
      if (std::fabs(a[i * 4 + c]) > std::fabs(a[pivot * 4 + c])) pivot = i;
    for (int j = 0; j < 4; ++j)
      std::swap(a[c * 4 + j], a[pivot * 4 + j]), std::swap(r[c * 4 + j], r[pivot * 4 + j]);
    const double d = a[c * 4 + c];
    for (int j = 0; j < 4; ++j) a[c * 4 + j] /= d, r[c * 4 + j] /= d;
    for (int i = 0; i < 4; ++i) {
      if (i == c) continue;
      const double f = a[i * 4 + c];
      for (int j = 0; j < 4; ++j)
        a[i * 4 + j] -= f * a[c * 4 + j], r[i * 4 + j] -= f * r[c * 4 + j];
    }
  }
  return r;
}

std::array<double, 4> times(const std::array<double, 4>& v, const Matrix& m) {
  std::array<double, 4> r{};
  for (int j = 0; j < 4; ++j)
    for (int k = 0; k < 4; ++k) r[j] += v[k] * m[k * 4 + j];
  return r;
}

}  // namespace

TEST_F(Outputs, TheCameraRebuiltFromTheExrProjectsEachStarOntoItsPixel) {
  // A camera turned away from the axes, stars spread over its view.
  std::vector<harness::Star> stars;
  const double ra0 = 70, dec0 = 12;
  for (int i = 0; i < 5; ++i) stars.push_back({ra0 - 12 + 6.1 * i, dec0 - 7 + 3.3 * i, 0.5f});
  harness::write_db(h, db, stars);
  const std::string s = scene({"--linear"});
  const RunResult made =
      run({"new-scene", s, "--force", "--camera-ra", "70", "--camera-dec", "12", "--fov", "30",
           "--size", "64x48", "--database", db, "--linear", "--plugin", plugin});
  ASSERT_EQ(made.status, 0) << made.err;
  const RunResult r =
      run({"render", s, "--stars-layer", "-o", dir.file("cam.exr"), "--plugin", plugin});
  ASSERT_EQ(r.status, 0) << r.err;
  const OIIO::ImageSpec spec = spec_of(dir.file("cam.exr"));
  const Matrix view = matrix_of(spec, "worldToCamera"), ndc = matrix_of(spec, "worldToNDC");
  // The projection alone, as a compositor's camera holds it.
  Matrix projection{};
  const Matrix inv = inverse(view);
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j)
      for (int k = 0; k < 4; ++k) projection[i * 4 + j] += inv[i * 4 + k] * ndc[k * 4 + j];
  const Image im = load(dir.file("cam.exr"));
  ASSERT_EQ(im.n, 8);
  int checked = 0;
  for (const harness::Star& star : stars) {
    const double a = star.ra * M_PI / 180, d = star.dec * M_PI / 180;
    // A star is a direction: a point at infinity.
    const std::array<double, 4> world = {std::cos(d) * std::cos(a), std::sin(d),
                                         std::cos(d) * std::sin(a), 0.0};
    const std::array<double, 4> cam = times(world, view);
    ASSERT_GT(cam[2], 0.0);  // in front: +Z looks forward
    const std::array<double, 4> p = times(cam, projection);
    const double x = p[0] / p[3] * 64, y = p[1] / p[3] * 48;
    SCOPED_TRACE(std::to_string(x) + "," + std::to_string(y));
    ASSERT_TRUE(x > 1 && x < 63 && y > 1 && y < 47);
    // The brightest pixel of the stars layer near it is the one it falls in.
    int bx = 0, by = 0;
    float best = -1;
    for (int j = static_cast<int>(y) - 3; j <= static_cast<int>(y) + 3; ++j)
      for (int i = static_cast<int>(x) - 3; i <= static_cast<int>(x) + 3; ++i)
        if (i >= 0 && i < 64 && j >= 0 && j < 48 && im.at(i, j, 4) > best)
          best = im.at(i, j, 4), bx = i, by = j;
    EXPECT_GT(best, 0.0f);
    EXPECT_EQ(bx, static_cast<int>(std::floor(x)));
    EXPECT_EQ(by, static_cast<int>(std::floor(y)));
    ++checked;
  }
  EXPECT_EQ(checked, 5);
}

TEST_F(Outputs, ColourSpacesThroughOpenColorIO) {
  bright_stars();
  // Linear Rec.709 and ACEScg (primaries AP1, white D60, Bradford-adapted).
  const double m[9] = {0.6130974, 0.3395231, 0.0473795, 0.0701937, 0.9163539,
                       0.0134524, 0.0206156, 0.1095698, 0.8698147};
  std::ofstream(dir.file("config.ocio"))
      << "ocio_profile_version: 1\nroles:\n  default: lin_rec709\n  scene_linear: lin_rec709\n"
      << "colorspaces:\n  - !<ColorSpace>\n    name: lin_rec709\n    isdata: false\n"
      << "  - !<ColorSpace>\n    name: ACEScg\n    isdata: false\n"
      << "    from_reference: !<MatrixTransform> {matrix: [" << m[0] << ", " << m[1] << ", " << m[2]
      << ", 0, " << m[3] << ", " << m[4] << ", " << m[5] << ", 0, " << m[6] << ", " << m[7] << ", "
      << m[8] << ", 0, 0, 0, 0, 1]}\n";
  const std::string s = scene({"--linear"});
  const std::string bg = plate();
  const RunResult r = run({"render", s, "--background", bg, "--stars-layer", "-o",
                           dir.file("709.exr"), "--plugin", plugin});
  ASSERT_EQ(r.status, 0) << r.err;
  const RunResult c =
      run({"render", s, "--background", bg, "--stars-layer", "--colorspace", "ACEScg",
           "--ocio-config", dir.file("config.ocio"), "-o", dir.file("cg.exr"), "--plugin", plugin});
  ASSERT_EQ(c.status, 0) << c.err;
  const Image a = load(dir.file("709.exr")), b = load(dir.file("cg.exr"));
  ASSERT_EQ(b.n, 8);
  double moved = 0;
  for (int i = 0; i < 64 * 48; ++i)
    for (int layer : {0, 4}) {
      const float* in = &a.px[i * 8 + layer];
      const float* out = &b.px[i * 8 + layer];
      for (int k = 0; k < 3; ++k) {
        const double want = m[k * 3] * in[0] + m[k * 3 + 1] * in[1] + m[k * 3 + 2] * in[2];
        ASSERT_NEAR(out[k], want, 1e-5 * (1 + std::fabs(want))) << i;
        moved += std::fabs(out[k] - in[k]);
      }
      ASSERT_EQ(out[3], in[3]);  // alpha is no colour
    }
  EXPECT_GT(moved, 1.0);
  // The EXR names the primaries its values are in now.
  const OIIO::ImageSpec cg = spec_of(dir.file("cg.exr"));
  const OIIO::ParamValue* chroma = cg.find_attribute("chromaticities");
  ASSERT_TRUE(chroma);
  const float* xy = static_cast<const float*>(chroma->data());
  const float ap1[8] = {0.713f, 0.293f, 0.165f, 0.830f, 0.128f, 0.044f, 0.32168f, 0.33767f};
  for (int k = 0; k < 8; ++k) EXPECT_NEAR(xy[k], ap1[k], 0.002) << k << ": " << xy[k];

  // $OCIO serves as well; a space the configuration lacks is one line naming both.
  setenv("OCIO", dir.file("config.ocio").c_str(), 1);
  const RunResult e =
      run({"render", s, "--colorspace", "ACEScg", "-o", dir.file("env.exr"), "--plugin", plugin});
  unsetenv("OCIO");
  EXPECT_EQ(e.status, 0) << e.err;
  const RunResult bad =
      run({"render", s, "--colorspace", "ACES2065-1", "--ocio-config", dir.file("config.ocio"),
           "-o", dir.file("bad.exr"), "--plugin", plugin});
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find("config.ocio has no colour space 'ACES2065-1'"), std::string::npos)
      << bad.err;
}

TEST_F(Outputs, APlateWithoutAlphaIsToldOnceAndCanSayWhereItsSkyIs) {
  bright_stars();
  const std::string s = scene({"--frames", "1-2"});
  // A camera plate: no alpha, a dark sky on the left, a bright wall on the right.
  std::vector<float> rgb(64 * 48 * 3), matte(64 * 48);
  for (int i = 0; i < 64 * 48; ++i) {
    const bool wall = i % 64 >= 32;
    for (int c = 0; c < 3; ++c) rgb[i * 3 + c] = wall ? 0.8f : 0.05f;
    matte[i] = wall ? 1.0f : 0.0f;
  }
  for (const char* f : {"1", "2"})
    save(dir.file(std::string("cam.000") + f + ".png"), 64, 48, 3, rgb, OIIO::TypeDesc::UINT8,
         false);
  save(dir.file("matte.png"), 64, 48, 1, matte, OIIO::TypeDesc::UINT8, false);
  const Image plate = load(dir.file("cam.0002.png"));  // as 8 bits hold it
  // The light each half gained over the plate, in linear terms.
  auto gains = [&](const std::vector<std::string>& extra, std::string& err) {
    std::vector<std::string> args = {"render",   s,     "--background", dir.file("cam.####.png"),
                                     "--jobs",   "2",   "-o",           dir.file("o.####.png"),
                                     "--plugin", plugin};
    args.insert(args.end(), extra.begin(), extra.end());
    const RunResult r = run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    err = r.err;
    const Image out = load(dir.file("o.0002.png"));
    std::array<double, 2> g{};
    if (out.n != 3) return g;
    for (int i = 0; i < 64 * 48; ++i)
      g[i % 64 >= 32] += host::decode_srgb(out.px[i * 3]) - host::decode_srgb(plate.px[i * 3]);
    return g;
  };
  std::string err;
  std::array<double, 2> g = gains({}, err);
  EXPECT_EQ(count(err, "has no alpha"), 1u) << err;
  EXPECT_NE(err.find("--background-alpha luminance or none"), std::string::npos) << err;
  EXPECT_NEAR(g[0], 0.0, 1e-3);  // opaque everywhere: no star
  EXPECT_NEAR(g[1], 0.0, 1e-3);
  g = gains({"--background-alpha", "opaque"}, err);
  EXPECT_EQ(err.find("warning"), std::string::npos) << err;
  EXPECT_NEAR(g[0] + g[1], 0.0, 1e-3);
  // None: stars everywhere, added to the plate.
  const std::array<double, 2> none = gains({"--background-alpha", "none"}, err);
  EXPECT_GT(none[0], 0.05);
  EXPECT_GT(none[1], 0.05);
  // Luminance: the dark sky lets the stars through, the bright wall less.
  g = gains({"--background-alpha", "luminance"}, err);
  EXPECT_GT(g[0], none[0] * 0.95);
  EXPECT_LT(g[1], none[1] * 0.8);
  EXPECT_GT(g[1], 0.0);
  // A matte: where it is 0 the stars show, where it is 1 they do not.
  std::array<double, 2> m = gains({"--background-matte", dir.file("matte.png")}, err);
  EXPECT_EQ(err.find("warning"), std::string::npos) << err;
  EXPECT_NEAR(m[0], none[0], 0.02);
  EXPECT_NEAR(m[1], 0.0, 1e-3);
}

TEST_F(Outputs, AnOpaquePngOfAnSrgbRenderIsTheFrameOverBlackInLinearLight) {
  // A PNG plate of thin cloud: grey 120/255, half covering, everywhere.
  std::vector<float> cloud(64 * 48 * 4);
  for (size_t i = 0; i < cloud.size(); i += 4)
    cloud[i] = cloud[i + 1] = cloud[i + 2] = 120 / 255.0f, cloud[i + 3] = 0.5f;
  save(dir.file("cloud.png"), 64, 48, 4, cloud, OIIO::TypeDesc::UINT8, true);
  const std::string s = scene();
  const RunResult r = run({"render", s, "--background", dir.file("cloud.png"), "-o",
                           dir.file("o.png"), "-o", dir.file("o.exr"), "--plugin", plugin});
  ASSERT_EQ(r.status, 0) << r.err;
  const Image png = load(dir.file("o.png")), exr = load(dir.file("o.exr"));
  ASSERT_EQ(png.n, 3);
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x)
      for (int c = 0; c < 3; ++c)
        ASSERT_NEAR(png.at(x, y, c), std::min(1.0f, encode(exr.at(x, y, c))), 0.6 / 255)
            << x << "," << y;
  // Where no star reached: the cloud's light halved, encoded (87/255), not its code halved (60).
  EXPECT_NEAR(png.at(0, 0, 0) * 255, 87, 1);
}
