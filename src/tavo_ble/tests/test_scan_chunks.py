"""Scans placed in chunks: the same times and events as scan by scan, and a
ring that overflows loses nothing unseen."""
import random
import threading

import numpy as np
import pytest

from tavo_ble import amplifier as amplifier_module
from tavo_ble import scan_chunks
from tavo_ble.timeline import StreamTimeline

from .simulation import wait_until
from .stand_in import stand_in

RATE = 250
VALID = 3


def recorded_stream(seed):
    """Scans and arrivals as a lab sees them: fillers before the first measured
    scan, notifications of 2 or 4 scans with jittered arrivals, runs of
    fillers, a pause (a stall, then a gap in the amplifier's clock) and a
    burst of late notifications arriving together (a backlog)."""
    rng = random.Random(seed)
    scans, arrivals, checks = [], [], []
    t, number = 100.0, 0
    for notification in range(600):
        frames = 2 if notification < 300 else 4
        t += frames / RATE
        if notification == 200:
            t += 1.5  # a pause: nothing for 1.5 s
            checks.append((len(arrivals), t - 0.3))
        late = 0.03 if 400 <= notification < 405 else rng.uniform(0, 0.004)
        arrival = t + late
        filler_run = notification < 2 or 120 <= notification < 126 or 450 <= notification < 452
        for _ in range(frames):
            scans.append([number * 0.5, number, 90.0, 0.0 if filler_run else 1.0])
            arrivals.append(arrival + rng.uniform(0, 2e-6))  # the scans of one notification a moment apart
            number += 1
    return np.array(scans, np.float32), np.array(arrivals), checks


def feed_all(timeline, scans, arrivals, checks, chunked, rng):
    """Everything handed out, as (rows, times, arrivals), chunk by chunk or scan by scan."""
    rows, times, groups = [], [], []
    i = 0
    pending = list(checks)
    while i < len(arrivals):
        end = min(len(arrivals), i + rng.choice([1, 3, 7, 64, 500]))
        if pending and pending[0][0] < end:
            end = max(i + 1, pending[0][0])
        if chunked:
            ready, t, g = timeline.feed_chunk(scans[i:end], arrivals[i:end])
            rows += list(ready)
            times += t.tolist()
            groups += g.tolist()
        else:
            for k in range(i, end):
                for scan, fitted, at in timeline.feed(scans[k], arrivals[k]):
                    rows.append(scan)
                    times.append(fitted)
                    groups.append(at)
        i = end
        if pending and pending[0][0] == i:
            timeline.check_stall(pending.pop(0)[1])
    for scan, fitted, at in timeline.flush():
        rows.append(scan)
        times.append(fitted)
        groups.append(at)
    return np.array(rows), np.array(times), np.array(groups)


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_chunks_are_placed_exactly_as_scan_by_scan(seed):
    scans, arrivals, checks = recorded_stream(seed)
    one = StreamTimeline("UX-1", RATE, VALID, None, 99.0)
    many = StreamTimeline("UX-1", RATE, VALID, None, 99.0)
    rows_one, times_one, groups_one = feed_all(one, scans, arrivals, checks, False, random.Random(seed))
    rows_many, times_many, groups_many = feed_all(many, scans, arrivals, checks, True, random.Random(seed))
    assert np.array_equal(rows_one, rows_many) and np.array_equal(groups_one, groups_many)
    assert np.array_equal(times_one, times_many)
    assert np.all(np.diff(times_many) > 0)
    events = one.take()
    assert events == many.take()
    kinds = [e.kind for e in events]
    assert kinds.count("fillers") == 2 and "skipped" in kinds and "gap" in kinds and one.stalls == many.stalls == 1
    assert (one.sample_count, one.segments, one.skipped_before_start) == (
        many.sample_count, many.segments, many.skipped_before_start)
    assert len(rows_many) == len(scans) - many.skipped_before_start


