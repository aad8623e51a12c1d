#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, the address and undefined-
# behaviour sanitizers) in build/fuzz and runs each over its seed corpus in
# fuzz/corpus and then on new inputs, for SECONDS each (default 30).
# New inputs are kept in build/fuzz/corpus, crashes in build/fuzz/artifacts.
#
#   bash scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(scene blocks settings ini star_database star_renderer
  catalog_kstars catalog_hyg catalog_csv)

echo "== fuzz"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DVANTREL_FUZZ=ON -DVANTREL_WERROR=ON \
  -DVANTREL_BENCHMARKS=OFF >/dev/null
cmake --build build/fuzz -j "$(nproc)" --target fuzzers

failed=0
mkdir -p build/fuzz/artifacts
for t in "${targets[@]}"; do
  mkdir -p "build/fuzz/corpus/$t"
  dict=()
  [ -f "fuzz/$t.dict" ] && dict=("-dict=fuzz/$t.dict")
  log="build/fuzz/$t.log"
  # New inputs go to the first folder; the checked-in seeds stay as they are.
  if "build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=25 -print_final_stats=1 \
    -artifact_prefix="build/fuzz/artifacts/$t-" "${dict[@]}" \
    "build/fuzz/corpus/$t" "fuzz/corpus/$t" >"$log" 2>&1; then
    verdict="nothing found"
  else
    verdict="FAILED: see $log"
    failed=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  printf "%-16s %10s executions in %s s  %s\n" "$t" "${runs:-?}" "$seconds" "$verdict"
  [ "$failed" = 0 ] || grep -E "ERROR|property broken|runtime error|SUMMARY|Test unit written" "$log" | head -20
done
exit $failed
