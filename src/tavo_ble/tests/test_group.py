"""An AmplifierGroup over stand-in amplifiers: every read() cuts all chunks at
one common time, and a silent amplifier does not hold the others back."""
import os
import time

import numpy as np

from tavo_ble.group import AmplifierGroup

from .simulation import wait_until
from .stand_in import stand_in

TYPES = [1, 5, 4, 9]


def scan(k):
    return [k * 0.5, k, 90, 1]


def test_reads_cut_every_chunk_at_one_common_time():
    slow, _ = stand_in("UX-1", TYPES, scan, rate=250)
    fast, _ = stand_in("UX-2", TYPES, scan, rate=500, frames=4)
    group = AmplifierGroup([slow, fast])
    group.start()
    try:
        windows = []
        previous_end = -np.inf
        deadline = time.monotonic() + 30
        while len(windows) < 20 and time.monotonic() < deadline:
            chunks = group.read(timeout=2.0)
            end = group.window_end
            for data, times in chunks.values():
                assert np.all(times > previous_end) and np.all(times <= end)
                assert len(times) == 0 or np.all(np.diff(data[:, 1]) == 1)  # nothing skipped in a chunk
            if all(len(t) for _, t in chunks.values()):
                windows.append([(t[0], t[-1]) for _, t in chunks.values()])
            previous_end = end
            time.sleep(0.03)
        assert len(windows) == 20
        # Each chunk reaches the common end within one of its own sample periods,
        # and starts within one after the previous end.
        for (slow_first, slow_last), (fast_first, fast_last) in windows[1:]:
            # (a fitted period, within 2 % of the nominal one)
            assert abs(slow_last - fast_last) < 1.02 / 250
            assert abs(slow_first - fast_first) < 1.02 / 250
    finally:
        group.stop()
    # Stopped: the rest comes out, every scan exactly once over all reads.
    rest = group.read()
    assert all(len(d) == 0 or d[-1, 1] == a.sample_count for a, (d, _) in zip(group, rest.values()))


def test_a_stalled_amplifier_does_not_hold_the_group_back():
    steady, _ = stand_in("UX-1", TYPES, scan)
    silent, silent_device = stand_in("UX-2", TYPES, scan)
    silent.stall_timeout = 0.3
    silent_device.silent = range(50, 10 ** 9)  # the link drops after 0.2 s
    group = AmplifierGroup([steady, silent])
    group.start()
    try:
        assert wait_until(lambda: silent.stalls == 1)
        group.read()
        chunks = group.read(timeout=5.0)
        assert len(chunks["UX-1"][0]) > 0
        assert len(chunks["UX-2"][0]) == 0
    finally:
        group.close()


def test_one_reading_thread_serves_all_a_failing_turn_and_a_stop_from_a_callback_included(capsys):
    broken, _ = stand_in("UX-1", TYPES, scan)
    steady, _ = stand_in("UX-2", TYPES, scan)

    def fails(chunks):
        raise RuntimeError("a fault in this amplifier's turn")

    broken._take = fails
    seen = []

    def on_scan(amplifier, data, time_):
        seen.append(int(data[1]))
        if len(seen) == 100:
            amplifier.stop()  # on the reading thread itself: its last turn follows

    steady.on_scan = on_scan
    group = AmplifierGroup([broken, steady])
    group.start()
    try:
        assert wait_until(lambda: not steady.is_streaming)
        began = time.monotonic()
        broken.stop()
        assert time.monotonic() - began < 1.0  # its last turn ran, failing as the others
        data, _ = steady.read()
        # Every scan of the steady one came out once, in order, up to its stop.
        assert seen == list(range(1, len(seen) + 1)) and len(seen) >= 100
        assert data[:, 1].tolist() == seen
    finally:
        group.close()
    assert capsys.readouterr().err.count("reading UX-1 failed") == 1


def test_a_forked_child_reads_its_own_amplifiers():
    # The parent's reading thread is not in the child: the child's start() makes its own.
    parent, _ = stand_in("UX-1", TYPES, scan)
    parent.start()
    try:
        assert len(parent.read(timeout=5.0)[0])
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                child, _ = stand_in("UX-2", TYPES, scan)
                child.start()
                code = 0 if len(child.read(timeout=5.0)[0]) else 1
                child.close()
            finally:
                os._exit(code)
        _, status = os.waitpid(pid, 0)
        assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
        assert len(parent.read(timeout=5.0)[0])  # and the parent reads on
    finally:
        parent.close()
