"""Python binding of libtavoble.

Finds the build of libtavoble that fits the running operating system and
processor in the folder ``native`` beside this file, loads it with ctypes,
mirrors the types of its C interface and offers ``TavoBLEWrapper``: amplifier
discovery as lists of names, samples as numpy float32 arrays, failures as
Python exceptions.
"""
import platform
import ctypes
import os
from enum import Enum
import numpy as np
import struct
import sys


class System(Enum):
    Unknown = 1
    Windows = 2
    Linux = 3
    Mac = 4
    iOs = 5
    Android = 6


def get_system():
    """Classifies the running operating system; Android reports itself as Linux."""
    system = System.Unknown
    name = platform.system()
    if name == "Darwin":
        system = System.Mac
    elif name == "Linux":
        system = System.Linux
        if hasattr(sys, "getandroidapilevel"):
            system = System.Android
    elif name == "Windows":
        system = System.Windows
    return system


# Which build to load: native/<platform_folder>/<architecture_folder>/<library_name>.
# On Windows the interpreter's own bitness decides, since a process can only
# load a library of its own width.
if get_system() == System.Windows:
    current_architecture = platform.architecture()[0]
    if current_architecture == "32bit":
        platform_folder = "windows"
        architecture_folder = "Win32"
        library_name = "libtavoble.dll"
    elif current_architecture == "64bit":
        platform_folder = "windows"
        architecture_folder = "x64"
        library_name = "libtavoble.dll"
    else:
        raise OSError("'" + str(get_system()) + "' not supported")
elif get_system() == System.Linux:
    if platform.machine() == "x86_64":
        platform_folder = "linux"
        architecture_folder = "x64"
        library_name = "libtavoble.so"
    elif platform.machine() == "aarch64":
        platform_folder = "linux"
        architecture_folder = "arm64"
        library_name = "libtavoble.so"
    else:
        raise OSError("'" + str(get_system()) + "' not supported")
elif get_system() == System.Mac:
    # One universal build serves every processor.
    platform_folder = "mac"
    architecture_folder = "universal"
    library_name = "libtavoble.dylib"
elif get_system() == System.Android:
    if platform.machine() == "aarch64":
        platform_folder = "android"
        architecture_folder = "arm64-v8a"
        library_name = "libtavoble.so"
    elif platform.machine() == "armv7l":
        platform_folder = "android"
        architecture_folder = "armeabi-v7a"
        library_name = "libtavoble.so"
    else:
        raise OSError("'" + str(get_system()) + "' not supported")
else:
    raise OSError("'" + str(get_system()) + "' not supported")

library_path = os.path.join(
    os.path.dirname(__file__), "native", platform_folder, architecture_folder, library_name
)
# A library file named by TAVOBLE_LIBRARY comes first: a user's own build, or
# the build folder's library for its tests.
if os.environ.get("TAVOBLE_LIBRARY"):
    library_path = os.environ["TAVOBLE_LIBRARY"]

lib = ctypes.CDLL(library_path)

TAVOBLE_HANDLE = ctypes.c_uint64

TAVOBLE_STRING_LENGTH_MAX = 255
TAVOBLE_DEVICENAME_LENGTH_MAX = 15
TAVOBLE_NUMBER_OF_CHANNELS_MAX = 64


class TAVOBLE_DEVICE_INFORMATION(ctypes.Structure):
    """The library's 1344-byte device-information record, field for field."""

    _fields_ = [
        ("modelNumber", ctypes.c_char * TAVOBLE_STRING_LENGTH_MAX),
        ("serialNumber", ctypes.c_char * TAVOBLE_STRING_LENGTH_MAX),
        ("firmwareRevision", ctypes.c_char * TAVOBLE_STRING_LENGTH_MAX),
        ("hardwareRevision", ctypes.c_char * TAVOBLE_STRING_LENGTH_MAX),
        ("manufacturerName", ctypes.c_char * TAVOBLE_STRING_LENGTH_MAX),
        ("channelTypes", ctypes.c_uint8 * TAVOBLE_NUMBER_OF_CHANNELS_MAX),
        ("numberOfAcquiredChannels", ctypes.c_uint16),
        ("samplingRate", ctypes.c_uint16),
    ]


