"""The ``stream`` command: receive scans, show a status line, write CSV and plot."""
import collections
import signal
import sys
import time

import numpy as np

from . import channels

# How often the status line is refreshed on a terminal, and otherwise.
STATUS_INTERVAL_TTY = 0.25
STATUS_INTERVAL_LOG = 1.0
# The scans-per-second figure is taken over this many recent seconds.
RATE_WINDOW = 2.0


class ScanCollector:
    """The data callback: takes each scan on the library's thread.

    The library's thread only appends; the main thread drains, so that a slow
    disk or terminal never delays the library's notification thread.
    """

    def __init__(self):
        self._scans = collections.deque()

    def __call__(self, scan):
        self._scans.append(scan)

    def drain(self):
        drained = []
        while True:
            try:
                drained.append(self._scans.popleft())
            except IndexError:
                return drained


class StreamStats:
    """Scans received, filler scans, battery level and the recent scan rate."""

    def __init__(self, battery_index, valid_index):
        self.battery_index = battery_index
        self.valid_index = valid_index
        self.scans = 0
        self.fillers = 0
        self.battery = None
        self._marks = collections.deque()

    def add(self, scans, now):
        for scan in scans:
            self.scans += 1
            if self.valid_index is not None and self.valid_index < len(scan):
                if scan[self.valid_index] == 0.0:
                    self.fillers += 1
            if self.battery_index is not None and self.battery_index < len(scan):
                self.battery = float(scan[self.battery_index])
        self._marks.append((now, self.scans))
        while len(self._marks) > 2 and now - self._marks[1][0] >= RATE_WINDOW:
            self._marks.popleft()

    def rate(self):
        if len(self._marks) < 2:
            return 0.0
        (t0, c0), (t1, c1) = self._marks[0], self._marks[-1]
        return (c1 - c0) / (t1 - t0) if t1 > t0 else 0.0

    def status(self):
        battery = "-" if self.battery is None else "%.0f %%" % self.battery
        return "scans %d | %.1f scans/s | filler %d | battery %s" % (
            self.scans,
            self.rate(),
            self.fillers,
            battery,
        )


def _format_row(scan):
    # Nine significant digits give back every float32 exactly.
    return ",".join("%.9g" % value for value in scan)


def stream(device, seconds=None, csv_path=None, plot_path=None, plot_seconds=10.0, out=None):
    """Streams from the open `device` until `seconds` have passed or Ctrl-C."""
    out = sys.stdout if out is None else out
    types = device.channel_types
    stats = StreamStats(channels.index_of(types, channels.BATTERY), channels.index_of(types, channels.DATA_VALID))
    history = None
    if plot_path:
        history = collections.deque(maxlen=max(1, int(round(plot_seconds * max(device.sampling_rate, 1)))))
    csv_file = None
    if csv_path:
        csv_file = open(csv_path, "w", encoding="utf-8", newline="")
        csv_file.write(",".join(channels.column_names(types)) + "\n")

    def take(scans, now):
        stats.add(scans, now)
        if csv_file is not None:
            for scan in scans:
                csv_file.write(_format_row(scan) + "\n")
        if history is not None:
            history.extend(scan for scan in scans if len(scan) == len(types))

    tty = out.isatty()
    interval = STATUS_INTERVAL_TTY if tty else STATUS_INTERVAL_LOG
    collector = ScanCollector()
    device.set_data_callback(collector)
    until = "for %g s" % seconds if seconds is not None else "until Ctrl-C"
    print("Streaming %s (Ctrl-C stops) ..." % until, file=out, flush=True)
    start = time.monotonic()
    next_status = start + interval
    stopped_by = "time"
    try:
        device.start()
        try:
            while seconds is None or time.monotonic() - start < seconds:
                time.sleep(0.05)
                now = time.monotonic()
                take(collector.drain(), now)
                if now >= next_status:
                    next_status = now + interval
                    if tty:
                        print("\r" + stats.status() + "   ", end="", file=out, flush=True)
                    else:
                        print(stats.status(), file=out, flush=True)
        except KeyboardInterrupt:
            stopped_by = "Ctrl-C"
        finally:
            # A second Ctrl-C (or SIGTERM, SIGHUP) must not cut the stop short.
            numbers = [getattr(signal, n) for n in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, n)]
            previous = [signal.signal(n, signal.SIG_IGN) for n in numbers]
            try:
                device.stop()
            finally:
                for number, handler in zip(numbers, previous):
                    signal.signal(number, handler)
        elapsed = time.monotonic() - start
        take(collector.drain(), time.monotonic())
    finally:
        if csv_file is not None:
            csv_file.close()
    if tty:
        print(file=out)
    battery = "-" if stats.battery is None else "%.0f %%" % stats.battery
    print(
        "Stopped by %s after %.1f s: %d scans (%.1f scans/s), %d filler scans, battery %s."
        % (stopped_by, elapsed, stats.scans, stats.scans / elapsed if elapsed > 0 else 0.0, stats.fillers, battery),
        file=out,
        flush=True,
    )
    if csv_path:
        print("Wrote %d scans to %s." % (stats.scans, csv_path), file=out, flush=True)
    if plot_path:
        from .plotting import plot_scans

        data = np.array(history, dtype=np.float32) if history else np.zeros((0, len(types)), np.float32)
        plot_scans(plot_path, data, types, device.sampling_rate, stats.scans - len(data), device.serial_number)
        print("Wrote a plot of the last %.1f s to %s." % (len(data) / max(device.sampling_rate, 1), plot_path), file=out, flush=True)
    return stats
