"""TavoBLEWrapper against the simulated amplifiers, all in this process on one
simulator (the library keeps one D-Bus connection per process)."""
import numpy as np
import pytest

from tavo_ble.lib.tavo_ble_wrapper import TavoBLEWrapper

from .simulation import (  # noqa: F401 (the sim fixture)
    assert_scans_match_sent, CHANNEL_TYPES, collect, custom_amplifier, DEFAULT_SERIAL, sim,
    UNKNOWN_SERIAL, wait_until)


def test_discovery_batches_are_lists_of_names(sim):
    amplifiers = [DEFAULT_SERIAL, "UX-0002.00.012", "UX-0003.00.01-long-name"]
    for name in amplifiers[1:]:
        sim.add_amplifier({"name": name})
    # Not an amplifier's name: never listed, but its advertisements keep
    # coming, and each one lets the library drop amplifiers that fell silent.
    sim.add_amplifier({"name": "Headset"})
    batches = []
    TavoBLEWrapper.set_device_discovered_callback(batches.append)
    TavoBLEWrapper.start_scanning()
    try:
        # The 14-character name whole, the 23-character one cut to 14.
        everyone = {DEFAULT_SERIAL, "UX-0002.00.012", "UX-0003.00.01-"}
        assert wait_until(lambda: batches and set(batches[-1]) == everyone), batches
        assert all(type(batch) is list and all(type(n) is str for n in batch) for batch in batches)
        assert all(len(batch) == len(set(batch)) for batch in batches)
        for name in amplifiers:
            sim.set_advertising(name, False)
        # Silent for more than 10 s: dropped, down to an empty batch.
        assert wait_until(lambda: batches[-1] == [], timeout=30), batches[-3:]
    finally:
        TavoBLEWrapper.stop_scanning()
        sim.set_advertising(DEFAULT_SERIAL, True)
        for name in amplifiers[1:] + ["Headset"]:
            sim.remove_amplifier(name)
    settled = len(batches)
    assert not wait_until(lambda: len(batches) > settled, timeout=0.5)  # stopped: no more batches


def test_device_information_of_the_default_amplifier(sim):
    device = TavoBLEWrapper(DEFAULT_SERIAL)
    assert device.handle > 0
    assert (device.serial_number, device.model_number, device.manufacturer_name,
            device.firmware_version, device.hardware_version) == (
        DEFAULT_SERIAL, "UX8 Wireless Amplifier", "Tavo Instruments", "2.4.1", "C")
    # Zeros after the last entry are left out; 4 and 9 are the library's own.
    assert device.channel_types == [1] * 7 + [5, 4, 9]
    assert (device.no_of_acquired_channels, device.sampling_rate) == (10, 250)
    assert sim.is_connected(DEFAULT_SERIAL)
    del device
    collect()
    assert wait_until(lambda: not sim.is_connected(DEFAULT_SERIAL))


def test_streamed_scans_are_what_the_amplifier_sent(sim):
    name = "UX-0004.00.01"
    sim.add_amplifier(custom_amplifier(name))
    device = TavoBLEWrapper(name)
    assert device.channel_types == CHANNEL_TYPES + [4, 9]
    scans = []
    device.set_data_callback(scans.append)
    internal = device._data_callback_internal
    device.start()
    assert wait_until(lambda: len(scans) >= 100)
    device.stop()
    wait_until(lambda: False, timeout=0.2)  # a scan that was under way may still land
    stopped_at = len(scans)
    assert not wait_until(lambda: len(scans) > stopped_at, timeout=0.5)

    width = device.no_of_acquired_channels
    assert width == 6
    assert all(type(s) is np.ndarray and s.dtype == np.float32 and s.shape == (width,) for s in scans)
    assert not any(np.shares_memory(a, b) for a, b in zip(scans, scans[1:]))
    numbers = [int(s[3]) for s in scans]
    assert numbers == list(range(1, len(scans) + 1))  # from 1, none lost
    assert all(s[4] == 64.0 and s[5] == 1.0 for s in scans)  # battery, data valid
    assert_scans_match_sent(scans, sim, name)

    # Streaming again on the same instance, with the same C callback object.
    again = []
    device.set_data_callback(again.append)
    device.start()
    assert wait_until(lambda: sum(s[5] == 1.0 for s in again) >= 20)
    device.stop()
    assert device._data_callback_internal is internal
    assert int(again[0][3]) > numbers[-1]  # the amplifier's count went on
    assert_scans_match_sent(again, sim, name)

    del device, internal  # the C callback object refers back to the instance
    collect()
    assert wait_until(lambda: not sim.is_connected(name))
    sim.remove_amplifier(name)


def test_two_instances_share_one_device_each_with_its_own_callback_and_lifetime(sim):
    first = TavoBLEWrapper(DEFAULT_SERIAL)
    second = TavoBLEWrapper(DEFAULT_SERIAL)
    assert first.handle == second.handle
    to_first, to_second = [], []
    first.set_data_callback(to_first.append)
    second.set_data_callback(to_second.append)
    first.start()
    first.start()  # again: still each scan once
    assert wait_until(lambda: len(to_first) >= 10)
    second.start()  # joins the stream: the first instance's callback keeps its scans
    assert wait_until(lambda: len(to_second) >= 50)
    # From the second's first scan on, both got the same scans, each its own array.
    numbers = [int(s[7]) for s in to_first]
    start = numbers.index(int(to_second[0][7]))
    shared = min(len(to_first) - start, len(to_second))
    assert shared >= 40
    assert [int(s[7]) for s in to_second[:shared]] == numbers[start:start + shared]
    assert numbers == list(range(numbers[0], numbers[0] + len(numbers)))
    assert not np.shares_memory(to_first[start], to_second[0])

    # One stops: the other streams on.
    first.stop()
    stopped_at = len(to_first)
    before = len(to_second)
    assert wait_until(lambda: len(to_second) > before + 50)
    assert len(to_first) <= stopped_at + 1

    # Finalising one leaves the device open for the other.
    del first
    collect()
    before = len(to_second)
    assert wait_until(lambda: len(to_second) > before + 50)
    assert sim.is_connected(DEFAULT_SERIAL)
    second.stop()
    del second
    collect()
    assert wait_until(lambda: not sim.is_connected(DEFAULT_SERIAL))


def test_a_wrapper_and_an_amplifier_on_one_device_do_not_disturb_each_other(sim):
    import tavo_ble

    amp = tavo_ble.Amplifier.open(DEFAULT_SERIAL)
    amp.start()
    wrapper = TavoBLEWrapper(DEFAULT_SERIAL)
    assert wrapper.handle == amp._device.handle
    scans = []
    wrapper.set_data_callback(scans.append)
    wrapper.start()
    assert wait_until(lambda: len(scans) >= 50)
    wrapper.stop()
    del wrapper
    collect()
    before = amp.sample_count
    assert wait_until(lambda: amp.sample_count > before + 50), "the amplifier stopped streaming"
    amp.close()
    assert wait_until(lambda: not sim.is_connected(DEFAULT_SERIAL))


def test_unknown_serial_raises_the_library_text(sim):
    with pytest.raises(ValueError) as raised:
        TavoBLEWrapper(UNKNOWN_SERIAL)
    assert raised.value.args == ("Could not find device with the specified serial number.",)
