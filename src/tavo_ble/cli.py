"""Command-line tool: ``scan``, ``info SERIAL`` and ``stream SERIAL``.

Every failure of the library is printed with the library's own text and ends
the program with status 1; Ctrl-C ends a scan or a stream cleanly, with the
scan stopped and the amplifier closed.
"""
import argparse
import contextlib
import gc
import queue
import signal
import sys
import time

from . import channels

EXIT_FAILURE = 1
EXIT_INTERRUPTED = 130


def _binding():
    # Imported on demand so that --help works without the native library.
    from .lib import tavo_ble_wrapper

    return tavo_ble_wrapper.TavoBLEWrapper


def _describe_batch(names):
    if not names:
        return "no amplifier in range"
    count = "1 amplifier" if len(names) == 1 else "%d amplifiers" % len(names)
    return "%s in range: %s" % (count, ", ".join(printable(n) for n in names))


def _scan(wrapper, seconds, want=None, out=None):
    """Scans for `seconds` and prints each change of the list of amplifiers.

    The library calls back on its own thread; the batches are printed here,
    in order, on the main thread. With `want`, returns as soon as that serial
    number is in range. Returns the last list seen.
    """
    out = sys.stdout if out is None else out
    batches = queue.Queue()
    wrapper.set_device_discovered_callback(batches.put)
    start = time.monotonic()
    last = []
    wrapper.start_scanning()
    try:
        while True:
            remaining = seconds - (time.monotonic() - start)
            if remaining <= 0:
                break
            try:
                last = batches.get(timeout=min(remaining, 0.2))
            except queue.Empty:
                continue
            if want is None:
                print("[%6.1f s] %s" % (time.monotonic() - start, _describe_batch(last)), file=out, flush=True)
            elif want in last:
                print("Found %s after %.1f s." % (want, time.monotonic() - start), file=out, flush=True)
                break
    finally:
        wrapper.stop_scanning()
        wrapper.set_device_discovered_callback(None)
    return last


def _close(device_holder):
    # The wrapper closes its amplifier in its finaliser; it sits in a reference
    # cycle with its C callback, so the cycle collector has to run.
    device_holder.clear()
    gc.collect()


def _open(wrapper, serial, out):
    print("Opening %s ..." % serial, file=out, flush=True)
    device = wrapper(serial)
    print("Opened %s (handle %d)." % (device.serial_number, device.handle), file=out, flush=True)
    return device


def printable(text):
    """`text` with control characters escaped: an amplifier's texts come over the radio."""
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii") for c in text)


def describe(device):
    """The device information record as readable lines."""
    types = device.channel_types
    lines = [
        "Serial number:      %s" % printable(device.serial_number),
        "Model number:       %s" % printable(device.model_number),
        "Manufacturer:       %s" % printable(device.manufacturer_name),
        "Firmware version:   %s" % printable(device.firmware_version),
        "Hardware version:   %s" % printable(device.hardware_version),
        "Sampling rate:      %d Hz" % device.sampling_rate,
        "Values per scan:    %d (%d channels, battery level, data valid)"
        % (device.no_of_acquired_channels, max(device.no_of_acquired_channels - 2, 0)),
        "Channel types:      %s" % " ".join(str(t) for t in types),
    ]
    for index, code in enumerate(types):
        lines.append("  value %2d  type %3d  %s" % (index + 1, code, channels.describe(code, index)))
    return lines


def cmd_scan(args):
    wrapper = _binding()
    print("Scanning for amplifiers for %g s (Ctrl-C stops) ..." % args.seconds, flush=True)
    last = []
    try:
        last = _scan(wrapper, args.seconds)
    except KeyboardInterrupt:
        print("Stopped.")
    print("At the end: %s." % _describe_batch(last))
    return 0


def cmd_info(args):
    wrapper = _binding()
    holder = [_open(wrapper, args.serial, sys.stderr)]
    try:
        for line in describe(holder[0]):
            print(line)
    finally:
        _close(holder)
    return 0


