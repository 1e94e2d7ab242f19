#!/usr/bin/env bash
# Sets up, builds, and runs the main job on the simulator: scan, open, stream.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
exec build/bin/tavoble-version
