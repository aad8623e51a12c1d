// Whole frames through the plug-in's core: the fast path (vector rasteriser,
// lazily filled planes, curves over runs) against the reference (exact
// rasteriser, the whole rectangle copied through the exact curves), on hosts
// with and without the row service.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "LW/frame.h"
#include "testsupport/test_harness.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) && !defined(__SANITIZE_ADDRESS__)
#define __SANITIZE_ADDRESS__ 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace {

using harness::Star;

struct Sky {
  harness::StaticPlugin p;
  host::Item* cam;
  VHInstance instance = nullptr;
  std::string db;

  explicit Sky(int width = 160, int height = 90) {
    host::Scene& scene = p.host.scene;
    scene.render.width = width, scene.render.height = height, scene.render.fps = 24.0;
    cam = &scene.add(host::ItemKind::Camera, "Camera");
    cam->camera.zoom = host::Channel(1.5);
    p.host.global(VH_SCENE_INFO);  // the plug-in's record sees the camera
    // Stars of every brightness, some near: with ThreeD and a camera moving
    // through them they cross its plane within an exposure.
    std::mt19937 rng(77);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<Star> stars;
    for (int i = 0; i < 3000; ++i) {
      Star s{60.0 + 60.0 * u(rng), -25.0 + 50.0 * u(rng),
             static_cast<float>(std::pow(10, -3.5 * u(rng)))};
      s.r = static_cast<unsigned char>(255 * u(rng));
      s.distance = i % 10 ? 1000.0 : 0.5 + 3.0 * u(rng);
      stars.push_back(s);
    }
    db = p.dir.file("sky.stars");
    harness::write_db(p.host, db, stars);
    instance = vantrel_create(nullptr, nullptr, nullptr);
  }
  ~Sky() { vantrel_destroy(instance); }
  vantrel& settings() { return *static_cast<vantrel*>(instance); }

  // A frame over a background of varied values and coverage.
  host::FrameImage render(bool reference, bool rows, int frame) {
    vantrel_module.render_reference = reference;
    vantrel_module.host.rows =
        rows ? static_cast<const VHFilterRows*>(p.host.global(VH_FILTER_ROWS)) : nullptr;
    host::FrameImage image(160, 90);
    for (size_t i = 0; i < image.red.size(); ++i) {
      image.red[i] = static_cast<float>(i % 7) * 0.11f;
      image.green[i] = static_cast<float>(i % 13) * 0.021f;
      image.alpha[i] = i % 3 ? 1.0f : 0.0f;
    }
    double start, end;
    host::frame_times(p.host, frame, start, end);
    const host::Progress progress;  // the access record keeps a reference to it
    host::FrameAccess access(image, frame, start, end, progress);
    vantrel_process(instance, access.access());
    vantrel_module.render_reference = false;
    return image;
  }
};

// Relative 1e-5 per value, or 1e-7 absolute near zero.
void expect_close(const host::FrameImage& fast, const host::FrameImage& ref, const char* what) {
  int lit = 0;
  for (size_t i = 0; i < ref.red.size(); ++i) {
    ASSERT_EQ(fast.alpha[i], ref.alpha[i]) << what << " pixel " << i;
    const float f[3] = {fast.red[i], fast.green[i], fast.blue[i]};
    const float r[3] = {ref.red[i], ref.green[i], ref.blue[i]};
    for (int c = 0; c < 3; ++c)
      ASSERT_LE(std::fabs(f[c] - r[c]), std::fmax(1e-5 * std::fabs(r[c]), 1e-7))
          << what << " pixel " << i << " channel " << c;
    if (ref.blue[i] != 0.0f) ++lit;
  }
  EXPECT_GT(lit, 500) << what;  // the frame has stars to compare
}

}  // namespace

