"""An application on TavoBLEWrapper: opens the default amplifier and takes each
scan in its Python data callback, which timestamps it first thing.

    python3 wrapper_client.py [--seconds S | --notifications N] [--out LOG] ...

PYTHONPATH must hold the tavo_ble package with the libtavoble build to
measure; DBUS_SYSTEM_BUS_ADDRESS the simulator's bus. Prints one JSON line.
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import e2e_common  # noqa: E402
from tavo_ble.lib.tavo_ble_wrapper import TavoBLEWrapper  # noqa: E402


def main():
    options = e2e_common.parse()
    amplifier = TavoBLEWrapper(e2e_common.AMPLIFIER)
    types = amplifier.channel_types
    counter = max(i for i, t in enumerate(types) if t == 5)
    capacity = options.capacity if options.out else 1
    recorder = e2e_common.Recorder(capacity, counter, amplifier.no_of_acquired_channels - 1)
    amplifier.set_data_callback(recorder.make_callback())
    driver = e2e_common.Driver(options, recorder.received)
    amplifier.start()
    while not driver.step():
        time.sleep(0.01)
    amplifier.stop()
    return e2e_common.report("wrapper", driver, recorder, options)


if __name__ == "__main__":
    sys.exit(main())
