"""The ``record`` command: a BDF+ file per amplifier, written as the stream runs.

Each ``Amplifier`` streams into its ring buffer; the main thread reads the
scans with their sample times and writes them. All amplifiers' times are on
``time.monotonic()``'s clock and go to the wall clock through one common
offset, so their files share one time axis. With several amplifiers every
file starts at the same time: the first sample of the earliest one; a later
amplifier's file begins with filler scans (data valid 0) up to its own first
sample. Every line typed on standard input becomes a marker in every file,
at the sample taken when it was typed, and is confirmed; with
``--lsl-markers``, so does every string marker of the Lab Streaming Layer
streams with that name or type (as PsychoPy sends them), at the sample of
its LSL time stamp.

While it runs, ``record`` shows a status line each second (elapsed time,
samples, lost samples, whether the link is up, battery), in place on a
terminal and as plain lines otherwise, and a line when a link drops and when
it is back. A file that cannot be written (no space, the file size limit)
stops the recording with one message; every file stays valid.
"""
import queue
import sys
import threading
import time
from typing import List, Optional, Tuple

from .. import channels, interrupts, recording
from ..errors import OutputPathError, RecordingWriteError
from ..outputs import recording_paths
from .common import EXIT_USAGE, add_timeout, open_amplifier, positive, printable, serial_number, signals_held

# How long to wait for every amplifier's first scan before the files start anyway.
FIRST_SCAN_WAIT = 5.0
STATUS_INTERVAL = 1.0


class _Track:
    """One amplifier and its recorder."""

    def __init__(self, amp, path: str, range_uv: float, clock_offset: float, overwrite: bool,
                 prefilter: str) -> None:
        self.amp = amp
        info = amp.info
        self.path = path
        self.rate = int(info.sampling_rate)
        self.recorder = recording.Recorder(path, recording.RecordingInfo(
            info.serial_number, info.model_number, info.firmware_revision, self.rate,
            [c.type_code for c in info.channels], info.hardware_revision), range_uv=range_uv,
            overwrite=overwrite, prefilter=prefilter, clock_offset=clock_offset)
        types = [c.type_code for c in info.channels]
        self.battery_index = channels.index_of(types, channels.BATTERY)
        self.battery: Optional[float] = None
        self.waiting: List = []  # chunks before the common start is known

    def drain(self):
        """The scans not read yet, with their sample times (time.monotonic())."""
        data, times = self.amp.read()
        if len(data) and self.battery_index is not None:
            self.battery = float(data[-1, self.battery_index])
        self.recorder.skipped_before_start = self.amp.skipped_before_start
        return data, times

    def take(self, data, times) -> None:
        if len(data):
            self.recorder.write(data, times)

    def status(self) -> str:
        rec = self.recorder
        link = "link down" if self.amp.stalled else "link up"
        battery = "-" if self.battery is None else "%.0f %%" % self.battery
        return "%s %d samples, lost %d, %s, battery %s" % (
            printable(self.amp.serial), rec.samples, rec.lost_samples, link, battery)


def _read_markers(lines: "queue.Queue[Tuple[str, float]]", stop: threading.Event, stream) -> None:
    # A marker belongs to the sample taken when its line came in, not to the
    # moment the main loop gets round to it (up to a loop's turn later).
    for line in stream:
        when = time.monotonic()
        if stop.is_set():
            return
        text = line.strip()
        if text:
            lines.put((text, when))


def _event_line(event, began: float) -> Optional[str]:
    serial = printable(event.serial)
    if event.kind == "stall":
        return "%s: link lost at %.1f s (no data since then)" % (serial, event.time - began)
    if event.kind == "resumed":
        return "%s: link back at %.1f s, after %.2f s" % (serial, event.time - began, event.seconds)
    if event.kind == "gap":
        return "%s: %.3f s without samples from %.1f s, filled in the file" % (
            serial, event.seconds, event.time - began)
    if event.kind == "skipped":
        return "%s: %d samples counted before the stream began were skipped (never streamed)" % (
            serial, event.samples)
    return None


