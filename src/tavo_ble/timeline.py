"""The times and events of one stream, scan by scan: pure, without threads.

``StreamTimeline.place(scan, arrival)`` is called for every scan in order,
with the ``time.monotonic()`` at which it reached the host, and gives the
scan's sample time; ``check_stall(now)`` is called now and then from
elsewhere. Both append ``StreamEvent`` records to ``pending``. The object
starts no thread and takes no lock: its owner calls it from one thread at a
time.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import List, Optional

import numpy as np

from .sample_clock import SampleClock

# Scans that arrive closer together than this share of a sample period came in
# one notification: the library hands them over one after the other, and on a
# busy host Python takes a while between them, while notifications (a period
# or more apart) rarely come closer.
_SAME_NOTIFICATION = 0.5


@dataclass(frozen=True)
class StreamEvent:
    """Something that happened to a stream; see ``tavo_ble.amplifier``."""

    kind: str
    serial: str
    time: float
    first_sample: int = 0
    samples: int = 0
    seconds: float = 0.0


class StreamTimeline:
    """Sample times and stream events of one stream of one amplifier."""

    def __init__(self, serial: str, rate: int, valid_index: Optional[int],
                 stall_timeout: Optional[float] = None, start: float = 0.0) -> None:
        self.serial = serial
        self.rate = max(int(rate), 1)
        self.valid_index = valid_index
        self.stall_timeout = stall_timeout
        self.start = start  # time.monotonic() when the stream was started
        self.pending: List[StreamEvent] = []
        self.clock = SampleClock(self.rate)
        self._same_notification = _SAME_NOTIFICATION / self.rate
        self.sample_count = 0
        self.stalls = 0
        self.stalled = False
        self._group_arrival = -1.0
        self.last_arrival = -1.0
        self._group_size = 0
        self._scans_per_notification = 1
        self._last_time = -np.inf
        self._last_measured = -1
        self._last_measured_arrival = 0.0
        self._filler_first = -1
        self._filler_time = 0.0
        self._stall_sample = 0

    def effective_stall_timeout(self) -> float:
        """Seconds without a scan that make a stall (default five notifications, at least 0.5 s)."""
        if self.stall_timeout is not None:
            return float(self.stall_timeout)
        return max(0.5, 5.0 * self._scans_per_notification / self.rate)

    def _emit(self, kind: str, time: float, first: int, samples: int = 0, seconds: float = 0.0) -> None:
        self.pending.append(StreamEvent(kind, self.serial, time, first, samples, seconds))

    def is_filler(self, scan: np.ndarray) -> bool:
        """True for a scan the library put in for a lost sample."""
        index = self.valid_index
        return index is not None and index < len(scan) and scan[index] == 0.0

    def place(self, scan: np.ndarray, arrival: float) -> "tuple[float, float]":
        """The sample time of the next scan and its notification's arrival."""
        filler = self.is_filler(scan)
        clock = self.clock
        if arrival - self.last_arrival > self._same_notification or self._group_arrival < 0:
            if self._group_arrival >= 0:
                # A notification's arrival stands for its last sample; only the
                # first anchors the clock at its first sample, the time its
                # scans were given before there was a clock.
                anchor = self.sample_count - 1 if clock.updates else self.sample_count - self._group_size
                clock.update(anchor, self._group_arrival)
                self._scans_per_notification = max(1, self._group_size)
                if self.stalled and not filler and arrival - clock.time_of(self.sample_count) > (
                        self.effective_stall_timeout() / 2):
                    # Measured data again after a stall, far later than the sample
                    # numbers say: the amplifier paused. Its sample times start anew here.
                    clock.restart()
            self._group_arrival = arrival
            self._group_size = 0
        self.last_arrival = arrival
        self._group_size += 1
        arrival = self._group_arrival
        number = self.sample_count
        self.sample_count = number + 1
        fitted = clock.time_of(number)
        if fitted != fitted:  # no clock yet: the first notification's scans a period apart from its arrival
            fitted = arrival + (self._group_size - 1) * clock.nominal_period
        if not fitted > self._last_time:
            # The line moved back by more than a period (after late notifications):
            # keep the times rising, by a quarter period, until it catches up.
            fitted = self._last_time + clock.nominal_period / 4 if np.isfinite(self._last_time) else arrival
        self._last_time = fitted
        if filler:
            if self._filler_first < 0:
                self._filler_first = number
                self._filler_time = fitted
        else:
            if self._filler_first >= 0:
                self._emit("fillers", self._filler_time, self._filler_first, number - self._filler_first,
                           fitted - self._filler_time)
                self._filler_first = -1
            if self.stalled:
                self.stalled = False
                self._emit("resumed", arrival, self._stall_sample, number - self._last_measured - 1,
                           arrival - self._last_measured_arrival)
            self._last_measured = number
            self._last_measured_arrival = arrival
        return fitted, arrival

    def check_stall(self, now: float) -> None:
        """Notes a stall when no scan came for the stall timeout up to `now`."""
        if self.stalled:
            return
        last = self.last_arrival if self.last_arrival >= 0 else self.start
        if now - last > self.effective_stall_timeout():
            self.stalled = True
            self._stall_sample = self.sample_count
            self.stalls += 1
            if self._last_measured < 0:
                self._last_measured_arrival = last
            self._emit("stall", last, self.sample_count, 0, now - last)

    def take(self) -> List[StreamEvent]:
        """The events since the last call."""
        taken, self.pending = self.pending, []
        return taken
