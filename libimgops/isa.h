// Which of the vector code's variants runs: the build's baseline (SSE2 on
// x86, generic vectors elsewhere) or, where the processor has it, AVX2
// (with FMA).
// The choice is made once, from the processor; tests and benchmarks may
// switch between the variants the machine runs.
#pragma once

namespace imgops {

enum class Isa { Baseline, Avx2 };

bool isa_available(Isa isa);
Isa isa_in_use();
// Switches to a variant; false (and no change) when the machine cannot run it.
bool use_isa(Isa isa);

}  // namespace imgops
