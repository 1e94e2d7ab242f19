"""The ``lsl`` command and ``record --lsl-markers`` against the simulator, with
pylsl on the other side as a lab has it: two amplifiers published until
Ctrl-C, an inlet that finds the stream again after the publisher restarts,
and a stimulus program's markers in the BDF file at their times."""
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from tavo_ble import bdf

# The pylsl fixture also sets the environment (LSLAPICFG, pylsl) that the commands inherit.
from .lsl_env import is_published, open_inlet, pylsl  # noqa: F401 (the pylsl fixture)
from .simulation import LAYOUT, custom_amplifier, python_env, sim, wait_until  # noqa: F401 (sim)

COUNTER = 3  # the sample number's column in a scan of the custom amplifier
RATE = 250


def command(*args, stdin=None):
    return subprocess.Popen([sys.executable, "-m", "tavo_ble"] + list(args), stdin=stdin, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=python_env())


def interrupt(proc):
    """Ctrl-C; the command's output once it has ended."""
    proc.send_signal(signal.SIGINT)
    try:
        out, err = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    return out, err


def pull_at_least(inlet, count, timeout=30.0):
    data, stamps = [], []
    deadline = time.monotonic() + timeout
    while len(data) < count and time.monotonic() < deadline:
        chunk, ts = inlet.pull_chunk(timeout=0.2)
        data += chunk
        stamps += ts
    return np.array(data, np.float32).reshape(-1, 6), np.array(stamps)


def test_two_amplifiers_each_its_own_stream_until_ctrl_c(sim, pylsl):
    serials = ["UX-0071.00.01", "UX-0072.00.01"]
    for serial in serials:
        sim.add_amplifier(custom_amplifier(serial))
    proc = command("lsl", *serials, "--name", "Lab")
    try:
        inlets = [open_inlet(pylsl, "tavoble-" + serial, timeout=60) for serial in serials]
        assert [inlet.info(10).name() for inlet in inlets] == ["Lab " + s for s in serials]
        for inlet in inlets:
            data, _ = pull_at_least(inlet, 250)
            numbers = data[:, COUNTER]
            assert len(numbers) >= 250 and np.all(np.diff(numbers) == 1)
    finally:
        out, err = interrupt(proc)
    assert proc.returncode == 0, out + err
    assert "Traceback" not in err, err
    for serial in serials:
        assert "Published" in out and serial in out
        # No zombie: the streams went with the command, and so did the connections.
        assert not is_published(pylsl, "tavoble-" + serial)
        assert wait_until(lambda: not sim.is_connected(serial))
        sim.remove_amplifier(serial)


def test_an_inlet_finds_the_stream_again_after_the_publisher_restarts(sim, pylsl):
    serial = "UX-0073.00.01"
    sim.add_amplifier(custom_amplifier(serial))
    first = command("lsl", serial, "--no-markers")
    try:
        inlet = open_inlet(pylsl, "tavoble-" + serial, timeout=60)  # recovers, as LabRecorder's inlets do
        before, stamps_before = pull_at_least(inlet, 100)
        assert len(before) >= 100
    finally:
        interrupt(first)
    assert first.returncode == 0
    second = command("lsl", serial, "--no-markers")
    try:
        # liblsl may take until its watchdog (15 s and more) to see that the
        # first publisher has gone.
        after, stamps_after = pull_at_least(inlet, len(before) + 100, timeout=90)
    finally:
        interrupt(second)
    later = stamps_after > stamps_before[-1] + 0.5  # from the second publisher, not the first
    assert np.count_nonzero(later & (after[:, 5] == 1.0)) >= 50, (len(after), stamps_after[-3:])
    sim.remove_amplifier(serial)


def test_markers_of_a_stimulus_program_land_in_the_recording(sim, pylsl, tmp_path):
    serial = "UX-0074.00.01"
    sim.add_amplifier(custom_amplifier(serial))
    psychopy = pylsl.StreamOutlet(pylsl.StreamInfo("PsychoPyMarkers", "Markers", 1, pylsl.IRREGULAR_RATE,
                                                   pylsl.cf_string, "psychopy-session-1"))
    path = tmp_path / "run.bdf"
    proc = command("record", serial, "--out", str(path), "--seconds", "9", "--lsl-markers", "PsychoPyMarkers",
                   stdin=subprocess.PIPE)
    sent = []
    try:
        assert psychopy.wait_for_consumers(60)
        assert wait_until(lambda: sim.counters(serial)["data"] > RATE, timeout=60)
        for k in range(3):
            time.sleep(1.0)
            at = time.monotonic() - 0.2  # a stimulus shown 200 ms ago, stamped with its onset
            psychopy.push_sample(["stimulus %d" % k], at)
            sent.append(("stimulus %d" % k, at))
        out, err = proc.communicate(timeout=120)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert proc.returncode == 0, out + err
    assert 'Taking markers from the LSL stream "PsychoPyMarkers"' in out

    # Where each marker belongs: the sample the amplifier sent at the marker's time.
    at = 3 * LAYOUT.index([4, 0])
    sends = sorted(((p[at] << 16) | (p[at + 1] << 8) | p[at + 2], ns / 1e9) for ns, p in sim.sent_data(serial))
    counters, send_times = np.array([c for c, _ in sends]), np.array([t for _, t in sends])
    got = bdf.read(str(path))
    onsets = {text: onset for onset, _, text in got.annotations}
    file_numbers = got.data[COUNTER]
    for text, stamp in sent:
        # The nearest notification; its last scan was sampled when it was sent.
        nearest = int(np.argmin(np.abs(send_times - stamp)))
        index = int(np.nonzero(file_numbers == 2 * counters[nearest])[0][0])
        expected = index / RATE + (stamp - send_times[nearest])
        assert text in onsets, got.annotations
        assert onsets[text] == pytest.approx(expected, abs=0.020), (text, onsets[text], expected)
    sim.remove_amplifier(serial)


def test_without_pylsl_the_commands_say_how_to_get_it(tmp_path):
    # A pylsl that cannot be imported (nothing of LSL is loaded).
    stand_in = tmp_path / "pylsl"
    stand_in.mkdir()
    (stand_in / "__init__.py").write_text("raise ImportError(\"No module named 'pylsl'\")\n")
    env = python_env()
    env["PYTHONPATH"] = str(tmp_path) + ":" + env["PYTHONPATH"]
    for args in (["lsl", "UX-0001.00.01"], ["record", "UX-0001.00.01", "--out", str(tmp_path / "r.bdf"),
                                             "--lsl-markers", "Markers"]):
        result = subprocess.run([sys.executable, "-m", "tavo_ble"] + args, capture_output=True, text=True,
                                env=env, timeout=60)
        assert result.returncode == 2, result.stdout + result.stderr
        assert "pip install 'tavo_ble[lsl]'" in result.stderr
        assert "Opening" not in result.stdout  # no amplifier was searched for

