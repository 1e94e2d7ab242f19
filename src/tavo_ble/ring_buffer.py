"""A bounded buffer of scans with their times, written by one thread and read by others.

The writer is the library's delivery thread: it must never wait long, so
the lock is held only to copy a scan in or a block of scans out. When the
buffer is full the oldest scans are overwritten and counted.

A reader that waits for scans does not wait on a condition variable over
that lock: Ctrl-C landing while a condition's wait takes its lock back can
leave the lock released under the other thread's feet. It waits instead on
a second lock used as a signal, which the writer releases after each scan:
taking a lock either succeeds or not, whatever interrupts it.
"""
from __future__ import annotations

import threading
import time
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
        # Released (unlocked) when there may be something new to read.
        self._signal = threading.Lock()
        self._signal.acquire()
        self._ended = False  # no more scans will come: waiting readers return
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
        return self.put_many(np.asarray(scan)[None, :], np.array([time], np.float64),
                             np.array([arrival], np.float64))

    def put_many(self, scans: np.ndarray, times: np.ndarray, arrivals: np.ndarray) -> int:
        """Stores the rows of `scans` in order; returns how many unread scans this overwrote."""
        count = len(scans)
        if count == 0:
            return 0
        if count > self.capacity:
            return sum(self.put_many(scans[i:i + self.capacity], times[i:i + self.capacity],
                                     arrivals[i:i + self.capacity]) for i in range(0, count, self.capacity))
        n = min(scans.shape[1], self.width)
        with self._lock:
            first = self._written % self.capacity
            if first + count <= self.capacity:
                index = slice(first, first + count)  # no wrap: plain copies
            else:
                index = np.arange(first, first + count) % self.capacity
            self._data[index, :n] = scans[:, :n]
            if n < self.width:
                self._data[index, n:] = np.nan
            self._times[index] = times
            self._arrivals[index] = arrivals
            self._written += count
            lost = 0
            if self._written - self._read > self.capacity:
                lost = self._written - self._read - self.capacity
                self._read += lost
            self.dropped += lost
        self._notify()
        return lost

    def _notify(self) -> None:
        if self._signal.locked():
            try:
                self._signal.release()
            except RuntimeError:  # released meanwhile by another thread
                pass

    def _copy(self, first: int, count: int) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
        start = first % self.capacity
        if start + count <= self.capacity:
            rows = slice(start, start + count)  # no wrap: plain copies
            return self._data[rows].copy(), self._times[rows].copy(), self._arrivals[rows].copy()
        index = np.arange(first, first + count) % self.capacity  # indexing by it copies
        return self._data[index], self._times[index], self._arrivals[index]

    def read(self, max_scans: Optional[int] = None, timeout: Optional[float] = 0.0
             ) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The unread scans (at most `max_scans`), waiting up to `timeout` seconds
        (None: without limit) for one; at once once the buffer has ended."""
        deadline = None if timeout is None else time.monotonic() + max(float(timeout), 0.0)
        while True:
            with self._lock:
                count = self._written - self._read
                if count or self._ended or (deadline is not None and time.monotonic() >= deadline):
                    if max_scans is not None:
                        count = max(0, min(count, int(max_scans)))
                    block = self._copy(self._read, count)
                    self._read += count
                    ended = self._ended
                    break
            if deadline is None:
                self._signal.acquire()
            else:
                self._signal.acquire(timeout=max(deadline - time.monotonic(), 0.0))
        if ended:
            self._notify()  # another waiting reader returns too
        return block

    def read_until(self, until: float) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The unread scans whose sample time is at most `until` (sample times only increase)."""
        with self._lock:
            start = self._read % self.capacity
            end = start + self._written - self._read
            count = int(np.searchsorted(self._times[start:min(end, self.capacity)], until, side="right"))
            if end > self.capacity and count == self.capacity - start:
                # All of them up to the wrap: the rest from the buffer's start.
                count += int(np.searchsorted(self._times[:end - self.capacity], until, side="right"))
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

    def end(self) -> None:
        """No more scans will come (the stream stopped): waiting readers return
        what is unread, or nothing, at once, and so do later reads."""
        with self._lock:
            self._ended = True
        self._notify()

    def restart(self) -> None:
        """Scans will come again: reads wait for them once more."""
        with self._lock:
            self._ended = False
