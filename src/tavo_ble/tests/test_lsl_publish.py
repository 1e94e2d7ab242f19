"""publish(amp) over a stand-in amplifier, as an inlet sees it: every scan in
order with the sample time the amplifier gave it, fillers and events across a
dropped link, and the streams gone once the amplifier is closed."""
import time

import numpy as np
import pytest

from tavo_ble import ArgumentError
from tavo_ble.lsl import publish
from tavo_ble.lsl.publisher import event_text

from .lsl_env import is_published, open_inlet, pylsl, without_closing_ping  # noqa: F401 (the pylsl fixture)
from .simulation import wait_until
from .stand_in import stand_in

TYPES = [1, 5, 4, 9]
RATE = 250


def scan(k):
    return [k * 0.5, k, 90, 1]


class Pulled:
    """What an inlet pulled: scans (or markers) and their time stamps."""

    def __init__(self, inlet):
        self.inlet, self.data, self.stamps = inlet, [], []

    def pull(self, timeout=0.0):
        chunk, stamps = self.inlet.pull_chunk(timeout=timeout)
        self.data += chunk
        self.stamps += stamps
        return len(chunk)


def pull_while(pulled, condition, timeout=60.0):
    deadline = time.monotonic() + timeout
    while condition() and time.monotonic() < deadline:
        for p in pulled:
            p.pull()
        time.sleep(0.02)


def test_a_published_stream_across_lost_samples_then_closed(pylsl):
    serial = "UX-0051.00.01"
    amp, device = stand_in(serial, TYPES, scan, rate=RATE, fill=True)
    amp.stall_timeout = 0.3
    device.silent = range(1001, 1101)  # 0.4 s lost on the radio, 4 s in
    given = []  # every scan with the sample time the amplifier gave it
    amp.on_scan = lambda a, s, t: given.append((s.copy(), t))
    publication = publish(amp)
    try:
        scans = Pulled(open_inlet(pylsl, "tavoble-" + serial))
        events = Pulled(open_inlet(pylsl, "tavoble-%s-events" % serial))
        assert publication.outlet.wait_for_consumers(10)
        assert publication.outlet.wait_for_consumers(10, markers=True)
        pull_while([scans, events], lambda: amp.sample_count < 1400)
        amp.close()  # the amplifier goes: so do its streams
        assert wait_until(lambda: publication.closed, timeout=10)
        pull_while([scans, events], lambda: scans.pull(0.5) or events.pull(0.5), timeout=10)
    finally:
        publication.close()
        amp.close()
    assert publication.error is None
    assert publication.lost == 100
    data, stamps = without_closing_ping(np.array(scans.data, np.float32), np.array(scans.stamps), given[-1][1])
    texts = [(marker[0], stamp) for marker, stamp in zip(*without_closing_ping(events.data, events.stamps,
                                                                                given[-1][1]))]
    # The inlet joined a little after the start: from its first sample on, every
    # scan the amplifier gave, in order, with its own time stamp.
    first = int(data[0][1]) - 1
    sent = given[first:first + len(data)]
    assert len(data) > 1000 and len(sent) == len(data)
    assert np.array_equal(data, np.array([s for s, _ in sent]))
    assert np.max(np.abs(stamps - np.array([t for _, t in sent]))) < 1e-4
    fillers = np.nonzero(data[:, 3] == 0.0)[0]
    assert len(fillers) == 100 and np.all(np.diff(fillers) == 1)
    assert np.all(np.diff(stamps) > 0)
    # The events of the dropped link, at their times.
    by_text = dict(texts)
    assert "link lost" in by_text and "lost samples: 100" in by_text, texts
    assert any(t.startswith("link restored: gap 0.") for t in by_text), texts
    assert by_text["lost samples: 100"] == pytest.approx(stamps[fillers[0]], abs=1e-4)
    assert not is_published(pylsl, "tavoble-" + serial)


def test_event_texts():
    from tavo_ble import StreamEvent

    assert event_text(StreamEvent("stall", "S", 1.0)) == "link lost"
    assert event_text(StreamEvent("resumed", "S", 1.0, 7, 300, 1.24)) == "link restored: gap 1.2 s"
    assert event_text(StreamEvent("fillers", "S", 1.0, 7, 12, 0.048)) == "lost samples: 12"
    assert event_text(StreamEvent("gap", "S", 1.0, 7, 0, 0.2041)) == "gap: 0.204 s without samples"
    assert event_text(StreamEvent("overflow", "S", 1.0, 7, 5)) == "dropped scans: 5 (buffer full)"
    assert event_text(StreamEvent("something else", "S", 1.0)) is None


def test_publish_refuses_a_chunk_interval_of_zero(pylsl):
    amp, _ = stand_in("UX-0052.00.01", TYPES, scan, rate=RATE)
    with pytest.raises(ValueError):
        publish(amp, chunk_seconds=0)
    assert not amp.is_streaming


def test_a_published_amplifier_is_not_also_recorded_from_the_same_reads(pylsl, tmp_path):
    # Publishing and recording each take the scans they read: sharing one
    # reader would split the stream between them, each missing the other's
    # half. The second of them is refused, saying what to do, until the
    # first has ended.
    amp, _ = stand_in("UX-0053.00.01", TYPES, scan, rate=RATE)
    try:
        publication = publish(amp)
        with pytest.raises(ArgumentError, match="Amplifier.open"):
            amp.record(str(tmp_path / "a.bdf"))
        with pytest.raises(ArgumentError):
            publish(amp)
        assert not (tmp_path / "a.bdf").exists()
        publication.close()
        assert wait_until(lambda: amp.sample_count > RATE)
        recording = amp.record(str(tmp_path / "b.bdf"))
        with pytest.raises(ArgumentError, match="recording"):
            publish(amp)
        recording.close()
        publish(amp).close()
    finally:
        amp.close()
