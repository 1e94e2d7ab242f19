"""read() never hangs on a stream that has ended, and Ctrl-C never breaks the
ring buffer, over a stand-in device."""
import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from .simulation import SRC
from .stand_in import stand_in

TYPES = [1, 5, 4, 9]


def scan(k):
    return [k * 0.5, k, 90, 1]


def test_read_returns_at_once_when_the_amplifier_stops_or_closes():
    amp, device = stand_in("UX-1", TYPES, scan)
    amp.start()
    first, _ = amp.read(timeout=5.0)
    assert len(first)
    # A read without a time limit, waiting when another thread closes.
    closer = threading.Timer(0.3, amp.close)
    closer.start()
    began = time.monotonic()
    got = []
    while True:
        data, _ = amp.read(timeout=None)
        if not len(data):
            break
        got.append(data)
    # Well inside the 10 s of a bounded read: the close woke it.
    assert time.monotonic() - began < 5.0
    closer.join()
    counters = np.concatenate([first] + got)[:, 1]
    assert np.array_equal(counters, np.arange(1, len(counters) + 1))
    # Stopped, nothing unread: at once, whatever the timeout.
    for timeout in (None, 10.0):
        began = time.monotonic()
        assert len(amp.read(timeout=timeout)[0]) == 0
        assert time.monotonic() - began < 2.0  # not the 10 s time-out


def test_a_stopped_amplifier_hands_out_what_is_unread_first():
    amp, device = stand_in("UX-1", TYPES, scan)
    amp.start()
    assert amp.read(timeout=5.0)[0].shape[0] > 0
    time.sleep(0.2)
    amp.stop()
    began = time.monotonic()
    data, _ = amp.read(timeout=None)
    assert len(data) > 0 and len(amp.read(timeout=None)[0]) == 0
    assert time.monotonic() - began < 2.0


@pytest.mark.parametrize("timeout", ["None", "0.002"])
def test_a_burst_of_ctrl_c_while_reading_breaks_nothing(timeout):
    # Its own process: SIGINT goes to the main thread, which reads without a
    # limit while a stand-in device writes 2,000 scans a second. A scan that
    # read() had returned when Ctrl-C landed, before the caller took it, is
    # the caller's loss; the buffer must keep its order, its lock and its count.
    program = textwrap.dedent("""
        import os, signal, sys, threading, time
        import numpy as np
        from tavo_ble.tests.stand_in import stand_in

        amp, device = stand_in("UX-1", [1, 5, 4, 9], lambda k: [k, k, 90, 1], rate=2000, frames=4, total=6000)
        TIMEOUT = float(sys.argv[1]) if sys.argv[1] != "None" else None
        go, done = threading.Event(), threading.Event()

        def interrupt():
            go.wait()
            while not done.is_set():
                for _ in range(200):
                    os.kill(os.getpid(), signal.SIGINT)
                time.sleep(0.01)

        # Ctrl-C as Python raises it, but only inside the try below: a burst
        # landing on the loop's own lines or in its except clause would end
        # this program, not test read().
        armed = [False]

        def on_sigint(signum, frame):
            if armed[0]:
                armed[0] = False
                raise KeyboardInterrupt

        signal.signal(signal.SIGINT, on_sigint)
        threading.Thread(target=interrupt, daemon=True).start()
        amp.start()
        got, interrupted = [], 0
        go.set()
        while amp._ring.written < 6000:
            try:
                armed[0] = True
                got.append(amp.read(timeout=TIMEOUT)[0])
                armed[0] = False
            except KeyboardInterrupt:
                interrupted += 1
        armed[0] = False
        done.set()
        got.append(amp.read()[0])
        amp.stop()
        counters = np.concatenate(got)[:, 1]
        print(interrupted, amp._ring.written, len(amp._ring), amp._ring._lock.locked(),
              bool(np.all(np.diff(counters) > 0)), int(counters[-1]))
        """)
    env = dict(os.environ, PYTHONPATH=SRC)
    result = subprocess.run([sys.executable, "-c", program, timeout], env=env, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    interrupted, written, unread, locked, rising, last = result.stdout.split()
    assert int(interrupted) > 10, result.stdout
    assert (written, unread, locked, rising, last) == ("6000", "0", "False", "True", "6000"), result.stdout
    assert "Error" not in result.stderr and "Exception" not in result.stderr, result.stderr
