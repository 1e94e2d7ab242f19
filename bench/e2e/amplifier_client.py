"""An application on tavo_ble.Amplifier: opens the default amplifier, starts it
and reads chunks as they come (read with a timeout, as a recording loop does);
each scan is stamped when read() hands it over.

    python3 amplifier_client.py [--seconds S | --notifications N] [--out LOG] ...

PYTHONPATH must hold the tavo_ble package with the libtavoble build to
measure (and the package's helper beside it); DBUS_SYSTEM_BUS_ADDRESS the
simulator's bus. Prints one JSON line.
"""
import os
import sys
import threading
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import e2e_common  # noqa: E402
import tavo_ble  # noqa: E402


class ChunkRecorder(e2e_common.Recorder):
    """The recorder of the other Python clients, fed a chunk at a time."""

    def add(self, data, counter, valid):
        t = time.monotonic_ns()
        n = len(data)
        i = self.count
        room = max(0, min(n, self.capacity - i))
        if room:
            self.times[i:i + room] = [t] * room
            self.samples[i:i + room] = data[:room, counter].tolist()
        self.fillers += int(np.count_nonzero(data[:, valid] == 0.0))
        self.count = i + n


def main():
    options = e2e_common.parse()
    amp = tavo_ble.Amplifier.open(e2e_common.AMPLIFIER)
    types = amp.info.type_codes
    counter = max(i for i, t in enumerate(types) if t == 5)
    valid = amp.info.values_per_scan - 1
    recorder = ChunkRecorder(options.capacity if options.out else 1, counter, valid)
    driver = e2e_common.Driver(options, recorder.received)
    done = threading.Event()

    def reading():
        while not done.is_set():
            data, _ = amp.read(timeout=0.05)
            if len(data):
                recorder.add(data, counter, valid)

    reader = threading.Thread(target=reading)
    amp.start()
    reader.start()
    # The driver looks every 100 ms, not every 10 ms as in the other clients:
    # in Python each look costs about 50 us, 5 ms of CPU a second that would
    # count against Amplifier (the C driver's look costs about 1 us).
    while not driver.step():
        time.sleep(0.1)
    done.set()
    amp.stop()
    reader.join()
    amp.close()
    return e2e_common.report("amplifier", driver, recorder, options)


if __name__ == "__main__":
    sys.exit(main())
