#!/usr/bin/env bash
# Builds libtavoble against an installed SimpleBLE (not the in-tree central)
# and runs the whole suite on tavoble-sim. Tests that pin down faults of
# SimpleBLE itself carry the CTest label "simpleble-known-failure": they run
# too, but their results are listed apart and do not fail this script.
# Usage: scripts/test-with-simpleble.sh PREFIX [build-dir]
#   PREFIX: where SimpleBLE is installed (PREFIX/lib/cmake/simpleble/...)
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -ge 1 ] || { echo "usage: $0 SIMPLEBLE_PREFIX [build-dir]" >&2; exit 2; }
prefix=$(cd "$1" && pwd)
build=${2:-build-simpleble}
bash scripts/setup.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAVOBLE_REQUIRE_SIMPLEBLE=ON -DCMAKE_PREFIX_PATH="$prefix"
cmake --build "$build" -j"$(nproc)"
# A shared SimpleBLE must be found at run time, also by python3.
export LD_LIBRARY_PATH="$prefix/lib:$prefix/lib64${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"

status=0
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 300 \
  -LE simpleble-known-failure || status=$?

echo
echo "== Known failures of SimpleBLE (label simpleble-known-failure), not counted above =="
ctest --test-dir "$build" -j"$(nproc)" --timeout 300 -L simpleble-known-failure || true
exit $status