TEST(FramePixels, FastFramesMatchTheReference) {
  Sky sky;
  sky.settings().StarFile = sky.db.c_str();
  sky.settings().StarSize = 4;
  for (int srgb : {1, 0}) {
    sky.settings().sRGBFrameBuffer = srgb;
    const host::FrameImage ref = sky.render(true, false, 3);
    expect_close(sky.render(false, true, 3), ref, srgb ? "still, sRGB, rows" : "still, rows");
    expect_close(sky.render(false, false, 3), ref, srgb ? "still, sRGB, pixels" : "still, pixels");
  }
  // Motion blur: a pan, and a camera moving through the near stars.
  sky.cam->motion.rotation[0].set(0.0, -10.0);
  sky.cam->motion.rotation[0].set(1.0, 10.0);
  sky.cam->motion.position[2].set(0.0, 0.0);
  sky.cam->motion.position[2].set(1.0, 16.0);
  sky.cam->camera.motion_blur = true;
  sky.p.host.global(VH_SCENE_INFO);
  sky.settings().BlurSegs = 8;
  sky.settings().ThreeD = 1;
  sky.settings().sRGBFrameBuffer = 1;
  const host::FrameImage ref = sky.render(true, false, 5);
  expect_close(sky.render(false, true, 5), ref, "motion blur, rows");
  expect_close(sky.render(false, false, 5), ref, "motion blur, pixels");
}

namespace {

// A host of the test's own making, whose every row of every buffer is an
// allocation of its own: the frame's width and a guard after it, which the
// address sanitizer is told to refuse, so that a read past a row's end fails
// there and a write past it fails in every build. Its output rows are its
// input rows (in place), rows of their own (apart, starting at -1 so that a
// pixel never written shows), or are written pixel by pixel through set_rgb
// and set_alpha. A buffer it does not have reads as null.
class RowHost {
public:
  enum Kind { InPlace, Apart, PixelByPixel };
  static constexpr int kGuard = 16;
  static constexpr float kGuardValue = -7.0f;
  // Buffers by VH_BUF_RED - 32 .. VH_BUF_ALPHA - 32: red, green, blue, alpha.
  RowHost(int w, int h, Kind kind, const bool missing[4]) : w(w), h(h), kind(kind) {
    for (int b = 0; b < 4; ++b) {
      has[b] = !missing[b];
      for (int y = 0; y < h; ++y) {
        in[b].push_back(has[b] ? row(0.0f) : nullptr);
        out[b].push_back(kind == InPlace ? nullptr : row(kind == Apart ? -1.0f : 0.0f));
      }
    }
    record.width = w, record.height = h;
    record.frame = 3;
    record.host_data = this;
    record.get_line = [](const VHFilterAccess* a, int buffer, int y) -> const float* {
      RowHost& self = *static_cast<RowHost*>(a->host_data);
      return self.has[buffer - VH_BUF_RED] ? self.in[buffer - VH_BUF_RED][y] : nullptr;
    };
    record.set_rgb = [](const VHFilterAccess* a, int x, int y, const float rgb[3]) {
      RowHost& self = *static_cast<RowHost*>(a->host_data);
      if (!self.inside(x, y)) return;
      for (int c = 0; c < 3; ++c)
        if (float* o = self.output(c, y)) o[x] = rgb[c];
    };
    record.set_alpha = [](const VHFilterAccess* a, int x, int y, float alpha) {
      RowHost& self = *static_cast<RowHost*>(a->host_data);
      if (!self.inside(x, y)) return;
      if (float* o = self.output(3, y)) o[x] = alpha;
    };
    rows.host = this;
    rows.output_line = [](const VHFilterRows* r, const VHFilterAccess*, int buffer,
                          int y) -> float* {
      RowHost& self = *static_cast<RowHost*>(r->host);
      const int b = buffer - VH_BUF_RED;
      if (self.kind == InPlace) return self.has[b] ? self.in[b][y] : nullptr;
      return self.out[b][y];
    };
  }
  RowHost(const RowHost&) = delete;
  RowHost& operator=(const RowHost&) = delete;
  ~RowHost() {
    for (float* r : owned) {
      guard(r, false);
      delete[] r;
    }
  }

  // Fills the input: value(buffer, x, y) for the buffers the host has, and
  // the same in the output of a pixel-by-pixel host, which starts as a copy.
  template <class Value>
  void fill(Value value) {
    for (int b = 0; b < 4; ++b)
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          if (has[b]) in[b][y][x] = value(b, x, y);
          if (kind == PixelByPixel) out[b][y][x] = has[b] ? in[b][y][x] : 0.0f;
        }
  }
  const VHFilterAccess* access() const { return &record; }
  // The row service, or null for a host that writes pixel by pixel.
  const VHFilterRows* row_service() const { return kind == PixelByPixel ? nullptr : &rows; }
  // The output after the filter.
  float result(int b, int x, int y) const { return kind == InPlace ? in[b][y][x] : out[b][y][x]; }
  // Calls outside the frame, and guard values overwritten.
  int strays() const {
    int n = stray;
    for (float* r : owned) {
      guard(r, false);
      for (int i = w; i < w + kGuard; ++i) n += r[i] != kGuardValue;
      guard(r, true);
    }
    return n;
  }

