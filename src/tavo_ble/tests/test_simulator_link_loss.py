"""TavoBLEWrapper across dropped links: the device reconnects by itself and
the scans go on, numbered without gaps or repeats, as the amplifier sent them."""
import random


from tavo_ble.lib.tavo_ble_wrapper import TavoBLEWrapper

from .simulation import collect, custom_amplifier, sim, wait_until  # noqa: F401 (the sim fixture)

NAME = "UX-0005.00.01"
COUNTER = 3  # column of the sample number in a scan of the custom amplifier
VALID = 5


def drop_and_await_recovery(sim, scans):
    connects = sim.counters(NAME)["connects"]
    sim.disconnect_peer(NAME)
    assert wait_until(lambda: sim.counters(NAME)["connects"] > connects, timeout=30)
    before = len(scans)
    assert wait_until(lambda: len(scans) >= before + 10, timeout=30), "no scans after reconnect"


def test_stream_survives_drops_at_random_moments(sim):
    sim.add_amplifier(custom_amplifier(NAME))
    try:
        device = TavoBLEWrapper(NAME)
        scans = []
        device.set_data_callback(scans.append)
        device.start()
        assert wait_until(lambda: len(scans) >= 20)
        moments = random.Random(5)
        for _ in range(3):
            wait_until(lambda: False, timeout=moments.uniform(0.05, 0.4))
            drop_and_await_recovery(sim, scans)
        device.stop()
        numbers = [float(scan[COUNTER]) for scan in scans]
        assert numbers == [float(i + 1) for i in range(len(numbers))]
        assert all(scan[VALID] == 1.0 for scan in scans)
        # Information answers from the record taken at open.
        assert device.serial_number == NAME
        del device
        collect()
        assert wait_until(lambda: not sim.is_connected(NAME))
    finally:
        sim.remove_amplifier(NAME)


def test_start_during_an_outage_streams_when_the_amplifier_is_back(sim):
    name = "UX-0006.00.01"
    sim.add_amplifier(custom_amplifier(name))
    try:
        device = TavoBLEWrapper(name)
        sim.set_advertising(name, False)
        sim.disconnect_peer(name)
        assert wait_until(lambda: not sim.is_connected(name))
        scans = []
        device.set_data_callback(scans.append)
        device.start()  # stored; no error while the link is down
        sim.set_advertising(name, True)
        assert wait_until(lambda: len(scans) >= 10, timeout=30)
        device.stop()
        del device
        collect()
        assert wait_until(lambda: not sim.is_connected(name))
    finally:
        sim.remove_amplifier(name)
