"""Several amplifiers through tavo_ble in one process: ``open_many`` and an
``AmplifierGroup`` read every 50 ms, as a recording loop does, for S seconds
after a warm-up; prints the process's CPU time over that window and the scans
read as one JSON line.

    python3 many_amplifier_client.py SECONDS SERIAL...
"""
import json
import resource
import sys
import time

import tavo_ble


def cpu_ns():
    u = resource.getrusage(resource.RUSAGE_SELF)
    return int((u.ru_utime + u.ru_stime) * 1e9)


def main():
    seconds, serials = float(sys.argv[1]), sys.argv[2:]
    with tavo_ble.open_many(serials) as group:
        group.start()
        end = time.monotonic() + 1.0  # warm-up
        while time.monotonic() < end:
            group.read(timeout=0.05)
        cpu0, t0, scans = cpu_ns(), time.monotonic_ns(), 0
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            chunks = group.read(timeout=0.05)
            scans += sum(len(data) for data, _ in chunks.values())
            time.sleep(0.05)
        cpu, wall = cpu_ns() - cpu0, time.monotonic_ns() - t0
        group.stop()
    print(json.dumps({"client": "many-amplifier", "amplifiers": len(serials), "cpu_ns": cpu,
                      "wall_ns": wall, "scans": scans}))


if __name__ == "__main__":
    sys.exit(main())
