"""Several amplifiers read together on one time axis: ``AmplifierGroup`` and ``open_many``."""
from __future__ import annotations

import time
from typing import Dict, Iterator, Optional, Sequence, Tuple

import numpy as np

from .amplifier import Amplifier
from .reading import reader


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
                  if a._ring is not None and a.is_streaming and not a.stalled]
        return min(newest) if newest else np.inf

    def read(self, timeout: float = 0.0) -> Dict[str, Tuple[np.ndarray, np.ndarray]]:
        """Each amplifier's chunk of the next common window, by serial number.

        Waits up to `timeout` seconds for the window to hold at least one scan
        of every streaming amplifier. Values are ``(data, times)`` as
        ``Amplifier.read()`` returns them.
        """
        deadline = time.monotonic() + timeout
        turned = reader.turned()
        end = self._common_end()
        while end <= self.window_end:
            # The amplifiers catch up in turns of the reading thread: wait for the next.
            left = deadline - time.monotonic()
            if left <= 0:
                break
            if turned.acquire(timeout=left):
                turned.release()
            turned = reader.turned()
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
