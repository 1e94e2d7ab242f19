"""``python3 -m tavo_ble``: scan for amplifiers, describe one, stream its samples."""
import sys

from .cli import main

sys.exit(main())
