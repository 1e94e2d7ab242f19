"""The ring buffer, the sample clock and the result codes, without an amplifier."""
import os
import re

import numpy as np
import pytest

from tavo_ble import errors
from tavo_ble.amplifier import Amplifier
from tavo_ble.ring_buffer import RingBuffer
from tavo_ble.sample_clock import SampleClock

HEADER = os.path.join(os.path.dirname(__file__), "..", "..", "..", "libtavoble", "include", "tavoble.h")


def test_ring_buffer_keeps_order_and_counts_what_it_overwrote():
    ring = RingBuffer(4, 2)
    for i in range(6):
        assert ring.put(np.array([i, -i], np.float32), float(i), float(i) + 0.5) == (1 if i >= 4 else 0)
    assert ring.dropped == 2
    data, times, arrivals = ring.read(max_scans=3)
    assert data[:, 0].tolist() == [2, 3, 4] and times.tolist() == [2, 3, 4]
    assert arrivals.tolist() == [2.5, 3.5, 4.5]
    # The newest window is independent of what was read; the rest is still unread.
    assert ring.latest(10)[0][:, 0].tolist() == [2, 3, 4, 5]
    assert ring.read()[0][:, 0].tolist() == [5]
    assert ring.read(timeout=0.05)[0].shape == (0, 2)
    # A short scan is padded with NaN rather than keeping stale values.
    ring.put(np.array([7], np.float32), 6.0, 6.0)
    row = ring.read()[0][0]
    assert row[0] == 7 and np.isnan(row[1])


def test_ring_buffer_reads_up_to_a_time_across_the_wrap():
    ring = RingBuffer(4, 1)
    assert ring.newest_time() == -np.inf
    for i in range(6):  # slots wrap: the unread scans are 2..5
        ring.put(np.array([i], np.float32), 10.0 + i, 0.0)
    assert ring.newest_time() == 15.0
    assert ring.read_until(9.0)[0].shape == (0, 1)
    assert ring.read_until(13.5)[0][:, 0].tolist() == [2, 3]
    assert ring.read_until(15.0)[1].tolist() == [14.0, 15.0]
    assert len(ring) == 0


def test_sample_clock_restart_keeps_the_period_and_moves_the_offset():
    clock = SampleClock(250.0)
    for n in range(1, 2000, 2):
        clock.update(n, 100.0 + n / 250.0 * 1.001)
    period = clock.period
    clock.restart()
    clock.update(2001, 500.0)  # after a pause the same sample numbers mean a later time
    assert clock.time_of(2001) == 500.0
    assert clock.time_of(2101) - clock.time_of(2001) == pytest.approx(100 * period, rel=1e-6)


def test_sample_clock_fits_through_jitter_and_ignores_late_bursts():
    rate, frames = 250.0, 2
    rng = np.random.default_rng(1)
    clock = SampleClock(rate)
    start = 1000.0
    errors_ms = []
    for k in range(5000):
        last = frames * k + frames - 1
        sent = start + last / rate * 1.0001  # the amplifier's clock runs slightly fast
        delay = 0.004 + rng.exponential(0.002)
        if 3000 <= k < 3050:
            delay += 0.2  # a burst of late notifications (radio retries)
        clock.update(last, sent + delay)
        if k > 500:
            errors_ms.append((clock.time_of(last) - sent) * 1000)
    errors_ms = np.array(errors_ms)
    jitter = errors_ms - np.median(errors_ms)
    assert np.percentile(np.abs(jitter), 99) < 0.5, np.percentile(np.abs(jitter), 99)
    assert abs(clock.period - 1.0001 / rate) < 1e-7


def test_result_codes_agree_with_the_header():
    with open(HEADER, encoding="utf-8") as header:
        text = header.read()
    named = {m.group(1): int(m.group(2)) for m in re.finditer(
        r"#define\s+TAVOBLE_(?:RESULT|ERROR)_(\w+)\s+\(?(-?\d+)\)?", text)}
    # The Python names predate the header's; each maps to one constant.
    header_name = {"NONE": "SUCCESS", "INVALID_PAYLOAD_SIZE": "PAYLOAD_SIZE",
                   "INVALID_ARGUMENT": "INVALID_ARGUMENT", "INVALID_HANDLE": "HANDLE",
                   "BLUETOOTH_ADAPTER": "ADAPTER", "AMPLIFIER_SESSION": "SESSION"}
    if named:
        for member in Amplifier.Error:
            assert named.get(header_name[member.name]) == member.value, (member, named)
        assert len(named) == len(Amplifier.Error), named
    else:
        documented = {int(v) for v in re.findall(r"^\s\*\s+(-?\d+)\s+\S", text, re.MULTILINE)}
        assert {m.value for m in Amplifier.Error} - {0, -2} <= documented
    # Each failure code has its own exception type, and all stay ValueErrors.
    for member in Amplifier.Error:
        if member.value != 0:
            error = errors.error_for(member.value, "why")
            assert isinstance(error, ValueError) and error.code == member.value and error.text == "why"
            assert type(error) is not errors.Error
    assert errors.signed_code(0xFFFFFFFF) == -1 and errors.signed_code(3) == 3
