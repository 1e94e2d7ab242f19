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

Times. Every scan gets three times:

- its arrival: ``time.monotonic()`` when its notification reached the host
  (the scans of one notification share it; fillers that the library delivers
  just before a notification share that notification's arrival);
- its sample time: from a running robust linear fit of sample number against
  arrival time (``SampleClock``), so it is free of radio jitter; fillers get
  the times of the samples they stand for;
- the stream's start: ``stream_start_wall`` (``time.time()``) and
  ``stream_start_monotonic`` taken together at ``start()``; a sample time
  ``t`` is ``stream_start_wall + (t - stream_start_monotonic)`` in wall time.

Reading. ``read(max_scans=None, timeout=0.0)`` returns ``(data, times)`` of
the scans not read yet, waiting up to ``timeout`` seconds for at least one;
``read_with_arrivals()`` also returns the arrival times; ``get_data(seconds)``
returns the newest window whether read or not. The ring buffer holds
``buffer_seconds`` (default 60); when it is full the oldest scans are dropped,
counted in ``dropped`` and reported by a ``RuntimeWarning`` and an
``"overflow"`` event. ``sample_count`` is the number of scans received since
``start()``; the scan numbered ``n`` (0-based) has sample number ``n``.

Per-scan callback. ``on_scan(amplifier, scan, time)`` runs on the library's
thread for every scan: keep it short. An exception raised in it is reported
once, with its traceback, on stderr and counted in ``callback_errors``.

Events. ``StreamEvent`` records (``kind``, ``serial``, ``time``,
``first_sample``, ``samples``, ``seconds``) are produced for:

- ``"fillers"``: a run of ``samples`` filler scans starting at sample number
  ``first_sample``, whose first sample time is ``time`` and which spans
  ``seconds``; reported when the first measured scan after the run arrives;
- ``"stall"``: no scan arrived for ``stall_timeout`` seconds (default five
  notification intervals, at least 0.5 s); ``time`` is the arrival of the
  last scan, ``first_sample`` the number of the next expected sample;
- ``"resumed"``: data flows again after a stall; ``time`` is the arrival that
  ended it, ``seconds`` the gap in arrival time and ``samples`` the samples
  between the last measured scan before the stall and the first after it;
- ``"overflow"``: ``samples`` scans were dropped from the ring buffer.

``events()`` returns (and forgets) the events so far; ``on_event(event)``, if
set, is called with each event on a helper thread, never on the library's
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
import sys
import threading
import time
import traceback
import warnings
import weakref
from dataclasses import dataclass
from enum import Enum
from typing import TYPE_CHECKING, Callable, Deque, Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np

from . import channels as channel_types
from .ring_buffer import RingBuffer
from .sample_clock import SampleClock

if TYPE_CHECKING:
    from .amplifier_recording import AmplifierRecording

# Scans that arrive closer together than this share of a sample period came in
# one notification: the library hands them over one after the other, and on a
# busy host Python takes a while between them, while notifications (a period
# or more apart) rarely come closer.
_SAME_NOTIFICATION = 0.5
# Kept for events() between calls; older events are forgotten.
_EVENTS_KEPT = 10000


@dataclass(frozen=True)
class Channel:
    """One value of a scan: its position, type code, readable name and unit."""

    index: int
    type_code: int
    name: str
    unit: str


_TYPE_NAMES = {
    1: ("EEG", "uV"),
    channel_types.BATTERY: ("battery", "%"),
    channel_types.COUNTER: ("counter", ""),
    channel_types.DATA_VALID: ("data valid", ""),
}


def _channel(index: int, code: int) -> Channel:
    name, unit = _TYPE_NAMES.get(code, ("type %d" % code, ""))
    return Channel(index, code, name, unit)


@dataclass(frozen=True)
class AmplifierInfo:
    """What an amplifier tells about itself when it is opened.

    ``texts_replaced`` is true when a text held bytes that are not UTF-8:
    those became U+FFFD replacement characters.
    """

    serial_number: str
    model_number: str
    manufacturer_name: str
    firmware_revision: str
    hardware_revision: str
    sampling_rate: int
    channels: Tuple[Channel, ...]
    texts_replaced: bool = False

    @property
    def values_per_scan(self) -> int:
        """Values in each scan: the channels, battery level and data-valid flag."""
        return len(self.channels)


@dataclass(frozen=True)
class StreamEvent:
    """Something that happened to a stream; see the module's description."""

    kind: str
    serial: str
    time: float
    first_sample: int = 0
    samples: int = 0
    seconds: float = 0.0


def _decode(raw: bytes) -> Tuple[str, bool]:
    try:
        return raw.decode("utf-8"), False
    except UnicodeDecodeError:
        return raw.decode("utf-8", "replace"), True


def _info_from(information) -> AmplifierInfo:
    texts = []
    replaced = False
    for field in ("serialNumber", "modelNumber", "manufacturerName", "firmwareRevision", "hardwareRevision"):
        text, bad = _decode(bytes(getattr(information, field)))
        texts.append(text)
        replaced = replaced or bad
    count = min(int(information.numberOfAcquiredChannels), len(information.channelTypes))
    chans = tuple(_channel(i, int(information.channelTypes[i])) for i in range(count))
    return AmplifierInfo(*texts, sampling_rate=int(information.samplingRate), channels=chans,
                         texts_replaced=replaced)


class Amplifier:
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
        self.info: AmplifierInfo = _info_from(device.information)
        self.serial: str = self.info.serial_number
        self.buffer_seconds = float(buffer_seconds)
        self.stall_timeout: Optional[float] = stall_timeout
        self.on_scan = None
        self.on_event = None
        self.dropped = 0
        self.stalls = 0
        self.callback_errors = 0
        self.stream_start_wall = 0.0
        self.stream_start_monotonic = 0.0
        self._closed = False
        self._streaming = False
        self._control = threading.Lock()
        self._ring: Optional[RingBuffer] = None
        self._events: Deque[StreamEvent] = collections.deque(maxlen=_EVENTS_KEPT)
        self._to_dispatch: Deque[StreamEvent] = collections.deque()
        self._wake = threading.Event()
        self._helper: Optional[threading.Thread] = None
        self._valid_index = channel_types.index_of([c.type_code for c in self.info.channels],
                                                   channel_types.DATA_VALID)
        self._reset_stream_state()

    # -- opening and closing -------------------------------------------------

    @classmethod
    def open(cls, serial: str, timeout: float = 10.0, buffer_seconds: float = 60.0,
             stall_timeout: Optional[float] = None) -> "Amplifier":
        """Opens the amplifier with serial number `serial` (raises ``tavo_ble.Error``)."""
        from . import device_table

        if not isinstance(serial, str) or not serial:
            raise device_table.error_for(-1, "a serial number is a non-empty text")
        if timeout <= 0:
            raise device_table.error_for(-1, "the timeout must be positive")
        if buffer_seconds <= 0:
            raise device_table.error_for(-1, "the buffer must hold more than 0 s")
        return cls(device_table.acquire(serial, timeout), buffer_seconds, stall_timeout)

    def close(self) -> None:
        """Stops the stream and gives the amplifier back; calling it again does nothing."""
        with self._control:
            if self._closed:
                return
            self._closed = True
        self.stop()
        from . import device_table

        device_table.release(self._device)

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

    # -- streaming -----------------------------------------------------------

    def _reset_stream_state(self) -> None:
        rate = max(self.info.sampling_rate, 1)
        self._clock = SampleClock(rate)
        self._same_notification = _SAME_NOTIFICATION / rate
        self.sample_count = 0
        self._group_arrival = -1.0
        self._last_raw_arrival = -1.0
        self._group_size = 0
        self._scans_per_notification = 1
        self._last_time = -np.inf
        self._last_measured = -1
        self._last_measured_arrival = 0.0
        self._filler_first = -1
        self._filler_time = 0.0
        self._stalled = False
        self._stall_sample = 0
        self._overflow_warned = False

    def start(self) -> None:
        """Starts the stream into a fresh ring buffer (a running stream goes on)."""
        with self._control:
            if self._closed:
                from .errors import HandleError

                raise HandleError("the amplifier is closed", 1)
            if self._streaming:
                return
            rate = max(self.info.sampling_rate, 1)
            self._ring = RingBuffer(max(1, int(round(self.buffer_seconds * rate))),
                                    max(1, self.info.values_per_scan))
            self._reset_stream_state()
            self.stream_start_wall = time.time()
            self.stream_start_monotonic = time.monotonic()
            self._wake.clear()
            self._streaming = True
            self._helper = threading.Thread(target=_helper_loop, args=(weakref.ref(self), self._wake),
                                            name="tavo_ble %s" % self.serial, daemon=True)
            self._helper.start()
            try:
                self._device.listen(self._on_scan)
            except Exception:
                self._streaming = False
                self._wake.set()
                raise

    def stop(self) -> None:
        """Stops the stream; the scans received stay readable."""
        with self._control:
            if not self._streaming:
                return
            self._streaming = False
        self._device.unlisten(self._on_scan)
        self._wake.set()
        helper = self._helper
        if helper is not None and helper is not threading.current_thread():
            helper.join(2.0)
        self._dispatch()
        if self._ring is not None:
            self._ring.wake()

    def _effective_stall_timeout(self) -> float:
        if self.stall_timeout is not None:
            return float(self.stall_timeout)
        rate = max(self.info.sampling_rate, 1)
        return max(0.5, 5.0 * self._scans_per_notification / rate)

    def _emit(self, event: StreamEvent) -> None:
        self._events.append(event)
        self._to_dispatch.append(event)

    def _on_scan(self, scan: np.ndarray, arrival: float) -> None:
        # The library's notification thread: no waiting here beyond the ring's short lock.
        if not self._streaming:
            return
        filler = self._valid_index is not None and self._valid_index < len(scan) and scan[self._valid_index] == 0.0
        if arrival - self._last_raw_arrival > self._same_notification or self._group_arrival < 0:
            if self._group_arrival >= 0:
                # A notification's arrival stands for its last sample; only the
                # first anchors the clock at its first sample, the time its
                # scans were given before there was a clock.
                anchor = self.sample_count - 1 if self._clock.updates else self.sample_count - self._group_size
                self._clock.update(anchor, self._group_arrival)
                self._scans_per_notification = max(1, self._group_size)
                if self._stalled and not filler and arrival - self._clock.time_of(self.sample_count) > (
                        self._effective_stall_timeout() / 2):
                    # Measured data again after a stall, far later than the sample
                    # numbers say: the amplifier paused (had it sampled on, the
                    # library would hand over fillers for the samples lost first).
                    # Its sample times start anew here.
                    self._clock.restart()
            self._group_arrival = arrival
            self._group_size = 0
        self._last_raw_arrival = arrival
        self._group_size += 1
        arrival = self._group_arrival
        number = self.sample_count
        self.sample_count = number + 1
        fitted = self._clock.time_of(number)
        if fitted != fitted:  # no clock yet: the first notification's scans a period apart from its arrival
            fitted = arrival + (self._group_size - 1) * self._clock.nominal_period
        if not fitted > self._last_time:
            # The line moved back by more than a period (after late notifications):
            # keep the times rising, by a quarter period, until it catches up.
            fitted = self._last_time + self._clock.nominal_period / 4 if np.isfinite(self._last_time) else arrival
        self._last_time = fitted
        if filler:
            if self._filler_first < 0:
                self._filler_first = number
                self._filler_time = fitted
        else:
            if self._filler_first >= 0:
                self._emit(StreamEvent("fillers", self.serial, self._filler_time, self._filler_first,
                                       number - self._filler_first, fitted - self._filler_time))
                self._filler_first = -1
            if self._stalled:
                self._stalled = False
                self._emit(StreamEvent("resumed", self.serial, arrival, self._stall_sample,
                                       number - self._last_measured - 1, arrival - self._last_measured_arrival))
            self._last_measured = number
            self._last_measured_arrival = arrival
        ring = self._ring
        if ring is not None:
            lost = ring.put(scan, fitted, arrival)
            if lost:
                self.dropped += lost
                self._emit(StreamEvent("overflow", self.serial, arrival, number, lost, 0.0))
        callback = self.on_scan
        if callback is not None:
            try:
                callback(self, scan, fitted)
            except Exception:
                self.callback_errors += 1
                if self.callback_errors == 1:
                    sys.stderr.write("tavo_ble: the on_scan callback of %s raised (reported once, then counted):\n"
                                     % self.serial)
                    traceback.print_exc()

    def _check_stall(self, now: float) -> None:
        if self._stalled or not self._streaming:
            return
        last = self._last_raw_arrival if self._last_raw_arrival >= 0 else self.stream_start_monotonic
        if now - last > self._effective_stall_timeout():
            self._stalled = True
            self._stall_sample = self.sample_count
            self.stalls += 1
            if self._last_measured < 0:
                self._last_measured_arrival = last
            self._emit(StreamEvent("stall", self.serial, last, self.sample_count, 0, now - last))

    def _dispatch(self) -> None:
        while True:
            try:
                event = self._to_dispatch.popleft()
            except IndexError:
                return
            if event.kind == "overflow" and not self._overflow_warned:
                self._overflow_warned = True
                warnings.warn("tavo_ble: %s: the ring buffer is full, the oldest scans are dropped "
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
        if timeout is not None and timeout > 0 and not self._streaming:
            timeout = 0.0
        return ring.read(max_scans, timeout)

    def read(self, max_scans: Optional[int] = None, timeout: Optional[float] = 0.0
             ) -> Tuple[np.ndarray, np.ndarray]:
        """The scans not read yet and their sample times, waiting up to `timeout` s for one."""
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
        """A BDF+ recording of this (streaming) amplifier; see ``tavo_ble.amplifier_recording``."""
        from .amplifier_recording import AmplifierRecording

        return AmplifierRecording(self, path, **options)  # type: ignore[arg-type]

    def events(self) -> List[StreamEvent]:
        """The stream events since the last call, oldest first."""
        taken = []
        while True:
            try:
                taken.append(self._events.popleft())
            except IndexError:
                return taken


def _helper_loop(reference: "weakref.ref[Amplifier]", wake: threading.Event) -> None:
    # Watches for stalls and runs the event hook, off the library's thread.
    # Holds the amplifier only weakly, so that a forgotten one is still finalised.
    while not wake.is_set():
        amplifier = reference()
        if amplifier is None:
            return
        amplifier._check_stall(time.monotonic())
        amplifier._dispatch()
        interval = min(0.1, amplifier._effective_stall_timeout() / 5)
        del amplifier
        wake.wait(interval)


def scan(seconds: float = 3.0) -> List[str]:
    """The serial numbers of the amplifiers in range after searching `seconds`.

    Names that are not UTF-8 come back with U+FFFD replacement characters.
    """
    from . import device_table

    return device_table.discover(seconds)


# How often a group's read() looks whether every amplifier has caught up.
_GROUP_POLL = 0.005


class AmplifierGroup:
    """Several open amplifiers read together on one time axis.

    Every amplifier's sample times are on ``time.monotonic()``'s clock, and
    ``read()`` cuts all chunks at one common time: the newest sample time that
    every streaming amplifier has reached. So each ``read()`` hands out, for
    every amplifier, the scans with sample times in the same window
    ``(previous end, end]`` (the first window starts at each amplifier's
    first scan); scans after ``end`` wait for the next ``read()``. An
    amplifier that has stalled (see ``Amplifier``) or stopped does not hold
    the others back: its chunk is what it has. Once no amplifier streams,
    ``read()`` hands out everything left.
    """

    def __init__(self, amplifiers: Sequence[Amplifier]) -> None:
        self.amplifiers: Tuple[Amplifier, ...] = tuple(amplifiers)
        self.window_end: float = -np.inf  # the end of the window of the last read()

    def __enter__(self) -> "AmplifierGroup":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __iter__(self) -> Iterator[Amplifier]:
        return iter(self.amplifiers)

    def __len__(self) -> int:
        return len(self.amplifiers)

    def start(self) -> None:
        """Starts every amplifier's stream."""
        self.window_end = -np.inf
        for amplifier in self.amplifiers:
            amplifier.start()

    def stop(self) -> None:
        """Stops every amplifier's stream."""
        for amplifier in self.amplifiers:
            amplifier.stop()

    def close(self) -> None:
        """Closes every amplifier."""
        for amplifier in self.amplifiers:
            amplifier.close()

    def _common_end(self) -> float:
        # The newest time all streaming, unstalled amplifiers have reached.
        newest = [a._ring.newest_time() for a in self.amplifiers
                  if a._ring is not None and a.is_streaming and not a._stalled]
        return min(newest) if newest else np.inf

    def read(self, timeout: float = 0.0) -> Dict[str, Tuple[np.ndarray, np.ndarray]]:
        """Each amplifier's chunk of the next common window, by serial number.

        Waits up to `timeout` seconds for the window to hold at least one scan
        of every streaming amplifier. Values are ``(data, times)`` as
        ``Amplifier.read()`` returns them.
        """
        deadline = time.monotonic() + timeout
        end = self._common_end()
        while end <= self.window_end and time.monotonic() < deadline:
            time.sleep(_GROUP_POLL)
            end = self._common_end()
        chunks = {}
        for amplifier in self.amplifiers:
            ring = amplifier._ring
            if ring is None:
                data, times, _ = amplifier._empty()
            else:
                data, times, _ = ring.read_until(end)
            chunks[amplifier.serial] = (data, times)
        if np.isfinite(end):
            self.window_end = max(self.window_end, end)
        return chunks


def open_many(serials: Sequence[str], timeout: float = 10.0, **options: object) -> AmplifierGroup:
    """Opens the amplifiers in parallel; on any failure the ones opened are closed again."""
    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(max_workers=max(1, len(serials))) as pool:
        futures = [pool.submit(Amplifier.open, s, timeout, **options) for s in serials]  # type: ignore[arg-type]
    opened = []
    failure: Optional[BaseException] = None
    for future in futures:
        try:
            opened.append(future.result())
        except BaseException as error:
            failure = failure or error
    if failure is not None:
        for amplifier in opened:
            amplifier.close()
        raise failure
    return AmplifierGroup(opened)
