"""The common path of ``StreamTimeline.feed_chunk`` in the package's native helper.

Nearly every scan of a stream is a measured scan of a notification that came
on time, while nothing is held back, open or stalled: its sample time is the
sample clock's line at its number, and the clock takes each notification's
arrival when the next one begins. ``tavo_ble_scans_place`` does that for a run
of scans in C, with the same arithmetic in the same order as ``SampleClock``
and ``StreamTimeline.feed()``, so the times are the same to the bit; it stops
before the first scan that needs the other rules (a filler, a late
notification), which ``feed()`` then takes.

The timeline's state stays in its Python objects: ``Placement.place`` copies
it into a ``LineState`` (the helper's struct, field for field) before the run
and back after it. Without the helper (``native.helper`` is None) there is no
``Placement`` and ``feed()`` places every scan.
"""
from __future__ import annotations

import ctypes
from typing import Any, Optional

import numpy as np

from . import native

# A tavo_ble.timeline.StreamTimeline (which imports this module).
StreamTimeline = Any


class LineState(ctypes.Structure):
    """The helper's ``tavo_ble::LineState``."""

    _fields_ = [(name, ctypes.c_double) for name in (
        "nominal_period", "forget", "late_limit", "period", "same_notification", "gap_min",
        "gap_deviations")] + [
        ("started", ctypes.c_int64), ("updates", ctypes.c_int64)] + [
        (name, ctypes.c_double) for name in ("n0", "t0", "a", "b", "p00", "p01", "p11", "deviation")] + [
        (name, ctypes.c_int64) for name in (
            "scans_per_notification", "sample_count", "group_measured", "group_checked",
            "last_measured")] + [
        (name, ctypes.c_double) for name in ("last_arrival", "group_arrival", "last_time",
                                             "last_measured_arrival")]


def address(array: np.ndarray) -> int:
    """Where a C-contiguous array's data start (numpy's ``ctypes.data``, ten
    times faster for a writable array)."""
    try:
        return ctypes.addressof(ctypes.c_char.from_buffer(array))
    except (TypeError, ValueError):  # read-only, or empty
        return int(array.ctypes.data)


def _usable() -> bool:
    helper = native.helper
    return helper is not None and hasattr(helper, "tavo_ble_scans_place") and (
        helper.tavo_ble_scans_line_size() == ctypes.sizeof(LineState))


AVAILABLE = _usable()


class Placement:
    """The native placement of one timeline's scans."""

    def __init__(self, timeline: StreamTimeline, gap_min: float, gap_deviations: float) -> None:
        clock = timeline.clock
        self._state = LineState(
            nominal_period=clock.nominal_period, forget=clock._forget, late_limit=clock.LATE_LIMIT,
            period=timeline.period, same_notification=timeline._same_notification, gap_min=gap_min,
            gap_deviations=gap_deviations)
        self._pointer = ctypes.addressof(self._state)
        self._place = native.helper.tavo_ble_scans_place

    def place(self, timeline: StreamTimeline, addresses: "tuple[int, int, int, int]", width: int, first: int,
              count: int) -> int:
        """Places scans `first` to `count` - 1 of a chunk; `addresses` are those
        of its scans (C-contiguous float32, `width` per row), their arrivals
        and the arrays for their times and notifications' arrivals (float64).
        Returns how many it placed."""
        s, t, c = self._state, timeline, timeline.clock
        s.started, s.updates, s.n0, s.t0 = c._started, c.updates, c._n0, c._t0
        s.a, s.b, s.p00, s.p01, s.p11, s.deviation = c._a, c._b, c._p00, c._p01, c._p11, c._deviation
        s.scans_per_notification, s.sample_count = t._scans_per_notification, t.sample_count
        s.group_measured, s.group_checked, s.last_measured = t._group_measured, t._group_checked, t._last_measured
        s.last_arrival, s.group_arrival = t.last_arrival, t._group_arrival
        s.last_time, s.last_measured_arrival = t._last_time, t._last_measured_arrival
        values, arrivals, times, groups = addresses
        valid = t.valid_index if t.valid_index is not None else -1
        placed = self._place(self._pointer, values + first * width * 4, width, valid, arrivals + first * 8,
                             count - first, times + first * 8, groups + first * 8)
        if placed:
            c.updates, c._a, c._b, c._p00, c._p01, c._p11, c._deviation = (
                s.updates, s.a, s.b, s.p00, s.p01, s.p11, s.deviation)
            t._scans_per_notification, t.sample_count = s.scans_per_notification, s.sample_count
            t._group_measured, t._group_checked, t._last_measured = s.group_measured, s.group_checked, s.last_measured
            t.last_arrival, t._group_arrival = s.last_arrival, s.group_arrival
            t._last_time, t._last_measured_arrival = s.last_time, s.last_measured_arrival
        return placed

def for_timeline(timeline: StreamTimeline, gap_min: float, gap_deviations: float) -> Optional[Placement]:
    """A ``Placement`` for `timeline`, or None without the helper."""
    return Placement(timeline, gap_min, gap_deviations) if AVAILABLE else None