def cmd_stream(args):
    from .streaming import stream

    wrapper = _binding()
    print("Looking for %s (up to %g s) ..." % (args.serial, args.find_seconds), flush=True)
    try:
        last = _scan(wrapper, args.find_seconds, want=args.serial)
    except KeyboardInterrupt:
        print("Stopped.")
        return 0
    if args.serial not in last:
        print("%s was not seen in the scan; asking the library to search for it." % args.serial, flush=True)
    holder = [_open(wrapper, args.serial, sys.stdout)]
    try:
        for line in describe(holder[0]):
            print("  " + line)
        stream(holder[0], seconds=args.seconds, csv_path=args.csv, plot_path=args.plot,
               plot_seconds=args.plot_seconds)
    finally:
        serial = holder[0].serial_number
        _close(holder)
        print("Closed %s." % serial)
    return 0


def build_parser():
    parser = argparse.ArgumentParser(
        prog="python3 -m tavo_ble",
        description="Find amplifiers over Bluetooth Low Energy, describe one, stream its samples.",
    )
    parser.add_argument("--version", action="version", version="%(prog)s " + _version())
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    scan = commands.add_parser("scan", help="list the amplifiers in range as the list changes")
    scan.add_argument("--seconds", type=float, default=10.0, help="how long to scan (default 10)")
    scan.set_defaults(run=cmd_scan)

    info = commands.add_parser("info", help="print an amplifier's device information")
    info.add_argument("serial", metavar="SERIAL", help="serial number, e.g. UX-0001.00.01")
    info.set_defaults(run=cmd_info)

    stream = commands.add_parser("stream", help="stream an amplifier's samples")
    stream.add_argument("serial", metavar="SERIAL", help="serial number, e.g. UX-0001.00.01")
    stream.add_argument("--seconds", type=float, default=None,
                        help="how long to stream (default: until Ctrl-C)")
    stream.add_argument("--csv", metavar="FILE", help="write every scan as one CSV row")
    stream.add_argument("--plot", metavar="FILE.png", help="plot the last seconds of every channel")
    stream.add_argument("--plot-seconds", type=float, default=10.0,
                        help="how many of the last seconds to plot (default 10)")
    stream.add_argument("--find-seconds", type=float, default=10.0,
                        help="how long to scan for the amplifier before opening it (default 10)")
    stream.set_defaults(run=cmd_stream)
    return parser


def _check_paths(args):
    """Why an output path cannot be written, or None."""
    import os

    plot = getattr(args, "plot", None)
    if plot and not plot.lower().endswith(".png"):
        return "--plot must name a .png file: %s" % plot
    for option, path in (("--csv", getattr(args, "csv", None)), ("--plot", plot)):
        if not path:
            continue
        if os.path.isdir(path):
            return "%s names a folder: %s" % (option, path)
        folder = os.path.dirname(os.path.abspath(path))
        if not os.path.isdir(folder) or not os.access(folder, os.W_OK):
            return "%s cannot be written, no writable folder %s" % (option, folder)
    return None


def _version():
    try:
        from importlib.metadata import version

        return version("tavo_ble")
    except Exception:
        return "(not installed)"


def _interrupt(signum, frame):
    raise KeyboardInterrupt


@contextlib.contextmanager
def terminate_as_interrupt():
    """While it lasts, SIGTERM and SIGHUP end a command as Ctrl-C does: rows flushed, amplifier closed."""
    numbers = [getattr(signal, n) for n in ("SIGTERM", "SIGHUP") if hasattr(signal, n)]
    previous = [signal.signal(n, _interrupt) for n in numbers]
    try:
        yield
    finally:
        for number, handler in zip(numbers, previous):
            signal.signal(number, handler)


def main(argv=None):
    args = build_parser().parse_args(argv)
    for name in ("seconds", "plot_seconds", "find_seconds"):
        value = getattr(args, name, None)
        if value is not None and value <= 0:
            print("error: --%s must be positive" % name.replace("_", "-"), file=sys.stderr)
            return 2
    problem = _check_paths(args)
    if problem:
        # Before any amplifier is opened: a typo must not cost a connection.
        print("error: %s" % problem, file=sys.stderr)
        return 2
    try:
        with terminate_as_interrupt():
            return args.run(args)
    except ValueError as error:
        # The library's own text, as the binding raised it.
        print("error: %s" % error, file=sys.stderr)
    except OSError as error:
        print("error: %s" % error, file=sys.stderr)
    except KeyboardInterrupt:
        print("Interrupted.", file=sys.stderr)
        return EXIT_INTERRUPTED
    return EXIT_FAILURE
