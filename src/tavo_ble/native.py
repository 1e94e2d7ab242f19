"""The one native layer: libtavoble loaded once, its C types and prototypes.

Every other module reaches the library through this one: it picks the build
that fits the running system (``native/<platform>/<architecture>/<file>``
beside the binding module, or the file named by ``TAVOBLE_LIBRARY``), loads it
at import, mirrors the types of the C interface, declares the nine
functions, turns result codes into the typed errors of ``tavo_ble.errors``
and owns the process's one exit hook. It also loads the package's native
helper found beside the library (``helper``, see ``tavo_ble.scan_chunks``).

The exit hook needs to know what is open: the calls below that open, close,
register and unregister (``open_device``, ``close_device``,
``register_data``, ``unregister_data``, ``start_scanning``,
``stop_scanning``) keep that account. Code that calls ``lib`` directly is on
its own.

Imports nothing of the package but ``errors``: the handle table, the scan
fan-out and the binding module sit on top of it.
"""
import atexit
import ctypes
import os
import platform
import sys
import threading
from enum import Enum
from typing import Dict

from .errors import error_for, signed_code  # noqa: F401 (error_for: for the binding)


class System(Enum):
    Unknown = 1
    Windows = 2
    Linux = 3
    Mac = 4
    iOs = 5
    Android = 6


def get_system() -> System:
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


def _unsupported() -> OSError:
    return OSError("'" + str(get_system()) + "' not supported")


# Which build to load: native/<platform_folder>/<architecture_folder>/<library_name>.
# On Windows the interpreter's own bitness decides, since a process can only
# load a library of its own width.
if get_system() == System.Windows:
    current_architecture = platform.architecture()[0]
    if current_architecture not in ("32bit", "64bit"):
        raise _unsupported()
    platform_folder = "windows"
    architecture_folder = "Win32" if current_architecture == "32bit" else "x64"
    library_name = "libtavoble.dll"
elif get_system() == System.Linux:
    _LINUX = {"x86_64": "x64", "aarch64": "arm64"}
    if platform.machine() not in _LINUX:
        raise _unsupported()
    platform_folder = "linux"
    architecture_folder = _LINUX[platform.machine()]
    library_name = "libtavoble.so"
elif get_system() == System.Mac:
    # One universal build serves every processor.
    platform_folder = "mac"
    architecture_folder = "universal"
    library_name = "libtavoble.dylib"
elif get_system() == System.Android:
    _ANDROID = {"aarch64": "arm64-v8a", "armv7l": "armeabi-v7a"}
    if platform.machine() not in _ANDROID:
        raise _unsupported()
    platform_folder = "android"
    architecture_folder = _ANDROID[platform.machine()]
    library_name = "libtavoble.so"
else:
    raise _unsupported()

