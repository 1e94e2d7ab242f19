#!/usr/bin/env bash
# Builds the Debian packages with CPack and checks them as Debian would: the
# files of each, stripped binaries with their debugging symbols in the -dbgsym
# packages, the control fields (computed dependencies, what a real system
# needs), lintian. Then unpacks all of them into a throw-away root, as dpkg
# would install them, builds the C example against that root with CMake and
# with pkg-config, and streams an amplifier with the unpacked tavoble-sim.
# Usage: deb_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
# After a pipe, grep reads all its input (>/dev/null, not -q): a grep -q that
# exits at its first match kills the writer with SIGPIPE, which pipefail makes
# a failed pipeline, now and then.

rm -rf "$build/packages"
(cd "$build" && cpack -G DEB >"$tmp/cpack.log" 2>&1) || { cat "$tmp/cpack.log"; fail "cpack"; }
version=2.0.0
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
libdir=/usr/lib/$multiarch
config=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt" | tr '[:upper:]' '[:lower:]')
deb() {
  case $1 in *-dbgsym) echo "$build/packages/$1_${version}_$arch.ddeb" ;; *) echo "$build/packages/$1_${version}_$arch.deb" ;; esac
}
for p in libtavoble2 libtavoble2-dbgsym libtavoble-dev tavoble-sim tavoble-sim-dbgsym; do
  [ -f "$(deb $p)" ] || fail "no package $p among: $(ls "$build/packages")"
done
[ "$(ls "$build"/packages/*deb | wc -l)" = 5 ] || fail "other packages: $(ls "$build/packages")"

