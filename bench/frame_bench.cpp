// One whole frame through the built plug-in and the host's render driver:
// 100,000 stars with magnitudes from -1.5 to 9.5, default settings.
// The yardstick is a memcpy of one HD frame's four float planes, measured in
// the same run; after the benchmarks the program prints each frame's cost as
// a ratio, from the fastest repetition of each (run with
// --benchmark_repetitions=N on a busy machine).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "LW/instance.h"
#include "libkeshimage/image.h"
#include "testsupport/test_harness.h"

namespace {

// Uniform on the sphere. The real sky: counts rising towards faint stars,
// as in the shipped database (about 3 times per magnitude down to 9), so
// that a fifth of the stars pass the default threshold. The dense sky turns
// that around: nearly every star is brighter than magnitude 2 and drawn at
// LumMax, and their spots cover most of an HD frame.
std::vector<harness::Star> sky(int count, bool dense) {
  std::mt19937 rng(1994);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<harness::Star> stars;
  for (int i = 0; i < count; ++i) {
    const double ra = 360.0 * u(rng), dec = std::asin(2.0 * u(rng) - 1.0) * 180 / harness::kPi;
    const double rise = std::log(1.0 + u(rng) * (std::pow(3.5, 11.0) - 1.0)) / std::log(3.5);
    const double mag = dense ? 9.5 - rise : -1.5 + rise;
    harness::Star s{ra, dec, static_cast<float>(std::pow(10.0, -0.4 * mag))};
    s.r = static_cast<unsigned char>(200 + 55 * u(rng));
    s.b = static_cast<unsigned char>(200 + 55 * u(rng));
    stars.push_back(s);
  }
  return stars;
}

struct World {
  World(int w, int h, bool dense) : hn(w, h) {
    hn.cam->camera.zoom =
        host::Channel(1.0 / std::tan(0.5 * 40 * harness::kPi / 180));  // 40 degrees tall
    path = hn.db(sky(100000, dense), "VANTREL2", "bench.stars");
  }
  harness::Harness hn;
  std::string path;
};

void set_ms_per_frame(benchmark::State& state) {
  state.counters["ms_per_frame"] =
      benchmark::Counter(static_cast<double>(state.iterations()) / 1e3,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The yardstick: one HD frame's four float planes copied once.
void BM_Memcpy(benchmark::State& state) {
  const size_t n = 1920 * 1080;
  std::vector<float> from[4], to[4];
  for (int p = 0; p < 4; ++p) {
    from[p].assign(n, 0.25f * p);
    to[p].assign(n, 0.0f);
  }
  for (auto _ : state) {
    for (int p = 0; p < 4; ++p) std::memcpy(to[p].data(), from[p].data(), n * sizeof(float));
    benchmark::ClobberMemory();
  }
  set_ms_per_frame(state);
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);

void BM_Frame(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  World world(w, h, state.range(3) != 0);
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
  for (auto _ : state) {
    // Every frame starts from the rendered frame (an empty sky), not from
    // the last frame's stars.
    state.PauseTiming();
    for (std::vector<float>* plane : {&image.red, &image.green, &image.blue, &image.alpha})
      std::fill(plane->begin(), plane->end(), 0.0f);
    state.ResumeTiming();
    host::run_filters(hn.host, {f.get()}, image, 0);
  }
  set_ms_per_frame(state);
}
// Width, height, BlurSegs, dense sky.
BENCHMARK(BM_Frame)
    ->Args({1920, 1080, 1, 0})
    ->Args({1920, 1080, 8, 0})
    ->Args({3840, 2160, 1, 0})
    ->Args({1920, 1080, 1, 1})
    ->Unit(benchmark::kMillisecond);

// The copy-in and copy-out of the pass, alone: a frame with Brightness 0
// draws nothing but still hands its rectangle back to the host.
void BM_FrameCopyOnly(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  harness::Harness hn(w, h);
  auto f = hn.instance(hn.db({harness::ahead(0, 0)}));
  harness::Harness::settings(*f).sRGBFrameBuffer = 1;
  harness::Harness::settings(*f).Brightness = 0;
  host::FrameImage image(w, h);
  // The instance's first frame maps the memory it keeps for later frames.
  host::run_filters(hn.host, {f.get()}, image, 0);
  for (auto _ : state) host::run_filters(hn.host, {f.get()}, image, 0);
  set_ms_per_frame(state);
}
BENCHMARK(BM_FrameCopyOnly)->Args({1920, 1080})->Args({3840, 2160})->Unit(benchmark::kMillisecond);

// The console report, keeping the fastest repetition of every benchmark in
// CPU time: other processes on the machine slow a run down, never speed it up.
class RatioReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.error_occurred) continue;
      const double ms = r.GetAdjustedCPUTime();  // the unit is milliseconds for all of them
      auto it = best.find(r.run_name.str());
      if (it == best.end() || ms < it->second) best[r.run_name.str()] = ms;
    }
  }
  void print_ratios() const {
    struct Ratio {
      const char *what, *num, *den;
      double goal;
    };
    const Ratio ratios[] = {
        {"HD frame / memcpy of its four planes", "BM_Frame/1920/1080/1/0", "BM_Memcpy", 5},
        {"HD copy-in and copy-out / memcpy", "BM_FrameCopyOnly/1920/1080", "BM_Memcpy", 0},
        {"HD BlurSegs 8, 2 degree pan / HD still frame", "BM_Frame/1920/1080/8/0",
         "BM_Frame/1920/1080/1/0", 10},
        {"4K frame / HD frame", "BM_Frame/3840/2160/1/0", "BM_Frame/1920/1080/1/0", 4.5},
        {"HD frame of the dense sky / memcpy", "BM_Frame/1920/1080/1/1", "BM_Memcpy", 0},
    };
    printf("\nratios of CPU times, fastest repetition of each:\n");
    for (const Ratio& r : ratios) {
      auto n = best.find(r.num), d = best.find(r.den);
      if (n == best.end() || d == best.end()) continue;
      printf("  %-48s %7.2f", r.what, n->second / d->second);
      if (r.goal > 0) printf("   (goal: at most %.1f)", r.goal);
      printf("\n");
    }
  }

private:
  std::map<std::string, double> best;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_ratios();
  benchmark::Shutdown();
  return 0;
}
