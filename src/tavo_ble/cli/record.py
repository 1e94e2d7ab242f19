"""The ``record`` command: a BDF+ file per amplifier, written as the stream runs.

Each ``Amplifier`` streams into its ring buffer; the main thread reads the
scans with their de-jittered sample times and writes them. All amplifiers'
times go to the wall clock through one common offset, so their files share
one time axis. With several amplifiers every file starts at the same time:
the first sample of the earliest one; a later amplifier's file begins with
filler scans (data valid 0) up to its own first sample. A stall of the stream
(a dropped link) is annotated as "link lost", and as "link restored" when
scans flow again. Every line typed on standard input becomes a marker in
every file.
"""
import sys
import threading
import time
from typing import List, Optional

from .. import recording
from .common import add_timeout, open_amplifier, positive, serial_number, signals_held

# How long to wait for every amplifier's first scan before the files start anyway.
FIRST_SCAN_WAIT = 5.0


class _Track:
    """One amplifier and its recorder."""

    def __init__(self, amp, path: str, range_uv: float, wall_offset: float) -> None:
        self.amp = amp
        info = amp.info
        self.rate = int(info.sampling_rate)
        self.recorder = recording.Recorder(path, recording.RecordingInfo(
            info.serial_number, info.model_number, info.firmware_revision, self.rate,
            [c.type_code for c in info.channels]), range_uv=range_uv)
        self.wall_offset = wall_offset
        self.waiting: List = []  # chunks before the common start is known

    def drain(self):
        """The scans not read yet, with their sample times on the wall clock."""
        data, times = self.amp.read()
        return data, times + self.wall_offset

    def take(self, data, times) -> None:
        if len(data):
            self.recorder.write(data, times)

    def note_events(self) -> None:
        for event in self.amp.events():
            if event.kind == "stall":
                self.recorder.link_lost(at=event.time + self.wall_offset)
            elif event.kind == "resumed":
                self.recorder.link_restored(event.seconds, event.samples, at=event.time + self.wall_offset)


def _read_markers(tracks, stop: threading.Event, stream) -> None:
    for line in stream:
        if stop.is_set():
            return
        text = line.strip()
        if text:
            for track in tracks:
                track.recorder.mark(text)


def record(amplifiers, out_path: str, seconds: Optional[float] = None,
           range_uv: float = recording.DEFAULT_RANGE_UV, markers=None, out=None) -> List[dict]:
    """Records the open ``Amplifier`` objects until `seconds` have passed or Ctrl-C; returns the sidecars."""
    out = sys.stdout if out is None else out
    paths = [out_path] if len(amplifiers) == 1 else [
        recording.file_for_serial(out_path, a.serial) for a in amplifiers]
    wall_offset = time.time() - time.monotonic()
    tracks = [_Track(a, p, range_uv, wall_offset) for a, p in zip(amplifiers, paths)]
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
            track.amp.start()
        try:
            while seconds is None or time.monotonic() - began < seconds:
                time.sleep(0.05)
                common_start = _pump(tracks, common_start, began)
        except KeyboardInterrupt:
            pass
        finally:
            with signals_held():
                for track in tracks:
                    track.amp.stop()
        _pump(tracks, common_start, began, final=True)
    finally:
        stop.set()
        results = [t.recorder.close() for t in tracks]
    for path, meta in zip(paths, results):
        print("Wrote %d samples to %s (lost %d, clipped %d)." % (
            meta["samples"], path, meta["lost_samples"], meta["clipped_values"]), file=out, flush=True)
    return results


def _pump(tracks, common_start, began, final=False):
    if common_start is None:
        for track in tracks:
            data, times = track.drain()
            if len(data):
                track.waiting.append((data, times))
        firsts = [t.waiting[0][1][0] for t in tracks if t.waiting]
        if not firsts or (len(firsts) < len(tracks) and time.monotonic() - began < FIRST_SCAN_WAIT
                          and not final):
            return None
        common_start = float(min(firsts))
        for track in tracks:
            lead = 0
            if track.waiting:
                lead = int(round((track.waiting[0][1][0] - common_start) * track.rate))
            track.recorder.begin(common_start, lead)
            for data, times in track.waiting:
                track.take(data, times)
            track.waiting = []
            track.note_events()
        return common_start
    for track in tracks:
        track.take(*track.drain())
        track.note_events()
    return common_start


def add_command(commands) -> None:
    """The ``record`` subcommand; the tool checks the output path before it runs."""

    def run(args):
        amplifiers = []
        try:
            for name in args.serial:
                amplifiers.append(open_amplifier(name, args.timeout, sys.stdout))
            record(amplifiers, args.out, seconds=args.seconds, range_uv=args.range_uv, markers=sys.stdin)
        finally:
            for amp in amplifiers:
                amp.close()
        return 0

    cmd = commands.add_parser("record", help="record one or several amplifiers into BDF+ files")
    cmd.add_argument("serial", metavar="SERIAL", nargs="+", type=serial_number,
                     help="serial number(s), e.g. UX-0001.00.01")
    cmd.add_argument("--out", required=True, metavar="FILE.bdf",
                     help="the file; with several amplifiers FILE_<serial>.bdf each")
    cmd.add_argument("--seconds", type=positive, default=None, help="how long to record (default: until Ctrl-C)")
    cmd.add_argument("--range-uv", type=positive, default=recording.DEFAULT_RANGE_UV,
                     help="physical range of the measuring channels, +- microvolts (default %g)"
                     % recording.DEFAULT_RANGE_UV)
    add_timeout(cmd, " each")
    cmd.set_defaults(run=run)
