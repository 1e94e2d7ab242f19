"""Recording an amplifier's scans into a BDF+ file, one data record per second.

``AmplifierRecording`` records a streaming ``Amplifier``; ``Recorder`` writes
chunks of scans with their times, from any source.

A scan holds the amplifier's channels in channel order, then the battery level
and the data-valid flag; each becomes a signal of the file. The recorder takes
chunks of scans with their de-jittered sample times (wall clock), writes every
whole second as soon as it is complete, and annotates what a reader of the
signals must know: runs of filler scans, link losses, counter restarts and the
user's markers. A JSON sidecar next to the file keeps the first and last sample
times and the rate fitted from them, for aligning several amplifiers afterwards.
"""
import datetime
import json
import os
import threading
from dataclasses import dataclass
from typing import List, Optional, Sequence, Tuple

import numpy as np

from . import bdf, channels

# Typical full scale of the amplifier's 24-bit measuring channels: 8388608 steps
# of 0.02235174 uV is +-187.5 mV. Values beyond the range are clipped and counted.
DEFAULT_RANGE_UV = 187500.0
# The counter is kept modulo 2**24 so that it fits BDF's 24 bits for ~18 h at 250/s.
_COUNTER_MODULO = 1 << 24
_TICK = 1e-4  # annotation onsets are kept to 0.1 ms


@dataclass(frozen=True)
class RecordingInfo:
    """What the file header says about the amplifier."""

    serial: str
    model: str
    firmware: str
    rate: int
    channel_types: Sequence[int]


def _signals(info: RecordingInfo, range_uv: float) -> List[bdf.Signal]:
    signals = []
    for index, code in enumerate(info.channel_types):
        if code == channels.BATTERY:
            signals.append(bdf.Signal("Battery", "%", info.rate, 0.0, 255.0))
        elif code == channels.DATA_VALID:
            signals.append(bdf.Signal("Data valid", "", info.rate, 0.0, 1.0))
        elif code == channels.COUNTER:
            signals.append(bdf.Signal("Ch%d counter" % (index + 1), "", info.rate, 0.0,
                                      float(_COUNTER_MODULO - 1)))
        else:
            signals.append(bdf.Signal("Ch%d type %d" % (index + 1, code), "uV", info.rate,
                                      -range_uv, range_uv))
    return signals


class _RateFit:
    """Least-squares line of sample time against sample number."""

    def __init__(self) -> None:
        self.n = 0
        self._sx = self._sy = self._sxx = self._sxy = 0.0
        self._x0: Optional[float] = None
        self._y0 = 0.0

    def add(self, index: np.ndarray, times: np.ndarray) -> None:
        if len(index) == 0:
            return
        if self._x0 is None:
            self._x0, self._y0 = float(index[0]), float(times[0])
        x = index.astype(np.float64) - self._x0
        y = times.astype(np.float64) - self._y0
        self.n += len(x)
        self._sx += float(x.sum())
        self._sy += float(y.sum())
        self._sxx += float((x * x).sum())
        self._sxy += float((x * y).sum())

    def line(self) -> Optional[Tuple[float, float]]:
        """(time of sample 0, seconds per sample), or None with fewer than 2 samples."""
        if self._x0 is None or self.n < 2:
            return None
        den = self.n * self._sxx - self._sx * self._sx
        if den <= 0:
            return None
        slope = (self.n * self._sxy - self._sx * self._sy) / den
        icpt = (self._sy - slope * self._sx) / self.n
        return self._y0 + icpt - slope * self._x0, slope


