#include "libimgops/isa.h"

namespace imgops {

namespace {

// The AVX2 variants also fuse multiply-adds: a processor (or a virtual
// machine's model of one) may offer AVX2 without FMA.
bool has_avx2() {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
  return false;
#endif
}

Isa& current() {
  static Isa isa = has_avx2() ? Isa::Avx2 : Isa::Baseline;
  return isa;
}

}  // namespace

bool isa_available(Isa isa) { return isa == Isa::Baseline || has_avx2(); }

Isa isa_in_use() { return current(); }

bool use_isa(Isa isa) {
  if (!isa_available(isa)) return false;
  current() = isa;
  return true;
}

}  // namespace imgops
