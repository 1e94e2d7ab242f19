"""The times and events of one stream, scan by scan: pure, without threads.

``StreamTimeline.feed(scan, arrival)`` is called for every scan the library
delivers, in order, with the ``time.monotonic()`` at which it reached the
host; it returns the scans that are ready, each with its sample time (when
the amplifier sampled it, on ``time.monotonic()``'s clock) and its
notification's arrival. ``check_stall(now)`` is called now and then from
elsewhere. Both append ``StreamEvent`` records to ``pending``. The object
starts no thread and takes no lock: its owner calls it from one thread at a
time.

Time. Within a segment of the stream, sample ``n`` is at ``offset + n *
period``, fitted from arrival against sample number (``SampleClock``), so
radio jitter does not show. Fillers the library puts in for samples lost on
the radio keep their places on that line.

Before the start. The library puts a filler before the first measured scan
for every sample the amplifier counted before the stream (and across a stop
and start). Those samples were never streamed: not lost, and without a time.
They are skipped and counted (``skipped_before_start``), and a ``"skipped"``
event says so.

Gaps. When a notification arrives later than its sample numbers say by more
than the jitter bound, either the host was slow (a backlog, which arrives in
a burst and catches up with the line) or the amplifier's clock moved on while
its sample numbers did not (an outage after which the amplifier resumed
counting where it stopped). The timeline holds such scans back until it can
tell: a backlog gets the times of the line; a gap starts a new segment with
its own line, and a ``"gap"`` event gives its start and length. Either way
no time is squeezed and no later time drifts back.
"""
from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import List, Optional, Tuple

import numpy as np

from . import placement
from .sample_clock import SampleClock

# Scans that arrive closer together than this share of a sample period came in
# one notification: the library hands them over one after the other, and on a
# busy host Python takes a while between them, while notifications (a period
# or more apart) rarely come closer.
_SAME_NOTIFICATION = 0.5
# Lateness beyond the line that starts a hold: at least this many seconds ...
GAP_MIN = 0.04
# ... and this many robust deviations of the arrivals around the line.
GAP_DEVIATIONS = 6.0
# A hold turns into a gap when the held notifications' arrivals span at least
# HOLD_SPAN seconds (a backlog comes in one burst) and their lateness agrees;
# it turns into a gap in any case after HOLD_MAX seconds. The new line goes
# through the least late of them: the longer the hold, the surer that one.
HOLD_SPAN = 0.25
HOLD_MAX = 1.0

# A scan ready to be handed out: (scan, sample time, arrival of its notification).
Placed = Tuple[np.ndarray, float, float]


@dataclass(frozen=True)
class StreamEvent:
    """Something that happened to a stream; see ``tavo_ble.amplifier``."""

    kind: str
    serial: str
    time: float
    first_sample: int = 0
    samples: int = 0
    seconds: float = 0.0


_D, _I = ctypes.c_double, ctypes.c_int64