class Recorder:
    """Writes the scans of one amplifier into a BDF+ file as they arrive.

    `write()` is called from one thread (the one reading the stream); `mark()`
    may be called from any thread.
    """

    def __init__(self, path: str, info: RecordingInfo, start: Optional[float] = None,
                 range_uv: float = DEFAULT_RANGE_UV) -> None:
        if info.rate <= 0 or int(info.rate) != info.rate:
            raise ValueError("BDF needs a whole number of samples per second, not %r" % info.rate)
        if not range_uv > 0:
            raise ValueError("the physical range must be positive")
        self.path = path
        self.info = info
        self.range_uv = float(range_uv)
        self.signals = _signals(info, self.range_uv)
        self._types = list(info.channel_types)
        self._valid = channels.index_of(self._types, channels.DATA_VALID)
        self._counter = None
        for index, code in enumerate(self._types):
            if code == channels.COUNTER:
                self._counter = index
        self._start = start  # wall time of the first sample; fixed by the first chunk if None
        self._writer: Optional[bdf.BdfWriter] = None
        self._pending = np.zeros((0, len(self._types)), dtype=np.float64)
        self._lock = threading.Lock()
        self._annotations: List[Tuple[float, Optional[float], str]] = []
        self._fit = _RateFit()
        self.samples = 0
        self.lost_samples = 0
        self._lost_run = 0
        self._last_counter: Optional[float] = None
        self._first_time: Optional[float] = None
        self._last_time: Optional[float] = None
        self.closed = False

    @property
    def start(self) -> Optional[float]:
        """Wall-clock time (seconds since the epoch) of the file's first sample."""
        return self._start

    @property
    def clipped(self) -> int:
        """Values outside the physical range, written as the range's limit."""
        return sum(self._writer.clipped.values()) if self._writer else 0

    def _open(self, first_time: float) -> None:
        if self._start is None:
            self._start = first_time
        # Annotation onsets have 0.1 ms steps: start on such a step too. The header's
        # start date and time are UTC, as MNE reads them.
        self._start = round(self._start / _TICK) * _TICK
        when = datetime.datetime.fromtimestamp(self._start, tz=datetime.timezone.utc)
        self._writer = bdf.BdfWriter(
            self.path, self.signals, when, equipment=self.info.serial,
            recording="model %s firmware %s" % (self.info.model, self.info.firmware),
            patient_code="X")

    def begin(self, start: float, lead_in: int = 0) -> None:
        """Open the file at wall time `start`, `lead_in` filler scans before the first sample.

        Several amplifiers' files share one start this way; without a call the
        file starts at the first sample written.
        """
        if self._writer is not None:
            raise ValueError("the recording has begun")
        self._open(start)
        if lead_in > 0:
            filler = np.zeros((lead_in, len(self._types)), dtype=np.float64)
            self._add(0.0, lead_in / float(self.info.rate), "before first sample")
            self.samples += lead_in
            self._pending = filler

    def write(self, data: np.ndarray, times: np.ndarray) -> None:
        """Add scans (n, values per scan) with their sample times (wall clock)."""
        if self.closed:
            raise ValueError("the recording is closed")
        data = np.asarray(data, dtype=np.float64)
        if data.ndim != 2 or data.shape[1] != len(self._types):
            raise ValueError("scans must be (n, %d)" % len(self._types))
        if len(data) == 0:
            return
        times = np.asarray(times, dtype=np.float64)
        if self._writer is None:
            self._open(float(times[0]))
        index = np.arange(self.samples, self.samples + len(data))
        if self._valid is not None:
            # Fillers arrive with the next measured notification, not at their own time.
            keep = data[:, self._valid] != 0.0
            index, fit_times = index[keep], times[keep]
        else:
            fit_times = times
        self._fit.add(index, fit_times)
        if self._first_time is None:
            self._first_time = float(times[0]) - self.samples / float(self.info.rate)
        self._last_time = float(times[-1])
        self._scan_events(data)
        self.samples += len(data)
        self._pending = np.concatenate([self._pending, data])
        rate = self.info.rate
        while len(self._pending) >= rate:
            self._write_record(self._pending[:rate])
            self._pending = self._pending[rate:]

    def _write_record(self, block: np.ndarray) -> None:
        cols = [block[:, c].copy() for c in range(block.shape[1])]
        if self._counter is not None:
            cols[self._counter] = np.mod(cols[self._counter], _COUNTER_MODULO)
        assert self._writer is not None
        self._writer.write_record(cols)
        # EDFlib writes annotations at close only: the sidecar keeps them, rewritten
        # each second, so that a killed recording loses at most the last second's.
        self._write_sidecar()

    def _scan_events(self, data: np.ndarray) -> None:
        rate = float(self.info.rate)
        if self._valid is not None:
            lost = data[:, self._valid] == 0.0
            for i, is_lost in enumerate(lost):
                if is_lost:
                    self._lost_run += 1
                elif self._lost_run:
                    self._end_lost_run(self.samples + i)
            self.lost_samples += int(lost.sum())
        if self._counter is not None:
            counter = data[:, self._counter]
            prev = np.concatenate([[self._last_counter if self._last_counter is not None else -np.inf],
                                   counter[:-1]])
            for i in np.nonzero(counter < prev)[0]:
                self._add((self.samples + int(i)) / rate, None,
                          "counter restart (%d after %d)" % (int(counter[i]), int(prev[i])))
            self._last_counter = float(counter[-1])

    def _end_lost_run(self, end_index: int) -> None:
        rate = float(self.info.rate)
        count, self._lost_run = self._lost_run, 0
        self._add((end_index - count) / rate, count / rate, "lost samples: %d" % count)

    def _add(self, onset: float, duration: Optional[float], text: str) -> None:
        with self._lock:
            self._annotations.append((max(onset, 0.0), duration, text))

    def _onset(self, wall: Optional[float]) -> float:
        if wall is None:
            return self.samples / float(self.info.rate)
        start = self._start if self._start is not None else wall
        return wall - start

    def mark(self, text: str, at: Optional[float] = None) -> None:
        """A user marker now (or at wall-clock time `at`); any thread.

        EDFlib keeps the first 40 bytes of an annotation's text.
        """
        import time

        self._add(self._onset(time.time() if at is None else at), None, text)

    def link_lost(self, at: Optional[float] = None) -> None:
        """The stream stalled (the link dropped) at wall time `at` (default: after the last sample)."""
        self._add(self._onset(at), None, "link lost")

    def link_restored(self, gap_seconds: float, gap_samples: int, at: Optional[float] = None) -> None:
        """Data flows again after a gap of `gap_seconds` and `gap_samples`."""
        self._add(self._onset(at), None, "link restored: gap %.3f s, %d samples"
                  % (gap_seconds, gap_samples))

    def sidecar(self) -> dict:
        """The times of the first and last sample, and the rate fitted from all of them."""
        line = self._fit.line()
        with self._lock:
            notes = sorted(self._annotations, key=lambda a: a[0])
        first = last = rate = None
        if line is not None:
            t0, step = line
            first, last = t0, t0 + step * (self.samples - 1)
            rate = 1.0 / step if step > 0 else None
        return {
            "file": os.path.basename(self.path),
            "serial": self.info.serial,
            "model": self.info.model,
            "firmware": self.info.firmware,
            "nominal_rate": self.info.rate,
            "fitted_rate": rate,
            "file_start_time": self._start,
            "first_sample_time": first if first is not None else self._first_time,
            "last_sample_time": last if last is not None else self._last_time,
            "samples": self.samples,
            "samples_in_file": self.samples + (-self.samples % self.info.rate),
            "lost_samples": self.lost_samples,
            "clipped_values": self.clipped,
            "physical_range_uv": self.range_uv,
            "annotations": [{"onset": o, "duration": d, "text": t} for o, d, t in notes],
        }

    def _write_sidecar(self) -> None:
        path = sidecar_path(self.path)
        with open(path + ".tmp", "w", encoding="utf-8") as f:
            json.dump(self.sidecar(), f, indent=2)
            f.write("\n")
        os.replace(path + ".tmp", path)

    def close(self) -> dict:
        """Finish the file (the last second is padded as filler) and write the sidecar."""
        if self.closed:
            return self.sidecar()
        self.closed = True
        if self._lost_run:
            self._end_lost_run(self.samples)
        if self._writer is not None:
            if len(self._pending):
                pad = np.repeat(self._pending[-1:], self.info.rate - len(self._pending), axis=0)
                if self._valid is not None:
                    pad[:, self._valid] = 0.0
                self._add(self.samples / float(self.info.rate), len(pad) / float(self.info.rate),
                          "end (padded: %d samples)" % len(pad))
                self._write_record(np.concatenate([self._pending, pad]))
                self._pending = self._pending[:0]
            with self._lock:
                notes = sorted(self._annotations, key=lambda a: a[0])
            for onset, duration, text in notes:
                self._writer.annotate(onset, text, duration)
            self._writer.close()
        self._write_sidecar()
        return self.sidecar()

    def __enter__(self) -> "Recorder":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def sidecar_path(path: str) -> str:
    """The JSON file beside a recording: FILE.bdf -> FILE.json."""
    root, _ = os.path.splitext(path)
    return root + ".json"


