"""pylsl, the optional dependency of the Lab Streaming Layer bridge, loaded on demand.

Importing pylsl loads liblsl, so ``tavo_ble`` and ``tavo_ble.lsl`` never import
it at their own import: only making an outlet or an inlet does.
"""
import time
from typing import Any, Callable

INSTALL_HINT = (
    "the Lab Streaming Layer needs pylsl and liblsl: pip install 'tavo_ble[lsl]' installs pylsl; "
    "liblsl comes with pylsl's wheels on Windows and macOS, on Linux from the liblsl releases "
    "(https://github.com/sccn/liblsl/releases) or conda-forge, found through PYLSL_LIB or the "
    "library path")


class LslUnavailable(ImportError):
    """pylsl or liblsl cannot be loaded; the message says how to get them."""


def load_pylsl() -> Any:
    """The pylsl module (raises ``LslUnavailable`` with the way to install it)."""
    try:
        import pylsl
    except ImportError as error:
        raise LslUnavailable("%s (%s)" % (INSTALL_HINT, error)) from error
    except (RuntimeError, OSError) as error:  # pylsl found, liblsl not
        raise LslUnavailable("%s (%s)" % (INSTALL_HINT, error)) from error
    return pylsl


def clock_offset(local_clock: Callable[[], float], readings: int = 5) -> float:
    """``local_clock() - time.monotonic()``, from the tightest of a few readings.

    The amplifier's sample times are on ``time.monotonic()``; LSL stamps on
    ``lsl_local_clock()``. On Linux both are CLOCK_MONOTONIC and this is 0 to
    within microseconds; elsewhere it carries the times over to LSL's clock.
    """
    best_width, best = float("inf"), 0.0
    for _ in range(max(1, readings)):
        before = time.monotonic()
        lsl = local_clock()
        after = time.monotonic()
        if after - before < best_width:
            best_width, best = after - before, lsl - (before + after) / 2.0
    return best
