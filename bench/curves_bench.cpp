// The fast curves against their references, over every float of their
// range, and their cost per value. The sweeps report how many results differ
// from the reference at all ("differ") and by more than one ulp ("beyond_1ulp",
// which must be 0).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "libimgops/isa.h"
#include "libimgops/lanes.h"
#include "libimgops/srgb.h"

namespace {

float from_bits(uint32_t u) {
  float f;
  memcpy(&f, &u, sizeof f);
  return f;
}
uint32_t to_bits(float f) {
  uint32_t u;
  memcpy(&u, &f, sizeof u);
  return u;
}

bool set_isa(benchmark::State& state) {
  const auto isa = static_cast<imgops::Isa>(state.range(0));
  if (imgops::use_isa(isa)) return true;
  state.SkipWithError("this machine does not run that variant");
  return false;
}

// Every float of 0..1 through a curve's run and its reference.
void sweep_curve(benchmark::State& state, void (*run)(const float*, float*, int),
                 float (*reference)(float)) {
  if (!set_isa(state)) return;
  double differ = 0, beyond = 0;
  for (auto _ : state) {
    differ = beyond = 0;
    const int kChunk = 1 << 16;
    std::vector<float> in(kChunk), out(kChunk);
    for (uint32_t base = 0; base <= to_bits(1.0f); base += kChunk) {
      const int n = static_cast<int>(std::min<uint32_t>(kChunk, to_bits(1.0f) - base + 1));
      for (int i = 0; i < n; ++i) in[i] = from_bits(base + i);
      run(in.data(), out.data(), n);
      for (int i = 0; i < n; ++i) {
        const uint32_t want = to_bits(reference(in[i])), got = to_bits(out[i]);
        if (want == got) continue;
        ++differ;
        if ((want > got ? want - got : got - want) > 1) ++beyond;
      }
    }
  }
  state.counters["differ"] = differ;
  state.counters["beyond_1ulp"] = beyond;
}

void BM_SweepDecode(benchmark::State& state) { sweep_curve(state, srgb_decode_run, srgb_decode); }
void BM_SweepEncode(benchmark::State& state) { sweep_curve(state, srgb_encode_run, srgb_encode); }
BENCHMARK(BM_SweepDecode)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_SweepEncode)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond);

// Every float from 0 to where the error function rounds to 1, in the
// widest variant the machine runs: results must equal the reference's bits.
void BM_SweepErf(benchmark::State& state) {
  typedef imgops::lanes::Lanes<4>::F F;
  double differ = 0;
  for (auto _ : state) {
    differ = 0;
    const uint32_t end = to_bits(imgops::lanes::erf_table().one);
    for (uint32_t u = 0; u < end; u += 4) {
      F x;
      for (int j = 0; j < 4; ++j) x[j] = from_bits(u + j);
      const F e = imgops::lanes::erf_lanes<4>(x, imgops::lanes::erf_table());
      for (int j = 0; j < 4; ++j)
        if (to_bits(e[j]) != to_bits(imgops::lanes::erf_rounded(x[j]))) ++differ;
    }
  }
  state.counters["differ"] = differ;
}
BENCHMARK(BM_SweepErf)->Iterations(1)->Unit(benchmark::kSecond);

// Cost per value on pixel-like values: light that needs the power curve.
void time_curve(benchmark::State& state, void (*run)(const float*, float*, int),
                float (*reference)(float)) {
  const bool fast = state.range(0) >= 0;
  if (fast && !set_isa(state)) return;
  std::vector<float> in(1 << 14), out(in.size());
  for (size_t i = 0; i < in.size(); ++i) in[i] = 0.05f + 0.9f * ((i * 2654435761u) % 4096) / 4096;
  for (auto _ : state) {
    if (fast)
      run(in.data(), out.data(), static_cast<int>(in.size()));
    else
      for (size_t i = 0; i < in.size(); ++i) out[i] = reference(in[i]);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["ns_per_value"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * in.size() / 1e9,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
void BM_Decode(benchmark::State& state) { time_curve(state, srgb_decode_run, srgb_decode); }
void BM_Encode(benchmark::State& state) { time_curve(state, srgb_encode_run, srgb_encode); }
// -1: the reference, one value at a time; 0: baseline lanes; 1: AVX2 lanes.
BENCHMARK(BM_Decode)->Arg(-1)->Arg(0)->Arg(1);
BENCHMARK(BM_Encode)->Arg(-1)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
