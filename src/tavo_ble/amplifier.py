"""The Python API for recording from amplifiers.

Open, stream, read, close::

    import tavo_ble

    with tavo_ble.Amplifier.open("UX-0001.00.01") as amp:
        print(amp.info.sampling_rate, [c.name for c in amp.info.channels])
        amp.start()                       # fills a ring buffer (60 s by default)
        data, times = amp.read(timeout=1.0)
        # data: (n, values_per_scan) float32; times: (n,) float64 seconds on
        # time.monotonic()'s clock, de-jittered (see below)
    # leaving the block (also by an exception) closes the amplifier

``Amplifier.open(serial, timeout=10.0)`` opens an amplifier; ``close()`` is
idempotent and the finaliser closes too. Each object keeps the amplifier open
until it is closed: two objects on one amplifier have independent lifetimes,
and closing one leaves the other streaming. ``info`` is an ``AmplifierInfo``
(texts, sampling rate, channel list); ``is_streaming`` tells whether
``start()`` is in effect.

A scan holds the channels, then the battery level, then the data-valid flag
(0.0 for a filler: a scan the library inserts for a sample that was lost on
the radio, so that sample numbers stay continuous).

Times. One notion of time: a scan's sample time is when the amplifier
sampled it, in seconds on ``time.monotonic()``'s clock (on Linux the
CLOCK_MONOTONIC that Lab Streaming Layer's ``local_clock()`` also reads).
Every scan gets:

- its sample time: from a running robust linear fit of sample number against
  notification arrival (``tavo_ble.timeline``), free of radio jitter;
  fillers get the times of the samples they stand for. When the stream
  resumes after an outage in which the amplifier's clock moved on but its
  sample numbers did not, the fit starts anew there (a ``"gap"`` event): no
  gap is squeezed out, and no time ever goes back;
- its arrival: ``time.monotonic()`` when its notification reached the host
  (the scans of one notification share it);
- the stream's start: ``stream_start_wall`` (``time.time()``) and
  ``stream_start_monotonic`` taken together at ``start()``; a sample time
  ``t`` is ``stream_start_wall + (t - stream_start_monotonic)`` in wall time.

The stream starts at its first measured scan. The fillers that the library
puts before it, one for every sample the amplifier counted before the stream
(a free-running counter, an earlier stream), are skipped: never streamed, so
neither lost nor timed. ``skipped_before_start`` counts them; they are
counted as they arrive, never held, however many there are.

Reading. ``read(max_scans=None, timeout=0.0)`` returns ``(data, times)`` of
the scans not read yet, waiting up to ``timeout`` seconds (None: without
limit) for at least one, and returning at once when the amplifier is stopped
or closed (by another thread too); ``read_with_arrivals()`` also returns the arrival times; ``get_data(seconds)``
returns the newest window whether read or not. The ring buffer holds
``buffer_seconds`` (default 60); when it is full the oldest scans are dropped,
counted in ``dropped`` and reported by a ``RuntimeWarning`` and an
``"overflow"`` event. ``sample_count`` is the number of scans since the
first measured one; the scan numbered ``n`` (0-based) has sample number ``n``.
A scan that came late enough to be the start of a gap is held back until the
next notifications tell (a few notification intervals).

Per-scan callback. ``on_scan(amplifier, scan, time)`` runs for every scan,
in order, on the package's reading thread (never on the library's): keep it
short, the scans after it, and those of the other amplifiers, wait. An
exception raised in it is reported once, with its traceback, on stderr and
counted in ``callback_errors``.

How scans arrive. The package's native helper takes each scan off the
library's delivery thread into a ring, with its arrival time, without Python
(``tavo_ble.scan_chunks``); the package's one reading thread takes a turn
over all streaming amplifiers every 50 ms and feeds what each ring holds to
its timeline in chunks (the common run timed in the helper,
``tavo_ble.placement``), so ``read()`` sees a scan about 25 ms after it
arrived (50 ms at most, plus the turn). Should that thread fall 4 s or more
behind, the ring drops the newest scans: they come as fillers, counted in
``dropped``, with an ``"overflow"`` event. A run of fillers takes one place
in that ring, however long the outage it stands for.

Events. ``StreamEvent`` records (``kind``, ``serial``, ``time``,
``first_sample``, ``samples``, ``seconds``) are produced for:

- ``"skipped"``: ``samples`` fillers before the first measured scan were
  skipped (see above); ``time`` is the first measured scan's arrival;
- ``"fillers"``: a run of ``samples`` filler scans starting at sample number
  ``first_sample``, whose first sample time is ``time`` and which spans
  ``seconds``; reported when the first measured scan after the run arrives;
- ``"gap"``: the amplifier's clock moved on by ``seconds`` more than its
  sample numbers say, from ``time`` (just after the last sample before it)
  to the sample numbered ``first_sample``;
- ``"stall"``: no scan arrived for ``stall_timeout`` seconds (default five
  notification intervals, at least 0.5 s); ``time`` is the arrival of the
  last scan, ``first_sample`` the number of the next expected sample;
- ``"resumed"``: data flows again after a stall; ``time`` is the arrival that
  ended it, ``seconds`` the gap in arrival time and ``samples`` the samples
  between the last measured scan before the stall and the first after it;
- ``"overflow"``: ``samples`` scans were dropped from the ring buffer.

``events()`` returns (and forgets) the events so far; ``on_event(event)``, if
set, is called with each event on the reading thread, never on the library's
thread. ``stalls`` counts stalls.

Several amplifiers: ``scan(seconds)`` lists the serial numbers in range;
``open_many(serials)`` opens them in parallel as an ``AmplifierGroup`` whose
``read()`` returns each amplifier's chunk with its times on the common
``time.monotonic()`` axis, all chunks cut at one common time (see
``AmplifierGroup``).

``Amplifier.Error`` is the library's result-code enumeration; failures raise
``tavo_ble.Error`` (a ``ValueError``) subclasses carrying ``.code``.
"""
from __future__ import annotations

