#!/usr/bin/env python3
"""Jitter of tavo_ble's fitted sample times against the simulator's send times.

Streams a 250 Hz amplifier (2 scans per notification, a notification counter
in channel 4) from tavoble-sim through ``tavo_ble.Amplifier`` and compares,
for the last scan of every notification, the fitted sample time and the raw
arrival time with the CLOCK_MONOTONIC time at which the simulator sent it.
The raw arrivals, measured in the same run, are the baseline. The constant
part (the median) is latency, not jitter, and is taken out of both.

    python3 bench/dejitter.py --sim BUILD/bin/tavoble-sim [--seconds 30]
"""
import argparse
import os
import sys
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "src"))

from tavo_ble.tests.simulation import FRAMES, Simulator, custom_amplifier  # noqa: E402

WARM_UP = 2.0  # seconds of stream left out while the fit settles


def spread(values):
    deviation = np.abs(values - np.median(values)) * 1000
    return "median %.3f ms, p90 %.3f ms, p99 %.3f ms, std %.3f ms" % (
        np.median(deviation), np.percentile(deviation, 90), np.percentile(deviation, 99), np.std(values) * 1000)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim", required=True)
    parser.add_argument("--seconds", type=float, default=30.0)
    args = parser.parse_args()
    load_before = os.getloadavg()[0]
    sim = Simulator(executable=args.sim).start()
    import tavo_ble

    try:
        name = "UX-0021.00.01"
        sim.add_amplifier(custom_amplifier(name))
        with tavo_ble.Amplifier.open(name, buffer_seconds=args.seconds + 10) as amp:
            amp.start()
            time.sleep(args.seconds)
            amp.stop()
            data, times, arrivals = amp.read_with_arrivals()
        sent = {}
        for ns, payload in sim.sent_data(name):
            sent[(payload[9] << 16) | (payload[10] << 8) | payload[11]] = ns / 1e9
        fitted, raw, ideal = [], [], []
        first = times[0] if len(times) else 0.0
        for scan, t, a in zip(data, times, arrivals):
            number = int(scan[3])
            if scan[-1] == 1.0 and number % FRAMES == 0 and number // FRAMES in sent and t - first > WARM_UP:
                fitted.append(t - sent[number // FRAMES])
                raw.append(a - sent[number // FRAMES])
                ideal.append((number // FRAMES, t))
        fitted, raw = np.array(fitted), np.array(raw)
        # The amplifier's own steady clock: the line through all send times.
        counters = np.array(sorted(sent))
        send = np.array([sent[c] for c in counters])
        line = np.polyfit(counters, send, 1)
        k = counters
        schedule = np.array([t - np.polyval(line, c) for c, t in ideal])
        print("load average (1 min) before/after: %.2f / %.2f on %d cores"
              % (load_before, os.getloadavg()[0], os.cpu_count() or 0))
        print("notifications compared: %d over %.0f s at 250 Hz" % (len(fitted), args.seconds))
        print("fitted - sent:  " + spread(fitted))
        print("arrival - sent: " + spread(raw))
        print("fitted - the simulator's steady schedule: " + spread(schedule))
        print("simulator's send times against their own line: " + spread(send - np.polyval(line, k)))
    finally:
        sim.stop()


if __name__ == "__main__":
    main()
