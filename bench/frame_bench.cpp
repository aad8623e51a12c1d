// One whole frame through the built plug-in and the host's render driver:
// about 100,000 stars with a realistic brightness spread (magnitudes -1.5 to
// 9.5, counts growing about 3.5 times per magnitude), default settings.
// The split benchmarks time the pass's parts on their own: copying the
// frame's rectangle in and out, and the star loop.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "LW/test_harness.h"
#include "LW/vantrel.h"
#include "libkeshimage/image.h"

namespace {

std::vector<harness::Star> sky(int count) {
  std::mt19937 rng(1994);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<harness::Star> stars;
  for (int i = 0; i < count; ++i) {
    // Uniform on the sphere; magnitude from a distribution rising towards faint stars.
    const double ra = 360.0 * u(rng), dec = std::asin(2.0 * u(rng) - 1.0) * 180 / harness::kPi;
    const double mag = 9.5 - std::log(1.0 + u(rng) * (std::pow(3.5, 11.0) - 1.0)) / std::log(3.5);
    harness::Star s{ra, dec, static_cast<float>(std::pow(10.0, -0.4 * mag))};
    s.r = static_cast<unsigned char>(200 + 55 * u(rng));
    s.b = static_cast<unsigned char>(200 + 55 * u(rng));
    stars.push_back(s);
  }
  return stars;
}

struct World {
  World(int w, int h) : hn(w, h) {
    hn.cam->camera.zoom =
        host::Channel(1.0 / std::tan(0.5 * 40 * harness::kPi / 180));  // 40 degrees tall
    path = hn.db(sky(100000), "VANTREL2", "bench.stars");
  }
  harness::Harness hn;
  std::string path;
};

void BM_Frame(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  World world(w, h);
  harness::Harness& hn = world.hn;
  auto f = hn.instance(world.path);
  harness::Harness::settings(*f).sRGBFrameBuffer = 1;
  const int segs = static_cast<int>(state.range(2));
  if (segs > 1) {
    hn.cam->camera.motion_blur = true;
    hn.cam->camera.blur_length = host::Channel(1.0);
    hn.cam->motion.rotation[0].set(0.0, 0.0);
    hn.cam->motion.rotation[0].set(1.0, 24 * 2.0);  // 2 degrees per frame
  }
  harness::Harness::settings(*f).BlurSegs = segs;
  host::FrameImage image(w, h);
  host::run_filters(hn.host, {f.get()}, image, 0);  // loads the database once
  for (auto _ : state) host::run_filters(hn.host, {f.get()}, image, 0);
  state.counters["ms_per_frame"] =
      benchmark::Counter(static_cast<double>(state.iterations()) / 1e3,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Frame)
    ->Args({1920, 1080, 1})
    ->Args({1920, 1080, 8})
    ->Args({3840, 2160, 1})
    ->Unit(benchmark::kMillisecond);

// The copy-in and copy-out of the pass, alone: a frame with Brightness 0
// draws nothing but still copies its rectangle out and back through the sRGB curves.
void BM_FrameCopyOnly(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  harness::Harness hn(w, h);
  auto f = hn.instance(hn.db({harness::ahead(0, 0)}));
  harness::Harness::settings(*f).sRGBFrameBuffer = 1;
  harness::Harness::settings(*f).Brightness = 0;
  host::FrameImage image(w, h);
  for (auto _ : state) host::run_filters(hn.host, {f.get()}, image, 0);
  state.counters["ms_per_frame"] =
      benchmark::Counter(static_cast<double>(state.iterations()) / 1e3,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_FrameCopyOnly)->Args({1920, 1080})->Args({3840, 2160})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
