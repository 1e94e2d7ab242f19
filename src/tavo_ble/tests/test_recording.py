"""Recordings written from synthetic scans and read back with EDFlib and MNE."""
import json
import os
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from tavo_ble import bdf, recording

RATE = 250
# Seven measuring channels, a counter, then battery level and data valid.
TYPES = [1, 1, 1, 1, 1, 1, 1, 5, 4, 9]
INFO = recording.RecordingInfo("UX-0001.00.01", "UX-8", "1.2.3", RATE, TYPES)
START = 1796767200.25  # a wall-clock time on a 0.1 ms step
# The scans' times are on time.monotonic()'s clock; here that clock reads the
# wall clock's seconds (an offset of 0) so the header's start is START.
WALL = dict(clock_offset=0.0)


def scans(first, count, rng):
    data = np.zeros((count, len(TYPES)), dtype=np.float32)
    data[:, :7] = rng.uniform(-150000, 150000, (count, 7))
    data[:, 7] = np.arange(first, first + count)
    data[:, 8] = 87
    data[:, 9] = 1.0
    times = START + (np.arange(first, first + count) - 1) / RATE
    return data, times


def record(path, chunks, **kw):
    rec = recording.Recorder(str(path), INFO, **WALL, **kw)
    for data, times in chunks:
        rec.write(data, times)
    return rec


