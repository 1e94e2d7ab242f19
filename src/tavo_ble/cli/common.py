"""What the commands share: opening and searching with Ctrl-C in mind,
readable texts from the radio, argument checks and the exit statuses."""
import argparse
import contextlib
import math
import queue
import signal
import sys
import time
from typing import Iterator, List, Optional, Sequence

from .. import channels

EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

# Waiting steps on the main thread: short, so that Ctrl-C is taken at once.
POLL = 0.1


def printable(text: str) -> str:
    """`text` with control characters escaped: an amplifier's texts come over the radio."""
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii") for c in text)


def describe_batch(names: Sequence[str]) -> str:
    """A list of amplifiers in range as one readable line."""
    if not names:
        return "no amplifier in range"
    count = "1 amplifier" if len(names) == 1 else "%d amplifiers" % len(names)
    return "%s in range: %s" % (count, ", ".join(printable(n) for n in names))


def describe(info) -> List[str]:
    """An ``AmplifierInfo`` as readable lines."""
    types = [c.type_code for c in info.channels]
    lines = [
        "Serial number:      %s" % printable(info.serial_number),
        "Model number:       %s" % printable(info.model_number),
        "Manufacturer:       %s" % printable(info.manufacturer_name),
        "Firmware version:   %s" % printable(info.firmware_revision),
        "Hardware version:   %s" % printable(info.hardware_revision),
        "Sampling rate:      %d Hz" % info.sampling_rate,
        "Values per scan:    %d (%d channels, battery level, data valid)" % (len(types), max(len(types) - 2, 0)),
        "Channel types:      %s" % " ".join(str(t) for t in types),
    ]
    for index, code in enumerate(types):
        lines.append("  value %2d  type %3d  %s" % (index + 1, code, channels.describe(code, index)))
    if getattr(info, "texts_replaced", False):
        lines.append("(bytes that are not UTF-8 in these texts are shown as U+FFFD)")
    return lines


def search(seconds: float, want: Optional[str] = None, out=None) -> List[str]:
    """Scans for `seconds` and prints each change of the list of amplifiers.

    The library reports on its own thread; the lists are printed here, in
    order, on the main thread. With `want`, returns as soon as that serial
    number is in range. Returns the last list seen.
    """
    # Imported on demand so that --help and argument errors need no native library.
    from .. import discovery

    out = sys.stdout if out is None else out
    start = time.monotonic()
    last: List[str] = []
    with discovery.searching() as batches:
        while True:
            remaining = seconds - (time.monotonic() - start)
            if remaining <= 0:
                break
            try:
                last = batches.get(timeout=min(remaining, POLL))
            except queue.Empty:
                continue
            if want is None:
                print("[%6.1f s] %s" % (time.monotonic() - start, describe_batch(last)), file=out, flush=True)
            elif want in last:
                print("Found %s after %.1f s." % (want, time.monotonic() - start), file=out, flush=True)
                break
    return last


def open_amplifier(serial: str, timeout: float, out):
    """The open ``Amplifier``; the search waits on another thread, so Ctrl-C ends it at once."""
    from ..amplifier import Amplifier

    print("Opening %s ..." % printable(serial), file=out, flush=True)
    amp = Amplifier.open(serial, timeout=timeout)
    print("Opened %s." % printable(amp.serial), file=out, flush=True)
    return amp


def positive(text: str) -> float:
    """A number of seconds (or microvolts): finite and above zero."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number: %r" % text)
    if not math.isfinite(value) or value <= 0:
        raise argparse.ArgumentTypeError("must be positive: %r" % text)
    return value


def serial_number(text: str) -> str:
    """A serial number as typed: printable, not blank."""
    if not text.strip() or not text.isprintable():
        raise argparse.ArgumentTypeError("not a serial number: %r" % text)
    return text


def add_timeout(command, what: str = "") -> None:
    """The --timeout option of a command that opens amplifiers."""
    command.add_argument("--timeout", type=positive, default=30.0,
                         help="how long the library may search, connect and configure%s (default 30)" % what)


def _interrupt(signum, frame):
    raise KeyboardInterrupt


@contextlib.contextmanager
def terminate_as_interrupt() -> Iterator[None]:
    """While it lasts, SIGTERM and SIGHUP end a command as Ctrl-C does: rows flushed, amplifier closed."""
    numbers = [getattr(signal, n) for n in ("SIGTERM", "SIGHUP") if hasattr(signal, n)]
    previous = [signal.signal(n, _interrupt) for n in numbers]
    try:
        yield
    finally:
        for number, handler in zip(numbers, previous):
            signal.signal(number, handler)


@contextlib.contextmanager
def signals_held() -> Iterator[None]:
    """While it lasts, Ctrl-C, SIGTERM and SIGHUP are ignored: a stop must not be cut short."""
    numbers = [getattr(signal, n) for n in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, n)]
    previous = [signal.signal(n, signal.SIG_IGN) for n in numbers]
    try:
        yield
    finally:
        for number, handler in zip(numbers, previous):
            signal.signal(number, handler)
