"""Lab sequences against the simulator, every measured sample's time in
read(), in the file and in CSV compared with when the simulated amplifier
sampled it (its record of what it sent): a check stream before a recording,
a free-running counter, outages with and without a counter jump, a quick
reconnect, markers, a full disk and Ctrl-C.

The simulator sends on a fixed schedule, but on a loaded machine it sends
late at times and catches up with a burst; its schedule (the least late
send of each stretch, ``scheduled_times``) is the truth that leaves its own
lateness out."""
import json
import os
import resource
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import tavo_ble
from tavo_ble import bdf

from .simulation import (  # noqa: F401 (the sim fixture)
    COUNTER_CHANNEL, custom_amplifier, expected_scans, file_timing_errors, python_env, scheduled_times, sim,
    timing_errors, true_times, wait_until)

RATE = 250
BOUND = 0.020  # seconds between a sample's time and when it was sampled


def truth_of(sim, name):
    """When the amplifier sampled each sample, by number."""
    return scheduled_times(true_times(sim, name), RATE)


def amplifier(sim, name, **counter):
    description = custom_amplifier(name)
    if counter:
        description["counter"] = counter
    sim.add_amplifier(description)
    return name


def assert_on_time(errors, what):
    assert len(errors) > 100, what
    assert np.max(np.abs(errors)) < BOUND, "%s: worst %.1f ms, median %.1f ms" % (
        what, 1000 * np.max(np.abs(errors)), 1000 * np.median(errors))


def record_for(amp, path, seconds, during=None):
    """Records a streaming amplifier for `seconds` through the API; `during(elapsed)` is called as it goes."""
    rec = amp.record(str(path))
    began = time.monotonic()
    while time.monotonic() - began < seconds:
        rec.poll(timeout=0.05)
        if during is not None:
            during(time.monotonic() - began, rec)
    return rec


def read_back(path):
    side = json.loads(open(os.path.splitext(str(path))[0] + ".json", encoding="utf-8").read())
    return bdf.read(str(path)), side


def test_a_check_stream_then_a_recording(sim, tmp_path):
    name = amplifier(sim, "UX-0031.00.01", freeRunning=True)
    with tavo_ble.Amplifier.open(name) as amp:
        amp.start()  # the check stream
        time.sleep(3.0)
        amp.stop()
        data, times = amp.read()
        assert_on_time(timing_errors(data[data[:, -1] == 1.0, COUNTER_CHANNEL - 1], times[data[:, -1] == 1.0],
                                     truth_of(sim, name)), "read() of the check stream")
        time.sleep(1.0)  # the amplifier counts on meanwhile
        amp.start()
        rec = record_for(amp, tmp_path / "run.bdf", 5.0)
        skipped = amp.skipped_before_start
        side = rec.close()
        amp.stop()
    contents, side = read_back(tmp_path / "run.bdf")
    # The file starts with the recording's first measured sample, and its
    # length is the recording's, not the amplifier's count since switched on.
    assert skipped > 0
    assert contents.data[-1][0] == 1.0 and contents.records <= 6
    assert side["skipped_before_start"] == skipped and side["lost_samples"] == 0
    assert side["fitted_rate"] == pytest.approx(RATE, rel=0.002)
    assert_on_time(file_timing_errors(contents, side, truth_of(sim, name)), "the file")
    sim.remove_amplifier(name)


def test_an_amplifier_switched_on_long_before(sim, tmp_path):
    name = amplifier(sim, "UX-0032.00.01", freeRunning=True)
    time.sleep(4.0)
    with tavo_ble.Amplifier.open(name, buffer_seconds=2.0) as amp:
        amp.start()
        side = record_for(amp, tmp_path / "late.bdf", 4.0).close()
        assert amp.dropped == 0  # the skipped run never reached the ring buffer
    contents, side = read_back(tmp_path / "late.bdf")
    assert contents.records <= 5 and side["skipped_before_start"] > 0
    assert not any(t.startswith("lost samples") for _, _, t in contents.annotations)
    assert_on_time(file_timing_errors(contents, side, truth_of(sim, name)), "the file")
    sim.remove_amplifier(name)


