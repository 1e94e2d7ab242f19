"""The command-line tool over a stand-in amplifier: status line, CSV, plot,
Ctrl-C, failures. The real library and simulator are exercised in
test_simulator_*.py."""
import os
import re
import signal
import threading
import time

import numpy as np
import pytest

from tavo_ble import channels, cli, plotting, streaming

TYPES = [1] * 7 + [5, 4, 9]


class FakeDevice:
    """Delivers scans from its own thread, like the library: channel i of scan
    k is k + i / 10, channel 8 counts, every 10th scan is a filler."""

    serial_number = "UX-0001.00.01"
    model_number = "UX"
    manufacturer_name = "Maker"
    firmware_version = "1.0"
    hardware_version = "A"
    channel_types = TYPES
    no_of_acquired_channels = len(TYPES)
    sampling_rate = 250
    handle = 1

    def __init__(self, scans=200, interrupt_after=None):
        self.total = scans
        self.interrupt_after = interrupt_after
        self.callback = None
        self.sent = []
        self.stopped = threading.Event()
        self.calls = []

    def set_data_callback(self, callback):
        self.callback = callback

    def start(self):
        self.calls.append("start")
        threading.Thread(target=self._run, daemon=True).start()

    def stop(self):
        self.calls.append("stop")
        self.stopped.set()

    def _run(self):
        for k in range(self.total):
            if self.stopped.is_set():
                return
            scan = np.array([k + i / 10 for i in range(7)] + [k, 80.0, 0.0 if k % 10 == 9 else 1.0],
                            dtype=np.float32)
            self.sent.append(scan)
            self.callback(scan)
            if k + 1 == self.interrupt_after:
                os.kill(os.getpid(), signal.SIGINT)
                return
            time.sleep(0.0005)


def read_csv(path):
    with open(path, encoding="utf-8") as f:
        header = f.readline().strip().split(",")
        rows = np.array([[np.float32(v) for v in line.split(",")] for line in f], dtype=np.float32)
    return header, rows


def test_stream_writes_every_scan_as_a_csv_row_and_a_plot(tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(streaming, "STATUS_INTERVAL_LOG", 0.1)
    device = FakeDevice(scans=200)
    csv, png = tmp_path / "scans.csv", tmp_path / "signals.png"
    stats = streaming.stream(device, seconds=1.0, csv_path=str(csv), plot_path=str(png), plot_seconds=0.5)
    out = capsys.readouterr().out
    assert device.calls == ["start", "stop"]
    header, rows = read_csv(csv)
    assert header == ["ch1", "ch2", "ch3", "ch4", "ch5", "ch6", "ch7", "counter8", "battery", "data_valid"]
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
    device = FakeDevice(scans=10_000, interrupt_after=50)
    csv = tmp_path / "scans.csv"
    stats = streaming.stream(device, seconds=None, csv_path=str(csv))
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
    text = "\n".join(cli.describe(FakeDevice()))
    assert "Serial number:      UX-0001.00.01" in text
    assert "Sampling rate:      250 Hz" in text
    assert "Values per scan:    10 (8 channels, battery level, data valid)" in text
    assert "Channel types:      1 1 1 1 1 1 1 5 4 9" in text
    assert "channel 8: sample counter" in text
    assert channels.column_names([3, 4, 9]) == ["ch1", "battery", "data_valid"]


def test_device_texts_are_printed_with_control_characters_escaped():
    class Hostile(FakeDevice):
        model_number = "UX\x1b[2J\nFake"
        serial_number = "UX-\ufffd1"

    text = "\n".join(cli.describe(Hostile()))
    assert "Model number:       UX\\x1b[2J\\nFake" in text and "\x1b" not in text
    assert "UX-\ufffd1" in text  # a replacement character is printable
    assert cli._describe_batch(["A\rB"]) == "1 amplifier in range: A\\rB"


@pytest.mark.parametrize("option,value,says", [
    ("--plot", "out.jpg", "must name a .png"), ("--csv", "/no/such/folder/a.csv", "cannot be written"),
    ("--csv", ".", "names a folder")])
def test_output_paths_are_checked_before_opening(monkeypatch, capsys, option, value, says):
    monkeypatch.setattr(cli, "_binding", lambda: pytest.fail("opened an amplifier"))
    assert cli.main(["stream", "UX-0001.00.01", option, value]) == 2
    assert says in capsys.readouterr().err


def test_version_and_termination_signals(capsys):
    with pytest.raises(SystemExit) as done:
        cli.main(["--version"])
    assert done.value.code == 0 and capsys.readouterr().out.startswith("python3 -m tavo_ble ")
    before = signal.getsignal(signal.SIGTERM)
    with cli.terminate_as_interrupt():
        with pytest.raises(KeyboardInterrupt):
            os.kill(os.getpid(), signal.SIGTERM)
            time.sleep(1)
    assert signal.getsignal(signal.SIGTERM) is before


class FailingWrapper:
    """Stands in for TavoBLEWrapper when the library refuses."""

    def __init__(self, serial):
        raise ValueError("Could not find device with the specified serial number.")


def test_library_failure_prints_its_text_and_exits_non_zero(monkeypatch, capsys):
    monkeypatch.setattr(cli, "_binding", lambda: FailingWrapper)
    assert cli.main(["info", "UX-9999.00.01"]) == cli.EXIT_FAILURE
    assert capsys.readouterr().err.endswith("error: Could not find device with the specified serial number.\n")


@pytest.mark.parametrize("argv", [["scan", "--seconds", "0"], ["stream", "X", "--plot-seconds", "-1"]])
def test_rejects_non_positive_durations(argv, capsys):
    assert cli.main(argv) == 2
    assert "must be positive" in capsys.readouterr().err
