"""The record command over stand-in amplifiers: one file each with a shared
start, a silent second filled so that every later sample keeps its time,
markers from a stream, progress lines."""
import io
import os
import signal
import time

import numpy as np

from tavo_ble import bdf
from tavo_ble.cli import record as record_command

from .stand_in import stand_in

TYPES = [1, 1, 5, 4, 9]
RATE = 250


def fake(serial):
    """250 scans/s in pairs; scan k holds k, -k, the counter k, battery 80, valid."""
    return stand_in(serial, TYPES, lambda k: [k, -k, k, 80, 1])


def test_two_amplifiers_a_stall_and_a_marker(tmp_path):
    (a, _), (b, b_device) = fake("UX-1"), fake("UX-2")
    markers = io.StringIO("first mark\n\n")

    b_device.silent = range(251, 501)  # the second second
    out = io.StringIO()
    a.stall_timeout = b.stall_timeout = 0.5
    sides = record_command.record([a, b], str(tmp_path / "run.bdf"), seconds=3.5, markers=markers, out=out)
    fa, fb = bdf.read(str(tmp_path / "run_UX-1.bdf")), bdf.read(str(tmp_path / "run_UX-2.bdf"))
    assert fa.start == fb.start
    assert fa.equipment == "UX-1" and fb.equipment == "UX-2"
    notes_a = [t for _, _, t in fa.annotations]
    notes_b = {t.split(":")[0]: (o, d) for o, d, t in fb.annotations}
    assert "first mark" in notes_a and not any(t.startswith("link lost") for t in notes_a)
    assert "first mark" in notes_b
    # The silent second is a gap of about a second, filled where it happened.
    lost_at, lost_for = notes_b["link lost"]
    assert 0.8 < lost_at < 1.3 and 0.8 < lost_for < 1.2
    # Scan k was sent (k - 1) / 250 s after the first: in the file it sits
    # there, before and after the gap (arrival jitter aside).
    for data in (fa.data, fb.data):
        valid = np.nonzero(data[4] == 1.0)[0]
        number = data[2][valid]
        first = valid[0] - (number[0] - 1)
        assert np.max(np.abs(valid - first - (number - 1))) <= 3
    # What was delivered is in the file, in order.
    valid = fa.data[4] == 1.0
    number = fa.data[2][valid]
    assert np.all(np.diff(number) == 1.0)
    half_step = 187500.0 / (bdf.DIGITAL_MAX - bdf.DIGITAL_MIN)
    assert np.max(np.abs(fa.data[0][valid] - number)) <= half_step
    assert np.max(np.abs(fa.data[1][valid] + number)) <= half_step
    text = out.getvalue()
    assert sides[0]["samples"] >= 500 and "Wrote" in text
    # Progress: a status line each second, the link's loss and return, the marker.
    assert text.count("samples, lost") >= 3
    assert "UX-2: link lost at" in text and "UX-2: link back at" in text
    assert "Marker 'first mark' at" in text


class Typist:
    """A marker stream that types a line at each of `moments` (s after it
    starts), noting when, and presses Ctrl-C just after its last line."""

    def __init__(self, moments):
        self.moments = moments
        self.typed = []

    def __iter__(self):
        begin = time.monotonic()
        for k, moment in enumerate(self.moments):
            time.sleep(max(0.0, begin + moment - time.monotonic()))
            self.typed.append(("mark %d" % k, time.monotonic()))
            yield "mark %d\n" % k
        os.kill(os.getpid(), signal.SIGINT)  # the line above is in the recorder's hands


def test_typed_markers_sit_at_the_sample_of_their_typing_also_the_last_before_ctrl_c(tmp_path):
    amp, _ = fake("UX-3")
    typist = Typist([0.61, 1.23, 1.87, 2.5])
    out = io.StringIO()
    side, = record_command.record([amp], str(tmp_path / "run.bdf"), seconds=30, markers=typist, out=out)
    got = bdf.read(str(tmp_path / "run.bdf"))
    onsets = {text: onset for onset, _, text in got.annotations}
    for text, when in typist.typed:
        assert "Marker %r at" % text in out.getvalue()
        assert text in onsets, got.annotations
        # The sample taken when the line was typed, to within arrival jitter.
        expected = when - side["file_start_monotonic"]
        assert abs(onsets[text] - expected) <= 3 / 250, (text, onsets[text], expected)


def test_ctrl_c_before_any_sample_leaves_no_files_and_the_path_free(tmp_path):
    # Ctrl-C as the stream starts, as it comes a moment later: the recording
    # ends cleanly. Nothing was measured: no file, and no sidecar of a file
    # that does not exist (which would refuse the same command run again).
    amp, device = fake("UX-4")
    started = device.attach

    def interrupted(ring):
        raise KeyboardInterrupt

    device.attach = interrupted
    out = io.StringIO()
    side, = record_command.record([amp], str(tmp_path / "run.bdf"), seconds=30, out=out)
    assert side["samples"] == 0 and "No samples from UX-4" in out.getvalue()
    assert sorted(os.listdir(str(tmp_path))) == []
    device.attach = started
    side, = record_command.record([amp], str(tmp_path / "run.bdf"), seconds=1.5, out=out)
    assert side["samples"] > RATE and os.path.exists(str(tmp_path / "run.json"))


def test_a_link_lost_until_the_end_is_annotated_at_its_last_sample(tmp_path):
    # The file ends with the amplifier's last sample and the padding: without
    # a note it would read like a recording stopped there on purpose.
    amp, device = fake("UX-5")
    amp.stall_timeout = 0.5
    device.silent = range(376, 10 ** 9)  # gone for good after 1.5 s
    side, = record_command.record([amp], str(tmp_path / "run.bdf"), seconds=3.0, out=io.StringIO())
    got = bdf.read(str(tmp_path / "run.bdf"))
    last = int(np.nonzero(got.data[4] == 1.0)[0][-1])
    assert last == 374 and side["samples"] == 375
    notes = {text: onset for onset, _, text in got.annotations}
    assert notes.get("link lost: no samples after this") == last / RATE, got.annotations
