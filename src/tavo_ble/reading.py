"""The reading thread of a streaming ``Amplifier``: chunks of scans from the
helper's ring (``tavo_ble.scan_chunks``) into the stream's timeline, the ring
buffer, ``on_scan`` and the events.

``ChunkReading`` holds the amplifier's side of it (``Amplifier`` derives from
it); ``reading_loop`` is the thread.
"""
from __future__ import annotations

import sys
import threading
import time
import traceback
import weakref
from typing import Optional

import numpy as np

from .scan_chunks import ScanChunks
from .timeline import StreamEvent

# The reading thread returns to the ring no sooner than this after its last
# turn, so that a fast stream is fed to the timeline in chunks.
READ_GAP = 0.05


class ChunkReading:
    """The reading thread's work on an ``Amplifier``: it uses the amplifier's
    ``_timeline`` (under ``_timing``), ``_ring``, ``_valid_index``, ``on_scan``,
    ``callback_errors``, ``dropped``, ``serial`` and its event queues."""

    def _take(self, chunks: ScanChunks) -> None:
        # The reading thread: everything the ring holds now, chunk by chunk.
        while True:
            values, arrivals, dropped_before = chunks.read()
            if not len(arrivals):
                break
            self._feed(values, arrivals, dropped_before)
            if len(arrivals) < chunks.CHUNK:
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

    def _hand_out(self, scans: np.ndarray, times: np.ndarray, arrivals: np.ndarray) -> None:
        if not len(scans):
            return
        ring = self._ring
        if ring is not None:
            overwritten = ring.put_many(scans, times, arrivals)
            if overwritten:
                self._overflow(float(arrivals[-1]), self._timeline.sample_count, overwritten)
        callback = self.on_scan
        if callback is not None:
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


def reading_loop(reference: "weakref.ref", chunks: ScanChunks, stop: threading.Event) -> None:
    # Feeds the scans the ring holds to the timeline, watches for stalls and
    # runs the event hook, off the library's thread; after stop() it feeds what
    # is left, hands out what the timeline held back and ends. Holds the
    # amplifier only weakly (never while it waits), so that a forgotten one is
    # still finalised.
    while True:
        amplifier = reference()
        if amplifier is None:
            return
        interval = min(0.1, amplifier._timeline.effective_stall_timeout() / 5)
        del amplifier
        stopping = stop.is_set()
        if not stopping:
            chunks.wait(interval, READ_GAP)
        amplifier = reference()
        if amplifier is None:
            return
        amplifier._take(chunks)
        if stopping:
            lost = chunks.pending_dropped()
            if lost:
                amplifier._overflow(time.monotonic(), amplifier._timeline.sample_count, lost)
            amplifier._flush()
            amplifier._dispatch()
            return
        amplifier._check_stall(time.monotonic())
        amplifier._dispatch()
        del amplifier