def test_values_header_and_sidecar_read_back_with_edflib(tmp_path):
    rng = np.random.default_rng(1)
    chunks = [scans(1 + 2 * i, 2, rng) for i in range(5 * RATE // 2)]
    data = np.concatenate([c[0] for c in chunks])
    data[10, 0] = 250000.0  # beyond the range: clipped, not wrapped
    data[11, 1] = -1e9
    chunks = [(data[i:i + 2], chunks[i // 2][1]) for i in range(0, len(data), 2)]
    path = tmp_path / "a.bdf"
    rec = record(path, chunks)
    meta = rec.close()

    got = bdf.read(str(path))
    assert got.filetype == bdf.FILETYPE_BDFPLUS
    assert got.records == 5
    # Labels from which readers take the type: EEG for measuring channels, MISC else.
    assert got.labels[0] == "EEG Ch1" and got.labels[7:] == ["MISC Counter", "MISC Battery", "MISC Data valid"]
    assert got.units[:8] == ["uV"] * 7 + [""]
    assert got.rates == [RATE] * len(TYPES)
    assert "UX-0001.00.01" in got.equipment + got.recording_additional
    assert "UX-8" in got.recording_additional and "1.2.3" in got.recording_additional
    assert got.start[:6] == (2026, 12, 8, 22, 0, 0) and got.start[6] == 2500000
    half_step = 2 * recording.DEFAULT_RANGE_UV / (bdf.DIGITAL_MAX - bdf.DIGITAL_MIN) / 2
    expect = np.clip(data[:, :7].astype(np.float64), -187500, 187500)
    for c in range(7):
        assert np.max(np.abs(got.data[c] - expect[:, c])) <= half_step * 1.001
    assert got.data[0][10] == pytest.approx(187500, abs=half_step)
    assert got.data[1][11] == pytest.approx(-187500, abs=half_step)
    np.testing.assert_allclose(got.data[7], data[:, 7], atol=0.5)
    np.testing.assert_allclose(got.data[8], 87, atol=0.5)
    np.testing.assert_allclose(got.data[9], 1.0, atol=1e-6)
    assert rec.clipped == 2

    side = json.loads((tmp_path / "a.json").read_text())
    assert side == meta
    assert side["fitted_rate"] == pytest.approx(RATE, rel=1e-6)
    assert side["first_sample_time"] == pytest.approx(START, abs=1e-6)
    assert side["last_sample_time"] == pytest.approx(START + (5 * RATE - 1) / RATE, abs=1e-6)
    assert side["samples"] == 5 * RATE and side["clipped_values"] == 2


def test_a_gap_in_time_is_filled_and_annotations_sit_on_sample_positions(tmp_path):
    rng = np.random.default_rng(2)
    data, times = scans(1, 3 * RATE + 100, rng)
    data[300:306, 9] = 0.0  # six filler scans
    data[500:, 7] -= 480  # the counter starts again
    times[400:] += 2.0  # nobody measured for 2 s: the link was lost
    rec = recording.Recorder(str(tmp_path / "b.bdf"), INFO, **WALL)
    rec.write(data[:350], times[:350])
    rec.mark("eyes closed", at=START + 2.0)  # in the gap
    rec.mark("eyes open", at=times[700])  # after it: at the sample taken then
    rec.write(data[350:], times[350:])
    side = rec.close()
    got = bdf.read(str(tmp_path / "b.bdf"))
    notes = {text: (onset, dur) for onset, dur, text in got.annotations}
    assert notes["lost samples: 6"] == (pytest.approx(300 / RATE), pytest.approx(6 / RATE))
    # 500 fillers (2 s) after sample 399: every later sample at its true time.
    assert notes["link lost: 2.000 s"] == (pytest.approx(400 / RATE), pytest.approx(2.0))
    assert np.all(got.data[9][400:900] == 0.0) and got.data[9][900] == 1.0
    np.testing.assert_allclose(got.data[7][900:950], data[400:450, 7], atol=0.5)
    assert notes["eyes closed"][0] == pytest.approx(2.0, abs=0.5 / RATE)
    assert notes["eyes open"][0] == pytest.approx(1200 / RATE, abs=0.5 / RATE)
    assert any(t.startswith("counter restart") and o == pytest.approx(1000 / RATE)
               for t, (o, _) in notes.items())
    # The unfinished last second is padded with fillers and says so.
    assert got.records == 6
    assert np.all(got.data[9][3 * RATE + 600:] == 0.0)
    assert "end (padded: 150 samples)" in notes
    # Two segments, each with its rate; the sidecar agrees with the file.
    assert [s["first_sample"] for s in side["segments"]] == [0, 900]
    assert all(s["fitted_rate"] == pytest.approx(RATE, rel=1e-6) for s in side["segments"])
    assert side["samples_in_file"] == 6 * RATE and side["gap_samples"] == 500


def test_markers_outside_the_recorded_time_stay_out_of_the_file(tmp_path):
    # A stimulus program's marker from before the recording began, or after it
    # ended, has no sample: it is kept in the sidecar at its true time, never
    # moved onto the first sample or past the file's end.
    rng = np.random.default_rng(7)
    data, times = scans(1, 2 * RATE - 50, rng)  # 1.8 s, padded to 2 s
    rec = recording.Recorder(str(tmp_path / "m.bdf"), INFO, **WALL)
    rec.mark("block 1", at=START - 3.0)
    rec.mark("at the first sample", at=START - 0.001)  # nearer to it than to no sample
    rec.write(data, times)
    rec.mark("in the padding", at=times[-1] + 0.1)
    rec.mark("after the end", at=START + 5.0)
    side = rec.close()
    got = bdf.read(str(tmp_path / "m.bdf"))
    notes = {text: onset for onset, _, text in got.annotations}
    assert notes["at the first sample"] == 0.0
    assert notes["in the padding"] == pytest.approx((len(times) - 1) / RATE + 0.1, abs=0.5 / RATE)
    assert "block 1" not in notes and "after the end" not in notes
    assert [(m["text"], round(m["onset"], 3)) for m in side["markers_outside_file"]] == [
        ("block 1", -3.0), ("after the end", 5.0)]
    assert {a["text"] for a in side["annotations"]} == set(notes)


def test_only_measured_values_count_as_clipped(tmp_path):
    # An electrode off the head holds a channel at the rail: its measured
    # samples are clipped; the fillers standing for lost samples, a gap and the
    # last second's padding repeat that value, but nobody measured them.
    rng = np.random.default_rng(8)
    data, times = scans(1, 3 * RATE - 40, rng)
    data[:, 2] = -300000.0
    data[100:110, 9] = 0.0  # ten lost on the radio
    times[400:] += 1.0  # a second without samples
    side = record(tmp_path / "k.bdf", [(data, times)]).close()
    assert side["gap_samples"] == RATE and side["samples"] < side["samples_in_file"]
    assert side["clipped_values"] == 3 * RATE - 40 - 10


def test_mne_reads_the_file(tmp_path):
    mne = pytest.importorskip("mne")
    rng = np.random.default_rng(3)
    data, times = scans(1, 4 * RATE, rng)
    data[100:103, 9] = 0.0
    rec = record(tmp_path / "c.bdf", [(data, times)])
    rec.mark("stimulus", at=START + 1.0)
    rec.close()
    raw = mne.io.read_raw_bdf(str(tmp_path / "c.bdf"), preload=True, verbose="error")
    assert raw.info["sfreq"] == RATE
    assert raw.n_times == 4 * RATE
    # MNE keeps the header's start to the second.
    assert raw.info["meas_date"].timestamp() == int(START)
    volts = raw.get_data(picks=[0])[0]
    half_step_v = recording.DEFAULT_RANGE_UV / (bdf.DIGITAL_MAX - bdf.DIGITAL_MIN) * 1e-6
    # MNE's own arithmetic adds rounding of its own: within one step here; the
    # half-step bound is checked through EDFlib's reader above.
    assert np.max(np.abs(volts - data[:, 0] * 1e-6)) <= 2 * half_step_v
    descriptions = list(raw.annotations.description)
    assert "lost samples: 3" in descriptions and "stimulus" in descriptions
    # Types from the labels: EEG for the measuring channels, misc for the rest.
    typed = mne.io.read_raw_bdf(str(tmp_path / "c.bdf"), infer_types=True, verbose="error")
    assert typed.get_channel_types() == ["eeg"] * 7 + ["misc"] * 3
    assert typed.ch_names[:2] == ["Ch1", "Ch2"] and typed.ch_names[7:] == ["Counter", "Battery", "Data valid"]


KILLED = textwrap.dedent("""
    import sys, time, numpy as np
    from tavo_ble import recording
    info = recording.RecordingInfo("UX-1", "UX-8", "1", 250, [1, 5, 4, 9])
    rec = recording.Recorder(sys.argv[1], info)
    n = 0
    begin = time.monotonic()
    while True:
        d = np.zeros((25, 4)); d[:, 0] = 10.0; d[:, 1] = np.arange(n, n + 25); d[:, 3] = 1
        if n == 250:
            rec.mark("one second in")
        rec.write(d, begin + np.arange(n, n + 25) / 250)
        n += 25
        if n == 250 * 3:
            print("three seconds", flush=True)
        time.sleep(0.002)
""")


def test_a_killed_recording_opens_up_to_its_last_whole_record(tmp_path):
    path = tmp_path / "killed.bdf"
    src = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    env = dict(os.environ, PYTHONPATH=src)
    proc = subprocess.Popen([sys.executable, "-c", KILLED, str(path)], stdout=subprocess.PIPE, env=env)
    try:
        assert proc.stdout.readline() == b"three seconds\n"
    finally:
        proc.send_signal(signal.SIGKILL)
        proc.wait(timeout=60)
    got = bdf.read(str(path))
    assert got.records >= 3
    assert len(got.data[0]) == got.records * 250
    np.testing.assert_allclose(got.data[0], 10.0, atol=0.02)
    # The file's annotations come at close; the sidecar has them up to the last second.
    side = json.loads((tmp_path / "killed.json").read_text())
    assert [a["text"] for a in side["annotations"]] == ["one second in"]
    assert side["samples"] >= 3 * 250
    mne = pytest.importorskip("mne")
    raw = mne.io.read_raw_bdf(str(path), preload=True, verbose="error")
    assert raw.n_times >= 3 * 250


def test_arguments_are_checked(tmp_path):
    with pytest.raises(ValueError):
        recording.Recorder(str(tmp_path / "x.bdf"), recording.RecordingInfo("s", "m", "f", 0, TYPES))
    rec = recording.Recorder(str(tmp_path / "x.bdf"), INFO)
    with pytest.raises(ValueError):
        rec.write(np.zeros((2, 3)), np.zeros(2))
    rec.close()
    assert recording.file_for_serial("/d/run.bdf", "UX-0001.00.01") == "/d/run_UX-0001.00.01.bdf"
    assert recording.sidecar_path("/d/run.bdf") == "/d/run.json"


def test_files_of_several_amplifiers_share_the_start(tmp_path):
    # The second amplifier's first sample comes 40 ms (10 samples) later: its
    # file starts at the same time with ten fillers, and no lost-samples note.
    rng = np.random.default_rng(4)
    data, times = scans(1, 2 * RATE, rng)
    early = recording.Recorder(str(tmp_path / "e.bdf"), INFO, **WALL)
    late = recording.Recorder(str(tmp_path / "l.bdf"), INFO, **WALL)
    early.begin(START)
    late.begin(START, lead_in=10)
    early.write(data, times)
    late.write(data[:-10], times[:-10] + 0.04)
    side_e, side_l = early.close(), late.close()
    a, b = bdf.read(str(tmp_path / "e.bdf")), bdf.read(str(tmp_path / "l.bdf"))
    assert a.start == b.start
    assert np.all(b.data[9][:10] == 0.0) and b.data[9][10] == 1.0
    np.testing.assert_allclose(b.data[0][10:], a.data[0][:-10])
    assert [t for _, _, t in b.annotations] == ["before first sample"]
    assert side_l["file_start_time"] == pytest.approx(side_e["file_start_time"], abs=1e-6)
    assert side_l["first_sample_time"] == pytest.approx(START + 0.04, abs=1e-6)


@pytest.mark.parametrize("more", [0, 20], ids=["then-close", "then-more"])
@pytest.mark.parametrize("where", ["_write_sidecar", "_resolve_marks", "_scan_events"])
def test_ctrl_c_inside_a_write_leaves_every_sample_once_in_order(tmp_path, monkeypatch, where, more):
    # Ctrl-C lands between two steps of a write (the first second's record
    # and its sidecar, a chunk queued but not yet written), then the last
    # chunk comes or none: the file holds each sample once, at its position.
    rng = np.random.default_rng(5)
    data, times = scans(1, 300, rng)
    rec = recording.Recorder(str(tmp_path / "i.bdf"), INFO, **WALL)
    step = getattr(rec, where)
    calls = []

    def interrupted(*args, **kwargs):
        calls.append(1)
        if len(calls) == 1:
            os.kill(os.getpid(), signal.SIGINT)
        return step(*args, **kwargs)

    monkeypatch.setattr(rec, where, interrupted)
    with pytest.raises(KeyboardInterrupt):
        rec.write(data[:300 - more], times[:300 - more])
    assert calls
    if more:
        rec.write(data[300 - more:], times[300 - more:])
    side = rec.close()
    got = bdf.read(str(tmp_path / "i.bdf"))
    assert got.records == 2 and side["samples"] == 300 and side["records_in_file"] == 2
    np.testing.assert_array_equal(got.data[7][:300], np.arange(1, 301))
    assert np.all(got.data[9][:300] == 1.0) and np.all(got.data[9][300:] == 0.0)
    assert [t for _, _, t in got.annotations] == ["end (padded: 200 samples)"]
    assert [p for p in os.listdir(str(tmp_path)) if p.endswith(".tmp")] == []


def test_a_recording_closed_with_more_than_a_second_queued_keeps_it_all(tmp_path):
    # Whatever stopped the writes (an interrupt, a late amplifier's long
    # lead-in and no sample yet), close() writes every queued sample.
    rec = recording.Recorder(str(tmp_path / "q.bdf"), INFO, **WALL)
    rec.begin(START, lead_in=RATE + 30)
    side = rec.close()
    got = bdf.read(str(tmp_path / "q.bdf"))
    assert got.records == 2 and side["samples"] == RATE + 30
    assert np.all(got.data[9] == 0.0)


def test_ctrl_c_waits_for_the_end_of_a_deferred_step_nested_or_not():
    from tavo_ble import interrupts

    before = signal.getsignal(signal.SIGINT)
    done = []
    with pytest.raises(KeyboardInterrupt):
        with interrupts.deferred():
            with interrupts.deferred():
                os.kill(os.getpid(), signal.SIGINT)
                done.append("inner")
            done.append("outer")
    assert done == ["inner", "outer"] and signal.getsignal(signal.SIGINT) is before
    with interrupts.deferred():  # nothing came: nothing raised
        done.append("quiet")
    assert signal.getsignal(signal.SIGINT) is before


def test_an_amplifier_whose_first_sample_comes_after_the_shared_start_begins_at_its_time(tmp_path):
    # Its files began without it (no scan yet when the others started): its
    # first sample, 2 s later, sits 2 s into the file, after fillers.
    rng = np.random.default_rng(6)
    data, times = scans(1, RATE, rng)
    late = recording.Recorder(str(tmp_path / "late.bdf"), INFO, **WALL)
    late.begin(START)
    late.write(data, times + 2.0)
    side = late.close()
    got = bdf.read(str(tmp_path / "late.bdf"))
    first = int(np.argmax(got.data[9] == 1.0))
    assert first == round((times[0] + 2.0 - START) * RATE)
    np.testing.assert_array_equal(got.data[7][first:first + RATE], np.arange(1, RATE + 1))
    assert [t for _, _, t in got.annotations][0] == "before first sample"
    assert side["first_sample_time"] == pytest.approx(times[0] + 2.0, abs=1e-6)
