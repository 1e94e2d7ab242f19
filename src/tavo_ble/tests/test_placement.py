"""The native placement against the Python rules: long made-up streams (radio
jitter, changing notification sizes, lost notifications, late ones, host
backlogs, outages of the amplifier's clock, stalls), fed once scan by scan
through ``feed()`` and once in chunks through ``feed_chunk()``, which places
the common run in the helper; times, arrivals, scans, events and counts must
be identical, to the bit."""
import ctypes
import random
import threading

import numpy as np
import pytest

from tavo_ble import placement
from tavo_ble.reading import ChunkReading
from tavo_ble.ring_buffer import RingBuffer
from tavo_ble.scan_chunks import ScanChunks
from tavo_ble.timeline import StreamTimeline

pytestmark = pytest.mark.skipif(not placement.usable(ctypes.sizeof(StreamTimeline)),
                                reason="the native helper is not built")

VALID = 2  # scans are [sample number, value, data valid]


def lab_stream(seed, notifications=4000):
    """(scans, arrivals, stall checks) of a stream with a bit of everything, by seed."""
    rng = random.Random(seed)
    rate = rng.choice([250, 500, 1000, 2000])
    scans, arrivals, checks = [], [], []
    t, number, frames = 50.0 + rng.random(), 0, rng.choice([1, 2, 4])
    skipped = rng.choice([0, 0, 3, 300])
    for _ in range(skipped):  # counted by the amplifier before the stream
        scans.append([number, 0.0, 0.0])
        arrivals.append(t)
        number += 1
    backlog = 0.0
    for k in range(notifications):
        if rng.random() < 0.002:
            frames = rng.choice([1, 2, 4, 8])  # another amplifier configuration
        t += frames / rate
        event = rng.random()
        lost = event < 0.01  # lost on the radio: fillers
        if 0.01 <= event < 0.013:
            t += rng.uniform(0.3, 2.5)  # an outage: the clock moves on, the numbers do not
            if rng.random() < 0.5:
                checks.append((len(arrivals), t - 0.05))  # noticed as a stall meanwhile
        if 0.013 <= event < 0.0145:
            backlog = rng.uniform(0.05, 0.4)  # the host stops reading for a while
        jitter = rng.expovariate(1 / 0.001) if rng.random() < 0.98 else rng.uniform(0, 0.02)
        arrival = t + 0.003 + jitter
        if backlog > 0:
            arrival = max(arrival, t + backlog)
            backlog -= frames / rate
        arrival = max(arrival, arrivals[-1] + 1e-6 if arrivals else arrival)  # in order, as the host sees them
        for f in range(frames):
            scans.append([number, rng.uniform(-1, 1), 0.0 if lost else 1.0])
            arrivals.append(arrival + f * 1e-6)
            number += 1
    return rate, np.array(scans, np.float32), np.array(arrivals), checks


def run(rate, scans, arrivals, checks, chunked, seed, native=True):
    timeline = StreamTimeline("UX-7", rate, VALID, None, 49.0)
    if not native:
        timeline._native = None
    rng = random.Random(seed)
    rows, times, groups = [], [], []
    pending = list(checks)
    i = 0
    while i < len(arrivals):
        end = min(len(arrivals), i + rng.choice([1, 2, 5, 50, 100, 700, 4096]))
        if pending and pending[0][0] < end:
            end = max(i + 1, pending[0][0])
        if chunked:
            ready, t, g = timeline.feed_chunk(scans[i:end], arrivals[i:end])
            rows.append(ready)
            times.append(t)
            groups.append(g)
        else:
            for k in range(i, end):
                for scan, fitted, at in timeline.feed(scans[k], float(arrivals[k])):
                    rows.append(scan[None, :])
                    times.append(np.array([fitted]))
                    groups.append(np.array([at]))
        i = end
        while pending and pending[0][0] <= i:
            timeline.check_stall(pending.pop(0)[1])
    for scan, fitted, at in timeline.flush():
        rows.append(scan[None, :])
        times.append(np.array([fitted]))
        groups.append(np.array([at]))
    counts = (timeline.sample_count, timeline.segments, timeline.skipped_before_start, timeline.stalls)
    return np.concatenate(rows), np.concatenate(times), np.concatenate(groups), timeline.take(), counts


