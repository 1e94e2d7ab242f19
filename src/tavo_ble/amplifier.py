"""What the package knows about an amplifier beyond the binding."""
from enum import Enum


class Amplifier:
    class Error(Enum):
        """Result codes of the library's functions (0 is success)."""

        NONE = 0
        # A data notification of the wrong size; dropped inside the data path.
        INVALID_PAYLOAD_SIZE = -2
        # An invalid argument, or a failure that is not the library's own.
        INVALID_ARGUMENT = -1
        # The handle is null or names no open device.
        INVALID_HANDLE = 1
        # No usable Bluetooth adapter: none, several, or switched off.
        BLUETOOTH_ADAPTER = 2
        # The amplifier could not be found, connected or configured.
        AMPLIFIER_SESSION = 3
