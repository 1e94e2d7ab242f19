"""Scans in chunks: the package's native helper, and the ring each reader takes chunks from.

``libtavo_ble_scans.so`` sits beside libtavoble; ``tavo_ble.native`` loads
both. Its function ``tavo_ble_scans_deliver`` is registered with the library
as the data callback of an amplifier that ``Amplifier`` objects read: on the
library's delivery thread, without Python, it appends each scan and its arrival
time (``time.monotonic()``'s clock) to the ring of every reader routed to that
handle, then calls the handle's per-scan Python callback if it has one (for
``TavoBLEWrapper``). A ``ScanChunks`` object owns one ring; one Python thread
waits on it and takes what arrived as numpy arrays.

A full ring drops the newest scans and tells the reader how many went before
the next one it gets (``dropped_before``), so nothing goes missing unseen.
A ring may count the fillers before the first measured scan instead of
holding them (``skip_leading_fillers``): an amplifier that counted for hours
before the stream is preceded by a filler for every sample it counted,
millions in one burst, which would otherwise fill the ring and drop the
measured scans behind them.
The helper's ring also holds a run of fillers in one slot
(``compact_filler_runs``), as a long outage of an amplifier that samples on
brings them: read() hands them out one by one.

Without the helper (a library file of one's own named by ``TAVOBLE_LIBRARY``
with no helper beside it) a Python ring fed by the per-scan callback does the
same job, at Python's cost per scan.
"""
from __future__ import annotations

import ctypes
import threading
import time
from typing import Optional, Sequence, Tuple

import numpy as np

from . import native

Chunk = Tuple[np.ndarray, np.ndarray, Optional[np.ndarray]]

helper = native.helper
# The helper's delivery function, as the library's data callback type.
DELIVER = (native.DataAvailableCallback(("tavo_ble_scans_deliver", helper))
           if helper is not None else None)


def route(handle: int, rings: Sequence["ScanChunks"], callback) -> None:
    """Sends the scans of `handle` to `rings` and to `callback` (a registered
    ``DataAvailableCallback`` or None). Returns once no delivery uses the rings
    taken out any more."""
    assert helper is not None
    pointers = (ctypes.c_void_p * max(1, len(rings)))(*[r._ring for r in rings])
    fn = ctypes.cast(callback, ctypes.c_void_p) if callback is not None else None
    if helper.tavo_ble_scans_route(handle, pointers, len(rings), fn) != 0:
        raise MemoryError("tavo_ble: too many amplifiers streaming at once")


