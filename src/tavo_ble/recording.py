"""Recording an amplifier's scans into a BDF+ file, one data record per second.

``AmplifierRecording`` records a streaming ``Amplifier``; ``Recorder`` writes
chunks of scans with their sample times (``time.monotonic()``) from any source.
Each value of a scan (channels, battery, data valid) is a signal. The file is
the time base: position ``p`` lies ``p / rate`` s after the file's start.
Where the sample times jump (the amplifier's clock moved on while nobody
measured), fillers (data valid 0) cover the gap, so every sample stays at its
true time, under a "link lost" annotation. Every annotation (filler runs,
gaps, counter restarts, markers) sits on sample positions; a marker with no
sample in the file (before its start, after its end) is kept out of it. A
JSON sidecar keeps the first and last sample times (wall clock and
``time.monotonic()``), each segment's fitted rate, the annotations and the
markers kept out; it is rewritten each second.

An existing file (or sidecar) is refused unless ``overwrite``. A failed write
(no space, the file size limit, permission) raises ``RecordingWriteError``
and stops the recording; ``close()`` then leaves a valid file of whole
seconds, its annotations so far and a sidecar that agrees with it.
"""
import datetime
import json
import os
import threading
import time
from dataclasses import dataclass
from typing import List, Optional, Sequence, Tuple

import numpy as np

from . import bdf, channels, interrupts
from .errors import RecordingWriteError
from .file_time import FileTimeline
from .outputs import check_output, file_for_serial, sidecar_path  # noqa: F401 (file_for_serial: here too)

# Typical full scale of the amplifier's 24-bit measuring channels: 8388608 steps
# of 0.02235174 uV is +-187.5 mV. Values beyond the range are clipped and counted.
DEFAULT_RANGE_UV = 187500.0
# The counter is kept modulo 2**24 so that it fits BDF's 24 bits for ~18 h at 250/s.
_COUNTER_MODULO = 1 << 24
_TICK = 1e-4  # annotation onsets are kept to 0.1 ms
# Sample times further apart than this many periods are a gap.
_GAP_PERIODS = 1.5


@dataclass(frozen=True)
class RecordingInfo:
    """What the file header says about the amplifier."""

    serial: str
    model: str
    firmware: str
    rate: int
    channel_types: Sequence[int]
    hardware: str = ""


def _signals(info: RecordingInfo, range_uv: float) -> List[bdf.Signal]:
    signals = []
    for index, code in enumerate(info.channel_types):
        label = channels.file_label(code, index)
        if code == channels.BATTERY:
            signals.append(bdf.Signal(label, "%", info.rate, 0.0, 255.0))
        elif code == channels.DATA_VALID:
            signals.append(bdf.Signal(label, "", info.rate, 0.0, 1.0))
        elif code == channels.COUNTER:
            signals.append(bdf.Signal(label, "", info.rate, 0.0, float(_COUNTER_MODULO - 1)))
        else:
            signals.append(bdf.Signal(label, channels.unit(code), info.rate, -range_uv, range_uv))
    return signals


def _field(text: str) -> str:
    # EDF+ header subfields are separated by spaces.
    return "_".join(text.split()) or "X"


