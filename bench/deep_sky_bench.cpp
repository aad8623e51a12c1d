// Deep databases through the built plug-in and the host's render driver: a
// synthetic sky (vantrel-stars synth) of 10^7 stars by default, or the count
// in VANTREL_BENCH_STARS (10^8 for the 5-degree goal), and one of 2.5 million
// stars, Tycho-2's size. The databases are made when first needed into
// /tmp/vantrel-bench-sky-N.stars and kept for later runs (delete them to
// make them again). Frames are HD; the threshold is that of magnitude 12,
// Tycho-2's depth (vantrel-host new-scene --mag-limit 12).
//
// The yardstick is a memcpy of one HD frame's four float planes, measured in
// the same run; after the benchmarks the program prints each frame's cost as
// a ratio against it, in wall-clock time (a frame draws on every core:
// VANTREL_THREADS=1 measures one), from the fastest repetition,
// and the peak memory of the process (which holds every database it has
// loaded until it ends).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "LW/instance.h"
#include "stardb/star_record.h"
#include "testsupport/test_harness.h"

namespace {

long deep_count() {
  const char* v = getenv("VANTREL_BENCH_STARS");
  return v ? atol(v) : 10000000L;
}

// The database of n stars, made by the catalogue tool in a process of its
// own so that its memory is not this process's.
std::string database(long n) {
  const std::string path = "/tmp/vantrel-bench-sky-" + std::to_string(n) + ".stars";
  if (FILE* f = fopen(path.c_str(), "rb")) {
    fclose(f);
    return path;
  }
  fprintf(stderr, "making %s ...\n", path.c_str());
  const std::string cmd = std::string("'") + VANTREL_STARS_PATH + "' synth --stars " +
                          std::to_string(n) + " --seed 1 -o '" + path + "'";
  if (std::system(cmd.c_str()) != 0) {
    fprintf(stderr, "cannot make %s\n", path.c_str());
    exit(1);
  }
  return path;
}

double peak_megabytes() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_maxrss) / 1024;
}

void set_ms_per_frame(benchmark::State& state) {
  state.counters["ms_per_frame"] =
      benchmark::Counter(static_cast<double>(state.iterations()) / 1e3,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["peak_MB"] = peak_megabytes();
}

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
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond)->UseRealTime();

// Stars (0: the deep count), vertical field of view in degrees, BlurSegs.
void BM_DeepFrame(benchmark::State& state) {
  const long n = state.range(0) ? static_cast<long>(state.range(0)) : deep_count();
  const double fov = static_cast<double>(state.range(1));
  const int segs = static_cast<int>(state.range(2));
  harness::Harness hn(1920, 1080);
  hn.cam->camera.zoom = host::Channel(1.0 / std::tan(0.5 * fov * harness::kPi / 180));
  auto f = hn.instance(database(n));
  vantrel& v = harness::Harness::settings(*f);
  v.sRGBFrameBuffer = 1;
  v.LumThreshold = star_db::brightness_of_magnitude(12);
  v.BlurSegs = segs;
  if (segs > 1) {
    hn.cam->camera.motion_blur = true;
    hn.cam->camera.blur_length = host::Channel(1.0);
    hn.cam->motion.rotation[0].set(0.0, 0.0);
    hn.cam->motion.rotation[0].set(1.0, 24 * 2.0);  // 2 degrees per frame
  }
  host::FrameImage image(1920, 1080);
  host::run_filters(hn.host, {f.get()}, image, 0);  // loads the database once
  for (auto _ : state) {
    state.PauseTiming();
    for (std::vector<float>* plane : {&image.red, &image.green, &image.blue, &image.alpha})
      std::fill(plane->begin(), plane->end(), 0.0f);
    state.ResumeTiming();
    host::run_filters(hn.host, {f.get()}, image, 0);
  }
  set_ms_per_frame(state);
  state.SetLabel(std::to_string(n) + " stars");
}
BENCHMARK(BM_DeepFrame)
    ->Args({0, 5, 1})
    ->Args({0, 90, 1})
    ->Args({2500000, 40, 0})
    ->Args({2500000, 40, 8})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The first frame of a render: a new instance reads the database's index and
// the cells of a 5-degree view from the file.
void BM_DeepFrameCold(benchmark::State& state) {
  harness::Harness hn(1920, 1080);
  hn.cam->camera.zoom = host::Channel(1.0 / std::tan(0.5 * 5 * harness::kPi / 180));
  const std::string db = database(deep_count());
  host::FrameImage image(1920, 1080);
  for (auto _ : state) {
    state.PauseTiming();
    auto f = hn.instance(db);
    harness::Harness::settings(*f).sRGBFrameBuffer = 1;
    harness::Harness::settings(*f).LumThreshold = star_db::brightness_of_magnitude(12);
    state.ResumeTiming();
    host::run_filters(hn.host, {f.get()}, image, 0);
  }
  set_ms_per_frame(state);
}
BENCHMARK(BM_DeepFrameCold)->Unit(benchmark::kMillisecond)->UseRealTime();

class RatioReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.error_occurred) continue;
      const double ms = r.GetAdjustedRealTime();
      auto it = best.find(r.run_name.str());
      if (it == best.end() || ms < it->second) best[r.run_name.str()] = ms;
    }
  }
  void print_ratios() const {
    struct Ratio {
      const char *what, *num;
      double goal;
    };
    const Ratio ratios[] = {
        {"HD 5-degree frame, deep sky / memcpy", "BM_DeepFrame/0/5/1/real_time", 10},
        {"  the same, first frame (index and cells read)", "BM_DeepFrameCold/real_time", 0},
        {"HD 90-degree frame, deep sky / memcpy", "BM_DeepFrame/0/90/1/real_time", 40},
        {"HD 40-degree frame, 2.5M stars, BlurSegs 0", "BM_DeepFrame/2500000/40/0/real_time", 10},
        {"HD 40-degree frame, 2.5M stars, BlurSegs 8", "BM_DeepFrame/2500000/40/8/real_time", 0},
    };
    printf(
        "\nratios of wall-clock times to a memcpy of an HD frame's planes, fastest repetition:\n");
    const auto d = best.find("BM_Memcpy/real_time");
    for (const Ratio& r : ratios) {
      const auto n = best.find(r.num);
      if (n == best.end() || d == best.end()) continue;
      printf("  %-48s %8.2f", r.what, n->second / d->second);
      if (r.goal > 0) printf("   (goal: at most %.0f)", r.goal);
      printf("\n");
    }
    printf("deep sky: %ld stars; peak memory of the process: %.0f MB\n", deep_count(),
           peak_megabytes());
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
