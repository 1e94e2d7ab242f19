"""The record command against the simulator: a recording with dropped
notifications, a dropped link and a marker, read back with EDFlib and MNE."""
import json
import subprocess
import sys
import time

import numpy as np
import pytest

from tavo_ble import bdf, recording

from .simulation import (  # noqa: F401 (the sim fixture)
    custom_amplifier, expected_scans, python_env, sim, wait_until)

SECONDS = 20
HALF_STEP = recording.DEFAULT_RANGE_UV / (bdf.DIGITAL_MAX - bdf.DIGITAL_MIN)


def test_recording_with_drops_a_lost_link_and_a_marker(sim, tmp_path):
    name = "UX-0014.00.01"
    amp = custom_amplifier(name)
    amp["faults"] = {"dropEvery": 50}
    sim.add_amplifier(amp)
    path = tmp_path / "run.bdf"
    proc = subprocess.Popen(
        [sys.executable, "-m", "tavo_ble", "record", name, "--out", str(path), "--seconds", str(SECONDS)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=python_env())
    try:
        assert wait_until(lambda: sim.is_connected(name) and sim.counters(name)["data"] > 250, timeout=60)
        proc.stdin.write("eyes closed\n")
        proc.stdin.flush()
        time.sleep(1.0)  # the marker and the drop at distinct, later times
        sim.set_unreachable(name, 2.0)  # out of range long enough to stall, then back
        out, err = proc.communicate(timeout=SECONDS + 60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert proc.returncode == 0, out + err
    assert "Traceback" not in err, err

    got = bdf.read(str(path))
    texts = [text for _, _, text in got.annotations]
    assert "eyes closed" in texts
    assert any(t.startswith("lost samples: 2") for t in texts), texts  # one dropped notification
    # The amplifier stops counting while out of range: the gap is time, filled.
    assert any(t.startswith("link lost: ") for t in texts), texts

    sent = expected_scans(payload for _, payload in sim.sent_data(name))
    counter, valid = got.data[3], got.data[5]
    measured = np.nonzero(valid == 1.0)[0]
    assert len(measured) > 250
    for i in measured:
        want = sent[int(counter[i])]
        assert abs(got.data[0][i] - want[0]) <= HALF_STEP
        assert got.data[1][i] == pytest.approx(-recording.DEFAULT_RANGE_UV)  # beyond the range: clipped
        assert abs(got.data[2][i] - want[2]) <= HALF_STEP
    side = json.loads((tmp_path / "run.json").read_text())
    assert side["clipped_values"] == len(measured)  # fillers and padding repeat the value: not counted
    # Fitted per segment, the gap left out: the amplifier's own rate.
    assert side["fitted_rate"] == pytest.approx(250, rel=0.01), side["fitted_rate"]
    assert len(side["segments"]) >= 2

    mne = pytest.importorskip("mne")
    raw = mne.io.read_raw_bdf(str(path), preload=True, verbose="error")
    assert raw.n_times == got.records * 250
    assert "eyes closed" in list(raw.annotations.description)
    sim.remove_amplifier(name)


def test_amplifier_record_fills_a_dropped_link(sim, tmp_path):
    import tavo_ble

    name = "UX-0014.00.02"
    sim.add_amplifier(custom_amplifier(name))
    path = tmp_path / "api.bdf"
    with tavo_ble.Amplifier.open(name, timeout=30) as amp:
        amp.start()
        rec = amp.record(str(path))
        deadline = time.monotonic() + 60
        while rec.recorder.samples < 500 and time.monotonic() < deadline:
            rec.poll()
        rec.mark("before the drop")
        sim.set_unreachable(name, 2.0)  # out of range long enough to stall, then back
        # The gap is in the file once data flows again after it.
        while rec.recorder.gap_samples == 0 and time.monotonic() < deadline:
            rec.poll()
        assert amp.stalls == 1
        side = rec.close()
    got = bdf.read(str(path))
    texts = [t for _, _, t in got.annotations]
    assert "before the drop" in texts and any(t.startswith("link lost: ") for t in texts), texts
    assert got.equipment == name
    sent = expected_scans(payload for _, payload in sim.sent_data(name))
    measured = np.nonzero(got.data[5] == 1.0)[0]
    assert len(measured) >= 500
    for i in measured:
        assert abs(got.data[0][i] - sent[int(got.data[3][i])][0]) <= HALF_STEP
    assert side["fitted_rate"] == pytest.approx(250, rel=0.01)
    sim.remove_amplifier(name)


def test_stream_csv_has_units_and_dejittered_times(sim, tmp_path):
    path = tmp_path / "scans.csv"
    result = subprocess.run([sys.executable, "-m", "tavo_ble", "stream", "UX-0001.00.01", "--seconds", "4",
                             "--csv", str(path)], capture_output=True, text=True, timeout=120, env=python_env())
    assert result.returncode == 0, result.stdout + result.stderr
    lines = path.read_text().splitlines()
    assert lines[0].split(",")[0] == "time" and lines[1].split(",")[0] == "s"
    assert "uV" in lines[1].split(",") and "%" in lines[1].split(",")
    times = np.array([float(line.split(",")[0]) for line in lines[2:]])
    assert abs(times[0] - time.time()) < 120
    # Once the fit has settled, consecutive samples are one period apart.
    steps = np.diff(times[len(times) // 2:])
    assert np.median(steps) == pytest.approx(1 / 250, rel=0.05)
    assert np.all(steps > 0)
