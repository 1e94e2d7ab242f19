"""The record command over stand-in amplifiers: one file each with a shared
start, a silent link annotated as lost and restored, markers from a stream."""
import io
import threading
import time

import numpy as np

from tavo_ble import bdf, record_command

TYPES = [1, 1, 5, 4, 9]


class FakeDevice:
    """Delivers 250 scans/s in pairs from its own thread; silent for the
    scans numbered within `silent` (a dropped link)."""

    model_number = "UX"
    firmware_version = "1.0"
    channel_types = TYPES
    sampling_rate = 250

    def __init__(self, serial):
        self.serial_number = serial
        self.silent = range(0)
        self.sent = 0
        self._callback = None
        self._stop = threading.Event()
        self._thread = None

    def set_data_callback(self, callback):
        self._callback = callback

    def start(self):
        self._thread = threading.Thread(target=self._run)
        self._thread.start()

    def stop(self):
        self._stop.set()
        self._thread.join(timeout=30)

    def _run(self):
        begin = time.monotonic()
        while not self._stop.is_set():
            due = begin + self.sent / 250.0
            if time.monotonic() < due:
                time.sleep(0.002)
                continue
            for _ in range(2):
                self.sent += 1
                if self.sent not in self.silent:
                    self._callback(np.array([self.sent, -self.sent, self.sent, 80, 1], dtype=np.float32))


def test_two_amplifiers_a_stall_and_a_marker(tmp_path):
    a, b = FakeDevice("UX-1"), FakeDevice("UX-2")
    markers = io.StringIO("first mark\n\n")

    b.silent = range(251, 501)  # the second second
    out = io.StringIO()
    sides = record_command.record([a, b], str(tmp_path / "run.bdf"), seconds=3.5, markers=markers, out=out)
    fa, fb = bdf.read(str(tmp_path / "run_UX-1.bdf")), bdf.read(str(tmp_path / "run_UX-2.bdf"))
    assert fa.start == fb.start
    assert fa.equipment == "UX-1" and fb.equipment == "UX-2"
    notes_a = [t for _, _, t in fa.annotations]
    notes_b = {t.split(":")[0]: o for o, _, t in fb.annotations}
    assert "first mark" in notes_a and "link lost" not in notes_a
    assert "first mark" in notes_b
    # Onsets follow arrival times: generous bounds for a loaded machine.
    assert 0.7 < notes_b["link lost"] < 1.8
    assert 1.5 < notes_b["link restored"] < 3.0
    assert notes_b["link restored"] - notes_b["link lost"] > 0.6
    # What was delivered is in the file, in order.
    valid = fa.data[4] == 1.0
    number = fa.data[2][valid]
    assert np.all(np.diff(number) == 1.0)
    half_step = 187500.0 / (bdf.DIGITAL_MAX - bdf.DIGITAL_MIN)
    assert np.max(np.abs(fa.data[0][valid] - number)) <= half_step
    assert np.max(np.abs(fa.data[1][valid] + number)) <= half_step
    assert sides[0]["samples"] >= 500 and "Wrote" in out.getvalue()
