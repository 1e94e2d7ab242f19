"""Python binding of libtavoble.

Finds the build of libtavoble that fits the running operating system and
processor in the folder ``native`` beside this file, loads it with ctypes,
mirrors the types of its C interface and offers ``TavoBLEWrapper``: amplifier
discovery as lists of names, samples as numpy float32 arrays, failures as
Python exceptions.

The library is loaded once per process, by ``tavo_ble.native``; the names
below are that module's. Every object on one amplifier shares its handle
through the package's table of open handles (``tavo_ble.handles``), so a
``TavoBLEWrapper`` and a ``tavo_ble.Amplifier`` on the same serial number
each have their own data callback and their own lifetime.
"""
import platform  # noqa: F401
import ctypes
import os  # noqa: F401
from enum import Enum  # noqa: F401
import numpy as np
import struct
import sys  # noqa: F401

from .. import discovery, handles, native
from ..native import (  # noqa: F401
    System, get_system, platform_folder, architecture_folder, library_name, library_path, lib,
    TAVOBLE_HANDLE, TAVOBLE_STRING_LENGTH_MAX, TAVOBLE_DEVICENAME_LENGTH_MAX,
    TAVOBLE_NUMBER_OF_CHANNELS_MAX, TAVOBLE_DEVICE_INFORMATION, DeviceDiscoveredCallback,
    DataAvailableCallback)

if get_system() == System.Windows:
    current_architecture = native.current_architecture


class TavoBLEWrapper:
    """One open amplifier; scanning for amplifiers is offered on the class.

    The constructor opens the amplifier (or joins the handle that another
    object of this process holds on it), the finaliser gives it back: the
    last user closes it. Samples reach the data callback as float32 arrays of
    ``no_of_acquired_channels`` values: the channels, then the battery level,
    then the data-valid flag (0.0 for a filler standing in for a lost
    sample). Callbacks run on the library's threads.
    """

    _dd_callback = None
    _dd_callback_internal = None

    _data_callback: callable
    _data_callback_internal: callable

    @staticmethod
    def __handle_error__(errorCode):
        from ..amplifier import Amplifier

        if errorCode != Amplifier.Error.NONE.value:
            native.check(errorCode)
        return None

    @staticmethod
    def get_api_version():
        version = lib.TAVOBLE_GetApiVersion()
        # Through float32 so the caller sees exactly the library's value.
        return np.frombuffer(struct.pack("f", version), dtype=np.float32)[0]

    @staticmethod
    def start_scanning():
        if TavoBLEWrapper._dd_callback is None:
            raise ValueError("No device discovered callback set.")
        TavoBLEWrapper.__handle_error__(0)
        # The library's scan is shared with the package's other searches.
        discovery.subscribe(TavoBLEWrapper._on_discovered)

    @staticmethod
    def stop_scanning():
        discovery.unsubscribe(TavoBLEWrapper._on_discovered)

    @staticmethod
    def set_device_discovered_callback(callback):
        TavoBLEWrapper._dd_callback = callback
        # The C-callable form of _dd_callback_wrapper, created once and kept;
        # the library itself calls the package's scan fan-out, which hands
        # each list to _on_discovered.
        if TavoBLEWrapper._dd_callback_internal is None:
            TavoBLEWrapper._dd_callback_internal = DeviceDiscoveredCallback(
                TavoBLEWrapper._dd_callback_wrapper
            )

    @staticmethod
    def _dd_callback_wrapper(devices, num_dev):
        TavoBLEWrapper._on_discovered(discovery.names_of(devices, num_dev))

    @staticmethod
    def _on_discovered(device_list):
        # Runs on the library's scan thread with the whole current list.
        callback = TavoBLEWrapper._dd_callback
        if callback is not None:
            callback(device_list)

    def set_data_callback(self, callback):
        self._data_callback = callback

    def _data_callback_wrapper(self, hDevice, sample, sample_size):
        # The library reuses its buffer for the next scan: copy it out.
        self._on_scan(np.fromiter(sample, dtype=np.float32, count=sample_size), 0.0)

    def _on_scan(self, sample_array, arrival):
        # The shared handle's fan-out, on the library's thread: this
        # instance's own copy of the scan.
        callback = self._data_callback
        if callback is not None:
            callback(sample_array)

    def __init__(self, serial):
        self._data_callback = None
        self.__hDevice = TAVOBLE_HANDLE(0)
        self.__device = None
        self.__device = handles.join(serial)  # a serial that is not text: AttributeError
        self.__hDevice.value = self.__device.handle
        self.__device_info = TAVOBLE_DEVICE_INFORMATION()
        ctypes.memmove(ctypes.byref(self.__device_info), ctypes.byref(self.__device.information),
                       ctypes.sizeof(TAVOBLE_DEVICE_INFORMATION))
        self._data_callback_internal = DataAvailableCallback(self._data_callback_wrapper)

    def _shared(self):
        # The open handle of this instance; the library's own error when there is none.
        device = getattr(self, "_TavoBLEWrapper__device", None)
        if device is None or device.closed:
            TavoBLEWrapper.__handle_error__(lib.TAVOBLE_GetDeviceInformation(
                self.__hDevice.value, ctypes.byref(TAVOBLE_DEVICE_INFORMATION())))
            raise native.error_for(1, "Couldn't get device from handle.")
        return device

    def start(self):
        if self._data_callback is None:
            raise ValueError("No data callback set.")
        # The first listener on the handle starts the amplifier's stream.
        self._shared().listen(self._on_scan)

    def stop(self):
        # The last listener to leave stops the stream.
        self._shared().unlisten(self._on_scan)

    def __del__(self):
        try:
            device = getattr(self, "_TavoBLEWrapper__device", None)
            if device is not None:
                self.__device = None
                handles.release(device)
        except Exception:
            pass

    @property
    def model_number(self):
        return self.__device_info.modelNumber.decode("utf-8", "replace")

    @property
    def serial_number(self):
        return self.__device_info.serialNumber.decode("utf-8", "replace")

    @property
    def firmware_version(self):
        return self.__device_info.firmwareRevision.decode("utf-8", "replace")

    @property
    def hardware_version(self):
        return self.__device_info.hardwareRevision.decode("utf-8", "replace")

    @property
    def manufacturer_name(self):
        return self.__device_info.manufacturerName.decode("utf-8", "replace")

    @property
    def channel_types(self):
        return [int(t) for t in self.__device_info.channelTypes if t != 0]

    @property
    def no_of_acquired_channels(self):
        return int(self.__device_info.numberOfAcquiredChannels)

    @property
    def sampling_rate(self):
        return int(self.__device_info.samplingRate)

    @property
    def handle(self):
        return self.__hDevice.value
