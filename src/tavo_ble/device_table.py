"""The process's open amplifiers, shared by every ``Amplifier`` object.

The library hands out one handle per amplifier: opening the same serial
number twice returns the same handle, and closing it closes it for everyone.
This table counts the users of each handle, closes it when the last one
leaves, and keeps one data callback per handle that passes each scan to every
listening object. Listeners are held weakly, so that an object nobody refers
to any more can still be finalised (which closes it).
"""
from __future__ import annotations

import atexit
import contextlib
import ctypes
import queue
import threading
import time
import weakref
from typing import Callable, Dict, Iterator, List, Optional

import numpy as np

from .errors import error_for, signed_code
from .lib import tavo_ble_wrapper as binding

Listener = Callable[[np.ndarray, float], None]

_lock = threading.Lock()
_devices: Dict[int, "OpenDevice"] = {}
# Set by the exit hook, which has stopped and closed everything.
_exiting = False


def check(raw: int) -> None:
    """Raises the typed error for a failed library call."""
    code = signed_code(raw)
    if code != 0:
        text = binding.lib.TAVOBLE_GetLastErrorText()
        raise error_for(code, text.decode("utf-8", "replace") if text else "error %d" % code)


class OpenDevice:
    """One library handle with its users, its listeners and its data callback."""

    def __init__(self, handle: int, information: binding.TAVOBLE_DEVICE_INFORMATION) -> None:
        self.handle = handle
        self.information = information
        self.users = 0
        self._listeners: List[weakref.WeakMethod] = []
        self._registered = False
        self._callback = binding.DataAvailableCallback(self._on_data)

    def _on_data(self, handle: int, sample, count: int) -> None:
        # Runs on the library's notification thread for every scan.
        binding._keep_thread_state()
        arrival = time.monotonic()
        scan = np.ctypeslib.as_array(sample, (count,)).copy() if count else np.zeros(0, np.float32)
        for reference in self._listeners:
            listener = reference()
            if listener is not None:
                listener(scan, arrival)

    def listen(self, listener: Listener) -> None:
        """Adds a listener; the first one starts the amplifier's stream."""
        with _lock:
            self._listeners = self._listeners + [weakref.WeakMethod(listener)]  # type: ignore[arg-type]
            if self._registered:
                return
            try:
                check(binding.lib.TAVOBLE_RegisterDataAvailableCallback(self.handle, self._callback))
            except Exception:
                self._listeners = self._listeners[:-1]
                raise
            self._registered = True

    def unlisten(self, listener: Listener) -> None:
        """Removes a listener; the last one stops the stream."""
        with _lock:
            self._listeners = [r for r in self._listeners if r() is not None and r() != listener]
            if self._listeners or not self._registered:
                return
            self._registered = False
            handle = self.handle
        binding.lib.TAVOBLE_RegisterDataAvailableCallback(handle, ctypes.cast(None, binding.DataAvailableCallback))


def acquire(serial: str, timeout: float) -> OpenDevice:
    """Opens `serial` (or joins its existing handle), waiting at most `timeout` seconds."""
    result: Dict[str, object] = {}
    done = threading.Event()
    abandoned = threading.Event()

    def connect() -> None:
        handle = binding.TAVOBLE_HANDLE(0)
        try:
            check(binding.lib.TAVOBLE_OpenDevice(serial.encode("utf-8"), ctypes.byref(handle)))
            information = binding.TAVOBLE_DEVICE_INFORMATION()
            check(binding.lib.TAVOBLE_GetDeviceInformation(handle.value, ctypes.byref(information)))
            with _lock:
                device = _devices.get(handle.value)
                if device is None:
                    device = _devices[handle.value] = OpenDevice(handle.value, information)
                device.users += 1
                if abandoned.is_set():
                    # The caller gave up waiting: give the handle back.
                    device.users -= 1
                    if device.users == 0:
                        del _devices[handle.value]
                        binding.lib.TAVOBLE_CloseDevice(ctypes.byref(handle))
                    return
                result["device"] = device
        except BaseException as error:  # handed to the caller
            result["error"] = error
        finally:
            done.set()

    worker = threading.Thread(target=connect, name="tavo_ble open %s" % serial, daemon=True)
    worker.start()
    try:
        finished = done.wait(timeout)
    except BaseException:
        # Ctrl-C while the library searches: the search goes on in the
        # background, and whatever it opens is given back.
        opened = _abandon(abandoned, result)
        if opened is not None:
            release(opened)
        raise
    if not finished and _abandon(abandoned, result) is None:
        raise error_for(3, "'%s' was not opened within %g s" % (serial, timeout))
    if "error" in result:
        raise result["error"]  # type: ignore[misc]
    return result["device"]  # type: ignore[return-value]


