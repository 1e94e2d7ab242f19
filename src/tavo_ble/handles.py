"""The process's open amplifiers, shared by every object that uses one.

The library hands out one handle per amplifier: opening the same serial
number twice returns the same handle, closing it closes it for everyone, and
it holds one data callback per handle. This table counts the users of each
handle (``Amplifier`` and ``TavoBLEWrapper`` objects alike), closes it when
the last one leaves, and registers one data callback per handle that passes
each scan to every listening user: the per-scan fan-out, in one place
(``OpenDevice._on_data``). Listeners are held weakly, so that an object
nobody refers to any more can still be finalised (which releases it).

Readers in chunks (``Amplifier``) attach a ``ScanChunks`` ring instead: with
the package's native helper, the helper's function is the handle's data
callback, fills the rings without Python and calls ``_on_data`` only while
per-scan listeners are there (``tavo_ble.scan_chunks``).
"""
from __future__ import annotations

import threading
import time
import weakref
from typing import Callable, Dict, List, Optional

import numpy as np

from . import native, scan_chunks
from .errors import error_for
from .scan_chunks import ScanChunks

# listener(scan, arrival): `scan` is the listener's own float32 copy,
# `arrival` the time.monotonic() at which the library handed it over.
Listener = Callable[[np.ndarray, float], None]

_lock = threading.Lock()
_devices: Dict[int, "OpenDevice"] = {}
# Handles whose last user is closing them now; set when the close is done.
_closing: Dict[int, threading.Event] = {}


class OpenDevice:
    """One library handle with its users, its listeners and its data callback."""

    def __init__(self, handle: int, information: native.TAVOBLE_DEVICE_INFORMATION) -> None:
        self.handle = handle
        self.information = information
        self.users = 0
        self.closed = False
        self._listeners: List[weakref.WeakMethod] = []
        self._rings: List[ScanChunks] = []
        self._registered = False  # a data callback is registered in the library
        self._routed: tuple = ((), False)  # the helper's route now: (rings, per-scan callback on)
        self._syncing = False
        self._dirty = False
        self._callback = native.DataAvailableCallback(self._on_data)

    def _on_data(self, handle: int, sample, count: int) -> None:
        # The library's delivery thread, once per scan: one copy of the
        # library's reused buffer, and one more for each further listener so
        # that every listener owns what it gets.
        native.keep_thread_state()
        arrival = time.monotonic()
        scan = np.ctypeslib.as_array(sample, (count,)).copy() if count else np.zeros(0, np.float32)
        if scan_chunks.helper is None:
            for ring in self._rings:
                ring.push(scan, arrival)
        first = True
        for reference in self._listeners:
            listener = reference()
            if listener is not None:
                listener(scan if first else scan.copy(), arrival)
                first = False

    def listen(self, listener: Listener) -> None:
        """Adds a listener; the first one starts the amplifier's stream (raises its error)."""
        with _lock:
            if self.closed:
                raise error_for(1, "Couldn't get device from handle.")
            if any(r() == listener for r in self._listeners):
                return  # listening already: each scan once
            self._listeners = self._listeners + [weakref.WeakMethod(listener)]  # type: ignore[arg-type]
        try:
            self._sync()
        except Exception:
            self.unlisten(listener)
            raise

    def unlisten(self, listener: Listener) -> None:
        """Removes a listener; the last one stops the stream."""
        with _lock:
            self._listeners = [r for r in self._listeners if r() is not None and r() != listener]
        self._sync()

    def attach(self, ring: ScanChunks) -> None:
        """Adds a ring that receives every scan; the first reader starts the stream."""
        with _lock:
            if self.closed:
                raise error_for(1, "Couldn't get device from handle.")
            self._rings = self._rings + [ring]
        try:
            self._sync()
        except Exception:
            self.detach(ring)
            raise

    def detach(self, ring: ScanChunks) -> None:
        """Removes a ring; when this returns, no scan goes into it any more."""
        with _lock:
            self._rings = [r for r in self._rings if r is not ring]
        self._sync()

    def _sync(self) -> None:
        # Brings the library's registration in line with whether anyone
        # listens. The library call is made outside every lock: it may wait
        # for a running callback, which may itself be starting or stopping.
        # One thread at a time does it; a change meanwhile makes it go round
        # once more.
        with _lock:
            self._dirty = True
            if self._syncing:
                return
            self._syncing = True
        try:
            while True:
                with _lock:
                    self._dirty = False
                    listening = any(r() is not None for r in self._listeners)
                    rings = tuple(self._rings) if not self.closed else ()
                    want = (listening or bool(rings)) and not self.closed
                    route = (rings, listening and not self.closed)
                    if want == self._registered and (scan_chunks.helper is None or route == self._routed):
                        return
                if scan_chunks.helper is None:
                    # Python rings are filled by the per-scan callback.
                    if want != self._registered:
                        self._register(want, self._callback)
                    continue
                # The route is in place before the first scan and goes after the last.
                if want:
                    self._route(route)
                if want != self._registered:
                    self._register(want, scan_chunks.DELIVER)
                if not want:
                    self._route(((), False))
        finally:
            with _lock:
                self._syncing = False
                again = self._dirty
            if again:
                self._sync()

    def _register(self, want: bool, callback) -> None:
        if want:
            native.register_data(self.handle, callback)
        else:
            native.unregister_data(self.handle)
        with _lock:
            self._registered = want

    def _route(self, route: tuple) -> None:
        if route != self._routed:
            rings, per_scan = route
            scan_chunks.route(self.handle, rings, self._callback if per_scan else None)
            self._routed = route

    @property
    def listening(self) -> int:
        """How many listeners receive the scans now."""
        return sum(1 for r in self._listeners if r() is not None)


