"""What an amplifier's LSL stream says about it: identity and meta-data.

Identity: type "EEG", the name (the serial number unless given), the nominal
rate (the amplifier's sampling rate), ``float32``, one channel per value of a
scan (the amplifier's channels, then battery level and data valid, so that the
validity of every sample travels with it), and a ``source_id`` holding the
serial number: an inlet (LabRecorder's too) that lost the stream finds it again
by that id, after a dropped link or a restart of the publisher.

Meta-data after the XDF conventions: ``desc/channels/channel`` with ``label``,
``unit`` and ``type`` per channel (EEG in microvolts for the measuring
channels, MISC for counter, battery and data valid), and ``desc/manufacturer``,
``model``, ``serial_number``, ``firmware_version`` and ``hardware_version``.

The texts come from the amplifier over the radio: characters that XML cannot
carry, or a reader would not show, are written as escapes.
"""
from dataclasses import dataclass
from typing import Any, Optional, Sequence, Tuple

from .. import channels

STREAM_TYPE = "EEG"
MARKER_TYPE = "Markers"
MEASURING_UNIT = "microvolts"


@dataclass(frozen=True)
class LslChannel:
    """One channel of the stream: its label, unit and XDF channel type."""

    label: str
    unit: str
    type: str


@dataclass(frozen=True)
class StreamDescription:
    """Everything an amplifier's stream tells its inlets; see the module's description."""

    name: str
    serial_number: str
    sampling_rate: float
    channels: Tuple[LslChannel, ...]
    manufacturer: str = ""
    model: str = ""
    firmware_version: str = ""
    hardware_version: str = ""

    def __post_init__(self) -> None:
        if not self.name or not self.serial_number:
            raise ValueError("an LSL stream needs a name and a serial number")
        if not self.sampling_rate > 0:
            raise ValueError("an amplifier's stream needs a positive sampling rate, not %r" % self.sampling_rate)
        if not self.channels or any(not c.label for c in self.channels):
            raise ValueError("every channel of an LSL stream needs a label")

    @property
    def source_id(self) -> str:
        """The id an inlet recovers the stream by: the same for the same amplifier."""
        return "tavoble-" + self.serial_number

    @property
    def marker_name(self) -> str:
        """The name of the stream's event stream."""
        return self.name + " events"


def safe_text(text: str) -> str:
    """`text` with control and other unprintable characters escaped."""
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii") for c in text)


def channel_list(type_codes: Sequence[int]) -> Tuple[LslChannel, ...]:
    """The LSL channels for the values of a scan with these type codes."""
    result = []
    for index, code in enumerate(type_codes):
        if channels.kind(code).measuring:
            result.append(LslChannel("Ch%d" % (index + 1), MEASURING_UNIT, STREAM_TYPE))
        elif code == channels.BATTERY:
            result.append(LslChannel("Battery", "percent", "MISC"))
        elif code == channels.DATA_VALID:
            result.append(LslChannel("DataValid", "", "MISC"))
        else:  # the counter
            result.append(LslChannel("Ch%d" % (index + 1), "", "MISC"))
    return tuple(result)


def describe(info: Any, name: Optional[str] = None) -> StreamDescription:
    """The description of an amplifier's stream from its ``AmplifierInfo``."""
    serial = safe_text(info.serial_number)
    return StreamDescription(
        name=safe_text(name) if name else serial,
        serial_number=serial,
        sampling_rate=float(info.sampling_rate),
        channels=channel_list([c.type_code for c in info.channels]),
        manufacturer=safe_text(info.manufacturer_name),
        model=safe_text(info.model_number),
        firmware_version=safe_text(info.firmware_revision),
        hardware_version=safe_text(info.hardware_revision),
    )


def stream_info(pylsl: Any, description: StreamDescription) -> Any:
    """The ``pylsl.StreamInfo`` of the data stream, meta-data included."""
    d = description
    info = pylsl.StreamInfo(d.name, STREAM_TYPE, len(d.channels), d.sampling_rate, pylsl.cf_float32,
                            d.source_id)
    desc = info.desc()
    listing = desc.append_child("channels")
    for channel in d.channels:
        node = listing.append_child("channel")
        node.append_child_value("label", channel.label)
        node.append_child_value("unit", channel.unit)
        node.append_child_value("type", channel.type)
    for key, value in (("manufacturer", d.manufacturer), ("model", d.model), ("serial_number", d.serial_number),
                       ("firmware_version", d.firmware_version), ("hardware_version", d.hardware_version)):
        desc.append_child_value(key, value)
    return info


def marker_info(pylsl: Any, description: StreamDescription) -> Any:
    """The ``pylsl.StreamInfo`` of the irregular string stream of the data stream's events."""
    d = description
    info = pylsl.StreamInfo(d.marker_name, MARKER_TYPE, 1, pylsl.IRREGULAR_RATE, pylsl.cf_string,
                            d.source_id + "-events")
    info.desc().append_child_value("serial_number", d.serial_number)
    return info
