#!/usr/bin/env bash
# Installs the build to a temporary prefix, given in an untidy spelling, and
# builds the C example there as an outside project with pkg-config, whose file
# names the prefix as a clean absolute path. Then moves the prefix (the CMake
# package must not depend on where it was put, nor on the build) and builds
# the example with CMake's find_package. Each program streams an amplifier of
# the installed tavoble-sim.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
lib=lib/$multiarch
mkdir "$tmp/elsewhere"
cmake --install "$build" --prefix "$tmp//elsewhere/../installed/" >/dev/null
p=$tmp/installed

for f in $lib/libtavoble.so $lib/libtavoble.so.2 $lib/tavoble/libtavo_ble_scans.so include/tavoble.h bin/tavoble-sim \
         $lib/cmake/tavoble/tavobleConfig.cmake $lib/cmake/tavoble/tavobleConfigVersion.cmake \
         $lib/pkgconfig/tavoble.pc share/tavoble-sim/bus.conf share/tavoble-sim/scenarios/default.json \
         share/doc/tavoble-sim/README.md share/man/man1/tavoble-sim.1.gz \
         share/doc/libtavoble-dev/examples/tavoble_stream.c share/doc/libtavoble-dev/examples/CMakeLists.txt; do
  [ -e "$p/$f" ] || fail "not installed: $f"
done
# The packages' copyright and changelog files are not part of a whole install.
[ ! -e "$p/share/doc/libtavoble2" ] || fail "package files in a whole install"
soname=$(objdump -p "$p/$lib/libtavoble.so" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = libtavoble.so.2 ] || fail "SONAME is '$soname'"
ls "$p"/$lib/libtavoble.so.2.0.* >/dev/null
# Text files name no build or source path; binaries carry no such run path.
if grep -rIl -e "$build" -e "$source" "$p"; then
  fail "build paths in the installed files above"
fi
for bin in "$p/$lib/libtavoble.so.2" "$p/bin/tavoble-sim"; do
  if readelf -d "$bin" | grep -E 'RPATH|RUNPATH'; then fail "run path in $bin"; fi
done

stream() {
  local out
  out=$("$p/bin/tavoble-sim" run -- "$1" --scan-seconds 2 --seconds 2 UX-0001.00.01)
  echo "$out"
  grep -q "^libtavoble API version 2.0" <<<"$out"
  grep -Eq "scans/s, [1-9][0-9]* scans" <<<"$out" || fail "no scans from $1"
  grep -q "^closed" <<<"$out"
}

export PKG_CONFIG_PATH="$p/$lib/pkgconfig"
for v in prefix:"$p" libdir:"$p/$lib" includedir:"$p/include"; do
  got=$(pkg-config --variable="${v%%:*}" tavoble)
  [ "$got" = "${v#*:}" ] || fail "pkg-config ${v%%:*} is '$got', not '${v#*:}'"
done
cflags=$(pkg-config --cflags tavoble | sed 's/ *$//')
[ "$cflags" = "-I$p/include" ] || fail "cflags: $cflags"
examples=$p/share/doc/libtavoble-dev/examples
# shellcheck disable=SC2046
cc -o "$tmp/with-pkg-config" "$examples/tavoble_stream.c" \
  $(pkg-config --cflags --libs tavoble) -Wl,-rpath,"$(pkg-config --variable=libdir tavoble)"
stream "$tmp/with-pkg-config"

mv "$p" "$tmp/moved"
p=$tmp/moved
cmake -S "$p/share/doc/libtavoble-dev/examples" -B "$tmp/with-cmake" -DCMAKE_PREFIX_PATH="$p" >/dev/null
cmake --build "$tmp/with-cmake" >/dev/null
stream "$tmp/with-cmake/tavoble-stream"
