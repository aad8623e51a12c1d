#!/usr/bin/env bash
# The whole test run: installs what is missing, then builds and tests five
# trees: the 64-bit plug-in and host, the 32-bit plug-in with its host core,
# the 64-bit tree under the address and undefined-behaviour sanitizers, and
# the two Windows DLLs cross-built with mingw-w64. The 64-bit Windows test
# programs run under wine64 in a Wine prefix made afresh for this run. Then
# every fuzz target runs briefly (scripts/fuzz.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh test

jobs=$(nproc)
passed=0
not_run=0
times=()
declare -A counts
log=$(mktemp)
wine_home=$(mktemp -d)
export WINEPREFIX="$wine_home/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY  # no window is ever needed
wineserver=/usr/lib/wine/wineserver64
cleanup() {
  [ -d "$WINEPREFIX" ] && "$wineserver" -k 2>/dev/null || true
  rm -rf "$wine_home" "$log"
}
trap cleanup EXIT

variant() {
  local name=$1
  shift
  local start=$SECONDS
  echo "== $name"
  cmake -S . -B "build/$name" -G Ninja -DVANTREL_WERROR=ON "$@" >/dev/null
  cmake --build "build/$name" -j "$jobs"
  ctest --test-dir "build/$name" --output-on-failure -j "$jobs" | tee "$log"
  local n skipped
  n=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log")
  skipped=$(grep -c '(Disabled)$' "$log" || true)
  # A test that could not run here (exit 77) counts among those "out of" n.
  local unable
  unable=$(grep -c '(Skipped)$' "$log" || true)
  skipped=$((skipped + unable))
  n=$((n - unable))
  passed=$((passed + n))
  not_run=$((not_run + skipped))
  times+=("$name $((SECONDS - start)) s")
  counts[$name]="$n passed, $skipped not run"
}

# Test cases that a Windows test program skips, with the reason it gives.
windows_skips() {
  sed -n 's/^\[  SKIPPED \] \([A-Za-z0-9_]*\.[A-Za-z0-9_]*\) .*/\1/p' \
    "build/$1/Testing/Temporary/LastTest.log" | sort -u | tr '\n' ' '
}

variant x64
variant x86 -DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32 -DVANTREL_BENCHMARKS=OFF
variant asan -DVANTREL_SANITIZE=ON -DVANTREL_BENCHMARKS=OFF

start=$SECONDS
/usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1
times+=("wine prefix $((SECONDS - start)) s")
variant win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
variant win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake

# Each fuzz target over its seed corpus and 30 seconds of new inputs.
start=$SECONDS
bash scripts/fuzz.sh 30
times+=("fuzz $((SECONDS - start)) s")

echo "times: $(IFS=,; echo "${times[*]}" | sed 's/,/, /g')"
echo "windows: win64 ${counts[win64]} (under wine64), win32 ${counts[win32]}" \
  "(no Wine here runs 32-bit Windows programs); test cases skipped on Windows: $(windows_skips win64)"
echo "tests: $passed passed, 0 failed, $not_run skipped"