def file_for_serial(path: str, serial: str) -> str:
    """With several amplifiers, one file each: FILE.bdf -> FILE_<serial>.bdf."""
    root, ext = os.path.splitext(path)
    safe = "".join(ch if ch.isalnum() or ch in "-." else "_" for ch in serial)
    return "%s_%s%s" % (root, safe, ext or ".bdf")


class AmplifierRecording:
    """Writes what ``amplifier.read()`` returns into `path`; call ``poll()`` regularly.

    The amplifier must be streaming (``start()``); this object reads its ring
    buffer, so do not also ``read()`` it elsewhere. ``mark(text)`` may be called
    from any thread; ``close()`` finishes the file and its JSON sidecar.
    """

    def __init__(self, amplifier, path: str, range_uv: float = DEFAULT_RANGE_UV) -> None:
        info = amplifier.info
        self.amplifier = amplifier
        self.recorder = Recorder(path, RecordingInfo(
            info.serial_number, info.model_number, info.firmware_revision, int(info.sampling_rate),
            [c.type_code for c in info.channels]), range_uv=range_uv)

    def _wall(self, monotonic: float) -> float:
        amp = self.amplifier
        return amp.stream_start_wall + (monotonic - amp.stream_start_monotonic)

    def poll(self, timeout: float = 0.1) -> int:
        """Writes the scans that have arrived (waiting up to `timeout` s); returns their number."""
        data, times = self.amplifier.read(timeout=timeout)
        if len(data):
            self.recorder.write(data, self._wall(times))
        for event in self.amplifier.events():
            if event.kind == "stall":
                self.recorder.link_lost(at=self._wall(event.time))
            elif event.kind == "resumed":
                self.recorder.link_restored(event.seconds, event.samples, at=self._wall(event.time))
        return len(data)

    def mark(self, text: str, at: Optional[float] = None) -> None:
        """A user marker now, or at wall-clock time `at`."""
        self.recorder.mark(text, at)

    def close(self) -> dict:
        """Writes what is left and finishes the file; returns the sidecar's contents."""
        if not self.recorder.closed:
            self.poll(timeout=0.0)
        return self.recorder.close()

    def __enter__(self) -> "AmplifierRecording":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
