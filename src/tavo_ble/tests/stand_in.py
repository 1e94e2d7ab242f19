"""A real ``tavo_ble.Amplifier`` over a stand-in for the library's open device,
for tests of the tools built on the API without the library or the simulator."""
import os
import signal
import threading
import time
from types import SimpleNamespace

import numpy as np

from tavo_ble.amplifier import Amplifier


class StandInDevice:
    """Plays an open device: `scan(k)` gives scan number k (from 1), delivered
    `frames` to a notification at `rate` scans/s from its own thread, with each
    notification's arrival time. Scans numbered within `silent` are not sent
    (a dropped link); with `fill`, the library's way with lost samples, they come
    as fillers (data valid 0, last value) just before the next notification.
    After `interrupt_after` scans the process gets SIGINT."""

    def __init__(self, serial, types, scan, rate=250, frames=2, total=None, interrupt_after=None, fill=False):
        self.information = SimpleNamespace(
            serialNumber=serial.encode(), modelNumber=b"UX", manufacturerName=b"Maker",
            firmwareRevision=b"1.0", hardwareRevision=b"A", samplingRate=rate,
            numberOfAcquiredChannels=len(types), channelTypes=list(types))
        self.scan, self.rate, self.frames = scan, rate, frames
        self.total, self.interrupt_after = total, interrupt_after
        self.silent = range(0)
        self.fill = fill
        self.sent = []
        self.calls = []
        self._stop = threading.Event()
        self._thread = None

    def listen(self, listener):
        self.calls.append("start")
        self._stop.clear()
        self._thread = threading.Thread(target=self._run, args=(listener,), daemon=True)
        self._thread.start()

    def unlisten(self, listener):
        self.calls.append("stop")
        self._stop.set()
        if self._thread is not None:  # None: never started (an attach cut short)
            self._thread.join(timeout=30)

    # An Amplifier reads in chunks: its ring is fed as the helper library feeds it.
    def attach(self, ring):
        self.listen(ring.push)

    def detach(self, ring):
        self.unlisten(ring.push)

    def _run(self, listener):
        begin = time.monotonic()
        k = 0
        while not self._stop.is_set() and (self.total is None or k < self.total):
            due = begin + k / float(self.rate)
            if time.monotonic() < due:
                time.sleep(0.001)
                continue
            arrival = time.monotonic()
            for _ in range(self.frames):
                k += 1
                if k in self.silent:
                    continue
                if self.fill and k - 1 in self.silent and len(self.sent):
                    for _ in range(len(self.silent)):
                        filler = self.sent[-1].copy()
                        filler[-1] = 0.0
                        listener(filler, arrival)
                scan = np.asarray(self.scan(k), dtype=np.float32)
                self.sent.append(scan)
                listener(scan, arrival)
                if k == self.interrupt_after:
                    os.kill(os.getpid(), signal.SIGINT)
                    return


class StandInAmplifier(Amplifier):
    """An ``Amplifier`` on a ``StandInDevice``; closing only stops it."""

    def close(self):
        with self._control:
            self._closed = True
        self.stop()


def stand_in(serial, types, scan, **options):
    """A `StandInAmplifier` and its device; `options` go to the device."""
    device = StandInDevice(serial, types, scan, **options)
    return StandInAmplifier(device), device
