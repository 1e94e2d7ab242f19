"""TavoBLEWrapper across a restart of the system bus itself: calls in between
fail at once, and the open device streams on when the bus is back."""
import time

import pytest

from tavo_ble.lib.tavo_ble_wrapper import TavoBLEWrapper

from .simulation import collect, DEFAULT_SERIAL, sim, wait_until  # noqa: F401 (the sim fixture)


def test_streams_again_after_the_bus_restarts(sim):
    device = TavoBLEWrapper(DEFAULT_SERIAL)
    scans = []
    device.set_data_callback(scans.append)
    device.start()
    assert wait_until(lambda: len(scans) >= 20)

    sim.stop_bus()
    started = time.monotonic()
    with pytest.raises(ValueError, match="Bluetooth adapter not enabled."):
        TavoBLEWrapper("UX-0002.00.01")
    assert time.monotonic() - started < 3.0
    assert device.serial_number == DEFAULT_SERIAL

    sim.restart_bus()
    before = len(scans)
    assert wait_until(lambda: len(scans) >= before + 20, timeout=30), "no scans after the bus came back"
    device.stop()
    del device
    collect()
    assert wait_until(lambda: not sim.is_connected(DEFAULT_SERIAL))
