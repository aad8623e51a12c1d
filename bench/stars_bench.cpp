// Rasteriser and projection costs. Per-pixel and per-star figures are reported
// as "ns_per_pixel" and "ns_per_star" counters; the rasteriser's benchmarks
// run the exact reference (argument 0) into interleaved pixels, as the
// reference frame path keeps them, and the fast path into interleaved pixels
// (1) and into separate planes (2), as the fast frame path keeps them.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "libimgops/stars.h"

namespace {

struct Frame {
  Frame(int w, int h, bool planes = false)
      : w(w), h(h), planes(planes), px(static_cast<size_t>(w) * h * 4, 0.0f) {}
  StarFramebuffer fb() {
    const size_t plane = static_cast<size_t>(w) * h;
    if (planes)
      return StarFramebuffer{&px[plane], &px[2 * plane], &px[3 * plane], &px[0], w, h, w, 1};
    return StarFramebuffer{&px[1], &px[2], &px[3], &px[0], w, h, w * 4, 4};
  }
  int w, h;
  bool planes;
  std::vector<float> px;
};

// Pixels the rasteriser visits for one call, counted by drawing once into a
// frame that starts black: every visited pixel with alpha 0 gains light.
long visited(float x0, float y0, float x1, float y1, float amount, float a, float b) {
  Frame f(1920, 1080);
  op_star_streak(f.fb(), {{x0, y0}}, {{x1, y1}}, amount, {{1, 1, 1}}, a, b, AllLines);
  long n = 0;
  for (size_t i = 1; i < f.px.size(); i += 4) n += f.px[i] != 0.0f;
  return n;
}

void run_streak(benchmark::State& state, float x0, float y0, float x1, float y1) {
  // Default look at 1920 wide: StarSize 2.5 -> 1920 * 2.5 * 0.0005 = 2.4 pixels.
  const float a = 2.4f, b = 2.4f, amount = 0.5f;
  Frame f(1920, 1080, state.range(0) == 2);
  StarFramebuffer fb = f.fb();
  const auto draw = state.range(0) ? op_star_streak_fast : op_star_streak;
  for (auto _ : state) {
    bool hit = draw(fb, {{x0, y0}}, {{x1, y1}}, amount, {{1, 1, 1}}, a, b, AllLines);
    benchmark::DoNotOptimize(hit);
  }
  const double pixels = static_cast<double>(visited(x0, y0, x1, y1, amount, a, b));
  state.counters["pixels"] = pixels;
  state.counters["ns_per_pixel"] =
      benchmark::Counter(pixels * static_cast<double>(state.iterations()) / 1e9,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_StillSpot(benchmark::State& state) { run_streak(state, 960.3f, 540.6f, 960.3f, 540.6f); }
BENCHMARK(BM_StillSpot)->Arg(0)->Arg(1)->Arg(2);

void BM_LongDiagonalStreak(benchmark::State& state) {
  run_streak(state, 200.5f, 100.25f, 1700.75f, 950.5f);
}
BENCHMARK(BM_LongDiagonalStreak)->Arg(0)->Arg(1)->Arg(2);

void BM_ShortStreak(benchmark::State& state) { run_streak(state, 960.0f, 540.0f, 972.0f, 545.0f); }
BENCHMARK(BM_ShortStreak)->Arg(0)->Arg(1)->Arg(2);

void BM_WorldToScreen(benchmark::State& state) {
  const auto projection = static_cast<op_stars_projection>(state.range(0));
  Matrix4<double> m = Matrix4<double>::identity();
  if (projection == Perspective) m = m * perspective_matrix(1.7, 1.0, -1.0);
  std::vector<double> ra(4096), dec(4096);
  for (size_t i = 0; i < ra.size(); ++i) {
    ra[i] = std::fmod(i * 137.508, 360.0);
    dec[i] = std::asin(std::fmod(i * 0.618034, 2.0) - 1.0) * 57.29577951308232;
  }
  size_t i = 0;
  for (auto _ : state) {
    VectorN<float, 2> out;
    bool v =
        world_to_screen(SkyPoint{ra[i], dec[i], 0.0, 0.0}, m,
                        ScreenMapping{projection, 1920, 1080, -1.7778, 1.7778, -1.0, 1.0}, out);
    benchmark::DoNotOptimize(v);
    benchmark::DoNotOptimize(out);
    i = (i + 1) & 4095;
  }
  state.counters["ns_per_star"] =
      benchmark::Counter(static_cast<double>(state.iterations()) / 1e9,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_WorldToScreen)->Arg(Perspective)->Arg(Hemispherical)->Arg(AzimuthalEquidistant);

}  // namespace

BENCHMARK_MAIN();
