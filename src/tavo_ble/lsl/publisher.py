"""Publishing a streaming ``Amplifier`` on the Lab Streaming Layer, from a thread of its own."""
import sys
import threading
import time
import traceback
from typing import Any, Optional

import numpy as np

from .. import channels
from .description import describe
from .outlet import LslOutlet

# Scans go out in chunks this often: LSL takes a chunk per call, and inlets
# see the samples within this time (plus the radio's own latency).
CHUNK_SECONDS = 0.02


def event_text(event: Any) -> Optional[str]:
    """The "Markers" text for an amplifier's ``StreamEvent``, or None for none."""
    if event.kind == "stall":
        return "link lost"
    if event.kind == "resumed":
        return "link restored: gap %.1f s" % event.seconds
    if event.kind == "gap":
        # The amplifier's clock went on while its sample numbers did not: the
        # time stamps jump, and LSL itself has no way to say so.
        return "gap: %.3f s without samples" % event.seconds
    if event.kind == "fillers":
        return "lost samples: %d" % event.samples
    if event.kind == "overflow":
        return "dropped scans: %d (buffer full)" % event.samples
    return None


class Publication:
    """An amplifier published as an LSL stream; see ``publish()``.

    ``outlet`` is its ``LslOutlet``; ``close()`` (idempotent) ends the
    publishing and takes the streams off the network. It ends by itself when
    the amplifier is closed. ``error`` holds what ended it early, if anything;
    ``lost`` counts the filler scans published (samples lost on the radio).
    """

    def __init__(self, amplifier: Any, outlet: LslOutlet, chunk_seconds: float = CHUNK_SECONDS,
                 claim: object = None) -> None:
        self.amplifier = amplifier
        self._claim = claim  # the amplifier's reads, given back when the publishing ends
        self.outlet = outlet
        self.chunk_seconds = float(chunk_seconds)
        self.error: Optional[BaseException] = None
        self.lost = 0
        self._valid = channels.index_of([c.type_code for c in amplifier.info.channels], channels.DATA_VALID)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="tavo_ble lsl %s" % amplifier.serial, daemon=True)
        self._thread.start()

    @property
    def closed(self) -> bool:
        """True once the streams are off the network."""
        return self.outlet.closed

    def _forward(self) -> None:
        data, times = self.amplifier.read()
        if len(data):
            self.outlet.push(data, times)
            if self._valid is not None:
                self.lost += int(np.count_nonzero(data[:, self._valid] == 0.0))
        for event in self.amplifier.events():
            text = event_text(event)
            if text is not None:
                self.outlet.mark(text, event.time)

    def _run(self) -> None:
        try:
            due = time.monotonic()
            while True:
                # Chunks on a steady beat; after a long hold-up, the beat starts anew.
                due = max(due + self.chunk_seconds, time.monotonic() - self.chunk_seconds)
                if self._stop.wait(max(0.0, due - time.monotonic())):
                    break
                if self.amplifier.closed:
                    break
                self._forward()
            self._forward()  # what arrived before the end
        except Exception as error:
            self.error = error
            sys.stderr.write("tavo_ble: publishing %s on LSL failed:\n" % self.amplifier.serial)
            traceback.print_exc()
        finally:
            self.outlet.close()
            if self._claim is not None:
                self.amplifier._release_reads(self._claim)

    def close(self) -> None:
        """Ends the publishing and takes the streams off the network."""
        self._stop.set()
        if self._thread is not threading.current_thread():
            self._thread.join()
        self.outlet.close()

    def __enter__(self) -> "Publication":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def publish(amplifier: Any, name: Optional[str] = None, markers: bool = True,
            chunk_seconds: float = CHUNK_SECONDS) -> Publication:
    """Publishes an open ``Amplifier`` as an LSL stream until closed.

    Starts the amplifier's stream if it is not running, and then reads its
    scans (``read()``) and events (``events()``) every `chunk_seconds`: do not
    read them elsewhere meanwhile (a recording of the same object, or a second
    publication, is refused with ``tavo_ble.ArgumentError``: record from a
    second ``Amplifier.open()`` of it). The stream is named `name` (default: the
    serial number); with `markers`, the stream's events ("link lost", "link
    restored: gap 1.2 s", "gap: 0.204 s without samples", "lost samples: N")
    go out on a "Markers" stream.
    The outlet stays up while the amplifier reconnects after a dropped link,
    and goes away when the publication or the amplifier is closed.
    """
    if not chunk_seconds > 0:
        raise ValueError("chunks need a positive interval")
    claim = object()
    amplifier._claim_reads(claim, "an LSL publication")
    outlet = None
    try:
        outlet = LslOutlet(describe(amplifier.info, name), markers=markers)
        if not amplifier.is_streaming:
            amplifier.start()
        return Publication(amplifier, outlet, chunk_seconds, claim)
    except BaseException:
        if outlet is not None:
            outlet.close()
        amplifier._release_reads(claim)
        raise
