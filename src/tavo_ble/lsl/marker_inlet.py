"""Experiment markers from the Lab Streaming Layer, for recordings.

Stimulus programs (PsychoPy among them) send their events as an irregular
string stream. ``MarkerInlet`` finds such a stream by name or type, whenever it
appears, and hands each marker with its time to a callable: the sender's time
stamp, corrected to this machine's clock with ``time_correction()``, then
carried over to ``time.monotonic()``'s clock, on which the amplifiers' sample
times are. A sender that goes away and comes back (or another one with that
name or type) is found again.
"""
import sys
import threading
import traceback
from typing import Any, Callable, Optional

from .binding import clock_offset, load_pylsl

# How long one pull waits for markers; also how soon close() is taken.
_PULL_SECONDS = 0.05
# How long one search for the stream lasts before the next.
_RESOLVE_SECONDS = 0.5
# How long the first estimate of the sender's clock offset may take.
_CORRECTION_SECONDS = 2.0


def predicate(name_or_type: str) -> str:
    """The LSL query for string streams with this name or type."""
    if not name_or_type:
        raise ValueError("name the marker stream, or its type")
    if "'" not in name_or_type:
        quoted = "'%s'" % name_or_type
    elif '"' not in name_or_type:
        quoted = '"%s"' % name_or_type
    else:
        raise ValueError("a marker stream's name or type cannot hold both kinds of quote: %r" % name_or_type)
    return "(name=%s or type=%s) and channel_format='string'" % (quoted, quoted)


class MarkerInlet:
    """Hands the markers of an LSL string stream to ``on_marker(text, time)``.

    `name_or_type` picks the stream; ``time`` is on ``time.monotonic()``'s
    clock. ``on_marker`` runs on the inlet's own thread. ``stream_name`` is the
    name of the stream found (None before), ``received`` counts the markers
    and ``callback_errors`` the exceptions ``on_marker`` raised.
    ``close()`` (idempotent) stops taking markers.
    """

    def __init__(self, name_or_type: str, on_marker: Callable[[str, float], None]) -> None:
        self._query = predicate(name_or_type)
        self._pylsl = load_pylsl()
        self._offset = clock_offset(self._pylsl.local_clock)
        self.name_or_type = name_or_type
        self.on_marker = on_marker
        self.stream_name: Optional[str] = None
        self.received = 0
        self.callback_errors = 0
        self.found = threading.Event()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="tavo_ble lsl markers", daemon=True)
        self._thread.start()

    def _resolve(self) -> Any:
        pylsl = self._pylsl
        found = pylsl.resolve_bypred(self._query, 1, _RESOLVE_SECONDS)
        if not found:
            return None
        inlet = pylsl.StreamInlet(found[0], recover=True)
        self.stream_name = found[0].name()
        self.found.set()
        return inlet

    def _take(self, inlet: Any, correction: float) -> float:
        samples, stamps = inlet.pull_chunk(timeout=_PULL_SECONDS)
        if not stamps:
            return correction
        try:
            correction = inlet.time_correction(timeout=_CORRECTION_SECONDS)
        except self._pylsl.util.TimeoutError:
            pass  # the last estimate (0 at first: a sender on this machine)
        for values, stamp in zip(samples, stamps):
            text = " ".join(v for v in values if v)
            self.received += 1
            try:
                self.on_marker(text, stamp + correction - self._offset)
            except Exception:
                self.callback_errors += 1
                if self.callback_errors == 1:
                    sys.stderr.write("tavo_ble: the on_marker callable raised (reported once, then counted):\n")
                    traceback.print_exc()
        return correction

    def _run(self) -> None:
        inlet = None
        correction = 0.0
        lost = self._pylsl.util.LostError
        try:
            while not self._stop.is_set():
                if inlet is None:
                    inlet = self._resolve()
                    continue
                try:
                    correction = self._take(inlet, correction)
                except lost:
                    inlet, correction = None, 0.0  # a sender without source_id: search again
        except Exception:
            sys.stderr.write("tavo_ble: taking LSL markers from %r failed:\n" % self.name_or_type)
            traceback.print_exc()
        finally:
            inlet = None

    def close(self) -> None:
        """Stops taking markers."""
        self._stop.set()
        if self._thread is not threading.current_thread():
            self._thread.join()

    def wait_found(self, timeout: Optional[float] = None) -> bool:
        """Waits up to `timeout` seconds for the stream; True once it is found."""
        return self.found.wait(timeout)

    def __enter__(self) -> "MarkerInlet":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