@pytest.mark.parametrize("seed", range(12))
def test_native_placement_gives_the_python_rules_times_and_events_to_the_bit(seed, monkeypatch):
    rate, scans, arrivals, checks = lab_stream(seed)
    placed = [0]
    place = placement.place

    def counting(*args):
        n = place(*args)
        placed[0] += n
        return n

    monkeypatch.setattr(placement, "place", counting)
    rows, times, groups, events, counts = run(rate, scans, arrivals, checks, True, seed)
    assert placed[0] > len(arrivals) // 4  # much of it placed natively
    monkeypatch.undo()
    for reference in (run(rate, scans, arrivals, checks, False, seed),
                      run(rate, scans, arrivals, checks, True, seed, native=False)):
        ref_rows, ref_times, ref_groups, ref_events, ref_counts = reference
        assert np.array_equal(rows, ref_rows)
        assert times.tobytes() == ref_times.tobytes() and groups.tobytes() == ref_groups.tobytes()
        assert events == ref_events and counts == ref_counts
    # Every measured scan came out once, in order, with rising times.
    measured = scans[:, VALID] != 0
    assert counts[0] + counts[2] == len(scans)
    assert np.array_equal(rows[rows[:, VALID] != 0, 0], scans[measured, 0][:len(rows[rows[:, VALID] != 0])])
    assert np.all(np.diff(times) > 0)
    kinds = {e.kind for e in events}
    assert "fillers" in kinds or seed % 4 == 3


def test_a_chunk_of_fillers_and_late_scans_alone_goes_the_python_way():
    # Nothing of a stream that opens with fillers and a first notification is
    # placed natively; the clock runs only after the first notification ends.
    timeline = StreamTimeline("UX-7", 250, VALID)
    scans = np.array([[0, 0, 0], [1, 0, 0], [2, 0.5, 1], [3, 0.5, 1]], np.float32)
    ready, times, groups = timeline.feed_chunk(scans, np.array([10.0, 10.0, 10.01, 10.01]))
    assert len(ready) == 0 and timeline.skipped_before_start == 2
    ready, times, groups = timeline.feed_chunk(scans[2:] + [2, 0, 0], np.array([10.018, 10.018]))
    assert ready[:, 0].tolist() == [2, 3, 4, 5] and np.all(np.diff(times) > 0)
    assert groups.tolist() == [10.01, 10.01, 10.018, 10.018]


class _Reader(ChunkReading):
    """What the reading thread needs of an amplifier, around a timeline."""

    def __init__(self, timeline):
        self._timing = threading.Lock()
        self._timeline = timeline
        self._valid_index = VALID
        self._ring = RingBuffer(1 << 17, 3)
        self.on_scan, self.callback_errors, self.dropped, self.serial = None, 0, 0, "UX-7"
        self._events, self._to_dispatch = [], []

    def _collect_events(self):
        self._events += self._timeline.take()


@pytest.mark.parametrize("seed", [3, 7])
def test_the_reading_turn_places_in_the_helper_what_the_python_rules_place(seed):
    # The reading thread's turn (ring read and common run placed in one
    # helper call, the rest through feed_chunk) against feed(), scan by scan.
    rate, scans, arrivals, _ = lab_stream(seed, 2500)
    reference = run(rate, scans, arrivals, [], False, seed)
    reader = _Reader(StreamTimeline("UX-7", rate, VALID, None, 49.0))
    chunks = ScanChunks(3, 8192)
    take, placed = chunks.take, [0]

    def counting(timeline=None):
        n, native, lost = take(timeline)
        placed[0] += native
        return n, native, lost

    chunks.take = counting
    rng = random.Random(seed)
    i = 0
    while i < len(arrivals):
        end = min(len(arrivals), i + rng.choice([1, 3, 40, 150, 700, 5000]))
        for k in range(i, end):
            chunks.push(scans[k], float(arrivals[k]))
        reader._take(chunks)
        i = end
    reader._flush()
    rows, times, groups = reader._ring.read(None)
    assert placed[0] > len(arrivals) // 10
    assert np.array_equal(rows, reference[0])
    assert times.tobytes() == reference[1].tobytes() and groups.tobytes() == reference[2].tobytes()
    assert reader._events == reference[3] and reader.dropped == 0
