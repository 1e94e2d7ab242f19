"""What an amplifier tells about itself when it is opened."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Tuple

from . import channels


@dataclass(frozen=True)
class Channel:
    """One value of a scan: its position, type code, readable name and unit."""

    index: int
    type_code: int
    name: str
    unit: str


@dataclass(frozen=True)
class AmplifierInfo:
    """What an amplifier tells about itself when it is opened.

    ``texts_replaced`` is true when a text held bytes that are not UTF-8:
    those became U+FFFD replacement characters.
    """

    serial_number: str
    model_number: str
    manufacturer_name: str
    firmware_revision: str
    hardware_revision: str
    sampling_rate: int
    channels: Tuple[Channel, ...]
    texts_replaced: bool = False

    @property
    def values_per_scan(self) -> int:
        """Values in each scan: the channels, battery level and data-valid flag."""
        return len(self.channels)

    @property
    def type_codes(self) -> Tuple[int, ...]:
        """The type code of each value of a scan."""
        return tuple(c.type_code for c in self.channels)


def _decode(raw: bytes) -> Tuple[str, bool]:
    try:
        return raw.decode("utf-8"), False
    except UnicodeDecodeError:
        return raw.decode("utf-8", "replace"), True


def info_from(information) -> AmplifierInfo:
    """An ``AmplifierInfo`` from the library's device-information record."""
    texts = []
    replaced = False
    for field in ("serialNumber", "modelNumber", "manufacturerName", "firmwareRevision", "hardwareRevision"):
        text, bad = _decode(bytes(getattr(information, field)))
        texts.append(text)
        replaced = replaced or bad
    # The count comes from the amplifier's configuration: never past the table.
    count = min(int(information.numberOfAcquiredChannels), len(information.channelTypes))
    chans = []
    for index in range(count):
        code = int(information.channelTypes[index])
        kind = channels.kind(code)
        chans.append(Channel(index, code, kind.name, kind.unit))
    return AmplifierInfo(*texts, sampling_rate=int(information.samplingRate), channels=tuple(chans),
                         texts_replaced=replaced)
