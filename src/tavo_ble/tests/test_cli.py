"""The command-line tool over a stand-in amplifier: status line, CSV, plot,
Ctrl-C, argument checks, failures. The real library and simulator are
exercised in test_simulator_*.py."""
import os
import re
import signal
import time

import numpy as np
import pytest

import tavo_ble
from tavo_ble import channels, cli
from tavo_ble.cli import common, devices, plotting, record
from tavo_ble.cli import stream as streaming

from .stand_in import StandInAmplifier, StandInDevice, stand_in

TYPES = [1] * 7 + [5, 4, 9]


def fake_scan(k):
    # Channel i of scan k is k + i / 10, channel 8 counts, every 10th scan is a filler.
    return [k + i / 10 for i in range(7)] + [k, 80.0, 0.0 if k % 10 == 9 else 1.0]


def fake(**options):
    return stand_in("UX-0001.00.01", TYPES, fake_scan, **options)


def read_csv_with_times(path):
    """Column names and units (without the leading time column), times, rows."""
    with open(path, encoding="utf-8") as f:
        header = f.readline().rstrip("\n").split(",")
        units = f.readline().rstrip("\n").split(",")
        lines = [line.rstrip("\n").split(",") for line in f]
    assert header[0] == "time" and units[0] == "s"
    times = np.array([float(v[0]) for v in lines])
    rows = np.array([[np.float32(v) for v in line[1:]] for line in lines], dtype=np.float32)
    return header[1:], units[1:], times, rows


def read_csv(path):
    header, _, _, rows = read_csv_with_times(path)
    return header, rows


