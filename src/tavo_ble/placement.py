"""The common path of ``StreamTimeline.feed_chunk`` in the package's native helper.

Nearly every scan of a stream is a measured scan of a notification that came
on time, while nothing is held back, open or stalled: its sample time is the
sample clock's line at its number, and the clock takes each notification's
arrival when the next one begins. ``tavo_ble_scans_place`` does that for a run
of scans in C, with the same arithmetic in the same order as ``SampleClock``
and ``StreamTimeline.feed()``, so the times are the same to the bit; it stops
before the first scan that needs the other rules (a filler, a late
notification), which ``feed()`` then takes.

The timeline is itself the helper's ``LineState`` (a ctypes structure): the
helper reads and advances it where it lies. Without the helper
(``native.helper`` is None) ``feed()`` places every scan.
"""
from __future__ import annotations

import ctypes
from typing import Any

import numpy as np

from . import native

# A tavo_ble.timeline.StreamTimeline (which imports this module).
StreamTimeline = Any


def address(array: np.ndarray) -> int:
    """Where a C-contiguous array's data start (numpy's ``ctypes.data``, ten
    times faster for a writable array)."""
    try:
        return ctypes.addressof(ctypes.c_char.from_buffer(array))
    except (TypeError, ValueError):  # read-only, or empty
        return int(array.ctypes.data)


def usable(line_size: int) -> bool:
    """True when the helper is there and its ``LineState`` has this size."""
    helper = native.helper
    return helper is not None and hasattr(helper, "tavo_ble_scans_place") and (
        helper.tavo_ble_scans_line_size() == line_size)


def place(timeline: StreamTimeline, addresses: "tuple[int, int, int, int]", width: int, first: int,
          count: int) -> int:
    """Places scans `first` to `count` - 1 of a chunk; `addresses` are those
    of its scans (C-contiguous float32, `width` per row), their arrivals
    and the arrays for their times and notifications' arrivals (float64).
    Returns how many it placed."""
    values, arrivals, times, groups = addresses
    valid = timeline.valid_index if timeline.valid_index is not None else -1
    return native.helper.tavo_ble_scans_place(timeline._address, values + first * width * 4, width, valid,
                                              arrivals + first * 8, count - first, times + first * 8,
                                              groups + first * 8)
