#!/usr/bin/env bash
# Builds the benchmarks (Release), runs all of them (the decode micro-benchmark
# and the end-to-end ones against tavoble-sim) and rewrites the tables in
# BENCHMARKS.md with the numbers measured.
#
#   bash bench/run.sh [--quick] [--keep]
#
#   --quick  shorter runs and fewer repetitions (about 4 minutes instead of 10)
#   --keep   keep the clients' logs and the bus traces (the folder is printed)
# Environment: TAVOBLE_BENCH_BUILD names the build folder (default build-bench),
# TAVOBLE_BENCH_JSON a file for every measurement as JSON.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${TAVOBLE_BENCH_BUILD:-$root/build-bench}"
json="${TAVOBLE_BENCH_JSON:-$build/e2e-results.json}"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTAVOBLE_BUILD_BENCH=ON \
  -DTAVOBLE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target protocol_bench e2e_bench

/usr/bin/python3 "$root/bench/e2e.py" --build "$build" --json "$json" \
  --markdown "$root/BENCHMARKS.md" "$@"
echo "tables rewritten in BENCHMARKS.md; every measurement in $json"
