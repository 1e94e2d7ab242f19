"""Ctrl-C that waits for the end of a step that must not be cut in two.

Python raises ``KeyboardInterrupt`` (and, in the command line, SIGTERM and
SIGHUP do the same) between any two steps of the main thread. A recording
cut there can have scans taken from the ring buffer but not written, half a
data record handed to EDFlib, or a second written to the file but still
queued, so written twice. ``deferred()`` holds such signals while its block
runs and raises them as they would have been raised right after it: the
interrupt still ends the program, at a point where the recording is whole.

Only the main thread receives these signals in Python, so elsewhere the
block simply runs. A signal without a Python handler (ignored, the system's
default) is left alone.
"""
import signal
import threading
from types import TracebackType
from typing import Any, Dict, List, Optional, Type

_SIGNALS = tuple(getattr(signal, n) for n in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, n))


class deferred:  # noqa: N801 (used like a function: ``with deferred():``)
    """While the block runs, the Python handlers of SIGINT, SIGTERM and SIGHUP wait for its end."""

    def __init__(self) -> None:
        self._previous: Dict[int, Any] = {}
        self._caught: List[int] = []

    def _hold(self, signum: int, frame: object) -> None:
        self._caught.append(signum)

    def __enter__(self) -> "deferred":
        if threading.current_thread() is not threading.main_thread():
            return self
        try:
            for number in _SIGNALS:
                handler = signal.getsignal(number)
                if callable(handler):
                    self._previous[number] = handler
                    signal.signal(number, self._hold)
        except BaseException:
            # An interrupt before every handler was held: put them back, and let it go.
            self._restore()
            raise
        return self

    def _restore(self) -> None:
        previous = dict(self._previous)
        try:
            self._put_back()
        finally:
            self._put_back()  # a signal that came meanwhile cut the first pass short
        caught, self._caught = self._caught, []
        for number in caught:
            # As the signal would have been handled right now: KeyboardInterrupt, most often.
            previous[number](number, None)

    def _put_back(self) -> None:
        # SIGINT last: it is the one a user sends, and it is held until then.
        while self._previous:
            number, handler = self._previous.popitem()
            signal.signal(number, handler)

    def __exit__(self, kind: Optional[Type[BaseException]], error: Optional[BaseException],
                 trace: Optional[TracebackType]) -> None:
        self._restore()
