"""The ``lsl`` command: amplifiers published on the Lab Streaming Layer until Ctrl-C.

One LSL stream per amplifier (see ``tavo_ble.lsl``), with every sample's own
time stamp, and its events on a "Markers" stream. The streams stay up while an
amplifier reconnects after a dropped link and go away when the command ends.
Needs pylsl and liblsl; without them the command says how to get them and ends
with the usage status (2) before any amplifier is searched for.
"""
import sys
import time
from typing import List, Optional, Sequence

from .common import (
    EXIT_FAILURE, EXIT_USAGE, POLL, add_timeout, open_amplifier, positive, printable, serial_number, signals_held)


def stream_names(serials: Sequence[str], name: Optional[str]) -> List[str]:
    """Each amplifier's stream name: its serial number, or `name` ("NAME SERIAL" with several)."""
    if not name:
        return list(serials)
    if len(serials) == 1:
        return [name]
    return ["%s %s" % (name, serial) for serial in serials]


def lsl_unavailable() -> Optional[str]:
    """Why pylsl or liblsl cannot be loaded, or None."""
    from ..lsl import LslUnavailable, load_pylsl

    try:
        load_pylsl()
    except LslUnavailable as error:
        return str(error)
    return None


def publish_all(serials: Sequence[str], names: Sequence[str], seconds: Optional[float], timeout: float,
                markers: bool, out=None) -> int:
    """Opens and publishes the amplifiers until `seconds` have passed or Ctrl-C; closes them.

    Returns the exit status: 1 when a publication failed on the way."""
    from .. import lsl

    out = sys.stdout if out is None else out
    amplifiers, publications = [], []
    try:
        for serial in serials:
            amplifiers.append(open_amplifier(serial, timeout, out))
        for amp, name in zip(amplifiers, names):
            try:
                publication = lsl.publish(amp, name=name, markers=markers)
            except RuntimeError as error:  # liblsl's, through pylsl
                print("error: cannot publish %s: %s" % (printable(amp.serial), error), file=sys.stderr)
                return EXIT_FAILURE
            publications.append(publication)
            d = publication.outlet.description
            print('Publishing %s as LSL stream "%s": type EEG, %d channels at %g Hz, source_id %s%s.' % (
                printable(amp.serial), d.name, len(d.channels), d.sampling_rate, d.source_id,
                ', events on "%s"' % d.marker_name if markers else ""), file=out, flush=True)
        until = "for %g s" % seconds if seconds is not None else "until Ctrl-C"
        print("Publishing %s ..." % until, file=out, flush=True)
        began = time.monotonic()
        try:
            while (seconds is None or time.monotonic() - began < seconds) and not any(
                    p.error for p in publications):
                time.sleep(POLL)
        except KeyboardInterrupt:
            pass
    finally:
        with signals_held():
            for publication in publications:
                publication.close()
            for amp in amplifiers:
                amp.close()
    status = 0
    for amp, publication in zip(amplifiers, publications):
        print("Published %d samples of %s (%d lost on the radio, filled in)." % (
            publication.outlet.pushed, printable(amp.serial), publication.lost), file=out, flush=True)
        if publication.error is not None:
            print("error: publishing %s failed: %s" % (printable(amp.serial), publication.error), file=sys.stderr)
            status = EXIT_FAILURE
    return status


def add_command(commands) -> None:
    """The ``lsl`` subcommand."""

    def run(args):
        problem = lsl_unavailable()
        if problem:
            print("error: %s" % problem, file=sys.stderr)
            return EXIT_USAGE
        return publish_all(args.serial, stream_names(args.serial, args.name), args.seconds, args.timeout,
                           not args.no_markers)

    cmd = commands.add_parser("lsl", help="publish amplifiers as Lab Streaming Layer streams")
    cmd.add_argument("serial", metavar="SERIAL", nargs="+", type=serial_number,
                     help="serial number(s), e.g. UX-0001.00.01")
    cmd.add_argument("--seconds", type=positive, default=None, help="how long to publish (default: until Ctrl-C)")
    cmd.add_argument("--name", help="the stream's name (default: the serial number; with several: NAME SERIAL)")
    cmd.add_argument("--no-markers", action="store_true",
                     help='publish no "Markers" stream of link losses and lost samples')
    add_timeout(cmd, " each")
    cmd.set_defaults(run=run)