class ScanChunks:
    """One ring of ``capacity`` scans of ``width`` float32 values with their arrival times."""

    # Scans taken per read; more come in further reads.
    CHUNK = 4096

    def __init__(self, width: int, capacity: int) -> None:
        self.width = max(1, int(width))
        self.capacity = max(1, int(capacity))
        self._ring = None
        self._buffers: Optional[tuple] = None  # what the helper reads into, with their addresses
        self._take_buffers: Optional[tuple] = None  # the same for take()
        self._taken: tuple = ()
        if helper is not None:
            self._ring = helper.tavo_ble_scans_create(self.width, self.capacity)
            if not self._ring:
                raise MemoryError("tavo_ble: no memory for a ring of %d scans" % self.capacity)
        else:
            self._py = _PythonRing(self.width, self.capacity)

    def __del__(self) -> None:
        ring, self._ring = getattr(self, "_ring", None), None
        if ring and helper is not None:
            helper.tavo_ble_scans_destroy(ring)

    @property
    def native(self) -> bool:
        """True when the helper library's ring is used."""
        return self._ring is not None

    def skip_leading_fillers(self, valid_index: int) -> None:
        """Before the first scan: fillers (0.0 at `valid_index`) before the
        first measured scan are counted (``skipped()``), not held."""
        if self._ring is None:
            self._py.skip_valid = int(valid_index)
        else:
            helper.tavo_ble_scans_skip_leading_fillers(self._ring, int(valid_index))

    def compact_filler_runs(self, valid_index: int, counter_index: Optional[int]) -> None:
        """Before the first scan: a run of fillers (each the one before with
        the sample number at `counter_index` one higher) takes one slot of the
        helper's ring; it is read when the scan after it came, or after
        ``end_run()``. The Python ring holds them one by one."""
        if self._ring is not None:
            helper.tavo_ble_scans_compact_filler_runs(
                self._ring, int(valid_index), -1 if counter_index is None else int(counter_index))

    def end_run(self) -> None:
        """Once no scan enters the ring any more: the run still open is read too."""
        if self._ring is not None:
            helper.tavo_ble_scans_end_run(self._ring)

    def skipped(self) -> int:
        """Leading fillers counted so far; final once a scan was read."""
        if self._ring is None:
            return self._py.skipped
        return int(helper.tavo_ble_scans_skipped(self._ring))

    def push(self, scan: np.ndarray, arrival: float) -> None:
        """Appends one scan (the producer's side, for producers in Python)."""
        if self._ring is None:
            self._py.push(scan, arrival)
            return
        scan = np.ascontiguousarray(scan, dtype=np.float32)
        helper.tavo_ble_scans_push(self._ring, scan.ctypes.data_as(ctypes.POINTER(ctypes.c_float)),
                                   len(scan), arrival)

    def wait(self, timeout: float, min_gap: float = 0.0) -> int:
        """Waits up to `timeout` s for a scan (returning no sooner than `min_gap` s
        after the previous return) or ``wake()``; returns how many are there."""
        if self._ring is None:
            return self._py.wait(timeout, min_gap)
        return int(helper.tavo_ble_scans_wait(self._ring, timeout, min_gap))

    def wake(self) -> None:
        """Makes a waiting (or the next) ``wait()`` return at once."""
        if self._ring is None:
            self._py.wake()
        else:
            helper.tavo_ble_scans_wake(self._ring)

    def read(self, max_scans: Optional[int] = None) -> Chunk:
        """The scans there now (at most `max_scans`, default ``CHUNK``) as
        (values (n, width) float32, arrivals (n,) float64, dropped_before
        (n,) uint32, or None when nothing was dropped before them)."""
        limit = self.CHUNK if max_scans is None else max(0, int(max_scans))
        if self._ring is None:
            return self._py.read(limit)
        buffers = self._buffers
        if buffers is None or len(buffers[1]) < limit:
            # Read into buffers of the ring's own, at addresses known once:
            # what leaves them are copies of the rows read.
            buffers = (np.empty((limit, self.width), np.float32), np.empty(limit, np.float64),
                       np.empty(limit, np.uint32), ctypes.c_uint64())
            self._buffers = buffers = buffers + (
                buffers[0].ctypes.data, buffers[1].ctypes.data, buffers[2].ctypes.data,
                ctypes.addressof(buffers[3]))
        values, arrivals, dropped, total, v, a, d, t = buffers
        n = helper.tavo_ble_scans_read(self._ring, v, a, d, limit, t)
        return values[:n].copy(), arrivals[:n].copy(), dropped[:n].copy() if total.value else None

    def take(self, timeline=None) -> Tuple[int, int, int]:
        """A reading turn's step in one call: reads up to ``CHUNK`` scans into
        buffers of the ring's own (``taken()``), and when `timeline` is given
        (a ``StreamTimeline`` whose ``native_ready()`` is true) places their
        common run in it, unless scans were dropped before them. Returns
        (scans read, scans placed, scans dropped before them)."""
        limit = self.CHUNK
        if self._ring is None:
            values, arrivals, dropped = self._py.read(limit)
            n = len(arrivals)
            self._taken = (values, arrivals, np.empty(n), np.empty(n),
                           dropped if dropped is not None else np.zeros(n, np.uint32))
            return n, 0, int(dropped.sum()) if dropped is not None else 0
        buffers = self._take_buffers
        if buffers is None:
            arrays = (np.empty((limit, self.width), np.float32), np.empty(limit), np.empty(limit),
                      np.empty(limit), np.empty(limit, np.uint32))
            out = (ctypes.c_uint64 * 2)()
            self._take_buffers = buffers = (arrays, out, helper.tavo_ble_scans_take,
                                            tuple(a.ctypes.data for a in arrays) + (ctypes.addressof(out),))
        arrays, out, take, (v, a, t, g, d, o) = buffers
        if timeline is None:
            line, valid = None, -1
        else:
            line = timeline._address
            valid = timeline.valid_index if timeline.valid_index is not None else -1
        n = take(self._ring, line, valid, v, a, d, t, g, limit, o)
        self._taken = arrays
        return n, int(out[1]), int(out[0])

    def taken(self, n: int) -> Tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        """The first `n` of what ``take()`` read, as views of its buffers (the
        next ``take()`` writes over them): values, arrivals, sample times and
        notifications' arrivals (of the scans placed), drops before each."""
        values, arrivals, times, groups, dropped = self._taken
        return values[:n], arrivals[:n], times[:n], groups[:n], dropped[:n]

    def pending_dropped(self) -> int:
        """Scans dropped after the last one there is (for when the stream ends)."""
        if self._ring is None:
            return self._py.pending
        return int(helper.tavo_ble_scans_pending_dropped(self._ring))


class _PythonRing:
    """The ring in Python, for when the helper library is not there."""

    def __init__(self, width: int, capacity: int) -> None:
        self.width, self.capacity = width, capacity
        self._lock = threading.Lock()
        self._signal = threading.Event()
        self._rows: list = []
        self.pending = 0
        self._last_return = 0.0
        self.skip_valid = -1  # while >= 0: leading fillers are counted in `skipped`
        self.skipped = 0

    def push(self, scan: np.ndarray, arrival: float) -> None:
        if self.skip_valid >= 0:
            if self.skip_valid < len(scan) and scan[self.skip_valid] == 0.0:
                with self._lock:
                    self.skipped += 1
                return
            self.skip_valid = -1
        row = np.full(self.width, np.nan, np.float32)
        n = min(len(scan), self.width)
        row[:n] = scan[:n]
        with self._lock:
            if len(self._rows) >= self.capacity:
                self.pending += 1
                return
            self._rows.append((row, arrival, self.pending))
            self.pending = 0
        self._signal.set()

    def wait(self, timeout: float, min_gap: float) -> int:
        gap = self._last_return + min_gap - time.monotonic()
        if gap > 0:
            time.sleep(min(gap, max(timeout, 0.0)))
        with self._lock:
            if not self._rows:
                self._signal.clear()
        self._signal.wait(max(timeout, 0.0))
        self._last_return = time.monotonic()
        with self._lock:
            if not self._rows:
                self._signal.clear()
            return len(self._rows)

    def wake(self) -> None:
        self._signal.set()

    def read(self, limit: int) -> Chunk:
        with self._lock:
            rows, self._rows = self._rows[:limit], self._rows[limit:]
        if not rows:
            return np.zeros((0, self.width), np.float32), np.zeros(0), None
        dropped = [r[2] for r in rows]
        return (np.stack([r[0] for r in rows]), np.array([r[1] for r in rows], np.float64),
                np.array(dropped, np.uint32) if any(dropped) else None)
