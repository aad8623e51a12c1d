#!/usr/bin/env bash
# The whole test run: installs what is missing, then builds and tests three
# trees: the 64-bit plug-in and host, the 32-bit plug-in with its host core,
# and the 64-bit tree under the address and undefined-behaviour sanitizers;
# then runs every fuzz target briefly (scripts/fuzz.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
passed=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT
variant() {
  local name=$1
  shift
  echo "== $name"
  cmake -S . -B "build/$name" -G Ninja -DVANTREL_WERROR=ON "$@" >/dev/null
  cmake --build "build/$name" -j "$jobs"
  ctest --test-dir "build/$name" --output-on-failure -j "$jobs" | tee "$log"
  passed=$((passed + $(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log")))
}

variant x64
variant x86 -DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32 -DVANTREL_BENCHMARKS=OFF
variant asan -DVANTREL_SANITIZE=ON -DVANTREL_BENCHMARKS=OFF
echo "test programs in all variants: $passed passed, 0 failed"
# Each fuzz target over its seed corpus and 30 seconds of new inputs.
bash scripts/fuzz.sh 30
