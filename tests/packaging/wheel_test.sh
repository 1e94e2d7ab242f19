#!/usr/bin/env bash
# Builds the platform wheel from the CMake build and checks what pip and a
# user see of it: a tag for the processor of the library inside, that library
# stripped, the package's extras and its command. Then installs it offline the
# README's other way (--target, without dependencies) and runs the command
# line from there. (readme_test.sh installs it into a fresh venv.)
# Usage: wheel_test.sh BUILD_DIR PYTHON
set -euo pipefail
build=$(cd "$1" && pwd)
python=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
# After a pipe, grep reads all its input (>/dev/null, not -q): a grep -q that
# exits at its first match kills the writer with SIGPIPE, which pipefail makes
# a failed pipeline, now and then.

rm -rf "$build/dist"
cmake --build "$build" --target wheel >/dev/null
wheels=("$build"/dist/*.whl)
[ ${#wheels[@]} = 1 ] || fail "wheels: ${wheels[*]}"
wheel=${wheels[0]}
echo "built $(basename "$wheel"), $(du -k "$wheel" | cut -f1) KiB"
"$python" -m zipfile -e "$wheel" "$tmp/unpacked"

# The tag names the processor the library was built for.
libraries=("$tmp"/unpacked/tavo_ble/lib/native/linux/*/libtavoble.so)
[ ${#libraries[@]} = 1 ] && [ -f "${libraries[0]}" ] || fail "libraries in the wheel: ${libraries[*]}"
library=${libraries[0]}
machine=$(readelf -h "$library" | awk -F: '/Machine:/ { gsub(/^ +/, "", $2); print $2 }')
case $machine in
  "Advanced Micro Devices X86-64") want=x64/py3-none-linux_x86_64 ;;
  AArch64) want=arm64/py3-none-linux_aarch64 ;;
  *) fail "a library for $machine" ;;
esac
folder=$(basename "$(dirname "$library")")
[ "$folder" = "${want%%/*}" ] || fail "a library for $machine in the folder $folder"
[[ $(basename "$wheel") == tavo_ble-2.0.0-${want#*/}.whl ]] || fail "$(basename "$wheel") holds a library for $machine"
grep -qx "Tag: ${want#*/}" "$tmp"/unpacked/tavo_ble-2.0.0.dist-info/WHEEL || fail "WHEEL names another tag"
grep -qx "Root-Is-Purelib: false" "$tmp"/unpacked/tavo_ble-2.0.0.dist-info/WHEEL || fail "installed as pure Python"
readelf -S "$library" | grep '\.debug_info' >/dev/null && fail "the wheel's library is not stripped"
helper=$(dirname "$library")/libtavo_ble_scans.so
[ -f "$helper" ] || fail "no helper (libtavo_ble_scans.so) beside the wheel's library"
readelf -S "$helper" | grep '\.debug_info' >/dev/null && fail "the wheel's helper is not stripped"

# The extras and the command.
metadata=$tmp/unpacked/tavo_ble-2.0.0.dist-info/METADATA
for line in "Requires-Dist: numpy" "Provides-Extra: lsl" "Provides-Extra: plot"; do
  grep -qx "$line" "$metadata" || fail "METADATA lacks '$line'"
done
grep -Eq "^Requires-Dist: pylsl ?; extra == [\"']lsl[\"']$" "$metadata" || fail "the lsl extra does not bring pylsl"
grep -Eq "^Requires-Dist: matplotlib ?; extra == [\"']plot[\"']$" "$metadata" || fail "the plot extra does not bring matplotlib"
grep -qx "tavo-ble = tavo_ble.cli:main" "$tmp"/unpacked/tavo_ble-2.0.0.dist-info/entry_points.txt ||
  fail "no tavo-ble command"

# Installed without a venv: into a folder of its own, numpy from Debian.
home=$tmp/home
mkdir "$home"
run() {
  env -i HOME="$home" PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 PIP_ROOT_USER_ACTION=ignore \
    ${LD_LIBRARY_PATH:+LD_LIBRARY_PATH=$LD_LIBRARY_PATH} "$@"
}
run "$python" -m pip install --quiet --no-index --no-deps --target "$home/tavo-lib" "$wheel"
version=$(cd "$tmp" && run PYTHONPATH="$home/tavo-lib" "$python" -m tavo_ble --version)
[ "$version" = "python3 -m tavo_ble 2.0.0" ] || fail "python3 -m tavo_ble --version says: $version"
version=$(cd "$tmp" && run PYTHONPATH="$home/tavo-lib" "$home/tavo-lib/bin/tavo-ble" --version)
[ "$version" = "tavo-ble 2.0.0" ] || fail "tavo-ble --version says: $version"
where=$(cd "$tmp" && run PYTHONPATH="$home/tavo-lib" "$python" -c \
  'import tavo_ble.lib.tavo_ble_wrapper as w; print(w.library_path)')
[[ $where == "$home/tavo-lib/"* ]] || fail "loaded $where"
out=$(cd "$tmp" && run PYTHONPATH="$home/tavo-lib" "$build/bin/tavoble-sim" run -- \
  "$python" -m tavo_ble scan --seconds 2)
echo "$out"
grep -q "UX-0001.00.01" <<<"$out" || fail "the amplifier was not found"
