"""The CSV file of the ``stream`` command: a header of names and units, then one
row per scan led by its de-jittered sample time (wall clock, seconds since the
epoch).

Line 1 names the columns (``time``, ``ch1`` ..., ``battery``, ``data_valid``),
line 2 gives their units (``s``, ``uV`` ..., ``%``, empty for none). The sample
times are the ``Amplifier``'s, fitted from sample number against notification
arrival, so radio jitter does not show in them; fillers get the time of the
sample they stand for.
"""
from .. import channels


def _format_row(when, scan):
    # Nine significant digits give back every float32 exactly; times to the microsecond.
    return "%.6f," % when + ",".join("%.9g" % value for value in scan)


class CsvWriter:
    """Writes scans with their sample times (wall clock) as CSV rows."""

    def __init__(self, path, types):
        self._file = open(path, "w", encoding="utf-8", newline="")
        self._file.write(",".join(["time"] + channels.column_names(types)) + "\n")
        self._file.write(",".join(["s"] + [channels.unit(code) for code in types]) + "\n")

    def write(self, scans, times):
        """Appends `scans` with their sample times `times` (seconds since the epoch)."""
        self._file.write("".join(_format_row(when, scan) + "\n" for scan, when in zip(scans, times)))

    def close(self):
        self._file.close()