# Directories aside, exactly the expected files (symbolic links included).
expect() {
  local got want
  got=$(dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $6 }' | sed 's#^\./#/#' | sort)
  want=$(printf '%s\n' "${@:2}" | sort)
  [ "$got" = "$want" ] || { diff <(echo "$want") <(echo "$got") || true; fail "contents of $1 (< expected, > found)"; }
}
docs() { echo "/usr/share/doc/$1/copyright" "/usr/share/doc/$1/changelog.gz"; }
scenarios=$(cd "$here/../../tools/tavoble-sim/scenarios" && ls ./*.json | sed 's#^\./#/usr/share/tavoble-sim/scenarios/#')
# shellcheck disable=SC2046
expect "$(deb libtavoble2)" $libdir/libtavoble.so.2 $libdir/libtavoble.so.2.0.0 \
  $libdir/tavoble/libtavo_ble_scans.so $(docs libtavoble2)
# shellcheck disable=SC2046
expect "$(deb libtavoble-dev)" /usr/include/tavoble.h $libdir/libtavoble.so \
  $libdir/cmake/tavoble/tavobleConfig.cmake $libdir/cmake/tavoble/tavobleConfigVersion.cmake \
  $libdir/cmake/tavoble/tavobleTargets.cmake "$libdir/cmake/tavoble/tavobleTargets-${config:-noconfig}.cmake" \
  $libdir/pkgconfig/tavoble.pc /usr/share/doc/libtavoble-dev/examples/CMakeLists.txt \
  /usr/share/doc/libtavoble-dev/examples/tavoble_stream.c \
  /usr/share/doc/libtavoble-dev/examples/tavoble_version.c $(docs libtavoble-dev)
# shellcheck disable=SC2046
expect "$(deb tavoble-sim)" /usr/bin/tavoble-sim /usr/share/man/man1/tavoble-sim.1.gz \
  /usr/share/tavoble-sim/bus.conf /usr/share/doc/tavoble-sim/README.md $scenarios $(docs tavoble-sim)

root=$tmp/root
for p in libtavoble2 libtavoble2-dbgsym libtavoble-dev tavoble-sim tavoble-sim-dbgsym; do
  dpkg-deb -x "$(deb $p)" "$root"
done

# Stripped binaries; each one's debugging information is in its -dbgsym
# package under its build ID, and the binary's debug link has that file's
# checksum.
debuglink_matches() {  # BINARY DEBUG_FILE
  objcopy --dump-section .gnu_debuglink="$tmp/debuglink" "$1" /dev/null
  python3 - "$tmp/debuglink" "$2" <<'PY'
import struct, sys, zlib
link = open(sys.argv[1], "rb").read()
with open(sys.argv[2], "rb") as f:
    crc = zlib.crc32(f.read())
sys.exit(struct.unpack("<I", link[-4:])[0] != crc)
PY
}
declare -A debug_files
for pair in libtavoble2:$libdir/libtavoble.so.2.0.0 libtavoble2:$libdir/tavoble/libtavo_ble_scans.so \
            tavoble-sim:/usr/bin/tavoble-sim; do
  package=${pair%%:*} file=$root${pair#*:}
  readelf -S "$file" | grep -E '\.debug_info|\.comment' >/dev/null && fail "$file is not stripped"
  id=$(readelf -n "$file" | awk '/Build ID:/ { print $3 }')
  debug=/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug
  debug_files[$package]="${debug_files[$package]:-} $debug"
  readelf -S "$root$debug" 2>/dev/null | grep '\.debug_info' >/dev/null || fail "no debugging information in $debug"
  debuglink_matches "$file" "$root$debug" || fail "the debug link of $file does not match $debug"
done
for package in libtavoble2 tavoble-sim; do
  # shellcheck disable=SC2086
  expect "$(deb "$package-dbgsym")" ${debug_files[$package]} "/usr/share/doc/$package-dbgsym"
  [ "$(dpkg-deb -f "$(deb "$package-dbgsym")" Depends)" = "$package (= $version)" ] ||
    fail "$package-dbgsym does not depend on $package (= $version)"
done
size=$(dpkg-deb -f "$(deb libtavoble2)" Installed-Size)
echo "libtavoble2 installs $size KiB"
[ "$size" -lt 4096 ] || fail "libtavoble2 installs $size KiB"

# Dependencies: the package of every shared library a binary needs (as
# dpkg-shlibdeps finds them), plus what a real system needs at run time.
field() { dpkg-deb -f "$(deb "$1")" "$2"; }
needs_packages_of_its_libraries() {  # PACKAGE BINARY
  local needed path owner
  for needed in $(readelf -d "$2" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    path=$(ldd "$2" | awk -v lib="$needed" '{ n = split($1, p, "/") } p[n] == lib { print ($2 == "=>") ? $3 : $1 }')
    if ! owner=$(dpkg -S "$(readlink -f "$path")" 2>/dev/null || dpkg -S "$path" 2>/dev/null); then
      # A library of one's own (an installed SimpleBLE): no package to depend on.
      echo "NOTE: $1 needs $path, which no Debian package holds"
      continue
    fi
    owner=${owner%%:*}
    field "$1" Depends | tr ',' '\n' | awk '{ print $1 }' | grep -xF "$owner" >/dev/null ||
      fail "$1 needs $needed of $owner but depends on: $(field "$1" Depends)"
  done
}
echo "libtavoble2 depends on: $(field libtavoble2 Depends); recommends: $(field libtavoble2 Recommends)"
needs_packages_of_its_libraries libtavoble2 "$root$libdir/libtavoble.so.2"
needs_packages_of_its_libraries tavoble-sim "$root/usr/bin/tavoble-sim"
[ "$(field libtavoble2 Recommends)" = "bluez, default-dbus-system-bus | dbus-system-bus" ] ||
  fail "libtavoble2 recommends: $(field libtavoble2 Recommends)"
[ "$(field libtavoble-dev Depends)" = "libtavoble2 (= $version)" ] || fail "libtavoble-dev depends on the wrong library"
grep -q "dbus-daemon" <<<"$(field tavoble-sim Depends)" || fail "tavoble-sim does not depend on dbus-daemon"
# The simulator speaks D-Bus only: it runs without the library.
! grep -q libtavoble2 <<<"$(field tavoble-sim Depends)" || fail "tavoble-sim depends on the library"
# Programs built on the library depend on it through its symbols file: the
# nine exported functions, and nothing else exported.
dpkg-deb --ctrl-tarfile "$(deb libtavoble2)" | tar -xO ./symbols >"$tmp/symbols"
exported=$(nm -D --defined-only "$root$libdir/libtavoble.so.2" | awk '$2 == "T" { print $3 "@Base" }' | sort)
[ "$exported" = "$(awk 'NR > 2 { print $1 }' "$tmp/symbols" | sort)" ] || fail "symbols file and exports differ"
control() { dpkg-deb --ctrl-tarfile "$(deb libtavoble2)" | tar -xO "./$1"; }
control shlibs | grep -x "libtavoble 2 libtavoble2 (>= $version)" >/dev/null || fail "shlibs"
# ldconfig runs from dpkg's trigger, no maintainer script is needed.
control triggers | grep -x "activate-noawait ldconfig" >/dev/null || fail "no ldconfig trigger"
! dpkg-deb --ctrl-tarfile "$(deb libtavoble2)" | tar -t | grep -E 'post(inst|rm)' || fail "maintainer scripts"

# The changelog's newest entry is this version.
changelog=$(zcat "$root/usr/share/doc/libtavoble2/changelog.gz" | head -1)
[[ "$changelog" == "libtavoble ($version) "* ]] || fail "changelog starts: $changelog"

# lintian: nothing at all (errors, warnings, info) beyond the tags accepted
# in lintian-overrides.txt, each with its reason there.
if command -v lintian >/dev/null; then
  accepted=$(awk '!/^#/ && NF { print $1 }' "$here/lintian-overrides.txt" | paste -sd, -)
  lintian --display-info --suppress-tags "$accepted" "$build"/packages/*deb >"$tmp/lintian.log" 2>&1 || true
  if grep -E '^[EWI]: ' "$tmp/lintian.log"; then fail "lintian tags above"; fi
  echo "lintian: clean but for $accepted"
else
  echo "lintian is not installed (bash scripts/setup.sh installs it): not checked"
fi

# The unpacked root as a user's system: pkg-config and CMake find the library
# there (pkg-config through its sysroot, CMake through the prefix).
pc=$root$libdir/pkgconfig
# /usr/include is a system folder: no -I at all.
cflags=$(PKG_CONFIG_LIBDIR=$pc pkg-config --cflags tavoble | sed 's/ *$//')
[ "$cflags" = "" ] || fail "cflags: $cflags"
examples=$root/usr/share/doc/libtavoble-dev/examples
mkdir "$tmp/with-pkg-config"
# shellcheck disable=SC2046
cc -o "$tmp/with-pkg-config/tavoble-stream" "$examples/tavoble_stream.c" \
  $(PKG_CONFIG_LIBDIR=$pc PKG_CONFIG_SYSROOT_DIR=$root pkg-config --cflags --libs tavoble)
cmake -S "$examples" -B "$tmp/with-cmake" -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
cmake --build "$tmp/with-cmake" >/dev/null
export LD_LIBRARY_PATH=$root$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
scenario=$root/usr/share/tavoble-sim/scenarios/default.json
for program in "$tmp/with-cmake/tavoble-stream" "$tmp/with-pkg-config/tavoble-stream"; do
  ldd "$program" | grep "libtavoble.so.2 => $root$libdir/" >/dev/null || fail "$program does not load the unpacked library"
  out=$("$root/usr/bin/tavoble-sim" run --scenario "$scenario" -- "$program" --scan-seconds 2 --seconds 2 UX-0001.00.01)
  echo "$out"
  grep -q "^libtavoble API version 2.0" <<<"$out"
  grep -Eq "scans/s, [1-9][0-9]* scans" <<<"$out" || fail "no scans from $program"
done