def join(serial: str) -> OpenDevice:
    """Opens `serial` in this thread, or joins its open handle; one more user."""
    while True:
        handle = native.open_device(serial)
        with _lock:
            closing = _closing.get(handle)
            device = _devices.get(handle)
            if device is not None:
                device.users += 1
                return device
        if closing is None:
            break
        # The library handed over the handle that its last user is closing
        # right now: open anew once that close is done.
        closing.wait()
    try:
        information = native.device_information(handle)
    except BaseException:
        with _lock:
            joined = handle in _devices
        if not joined:
            native.close_device(handle)
        raise
    with _lock:
        device = _devices.get(handle)
        if device is None:
            device = _devices[handle] = OpenDevice(handle, information)
        device.users += 1
        return device


def acquire(serial: str, timeout: float) -> OpenDevice:
    """Like ``join`` but waits at most `timeout` seconds, and Ctrl-C ends the wait.

    The library's open cannot be cut short: it goes on in the background and
    whatever it opens after the caller gave up is given back.
    """
    box: Dict[str, object] = {}
    guard = threading.Lock()
    done = threading.Event()

    def connect() -> None:
        try:
            device: Optional[OpenDevice] = join(serial)
        except BaseException as error:  # handed to the caller
            box["error"] = error
        else:
            with guard:
                if "abandoned" not in box:
                    box["device"], device = device, None
            if device is not None:
                release(device)
        finally:
            done.set()

    def abandon() -> Optional[OpenDevice]:
        with guard:
            box["abandoned"] = True
            return box.pop("device", None)  # type: ignore[return-value]

    threading.Thread(target=connect, name="tavo_ble open %s" % serial, daemon=True).start()
    try:
        finished = done.wait(timeout)
    except BaseException:
        opened = abandon()
        if opened is not None:
            release(opened)
        raise
    if not finished:
        with guard:
            box["abandoned"] = True
        if "device" not in box and "error" not in box:
            raise error_for(3, "'%s' was not opened within %g s" % (serial, timeout))
    if "error" in box:
        raise box["error"]  # type: ignore[misc]
    return box["device"]  # type: ignore[return-value]


def release(device: OpenDevice) -> None:
    """One user fewer; the last one stops the stream and closes the handle."""
    with _lock:
        if device.closed:
            return
        device.users -= 1
        if device.users > 0:
            return
        device.closed = True
        device._listeners = []
        device._rings = []
        _devices.pop(device.handle, None)
        done = _closing[device.handle] = threading.Event()
        registered = device._registered
        device._registered = False
    try:
        if registered:
            native.unregister_data(device.handle)
        if scan_chunks.helper is not None and device._routed != ((), False):
            scan_chunks.route(device.handle, (), None)
            device._routed = ((), False)
        native.close_device(device.handle)
    finally:
        with _lock:
            _closing.pop(device.handle, None)
        done.set()


def open_handles() -> List[int]:
    """The handles open through this table."""
    with _lock:
        return list(_devices)


def find(handle: int) -> Optional[OpenDevice]:
    """The open device of `handle`, or None."""
    with _lock:
        return _devices.get(handle)
