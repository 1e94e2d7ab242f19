"""Command-line tool: ``scan``, ``info SERIAL``, ``stream SERIAL`` and ``record``.

Built on ``tavo_ble.Amplifier``. Every argument is checked before an
amplifier is searched for, so that a typo never costs a connection. Every
failure of the library is printed with the library's own text and ends the
program with status 1. Ctrl-C (and SIGTERM, SIGHUP) ends a scan, a search or
a stream at once and cleanly: the scan stopped, rows written, the amplifier
closed.
"""
import argparse
import contextlib
import math
import os
import queue
import signal
import sys
import time
from typing import Iterator, List, Optional, Sequence

from . import channels

EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

# Waiting steps on the main thread: short, so that Ctrl-C is taken at once.
_POLL = 0.1


def _describe_batch(names: Sequence[str]) -> str:
    if not names:
        return "no amplifier in range"
    count = "1 amplifier" if len(names) == 1 else "%d amplifiers" % len(names)
    return "%s in range: %s" % (count, ", ".join(printable(n) for n in names))


def _search(seconds: float, want: Optional[str] = None, out=None) -> List[str]:
    """Scans for `seconds` and prints each change of the list of amplifiers.

    The library reports on its own thread; the lists are printed here, in
    order, on the main thread. With `want`, returns as soon as that serial
    number is in range. Returns the last list seen.
    """
    # Imported on demand so that --help and argument errors need no native library.
    from . import device_table

    out = sys.stdout if out is None else out
    start = time.monotonic()
    last: List[str] = []
    with device_table.searching() as batches:
        while True:
            remaining = seconds - (time.monotonic() - start)
            if remaining <= 0:
                break
            try:
                last = batches.get(timeout=min(remaining, _POLL))
            except queue.Empty:
                continue
            if want is None:
                print("[%6.1f s] %s" % (time.monotonic() - start, _describe_batch(last)), file=out, flush=True)
            elif want in last:
                print("Found %s after %.1f s." % (want, time.monotonic() - start), file=out, flush=True)
                break
    return last


def _open(serial: str, timeout: float, out):
    """The open ``Amplifier``; the search waits on another thread, so Ctrl-C ends it at once."""
    from .amplifier import Amplifier

    print("Opening %s ..." % printable(serial), file=out, flush=True)
    amp = Amplifier.open(serial, timeout=timeout)
    print("Opened %s." % printable(amp.serial), file=out, flush=True)
    return amp


def printable(text: str) -> str:
    """`text` with control characters escaped: an amplifier's texts come over the radio."""
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii") for c in text)


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


def cmd_scan(args) -> int:
    print("Scanning for amplifiers for %g s (Ctrl-C stops) ..." % args.seconds, flush=True)
    last: List[str] = []
    try:
        last = _search(args.seconds)
    except KeyboardInterrupt:
        print("Stopped.")
    print("At the end: %s." % _describe_batch(last))
    return 0


def cmd_info(args) -> int:
    with _open(args.serial, args.timeout, sys.stderr) as amp:
        for line in describe(amp.info):
            print(line)
    return 0


def cmd_stream(args) -> int:
    from .streaming import stream

    print("Looking for %s (up to %g s) ..." % (printable(args.serial), args.find_seconds), flush=True)
    try:
        last = _search(args.find_seconds, want=args.serial)
    except KeyboardInterrupt:
        print("Stopped.")
        return 0
    if args.serial not in last:
        print("%s was not seen in the scan; asking the library to search for it." % printable(args.serial),
              flush=True)
    amp = _open(args.serial, args.timeout, sys.stdout)
    try:
        for line in describe(amp.info):
            print("  " + line)
        stream(amp, seconds=args.seconds, csv_path=args.csv, plot_path=args.plot, plot_seconds=args.plot_seconds)
    finally:
        amp.close()
        print("Closed %s." % printable(amp.serial))
    return 0


def _positive(text: str) -> float:
    # A number of seconds (or microvolts): finite and above zero.
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number: %r" % text)
    if not math.isfinite(value) or value <= 0:
        raise argparse.ArgumentTypeError("must be positive: %r" % text)
    return value


def _serial(text: str) -> str:
    if not text.strip() or not text.isprintable():
        raise argparse.ArgumentTypeError("not a serial number: %r" % text)
    return text


