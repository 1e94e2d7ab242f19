"""Where each sample of a recording sits in its file, and when it was sampled.

A recording's file has a fixed rate: sample position ``p`` is ``p / rate``
seconds after the file's start. The samples come in segments, each with its
own line of time against position (the amplifier's clock, fitted per
segment); between segments the file holds filler samples for the time
nobody measured. This maps times to positions (for markers and other
annotations) and fits each segment's rate.
"""
from typing import Dict, List, Optional

import numpy as np


class _Segment:
    def __init__(self, position: int, time: float) -> None:
        self.first_position = position
        self.first_time = time
        self.last_position = position
        self.last_time = time
        self.n = 0
        self._sx = self._sy = self._sxx = self._sxy = 0.0

    def add(self, positions: np.ndarray, times: np.ndarray) -> None:
        x = positions.astype(np.float64) - self.first_position
        y = times - self.first_time
        self.n += len(x)
        self._sx += float(x.sum())
        self._sy += float(y.sum())
        self._sxx += float((x * x).sum())
        self._sxy += float((x * y).sum())
        self.last_position = int(positions[-1])
        self.last_time = float(times[-1])

    def period(self) -> Optional[float]:
        """The fitted seconds per sample, or None with fewer than 2 samples."""
        den = self.n * self._sxx - self._sx * self._sx
        if self.n < 2 or den <= 0:
            return None
        return (self.n * self._sxy - self._sx * self._sy) / den


class FileTimeline:
    """The segments of one recording: positions and sample times (time.monotonic())."""

    def __init__(self, rate: int) -> None:
        self.rate = int(rate)
        self.segments: List[_Segment] = []
        self._new = True

    def break_here(self) -> None:
        """The next samples start a new segment (after a gap)."""
        self._new = True

    def add(self, positions: np.ndarray, times: np.ndarray) -> None:
        """Measured or filler samples at these file positions, with their sample times."""
        if len(positions) == 0:
            return
        if self._new or not self.segments:
            self.segments.append(_Segment(int(positions[0]), float(times[0])))
            self._new = False
        self.segments[-1].add(np.asarray(positions), np.asarray(times, dtype=np.float64))

    def position_of(self, time: float) -> float:
        """The (fractional) file position of `time`: on its segment's line, or in the gap before it.

        Before the file's start it is negative, after the last sample beyond
        it: such a time has no sample in the file."""
        if not self.segments:
            return 0.0
        for index, segment in enumerate(self.segments):
            if time < segment.first_time:
                if index == 0:
                    return segment.first_position - (segment.first_time - time) * self.rate
                # In a gap: the fillers stand for it at the nominal rate.
                before = self.segments[index - 1]
                gap = before.last_position + (time - before.last_time) * self.rate
                return min(gap, float(segment.first_position))
            if time <= segment.last_time and segment.last_time > segment.first_time:
                share = (time - segment.first_time) / (segment.last_time - segment.first_time)
                return segment.first_position + share * (segment.last_position - segment.first_position)
        last = self.segments[-1]
        return last.last_position + (time - last.last_time) * self.rate

    def summary(self) -> List[Dict[str, object]]:
        """Each segment: its first position, sample count and times, and its fitted rate."""
        rows = []
        for segment in self.segments:
            period = segment.period()
            rows.append({
                "first_sample": segment.first_position,
                "samples": segment.last_position - segment.first_position + 1,
                "first_time": segment.first_time,
                "last_time": segment.last_time,
                "fitted_rate": 1.0 / period if period else None,
            })
        return rows

    def fitted_rate(self) -> Optional[float]:
        """The segments' fitted rates, weighted by their lengths."""
        rated = [(r["fitted_rate"], r["samples"]) for r in self.summary() if r["fitted_rate"]]
        total = sum(n for _, n in rated)
        return sum(r * n for r, n in rated) / total if total else None
