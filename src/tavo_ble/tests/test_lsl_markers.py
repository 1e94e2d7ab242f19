"""MarkerInlet: a stimulus program's string markers, each with its time on
time.monotonic()'s clock, from a stream found by name or type, whenever it
appears and again after the sender restarts."""
import threading
import time

import pytest

from tavo_ble.lsl import MarkerInlet
from tavo_ble.lsl.marker_inlet import predicate

from .lsl_env import pylsl  # noqa: F401 (the pylsl fixture)
from .simulation import wait_until


class Received:
    def __init__(self):
        self.markers = []
        self.lock = threading.Lock()

    def __call__(self, text, at):
        with self.lock:
            self.markers.append((text, at))


def sender(pylsl, name, source_id="", kind="Markers"):
    return pylsl.StreamOutlet(pylsl.StreamInfo(name, kind, 1, pylsl.IRREGULAR_RATE, pylsl.cf_string, source_id))


def test_markers_by_type_with_their_times_from_a_sender_that_appears_later(pylsl):
    got = Received()
    with MarkerInlet("Markers", got) as inlet:
        time.sleep(0.3)  # the inlet searches before the stimulus program starts
        psychopy = sender(pylsl, "PsychoPy", "psychopy-1")
        assert inlet.wait_found(10) and inlet.stream_name == "PsychoPy"
        assert psychopy.wait_for_consumers(10)
        now = time.monotonic()
        sent = [("stimulus onset", now - 0.5), ("response: left", now - 0.1), ("trial 2", now)]
        for text, at in sent:
            psychopy.push_sample([text], at)
        assert wait_until(lambda: len(got.markers) == 3)
    assert [t for t, _ in got.markers] == [t for t, _ in sent]
    for (_, at), (_, want) in zip(got.markers, sent):
        assert at == pytest.approx(want, abs=1e-3)  # one clock here: the correction is ~0
    assert inlet.received == 3


def test_markers_by_name_again_after_the_sender_restarts(pylsl):
    got = Received()
    with MarkerInlet("Experiment 'A'", got) as inlet:
        # Without a source_id an inlet cannot recover: the stream is searched anew.
        first = sender(pylsl, "Experiment 'A'", kind="Events")
        assert inlet.wait_found(10) and first.wait_for_consumers(10)
        first.push_sample(["block 1"])
        assert wait_until(lambda: len(got.markers) == 1)
        del first
        second = sender(pylsl, "Experiment 'A'", kind="Events")
        assert second.wait_for_consumers(20)
        second.push_sample(["block 2"])
        assert wait_until(lambda: len(got.markers) == 2)
    assert [t for t, _ in got.markers] == ["block 1", "block 2"]


def test_the_query_names_string_streams_and_quotes_safely():
    assert predicate("Markers") == "(name='Markers' or type='Markers') and channel_format='string'"
    assert predicate("it's") == '(name="it\'s" or type="it\'s") and channel_format=\'string\''
    for bad in ("", "both ' and \""):
        with pytest.raises(ValueError):
            predicate(bad)
