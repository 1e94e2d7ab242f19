"""Command-line tool: ``scan``, ``info SERIAL``, ``stream SERIAL``, ``record`` and ``lsl``.

Built on ``tavo_ble.Amplifier``. Every argument is checked before an
amplifier is searched for, so that a typo never costs a connection. Every
failure of the library is printed with the library's own text and ends the
program with status 1. Ctrl-C (and SIGTERM, SIGHUP) ends a scan, a search or
a stream at once and cleanly: the scan stopped, rows written, the amplifier
closed.

Each command lives in a module of its own with an ``add_command(commands)``
(or ``add_commands``) that adds its subparser and sets ``run``.
"""
import argparse
import os
import sys
from typing import Optional, Sequence

from . import devices, lsl, record, stream
from .common import EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_USAGE, terminate_as_interrupt

__all__ = ["main", "build_parser", "EXIT_FAILURE", "EXIT_INTERRUPTED", "EXIT_USAGE"]


class _Parser(argparse.ArgumentParser):
    # Usage errors end with the status the rest of the tool uses for them.
    def error(self, message: str):
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, "error: %s\n" % message)


def build_parser() -> argparse.ArgumentParser:
    """The tool's argument parser."""
    parser = _Parser(
        prog=_program_name(),
        description="Find amplifiers over Bluetooth Low Energy, describe one, stream, record or publish its samples.",
    )
    parser.add_argument("--version", action="version", version="%(prog)s " + _version())
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True
    devices.add_commands(commands)
    stream.add_command(commands)
    record.add_command(commands)
    lsl.add_command(commands)
    return parser


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


def _check_arguments(args) -> Optional[str]:
    """Why the arguments cannot work (an output path, a serial given twice), or None."""
    from ..errors import OutputPathError
    from ..outputs import check_output, recording_paths

    serials = getattr(args, "serial", None)
    if isinstance(serials, list):
        twice = sorted({s for s in serials if serials.count(s) > 1})
        if twice:
            return "%s given more than once" % ", ".join(twice)
    overwrite = getattr(args, "overwrite", False)
    problem = _writable("--plot", getattr(args, "plot", None), ".png")
    if problem:
        return problem
    for option, path, extension in (("--csv", getattr(args, "csv", None), None),
                                    ("--out", getattr(args, "out", None), ".bdf")):
        problem = _writable(option, path, extension)
        if problem:
            return problem
        if path:
            files = recording_paths(path, serials) if option == "--out" else [path]
            try:
                for name in files:
                    check_output(name, overwrite, extension, sidecar=option == "--out")
            except OutputPathError as error:
                return "%s: %s (--overwrite replaces it)" % (option, error)
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
    from .. import __version__

    return __version__


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the tool with `argv` (default: the program's arguments); returns the exit status."""
    args = build_parser().parse_args(argv)
    problem = _check_arguments(args)
    if problem:
        # Before any amplifier is opened: a typo must not cost a connection,
        # nor an existing recording.
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
