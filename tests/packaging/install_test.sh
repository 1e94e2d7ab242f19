#!/usr/bin/env bash
# Installs the build to a temporary prefix, moves the prefix (installed files
# must not depend on where they were put, nor on the build), then builds the C
# example as an outside project twice, with CMake's find_package and with
# pkg-config, and streams an amplifier of the installed tavoble-sim with each.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cmake --install "$build" --prefix "$tmp/installed" >/dev/null
mv "$tmp/installed" "$tmp/prefix"
p=$tmp/prefix

for f in lib/libtavoble.so lib/libtavoble.so.2 lib/libtavo_ble_scans.so include/tavoble.h bin/tavoble-sim \
         lib/cmake/tavoble/tavobleConfig.cmake lib/cmake/tavoble/tavobleConfigVersion.cmake \
         lib/pkgconfig/tavoble.pc share/tavoble-sim/bus.conf share/tavoble-sim/README.md \
         share/doc/libtavoble/examples/tavoble_stream.c share/doc/libtavoble/examples/CMakeLists.txt; do
  [ -e "$p/$f" ] || { echo "not installed: $f"; exit 1; }
done
soname=$(objdump -p "$p/lib/libtavoble.so" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = libtavoble.so.2 ] || { echo "SONAME is '$soname'"; exit 1; }
ls "$p"/lib/libtavoble.so.2.0.* >/dev/null
# Text files name no build or source path; binaries carry no such run path.
if grep -rIl -e "$build" -e "$source" "$p"; then
  echo "build paths in the installed files above"; exit 1
fi
for bin in "$p/lib/libtavoble.so.2" "$p/bin/tavoble-sim"; do
  if readelf -d "$bin" | grep -E 'RPATH|RUNPATH'; then echo "run path in $bin"; exit 1; fi
done

examples=$p/share/doc/libtavoble/examples
cmake -S "$examples" -B "$tmp/with-cmake" -DCMAKE_PREFIX_PATH="$p" >/dev/null
cmake --build "$tmp/with-cmake" >/dev/null
export PKG_CONFIG_PATH="$p/lib/pkgconfig"
mkdir "$tmp/with-pkg-config"
# shellcheck disable=SC2046
cc -std=c11 -o "$tmp/with-pkg-config/tavoble-stream" "$examples/tavoble_stream.c" \
  $(pkg-config --cflags --libs tavoble) -Wl,-rpath,"$(pkg-config --variable=libdir tavoble)"

for program in "$tmp/with-cmake/tavoble-stream" "$tmp/with-pkg-config/tavoble-stream"; do
  out=$("$p/bin/tavoble-sim" run -- "$program" --scan-seconds 2 --seconds 2 UX-0001.00.01)
  echo "$out"
  grep -q "^libtavoble API version 2.0" <<<"$out"
  grep -Eq "scans/s, [1-9][0-9]* scans" <<<"$out" || { echo "no scans from $program"; exit 1; }
  grep -q "^closed" <<<"$out"
done
