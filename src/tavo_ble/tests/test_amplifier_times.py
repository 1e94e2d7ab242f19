"""Sample times of an Amplifier over a stand-in device, across the two kinds
of gap: an amplifier that pauses (its sample numbers go on where they
stopped) and samples lost on the radio (the library hands over fillers)."""
import numpy as np

from .simulation import wait_until
from .stand_in import stand_in

TYPES = [1, 5, 4, 9]
RATE = 250


def scan(k):
    return [k * 0.5, k, 90, 1]


def stream_with_gap(fill):
    amp, device = stand_in("UX-1", TYPES, scan, rate=RATE, fill=fill)
    amp.stall_timeout = 0.3
    device.silent = range(201, 401)  # 0.8 s without data, from 0.8 s on
    amp.start()
    try:
        assert wait_until(lambda: amp.stalls == 1 and amp.sample_count >= (700 if fill else 500), timeout=30)
    finally:
        amp.stop()
    return amp, amp.read_with_arrivals()


def test_after_a_pause_the_sample_times_start_anew():
    amp, (data, times, arrivals) = stream_with_gap(fill=False)
    assert np.all(data[:, -1] == 1.0) and np.all(np.diff(times) > 0)
    # Sample 200 is the last before the pause: the next is 0.8 s later, not a period.
    assert 0.6 < times[200] - times[199] < 1.2
    after = slice(220, 400)
    assert abs(np.median(times[after] - arrivals[after])) < 0.02
    assert [e.kind for e in amp.events()].count("resumed") == 1


def test_fillers_for_lost_samples_keep_the_clock():
    amp, (data, times, arrivals) = stream_with_gap(fill=True)
    assert np.all(data[200:400, -1] == 0.0) and np.all(data[400:, -1] == 1.0)
    # The lost samples keep their places on the line: a period apart throughout.
    steps = np.diff(times[100:600])
    assert np.all(np.abs(steps - 1 / RATE) < 0.5 / RATE), steps
    assert abs(np.median(times[450:600] - arrivals[450:600])) < 0.02
