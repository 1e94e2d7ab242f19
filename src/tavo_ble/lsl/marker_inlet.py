"""Experiment markers from the Lab Streaming Layer, for recordings.

Stimulus programs (PsychoPy among them) send their events as an irregular
string stream. ``MarkerInlet`` takes the markers of every string stream with a
given name or type, from whenever it appears, and hands each marker with its
time to a callable: the sender's time stamp, corrected to this machine's clock
with ``time_correction()``, then carried over to ``time.monotonic()``'s clock,
on which the amplifiers' sample times are.

Senders come and go: a continuous search keeps one inlet per sender that is
there (by the stream's unique id), opens one as soon as a sender appears and
drops it once the sender has gone. liblsl (1.16) does not always tell an inlet
that its sender closed (the connection can stay open, silent); the search does.
"""
import collections
import sys
import threading
import time
import traceback
from typing import Any, Callable, Deque, Dict, List, Optional, Set, Tuple

from .binding import clock_offset, load_pylsl

# How long one pull waits for markers; also how soon close() is taken.
_PULL_SECONDS = 0.05
# How often the senders present are looked up.
_LOOKUP_SECONDS = 0.25
# A sender that has not answered the search for this long has gone.
_GONE_SECONDS = 5.0
# How long the first estimate of a sender's clock offset may take.
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


class _Sender:
    """One sender's inlet and the last estimate of its clock's offset."""

    def __init__(self, pylsl: Any, info: Any) -> None:
        self.inlet = pylsl.StreamInlet(info, recover=False)  # a new sender is a new stream
        self.name = info.name()
        self.correction = 0.0


class MarkerInlet:
    """Hands the markers of LSL string streams to ``on_marker(text, time)``.

    `name_or_type` picks the streams; ``time`` is on ``time.monotonic()``'s
    clock. ``on_marker`` runs on the inlet's own thread; without it the
    markers wait for ``take()``, as a recording that writes from its own
    thread wants them. ``stream_name`` is the
    name of the last stream found (None before), ``received`` counts the
    markers and ``callback_errors`` the exceptions ``on_marker`` raised.
    ``close()`` (idempotent) stops taking markers.
    """

    def __init__(self, name_or_type: str, on_marker: Optional[Callable[[str, float], None]] = None) -> None:
        self._query = predicate(name_or_type)
        self._pylsl = load_pylsl()
        self._offset = clock_offset(self._pylsl.local_clock)
        self.name_or_type = name_or_type
        self._waiting: Deque[Tuple[str, float]] = collections.deque()
        self.on_marker = on_marker if on_marker is not None else self._hold
        self.stream_name: Optional[str] = None
        self.received = 0
        self.callback_errors = 0
        self.found = threading.Event()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="tavo_ble lsl markers", daemon=True)
        self._thread.start()

    def _look_up(self, resolver: Any, senders: Dict[str, _Sender], lost: Set[str]) -> None:
        present = {info.uid(): info for info in resolver.results()}
        for uid in list(senders):
            if uid not in present:
                try:
                    self._take(senders[uid], 0.0)  # what it sent before it went
                except self._pylsl.util.LostError:
                    pass
                del senders[uid]  # gone: its inlet is destroyed here
        lost.intersection_update(present)
        for uid, info in present.items():
            if uid not in senders and uid not in lost:
                senders[uid] = _Sender(self._pylsl, info)
                self.stream_name = senders[uid].name
                self.found.set()

    def _take(self, sender: _Sender, timeout: float) -> None:
        samples, stamps = sender.inlet.pull_chunk(timeout=timeout)
        if not stamps:
            return
        try:
            sender.correction = sender.inlet.time_correction(timeout=_CORRECTION_SECONDS)
        except self._pylsl.util.TimeoutError:
            pass  # the last estimate (0 at first: right for a sender on this machine)
        for values, stamp in zip(samples, stamps):
            text = " ".join(v for v in values if v)
            if not text:
                # Nothing to record. liblsl (1.16) also sends its inlets one more
                # sample as it closes an outlet, an empty one while the sender's
                # pool of samples is fresh: that is not a marker.
                continue
            self.received += 1
            try:
                self.on_marker(text, stamp + sender.correction - self._offset)
            except Exception:
                self.callback_errors += 1
                if self.callback_errors == 1:
                    sys.stderr.write("tavo_ble: the on_marker callable raised (reported once, then counted):\n")
                    traceback.print_exc()

    def _run(self) -> None:
        senders: Dict[str, _Sender] = {}
        lost: Set[str] = set()  # closed senders the search still lists
        try:
            resolver = self._pylsl.ContinuousResolver(pred=self._query, forget_after=_GONE_SECONDS)
            next_look = 0.0
            while not self._stop.is_set():
                if time.monotonic() >= next_look:
                    self._look_up(resolver, senders, lost)
                    next_look = time.monotonic() + _LOOKUP_SECONDS
                if not senders:
                    self._stop.wait(_PULL_SECONDS)
                    continue
                timeout = _PULL_SECONDS / len(senders)
                for uid, sender in list(senders.items()):
                    try:
                        self._take(sender, timeout)
                    except self._pylsl.util.LostError:
                        del senders[uid]
                        lost.add(uid)
        except Exception:
            sys.stderr.write("tavo_ble: taking LSL markers from %r failed:\n" % self.name_or_type)
            traceback.print_exc()
        finally:
            senders.clear()

    def _hold(self, text: str, time: float) -> None:
        self._waiting.append((text, time))

    def take(self) -> List[Tuple[str, float]]:
        """The markers (text, time) that arrived since the last call, oldest first."""
        taken = []
        while self._waiting:
            taken.append(self._waiting.popleft())
        return taken

    def close(self) -> None:
        """Stops taking markers."""
        self._stop.set()
        if self._thread is not threading.current_thread():
            self._thread.join()

    def wait_found(self, timeout: Optional[float] = None) -> bool:
        """Waits up to `timeout` seconds for a stream; True once one is found."""
        return self.found.wait(timeout)

    def __enter__(self) -> "MarkerInlet":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