@pytest.mark.parametrize("free_running", [False, True], ids=["counter-paused", "counter-jumps"])
def test_outages_and_a_quick_reconnect_keep_every_sample_at_its_time(sim, tmp_path, free_running):
    name = amplifier(sim, "UX-0033.00.0%d" % int(free_running), freeRunning=free_running)
    marks = []

    def during(elapsed, rec):
        if not marks and elapsed > 2.0:
            marks.append(rec.mark("eyes closed"))
            sim.set_unreachable(name, 3.0)
        elif len(marks) == 1 and elapsed > 9.0:
            marks.append(rec.mark("eyes open"))
            sim.disconnect_peer(name)  # the library is back within a fraction of a second

    with tavo_ble.Amplifier.open(name) as amp:
        amp.start()
        data_events = []
        rec = record_for(amp, tmp_path / "out.bdf", 14.0, during)
        rec.close()
        data_events = [e.kind for e in amp.events()]
    contents, side = read_back(tmp_path / "out.bdf")
    truth = truth_of(sim, name)
    assert_on_time(file_timing_errors(contents, side, truth), "the file")
    notes = {t: (o, d) for o, d, t in contents.annotations}
    # The outage is in the file as time: filled, with its length.
    outage = [(o, d) for t, (o, d) in notes.items() if t.startswith("link lost" if not free_running else "lost")]
    assert outage and max(d for _, d in outage) > 2.5, notes
    if not free_running:
        assert "gap" in data_events and len(side["segments"]) >= 2
    # Each marker sits at the sample taken when it was set.
    valid = np.nonzero(contents.data[-1] == 1.0)[0]
    sampled = np.array([truth.get(int(n), np.nan) for n in contents.data[COUNTER_CHANNEL - 1][valid]])
    for text, when in zip(("eyes closed", "eyes open"), marks):
        nearest = valid[np.nanargmin(np.abs(sampled - when))]
        assert notes[text][0] == pytest.approx(nearest / RATE, abs=BOUND), text
    sim.remove_amplifier(name)


def tool(args, **kwargs):
    return subprocess.Popen([sys.executable, "-m", "tavo_ble"] + args, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=python_env(), **kwargs)


def test_ctrl_c_ends_a_recording_and_a_csv_stream_with_true_times(sim, tmp_path):
    name = amplifier(sim, "UX-0034.00.01")
    path, csv = tmp_path / "c.bdf", tmp_path / "c.csv"
    for args in (["record", name, "--out", str(path)], ["stream", name, "--csv", str(csv)]):
        sim.reset_counters(name)
        proc = tool(args)
        try:
            assert wait_until(lambda: sim.is_connected(name) and sim.counters(name)["data"] > 500, timeout=60)
            proc.send_signal(signal.SIGINT)
            out, err = proc.communicate(timeout=60)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.communicate()
        assert proc.returncode == 0 and "Traceback" not in err, out + err
    truth = truth_of(sim, name)
    contents, side = read_back(path)
    assert_on_time(file_timing_errors(contents, side, truth), "the file after Ctrl-C")
    rows = np.loadtxt(str(csv), delimiter=",", skiprows=2, ndmin=2)
    measured = rows[rows[:, -1] == 1.0]
    offset = time.time() - time.monotonic()  # the CSV's times are on the wall clock
    assert_on_time(timing_errors(measured[:, COUNTER_CHANNEL], measured[:, 0] - offset, truth), "the CSV")
    # Existing files are kept: the same command again is refused before any search.
    before = sim.counters(name)["connects"]
    again = tool(["record", name, "--out", str(path)])
    out, err = again.communicate(timeout=60)
    assert again.returncode == 2 and "already exists" in err and sim.counters(name)["connects"] == before
    sim.remove_amplifier(name)


def _limit_file_size():
    limit = 40000  # the header and about 8 s of this amplifier's recording
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))


