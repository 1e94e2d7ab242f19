"""The ``stream`` command: receive scans, show a status line, write CSV and plot."""
import collections
import sys
import time

from .. import channels, interrupts
from ..outputs import check_output
from .common import (add_timeout, describe, open_amplifier, positive, printable, search, serial_number,
                     signals_held)

# How often the status line is refreshed on a terminal, and otherwise.
STATUS_INTERVAL_TTY = 0.25
STATUS_INTERVAL_LOG = 1.0
# The scans-per-second figure is taken over this many recent seconds.
RATE_WINDOW = 2.0


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


def stream(amp, seconds=None, csv_path=None, plot_path=None, plot_seconds=10.0, out=None, overwrite=False):
    """Streams from the open ``Amplifier`` `amp` until `seconds` have passed or Ctrl-C.

    An existing CSV file is refused (``OutputPathError``) unless `overwrite`.
    """
    out = sys.stdout if out is None else out
    if csv_path:
        check_output(csv_path, overwrite)
    types = [c.type_code for c in amp.info.channels]
    rate = max(amp.info.sampling_rate, 1)
    stats = StreamStats(channels.index_of(types, channels.BATTERY), channels.index_of(types, channels.DATA_VALID))
    csv_file = None
    if csv_path:
        from .csv_file import CsvWriter

        csv_file = CsvWriter(csv_path, types)
    # The plot shows the newest seconds: the ring buffer must hold them.
    amp.buffer_seconds = max(amp.buffer_seconds, plot_seconds + 5.0 if plot_path else 0.0)

    def take(now):
        data, times = amp.read()
        stats.add(data, now)
        if csv_file is not None and len(data):
            # Sample times on the wall clock, through the stream's start.
            csv_file.write(data, times - amp.stream_start_monotonic + amp.stream_start_wall)

    tty = out.isatty()
    interval = STATUS_INTERVAL_TTY if tty else STATUS_INTERVAL_LOG
    until = "for %g s" % seconds if seconds is not None else "until Ctrl-C"
    print("Streaming %s (Ctrl-C stops) ..." % until, file=out, flush=True)
    start = time.monotonic()
    next_status = start + interval
    stopped_by = "time"
    try:
        amp.start()
        try:
            while seconds is None or time.monotonic() - start < seconds:
                time.sleep(0.05)  # Ctrl-C lands here, or waits for the rows taken to be written
                now = time.monotonic()
                with interrupts.deferred():
                    take(now)
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
            with signals_held():
                amp.stop()
        elapsed = time.monotonic() - start
        take(time.monotonic())
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

        data, _ = amp.get_data(plot_seconds)
        plot_scans(plot_path, data, types, rate, stats.scans - len(data), amp.serial)
        print("Wrote a plot of the last %.1f s to %s." % (len(data) / rate, plot_path), file=out, flush=True)
    return stats


def cmd_stream(args) -> int:
    print("Looking for %s (up to %g s) ..." % (printable(args.serial), args.find_seconds), flush=True)
    try:
        last = search(args.find_seconds, want=args.serial)
    except KeyboardInterrupt:
        print("Stopped.")
        return 0
    if args.serial not in last:
        print("%s was not seen in the scan; asking the library to search for it." % printable(args.serial),
              flush=True)
    amp = open_amplifier(args.serial, args.timeout, sys.stdout)
    try:
        for line in describe(amp.info):
            print("  " + line)
        stream(amp, seconds=args.seconds, csv_path=args.csv, plot_path=args.plot, plot_seconds=args.plot_seconds,
               overwrite=args.overwrite)
    finally:
        amp.close()
        print("Closed %s." % printable(amp.serial))
    return 0


def add_command(commands) -> None:
    """The ``stream`` subcommand."""
    cmd = commands.add_parser("stream", help="stream an amplifier's samples")
    cmd.add_argument("serial", metavar="SERIAL", type=serial_number, help="serial number, e.g. UX-0001.00.01")
    cmd.add_argument("--seconds", type=positive, default=None, help="how long to stream (default: until Ctrl-C)")
    cmd.add_argument("--csv", metavar="FILE", help="write every scan as one CSV row")
    cmd.add_argument("--overwrite", action="store_true", help="replace an existing CSV file instead of refusing")
    cmd.add_argument("--plot", metavar="FILE.png", help="plot the last seconds of every channel")
    cmd.add_argument("--plot-seconds", type=positive, default=10.0,
                     help="how many of the last seconds to plot (default 10)")
    cmd.add_argument("--find-seconds", type=positive, default=10.0,
                     help="how long to scan for the amplifier before opening it (default 10)")
    add_timeout(cmd)
    cmd.set_defaults(run=cmd_stream)
