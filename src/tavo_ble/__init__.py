"""Battery-powered multi-channel amplifiers over Bluetooth Low Energy.

``tavo_ble.lib.tavo_ble_wrapper.TavoBLEWrapper`` scans for amplifiers, opens
one by its serial number and streams its samples as numpy float32 arrays;
``python3 -m tavo_ble`` is a command-line tool over it.
"""