def test_a_full_disk_stops_the_recording_and_leaves_a_valid_file(sim, tmp_path):
    name = amplifier(sim, "UX-0035.00.01")
    path = tmp_path / "full.bdf"
    proc = tool(["record", name, "--out", str(path), "--seconds", "30"], preexec_fn=_limit_file_size)
    try:
        # Typed once samples come: a marker typed before the first sample has
        # no place in the file (the sidecar keeps it).
        assert wait_until(lambda: sim.is_connected(name) and sim.counters(name)["data"] > 50, timeout=60)
        proc.stdin.write("stimulus\n")
        proc.stdin.flush()
        out, err = proc.communicate(timeout=90)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert proc.returncode == 1, out + err
    assert err.strip().splitlines()[-1] == ("error: cannot write %s: the file is too large (the file size "
                                            "limit was reached)" % path), err
    assert "Traceback" not in err
    contents, side = read_back(path)
    assert 3 <= contents.records < 30
    assert side["records_in_file"] == contents.records and side["samples_in_file"] == contents.records * RATE
    assert side["write_error"] and "stimulus" in [t for _, _, t in contents.annotations]
    assert [p for p in os.listdir(str(tmp_path)) if p.endswith(".tmp")] == []
    assert_on_time(file_timing_errors(contents, side, truth_of(sim, name)), "the file")
    mne = pytest.importorskip("mne")
    raw = mne.io.read_raw_bdf(str(path), infer_types=True, verbose="error")
    assert raw.n_times == contents.records * RATE
    types = raw.get_channel_types()
    assert types[:3] == ["eeg"] * 3 and types[3:] == ["misc"] * 3
    sim.remove_amplifier(name)


def test_an_amplifier_that_counted_for_hours_streams_every_sample_from_the_first(sim):
    # Its counter stands at an hour's notifications when it is opened (it was
    # on, or streamed to another program): the library puts a filler before
    # the first notification for each of those samples, in one burst.
    name = amplifier(sim, "UX-0036.00.01", start=450000)
    with tavo_ble.Amplifier.open(name) as amp:
        amp.start()
        time.sleep(3.0)
        amp.stop()
        data, times = amp.read()
        kinds = [e.kind for e in amp.events()]
        assert amp.dropped == 0 and "overflow" not in kinds, kinds
        assert np.all(data[:, -1] == 1.0)
        # Skipped: exactly the samples before the first one streamed.
        assert amp.skipped_before_start == data[0, COUNTER_CHANNEL - 1] - 1
        assert kinds == ["skipped"]
    sent = expected_scans(payload for _, payload in sim.sent_data(name))
    numbers = data[:, COUNTER_CHANNEL - 1]
    assert np.array_equal(numbers, np.arange(min(sent), min(sent) + len(data))), "a sample is missing"
    assert all(np.array_equal(scan[:4], sent[int(scan[COUNTER_CHANNEL - 1])]) for scan in data)
    assert_on_time(timing_errors(numbers, times, truth_of(sim, name)), "read()")
    sim.remove_amplifier(name)


@pytest.mark.parametrize("second_counter", [False, True], ids=["one counter", "two counters"])
def test_a_long_outage_of_a_free_running_amplifier_loses_no_sample_after_it(sim, second_counter):
    # Out of range longer than the helper's ring holds (4 s): when the link is
    # back, the library puts in a filler for every sample counted meanwhile,
    # thousands in one burst, right before the first notification. With two
    # counter channels the library numbers its fillers in the last one.
    description = custom_amplifier("UX-0038.00.01" if second_counter else "UX-0037.00.01")
    description.update(samplingRate=1000, counter={"freeRunning": True})
    if second_counter:
        description["channels"][1] = {"number": 2, "type": 5, "scale": 1.0, "waveform": "counter"}
    name = sim.add_amplifier(description) and description["name"]
    with tavo_ble.Amplifier.open(name) as amp:
        amp.start()
        time.sleep(1.0)
        sim.set_unreachable(name, 6.0)
        assert wait_until(lambda: amp.stalled, timeout=10)
        assert wait_until(lambda: not amp.stalled, timeout=30), "the link did not come back"
        time.sleep(1.0)
        amp.stop()
        data, _ = amp.read(max_scans=10 ** 6)
        assert amp.dropped == 0 and "overflow" not in [e.kind for e in amp.events()]
    sent = expected_scans(payload for _, payload in sim.sent_data(name))
    numbers = data[:, COUNTER_CHANNEL - 1]
    assert np.array_equal(numbers, np.arange(numbers[0], numbers[0] + len(data))), "a sample is missing"
    valid = data[:, -1] == 1.0
    compared = [0, 2, 3] if second_counter else [0, 1, 2, 3]
    assert all(np.array_equal(scan[compared], sent[int(scan[COUNTER_CHANNEL - 1])][compared]) for scan in data[valid])
    fillers = numbers[~valid]
    assert len(fillers) > 4096 and not any(int(n) in sent for n in fillers)
    assert np.all(data[~valid, :3] == data[np.argmax(~valid) - 1, :3])  # the last scan, repeated
    sim.remove_amplifier(name)
