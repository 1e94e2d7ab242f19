#!/usr/bin/env bash
# Builds the two Debian packages with CPack and checks their contents and
# dependencies. With TAVOBLE_TEST_DEB_INSTALL=1 (CI, as root) it also installs
# them with apt-get, streams an amplifier with the installed files and removes
# them again.
# Usage: deb_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

rm -rf "$build/packages"
(cd "$build" && cpack -G DEB >/dev/null)
runtime=$(ls "$build"/packages/libtavoble_2.0.*.deb)
dev=$(ls "$build"/packages/libtavoble-dev_2.0.*.deb)

# Directories aside, exactly the expected files.
expect() {
  local got want
  got=$(dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $6 }' | sed 's#^\./#/#' | sort)
  want=$(printf '%s\n' "${@:2}" | sort)
  if [ "$got" != "$want" ]; then
    echo "contents of $1 (< expected, > found):"; diff <(echo "$want") <(echo "$got") || true; exit 1
  fi
}
expect "$runtime" /usr/lib/libtavoble.so.2 /usr/lib/libtavoble.so.2.0.0 /usr/lib/libtavo_ble_scans.so \
  /usr/bin/tavoble-sim \
  /usr/share/tavoble-sim/bus.conf /usr/share/tavoble-sim/README.md
expect "$dev" /usr/include/tavoble.h /usr/lib/libtavoble.so \
  /usr/lib/cmake/tavoble/tavobleConfig.cmake /usr/lib/cmake/tavoble/tavobleConfigVersion.cmake \
  /usr/lib/cmake/tavoble/tavobleTargets.cmake /usr/lib/cmake/tavoble/tavobleTargets-relwithdebinfo.cmake \
  /usr/lib/pkgconfig/tavoble.pc /usr/share/doc/libtavoble/examples/CMakeLists.txt \
  /usr/share/doc/libtavoble/examples/tavoble_stream.c /usr/share/doc/libtavoble/examples/tavoble_version.c

depends=$(dpkg-deb -f "$runtime" Depends)
echo "libtavoble depends on: $depends"
for lib in libc6 libstdc++6 libsystemd0; do
  grep -q "$lib" <<<"$depends" || { echo "libtavoble does not depend on $lib"; exit 1; }
done
grep -q "libtavoble (= 2.0" <<<"$(dpkg-deb -f "$dev" Depends)"

if [ "${TAVOBLE_TEST_DEB_INSTALL:-}" = 1 ] && [ "$(id -u)" -eq 0 ]; then
  if dpkg-query -W -f='${Status}' libtavoble 2>/dev/null | grep -q "ok installed"; then
    echo "libtavoble is installed already: not touching it"; exit 0
  fi
  trap 'apt-get purge -y -q libtavoble-dev libtavoble >/dev/null 2>&1 || true; rm -rf "$tmp"' EXIT
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$runtime" "$dev" >/dev/null
  cc -std=c11 -o "$tmp/tavoble-stream" /usr/share/doc/libtavoble/examples/tavoble_stream.c \
    $(pkg-config --cflags --libs tavoble)
  out=$(tavoble-sim run -- "$tmp/tavoble-stream" --scan-seconds 2 --seconds 2 UX-0001.00.01)
  echo "$out"
  grep -Eq "scans/s, [1-9][0-9]* scans" <<<"$out"
fi
