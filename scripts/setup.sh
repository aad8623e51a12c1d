#!/usr/bin/env bash
# Installs the Debian 12 packages Vantrel needs; does nothing when they are
# all present already.
#   setup.sh render   what building the plug-in and the programs needs (the demo)
#   setup.sh test     that and what the tests need: the 32-bit, sanitizer and
#                     Windows trees, Wine, valgrind, Chromium, a Slurm cluster
set -euo pipefail

render_packages=(
  build-essential cmake ninja-build pkg-config
  googletest libgtest-dev  # configuring the tree builds the test framework's targets
  libopenimageio-dev libopencolorio-dev libcli11-dev libcpp-httplib-dev zlib1g-dev
  liberfa-dev  # the sky for a place and time: the IAU's astronomy routines
  libchealpix-dev  # the catalogue tool's sky cells
)
test_packages=(
  g++-multilib qemu-user libbenchmark-dev valgrind
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64
  clang libclang-rt-14-dev
  chromium
  python3
  python3-astropy  # an independent horizon frame for the place-and-time test
  slurm-client slurmctld slurmd munge  # submit's client programs; the test's own cluster
)

case "${1:-test}" in
  render) packages=("${render_packages[@]}") ;;
  test) packages=("${render_packages[@]}" "${test_packages[@]}") ;;
  *) echo "usage: setup.sh [render|test]" >&2; exit 2 ;;
esac

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