class StreamTimeline(ctypes.Structure):
    """Sample times and stream events of one stream of one amplifier.

    The state that the common path reads and advances (the clock's line, the
    notification being assembled) is a C structure, the native helper's
    ``LineState``: ``feed_chunk`` hands the helper its address and the helper
    advances it in place, nothing is copied in or out. The rest is Python's.
    """

    _fields_ = [("_clock", SampleClock), ("period", _D), ("_same_notification", _D), ("_gap_min", _D),
                ("_gap_deviations", _D), ("_scans_per_notification", _I), ("sample_count", _I),
                ("_group_measured", _I), ("_group_checked", _I), ("_last_measured", _I), ("last_arrival", _D),
                ("_group_arrival", _D), ("_last_time", _D), ("_last_measured_arrival", _D)]

    def __init__(self, serial: str, rate: int, valid_index: Optional[int],
                 stall_timeout: Optional[float] = None, start: float = 0.0) -> None:
        super().__init__()
        self.serial = serial
        self.rate = max(int(rate), 1)
        self.valid_index = valid_index
        self.stall_timeout = stall_timeout
        self.start = start  # time.monotonic() when the stream was started
        self.pending: List[StreamEvent] = []
        self.clock = self._clock  # the clock's part of the structure, one view of it
        self.clock.configure(self.rate)
        self.period = 1.0 / self.rate
        self._same_notification = _SAME_NOTIFICATION / self.rate
        self._gap_min = GAP_MIN
        self._gap_deviations = GAP_DEVIATIONS
        self.sample_count = 0  # scans handed out or held, from the first measured one
        self.skipped_before_start = 0
        self.segments = 0
        self.stalls = 0
        self.stalled = False
        self._measured_seen = False
        self.last_arrival = -1.0
        self._group_arrival = -1.0
        self._group_checked = False
        self._scans_per_notification = 1
        self._last_time = -np.inf
        self._last_measured = -1
        self._last_measured_arrival = 0.0
        self._filler_first = -1
        self._filler_time = 0.0
        self._stall_sample = 0
        # Held back while it is not yet clear whether the clock jumped:
        # [(scan, number, arrival)] and each held notification's (first number, arrival).
        self._held: List[Tuple[np.ndarray, int, float]] = []
        self._opening: List[Tuple[np.ndarray, int, float]] = []
        self._group_measured = 0
        self._held_groups: List[Tuple[int, float]] = []
        self._native = NATIVE  # the common path in the helper
        self._address = ctypes.addressof(self)

    def native_ready(self) -> bool:
        """True when the next scans may go the common path: the clock runs and
        nothing is held, open, stalled or filled in."""
        return (self._native and self._measured_seen and not self._held_groups and not self._opening
                and self.clock.updates and not self.stalled and self._filler_first < 0)

    # -- helpers ---------------------------------------------------------------

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

    def gap_bound(self) -> float:
        """How much later than the line a notification may come without a hold."""
        spread = self.clock.deviation * self.clock.nominal_period
        return max(GAP_MIN, GAP_DEVIATIONS * spread, 2.0 * self._scans_per_notification * self.period)

    def _lateness(self, number: int, arrival: float) -> float:
        # The arrival of a notification stands for its last scan.
        last = number + self._scans_per_notification - 1
        return arrival - self.clock.time_of(last)

    # -- the stream ------------------------------------------------------------

    def feed(self, scan: np.ndarray, arrival: float) -> List[Placed]:
        """Takes the next scan; returns the scans now ready, with their times."""
        filler = self.is_filler(scan)
        if not self._measured_seen:
            if filler:
                self.skipped_before_start += 1
                return []
            self._measured_seen = True
            if self.skipped_before_start:
                self._emit("skipped", arrival, 0, self.skipped_before_start, 0.0)
        ready: List[Placed] = []
        if arrival - self.last_arrival > self._same_notification or self._group_arrival < 0:
            ready = self._end_group()
            self._group_arrival = arrival
            self._group_measured = 0
            self._group_checked = False
        self.last_arrival = arrival
        self._group_measured += 0 if filler else 1
        number = self.sample_count
        self.sample_count = number + 1
        arrival = self._group_arrival
        if not self.clock.updates:
            # The stream's first notification: its scans wait for its end,
            # since its arrival stands for its last scan.
            self._opening.append((scan, number, arrival))
            return ready
        if not filler and not self._group_checked:
            # The first measured scan of a notification tells how late it came.
            self._group_checked = True
            late = self._lateness(number, arrival)
            if self._held_groups:
                self._held_groups.append((number, arrival))
                ready += self._decide(late, arrival)
            elif late > self.gap_bound():
                self._held_groups = [(number, arrival)]
        if self._held_groups:
            self._held.append((scan, number, arrival))
            return ready
        ready.append(self._place(scan, number, arrival, filler))
        return ready

    def feed_chunk(self, scans: np.ndarray, arrivals: np.ndarray
                   ) -> "tuple[np.ndarray, np.ndarray, np.ndarray]":
        """``feed()`` for consecutive scans (the rows of `scans`) with their
        arrivals, at once: the scans now ready (rows, in order; scans held
        from earlier chunks among them) with their sample times and their
        notifications' arrivals, as three arrays.

        A measured scan of a notification on the line, with the clock running
        and nothing held, stalled or open (nearly every scan of a stream) is
        placed by the native helper (``tavo_ble.placement``), exactly as
        ``feed()`` would place it; every other scan goes through ``feed()``.
        """
        n = len(arrivals)
        scans = np.ascontiguousarray(scans, np.float32)
        arrivals = np.ascontiguousarray(arrivals, np.float64)
        times, groups = np.empty(n), np.empty(n)
        addresses = None
        pieces: List["tuple[np.ndarray, np.ndarray, np.ndarray]"] = []  # ready blocks, in order
        i = 0
        while i < n:
            if self.native_ready():
                if addresses is None:
                    address = placement.address
                    addresses = (address(scans), address(arrivals), address(times), address(groups))
                placed = placement.place(self, addresses, scans.shape[1], i, n)
                if placed == n:
                    return scans, times, groups  # the whole chunk on the line: nearly always
                if placed:
                    pieces.append((scans[i:i + placed], times[i:i + placed], groups[i:i + placed]))
                    i += placed
                    continue
            ready = self.feed(scans[i], float(arrivals[i]))
            if ready:
                pieces.append((np.stack([r[0] for r in ready]), np.array([r[1] for r in ready], np.float64),
                               np.array([r[2] for r in ready], np.float64)))
            i += 1
        if len(pieces) == 1:
            return pieces[0]
        if not pieces:
            return np.zeros((0, scans.shape[1] if scans.ndim == 2 else 0), np.float32), np.zeros(0), np.zeros(0)
        return (np.concatenate([p[0] for p in pieces]), np.concatenate([p[1] for p in pieces]),
                np.concatenate([p[2] for p in pieces]))

    def _end_group(self) -> List[Placed]:
        # A notification is complete: its arrival goes into the line, unless held.
        if self._group_arrival < 0 or self._held_groups:
            return []
        self.clock.update(self.sample_count - 1, self._group_arrival)
        self._scans_per_notification = max(1, self._group_measured)
        opening, self._opening = self._opening, []
        return [self._place(s, n, a, self.is_filler(s)) for s, n, a in opening]

    def _decide(self, late: float, arrival: float) -> List[Placed]:
        # With one more held notification: a backlog, a gap, or not yet known.
        bound = self.gap_bound()
        if late <= bound:
            return self._release(gap=False)
        arrivals = [a for _, a in self._held_groups]
        lateness = [a - self.clock.time_of(n + self._scans_per_notification - 1) for n, a in self._held_groups]
        spread = max(arrivals) - min(arrivals)
        agree = max(lateness) - min(lateness) < bound / 2
        if (len(arrivals) >= 3 and spread >= HOLD_SPAN and agree) or arrival - arrivals[0] > HOLD_MAX:
            return self._release(gap=True)
        return []

    def _release(self, gap: bool) -> List[Placed]:
        held, groups = self._held, self._held_groups
        self._held, self._held_groups = [], []
        if gap:
            # A new segment whose line passes through the least late of the
            # held notifications (a notification is never early).
            first = held[0][1]
            starts = [a - (n + self._scans_per_notification - 1 - first) * self.clock.period for n, a in groups]
            start = min(starts)
            before = self._last_time
            self.clock.anchor(first, start)
            self.segments += 1
            gap_start = before + self.period if np.isfinite(before) else start
            self._emit("gap", gap_start, first, 0, start - gap_start)
        ready = []
        for scan, number, arrival in held:
            ready.append(self._place(scan, number, arrival, self.is_filler(scan)))
        if not gap:
            for number, arrival in groups:
                self.clock.update(number + self._scans_per_notification - 1, arrival)
        return ready

    def flush(self) -> List[Placed]:
        """The scans held back, when the stream ends (a gap if they came late
        enough for long enough)."""
        if self._opening:
            return self._end_group()
        if not self._held:
            return []
        arrivals = [a for _, a in self._held_groups]
        return self._release(gap=len(arrivals) >= 2 and max(arrivals) - min(arrivals) > 0)

    def _place(self, scan: np.ndarray, number: int, arrival: float, filler: bool) -> Placed:
        clock = self.clock
        fitted = clock.time_of(number)
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
        return scan, fitted, arrival

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


# The helper places the common path when it is there and agrees on the structure's size.
NATIVE = placement.usable(ctypes.sizeof(StreamTimeline))
