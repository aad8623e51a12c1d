#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the host need.
# Does nothing when they are all present already.
set -euo pipefail

packages=(
  build-essential cmake ninja-build g++-multilib pkg-config qemu-user
  googletest libgtest-dev libbenchmark-dev valgrind
  libopenimageio-dev libcli11-dev libcpp-httplib-dev zlib1g-dev
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64
  clang libclang-rt-14-dev
  chromium
  python3
  slurm-client slurmctld slurmd munge  # submit's client programs; the test's own cluster
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "installing: ${missing[*]}"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
