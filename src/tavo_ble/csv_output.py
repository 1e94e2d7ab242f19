"""The CSV file of the ``stream`` command: a header of names and units, then one
row per scan led by its de-jittered sample time (wall clock, seconds since the
epoch).

Line 1 names the columns (``time``, ``ch1`` ..., ``battery``, ``data_valid``),
line 2 gives their units (``s``, ``uV`` ..., ``%``, empty for none). Sample
times come from a running fit of sample number against notification arrival,
so radio jitter does not show in them; fillers get the time of the sample they
stand for.
"""
import time

from . import channels
from .sample_clock import SampleClock


def _format_row(when, scan):
    # Nine significant digits give back every float32 exactly; times to the microsecond.
    return "%.6f," % when + ",".join("%.9g" % value for value in scan)


class CsvWriter:
    """Writes scans with their arrival times (``time.monotonic()``) as CSV rows."""

    def __init__(self, path, types, sampling_rate):
        self._file = open(path, "w", encoding="utf-8", newline="")
        self._file.write(",".join(["time"] + channels.column_names(types)) + "\n")
        self._file.write(",".join(["s"] + [channels.unit(code) for code in types]) + "\n")
        self._valid = channels.index_of(types, channels.DATA_VALID)
        self._clock = SampleClock(sampling_rate)
        self._wall_minus_monotonic = time.time() - time.monotonic()
        self._number = 0

    def write(self, scans, arrivals):
        """Appends `scans` (arrived at the monotonic `arrivals`)."""
        for scan, arrival in zip(scans, arrivals):
            measured = self._valid is None or self._valid >= len(scan) or scan[self._valid] != 0.0
            # A filler arrives with the next notification, not at its own sample time.
            if measured:
                self._clock.update(self._number, arrival)
            when = self._clock.time_of(self._number) + self._wall_minus_monotonic
            self._file.write(_format_row(when, scan) + "\n")
            self._number += 1

    def close(self):
        self._file.close()
