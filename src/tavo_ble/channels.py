"""The meaning of the values in a scan, from the amplifier's channel types.

A scan holds the amplifier's channels in channel order, then two values the
library adds: the battery level (type 4) and the data-valid flag (type 9,
0.0 for a filler standing in for a lost sample). Type 5 is a sample counter.
"""
BATTERY = 4
COUNTER = 5
DATA_VALID = 9


def describe(code, index):
    """Readable meaning of the value at `index` (0-based) with type `code`."""
    if code == BATTERY:
        return "battery level (%)"
    if code == DATA_VALID:
        return "data valid (1 = measured, 0 = filler for a lost sample)"
    if code == COUNTER:
        return "channel %d: sample counter" % (index + 1)
    return "channel %d" % (index + 1)


def column_names(types):
    """CSV column names, one per value of a scan."""
    names = []
    for index, code in enumerate(types):
        if code == BATTERY:
            names.append("battery")
        elif code == DATA_VALID:
            names.append("data_valid")
        elif code == COUNTER:
            names.append("counter%d" % (index + 1))
        else:
            names.append("ch%d" % (index + 1))
    return names


def unit(code):
    """Unit of a value of type `code`: the library scales measuring channels to microvolts."""
    if code == BATTERY:
        return "%"
    if code in (COUNTER, DATA_VALID):
        return ""
    return "uV"


def index_of(types, code):
    """Position of the first value of type `code`, or None."""
    for index, value in enumerate(types):
        if value == code:
            return index
    return None
