"""The ``scan`` and ``info`` commands."""
import sys
from typing import List

from .common import add_timeout, describe, describe_batch, open_amplifier, positive, search, serial_number


def cmd_scan(args) -> int:
    print("Scanning for amplifiers for %g s (Ctrl-C stops) ..." % args.seconds, flush=True)
    last: List[str] = []
    try:
        last = search(args.seconds)
    except KeyboardInterrupt:
        print("Stopped.")
    print("At the end: %s." % describe_batch(last))
    return 0


def cmd_info(args) -> int:
    with open_amplifier(args.serial, args.timeout, sys.stderr) as amp:
        for line in describe(amp.info):
            print(line)
    return 0


def add_commands(commands) -> None:
    """The ``scan`` and ``info`` subcommands."""
    scan = commands.add_parser("scan", help="list the amplifiers in range as the list changes")
    scan.add_argument("--seconds", type=positive, default=10.0, help="how long to scan (default 10)")
    scan.set_defaults(run=cmd_scan)

    info = commands.add_parser("info", help="print an amplifier's device information")
    info.add_argument("serial", metavar="SERIAL", type=serial_number, help="serial number, e.g. UX-0001.00.01")
    add_timeout(info)
    info.set_defaults(run=cmd_info)
