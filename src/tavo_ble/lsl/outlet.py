"""An amplifier's stream on the Lab Streaming Layer, fed with chunks of scans."""
import threading
from typing import Any, Optional

import numpy as np

from .binding import clock_offset, load_pylsl
from .description import StreamDescription, marker_info, stream_info


class LslOutlet:
    """An amplifier's LSL stream and, with ``markers``, its event stream.

    ``push(data, times)`` publishes a chunk of scans (n, values per scan) with
    each scan's own sample time on ``time.monotonic()``'s clock, as
    ``Amplifier.read()`` returns them: every sample gets its own LSL time stamp,
    carried over to ``lsl_local_clock()`` (the same clock on Linux). Fillers
    (data valid 0) are pushed as they are, at their sample times: LSL has no
    gap marker, and XDF readers fit one line per segment, so leaving out short
    gaps would shift the times of everything after them.

    ``mark(text, time)`` puts an event on the irregular string stream of type
    "Markers" (``markers=False``: there is none, and marks are ignored).

    ``close()`` takes both streams off the network at once, so that no inlet
    waits on a stream whose amplifier is gone; it is idempotent, and the
    finaliser calls it too. Calls may come from any thread.
    """

    def __init__(self, description: StreamDescription, markers: bool = True, max_buffered: int = 360) -> None:
        pylsl = load_pylsl()
        self.description = description
        self._local_clock = pylsl.local_clock
        self._offset = clock_offset(pylsl.local_clock)
        self._width = len(description.channels)
        self._lock = threading.Lock()
        self._outlet: Any = pylsl.StreamOutlet(stream_info(pylsl, description), 0, int(max_buffered))
        self._markers: Any = None
        if markers:
            self._markers = pylsl.StreamOutlet(marker_info(pylsl, description), 0, int(max_buffered))
        self.pushed = 0
        self.marks = 0

    @property
    def closed(self) -> bool:
        """True once ``close()`` ran."""
        return self._outlet is None

    @property
    def has_markers(self) -> bool:
        """True when the event stream is published."""
        return self._markers is not None

    def lsl_time(self, monotonic: float) -> float:
        """A ``time.monotonic()`` reading on LSL's clock."""
        return monotonic + self._offset

    def push(self, data: np.ndarray, times: np.ndarray) -> None:
        """Publishes scans (n, values per scan) with their sample times (n,)."""
        chunk = np.require(data, dtype=np.float32, requirements=["C", "W"])
        stamps = np.asarray(times, dtype=np.float64) + self._offset
        if chunk.ndim != 2 or chunk.shape[1] != self._width:
            raise ValueError("scans must be (n, %d), not %s" % (self._width, chunk.shape))
        if stamps.shape != (len(chunk),):
            raise ValueError("one time per scan: %d scans, %s times" % (len(chunk), stamps.shape))
        if len(chunk) == 0:
            return
        with self._lock:
            if self._outlet is None:
                raise ValueError("the LSL outlet is closed")
            self._outlet.push_chunk(chunk, stamps.tolist())
            self.pushed += len(chunk)

    def mark(self, text: str, time: Optional[float] = None) -> None:
        """An event on the "Markers" stream, at `time` (``time.monotonic()``; default now)."""
        stamp = self._local_clock() if time is None else time + self._offset
        with self._lock:
            if self._outlet is None:
                raise ValueError("the LSL outlet is closed")
            if self._markers is not None:
                self._markers.push_sample([text], stamp)
                self.marks += 1

    def wait_for_consumers(self, timeout: float, markers: bool = False) -> bool:
        """Waits up to `timeout` s for an inlet on the data (or event) stream; True once one listens.

        An inlet receives what is pushed after it has been taken on, not before.
        """
        with self._lock:
            outlet = self._markers if markers else self._outlet
        return outlet is not None and bool(outlet.wait_for_consumers(timeout))

    def close(self) -> None:
        """Takes the streams off the network (idempotent)."""
        with self._lock:
            # Dropping the only references destroys the outlets now.
            self._outlet = None
            self._markers = None

    def __enter__(self) -> "LslOutlet":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass
