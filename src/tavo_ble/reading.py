"""The reading thread of streaming ``Amplifier`` objects: chunks of scans from
the helper's rings (``tavo_ble.scan_chunks``) into each stream's timeline,
ring buffer, ``on_scan`` and events.

``ChunkReading`` holds an amplifier's side of it (``Amplifier`` derives from
it); ``reader`` is the one ``ReadingThread`` of the process.
"""
from __future__ import annotations

import os
import sys
import threading
import time
import traceback
import weakref
from typing import List, Optional

import numpy as np

from .scan_chunks import ScanChunks
from .timeline import StreamEvent

# The reading thread takes a turn every this many seconds, so that a fast
# stream is fed to the timeline in chunks.
READ_GAP = 0.05


class ChunkReading:
    """The reading thread's work on an ``Amplifier``: it uses the amplifier's
    ``_timeline`` (under ``_timing``), ``_ring``, ``_valid_index``, ``on_scan``,
    ``callback_errors``, ``dropped``, ``_skipped_taken``, ``serial`` and its
    event queues."""

    _skipped_taken = 0  # leading fillers of the ring's count given to the timeline

    def _take(self, chunks: ScanChunks) -> None:
        # The reading thread: everything the ring holds now, chunk by chunk.
        # The helper reads each chunk and places its common run in the
        # timeline in one call (under _timing: it advances the timeline);
        # what it leaves goes the Python way.
        while True:
            with self._timing:
                timeline = self._timeline
                n, placed, lost = chunks.take(timeline if timeline.native_ready() else None)
                # The leading fillers the ring counted instead of holding
                # (final once a scan was read) are the timeline's skipped ones.
                skipped = chunks.skipped() - self._skipped_taken
                if skipped:
                    self._skipped_taken += skipped
                    timeline.skipped_before_start += skipped
            if not n:
                break
            values, arrivals, times, groups, dropped = chunks.taken(n)
            if placed:
                self._hand_out(values[:placed], times[:placed], groups[:placed], views=True)
            if placed < n:
                self._feed(values[placed:].copy(), arrivals[placed:].copy(), dropped[placed:].copy() if lost else None)
            if n < chunks.CHUNK:
                break  # what came meanwhile waits for the next turn

    def _feed(self, values: np.ndarray, arrivals: np.ndarray, dropped_before: Optional[np.ndarray]) -> None:
        lost = int(dropped_before.sum()) if dropped_before is not None else 0
        if lost:
            # Scans the ring had no room for: fillers where they belong.
            counts = dropped_before.astype(np.int64) + 1
            rows = np.repeat(np.arange(len(arrivals)), counts)
            values, arrivals = values[rows], arrivals[rows]
            filler = np.ones(len(rows), bool)
            filler[np.cumsum(counts) - 1] = False
            values[filler] = np.nan
            if self._valid_index is not None:
                values[filler, self._valid_index] = 0.0
        with self._timing:
            ready, times, groups = self._timeline.feed_chunk(values, arrivals)
            after = self._timeline.sample_count
            self._collect_events()
        if lost:
            self._overflow(float(arrivals[0]), after - (len(values) - int(np.argmax(filler))), lost)
        self._hand_out(ready, times, groups)

    def _flush(self) -> None:
        # The scans the timeline held back, when the stream has ended.
        with self._timing:
            placed = self._timeline.flush()
            self._collect_events()
        if placed:
            self._hand_out(np.stack([p[0] for p in placed]), np.array([p[1] for p in placed]),
                           np.array([p[2] for p in placed]))

    def _hand_out(self, scans: np.ndarray, times: np.ndarray, arrivals: np.ndarray, views: bool = False) -> None:
        # `views`: the arrays are the helper's buffers, which the next chunk
        # writes over; the ring buffer copies them, a callback gets copies.
        if not len(scans):
            return
        ring = self._ring
        if ring is not None:
            overwritten = ring.put_many(scans, times, arrivals)
            if overwritten:
                self._overflow(float(arrivals[-1]), self._timeline.sample_count, overwritten)
        callback = self.on_scan
        if callback is not None:
            if views:
                scans = scans.copy()
            for scan, fitted in zip(scans, times.tolist()):
                try:
                    callback(self, scan, fitted)
                except Exception:
                    self.callback_errors += 1
                    if self.callback_errors == 1:
                        sys.stderr.write("tavo_ble: the on_scan callback of %s raised (reported once, then "
                                         "counted):\n" % self.serial)
                        traceback.print_exc()

    def _overflow(self, time_: float, number: int, lost: int) -> None:
        self.dropped += lost
        event = StreamEvent("overflow", self.serial, time_, number, lost, 0.0)
        self._events.append(event)
        self._to_dispatch.append(event)


class _Entry:
    """One streaming amplifier on the reading thread."""

    __slots__ = ("reference", "chunks", "stop", "done", "failed")

    def __init__(self, amplifier: "ChunkReading", chunks: ScanChunks) -> None:
        self.reference = weakref.ref(amplifier)
        self.chunks = chunks
        self.stop = False  # set once no scan enters the ring any more
        self.done = _held_lock()  # released once its last turn ran
        self.failed = False


class ReadingThread:
    """The process's one reading thread, for every streaming amplifier.

    Every READ_GAP seconds (sooner for a stall timeout under half a second) it
    takes a turn over all of them: feeds what each ring holds to its timeline,
    watches for stalls and runs the event hook, off the library's threads.
    One thread for all, so several amplifiers cost one wake-up and one warm
    pass, not one each. After ``stop()`` it gives that amplifier a last turn
    (what is left, what the timeline held back) and forgets it. It holds the
    amplifiers only weakly (never between turns), so a forgotten one is still
    finalised, and waits without a time-out while none streams.
    """

    def __init__(self) -> None:
        self._start_over()

    def _start_over(self) -> None:
        # Also in a forked child, which has none of the parent's threads.
        self._lock = threading.Lock()
        self._entries: List[_Entry] = []
        # Released (unlocked) when a turn should come at once (a stream added
        # or stopped): a lock, which the thread takes with one call when it
        # waits, where an Event's wait runs a page of Python.
        self._wake = _held_lock()
        self._thread: Optional[threading.Thread] = None
        self._turned = _held_lock()

    def add(self, amplifier: "ChunkReading", chunks: ScanChunks) -> _Entry:
        """Reads `chunks` for `amplifier` from the next turn on."""
        entry = _Entry(amplifier, chunks)
        with self._lock:
            self._entries.append(entry)
            if self._thread is None or not self._thread.is_alive():
                self._thread = threading.Thread(target=self._run, name="tavo_ble reading", daemon=True)
                self._thread.start()
        self._signal()
        return entry

    def stop(self, entry: _Entry, timeout: float = 2.0) -> None:
        """Gives `entry` its last turn now (its ring gets no more scans) and
        waits for it, unless called on the reading thread itself (from a
        callback or a finaliser), where the turn follows."""
        entry.stop = True
        self._signal()
        if threading.current_thread() is not self._thread and entry.done.acquire(timeout=timeout):
            entry.done.release()

    def turned(self) -> threading.Lock:
        """A lock that is released when the turn after this call ends: a
        reader waiting for new scans takes it (with a time-out) and gives it
        back. A lock, not a condition: Ctrl-C in the wait cannot leave the
        reading thread blocked."""
        return self._turned

    def _signal(self) -> None:
        try:
            self._wake.release()
        except RuntimeError:  # already released: a turn comes anyway
            pass

    def _run(self) -> None:
        last = 0.0
        while True:
            with self._lock:
                entries = list(self._entries)
            if not entries:
                self._wake.acquire()
                continue
            gap = READ_GAP
            for entry in entries:
                amplifier = entry.reference()
                if amplifier is not None:
                    gap = min(gap, amplifier._timeline.effective_stall_timeout() / 5)
                del amplifier
            if not any(entry.stop for entry in entries):
                self._wake.acquire(timeout=max(0.0, last + gap - time.monotonic()))
            last = time.monotonic()
            for entry in entries:
                if self._turn(entry):
                    with self._lock:
                        self._entries.remove(entry)
                    entry.done.release()
            turned, self._turned = self._turned, _held_lock()
            turned.release()

    def _turn(self, entry: _Entry) -> bool:
        # One amplifier's turn; True once it is over for good.
        stopping = entry.stop  # before the ring is read: nothing comes after the last turn
        amplifier = entry.reference()
        if amplifier is None:
            return True
        try:
            if stopping:
                entry.chunks.end_run()  # the ring gets no scan any more: its last run too
            amplifier._take(entry.chunks)
            if stopping:
                lost = entry.chunks.pending_dropped()
                if lost:
                    amplifier._overflow(time.monotonic(), amplifier._timeline.sample_count, lost)
                amplifier._flush()
            else:
                amplifier._check_stall(time.monotonic())
            amplifier._dispatch()
        except Exception:
            # A fault of one amplifier's turn leaves the others reading.
            if not entry.failed:
                entry.failed = True
                sys.stderr.write("tavo_ble: reading %s failed (reported once):\n" % amplifier.serial)
                traceback.print_exc()
        return stopping


def _held_lock() -> threading.Lock:
    lock = threading.Lock()
    lock.acquire()
    return lock


reader = ReadingThread()
if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=reader._start_over)