# The builds ship beside the binding module, in tavo_ble/lib/native/.
library_path = os.path.join(
    os.path.dirname(__file__), "lib", "native", platform_folder, architecture_folder, library_name
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
lib.TAVOBLE_GetDeviceInformation.argtypes = [TAVOBLE_HANDLE, ctypes.POINTER(TAVOBLE_DEVICE_INFORMATION)]
lib.TAVOBLE_GetDeviceInformation.restype = ctypes.c_uint32

# The package's native helper, beside the library (None when it is not there):
# the data callback that fills the rings Amplifier reads in chunks
# (tavo_ble.scan_chunks).
HELPER_NAME = "libtavo_ble_scans.so"


def _load_helper():
    # Beside the library (the wheel, a build), or in the private folder the
    # Debian package installs it to.
    folder = os.path.dirname(os.path.abspath(library_path))
    paths = [os.path.join(folder, HELPER_NAME), os.path.join(folder, "tavoble", HELPER_NAME)]
    found = [p for p in paths if os.path.exists(p)]
    if not found:
        return None
    h = ctypes.CDLL(found[0])
    p, u32, u64, dbl = ctypes.c_void_p, ctypes.c_uint32, ctypes.c_uint64, ctypes.c_double
    for name, argtypes, restype in (
            ("create", [u32, u32], p),
            ("destroy", [p], None),
            ("push", [p, ctypes.POINTER(ctypes.c_float), u32, dbl], None),
            ("read", [p, p, p, p, u32, p], u32),
            ("available", [p], u64),
            ("pending_dropped", [p], u64),
            ("skip_leading_fillers", [p, u32], None),
            ("skipped", [p], u64),
            ("compact_filler_runs", [p, u32, ctypes.c_int64], None),
            ("end_run", [p], None),
            ("wait", [p, dbl, dbl], u64),
            ("wake", [p], None),
            ("route", [u64, ctypes.POINTER(p), u32, p], ctypes.c_int),
            ("line_size", [], u32),
            ("place", [p, p, u32, ctypes.c_int64, p, u32, p, p], u32),
            ("take", [p, p, ctypes.c_int64, p, p, p, p, p, u32, p], u32)):
        function = getattr(h, "tavo_ble_scans_" + name)
        function.argtypes, function.restype = argtypes, restype
    return h


helper = _load_helper()

NO_DATA_CALLBACK = ctypes.cast(None, DataAvailableCallback)
NO_DISCOVERED_CALLBACK = ctypes.cast(None, DeviceDiscoveredCallback)


def last_error_text(code: int) -> str:
    """The library's text for the failure just reported."""
    text = lib.TAVOBLE_GetLastErrorText()
    return text.decode("utf-8", "replace") if text else "error %d" % code


def check(raw: int) -> None:
    """Raises the typed error (a ``ValueError``) for a failed library call."""
    code = signed_code(raw)
    if code != 0:
        raise error_for(code, last_error_text(code))


# -- the account of what is open, for the exit hook ---------------------------

_lock = threading.Lock()
# Open handles -> whether a data callback is registered on them.
_open: Dict[int, bool] = {}
# Data callbacks registered now, kept alive while the library may call them.
_data_callbacks: Dict[int, object] = {}
_scanning = False
# Set by the exit hook: everything is stopped and closed, later calls do nothing.
_exiting = False


def open_device(serial: str) -> int:
    """Opens `serial` and returns its handle (the one already open, if the
    library has it open); raises the typed error."""
    handle = TAVOBLE_HANDLE(0)
    check(lib.TAVOBLE_OpenDevice(serial.encode("utf-8"), ctypes.byref(handle)))
    with _lock:
        _open.setdefault(handle.value, False)
    return handle.value


def device_information(handle: int) -> TAVOBLE_DEVICE_INFORMATION:
    """The device-information record of the open `handle`."""
    information = TAVOBLE_DEVICE_INFORMATION()
    check(lib.TAVOBLE_GetDeviceInformation(handle, ctypes.byref(information)))
    return information


def close_device(handle: int) -> None:
    """Closes `handle`; a failure is ignored (the handle is gone either way)."""
    with _lock:
        if _exiting or _open.pop(handle, None) is None:
            return
    lib.TAVOBLE_CloseDevice(ctypes.byref(TAVOBLE_HANDLE(handle)))
    with _lock:
        _data_callbacks.pop(handle, None)


def register_data(handle: int, callback) -> None:
    """Registers the C data callback of `handle`, which starts its stream."""
    with _lock:
        if _exiting:
            return
        _data_callbacks[handle] = callback
    check(lib.TAVOBLE_RegisterDataAvailableCallback(handle, callback))
    with _lock:
        if handle in _open:
            _open[handle] = True


def unregister_data(handle: int) -> None:
    """Registers no data callback on `handle`, which stops its stream."""
    with _lock:
        if _exiting:
            return
        if handle in _open:
            _open[handle] = False
    lib.TAVOBLE_RegisterDataAvailableCallback(handle, NO_DATA_CALLBACK)


def start_scanning(callback) -> None:
    """Registers the discovered callback and starts the library's scan."""
    global _scanning
    with _lock:
        if _exiting:
            return
        _scanning = True
    check(lib.TAVOBLE_RegisterDeviceDiscoveredCallback(callback))
    check(lib.TAVOBLE_StartScanning())


def stop_scanning() -> None:
    """Stops the library's scan and clears its discovered callback."""
    global _scanning
    with _lock:
        if _exiting:
            return
        _scanning = False
    lib.TAVOBLE_StopScanning()
    lib.TAVOBLE_RegisterDeviceDiscoveredCallback(NO_DISCOVERED_CALLBACK)


# How long the exit hook waits for the library to stop and close everything.
EXIT_WAIT = 3.0


def _close_at_exit() -> None:
    # A program may end with amplifiers streaming and its objects never
    # finalised. The library's threads would then go on calling into an
    # interpreter that is shutting down. Before it finalises: unregister every
    # callback (that takes effect at once), stop the scan, close every handle.
    # A data callback that waits on the application (a full queue nobody
    # drains any more) would hold that up for ever, so the work runs on a
    # thread of its own and the program ends without it after EXIT_WAIT.
    global _exiting
    with _lock:
        _exiting = True
        handles = dict(_open)
        scanning = _scanning
        _open.clear()
    if not handles and not scanning:
        return

    def stop_and_close() -> None:
        if scanning:
            lib.TAVOBLE_RegisterDeviceDiscoveredCallback(NO_DISCOVERED_CALLBACK)
        for handle, streaming in handles.items():
            if streaming:
                lib.TAVOBLE_RegisterDataAvailableCallback(handle, NO_DATA_CALLBACK)
        if scanning:
            lib.TAVOBLE_StopScanning()
        for handle in handles:
            lib.TAVOBLE_CloseDevice(ctypes.byref(TAVOBLE_HANDLE(handle)))

    closer = threading.Thread(target=stop_and_close, name="tavo_ble exit", daemon=True)
    closer.start()
    closer.join(EXIT_WAIT)
    if closer.is_alive():
        sys.stderr.write("tavo_ble: a data callback is still running at exit; not waiting for it\n")
        sys.stderr.flush()


atexit.register(_close_at_exit)


# ctypes runs a callback on a thread that Python did not start by creating a
# Python thread state for the call and destroying it afterwards (with a fresh
# frame stack mapped and unmapped each time): most of a scan's cost. One extra
# reference, taken at the first scan on the device's delivery thread and
# never released, keeps that thread state for the thread's life. The exit hook
# above stops all callbacks before the interpreter finalises.
_threads_with_state = set()


def keep_thread_state() -> None:
    """Call first thing in a data callback: keeps this thread's Python state."""
    ident = threading.get_ident()
    if ident not in _threads_with_state:
        ctypes.pythonapi.PyGILState_Ensure()
        _threads_with_state.add(ident)
