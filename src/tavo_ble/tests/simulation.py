"""Shared by the tests against tavoble-sim: starting it, a custom amplifier
whose samples the tests can recompute, and decoding what the simulator sent."""
import gc
import os
import sys
import time

import numpy as np
import pytest

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
SRC = os.path.join(REPO, "src")
sys.path.insert(0, os.path.join(REPO, "tools", "tavoble-sim", "testing"))

from tavoble_sim import Simulator, central_needs_bus_until_exit, find_executable  # noqa: E402,F401

DEFAULT_SERIAL = "UX-0001.00.01"
UNKNOWN_SERIAL = "UX-9999.00.01"

# Four channels with three different scale factors, the most negative raw
# value, and a counter; two scans per notification, in a layout of our own.
FRAMES = 2
SCALES = {1: 0.5, 2: 0.25, 3: 0.001, 4: 1.0}
LAYOUT = [[1, 0], [2, 0], [3, 0], [4, 0], [1, 1], [2, 1], [3, 1], [4, 1]]
CHANNEL_TYPES = [1, 1, 7, 5]
COUNTER_CHANNEL = 4


def custom_amplifier(name):
    return {
        "name": name,
        "samplingRate": 250,
        "scansPerNotification": FRAMES,
        "channels": [
            {"number": 1, "type": 1, "scale": SCALES[1],
             "waveform": {"kind": "sine", "frequencyHz": 7, "amplitude": 40, "noise": 3}},
            {"number": 2, "type": 1, "scale": SCALES[2], "waveform": {"kind": "raw", "raw": -8388608}},
            {"number": 3, "type": 7, "scale": SCALES[3],
             "waveform": {"kind": "sawtooth", "frequencyHz": 3, "amplitude": 5000}},
            {"number": 4, "type": 5, "scale": SCALES[4], "waveform": "counter"},
        ],
        "payloadLayout": LAYOUT,
        "battery": {"level": 64, "drainIntervalMs": 0},
    }


def raw24(data):
    """A big-endian 24-bit two's-complement sample."""
    value = (data[0] << 16) | (data[1] << 8) | data[2]
    return value - (1 << 24) if value & 0x800000 else value


def expected_scans(payloads):
    """Sample number -> the channel values the library must deliver for it,
    computed from the notifications as the simulator sent them."""
    expected = {}
    for payload in payloads:
        samples = {}
        for i, (channel, frame) in enumerate(LAYOUT):
            samples[(channel, frame)] = raw24(payload[3 * i:3 * i + 3])
        counter = samples[(COUNTER_CHANNEL, 0)]
        for frame in range(FRAMES):
            number = FRAMES * (counter - 1) + frame + 1
            row = [np.float32(samples[(c, frame)]) * np.float32(SCALES[c]) for c in (1, 2, 3)]
            expected[number] = np.array(row + [number], dtype=np.float32)
    return expected


def assert_scans_match_sent(scans, sim, name):
    """Every measured scan (data valid 1.0) equals what the simulator sent."""
    sent = expected_scans(payload for _, payload in sim.sent_data(name))
    measured = [s for s in scans if s[-1] == 1.0]
    assert measured, "no measured scans"
    for scan in measured:
        number = int(scan[COUNTER_CHANNEL - 1])
        assert number in sent, "scan %d was never sent" % number
        assert np.array_equal(scan[:4], sent[number]), (scan, sent[number])


def start_simulator():
    """A running simulator, or a skip when it has not been built."""
    try:
        executable = find_executable()
    except FileNotFoundError as error:
        pytest.skip(str(error))
    if not os.path.exists(executable):
        pytest.skip("tavoble-sim not built: %s" % executable)
    return Simulator(executable=executable).start()


@pytest.fixture(scope="module")
def sim():
    """One simulator for a module's tests; wrappers left over are finalised
    (closing their devices) before it stops."""
    simulator = start_simulator()
    yield simulator
    collect()
    simulator.close()


def on_simpleble():
    """True when the library under test is linked with an installed SimpleBLE."""
    try:
        with open(os.environ.get("TAVOBLE_LIBRARY", ""), "rb") as library:
            return b"libsimpleble" in library.read()
    except OSError:
        return False


def wait_until(predicate, timeout=10.0, interval=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return bool(predicate())


def collect():
    # A wrapper sits in a cycle with its C callback: only the cycle collector
    # finalises it, and its finaliser closes the device.
    gc.collect()


def python_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = SRC + (os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")
    return env


def true_times(sim, name, rate=250):
    """Sample number -> when the amplifier sampled it (time.monotonic()), from
    the simulator's record of what it sent: a notification goes out when its
    last scan is sampled, the scans before it a period apart."""
    truth = {}
    for ns, payload in sim.sent_data(name):
        counter = raw24(payload[9:12])  # channel 4 (the counter), frame 0
        for frame in range(FRAMES):
            truth[FRAMES * (counter - 1) + frame + 1] = ns / 1e9 - (FRAMES - 1 - frame) / rate
    return truth


def timing_errors(numbers, times, truth):
    """Each measured sample's time minus when it was sampled, in seconds."""
    return np.array([t - truth[int(n)] for n, t in zip(numbers, times) if int(n) in truth])


def file_timing_errors(contents, side, truth, rate=250):
    """Errors of the samples in a recording: file position p is p / rate
    seconds after the file's start; measured samples only."""
    valid = np.nonzero(contents.data[-1] == 1.0)[0]
    numbers = contents.data[COUNTER_CHANNEL - 1][valid]
    times = side["file_start_monotonic"] + valid / float(rate)
    return timing_errors(numbers, times, truth)


def scheduled_times(truth, rate=250, settle=50):
    """Sample number -> the simulator's schedule for it, from `true_times`.

    The simulator sends on a fixed schedule at the nominal rate; on a loaded
    machine it sends late at times and catches up with a burst, so a send
    time can lie behind the schedule. The schedule of a stretch is its least
    late send; a stretch ends where the sends stay later than it by more
    than 0.2 s for `settle` notifications (the amplifier paused).
    """
    numbers = np.array(sorted(truth))
    offsets = np.array([truth[n] - n / rate for n in numbers])
    schedule = {}
    start = 0
    while start < len(numbers):
        floor = offsets[start]
        end = start + 1
        while end < len(numbers):
            if offsets[end] > floor + 0.2 and np.all(offsets[end:end + settle] > floor + 0.2):
                break
            floor = min(floor, offsets[end])
            end += 1
        for k in range(start, end):
            schedule[int(numbers[k])] = floor + numbers[k] / rate
        start = end
    return schedule
