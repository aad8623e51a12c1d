#!/bin/sh
# check-install.sh BUILD_DIR DLL_NAME BITS READER DESCRIPTOR DATABASE:
# cmake --install of a Windows build lays out one folder, Vantrel/, holding
# the DLL (stripped) and the default star database beside it, as a user
# copies it into the host's plug-in folder; the installed DLL's descriptor
# reads as expected.
set -u
build=$1 dll=$2 bits=$3 reader=$4 descriptor=$5 database=$6
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failed=0
check() {
  if "$@"; then :; else
    echo "failed: $*"
    failed=$((failed + 1))
  fi
}
cmake --install "$build" --prefix "$dir" --strip >/dev/null || { echo "cmake --install failed"; exit 1; }
check [ "$(cd "$dir" && find . -type f | LC_ALL=C sort | tr '\n' ' ')" = "./Vantrel/hipparcos3D.stars ./Vantrel/$dll " ]
check cmp -s "$database" "$dir/Vantrel/hipparcos3D.stars"
"$reader" "$bits" "$dir/Vantrel/$dll" > "$dir/descriptor.txt"
check cmp -s "$descriptor" "$dir/descriptor.txt"
echo "$((3 - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