import collections
import threading
import time
import traceback
import warnings
from enum import Enum
from typing import TYPE_CHECKING, Callable, Deque, List, Optional, Tuple

import numpy as np

from . import channels as channel_types
from .errors import ArgumentError, HandleError, SessionError
from .info import AmplifierInfo, Channel, info_from  # noqa: F401 (Channel: part of the API here)
from .ring_buffer import RingBuffer
from .reading import ChunkReading, reader
from .scan_chunks import ScanChunks
from .timeline import StreamEvent, StreamTimeline

if TYPE_CHECKING:
    from .recording import AmplifierRecording

# Kept for events() between calls; older events are forgotten.
_EVENTS_KEPT = 10000
# Seconds of scans the ring between the library and the reading thread holds
# (never fewer than _RING_MINIMUM scans).
_RING_SECONDS = 4.0
_RING_MINIMUM = 4096


class Amplifier(ChunkReading):
    """One open amplifier; see the module's description."""

    class Error(Enum):
        """Result codes of the library's functions (0 is success)."""

        NONE = 0
        # A data notification of the wrong size; dropped inside the data path.
        INVALID_PAYLOAD_SIZE = -2
        # An invalid argument, or a failure that is not the library's own.
        INVALID_ARGUMENT = -1
        # The handle is null or names no open device.
        INVALID_HANDLE = 1
        # No usable Bluetooth adapter: none, several, or switched off.
        BLUETOOTH_ADAPTER = 2
        # The amplifier could not be found, connected or configured.
        AMPLIFIER_SESSION = 3

    on_scan: Optional[Callable[["Amplifier", np.ndarray, float], None]]
    on_event: Optional[Callable[[StreamEvent], None]]

    def __init__(self, device, buffer_seconds: float = 60.0, stall_timeout: Optional[float] = None) -> None:
        """Use ``Amplifier.open``; this takes an already acquired device."""
        self._device = device
        self.info: AmplifierInfo = info_from(device.information)
        self.serial: str = self.info.serial_number
        self.buffer_seconds = float(buffer_seconds)
        self.stall_timeout: Optional[float] = stall_timeout
        self.on_scan = None
        self.on_event = None
        self.dropped = 0
        self.callback_errors = 0
        self.stream_start_wall = 0.0
        self.stream_start_monotonic = 0.0
        self._closed = False
        self._streaming = False
        self._control = threading.Lock()
        # Held while a chunk is fed or the stall is checked (both on the
        # reading thread) and by readers of the counts.
        self._timing = threading.Lock()
        self._ring: Optional[RingBuffer] = None
        self._chunks: Optional[ScanChunks] = None
        self._events: Deque[StreamEvent] = collections.deque(maxlen=_EVENTS_KEPT)
        self._to_dispatch: Deque[StreamEvent] = collections.deque()
        self._reading = None  # the reading thread's entry for the stream
        self._valid_index = channel_types.index_of(self.info.type_codes, channel_types.DATA_VALID)
        self._timeline = self._new_timeline(0.0)
        self._overflow_warned = False
        self._skipped_taken = 0  # leading fillers the ring counted, handed to the timeline
        self._reader: Optional[Tuple[object, str]] = None  # who takes the scans by read(), and what

    # -- opening and closing -------------------------------------------------

    @classmethod
    def open(cls, serial: str, timeout: float = 10.0, buffer_seconds: float = 60.0,
             stall_timeout: Optional[float] = None) -> "Amplifier":
        """Opens the amplifier with serial number `serial` (raises ``tavo_ble.Error``)."""
        if not isinstance(serial, str) or not serial:
            raise ArgumentError("a serial number is a non-empty text", -1)
        if timeout <= 0:
            raise ArgumentError("the timeout must be positive", -1)
        if buffer_seconds <= 0:
            raise ArgumentError("the buffer must hold more than 0 s", -1)
        # The native library is loaded on first use: importing the package
        # (recordings, the command line's help) needs none.
        from . import handles

        try:
            device = handles.acquire(serial, timeout)
        except SessionError as error:
            if not error.text.startswith("Could not find device"):
                raise
            raise SessionError(_not_found(serial, error.text), error.code) from None
        return cls(device, buffer_seconds, stall_timeout)

    def close(self) -> None:
        """Stops the stream and gives the amplifier back; calling it again does nothing."""
        with self._control:
            if self._closed:
                return
            self._closed = True
        self.stop()
        from . import handles

        handles.release(self._device)

    def __enter__(self) -> "Amplifier":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    @property
    def closed(self) -> bool:
        """True once ``close()`` ran."""
        return self._closed

    @property
    def is_streaming(self) -> bool:
        """True between ``start()`` and ``stop()``."""
        return self._streaming

    @property
    def sample_count(self) -> int:
        """Scans received since ``start()``."""
        return self._timeline.sample_count

    @property
    def stalls(self) -> int:
        """Stalls of the stream since ``start()``."""
        return self._timeline.stalls

    @property
    def skipped_before_start(self) -> int:
        """Fillers before the stream's first measured scan, skipped: samples the
        amplifier counted before the stream started, never streamed, so
        neither lost nor timed."""
        return self._timeline.skipped_before_start

    @property
    def stalled(self) -> bool:
        """True while the stream is stalled."""
        return self._timeline.stalled

    # -- streaming -----------------------------------------------------------

    def _new_timeline(self, start: float) -> StreamTimeline:
        return StreamTimeline(self.serial, self.info.sampling_rate, self._valid_index, self.stall_timeout, start)

    def start(self) -> None:
        """Starts the stream into a fresh ring buffer (a running stream goes on)."""
        with self._control:
            if self._closed:
                raise HandleError("the amplifier is closed", 1)
            if self._streaming:
                return
            rate = max(self.info.sampling_rate, 1)
            self._ring = RingBuffer(max(1, int(round(self.buffer_seconds * rate))),
                                    max(1, self.info.values_per_scan))
            self.stream_start_wall = time.time()
            self.stream_start_monotonic = time.monotonic()
            self._timeline = self._new_timeline(self.stream_start_monotonic)
            self._overflow_warned = False
            width = max(1, self.info.values_per_scan)
            chunks = self._chunks = ScanChunks(width, max(_RING_MINIMUM, int(_RING_SECONDS * rate)))
            if self._valid_index is not None:
                chunks.skip_leading_fillers(self._valid_index)
                chunks.compact_filler_runs(self._valid_index,
                                           channel_types.counter_index(self.info.type_codes))
            self._skipped_taken = 0
            self._streaming = True
            self._reading = reader.add(self, chunks)
            try:
                self._device.attach(chunks)
            except Exception:
                self._streaming = False
                reader.stop(self._reading)
                self._ring.end()
                raise

    def stop(self) -> None:
        """Stops the stream; the scans received stay readable."""
        with self._control:
            if not self._streaming:
                return
            self._streaming = False
        chunks = self._chunks
        if chunks is not None:
            self._device.detach(chunks)  # no scan enters the ring after this
        # The reading thread's last turn feeds what the ring still holds and
        # hands out what the timeline held back.
        if self._reading is not None:
            reader.stop(self._reading)
        ring = self._ring
        if ring is not None:
            ring.end()  # a read() waiting for scans returns now
        self._dispatch()

    def _collect_events(self) -> None:
        # Under self._timing.
        for event in self._timeline.take():
            self._events.append(event)
            self._to_dispatch.append(event)

    def _check_stall(self, now: float) -> None:
        if not self._streaming:
            return
        with self._timing:
            self._timeline.check_stall(now)
            self._collect_events()

    def _dispatch(self) -> None:
        while self._to_dispatch:
            try:
                event = self._to_dispatch.popleft()
            except IndexError:  # taken meanwhile by stop() on another thread
                return
            if event.kind == "overflow" and not self._overflow_warned:
                self._overflow_warned = True
                warnings.warn("tavo_ble: %s: scans are dropped, they are not read in time "
                              "(counted in Amplifier.dropped)" % self.serial, RuntimeWarning, stacklevel=2)
            hook = self.on_event
            if hook is not None:
                try:
                    hook(event)
                except Exception:
                    self.callback_errors += 1
                    if self.callback_errors == 1:
                        traceback.print_exc()

    # -- reading -------------------------------------------------------------

    def _empty(self) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
        width = max(1, self.info.values_per_scan)
        return np.zeros((0, width), np.float32), np.zeros(0), np.zeros(0)

    def read_with_arrivals(self, max_scans: Optional[int] = None, timeout: Optional[float] = 0.0
                           ) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Like ``read()``, also returning each scan's arrival time."""
        ring = self._ring
        if ring is None:
            return self._empty()
        if not self._streaming:
            timeout = 0.0  # stopped or closed: what is unread, at once
        return ring.read(max_scans, timeout)

    def read(self, max_scans: Optional[int] = None, timeout: Optional[float] = 0.0
             ) -> Tuple[np.ndarray, np.ndarray]:
        """The scans not read yet and their sample times, waiting up to `timeout` s
        (None: until one comes) for one.

        Returns at once, with what is unread or nothing, when the amplifier is
        stopped or closed, also while it waits (``stop()`` or ``close()`` on
        another thread). Ctrl-C while it waits raises ``KeyboardInterrupt``
        and leaves the buffer as it was: nothing read is lost.
        """
        data, times, _ = self.read_with_arrivals(max_scans, timeout)
        return data, times

    def get_data(self, seconds: float) -> Tuple[np.ndarray, np.ndarray]:
        """The newest `seconds` of scans and their sample times, read or not."""
        ring = self._ring
        if ring is None:
            data, times, _ = self._empty()
            return data, times
        data, times, _ = ring.latest(int(round(seconds * max(self.info.sampling_rate, 1))))
        return data, times

    def record(self, path: str, **options: object) -> "AmplifierRecording":
        """A BDF+ recording of this (streaming) amplifier; see ``tavo_ble.recording``."""
        from .recording import AmplifierRecording

        return AmplifierRecording(self, path, **options)  # type: ignore[arg-type]

    def _claim_reads(self, token: object, what: str) -> None:
        """Makes `token` (a publication, a recording) the one taker of the scans by ``read()``.

        Each takes what it reads: two on one object would split the scans
        between them, each missing the other's share without a trace.
        """
        with self._control:
            if self._reader is not None:
                raise ArgumentError(
                    "%s: its scans are taken by %s; for %s too, open it once more with Amplifier.open() "
                    "(the two share its link, each gets every scan)" % (self.serial, self._reader[1], what), -1)
            self._reader = (token, what)

    def _release_reads(self, token: object) -> None:
        with self._control:
            if self._reader is not None and self._reader[0] is token:
                self._reader = None

    def events(self) -> List[StreamEvent]:
        """The stream events since the last call, oldest first."""
        taken = []
        while True:
            try:
                taken.append(self._events.popleft())
            except IndexError:
                return taken


# How long a failed open looks for what is in range, to say it.
_NOT_FOUND_SCAN = 2.0


def _not_found(serial: str, text: str) -> str:
    # The library's text, the serial, and the amplifiers that are in range.
    try:
        seen = scan(_NOT_FOUND_SCAN)
    except Exception:  # the scan failing too adds nothing
        seen = []
    names = ", ".join(seen) if seen else "none"
    return "%s (%s; amplifiers in range: %s)" % (text, serial, names)


def scan(seconds: float = 3.0) -> List[str]:
    """The serial numbers of the amplifiers in range after searching `seconds`.

    Names that are not UTF-8 come back with U+FFFD replacement characters.
    """
    from . import discovery

    return discovery.discover(seconds)
