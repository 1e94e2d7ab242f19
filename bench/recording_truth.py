#!/usr/bin/env python3
"""Timing error of a long recording with outages, against the simulator's truth.

Records a 250 Hz amplifier (2 scans per notification, a counter in channel 4)
from tavoble-sim through ``tavo_ble.Amplifier`` and ``tavo_ble.recording`` for
``--seconds`` (default 600) with five outages spread over it: out of range
for 3 s and 5 s with the counter paused (gaps in time), and dropped links
that reconnect at once. For every measured sample it compares, with when the
simulated amplifier sampled it (``GetSentData``):

- its place in the BDF+ file (position / rate after the file's start);
- its time from ``read()``;
- the baseline, measured in the same run: its notification's raw arrival.

The simulator sends on a fixed schedule but, on a loaded machine, sometimes
late (then catching up with a burst): each figure is given against the
send times as they are and against the simulator's schedule (the least late
send of each stretch between outages), which leaves the simulator's own
lateness out.

    python3 bench/recording_truth.py --sim BUILD/bin/tavoble-sim [--seconds 600]
"""
import argparse
import json
import os
import sys
import tempfile
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "src"))

from tavo_ble.tests.simulation import (  # noqa: E402
    COUNTER_CHANNEL, Simulator, custom_amplifier, file_timing_errors, scheduled_times, timing_errors,
    true_times)

NAME = "UX-0041.00.01"


def summary(errors):
    errors = np.abs(np.asarray(errors)) * 1000
    return "median %.2f ms, p99 %.2f ms, max %.2f ms (%d samples)" % (
        np.median(errors), np.percentile(errors, 99), np.max(errors), len(errors))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim", required=True)
    parser.add_argument("--seconds", type=float, default=600.0)
    parser.add_argument("--dump", help="save the samples' numbers, times, arrivals and true times (.npz)")
    args = parser.parse_args()
    load_before = os.getloadavg()[0]
    sim = Simulator(executable=args.sim).start()
    try:
        import tavo_ble
        from tavo_ble import bdf
        from tavo_ble.recording import Recorder, RecordingInfo

        sim.add_amplifier(custom_amplifier(NAME))
        folder = tempfile.mkdtemp()
        path = os.path.join(folder, "long.bdf")
        # (seconds into the recording, what happens)
        outages = [(k + 1) * args.seconds / 6 for k in range(5)]
        kinds = ["unreachable 3", "disconnect", "unreachable 5", "disconnect", "unreachable 3"]
        numbers, times, arrivals = [], [], []
        with tavo_ble.Amplifier.open(NAME) as amp:
            info = amp.info
            amp.start()
            rec = Recorder(path, RecordingInfo(info.serial_number, info.model_number, info.firmware_revision,
                                               info.sampling_rate, list(info.type_codes)),
                           clock_offset=amp.stream_start_wall - amp.stream_start_monotonic)
            began = time.monotonic()
            while time.monotonic() - began < args.seconds:
                if outages and time.monotonic() - began > outages[0]:
                    outages.pop(0)
                    kind = kinds.pop(0)
                    if kind == "disconnect":
                        sim.disconnect_peer(NAME)
                    else:
                        sim.set_unreachable(NAME, float(kind.split()[1]))
                data, t, a = amp.read_with_arrivals(timeout=0.2)
                if len(data):
                    rec.write(data, t)
                    measured = data[:, -1] == 1.0
                    numbers.append(data[measured, COUNTER_CHANNEL - 1])
                    times.append(t[measured])
                    arrivals.append(a[measured])
            amp.stop()
            data, t, a = amp.read_with_arrivals()
            rec.write(data, t)
            side = rec.close()
            all_events = amp.events()
            events = [e.kind for e in all_events]
        truth = true_times(sim, NAME, info.sampling_rate)
        numbers, times, arrivals = (np.concatenate(x) for x in (numbers, times, arrivals))
        contents = bdf.read(path)
        with open(os.path.splitext(path)[0] + ".json", encoding="utf-8") as f:
            side = json.load(f)
        print("recording: %.0f s, %d records, %d segments, %d gap samples, %d lost, events %s" % (
            args.seconds, contents.records, len(side["segments"]), side["gap_samples"], side["lost_samples"],
            {k: events.count(k) for k in set(events)}))
        schedule = scheduled_times(truth, info.sampling_rate)
        # A notification's arrival stands for its last scan.
        last = numbers.astype(np.int64) + numbers.astype(np.int64) % 2
        for label, reference in (("send times", truth), ("schedule", schedule)):
            print("against the %s:" % label)
            print("  file     :", summary(file_timing_errors(contents, side, reference, info.sampling_rate)))
            print("  read()   :", summary(timing_errors(numbers, times, reference)))
            print("  arrival  :", summary(timing_errors(last, arrivals, reference)))
        if args.dump:
            known = np.array([int(n) in truth for n in numbers])
            np.savez(args.dump, numbers=numbers[known], times=times[known], arrivals=arrivals[known],
                     truth=np.array([truth[int(n)] for n in numbers[known]]),
                     events=np.array([(e.time, e.first_sample, e.seconds) for e in all_events]),
                     kinds=np.array([e.kind for e in all_events]))
        print("load average %.1f before, %.1f after" % (load_before, os.getloadavg()[0]))
    finally:
        sim.stop()


if __name__ == "__main__":
    main()