# The names of all amplifiers in range: `count` consecutive 15-byte slots.
DeviceDiscoveredCallback = ctypes.CFUNCTYPE(
    None, ctypes.POINTER(ctypes.c_char * TAVOBLE_DEVICENAME_LENGTH_MAX), ctypes.c_uint32
)
# One scan: `count` floats in the library's reused buffer.
DataAvailableCallback = ctypes.CFUNCTYPE(
    None, TAVOBLE_HANDLE, ctypes.POINTER(ctypes.c_float), ctypes.c_uint32
)

lib.TAVOBLE_GetApiVersion.restype = ctypes.c_float
lib.TAVOBLE_GetLastErrorText.restype = ctypes.c_char_p
lib.TAVOBLE_StartScanning.restype = ctypes.c_uint32
lib.TAVOBLE_StopScanning.restype = ctypes.c_uint32
lib.TAVOBLE_RegisterDeviceDiscoveredCallback.argtypes = [DeviceDiscoveredCallback]
lib.TAVOBLE_RegisterDeviceDiscoveredCallback.restype = ctypes.c_int
lib.TAVOBLE_OpenDevice.argtypes = [ctypes.c_char_p, ctypes.POINTER(TAVOBLE_HANDLE)]
lib.TAVOBLE_OpenDevice.restype = ctypes.c_uint32
lib.TAVOBLE_CloseDevice.argtypes = [ctypes.POINTER(TAVOBLE_HANDLE)]
lib.TAVOBLE_CloseDevice.restype = ctypes.c_uint32
lib.TAVOBLE_RegisterDataAvailableCallback.argtypes = [TAVOBLE_HANDLE, DataAvailableCallback]
lib.TAVOBLE_RegisterDataAvailableCallback.restype = ctypes.c_int
lib.TAVOBLE_GetDeviceInformation.argtypes = [
    TAVOBLE_HANDLE,
    ctypes.POINTER(TAVOBLE_DEVICE_INFORMATION),
]
lib.TAVOBLE_GetDeviceInformation.restype = ctypes.c_uint32