class Recorder:
    """Writes the scans of one amplifier into a BDF+ file as they arrive.

    `write()` is called from one thread (the one reading the stream); `mark()`
    may be called from any thread. `clock_offset` turns ``time.monotonic()``
    into wall-clock time (default: taken now).
    """

    def __init__(self, path: str, info: RecordingInfo, range_uv: float = DEFAULT_RANGE_UV,
                 overwrite: bool = False, prefilter: str = "", clock_offset: Optional[float] = None) -> None:
        if info.rate <= 0 or int(info.rate) != info.rate:
            raise ValueError("BDF needs a whole number of samples per second, not %r" % info.rate)
        if not range_uv > 0:
            raise ValueError("the physical range must be positive")
        check_output(path, overwrite, ".bdf", sidecar=True)
        self.path = path
        self.info = info
        self.rate = int(info.rate)
        self.range_uv = float(range_uv)
        self.prefilter = prefilter
        self.clock_offset = time.time() - time.monotonic() if clock_offset is None else float(clock_offset)
        self.signals = _signals(info, self.range_uv)
        self._types = list(info.channel_types)
        self._valid = channels.index_of(self._types, channels.DATA_VALID)
        self._counter = channels.counter_index(self._types)
        self._start: Optional[float] = None  # monotonic time of file position 0
        self._writer: Optional[bdf.BdfWriter] = None
        self._pending = np.zeros((0, len(self._types)), dtype=np.float64)
        self._lock = threading.Lock()
        self._annotations: List[Tuple[float, Optional[float], str]] = []
        self._marks: List[Tuple[float, str]] = []
        # Markers with no sample in the file: before its start, after its end.
        self._outside: List[Tuple[float, str]] = []
        self.timeline = FileTimeline(self.rate)
        self.samples = 0  # file positions filled: scans written and gap fillers
        self.lost_samples = 0  # fillers from the library: samples lost on the radio
        self.gap_samples = 0  # fillers put in for gaps in time
        self.skipped_before_start = 0
        self.failed: Optional[RecordingWriteError] = None
        self.sidecar_error: Optional[OSError] = None
        self._lost_run = 0
        self._last_row: Optional[np.ndarray] = None
        self._last_time: Optional[float] = None
        self._last_counter: Optional[float] = None
        self.closed = False

    @property
    def start(self) -> Optional[float]:
        """``time.monotonic()`` of the file's first sample position."""
        return self._start

    @property
    def clipped(self) -> int:
        """Values outside the physical range, written as the range's limit."""
        return sum(self._writer.clipped.values()) if self._writer else 0

    def _open(self, start: float) -> None:
        # The header's start has 0.1 ms steps, as annotation onsets do; in UTC, as MNE reads it.
        wall = round((start + self.clock_offset) / _TICK) * _TICK
        self._start = wall - self.clock_offset
        when = datetime.datetime.fromtimestamp(wall, tz=datetime.timezone.utc)
        info = self.info
        # The header's recording field has little room: firmware and hardware
        # first, then the model (cut when too long).
        recording = "fw:%s hw:%s %s" % (_field(info.firmware), _field(info.hardware), _field(info.model))
        try:
            self._writer = bdf.BdfWriter(self.path, self.signals, when, equipment=_field(info.serial),
                                         recording=recording, patient_code="X", prefilter=self.prefilter)
        except RecordingWriteError as error:
            self.failed = error
            raise

    def begin(self, start: float, lead_in: int = 0) -> None:
        """Opens the file at `start` (time.monotonic()), `lead_in` filler scans before the first sample.

        Several amplifiers' files share one start this way; without a call the
        file starts at the first sample written.
        """
        if self._writer is not None:
            raise ValueError("the recording has begun")
        with interrupts.deferred():
            self._open(start)
            self._lead_in(lead_in)

    def _lead_in(self, count: int) -> None:
        # The file starts before this amplifier's first sample: fillers up to it.
        if count > 0:
            self._add(0.0, count / float(self.rate), "before first sample")
            self._queue(np.zeros((count, len(self._types)), dtype=np.float64))
            self.timeline.break_here()

    def write(self, data: np.ndarray, times: np.ndarray) -> None:
        """Adds scans (n, values per scan) with their sample times (time.monotonic()).

        Ctrl-C during a write takes effect when it is done: a write cut short
        could leave half a data record in the file or a second twice.
        """
        if self.closed:
            raise ValueError("the recording is closed")
        if self.failed is not None:
            raise self.failed
        data = np.asarray(data, dtype=np.float64)
        if data.ndim != 2 or data.shape[1] != len(self._types):
            raise ValueError("scans must be (n, %d)" % len(self._types))
        if len(data) == 0:
            return
        times = np.asarray(times, dtype=np.float64)
        with interrupts.deferred():
            self._write(data, times)

    def _write(self, data: np.ndarray, times: np.ndarray) -> None:
        if self._writer is None:
            self._open(float(times[0]))
        elif self.samples == 0 and self._start is not None:
            # Begun at a shared start before this amplifier sent anything.
            self._lead_in(int(round((float(times[0]) - self._start) * self.rate)))
        previous = self._last_time if self._last_time is not None else float(times[0]) - 1.0 / self.rate
        steps = np.diff(np.concatenate([[previous], times]))
        first = 0
        for gap_at in np.nonzero(steps > _GAP_PERIODS / self.rate)[0]:
            self._take(data[first:gap_at], times[first:gap_at])
            self._fill_gap(float(times[gap_at]) - (self._last_time if self._last_time is not None else previous))
            first = int(gap_at)
        self._take(data[first:], times[first:])
        self._resolve_marks(final=False)
        self._write_whole_records()

    def _write_whole_records(self) -> None:
        try:
            while len(self._pending) >= self.rate:
                self._write_record(self._pending[:self.rate])
                self._pending = self._pending[self.rate:]
        except RecordingWriteError as error:
            self.failed = error
            raise

    def _take(self, data: np.ndarray, times: np.ndarray) -> None:
        if len(data) == 0:
            return
        positions = np.arange(self.samples, self.samples + len(data))
        self._scan_events(data, positions)
        self.timeline.add(positions, times)
        self._last_time = float(times[-1])
        self._last_row = data[-1]
        self._queue(data)

    def _fill_gap(self, seconds: float) -> None:
        # Nobody measured for `seconds`: fillers keep every later sample at its time.
        count = int(round(seconds * self.rate)) - 1
        if count <= 0:
            return
        row = self._last_row if self._last_row is not None else np.zeros(len(self._types))
        filler = np.repeat(row[None, :], count, axis=0)
        if self._valid is not None:
            filler[:, self._valid] = 0.0
        self._add(self.samples / float(self.rate), count / float(self.rate),
                  "link lost: %.3f s" % (count / float(self.rate)))
        self.gap_samples += count
        self._queue(filler)
        self.timeline.break_here()

    def _queue(self, rows: np.ndarray) -> None:
        self.samples += len(rows)
        self._pending = np.concatenate([self._pending, rows])

    def _write_record(self, block: np.ndarray) -> None:
        cols = [block[:, c].copy() for c in range(block.shape[1])]
        if self._counter is not None:
            cols[self._counter] = np.mod(cols[self._counter], _COUNTER_MODULO)
        assert self._writer is not None
        # Fillers repeat a value nobody measured: a clipped one is not counted again.
        self._writer.write_record(cols, None if self._valid is None else block[:, self._valid] != 0.0)
        # EDFlib writes annotations at close only: the sidecar keeps them, rewritten
        # each second, so that a killed recording loses at most the last second's.
        self._write_sidecar()

    def _scan_events(self, data: np.ndarray, positions: np.ndarray) -> None:
        rate = float(self.rate)
        if self._valid is not None:
            lost = data[:, self._valid] == 0.0
            for i, is_lost in enumerate(lost):
                if is_lost:
                    self._lost_run += 1
                elif self._lost_run:
                    self._end_lost_run(int(positions[i]))
            self.lost_samples += int(lost.sum())
        if self._counter is not None:
            counter = data[:, self._counter]
            prev = np.concatenate([[self._last_counter if self._last_counter is not None else -np.inf],
                                   counter[:-1]])
            for i in np.nonzero(counter < prev)[0]:
                self._add(int(positions[i]) / rate, None,
                          "counter restart (%d after %d)" % (int(counter[i]), int(prev[i])))
            self._last_counter = float(counter[-1])

    def _end_lost_run(self, end_position: int) -> None:
        count, self._lost_run = self._lost_run, 0
        self._add((end_position - count) / float(self.rate), count / float(self.rate), "lost samples: %d" % count)

    def _add(self, onset: float, duration: Optional[float], text: str) -> None:
        with self._lock:
            self._annotations.append((max(onset, 0.0), duration, text))

    def mark(self, text: str, at: Optional[float] = None) -> float:
        """A user marker now (or at `at`, time.monotonic()); any thread. Returns its time.

        It goes into the file at the position of the sample taken at that
        time. EDFlib keeps the first 40 bytes of an annotation's text.
        """
        when = time.monotonic() if at is None else float(at)
        with self._lock:
            self._marks.append((when, text))
        return when

    def _resolve_marks(self, final: bool) -> None:
        # Markers whose time the samples have reached get their positions.
        with self._lock:
            marks = self._marks
            if not final and self._last_time is not None:
                ready = [m for m in marks if m[0] <= self._last_time]
            else:
                ready = list(marks) if final else []
            self._marks = [m for m in marks if m not in ready]
        end = -(-self.samples // self.rate) * self.rate  # the last second is padded at close
        for when, text in ready:
            position = self.timeline.position_of(when)
            if position < -0.5 or (final and position >= end - 0.5):  # no sample was taken then
                with self._lock:
                    self._outside.append((position / float(self.rate), text))
            else:
                self._add(position / float(self.rate), None, text)

    def lost_to_end(self) -> None:
        """Notes at the last sample that no sample came after it (the link was lost for good)."""
        if self.samples:
            self._add((self.samples - 1) / float(self.rate), None, "link lost: no samples after this")

    def position_of(self, when: float) -> float:
        """The file position (in samples) of the time `when` (time.monotonic())."""
        return self.timeline.position_of(when)

    def sidecar(self) -> dict:
        """The file's times, segments, fitted rate and annotations."""
        with self._lock:
            notes = sorted(self._annotations, key=lambda a: a[0])
            outside = sorted(self._outside)
        records = self._writer.records if self._writer is not None else 0
        in_file = records * self.rate
        if self.failed is not None:
            notes = [a for a in notes if a[0] < records]  # only what the file holds
        segments = self.timeline.summary()
        for segment in segments:
            for key in ("first_time", "last_time"):
                segment[key + "_wall"] = segment[key] + self.clock_offset  # type: ignore[operator]
        first = segments[0]["first_time"] if segments else None
        last = segments[-1]["last_time"] if segments else None
        wall = self.clock_offset
        return {
            "file": os.path.basename(self.path),
            "serial": self.info.serial,
            "model": self.info.model,
            "firmware": self.info.firmware,
            "hardware": self.info.hardware,
            "nominal_rate": self.rate,
            "fitted_rate": self.timeline.fitted_rate(),
            "file_start_time": self._start + wall if self._start is not None else None,
            "file_start_monotonic": self._start,
            "first_sample_time": first + wall if first is not None else None,  # type: ignore[operator]
            "last_sample_time": last + wall if last is not None else None,  # type: ignore[operator]
            "samples": self.samples,
            "samples_in_file": in_file if self.closed or self.failed else self.samples,
            "records_in_file": records,
            "lost_samples": self.lost_samples,
            "gap_samples": self.gap_samples,
            "skipped_before_start": self.skipped_before_start,
            "clipped_values": self.clipped,
            "physical_range_uv": self.range_uv,
            "segments": segments,
            "write_error": str(self.failed) if self.failed is not None else None,
            "annotations": [{"onset": o, "duration": d, "text": t} for o, d, t in notes],
            "markers_outside_file": [{"onset": o, "text": t} for o, t in outside],
        }

    def _write_sidecar(self) -> None:
        path = sidecar_path(self.path)
        temporary = path + ".tmp"
        try:
            with open(temporary, "w", encoding="utf-8") as f:
                json.dump(self.sidecar(), f, indent=2)
                f.write("\n")
            os.replace(temporary, path)
            self.sidecar_error = None
        except OSError as error:
            # No room for it either: no half-written file is left behind.
            self.sidecar_error = error
            try:
                os.remove(temporary)
            except OSError:
                pass

    def close(self) -> dict:
        """Finishes the file (last second padded) and writes the sidecar; with no sample, neither exists."""
        if self.closed:
            return self.sidecar()
        with interrupts.deferred():
            self._close()
        return self.sidecar()

    def _close(self) -> None:
        if self._lost_run:
            self._end_lost_run(self.samples)
        self._resolve_marks(final=True)
        writer = self._writer
        if writer is not None:
            if self.failed is None:
                try:
                    self._write_whole_records()  # more than a second queued: a long lead-in
                except RecordingWriteError:
                    pass
            if len(self._pending) and self.failed is None:
                count = self.rate - len(self._pending)
                pad = np.repeat(self._pending[-1:], count, axis=0)
                if self._valid is not None:
                    pad[:, self._valid] = 0.0
                self._add(self.samples / float(self.rate), count / float(self.rate),
                          "end (padded: %d samples)" % count)
                try:
                    self._write_record(np.concatenate([self._pending, pad]))
                except RecordingWriteError as error:
                    self.failed = error
            self._pending = self._pending[:0]
            with self._lock:
                notes = sorted(self._annotations, key=lambda a: a[0])
            for onset, duration, text in notes:
                writer.annotate(onset, text, duration)
            writer.close()
        self.closed = True
        if writer is not None:  # never begun: no file, and no sidecar of one
            self._write_sidecar()

    def __enter__(self) -> "Recorder":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class AmplifierRecording:
    """Writes what ``amplifier.read()`` returns into `path`; call ``poll()`` regularly.

    The amplifier must be streaming (``start()``); this object reads its ring
    buffer, so do not also ``read()`` it elsewhere (a second recording or an
    LSL publication of the same object is refused until ``close()``). ``mark(text)`` may be called
    from any thread; ``close()`` finishes the file and its JSON sidecar. The
    path is checked at once: ``OutputPathError`` for a file that exists (unless
    `overwrite`), is not ``.bdf`` or has no writable folder. With
    `lsl_markers` (a stream name or type) the string markers of those Lab
    Streaming Layer streams are marked too, at their LSL time stamps
    (``tavo_ble.lsl.MarkerInlet``).
    """

    def __init__(self, amplifier, path: str, range_uv: float = DEFAULT_RANGE_UV, overwrite: bool = False,
                 prefilter: str = "", lsl_markers: Optional[str] = None) -> None:
        info = amplifier.info
        self.amplifier = amplifier
        amplifier._claim_reads(self, "a recording")
        try:
            self.recorder = Recorder(path, RecordingInfo(
                info.serial_number, info.model_number, info.firmware_revision, int(info.sampling_rate),
                [c.type_code for c in info.channels], info.hardware_revision), range_uv=range_uv,
                overwrite=overwrite, prefilter=prefilter,
                clock_offset=amplifier.stream_start_wall - amplifier.stream_start_monotonic
                if amplifier.stream_start_monotonic else None)
            self.lsl_markers = None
            if lsl_markers:
                from .lsl import MarkerInlet

                self.lsl_markers = MarkerInlet(lsl_markers, self.recorder.mark)
        except BaseException:
            amplifier._release_reads(self)
            raise

    def poll(self, timeout: float = 0.1) -> int:
        """Writes the scans that have arrived (waiting up to `timeout` s); returns their number.

        Raises ``RecordingWriteError`` when the file cannot be written: the
        recording has stopped; ``close()`` leaves a valid file.
        """
        if timeout is None or timeout > 0:
            self.amplifier.read(max_scans=0, timeout=timeout)  # waits for scans, takes none
        # Ctrl-C waits until the scans taken are in the file: none is lost between.
        with interrupts.deferred():
            data, times = self.amplifier.read()
            self.recorder.skipped_before_start = self.amplifier.skipped_before_start
            if len(data):
                self.recorder.write(data, times)
        return len(data)

    def mark(self, text: str, at: Optional[float] = None) -> float:
        """A user marker now, or at `at` (time.monotonic()); returns its time."""
        return self.recorder.mark(text, at)

    def close(self) -> dict:
        """Writes what is left and finishes the file; returns the sidecar's contents."""
        if self.lsl_markers is not None:
            self.lsl_markers.close()
        if not self.recorder.closed and self.recorder.failed is None:
            try:
                self.poll(timeout=0.0)
            except RecordingWriteError:
                pass
            if self.amplifier.stalled:
                self.recorder.lost_to_end()
        try:
            return self.recorder.close()
        finally:
            self.amplifier._release_reads(self)

    def __enter__(self) -> "AmplifierRecording":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