  const int w, h;

private:
  float* row(float value) {
    float* r = new float[w + kGuard];
    std::fill(r, r + w, value);
    std::fill(r + w, r + w + kGuard, kGuardValue);
    guard(r, true);
    owned.push_back(r);
    return r;
  }
  void guard(float* r, bool on) const {
#if defined(__SANITIZE_ADDRESS__)
    (on ? __asan_poison_memory_region : __asan_unpoison_memory_region)(r + w,
                                                                       kGuard * sizeof(float));
#else
    (void)r, (void)on;
#endif
  }
  bool inside(int x, int y) {
    const bool ok = x >= 0 && y >= 0 && x < w && y < h;
    if (!ok) ++stray;
    return ok;
  }
  float* output(int b, int y) { return kind == InPlace ? in[b][y] : out[b][y]; }

  const Kind kind;
  bool has[4];
  std::vector<float*> in[4], out[4], owned;
  int stray = 0;
  VHFilterAccess record{};
  VHFilterRows rows{};
};

// A frame 61 x 23 (its rows end in a chunk of 5), whose stars include one on
// the last pixel, over colours and coverage of every kind: none, partial,
// whole, and more than whole.
struct OddFrame {
  static constexpr int W = 61, H = 23;
  Sky sky{W, H};
  std::string db;

  OddFrame() {
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<Star> stars;
    for (int i = 0; i < 16; ++i)
      stars.push_back(Star{30.0 + 120.0 * u(rng), -25.0 + 50.0 * u(rng),
                           static_cast<float>(0.3 * std::pow(10, -2.0 * u(rng)))});
    // The centre of pixel (W - 1, H - 1): screen x = 2 (W - 1) / W - 1 of
    // the aspect, y = 1 - 2 (H - 1) / H, under a zoom of 1.5; the camera
    // looks along +Z (right ascension 90).
    const double xs = (2.0 * (W - 1) / W - 1) * W / H, ys = 1 - 2.0 * (H - 1) / H;
    const double right = std::atan(xs / 1.5);
    const double up = std::atan(ys * std::cos(right) / 1.5);
    stars.push_back(harness::ahead(right * 180 / harness::kPi, up * 180 / harness::kPi, 0.5f));
    db = sky.p.dir.file("odd.stars");
    harness::write_db(sky.p.host, db, stars);
    sky.settings().StarFile = db.c_str();
    sky.settings().StarSize = 40;  // 1.2 pixels
  }

  static float background(int b, int x, int y) {
    const int i = y * W + x;
    if (b == 3) {
      const float coverage[] = {0.0f, 0.25f, 0.5f, 0.0f, 0.8f, 1.0f, 0.1f, 1.25f};
      return coverage[i % 8 == 7 && i % 3 ? 6 : i % 8];
    }
    return static_cast<float>((i * (b + 3)) % 11) * 0.07f;
  }

  // Runs the pass on a host and returns it; the fast path unless reference.
  std::unique_ptr<RowHost> render(RowHost::Kind kind, bool reference,
                                  std::vector<bool> missing = {false, false, false, false}) {
    const bool gone[4] = {missing[0], missing[1], missing[2], missing[3]};
    auto host = std::make_unique<RowHost>(W, H, kind, gone);
    host->fill(background);
    vantrel_module.render_reference = reference;
    vantrel_module.host.rows = host->row_service();
    vantrel_process(sky.instance, host->access());
    vantrel_module.render_reference = false;
    vantrel_module.host.rows = nullptr;
    EXPECT_EQ(host->strays(), 0) << "a call or a write outside the frame";
    return host;
  }
};

