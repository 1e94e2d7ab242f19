"""Battery-powered multi-channel amplifiers over Bluetooth Low Energy.

``tavo_ble.Amplifier`` is the API to record with: open an amplifier by its
serial number, stream into a ring buffer, read chunks of scans with
de-jittered times, close (see ``tavo_ble.amplifier``). ``tavo_ble.scan``
lists the amplifiers in range and ``tavo_ble.open_many`` opens several.
``tavo_ble.lib.tavo_ble_wrapper.TavoBLEWrapper`` is the plain binding of the
library; ``python3 -m tavo_ble`` is a command-line tool.
"""
__version__ = "2.0.0"

from .amplifier import Amplifier, scan  # noqa: F401
from .group import AmplifierGroup, open_many  # noqa: F401
from .info import AmplifierInfo, Channel  # noqa: F401
from .timeline import StreamEvent  # noqa: F401
from .errors import (  # noqa: F401
    AdapterError, ArgumentError, Error, HandleError, OutputPathError, PayloadError, RecordingWriteError,
    SessionError)

__all__ = [
    "__version__",
    "Amplifier", "AmplifierGroup", "AmplifierInfo", "Channel", "StreamEvent", "open_many", "scan",
    "Error", "ArgumentError", "PayloadError", "HandleError", "AdapterError", "SessionError",
    "OutputPathError", "RecordingWriteError",
]
