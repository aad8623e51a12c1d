// The vector variant chosen at start-up is the widest the processor runs:
// AVX2 exactly when it has both AVX2 and FMA (the AVX2 curves fuse their
// multiply-adds). CTest also runs these tests under the user-mode emulator
// on processor models without them.
#include "libimgops/isa.h"

#include <gtest/gtest.h>

namespace {
// The choice as the program starts, before any test switches variants (a
// switch back to a variant the machine cannot run is refused).
const imgops::Isa kDefault = imgops::isa_in_use();
}  // namespace

TEST(Isa, TheDefaultIsTheWidestTheProcessorRuns) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  __builtin_cpu_init();
  const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
  const bool avx2 = false;
#endif
  EXPECT_EQ(kDefault, avx2 ? imgops::Isa::Avx2 : imgops::Isa::Baseline);
  const imgops::Isa chosen = imgops::isa_in_use();
  EXPECT_EQ(imgops::isa_available(imgops::Isa::Avx2), avx2);
  EXPECT_TRUE(imgops::isa_available(imgops::Isa::Baseline));
  EXPECT_EQ(imgops::use_isa(imgops::Isa::Avx2), avx2);
  EXPECT_EQ(imgops::isa_in_use(), chosen);  // a refused switch changes nothing
  EXPECT_TRUE(imgops::use_isa(imgops::Isa::Baseline));
  EXPECT_EQ(imgops::isa_in_use(), imgops::Isa::Baseline);
  imgops::use_isa(chosen);
}
