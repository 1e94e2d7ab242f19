#!/usr/bin/env bash
# Builds the platform wheel from the CMake build, installs it offline into a
# fresh venv and streams an amplifier of the simulator through it.
# Usage: wheel_test.sh BUILD_DIR PYTHON
set -euo pipefail
build=$(cd "$1" && pwd)
python=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

rm -rf "$build/dist"
cmake --build "$build" --target wheel >/dev/null
machine=$(uname -m)
wheel=$(ls "$build"/dist/tavo_ble-2.0.*-py3-none-linux_"$machine".whl)
case $machine in x86_64) arch=x64 ;; aarch64) arch=arm64 ;; esac
"$python" -c 'import sys, zipfile; sys.exit(sys.argv[2] not in zipfile.ZipFile(sys.argv[1]).namelist())' \
  "$wheel" "tavo_ble/lib/native/linux/$arch/libtavoble.so" || { echo "no library in $wheel"; exit 1; }
"$python" -c 'import sys, zipfile; sys.exit(sys.argv[2] not in zipfile.ZipFile(sys.argv[1]).namelist())' \
  "$wheel" "tavo_ble/lib/native/linux/$arch/libtavo_ble_scans.so" || { echo "no helper in $wheel"; exit 1; }

"$python" -m venv --system-site-packages "$tmp/venv"
env -u PYTHONPATH -u TAVOBLE_LIBRARY "$tmp/venv/bin/python" -m pip install --quiet --no-index "$wheel"
cd "$tmp"
run() { env -u PYTHONPATH -u TAVOBLE_LIBRARY "$@"; }
# The installed package loads the library it carries.
where=$(run "$tmp/venv/bin/python" -c 'import tavo_ble.lib.tavo_ble_wrapper as w; print(w.library_path)')
case $where in "$tmp/venv/"*) ;; *) echo "loaded $where"; exit 1 ;; esac
run "$build/bin/tavoble-sim" run -- \
  "$tmp/venv/bin/tavo-ble" stream UX-0001.00.01 --seconds 2 --csv "$tmp/scans.csv"
rows=$(wc -l <"$tmp/scans.csv")
[ "$rows" -gt 100 ] || { echo "only $rows rows streamed"; exit 1; }
