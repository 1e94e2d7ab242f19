#!/usr/bin/env bash
# Builds the two protocol fuzz targets with clang and runs each for SECONDS
# (default 60) from its seed corpus. Fails on any crash, leak or sanitizer
# report; the input that caused it is left in build-fuzz/.
# Usage: fuzz/run.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build-fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAVOBLE_BUILD_FUZZ=ON -DTAVOBLE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz_configuration fuzz_assembler

for target in fuzz_configuration fuzz_assembler; do
  # New inputs go to a scratch corpus; the seeds in fuzz/corpus stay as committed.
  work=fuzz/corpus-work/$target
  mkdir -p "$work"
  echo "== $target for ${seconds}s"
  (cd "$build" && "./bin/$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
    -print_final_stats=1 "../$work" "../fuzz/corpus/$target")
done
