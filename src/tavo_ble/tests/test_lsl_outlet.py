"""An amplifier's LSL outlet as a pylsl inlet sees it: identity, meta-data,
every sample with its own time stamp, fillers as they are, events, and no
stream left behind once it is closed."""
import subprocess
import sys
import time
from types import SimpleNamespace

import numpy as np
import pytest

from tavo_ble.lsl import LslOutlet, describe

from .lsl_env import is_published, open_inlet, pylsl  # noqa: F401 (the pylsl fixture)
from .simulation import python_env

TYPES = [1, 1, 7, 5, 4, 9]


def info(serial="UX-0042.00.01", types=TYPES, **texts):
    values = dict(serial_number=serial, model_number="UX-8", manufacturer_name="Tavo Medical",
                  firmware_revision="2.1.0", hardware_revision="B", sampling_rate=250,
                  channels=[SimpleNamespace(type_code=c) for c in types])
    values.update(texts)
    return SimpleNamespace(**values)


def channels_of(full):
    node = full.desc().child("channels").child("channel")
    found = []
    while not node.empty():
        found.append((node.child_value("label"), node.child_value("unit"), node.child_value("type")))
        node = node.next_sibling("channel")
    return found


def test_identity_and_meta_data_after_the_xdf_conventions(pylsl):
    with LslOutlet(describe(info())) as outlet:
        inlet = open_inlet(pylsl, outlet.description.source_id)
        full = inlet.info(10)
        identity = (full.name(), full.type(), full.channel_count(), full.nominal_srate())
        assert identity == ("UX-0042.00.01", "EEG", 6, 250)
        assert full.channel_format() == pylsl.cf_float32
        assert "UX-0042.00.01" in full.source_id()
        assert channels_of(full) == [
            ("Ch1", "microvolts", "EEG"), ("Ch2", "microvolts", "EEG"), ("Ch3", "microvolts", "EEG"),
            ("Ch4", "", "MISC"), ("Battery", "percent", "MISC"), ("DataValid", "", "MISC")]
        desc = full.desc()
        assert [desc.child_value(k) for k in ("manufacturer", "model", "serial_number", "firmware_version",
                                              "hardware_version")] == [
            "Tavo Medical", "UX-8", "UX-0042.00.01", "2.1.0", "B"]


def test_texts_from_the_radio_and_a_given_name(pylsl):
    # Control characters would make the stream's XML unreadable for every inlet.
    amp = info(serial="UX-0043.00.01", model_number="UX\x01<8>", manufacturer_name="T\u00e4vo & Co")
    with LslOutlet(describe(amp, name="Lab EEG 1"), markers=False) as outlet:
        inlet = open_inlet(pylsl, "tavoble-UX-0043.00.01")
        full = inlet.info(10)
        assert full.name() == "Lab EEG 1"
        assert full.desc().child_value("model") == "UX\\x01<8>"
        assert full.desc().child_value("manufacturer") == "T\u00e4vo & Co"
        assert not outlet.has_markers
        outlet.mark("ignored without an event stream")
    with pytest.raises(ValueError):
        describe(info(serial=""))


def test_every_sample_with_its_own_time_fillers_as_they_are(pylsl):
    with LslOutlet(describe(info("UX-0044.00.01")), markers=False) as outlet:
        inlet = open_inlet(pylsl, outlet.description.source_id)
        assert outlet.wait_for_consumers(10)
        start = time.monotonic()
        data = np.zeros((30, 6), np.float32)
        data[:, 0] = np.arange(30) * 0.5 - 7
        data[:, 3] = np.arange(1, 31)
        data[:, 4] = 80
        data[:, 5] = 1
        data[10:14, 5] = 0  # fillers for four lost samples
        times = start + np.arange(30) / 250.0
        times[20:] += 0.0013  # sample times need not sit on the nominal grid
        for first in range(0, 30, 7):  # chunks of scans, as a reader of the ring buffer pushes them
            outlet.push(data[first:first + 7], times[first:first + 7])
        got, stamps = [], []
        deadline = time.monotonic() + 10
        while len(got) < 30 and time.monotonic() < deadline:
            chunk, ts = inlet.pull_chunk(timeout=0.5)
            got += chunk
            stamps += ts
        assert np.array_equal(np.array(got, np.float32), data)
        # On Linux LSL's clock is CLOCK_MONOTONIC: the stamps are the sample times.
        assert np.max(np.abs(np.array(stamps) - times)) < 1e-4
        assert outlet.pushed == 30
        with pytest.raises(ValueError):
            outlet.push(data[:, :5], times)
        with pytest.raises(ValueError):
            outlet.push(data[:3], times[:2])


def test_events_go_out_on_a_markers_stream(pylsl):
    with LslOutlet(describe(info("UX-0045.00.01"))) as outlet:
        found = pylsl.resolve_byprop("source_id", "tavoble-UX-0045.00.01-events", 1, 10)
        assert found and found[0].type() == "Markers" and found[0].channel_format() == pylsl.cf_string
        assert found[0].nominal_srate() == pylsl.IRREGULAR_RATE
        inlet = pylsl.StreamInlet(found[0])
        inlet.open_stream(10)
        assert outlet.wait_for_consumers(10, markers=True)
        at = time.monotonic() - 0.25
        outlet.mark("link lost", at)
        sample, stamp = inlet.pull_sample(timeout=10)
        assert sample == ["link lost"] and abs(stamp - at) < 1e-4


def test_a_closed_outlet_leaves_no_stream_behind(pylsl):
    outlet = LslOutlet(describe(info("UX-0046.00.01")))
    assert is_published(pylsl, "tavoble-UX-0046.00.01", wait=10)
    outlet.close()
    outlet.close()
    assert outlet.closed
    assert not is_published(pylsl, "tavoble-UX-0046.00.01")
    assert not is_published(pylsl, "tavoble-UX-0046.00.01-events")
    with pytest.raises(ValueError):
        outlet.push(np.zeros((1, 6), np.float32), np.zeros(1))


def test_importing_the_package_does_not_load_liblsl(pylsl):
    # A user's program that does not publish must not start LSL, though pylsl is at hand.
    code = ("import sys, tavo_ble, tavo_ble.lsl; "
            "print(sorted(m for m in sys.modules if m.startswith('pylsl')))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=python_env(), timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "[]"
