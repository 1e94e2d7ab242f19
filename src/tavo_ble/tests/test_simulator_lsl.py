"""An amplifier of the simulator published on LSL, as a lab's pylsl inlet sees
it: identity and meta-data, every scan as the amplifier sent it, in order and
with its time, across a dropped link, with the inlet staying connected."""
import time

import numpy as np
import pytest

import tavo_ble
from tavo_ble.lsl import publish

from .lsl_env import open_inlet, pylsl  # noqa: F401 (the pylsl fixture)
from .simulation import LAYOUT, custom_amplifier, expected_scans, sim, wait_until  # noqa: F401 (sim)

COUNTER = 3  # the sample number's column in a scan of the custom amplifier
VALID = 5
INFORMATION = {"modelNumber": "UX8", "firmwareRevision": "2.4.1", "hardwareRevision": "C",
               "manufacturerName": "Tavo Instruments"}


def lab_amplifier(name):
    amp = custom_amplifier(name)
    amp["deviceInformation"] = INFORMATION
    return amp


def send_times(sim, name):
    """Notification counter -> when the simulator sent it (CLOCK_MONOTONIC s)."""
    at = 3 * LAYOUT.index([4, 0])
    return {(p[at] << 16) | (p[at + 1] << 8) | p[at + 2]: ns / 1e9 for ns, p in sim.sent_data(name)}


def steady_schedule(sent):
    """Counter -> the amplifier's own schedule: the line through the send times of
    each run of notifications (a dropped link starts a new one), fitted to the
    sends that were on time. Under load the simulator sends late by up to
    hundreds of milliseconds, which sample times deliberately do not follow."""
    counters = np.array(sorted(sent))
    times = np.array([sent[c] for c in counters])
    period = np.median(np.diff(times))
    breaks = np.nonzero(np.diff(times) - np.diff(counters) * period > 0.1)[0] + 1
    schedule = {}
    for run_c, run_t in zip(np.split(counters, breaks), np.split(times, breaks)):
        if len(run_c) < 2:
            continue
        line = np.polyfit(run_c, run_t, 1)
        for _ in range(3):
            keep = np.abs(run_t - np.polyval(line, run_c)) < 0.005
            if keep.sum() >= 2:
                line = np.polyfit(run_c[keep], run_t[keep], 1)
        schedule.update(zip(run_c.tolist(), np.polyval(line, run_c).tolist()))
    return schedule


def pull(inlet, data, stamps, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        chunk, ts = inlet.pull_chunk(timeout=0.1)
        data += chunk
        stamps += ts


class Run:
    """What a lab's inlet received from a published amplifier, and what the simulator sent."""


@pytest.fixture(scope="module")
def run(sim, pylsl):
    """An amplifier published for 3 s, its link dropped, 3 s more."""
    name = "UX-0061.00.01"
    sim.add_amplifier(lab_amplifier(name))
    got = Run()
    data, stamps = [], []
    with tavo_ble.Amplifier.open(name, timeout=30) as amp:
        with publish(amp) as publication:
            inlet = open_inlet(pylsl, "tavoble-" + name)  # recovers by itself, as LabRecorder's does
            events = open_inlet(pylsl, "tavoble-%s-events" % name)
            got.info = inlet.info(10)
            assert publication.outlet.wait_for_consumers(10)
            assert publication.outlet.wait_for_consumers(10, markers=True)
            pull(inlet, data, stamps, 3.0)
            connects = sim.counters(name)["connects"]
            sim.disconnect_peer(name)
            assert wait_until(lambda: sim.counters(name)["connects"] > connects, timeout=30)
            pull(inlet, data, stamps, 3.0)
            assert publication.error is None
            texts, _ = events.pull_chunk(timeout=1.0)
            got.events = [(t[0], None) for t in texts]
    got.name = name
    got.sent = send_times(sim, name)
    got.values = expected_scans(payload for _, payload in sim.sent_data(name))
    sim.remove_amplifier(name)
    got.data, got.stamps = np.array(data, np.float32), np.array(stamps)
    got.numbers = got.data[:, COUNTER].astype(int)
    return got


def test_identity_and_meta_data(run):
    full, name = run.info, run.name
    assert (full.name(), full.type(), full.channel_count(), full.nominal_srate()) == (name, "EEG", 6, 250)
    assert name in full.source_id()
    desc = full.desc()
    assert [desc.child_value(k) for k in ("manufacturer", "model", "serial_number", "firmware_version",
                                          "hardware_version")] == ["Tavo Instruments", "UX8", name, "2.4.1", "C"]
    units = []
    channel = desc.child("channels").child("channel")
    while not channel.empty():
        units.append((channel.child_value("label"), channel.child_value("unit"), channel.child_value("type")))
        channel = channel.next_sibling("channel")
    assert units == [("Ch1", "microvolts", "EEG"), ("Ch2", "microvolts", "EEG"), ("Ch3", "microvolts", "EEG"),
                     ("Ch4", "", "MISC"), ("Battery", "percent", "MISC"), ("DataValid", "", "MISC")]


def test_every_scan_in_order_across_the_dropped_link(run):
    numbers = run.numbers
    assert len(numbers) > 250 * 5
    assert np.array_equal(numbers, np.arange(numbers[0], numbers[0] + len(numbers)))
    assert np.all(run.data[:, VALID] == 1.0)  # this amplifier stops counting while it is out of range
    for scan in run.data:
        assert np.array_equal(scan[:4], run.values[int(scan[COUNTER])])
    assert np.all(np.diff(run.stamps) > 0)


def time_errors(run):
    """Each scan's time stamp minus the time of its notification on the
    amplifier's clock, and minus the time the simulator sent it."""
    counters = (run.numbers - 1) // 2 + 1
    schedule = steady_schedule(run.sent)
    to_schedule = np.array([stamp - schedule[c] for c, stamp in zip(counters, run.stamps)])
    to_send = np.array([stamp - run.sent[c] for c, stamp in zip(counters, run.stamps)])
    return to_schedule, to_send


def test_every_time_stamp_against_the_send_times(run):
    # To within 20 ms of the notification's time on the amplifier's clock
    # (and so, mostly, of the time the simulator sent it), before the dropped
    # link and after it: the amplifier's clock went on while it was away.
    to_schedule, to_send = time_errors(run)
    assert np.max(np.abs(to_schedule)) < 0.020, np.max(np.abs(to_schedule))
    assert np.mean(np.abs(to_send) < 0.020) > 0.95
    assert np.max(np.diff(run.stamps)) > 0.05  # the outage, as time


def test_the_dropped_link_is_an_event(run):
    texts = [text for text, _ in run.events]
    assert any(t.startswith("gap: ") or t.startswith("link restored: gap ") for t in texts), texts