def test_an_overflowing_ring_turns_the_lost_scans_into_fillers(monkeypatch):
    # The reading thread is held up while the stream goes on into a ring of 64
    # scans: what did not fit comes as fillers in its place, counted and told.
    monkeypatch.setattr(amplifier_module, "_RING_SECONDS", 0.0)
    monkeypatch.setattr(amplifier_module, "_RING_MINIMUM", 64)
    amp, device = stand_in("UX-1", [1, 5, 4, 9], lambda k: [k * 0.5, k, 90, 1], rate=1000, frames=4)
    amp.start()
    try:
        assert wait_until(lambda: amp.sample_count >= 40)
        with amp._timing:  # the reading thread waits here
            sent = len(device.sent)
            assert wait_until(lambda: len(device.sent) >= sent + 400)
        assert wait_until(lambda: amp.sample_count >= len(device.sent) - 8 and len(device.sent) >= sent + 600)
    finally:
        amp.stop()
    data, times = amp.read()
    assert len(data) == amp.sample_count
    valid = data[:, 3] == 1.0
    # Every measured scan sits at its own sample number; the rest are fillers.
    numbers = np.arange(len(data)) + 1
    assert np.array_equal(data[valid, 1], numbers[valid].astype(np.float32))
    lost = int(np.count_nonzero(~valid))
    assert lost > 200 and amp.dropped == lost
    assert np.all(np.isnan(data[~valid, 0]))
    overflow = [e for e in amp.events() if e.kind == "overflow"]
    assert sum(e.samples for e in overflow) == lost
    assert all(data[e.first_sample, 3] == 0.0 for e in overflow)
    assert np.all(np.diff(times) > 0)


def test_the_ring_keeps_order_and_width_whichever_side_fills_it():
    ring = scan_chunks.ScanChunks(3, 8)
    threading.Thread(target=lambda: [ring.push(np.full(2 + k % 3, k, np.float32), float(k)) for k in range(6)]
                     ).start()
    assert wait_until(lambda: ring.wait(0.1) == 6)
    values, arrivals, dropped = ring.read()
    assert list(arrivals) == list(range(6)) and dropped is None
    assert np.array_equal(values[:, 0], np.arange(6, dtype=np.float32))
    assert np.isnan(values[0, 2]) and values[1, 2] == 1.0  # a short scan is padded, a long one cut
    for k in range(10):
        ring.push(np.zeros(3, np.float32), float(k))
    assert len(ring.read()[0]) == 8 and ring.pending_dropped() == 2
    ring.push(np.ones(3, np.float32), 10.0)
    values, arrivals, dropped = ring.read()
    assert list(arrivals) == [10.0] and list(dropped) == [2]  # the 2 that found no room came before it


@pytest.mark.parametrize("native", [True, False], ids=["helper", "python"])
def test_a_ring_counts_the_fillers_before_the_first_measured_scan(monkeypatch, native):
    # Far more than it holds, as from an amplifier that counted for hours.
    if not native:
        monkeypatch.setattr(scan_chunks, "helper", None)
    elif scan_chunks.helper is None:
        pytest.skip("the native helper is not built")
    ring = scan_chunks.ScanChunks(3, 8)
    ring.skip_leading_fillers(2)
    for k in range(1000):
        ring.push(np.array([k, 5.0, 0.0], np.float32), 1.0)
    assert ring.skipped() == 1000 and ring.wait(0.0) == 0 and ring.pending_dropped() == 0
    for k, valid in ((1000, 1.0), (1001, 0.0), (1002, 1.0)):  # fillers after it are held
        ring.push(np.array([k, 5.0, valid], np.float32), 2.0)
    values, _, dropped = ring.read()
    assert values[:, 0].tolist() == [1000, 1001, 1002] and dropped is None and ring.skipped() == 1000


def test_ring_buffer_takes_chunks_as_it_takes_scans_one_by_one():
    # Chunks across the wrap and larger than the buffer: the same contents,
    # order and overwrite counts as scan by scan.
    from tavo_ble.ring_buffer import RingBuffer
    one, many = RingBuffer(7, 3), RingBuffer(7, 3)
    k = 0
    for size in (3, 5, 1, 9, 4, 20, 2):
        rows = np.arange(k, k + size, dtype=np.float32)[:, None] * np.ones(3, np.float32)
        times = np.arange(k, k + size, dtype=np.float64)
        lost_one = sum(one.put(rows[i], times[i], times[i]) for i in range(size))
        assert many.put_many(rows, times, times + 0.0) == lost_one
        k += size
        if size == 4:
            assert np.array_equal(one.read(3)[0], many.read(3)[0])
    for a, b in zip(one.read(), many.read()):
        assert np.array_equal(a, b)
    assert one.dropped == many.dropped > 0