def test_stream_writes_every_scan_as_a_csv_row_and_a_plot(tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(streaming, "STATUS_INTERVAL_LOG", 0.1)
    amp, device = fake(total=200)
    csv, png = tmp_path / "scans.csv", tmp_path / "signals.png"
    stats = streaming.stream(amp, seconds=1.0, csv_path=str(csv), plot_path=str(png), plot_seconds=0.5)
    out = capsys.readouterr().out
    assert device.calls == ["start", "stop"]
    header, units, times, rows = read_csv_with_times(csv)
    assert header == ["ch1", "ch2", "ch3", "ch4", "ch5", "ch6", "ch7", "counter8", "battery", "data_valid"]
    assert units == ["uV"] * 7 + ["", "%", ""]
    # De-jittered sample times on the wall clock, within the run.
    assert abs(times[0] - time.time()) < 60 and np.all(np.diff(times) > 0)
    assert rows.shape == (200, 10)
    assert np.array_equal(rows, np.array(device.sent))  # exact float32 round trip
    assert (stats.scans, stats.fillers, stats.battery) == (200, 20, 80.0)
    assert "Stopped by time after" in out and "200 scans" in out and "20 filler scans" in out
    status = [line for line in out.splitlines() if line.startswith("scans ")]
    assert status and all(re.fullmatch(r"scans \d+ \| [\d.]+ scans/s \| filler \d+ \| battery (80 %|-)", line)
                          for line in status)
    assert "Wrote 200 scans to" in out
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_ctrl_c_stops_the_stream_and_keeps_what_arrived(tmp_path, capsys):
    amp, device = fake(interrupt_after=50)
    csv = tmp_path / "scans.csv"
    stats = streaming.stream(amp, seconds=None, csv_path=str(csv))
    assert device.calls == ["start", "stop"]
    assert stats.scans == 50
    assert read_csv(csv)[1].shape == (50, 10)
    assert "Stopped by Ctrl-C" in capsys.readouterr().out


def test_status_line_reports_rate_fillers_and_battery():
    stats = streaming.StreamStats(battery_index=1, valid_index=2)
    assert stats.status() == "scans 0 | 0.0 scans/s | filler 0 | battery -"
    stats.add([np.float32([0, 90, 1])] * 3, now=10.0)
    stats.add([np.float32([0, 85, 0])] * 2, now=11.0)
    assert stats.status() == "scans 5 | 2.0 scans/s | filler 2 | battery 85 %"


@pytest.mark.parametrize(
    "valid,runs",
    [([1, 1, 1], []), ([0, 1, 0, 0], [(0, 1), (2, 4)]), ([1, 0, 0, 1, 1, 0], [(1, 3), (5, 6)]), ([], [])],
)
def test_filler_runs(valid, runs):
    assert plotting._filler_runs(valid) == runs


def test_plot_without_scans(tmp_path):
    png = tmp_path / "empty.png"
    plotting.plot_scans(str(png), np.zeros((0, 10), np.float32), TYPES, 250, 0, "UX-0001.00.01")
    assert png.stat().st_size > 0


def test_info_lists_record_and_channel_meanings():
    text = "\n".join(common.describe(fake()[0].info))
    assert "Serial number:      UX-0001.00.01" in text
    assert "Sampling rate:      250 Hz" in text
    assert "Values per scan:    10 (8 channels, battery level, data valid)" in text
    assert "Channel types:      1 1 1 1 1 1 1 5 4 9" in text
    assert "channel 8: sample counter" in text
    assert channels.column_names([3, 4, 9]) == ["ch1", "battery", "data_valid"]


def test_device_texts_are_printed_with_control_characters_escaped():
    device = StandInDevice("UX-1", TYPES, fake_scan)
    device.information.modelNumber = b"UX\x1b[2J\nFake"
    device.information.serialNumber = b"UX-\xff1"
    text = "\n".join(common.describe(StandInAmplifier(device).info))
    assert "Model number:       UX\\x1b[2J\\nFake" in text and "\x1b" not in text
    assert "UX-\ufffd1" in text  # a replacement character is printable
    assert "shown as U+FFFD" in text
    assert common.describe_batch(["A\rB"]) == "1 amplifier in range: A\\rB"


def _no_amplifier(*args, **kwargs):
    pytest.fail("searched for or opened an amplifier")


def nothing_opened(monkeypatch):
    for module in (devices, streaming, record):
        for name in ("open_amplifier", "search"):
            if hasattr(module, name):
                monkeypatch.setattr(module, name, _no_amplifier)


@pytest.mark.parametrize("argv,says", [
    (["stream", "UX-1", "--plot", "out.jpg"], "must name a .png"),
    (["stream", "UX-1", "--csv", "/no/such/folder/a.csv"], "cannot be written"),
    (["stream", "UX-1", "--csv", "."], "names a folder"),
    (["record", "UX-1", "--out", "run.edf"], "must name a .bdf"),
    (["record", "UX-1", "UX-2", "--out", "/no/such/folder/run.bdf"], "cannot be written"),
    (["stream", "UX-1", "--plot", "plot.png"], "needs matplotlib")])
def test_output_paths_are_checked_before_opening(monkeypatch, capsys, argv, says):
    import importlib.util

    monkeypatch.setattr(importlib.util, "find_spec", lambda name, *a: None)  # no matplotlib either
    nothing_opened(monkeypatch)
    assert cli.main(argv) == cli.EXIT_USAGE
    assert says in capsys.readouterr().err


@pytest.mark.parametrize("argv,says", [
    (["scan", "--seconds", "0"], "must be positive"), (["stream", "X", "--plot-seconds", "-1"], "must be positive"),
    (["stream", "X", "--seconds", "nan"], "must be positive"), (["info", "X", "--timeout", "inf"], "must be positive"),
    (["stream", "X", "--find-seconds", "ten"], "not a number"), (["record", "X", "--out", "a.bdf",
                                                                  "--range-uv", "0"], "must be positive"),
    (["info", ""], "not a serial number"), (["info", "UX\x1b[2J"], "not a serial number")])
def test_argument_values_are_checked_before_opening(monkeypatch, capsys, argv, says):
    nothing_opened(monkeypatch)
    with pytest.raises(SystemExit) as done:
        cli.main(argv)
    assert done.value.code == cli.EXIT_USAGE
    assert says in capsys.readouterr().err


def test_version_and_termination_signals(capsys):
    with pytest.raises(SystemExit) as done:
        cli.main(["--version"])
    assert done.value.code == 0 and capsys.readouterr().out == "python3 -m tavo_ble %s\n" % tavo_ble.__version__
    # One version for the package and its metadata.
    pyproject = os.path.join(os.path.dirname(__file__), "..", "..", "..", "pyproject.toml")
    with open(pyproject, encoding="utf-8") as f:
        assert 'version = "%s"\n' % tavo_ble.__version__ in f.read()
    before = signal.getsignal(signal.SIGTERM)
    with common.terminate_as_interrupt():
        with pytest.raises(KeyboardInterrupt):
            os.kill(os.getpid(), signal.SIGTERM)
            time.sleep(1)
    assert signal.getsignal(signal.SIGTERM) is before


def test_library_failure_prints_its_text_and_exits_non_zero(monkeypatch, capsys):
    def refuse(cls, serial, timeout=10.0):
        raise tavo_ble.SessionError("Could not find device with the specified serial number.", 3)

    monkeypatch.setattr(tavo_ble.Amplifier, "open", classmethod(refuse))
    assert cli.main(["info", "UX-9999.00.01"]) == cli.EXIT_FAILURE
    assert capsys.readouterr().err.endswith("error: Could not find device with the specified serial number.\n")


def test_existing_recordings_and_a_serial_twice_are_refused_before_opening(monkeypatch, capsys, tmp_path):
    nothing_opened(monkeypatch)
    (tmp_path / "run.json").write_text("{}")  # a sidecar alone counts too
    (tmp_path / "old.csv").write_text("time\n")
    for argv, says in (
            (["record", "UX-1", "--out", str(tmp_path / "run.bdf")], "run.json already exists"),
            (["record", "UX-1", "UX-1", "--out", str(tmp_path / "new.bdf")], "UX-1 given more than once"),
            (["stream", "UX-1", "--csv", str(tmp_path / "old.csv")], "old.csv already exists")):
        assert cli.main(argv) == cli.EXIT_USAGE
        assert says in capsys.readouterr().err
    assert (tmp_path / "run.json").read_text() == "{}" and (tmp_path / "old.csv").read_text() == "time\n"
    # Asked for, it goes ahead (to the search).
    def went_ahead(*args, **kwargs):
        raise RuntimeError("went ahead")

    monkeypatch.setattr(streaming, "search", went_ahead)
    with pytest.raises(RuntimeError, match="went ahead"):
        cli.main(["stream", "UX-1", "--csv", str(tmp_path / "old.csv"), "--overwrite"])


def test_the_api_checks_a_recordings_path_when_it_is_asked_for(tmp_path):
    amp, _ = stand_in("UX-1", TYPES, fake_scan)
    (tmp_path / "x.bdf").write_text("")
    for path in (tmp_path / "x.bdf", tmp_path / "x.edf", tmp_path / "no" / "x.bdf"):
        with pytest.raises(tavo_ble.OutputPathError):
            amp.record(str(path))
    amp.record(str(tmp_path / "x.bdf"), overwrite=True).close()