bool same_bits(float a, float b) { return memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

// Every kind of host gets the very same four channels, bit for bit, from
// the fast path drawn and handed back in one band or in three, a thread
// each, on a frame whose rows end in a partial chunk and whose last pixel
// is lit; they agree with the reference; and every value no star changed is
// the host's own. Under the address sanitizer no read goes past a row either.
TEST(FramePixels, OddFramesAlikeOnEveryHostKind) {
  OddFrame f;
  const int W = OddFrame::W, H = OddFrame::H;
  for (int srgb : {1, 0}) {
    f.sky.settings().sRGBFrameBuffer = srgb;
    const auto ref = f.render(RowHost::InPlace, true);
    vantrel_module.bands = 1;
    const auto fast = f.render(RowHost::InPlace, false);
    for (int b = 0; b < 3; ++b)
      EXPECT_NE(ref->result(b, W - 1, H - 1), OddFrame::background(b, W - 1, H - 1))
          << "the last pixel is lit, channel " << b;
    int lit = 0, partial = 0, dark = 0;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        const float coverage = OddFrame::background(3, x, y);
        for (int b = 0; b < 4; ++b) {
          const float r = ref->result(b, x, y), v = fast->result(b, x, y);
          const float in = OddFrame::background(b, x, y);
          if (b == 3) {
            ASSERT_TRUE(same_bits(v, in)) << "srgb " << srgb << " alpha at " << x << "," << y;
            continue;
          }
          ASSERT_LE(std::fabs(v - r), std::fmax(1e-5 * std::fabs(r), 1e-7))
              << "srgb " << srgb << " at " << x << "," << y << " channel " << b;
          lit += b == 0 && r != in;
          partial += b == 0 && r != in && coverage > 0.0f && coverage < 1.0f;
          dark += b == 0 && same_bits(v, in);
        }
      }
    EXPECT_GT(lit, 300) << srgb;
    EXPECT_GT(partial, 200) << srgb;  // light held back in part
    EXPECT_GT(dark, 400) << srgb;     // chunks no star reached, and covered pixels
    vantrel_module.bands = 3;
    for (RowHost::Kind kind : {RowHost::InPlace, RowHost::Apart, RowHost::PixelByPixel}) {
      const auto other = f.render(kind, false);
      for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
          for (int b = 0; b < 4; ++b)
            ASSERT_TRUE(same_bits(other->result(b, x, y), fast->result(b, x, y)))
                << "host kind " << kind << ", srgb " << srgb << " at " << x << "," << y
                << " channel " << b << ": " << other->result(b, x, y) << " against "
                << fast->result(b, x, y);
    }
  }
}

// A buffer the host does not have reads as zero: a frame without alpha has
// no coverage, one without a colour has black there; whatever the host kind,
// the output is that of a host whose buffer holds zeros, every pixel of it
// written.
TEST(FramePixels, MissingBuffersAreZeros) {
  OddFrame f;
  const int W = OddFrame::W, H = OddFrame::H;
  f.sky.settings().sRGBFrameBuffer = 1;
  const std::vector<std::vector<bool>> cases = {
      {false, false, false, true}, {true, false, false, false}, {false, true, true, true}};
  for (const std::vector<bool>& missing : cases) {
    // The frame with those buffers present and zero, in place.
    const bool none[4] = {};
    auto zeros = std::make_unique<RowHost>(W, H, RowHost::InPlace, none);
    zeros->fill(
        [&](int b, int x, int y) { return missing[b] ? 0.0f : OddFrame::background(b, x, y); });
    vantrel_module.host.rows = zeros->row_service();
    vantrel_process(f.sky.instance, zeros->access());
    vantrel_module.host.rows = nullptr;
    for (RowHost::Kind kind : {RowHost::InPlace, RowHost::Apart, RowHost::PixelByPixel}) {
      const auto host = f.render(kind, false, missing);
      int lit = 0;
      for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
          for (int b = 0; b < 4; ++b) {
            if (kind == RowHost::InPlace && missing[b]) continue;  // no output there
            ASSERT_TRUE(same_bits(host->result(b, x, y), zeros->result(b, x, y)))
                << "missing " << missing[0] << missing[1] << missing[2] << missing[3]
                << ", host kind " << kind << " at " << x << "," << y << " channel " << b << ": "
                << host->result(b, x, y) << " against " << zeros->result(b, x, y);
            const float in = missing[b] ? 0.0f : OddFrame::background(b, x, y);
            lit += b < 3 && host->result(b, x, y) != in;
          }
      EXPECT_GT(lit, 500) << kind;
    }
  }
}
