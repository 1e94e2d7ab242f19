"""The binding of libtavoble: ``tavo_ble.lib.tavo_ble_wrapper``."""