def record(amplifiers, out_path: str, seconds: Optional[float] = None,
           range_uv: float = recording.DEFAULT_RANGE_UV, markers=None, out=None, overwrite: bool = False,
           prefilter: str = "", lsl_markers=None) -> List[dict]:
    """Records the open ``Amplifier`` objects until `seconds` have passed or Ctrl-C; returns the sidecars.

    `markers` is a text stream whose lines are markers; `lsl_markers` a
    ``tavo_ble.lsl.MarkerInlet`` whose markers go into every file.

    Raises ``RecordingWriteError`` (after closing every file) when a file
    could not be written.
    """
    out = sys.stdout if out is None else out
    serials = [a.serial for a in amplifiers]
    if len(set(serials)) < len(serials):
        raise OutputPathError("one file per amplifier: an amplifier is given more than once")
    paths = recording_paths(out_path, serials)
    offset = time.time() - time.monotonic()
    tracks = []
    try:
        for amp, path in zip(amplifiers, paths):
            tracks.append(_Track(amp, path, range_uv, offset, overwrite, prefilter))
    except BaseException:
        for track in tracks:
            track.recorder.close()
        raise
    stop = threading.Event()
    typed: "queue.Queue[Tuple[str, float]]" = queue.Queue()
    if markers is not None:
        threading.Thread(target=_read_markers, args=(typed, stop, markers), daemon=True).start()
    until = "for %g s" % seconds if seconds is not None else "until Ctrl-C"
    print("Recording %s into %s (a line typed here is a marker) ..." % (until, ", ".join(paths)),
          file=out, flush=True)
    tty = out.isatty()
    common_start: Optional[float] = None
    lsl_streams: set = set()
    failure: Optional[RecordingWriteError] = None
    began = time.monotonic()
    next_status = began + STATUS_INTERVAL
    try:
        try:
            # Ctrl-C as a stream starts ends the recording as it does later on.
            for track in tracks:
                track.amp.start()
            while seconds is None or time.monotonic() - began < seconds:
                # Ctrl-C lands in the sleep, or waits until what was taken
                # (scans, markers, events) is in the files.
                time.sleep(0.05)
                with interrupts.deferred():
                    common_start = _pump(tracks, common_start, began)
                    lines = [_event_line(e, began) for t in tracks for e in t.amp.events()]
                    lines += _take_markers(tracks, typed, began)
                    lines += _take_lsl_markers(tracks, lsl_markers, began, lsl_streams)
                    now = time.monotonic()
                    status = None
                    if now >= next_status:
                        next_status += STATUS_INTERVAL
                        status = "[%6.1f s] %s" % (now - began, " | ".join(t.status() for t in tracks))
                # Outside: a terminal or pipe that blocks the lines must not block Ctrl-C.
                _show(out, tty, [line for line in lines if line], status)
        except KeyboardInterrupt:
            pass
        except RecordingWriteError as error:
            failure = error
        finally:
            # A second Ctrl-C (or SIGTERM, SIGHUP) must not cut the stop short.
            with signals_held():
                for track in tracks:
                    track.amp.stop()
        if failure is None:
            try:
                with interrupts.deferred():
                    _pump(tracks, common_start, began, final=True)
                    for track in tracks:
                        if track.amp.stalled:  # the file ends with its last sample: say why
                            track.recorder.lost_to_end()
                    # Lines typed just before Ctrl-C are markers too.
                    lines = _take_markers(tracks, typed, began)
                    lines += _take_lsl_markers(tracks, lsl_markers, began, lsl_streams)
                _show(out, tty, lines, None)
            except RecordingWriteError as error:
                failure = error
    finally:
        stop.set()
        if tty:
            print(file=out)
        results = [t.recorder.close() for t in tracks]
    for path, meta, track in zip(paths, results, tracks):
        if meta["file_start_time"] is None:
            print("No samples from %s: nothing written to %s." % (printable(track.amp.serial), path), file=out,
                  flush=True)
            continue
        print("Wrote %d samples to %s (%d s in the file; lost %d, gaps %d, clipped %d)." % (
            meta["samples"], path, meta["records_in_file"], meta["lost_samples"], meta["gap_samples"],
            meta["clipped_values"]), file=out, flush=True)
        outside = meta["markers_outside_file"]
        if outside:
            print("%d marker(s) from before the first sample or after the end of %s are in its sidecar only: %s." % (
                len(outside), path, ", ".join("%r at %.3f s" % (m["text"], m["onset"]) for m in outside)),
                file=out, flush=True)
    if failure is not None:
        raise failure
    return results


