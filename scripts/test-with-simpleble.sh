#!/usr/bin/env bash
# Builds libtavoble against SimpleBLE (not the in-tree central) and runs the
# whole suite on tavoble-sim. Fails on any failure except those of the tests
# that pin down SimpleBLE's own faults (CTest label "simpleble-known-failure"):
# they run too, and their results are listed apart. Tests that can only hold
# for the in-tree central (label "intree-central-only") are not run, nor the
# copies that force the in-tree central onto its StartNotify fallback (label
# "bus-path"): SimpleBLE always subscribes with StartNotify, so the suite's
# own tests already take that path here.
#
# Usage: scripts/test-with-simpleble.sh [PREFIX] [build-dir]
#   PREFIX: an installed SimpleBLE (PREFIX/lib/cmake/simpleble/...). Without
#   it, SimpleBLE is built from ../shared/third-party/simpleble-1.1.0.tar.gz
#   (scripts/build-simpleble.sh, cached by the archive's hash); when that
#   archive is absent the script says so and skips, with status 0.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
if [ $# -ge 1 ] && [ -n "$1" ]; then
  prefix=$(cd "$1" && pwd)
else
  status=0
  prefix=$(bash scripts/build-simpleble.sh | tail -n 1) || status=$?
  if [ "$status" -eq 3 ]; then
    echo "Skipped: the suite on SimpleBLE needs its source archive in ../shared/third-party"
    exit 0
  fi
  [ "$status" -eq 0 ] || exit "$status"
fi
build=${2:-build-simpleble}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAVOBLE_REQUIRE_SIMPLEBLE=ON -DCMAKE_PREFIX_PATH="$prefix"
cmake --build "$build" -j"$(nproc)"
# A shared SimpleBLE must be found at run time, also by python3.
export LD_LIBRARY_PATH="$prefix/lib:$prefix/lib64${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"

# SimpleBLE 1.1 loses the reply to a D-Bus call now and then, at random (the
# call fails after 30 s with "D-Bus call timed out"). The preloaded probe
# (tests/simpleble) reports each loss; in the main run it also hands the reply
# over, so that this one fault does not fail tests at random. The tests of
# SimpleBLE's faults run without that, as a user's program does.
probe="$(cd "$build" && pwd)/lib/liblost_reply_probe.so"
jobs=2
status=0
LD_PRELOAD="$probe${LD_PRELOAD:+:$LD_PRELOAD}" TAVOBLE_MEND_LOST_REPLIES=1 \
  ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 300 \
  -LE 'simpleble-known-failure|intree-central-only|bus-path' || status=$?
lost=$(grep -c 'SimpleBLE lost a D-Bus reply' "$build/Testing/Temporary/LastTest.log" || true)
echo "Replies SimpleBLE lost (handed over by the probe): $lost"

echo
echo "== Known failures of SimpleBLE (label simpleble-known-failure), not counted above =="
LD_PRELOAD="$probe${LD_PRELOAD:+:$LD_PRELOAD}" \
  ctest --test-dir "$build" -j"$jobs" --timeout 300 -L simpleble-known-failure || true
echo
echo "== Not run: tests that can only hold for the in-tree central (label intree-central-only) =="
ctest --test-dir "$build" -N -L intree-central-only | grep 'Test *#' || true
exit $status
