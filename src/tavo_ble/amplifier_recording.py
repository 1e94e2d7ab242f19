"""Recording a streaming ``Amplifier`` into a BDF+ file.

The amplifier's de-jittered sample times (monotonic clock) become wall-clock
times through the stream's start; its stall and resume events become "link
lost" and "link restored" annotations. Runs of fillers are annotated by the
recorder itself from the data-valid column.
"""
from typing import Optional

from .recording import DEFAULT_RANGE_UV, Recorder, RecordingInfo


class AmplifierRecording:
    """Writes what ``amplifier.read()`` returns into `path`; call ``poll()`` regularly.

    The amplifier must be streaming (``start()``); this object reads its ring
    buffer, so do not also ``read()`` it elsewhere. ``mark(text)`` may be called
    from any thread; ``close()`` finishes the file and its JSON sidecar.
    """

    def __init__(self, amplifier, path: str, range_uv: float = DEFAULT_RANGE_UV) -> None:
        info = amplifier.info
        self.amplifier = amplifier
        self.recorder = Recorder(path, RecordingInfo(
            info.serial_number, info.model_number, info.firmware_revision, int(info.sampling_rate),
            [c.type_code for c in info.channels]), range_uv=range_uv)

    def _wall(self, monotonic: float) -> float:
        amp = self.amplifier
        return amp.stream_start_wall + (monotonic - amp.stream_start_monotonic)

    def poll(self, timeout: float = 0.1) -> int:
        """Writes the scans that have arrived (waiting up to `timeout` s); returns their number."""
        data, times = self.amplifier.read(timeout=timeout)
        if len(data):
            self.recorder.write(data, self._wall(times))
        for event in self.amplifier.events():
            if event.kind == "stall":
                self.recorder.link_lost(at=self._wall(event.time))
            elif event.kind == "resumed":
                self.recorder.link_restored(event.seconds, event.samples, at=self._wall(event.time))
        return len(data)

    def mark(self, text: str, at: Optional[float] = None) -> None:
        """A user marker now, or at wall-clock time `at`."""
        self.recorder.mark(text, at)

    def close(self) -> dict:
        """Writes what is left and finishes the file; returns the sidecar's contents."""
        if not self.recorder.closed:
            self.poll(timeout=0.0)
        return self.recorder.close()

    def __enter__(self) -> "AmplifierRecording":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