def _take_markers(tracks, typed: "queue.Queue[Tuple[str, float]]", began: float) -> List[str]:
    lines = []
    while True:
        try:
            text, when = typed.get_nowait()
        except queue.Empty:
            return lines
        for track in tracks:
            track.recorder.mark(text, at=when)
        lines.append("Marker %r at %.3f s." % (text, when - began))


def _take_lsl_markers(tracks, inlet, began: float, streams: set) -> List[str]:
    # `streams`: the names of the marker streams told of so far.
    if inlet is None:
        return []
    lines = []
    name = inlet.stream_name
    if name is not None and name not in streams:
        streams.add(name)
        lines.append('Taking markers from the LSL stream "%s".' % printable(name))
    for text, when in inlet.take():
        for track in tracks:
            track.recorder.mark(text, at=when)
        lines.append("LSL marker %r at %.3f s." % (text, when - began))
    return lines


def _show(out, tty: bool, lines: List[str], status: Optional[str]) -> None:
    if tty:
        for line in lines:
            print("\r\033[K" + line, file=out)
        if status is not None or lines:
            print("\r\033[K" + (status or ""), end="", file=out, flush=True)
    else:
        for line in lines + ([status] if status else []):
            print(line, file=out, flush=True)


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
        return common_start
    for track in tracks:
        track.take(*track.drain())
    return common_start


def add_command(commands) -> None:
    """The ``record`` subcommand; the tool checks the arguments and output paths before it runs."""

    def run(args):
        amplifiers = []
        inlet = None
        try:
            if args.lsl_markers:
                from ..lsl import LslUnavailable, MarkerInlet

                try:
                    inlet = MarkerInlet(args.lsl_markers)
                except (LslUnavailable, ValueError) as error:
                    print("error: --lsl-markers: %s" % error, file=sys.stderr)
                    return EXIT_USAGE
            for name in args.serial:
                amplifiers.append(open_amplifier(name, args.timeout, sys.stdout))
            record(amplifiers, args.out, seconds=args.seconds, range_uv=args.range_uv, markers=sys.stdin,
                   overwrite=args.overwrite, prefilter=args.prefilter, lsl_markers=inlet)
        finally:
            for amp in amplifiers:
                amp.close()
            if inlet is not None:
                inlet.close()
        return 0

    cmd = commands.add_parser("record", help="record one or several amplifiers into BDF+ files")
    cmd.add_argument("serial", metavar="SERIAL", nargs="+", type=serial_number,
                     help="serial number(s), e.g. UX-0001.00.01")
    cmd.add_argument("--out", required=True, metavar="FILE.bdf",
                     help="the file; with several amplifiers FILE_<serial>.bdf each")
    cmd.add_argument("--overwrite", action="store_true",
                     help="replace existing files (and their .json sidecars) instead of refusing")
    cmd.add_argument("--seconds", type=positive, default=None, help="how long to record (default: until Ctrl-C)")
    cmd.add_argument("--range-uv", type=positive, default=recording.DEFAULT_RANGE_UV,
                     help="physical range of the measuring channels, +- microvolts (default %g)"
                     % recording.DEFAULT_RANGE_UV)
    cmd.add_argument("--prefilter", default="", metavar="TEXT",
                     help="the amplifier's filters for the file header, e.g. 'HP:0.1Hz LP:100Hz'")
    cmd.add_argument("--lsl-markers", metavar="NAME_OR_TYPE",
                     help="also record the string markers of the LSL streams with this name or type")
    add_timeout(cmd, " each")
    cmd.set_defaults(run=run)
