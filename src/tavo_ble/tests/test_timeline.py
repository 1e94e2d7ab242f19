"""StreamTimeline on made-up arrivals: what came before the stream, a gap in
the amplifier's clock, and a backlog of the host, each against the true
sample times."""
import numpy as np
import pytest

from tavo_ble.timeline import StreamTimeline

RATE, FRAMES = 250, 2
VALID = 1  # scans are [sample number, data valid]


def deliver(timeline, notifications):
    """Feeds (arrival, [scans]) in order; returns {sample number: time} of what came out."""
    out = {}
    for arrival, scans in notifications:
        for scan in scans:
            for ready, time, _ in timeline.feed(np.array(scan, np.float32), arrival):
                out[int(ready[0])] = time
    for ready, time, _ in timeline.flush():
        out[int(ready[0])] = time
    return out


def stream(first, count, start, rng, late=lambda k: 0.0):
    """`count` notifications from sample `first` on, the first sampled at
    `start`: each sent when its last scan is sampled, arriving a little later."""
    notes = []
    for k in range(count):
        last = first + FRAMES * k + FRAMES - 1
        sent = start + (last - first) / RATE
        notes.append((sent + 0.002 + rng.exponential(0.0005) + late(k),
                      [[first + FRAMES * k + f, 1.0] for f in range(FRAMES)]))
    return notes


def true_time(number, first, start):
    return start + (number - first) / RATE


def test_fillers_before_the_stream_are_skipped_and_fillers_inside_keep_their_times():
    rng = np.random.default_rng(1)
    timeline = StreamTimeline("UX", RATE, VALID)
    notes = stream(1, 400, 100.0, rng)
    # 300 samples counted before the stream: fillers before the first payload.
    notes[0] = (notes[0][0], [[0, 0.0]] * 300 + notes[0][1])
    # A notification lost on the radio: its two fillers come with the next one.
    notes[200] = (notes[201][0], [[401, 0.0], [402, 0.0]])
    out = deliver(timeline, notes)
    assert timeline.skipped_before_start == 300
    assert [e.kind for e in timeline.take()][:1] == ["skipped"]
    assert min(out) == 1 and len(out) == 800
    errors = [out[n] - true_time(n, 1, 100.0) for n in out if n > 40]
    assert np.max(np.abs(errors)) < 0.004


def test_a_gap_in_the_amplifiers_clock_starts_a_new_line():
    rng = np.random.default_rng(2)
    timeline = StreamTimeline("UX", RATE, VALID)
    before = stream(1, 500, 100.0, rng)
    # The link is lost for 1.7 s; the amplifier resumes counting where it stopped.
    resumed = 100.0 + 1000 / RATE + 1.7
    after = stream(1001, 500, resumed, rng)
    out = deliver(timeline, before + after)
    events = timeline.take()
    gaps = [e for e in events if e.kind == "gap"]
    assert len(gaps) == 1 and gaps[0].first_sample == 1000
    assert gaps[0].seconds == pytest.approx(1.7, abs=0.004)
    late = [out[n] - true_time(n, 1001, resumed) for n in range(1001, 2001)]
    assert np.max(np.abs(late)) < 0.004
    assert np.all(np.diff([out[n] for n in sorted(out)]) > 0)


def test_a_backlog_of_the_host_keeps_the_line():
    rng = np.random.default_rng(3)
    timeline = StreamTimeline("UX", RATE, VALID)

    def stalled(k):
        # The host stops reading for 300 ms; what queued meanwhile comes at once.
        sent = 100.0 + (FRAMES * k + 1) / RATE
        release = 100.0 + 2.0 + 0.3
        return max(0.0, release - sent) if 100.0 + 2.0 <= sent < release else 0.0

    out = deliver(timeline, stream(1, 600, 100.0, rng, stalled))
    assert not [e for e in timeline.take() if e.kind == "gap"]
    errors = [out[n] - true_time(n, 1, 100.0) for n in out if n > 40]
    assert np.max(np.abs(errors)) < 0.004 and len(out) == 1200
