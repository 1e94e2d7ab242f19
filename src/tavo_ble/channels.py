"""The meaning of the values in a scan, from the amplifier's channel types.

A scan holds the amplifier's channels in channel order, then two values the
library adds: the battery level (type 4) and the data-valid flag (type 9,
0.0 for a filler standing in for a lost sample). Type 5 is a sample counter.
Every other type is a measuring channel, which the library scales to
microvolts. This is the one table of names and units that the API, the
command line, CSV files, plots and recordings use.
"""
from dataclasses import dataclass
from typing import List, Optional, Sequence

BATTERY = 4
COUNTER = 5
DATA_VALID = 9


@dataclass(frozen=True)
class Kind:
    """What a type code stands for, in every place that names it."""

    name: str  # readable, as in Channel.name: "EEG", "battery"
    column: str  # CSV column; a measuring or counter channel adds its number
    unit: str
    described: str  # for `info`; "%d" takes the channel number
    measuring: bool  # a signal from electrodes (in microvolts)


_KINDS = {
    1: Kind("EEG", "ch", "uV", "channel %d", True),
    BATTERY: Kind("battery", "battery", "%", "battery level (%%)", False),
    COUNTER: Kind("counter", "counter", "", "channel %d: sample counter", False),
    DATA_VALID: Kind("data valid", "data_valid", "", "data valid (1 = measured, 0 = filler for a lost sample)",
                     False),
}


def kind(code: int) -> Kind:
    """The meaning of type `code`; any type not listed is a measuring channel."""
    found = _KINDS.get(code)
    if found is None:
        found = Kind("type %d" % code, "ch", "uV", "channel %d", True)
    return found


def describe(code: int, index: int) -> str:
    """Readable meaning of the value at `index` (0-based) with type `code`."""
    text = kind(code).described
    return text % (index + 1) if "%d" in text else text % ()


def column_names(types: Sequence[int]) -> List[str]:
    """CSV column names, one per value of a scan."""
    names = []
    for index, code in enumerate(types):
        column = kind(code).column
        names.append(column + str(index + 1) if code not in (BATTERY, DATA_VALID) else column)
    return names


def file_label(code: int, index: int) -> str:
    """A recording's label for the value at `index`: the signal's type first
    ("EEG Ch1", "MISC Counter"), as readers such as MNE take it apart."""
    if kind(code).measuring:
        return "EEG Ch%d" % (index + 1)
    return {BATTERY: "MISC Battery", COUNTER: "MISC Counter", DATA_VALID: "MISC Data valid"}[code]


def unit(code: int) -> str:
    """Unit of a value of type `code`."""
    return kind(code).unit


def index_of(types: Sequence[int], code: int) -> Optional[int]:
    """Position of the first value of type `code`, or None."""
    for index, value in enumerate(types):
        if value == code:
            return index
    return None


def counter_index(types: Sequence[int]) -> Optional[int]:
    """Column of the running sample number: the last counter channel, which the
    library numbers its filler scans in (an earlier one repeats the last scan)."""
    found = None
    for index, value in enumerate(types):
        if value == COUNTER:
            found = index
    return found