def _abandon(abandoned: threading.Event, result: Dict[str, object]) -> Optional[OpenDevice]:
    # Tells the opening thread to give back whatever it opens from now on;
    # returns what it had opened already (None: nothing yet).
    with _lock:
        abandoned.set()
        return result.get("device")  # type: ignore[return-value]


def release(device: OpenDevice) -> None:
    """Leaves `device`; the last user closes its handle."""
    with _lock:
        if _exiting:
            return
        device.users -= 1
        if device.users > 0:
            return
        _devices.pop(device.handle, None)
        registered = device._registered
        device._registered = False
        device._listeners = []
    handle = binding.TAVOBLE_HANDLE(device.handle)
    if registered:
        binding.lib.TAVOBLE_RegisterDataAvailableCallback(handle.value, ctypes.cast(None, binding.DataAvailableCallback))
    binding.lib.TAVOBLE_CloseDevice(ctypes.byref(handle))


def open_handles() -> List[int]:
    """The handles open through this table."""
    with _lock:
        return list(_devices)


# How long the exit hook waits for the library to stop and close everything.
EXIT_WAIT = 3.0


@atexit.register
def _close_at_exit() -> None:
    # A program may end with amplifiers streaming: stop every callback first
    # (that takes effect at once), then close, before the interpreter
    # finalises. A data callback that waits on the application (a full queue
    # nobody drains any more) would hold that up for ever, so the work runs
    # on a thread of its own and the program ends without it after EXIT_WAIT.
    global _exiting
    with _lock:
        _exiting = True
        devices = list(_devices.values())
        _devices.clear()
        registered = [d for d in devices if d._registered]
        for device in devices:
            # Finalisers that run later (of Amplifier objects) find nothing to do.
            device._listeners = []
            device._registered = False
            device.users = 0
    if not devices:
        return

    def stop_and_close() -> None:
        for device in registered:
            binding.lib.TAVOBLE_RegisterDataAvailableCallback(
                device.handle, ctypes.cast(None, binding.DataAvailableCallback))
        for device in devices:
            binding.lib.TAVOBLE_CloseDevice(ctypes.byref(binding.TAVOBLE_HANDLE(device.handle)))

    closer = threading.Thread(target=stop_and_close, name="tavo_ble exit", daemon=True)
    closer.start()
    closer.join(EXIT_WAIT)
    if closer.is_alive():
        import sys

        sys.stderr.write("tavo_ble: a data callback is still running at exit; not waiting for it\n")
        sys.stderr.flush()


# Queues of the searches running now; each gets every list the library reports.
# The lock keeps starting and stopping the library's scan in step with the list.
_searches: List["queue.Queue[List[str]]"] = []
_search_lock = threading.Lock()


def _on_discovered(devices, count: int) -> None:
    # The library's scan thread, with the whole current list each time.
    names = []
    for i in range(count):
        names.append(devices[i].value.decode("utf-8", "replace"))
    for batch in list(_searches):
        batch.put(names)


_discovered_callback = binding.DeviceDiscoveredCallback(_on_discovered)


@contextlib.contextmanager
def searching() -> Iterator["queue.Queue[List[str]]"]:
    """Scans while it lasts; yields a queue that receives each new list of amplifiers in range.

    Read the queue with a timeout: waiting on it can be interrupted by Ctrl-C.
    """
    batches: "queue.Queue[List[str]]" = queue.Queue()
    with _search_lock:
        if not _searches:
            check(binding.lib.TAVOBLE_RegisterDeviceDiscoveredCallback(_discovered_callback))
            try:
                check(binding.lib.TAVOBLE_StartScanning())
            except Exception:
                _stop_scanning()
                raise
        _searches.append(batches)
    try:
        yield batches
    finally:
        with _search_lock:
            _searches.remove(batches)
            if not _searches:
                _stop_scanning()


def _stop_scanning() -> None:
    binding.lib.TAVOBLE_StopScanning()
    binding.lib.TAVOBLE_RegisterDeviceDiscoveredCallback(ctypes.cast(None, binding.DeviceDiscoveredCallback))


def discover(seconds: float) -> List[str]:
    """Scans for `seconds`; the last list of amplifiers in range."""
    latest: List[str] = []
    deadline = time.monotonic() + seconds
    with searching() as batches:
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                break
            try:
                latest = batches.get(timeout=min(remaining, 0.1))
            except queue.Empty:
                pass
    return list(latest)


def find(handle: int) -> Optional[OpenDevice]:
    """The open device of `handle`, or None."""
    with _lock:
        return _devices.get(handle)