class _Parser(argparse.ArgumentParser):
    # Usage errors end with the status the rest of the tool uses for them.
    def error(self, message: str):
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, "error: %s\n" % message)


def build_parser() -> argparse.ArgumentParser:
    """The tool's argument parser."""
    parser = _Parser(
        prog=_program_name(),
        description="Find amplifiers over Bluetooth Low Energy, describe one, stream or record its samples.",
    )
    parser.add_argument("--version", action="version", version="%(prog)s " + _version())
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True

    scan = commands.add_parser("scan", help="list the amplifiers in range as the list changes")
    scan.add_argument("--seconds", type=_positive, default=10.0, help="how long to scan (default 10)")
    scan.set_defaults(run=cmd_scan)

    info = commands.add_parser("info", help="print an amplifier's device information")
    info.add_argument("serial", metavar="SERIAL", type=_serial, help="serial number, e.g. UX-0001.00.01")
    _add_timeout(info)
    info.set_defaults(run=cmd_info)

    stream = commands.add_parser("stream", help="stream an amplifier's samples")
    stream.add_argument("serial", metavar="SERIAL", type=_serial, help="serial number, e.g. UX-0001.00.01")
    stream.add_argument("--seconds", type=_positive, default=None,
                        help="how long to stream (default: until Ctrl-C)")
    stream.add_argument("--csv", metavar="FILE", help="write every scan as one CSV row")
    stream.add_argument("--plot", metavar="FILE.png", help="plot the last seconds of every channel")
    stream.add_argument("--plot-seconds", type=_positive, default=10.0,
                        help="how many of the last seconds to plot (default 10)")
    stream.add_argument("--find-seconds", type=_positive, default=10.0,
                        help="how long to scan for the amplifier before opening it (default 10)")
    _add_timeout(stream)
    stream.set_defaults(run=cmd_stream)

    from .record_command import add_command

    add_command(commands, _open, _positive, _serial)
    return parser


def _add_timeout(command) -> None:
    command.add_argument("--timeout", type=_positive, default=30.0,
                         help="how long the library may search, connect and configure (default 30)")


def _writable(option: str, path: Optional[str], extension: Optional[str] = None) -> Optional[str]:
    """Why the output `path` of `option` cannot be written, or None."""
    if not path:
        return None
    if extension and not path.lower().endswith(extension):
        return "%s must name a %s file: %s" % (option, extension, path)
    if os.path.isdir(path):
        return "%s names a folder: %s" % (option, path)
    if os.path.exists(path) and not os.access(path, os.W_OK):
        return "%s cannot be written: %s" % (option, path)
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder) or not os.access(folder, os.W_OK):
        return "%s cannot be written, no writable folder %s" % (option, folder)
    return None


def _check_paths(args) -> Optional[str]:
    """Why an output path cannot be written, or None."""
    checks = [("--csv", getattr(args, "csv", None), None), ("--plot", getattr(args, "plot", None), ".png"),
              ("--out", getattr(args, "out", None), ".bdf")]
    for option, path, extension in checks:
        problem = _writable(option, path, extension)
        if problem:
            return problem
    if getattr(args, "plot", None):
        import importlib.util

        if importlib.util.find_spec("matplotlib") is None:
            # Found out now rather than after the stream.
            return "--plot needs matplotlib (Debian: python3-matplotlib)"
    return None


def _program_name() -> str:
    # The installed command names itself; otherwise the tool runs as the module.
    started = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    return "tavo-ble" if started == "tavo-ble" else "python3 -m tavo_ble"


def _version() -> str:
    # The package's own version, which its metadata repeats.
    from . import __version__

    return __version__


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


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the tool with `argv` (default: the program's arguments); returns the exit status."""
    args = build_parser().parse_args(argv)
    problem = _check_paths(args)
    if problem:
        # Before any amplifier is opened: a typo must not cost a connection.
        print("error: %s" % problem, file=sys.stderr)
        return EXIT_USAGE
    try:
        with terminate_as_interrupt():
            return args.run(args)
    except ValueError as error:
        # The library's own text (tavo_ble.Error is a ValueError).
        print("error: %s" % error, file=sys.stderr)
    except OSError as error:
        print("error: %s" % error, file=sys.stderr)
    except KeyboardInterrupt:
        print("Interrupted.", file=sys.stderr)
        return EXIT_INTERRUPTED
    return EXIT_FAILURE
