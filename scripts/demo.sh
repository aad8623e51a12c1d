#!/usr/bin/env bash
# The main job: installs what is missing, builds the 64-bit plug-in and host,
# and renders the demo sky (Orion, with the shipped star database) to
# out/orion.png and out/orion.exr.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh render

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTREL_BENCHMARKS=OFF >/dev/null
cmake --build build/release --target vantrel-host vantrel-stars -j "$(nproc)"
mkdir -p out
build/release/vantrel-host render data/orion.vsc -o out/orion.png -o out/orion.exr
