"""The scan fan-out: one discovered callback in the library, many subscribers.

The library holds one discovered callback for the process. Every search of
the package (``tavo_ble.scan``, the command line, ``TavoBLEWrapper``'s
scanning) subscribes here: the library's scan runs while at least one
subscriber is subscribed, and each list of amplifiers in range that it
reports goes to every subscriber, in order, on the library's scan thread.
"""
from __future__ import annotations

import contextlib
import queue
import threading
import time
from typing import Callable, Iterator, List

from . import native

Subscriber = Callable[[List[str]], None]

# The lock keeps starting and stopping the library's scan in step with the list.
_lock = threading.Lock()
_subscribers: List[Subscriber] = []


def names_of(devices, count: int) -> List[str]:
    """The names in `count` 15-byte slots, each cut at its first zero byte.

    Names come over the radio: bytes that are not UTF-8 become U+FFFD.
    """
    return [devices[i].value.decode("utf-8", "replace") for i in range(count)]


def _on_discovered(devices, count: int) -> None:
    # The library's scan thread, with the whole current list each time.
    names = names_of(devices, count)
    for subscriber in list(_subscribers):
        subscriber(list(names))


_discovered_callback = native.DeviceDiscoveredCallback(_on_discovered)


def subscribe(subscriber: Subscriber) -> None:
    """Adds `subscriber`; the first one starts the library's scan (raises its error)."""
    with _lock:
        if subscriber in _subscribers:
            return
        if not _subscribers:
            try:
                native.start_scanning(_discovered_callback)
            except Exception:
                native.stop_scanning()
                raise
        _subscribers.append(subscriber)


def unsubscribe(subscriber: Subscriber) -> None:
    """Removes `subscriber`; the last one stops the library's scan."""
    with _lock:
        if subscriber not in _subscribers:
            return
        _subscribers.remove(subscriber)
        if not _subscribers:
            native.stop_scanning()


@contextlib.contextmanager
def searching() -> Iterator["queue.Queue[List[str]]"]:
    """Scans while it lasts; yields a queue that receives each new list of amplifiers in range.

    Read the queue with a timeout: waiting on it can be interrupted by Ctrl-C.
    """
    batches: "queue.Queue[List[str]]" = queue.Queue()
    subscriber = batches.put
    subscribe(subscriber)
    try:
        yield batches
    finally:
        unsubscribe(subscriber)


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
