"""The Bleak benchmark client must decode as libtavoble does, or the comparison
is unfair: samples, sign extension, scales, placement, sample numbers, hold of
sparse channels, filler scans and dropped notifications of the wrong size."""
import os
import struct
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

from bleak_client import Decoder  # noqa: E402

SCALE = np.float32(0.02235174)


def channel_record(number, kind, scale):
    return struct.pack("<HBBf", number, kind, 0, scale)


def payload_record(channel, frame):
    return struct.pack("<HH", channel, frame)


def sample(value):
    return (value & 0xFFFFFF).to_bytes(3, "big")


def default_decoder(battery=87):
    """The default amplifier: 7 signal channels and a counter, 2 frames."""
    channels = [channel_record(c, 1, SCALE) for c in range(1, 8)] + [channel_record(8, 5, 1.0)]
    payload = [payload_record(c, f) for f in (0, 1) for c in range(1, 9)]
    config = (250, 8, 0, 0, 48, 8, 16, 3)
    return Decoder(config, channels, payload, battery)


def default_payload(counter, values=(0,) * 7):
    frame = b"".join(sample(v) for v in values) + sample(counter)
    return frame + frame


def collect(decoder, payloads):
    scans = []
    for p in payloads:
        decoder.on_data(p, scans.append)
    return scans


def test_samples_are_signed_24_bit_times_the_channel_scale():
    values = (0x7FFFFF, -0x800000, -1, 0, 1, 1000, -1000)
    scans = collect(default_decoder(), [default_payload(1, values)])
    assert len(scans) == 2
    expected = np.array(values, np.float32) * SCALE
    for scan in scans:
        assert scan.dtype == np.float32 and scan.shape == (10,)
        np.testing.assert_array_equal(scan[:7], expected)


def test_counter_becomes_sample_numbers_with_battery_and_valid_columns():
    scans = collect(default_decoder(battery=87), [default_payload(c) for c in (1, 2, 3)])
    assert [s[7] for s in scans] == [1, 2, 3, 4, 5, 6]
    assert all(s[8] == 87 and s[9] == 1.0 for s in scans)


@pytest.mark.parametrize("counters,numbers,fillers", [
    ((1, 3), [1, 2, 3, 4, 5, 6], [3, 4]),  # one notification lost: two filler scans
    ((1, 2, 1), [1, 2, 3, 4, 1, 2], []),    # a counter that goes back: no filler
    ((5,), list(range(1, 11)), list(range(1, 9))),  # first payload after connect
])
def test_lost_samples_become_filler_scans(counters, numbers, fillers):
    scans = collect(default_decoder(), [default_payload(c) for c in counters])
    assert [s[7] for s in scans] == numbers
    assert [s[7] for s in scans if s[9] == 0.0] == fillers
    for s in scans:
        if s[9] == 0.0 and s[7] > 2:
            # A filler repeats the last real scan, numbered anew.
            np.testing.assert_array_equal(s[:7], scans[numbers.index(2)][:7])


def test_a_channel_with_fewer_frames_holds_its_last_value():
    # Channel 1 in both frames, channel 2 (the counter) only in frame 0.
    channels = [channel_record(1, 1, 1.0), channel_record(2, 5, 1.0)]
    payload = [payload_record(1, 0), payload_record(2, 0), payload_record(1, 1)]
    decoder = Decoder((100, 2, 0, 0, 9, 2, 3, 0), channels, payload, 50)
    scans = collect(decoder, [sample(10) + sample(1) + sample(11)])
    assert [list(s) for s in scans] == [[10, 1, 50, 1], [11, 2, 50, 1]]


def test_a_notification_of_the_wrong_size_is_dropped():
    decoder = default_decoder()
    scans = collect(decoder, [default_payload(1)[:47], default_payload(1) + b"\0",
                              default_payload(1)])
    assert [s[7] for s in scans] == [1, 2]


def test_each_scan_is_a_new_array():
    scans = collect(default_decoder(), [default_payload(1), default_payload(2)])
    assert len({id(s) for s in scans}) == 4
    assert scans[0][7] == 1  # not overwritten by the later notification


def test_inconsistent_configurations_are_refused():
    channels = [channel_record(1, 1, 1.0), channel_record(2, 5, 1.0)]
    with pytest.raises(ValueError):  # fewer payload records than announced
        Decoder((100, 2, 0, 0, 9, 2, 3, 0), channels, [payload_record(1, 0)], 0)
    with pytest.raises(ValueError):  # a record of a channel that does not exist
        Decoder((100, 2, 0, 0, 6, 2, 2, 0), channels,
                [payload_record(1, 0), payload_record(3, 0)], 0)
    with pytest.raises(ValueError):  # no counter channel
        Decoder((100, 1, 0, 0, 3, 1, 1, 0), [channel_record(1, 1, 1.0)],
                [payload_record(1, 0)], 0)