class TavoBLEWrapper:
    """One open amplifier; scanning for amplifiers is offered on the class.

    The constructor opens the amplifier, the finaliser closes it. Samples reach
    the data callback as float32 arrays of ``no_of_acquired_channels`` values:
    the channels, then the battery level, then the data-valid flag (0.0 for a
    filler standing in for a lost sample). Callbacks run on the library's
    threads.
    """

    _dd_callback = None
    _dd_callback_internal = None

    _data_callback: callable
    _data_callback_internal: callable

    @staticmethod
    def __handle_error__(errorCode):
        from ..amplifier import Amplifier

        if errorCode != Amplifier.Error.NONE.value:
            raise ValueError(lib.TAVOBLE_GetLastErrorText().decode("utf-8", "replace"))
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
        TavoBLEWrapper.__handle_error__(
            lib.TAVOBLE_RegisterDeviceDiscoveredCallback(TavoBLEWrapper._dd_callback_internal)
        )
        TavoBLEWrapper.__handle_error__(lib.TAVOBLE_StartScanning())

    @staticmethod
    def stop_scanning():
        TavoBLEWrapper.__handle_error__(lib.TAVOBLE_StopScanning())
        TavoBLEWrapper.__handle_error__(
            lib.TAVOBLE_RegisterDeviceDiscoveredCallback(
                ctypes.cast(None, DeviceDiscoveredCallback)
            )
        )

    @staticmethod
    def set_device_discovered_callback(callback):
        TavoBLEWrapper._dd_callback = callback
        # Created once and kept: the library may hold this pointer at any time.
        if TavoBLEWrapper._dd_callback_internal is None:
            TavoBLEWrapper._dd_callback_internal = DeviceDiscoveredCallback(
                TavoBLEWrapper._dd_callback_wrapper
            )

    @staticmethod
    def _dd_callback_wrapper(devices, num_dev):
        # Runs on the library's scan thread with the whole current list.
        device_list = []
        for i in range(num_dev):
            device_list.append(devices[i].value.decode("utf-8", "replace"))
        callback = TavoBLEWrapper._dd_callback
        if callback is not None:
            callback(device_list)

    def set_data_callback(self, callback):
        self._data_callback = callback

    def _data_callback_wrapper(self, hDevice, sample, sample_size):
        _keep_thread_state()
        # The library reuses its buffer for the next scan: copy it out.
        sample_array = np.fromiter(sample, dtype=np.float32, count=sample_size)
        callback = self._data_callback
        if callback is not None:
            callback(sample_array)

    def __init__(self, serial):
        self._data_callback = None
        self.__hDevice = TAVOBLE_HANDLE(0)
        TavoBLEWrapper.__handle_error__(
            lib.TAVOBLE_OpenDevice(serial.encode("utf-8"), ctypes.byref(self.__hDevice))
        )
        self.__device_info = TAVOBLE_DEVICE_INFORMATION()
        TavoBLEWrapper.__handle_error__(
            lib.TAVOBLE_GetDeviceInformation(self.__hDevice.value, ctypes.byref(self.__device_info))
        )
        self._data_callback_internal = DataAvailableCallback(self._data_callback_wrapper)
        # Remembered so that the exit hook below can close it before the interpreter finalises.
        _open_wrappers.add(self)

    def start(self):
        if self._data_callback is None:
            raise ValueError("No data callback set.")
        # Registering a data callback is what starts the amplifier's stream.
        TavoBLEWrapper.__handle_error__(
            lib.TAVOBLE_RegisterDataAvailableCallback(
                self.__hDevice.value, self._data_callback_internal
            )
        )

    def stop(self):
        TavoBLEWrapper.__handle_error__(
            lib.TAVOBLE_RegisterDataAvailableCallback(
                self.__hDevice.value, ctypes.cast(None, DataAvailableCallback)
            )
        )

    def __del__(self):
        try:
            lib.TAVOBLE_CloseDevice(ctypes.byref(self.__hDevice))
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


# An exit hook: a program may end while an amplifier streams, without
# stop() and with its wrapper never finalised (the wrapper sits in a reference
# cycle with its C callback). The library's threads would then go on calling
# into an interpreter that is shutting down, which ends the process abnormally.
# Before the interpreter starts finalising, the hook unregisters every
# callback, stops the scan and closes every device still open; finalisers
# that run later find handle 0. The callbacks go first: unregistering takes
# effect at once, whereas the library's other calls wait behind notifications
# already queued, each of which would otherwise still run Python code.
import atexit  # noqa: E402
import weakref  # noqa: E402

_open_wrappers = weakref.WeakSet()


def _close_at_exit():
    handles = []
    for wrapper in list(_open_wrappers):
        handle = getattr(wrapper, "_TavoBLEWrapper__hDevice", None)
        if handle is not None and handle.value != 0:
            handles.append(handle)
    scanning = TavoBLEWrapper._dd_callback_internal is not None
    if scanning:
        lib.TAVOBLE_RegisterDeviceDiscoveredCallback(ctypes.cast(None, DeviceDiscoveredCallback))
    for handle in handles:
        lib.TAVOBLE_RegisterDataAvailableCallback(handle.value, ctypes.cast(None, DataAvailableCallback))
    if scanning:
        lib.TAVOBLE_StopScanning()
    for handle in handles:
        lib.TAVOBLE_CloseDevice(ctypes.byref(handle))


atexit.register(_close_at_exit)


# ctypes runs a callback on a thread that Python did not start by creating a
# Python thread state for the call and destroying it afterwards (with a fresh
# frame stack mapped and unmapped each time): most of a scan's cost. One extra
# reference, taken at the first scan on the library's notification thread and
# never released, keeps that thread state for the thread's life. The exit hook
# above stops all callbacks before the interpreter finalises.
import threading  # noqa: E402

_threads_with_state = set()


def _keep_thread_state():
    ident = threading.get_ident()
    if ident not in _threads_with_state:
        ctypes.pythonapi.PyGILState_Ensure()
        _threads_with_state.add(ident)
