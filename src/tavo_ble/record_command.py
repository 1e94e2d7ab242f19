"""The ``record`` command: a BDF+ file per amplifier, written as the stream runs.

Scans are taken on the library's thread with their arrival time and written on
the main thread. With several amplifiers every file starts at the same time:
the first sample of the earliest one; a later amplifier's file begins with
filler scans (data valid 0) up to its own first sample. A link that goes silent
is annotated as lost, and as restored when scans flow again. Every line typed on
standard input becomes a marker in every file.
"""
import collections
import os
import signal
import sys
import threading
import time
from typing import List, Optional

import numpy as np

from . import recording

# Silence that counts as a lost link: this many notification intervals, and at least MIN_STALL.
STALL_INTERVALS = 5
MIN_STALL = 0.5
# How long to wait for every amplifier's first scan before the files start anyway.
FIRST_SCAN_WAIT = 5.0


class _Feed:
    """The data callback of one amplifier: scans with their wall-clock arrival time."""

    def __init__(self) -> None:
        self._scans: collections.deque = collections.deque()

    def __call__(self, scan) -> None:
        self._scans.append((time.time(), np.array(scan, dtype=np.float32)))

    def drain(self):
        items = []
        while True:
            try:
                items.append(self._scans.popleft())
            except IndexError:
                break
        if not items:
            return None, None
        return np.stack([s for _, s in items]), np.array([t for t, _ in items])


class _Track:
    """One amplifier's recorder and what the stall watch knows of it."""

    def __init__(self, device, path: str, range_uv: float) -> None:
        self.device = device
        self.feed = _Feed()
        info = recording.RecordingInfo(device.serial_number, device.model_number, device.firmware_version,
                                       int(device.sampling_rate), list(device.channel_types))
        self.rate = info.rate
        # Notifications carry a few scans each (two is typical).
        self.stall_after = max(STALL_INTERVALS * 2.0 / max(self.rate, 1), MIN_STALL)
        self.recorder = recording.Recorder(path, info, range_uv=range_uv)
        self.waiting: List = []  # chunks before the common start is known
        self.last_arrival: Optional[float] = None
        self.stalled_since: Optional[float] = None

    def take(self, data, times, now: float) -> None:
        if data is None:
            if (self.last_arrival is not None and self.stalled_since is None
                    and now - self.last_arrival > self.stall_after):
                self.stalled_since = self.last_arrival
                self.recorder.link_lost(at=self.last_arrival)
            return
        if self.stalled_since is not None:
            gap = float(times[0]) - self.stalled_since
            self.recorder.link_restored(gap, int(round(gap * self.rate)), at=float(times[0]))
            self.stalled_since = None
        self.last_arrival = float(times[-1])
        self.recorder.write(data, times)


def _read_markers(tracks, stop: threading.Event, stream) -> None:
    for line in stream:
        if stop.is_set():
            return
        text = line.strip()
        if text:
            for track in tracks:
                track.recorder.mark(text)


def record(devices, out_path: str, seconds: Optional[float] = None,
           range_uv: float = recording.DEFAULT_RANGE_UV, markers=None, out=None) -> List[dict]:
    """Records the open `devices` until `seconds` have passed or Ctrl-C; returns the sidecars."""
    out = sys.stdout if out is None else out
    paths = [out_path] if len(devices) == 1 else [
        recording.file_for_serial(out_path, d.serial_number) for d in devices]
    tracks = [_Track(d, p, range_uv) for d, p in zip(devices, paths)]
    stop = threading.Event()
    if markers is not None:
        threading.Thread(target=_read_markers, args=(tracks, stop, markers), daemon=True).start()
    until = "for %g s" % seconds if seconds is not None else "until Ctrl-C"
    print("Recording %s into %s (a line typed here is a marker) ..." % (until, ", ".join(paths)),
          file=out, flush=True)
    common_start: Optional[float] = None
    began = time.monotonic()
    try:
        for track in tracks:
            track.device.set_data_callback(track.feed)
        for track in tracks:
            track.device.start()
        try:
            while seconds is None or time.monotonic() - began < seconds:
                time.sleep(0.05)
                common_start = _pump(tracks, common_start, began)
        except KeyboardInterrupt:
            pass
        finally:
            previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
            try:
                for track in tracks:
                    track.device.stop()
            finally:
                signal.signal(signal.SIGINT, previous)
        _pump(tracks, common_start, began - FIRST_SCAN_WAIT, final=True)
    finally:
        stop.set()
        results = [t.recorder.close() for t in tracks]
    for path, meta in zip(paths, results):
        print("Wrote %d samples to %s (lost %d, clipped %d)." % (
            meta["samples"], path, meta["lost_samples"], meta["clipped_values"]), file=out, flush=True)
    return results


def _pump(tracks, common_start, began, final=False):
    now = time.time()
    if common_start is None:
        for track in tracks:
            data, times = track.feed.drain()
            if data is not None:
                track.waiting.append((data, times))
        firsts = [t.waiting[0][1][0] for t in tracks if t.waiting]
        if not firsts or (len(firsts) < len(tracks) and time.monotonic() - began < FIRST_SCAN_WAIT
                          and not final):
            return None
        common_start = float(min(firsts))
        for track in tracks:
            if track.waiting:
                lead = int(round((track.waiting[0][1][0] - common_start) * track.rate))
                track.recorder.begin(common_start, lead)
            else:
                track.recorder.begin(common_start, 0)
            for data, times in track.waiting:
                track.take(data, times, now)
            track.waiting = []
        return common_start
    for track in tracks:
        data, times = track.feed.drain()
        track.take(data, times, now)
    return common_start


def add_command(commands, binding, open_device, close_devices) -> None:
    """The ``record`` subcommand of the command-line tool."""

    def run(args):
        if not args.out.lower().endswith(".bdf"):
            print("error: --out must name a .bdf file", file=sys.stderr)
            return 2
        if args.range_uv <= 0:
            print("error: --range-uv must be positive", file=sys.stderr)
            return 2
        if not os.path.isdir(os.path.dirname(os.path.abspath(args.out))):
            print("error: no directory for %s" % args.out, file=sys.stderr)
            return 2
        wrapper = binding()
        holder = []
        try:
            for serial in args.serial:
                holder.append(open_device(wrapper, serial, sys.stdout))
            record(holder, args.out, seconds=args.seconds, range_uv=args.range_uv, markers=sys.stdin)
        finally:
            close_devices(holder)
        return 0

    cmd = commands.add_parser("record", help="record one or several amplifiers into BDF+ files")
    cmd.add_argument("serial", metavar="SERIAL", nargs="+", help="serial number(s), e.g. UX-0001.00.01")
    cmd.add_argument("--out", required=True, metavar="FILE.bdf",
                     help="the file; with several amplifiers FILE_<serial>.bdf each")
    cmd.add_argument("--seconds", type=float, default=None, help="how long to record (default: until Ctrl-C)")
    cmd.add_argument("--range-uv", type=float, default=recording.DEFAULT_RANGE_UV,
                     help="physical range of the measuring channels, +- microvolts (default %g)"
                     % recording.DEFAULT_RANGE_UV)
    cmd.set_defaults(run=run)
