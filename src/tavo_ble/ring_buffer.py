"""A bounded buffer of scans with their times, written by one thread and read by others.

The writer is the library's notification thread: it must never wait long, so
the lock is held only to copy a scan in or a block of scans out. When the
buffer is full the oldest scans are overwritten and counted.
"""
from __future__ import annotations

import threading
from typing import Optional, Tuple

import numpy as np


class RingBuffer:
    """``capacity`` scans of ``width`` float32 values, each with a sample time and an arrival time."""

    def __init__(self, capacity: int, width: int) -> None:
        if capacity < 1 or width < 1:
            raise ValueError("a ring buffer needs room for at least one scan of one value")
        self.capacity = int(capacity)
        self.width = int(width)
        self._data = np.zeros((self.capacity, self.width), dtype=np.float32)
        self._times = np.zeros(self.capacity, dtype=np.float64)
        self._arrivals = np.zeros(self.capacity, dtype=np.float64)
        self._lock = threading.Lock()
        self._readable = threading.Condition(self._lock)
        self._written = 0  # scans written over the buffer's life
        self._read = 0  # index (over the life) of the next scan read() returns
        self.dropped = 0  # scans overwritten before read() returned them

    def __len__(self) -> int:
        with self._lock:
            return self._written - self._read

    @property
    def written(self) -> int:
        """Scans written over the buffer's life."""
        return self._written

    def put(self, scan: np.ndarray, time: float, arrival: float) -> int:
        """Stores one scan; returns how many unread scans this overwrote (0 or 1)."""
        n = min(len(scan), self.width)
        with self._lock:
            slot = self._written % self.capacity
            row = self._data[slot]
            row[:n] = scan[:n]
            if n < self.width:
                row[n:] = np.nan
            self._times[slot] = time
            self._arrivals[slot] = arrival
            self._written += 1
            lost = 0
            if self._written - self._read > self.capacity:
                lost = self._written - self._read - self.capacity
                self._read += lost
                self.dropped += lost
            self._readable.notify_all()
            return lost

    def _copy(self, first: int, count: int) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
        index = np.arange(first, first + count) % self.capacity
        return self._data[index].copy(), self._times[index].copy(), self._arrivals[index].copy()

    def read(self, max_scans: Optional[int] = None, timeout: Optional[float] = 0.0
             ) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The unread scans (at most `max_scans`), waiting up to `timeout` seconds for one."""
        with self._lock:
            if self._written == self._read and timeout != 0.0:
                self._readable.wait_for(lambda: self._written > self._read, timeout)
            count = self._written - self._read
            if max_scans is not None:
                count = max(0, min(count, int(max_scans)))
            block = self._copy(self._read, count)
            self._read += count
            return block

    def read_until(self, until: float) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The unread scans whose sample time is at most `until` (sample times only increase)."""
        with self._lock:
            count = self._written - self._read
            index = np.arange(self._read, self._read + count) % self.capacity
            count = int(np.searchsorted(self._times[index], until, side="right"))
            block = self._copy(self._read, count)
            self._read += count
            return block

    def newest_time(self) -> float:
        """The sample time of the newest scan, or -inf before the first."""
        with self._lock:
            if self._written == 0:
                return -np.inf
            return float(self._times[(self._written - 1) % self.capacity])

    def latest(self, count: int) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The newest `count` scans, read or not, leaving the read position alone."""
        with self._lock:
            count = max(0, min(int(count), self._written, self.capacity))
            return self._copy(self._written - count, count)

    def wake(self) -> None:
        """Lets a waiting read() return early (when the stream stops)."""
        with self._lock:
            self._readable.notify_all()
