#!/usr/bin/env bash
# Runs the README's install steps as a new user on Debian 12 would: every sh
# block of its "Installing" section, in order, in a scratch folder where
# `build` is this build, with a scratch home, Debian's own PATH (its python3)
# and no variable of the test set-up. Two things are changed:
# - `apt-get install` only simulates (it still checks that every dependency
#   can be had), unless TAVOBLE_TEST_DEB_INSTALL=1 and root (CI's throw-away
#   machine): then the packages are installed, used and purged again, without
#   the recommended BlueZ, whose services would start on the machine;
# - /opt/tavoble is a folder in the scratch folder.
# Then what the steps promise is checked: the installed command names itself
# and streams an amplifier of the simulator, the prefix has Debian's layout.
# Usage: readme_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
scratch=$(mktemp -d)
cleanup() { rm -rf "$scratch"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

install_for_real=0
if [ "${TAVOBLE_TEST_DEB_INSTALL:-}" = 1 ] && [ "$(id -u)" -eq 0 ]; then
  if dpkg-query -W -f='${Status}' libtavoble2 libtavoble-dev tavoble-sim 2>/dev/null | grep "ok installed" >/dev/null; then
    echo "the packages are installed already: not touching them, only simulating"
  else
    install_for_real=1
    cleanup() {
      apt-get purge -y -q libtavoble-dev libtavoble2 tavoble-sim >/dev/null 2>&1 || true
      rm -rf "$scratch"
    }
  fi
fi

# The section's sh blocks, one script.
awk '/^## Installing$/ { on = 1; next } on && /^## / { exit }
     on && /^```sh$/ { code = 1; next } code && /^```$/ { code = 0; next } code' \
  "$source/README.md" >"$scratch/steps.sh"
grep -q "cpack" "$scratch/steps.sh" && grep -q "tavo-venv" "$scratch/steps.sh" ||
  fail "the README's install steps were not found"
if [ $install_for_real = 0 ]; then
  sed -i 's/apt-get install /apt-get install --simulate /' "$scratch/steps.sh"
else
  sed -i 's/apt-get install /apt-get install -y -q --no-install-recommends /' "$scratch/steps.sh"
fi
sed -i "s#/opt/tavoble#$scratch/opt/tavoble#g" "$scratch/steps.sh"
echo "--- the README's steps"; cat "$scratch/steps.sh"; echo "---"

ln -s "$build" "$scratch/build"
home=$scratch/home
mkdir "$home"
# LD_LIBRARY_PATH stays: a build on a SimpleBLE of one's own needs it; so do
# the lost-reply probe of the suite on SimpleBLE and its setting.
clean_env=(env -i HOME="$home" PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive
  ${LD_LIBRARY_PATH:+LD_LIBRARY_PATH=$LD_LIBRARY_PATH} ${LD_PRELOAD:+LD_PRELOAD=$LD_PRELOAD}
  ${TAVOBLE_MEND_LOST_REPLIES:+TAVOBLE_MEND_LOST_REPLIES=$TAVOBLE_MEND_LOST_REPLIES})
(cd "$scratch" && "${clean_env[@]}" bash -euo pipefail steps.sh) >"$scratch/steps.log" 2>&1 ||
  { cat "$scratch/steps.log"; fail "the README's steps"; }
cat "$scratch/steps.log"

# The command line of the wheel, as installed.
version=$("${clean_env[@]}" "$home/tavo-venv/bin/tavo-ble" --version)
[ "$version" = "tavo-ble 2.0.0" ] || fail "tavo-ble --version says: $version"
(cd "$scratch" && "${clean_env[@]}" "$build/bin/tavoble-sim" run -- \
  "$home/tavo-venv/bin/tavo-ble" stream UX-0001.00.01 --seconds 2 --csv "$scratch/scans.csv")
rows=$(wc -l <"$scratch/scans.csv")
[ "$rows" -gt 100 ] || fail "only $rows rows streamed"

# The prefix of one's own: Debian's layout, a pkg-config file naming it.
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
prefix=$scratch/opt/tavoble
[ -e "$prefix/lib/$multiarch/libtavoble.so.2" ] || fail "no library in $prefix/lib/$multiarch"
cflags=$(PKG_CONFIG_PATH=$prefix/lib/$multiarch/pkgconfig pkg-config --cflags tavoble | sed 's/ *$//')
[ "$cflags" = "-I$prefix/include" ] || fail "pkg-config --cflags: $cflags"

# Installed for real: built on as the README says, with nothing but the
# system's search paths, and run with the installed simulator.
if [ $install_for_real = 1 ]; then
  flags=$(pkg-config --cflags --libs tavoble | sed 's/ *$//')
  [ "$flags" = "-ltavoble" ] || fail "pkg-config --cflags --libs: $flags"
  examples=/usr/share/doc/libtavoble-dev/examples
  # shellcheck disable=SC2046
  cc -o "$scratch/with-pkg-config" "$examples/tavoble_stream.c" $(pkg-config --cflags --libs tavoble)
  "${clean_env[@]}" cmake -S "$examples" -B "$scratch/with-cmake" >/dev/null
  "${clean_env[@]}" cmake --build "$scratch/with-cmake" >/dev/null
  mkdir -p "$scratch/shlibdeps/debian" && touch "$scratch/shlibdeps/debian/control"
  for program in "$scratch/with-pkg-config" "$scratch/with-cmake/tavoble-stream"; do
    loaded=$(ldd "$program" | awk '$1 == "libtavoble.so.2" { print $3 }')
    [ "$(readlink -f "$loaded")" = "/usr/lib/$multiarch/libtavoble.so.2.0.0" ] ||
      fail "$program loads $loaded, not the installed library"
    # A package of such a program depends on the library through its symbols.
    deps=$(cd "$scratch/shlibdeps" && dpkg-shlibdeps -O "$program" 2>/dev/null)
    grep -q "libtavoble2 (>= 2.0.0)" <<<"$deps" || fail "dpkg-shlibdeps of $program: $deps"
    out=$("${clean_env[@]}" tavoble-sim run -- "$program" --scan-seconds 2 --seconds 2 UX-0001.00.01)
    echo "$out"
    grep -Eq "scans/s, [1-9][0-9]* scans" <<<"$out" || fail "no scans from $program"
  done
fi
