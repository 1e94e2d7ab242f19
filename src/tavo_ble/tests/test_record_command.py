"""The record command over stand-in amplifiers: one file each with a shared
start, a silent link annotated as lost and restored, markers from a stream."""
import io

import numpy as np

from tavo_ble import bdf
from tavo_ble.cli import record as record_command

from .stand_in import stand_in

TYPES = [1, 1, 5, 4, 9]


def fake(serial):
    """250 scans/s in pairs; scan k holds k, -k, the counter k, battery 80, valid."""
    return stand_in(serial, TYPES, lambda k: [k, -k, k, 80, 1])


def test_two_amplifiers_a_stall_and_a_marker(tmp_path):
    (a, _), (b, b_device) = fake("UX-1"), fake("UX-2")
    markers = io.StringIO("first mark\n\n")

    b_device.silent = range(251, 501)  # the second second
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
