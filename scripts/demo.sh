#!/usr/bin/env bash
# Main job on the simulator: builds everything, then, against a simulated
# Bluetooth stack with a virtual amplifier, scans for amplifiers, opens one,
# prints its description and streams it for 5 s into a plot (signals.png).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
export PYTHONPATH="$PWD/src${PYTHONPATH:+:$PYTHONPATH}"
export TAVOBLE_LIBRARY="$PWD/build/lib/libtavoble.so"
exec build/bin/tavoble-sim run -- /bin/sh -c '
  /usr/bin/python3 -m tavo_ble scan --seconds 2 &&
  /usr/bin/python3 -m tavo_ble stream UX-0001.00.01 --seconds 5 --plot signals.png'
