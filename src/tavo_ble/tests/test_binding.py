"""The binding without an amplifier: choosing and loading the library, the
mirrored C types, the result check against the real library's failures, and
the conversions done in the two callbacks."""
import ctypes
import gc
import importlib.util
import os
import sys
from unittest import mock

import numpy as np
import pytest

from tavo_ble import discovery, handles, native
from tavo_ble.amplifier import Amplifier
from tavo_ble.lib import tavo_ble_wrapper as w
from tavo_ble.lib.tavo_ble_wrapper import TavoBLEWrapper

# The library is chosen and loaded by tavo_ble.native, once; the binding
# module's names are that module's.
MODULE_FILE = native.__file__
NATIVE = os.path.join(os.path.dirname(w.__file__), "native")


def load_fresh(system, machine="x86_64", bitness="64bit", android=False, library=None, path=MODULE_FILE,
               name="tavo_ble._native_probe"):
    """Executes the native module anew on a pretended platform, with
    TAVOBLE_LIBRARY set to `library` (None: unset).

    Returns (module or exception, the mock standing in for ctypes.CDLL)."""
    cdll = mock.MagicMock(name="CDLL")
    env = {k: v for k, v in os.environ.items() if k != "TAVOBLE_LIBRARY"}
    if library is not None:
        env["TAVOBLE_LIBRARY"] = library
    patches = [
        mock.patch.dict(os.environ, env, clear=True),
        mock.patch("platform.system", return_value=system),
        mock.patch("platform.machine", return_value=machine),
        mock.patch("platform.architecture", return_value=(bitness, "")),
        mock.patch("ctypes.CDLL", cdll),
    ]
    if android:
        patches.append(mock.patch.object(sys, "getandroidapilevel", create=True, new=lambda: 33))
    elif hasattr(sys, "getandroidapilevel"):
        patches.append(mock.patch.object(sys, "getandroidapilevel"))
    module_spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(module_spec)
    for p in patches:
        p.start()
    try:
        module_spec.loader.exec_module(module)
        return module, cdll
    except OSError as error:
        return error, cdll
    finally:
        for p in reversed(patches):
            p.stop()


SELECTION = [
    # platform.system(), machine, bitness, Android, expected (folder parts) or error message
    ("Windows", "AMD64", "32bit", False, ("windows", "Win32", "libtavoble.dll")),
    ("Windows", "AMD64", "64bit", False, ("windows", "x64", "libtavoble.dll")),
    ("Windows", "AMD64", "16bit", False, "'System.Windows' not supported"),
    ("Linux", "x86_64", "64bit", False, ("linux", "x64", "libtavoble.so")),
    ("Linux", "aarch64", "64bit", False, ("linux", "arm64", "libtavoble.so")),
    ("Linux", "armv7l", "32bit", False, "'System.Linux' not supported"),
    ("Darwin", "arm64", "64bit", False, ("mac", "universal", "libtavoble.dylib")),
    ("Darwin", "x86_64", "64bit", False, ("mac", "universal", "libtavoble.dylib")),
    ("Linux", "aarch64", "64bit", True, ("android", "arm64-v8a", "libtavoble.so")),
    ("Linux", "armv7l", "32bit", True, ("android", "armeabi-v7a", "libtavoble.so")),
    ("Linux", "x86_64", "64bit", True, "'System.Android' not supported"),
    ("FreeBSD", "amd64", "64bit", False, "'System.Unknown' not supported"),
    ("linux", "x86_64", "64bit", False, "'System.Unknown' not supported"),
]


@pytest.mark.parametrize("system,machine,bitness,android,expected", SELECTION)
def test_library_selection(system, machine, bitness, android, expected):
    module, cdll = load_fresh(system, machine, bitness, android)
    if isinstance(expected, str):
        assert isinstance(module, OSError)
        assert str(module) == expected
        cdll.assert_not_called()  # fails before any file is opened
        return
    path = os.path.join(NATIVE, *expected)
    assert (module.platform_folder, module.architecture_folder, module.library_name) == expected
    assert module.library_path == path
    cdll.assert_called_once_with(path)
    assert module.lib is cdll.return_value
    assert hasattr(module, "current_architecture") == (system == "Windows")
    if system == "Windows":
        assert module.current_architecture == bitness


def test_library_named_by_environment_comes_first():
    module, cdll = load_fresh("Linux", library="/opt/own/libtavoble.so.2")
    assert module.library_path == "/opt/own/libtavoble.so.2"
    cdll.assert_called_once_with("/opt/own/libtavoble.so.2")
    # Empty is unset; an unsupported platform still fails before any file.
    module, cdll = load_fresh("Linux", library="")
    assert module.library_path == os.path.join(NATIVE, "linux", "x64", "libtavoble.so")
    module, cdll = load_fresh("FreeBSD", library="/opt/own/libtavoble.so.2")
    assert isinstance(module, OSError)
    cdll.assert_not_called()


@pytest.mark.parametrize(
    "system,android,expected",
    [
        ("Linux", False, w.System.Linux),
        ("Linux", True, w.System.Android),
        ("Darwin", False, w.System.Mac),
        ("Windows", False, w.System.Windows),
        ("iOS", False, w.System.Unknown),
        ("Java", False, w.System.Unknown),
    ],
)
def test_get_system(system, android, expected, monkeypatch):
    monkeypatch.setattr("platform.system", lambda: system)
    if android:
        monkeypatch.setattr(sys, "getandroidapilevel", lambda: 33, raising=False)
    elif hasattr(sys, "getandroidapilevel"):
        monkeypatch.delattr(sys, "getandroidapilevel")
    assert w.get_system() is expected


def test_system_members_and_text():
    assert [(m.name, m.value) for m in w.System] == [
        ("Unknown", 1), ("Windows", 2), ("Linux", 3), ("Mac", 4), ("iOs", 5), ("Android", 6)]
    assert str(w.System.Linux) == "System.Linux"


def test_the_binding_module_takes_its_names_from_the_one_loaded_library():
    assert w.lib is native.lib and w.library_path == native.library_path
    assert (w.platform_folder, w.architecture_folder, w.library_name) == (
        native.platform_folder, native.architecture_folder, native.library_name)
    assert w.TAVOBLE_DEVICE_INFORMATION is native.TAVOBLE_DEVICE_INFORMATION and w.System is native.System
    # Outside its package it has no package to load the library from.
    with pytest.raises(ImportError):
        load_fresh("Linux", path=w.__file__, name="tavo_ble_wrapper_probe")


def test_device_information_layout_matches_the_library():
    info = w.TAVOBLE_DEVICE_INFORMATION
    assert ctypes.sizeof(info) == 1344
    offsets = {name: getattr(info, name).offset for name, _ in info._fields_}
    assert offsets == {
        "modelNumber": 0, "serialNumber": 255, "firmwareRevision": 510, "hardwareRevision": 765,
        "manufacturerName": 1020, "channelTypes": 1275, "numberOfAcquiredChannels": 1340,
        "samplingRate": 1342,
    }
    assert (w.TAVOBLE_STRING_LENGTH_MAX, w.TAVOBLE_DEVICENAME_LENGTH_MAX,
            w.TAVOBLE_NUMBER_OF_CHANNELS_MAX) == (255, 15, 64)
    assert w.TAVOBLE_HANDLE is ctypes.c_uint64


def test_result_types_of_the_prototypes():
    expected = {
        "TAVOBLE_GetApiVersion": ctypes.c_float,
        "TAVOBLE_GetLastErrorText": ctypes.c_char_p,
        "TAVOBLE_StartScanning": ctypes.c_uint32,
        "TAVOBLE_StopScanning": ctypes.c_uint32,
        "TAVOBLE_RegisterDeviceDiscoveredCallback": ctypes.c_int,
        "TAVOBLE_OpenDevice": ctypes.c_uint32,
        "TAVOBLE_CloseDevice": ctypes.c_uint32,
        "TAVOBLE_RegisterDataAvailableCallback": ctypes.c_int,
        "TAVOBLE_GetDeviceInformation": ctypes.c_uint32,
    }
    assert {name: getattr(w.lib, name).restype for name in expected} == expected


def test_api_version_is_a_float32_of_two():
    version = TavoBLEWrapper.get_api_version()
    assert type(version) is np.float32
    assert version == np.float32(2.0)


# Failures of the real library, each before it needs any Bluetooth: the call,
# the signed code behind the declared result type, and the text.
def _open_without_name():
    return w.lib.TAVOBLE_OpenDevice(None, ctypes.byref(w.TAVOBLE_HANDLE(5)))


def _open_without_handle():
    return w.lib.TAVOBLE_OpenDevice(None, None)


def _close_without_handle():
    return w.lib.TAVOBLE_CloseDevice(None)


def _close_unknown_handle():
    return w.lib.TAVOBLE_CloseDevice(ctypes.byref(w.TAVOBLE_HANDLE(987654)))


def _information_of_handle_0():
    return w.lib.TAVOBLE_GetDeviceInformation(0, ctypes.byref(w.TAVOBLE_DEVICE_INFORMATION()))


def _data_callback_on_handle_0():
    return w.lib.TAVOBLE_RegisterDataAvailableCallback(0, ctypes.cast(None, w.DataAvailableCallback))


@pytest.mark.parametrize(
    "call,code,text",
    [
        (_open_without_name, Amplifier.Error.INVALID_ARGUMENT, "Device name must not be null."),
        (_open_without_handle, Amplifier.Error.INVALID_ARGUMENT, "Handle must not be null."),
        (_close_without_handle, Amplifier.Error.INVALID_HANDLE, "Handle must not be null"),
        (_close_unknown_handle, Amplifier.Error.INVALID_HANDLE, "Couldn't get device handle."),
        (_information_of_handle_0, Amplifier.Error.INVALID_HANDLE, "Couldn't get device from handle."),
        (_data_callback_on_handle_0, Amplifier.Error.INVALID_HANDLE, "Couldn't get device from handle."),
    ],
)
def test_library_failures_become_value_errors(call, code, text):
    result = call()
    # Five functions are declared unsigned: -1 arrives as 2**32 - 1.
    assert ctypes.c_int32(result).value == code.value
    with pytest.raises(ValueError) as raised:
        TavoBLEWrapper.__handle_error__(result)
    assert raised.value.args == (text,)
    assert TavoBLEWrapper.__handle_error__(Amplifier.Error.NONE.value) is None


def test_failed_close_clears_the_callers_handle():
    handle = w.TAVOBLE_HANDLE(987654)
    assert w.lib.TAVOBLE_CloseDevice(ctypes.byref(handle)) == 1
    assert handle.value == 0


def test_amplifier_error_codes_cover_the_library():
    assert sorted(e.value for e in Amplifier.Error) == [-2, -1, 0, 1, 2, 3]
    assert Amplifier.Error.NONE.value == 0


@pytest.fixture
def no_library(monkeypatch):
    """A stand-in for the library that records every call."""
    fake = mock.MagicMock(name="lib")
    monkeypatch.setattr(w, "lib", fake)
    monkeypatch.setattr(native, "lib", fake)
    return fake


@pytest.fixture
def keep_discovery_state():
    saved = (TavoBLEWrapper._dd_callback, TavoBLEWrapper._dd_callback_internal)
    yield
    TavoBLEWrapper._dd_callback, TavoBLEWrapper._dd_callback_internal = saved


def test_start_scanning_needs_a_callback(no_library, keep_discovery_state):
    TavoBLEWrapper._dd_callback = None
    with pytest.raises(ValueError, match=r"^No device discovered callback set\.$"):
        TavoBLEWrapper.start_scanning()
    TavoBLEWrapper.set_device_discovered_callback(print)
    TavoBLEWrapper.set_device_discovered_callback(None)
    with pytest.raises(ValueError, match=r"^No device discovered callback set\.$"):
        TavoBLEWrapper.start_scanning()
    assert no_library.mock_calls == []


def test_serial_must_be_text(no_library):
    with pytest.raises(AttributeError):
        TavoBLEWrapper(b"UX-0001.00.01")
    no_library.TAVOBLE_OpenDevice.assert_not_called()


def names_buffer(*slots):
    buffer = (ctypes.c_char * 15 * max(len(slots), 1))()
    for i, raw in enumerate(slots):
        ctypes.memmove(buffer[i], raw, len(raw))
    return buffer


def test_discovered_names_arrive_as_a_list_of_str(keep_discovery_state):
    batches = []
    TavoBLEWrapper.set_device_discovered_callback(batches.append)
    internal = TavoBLEWrapper._dd_callback_internal
    slots = names_buffer(b"UX-0001.00.012", b"UX-0002.00.01\0junk", b"UX-0003.00.0123")
    internal(slots, 3)
    internal(None, 0)
    assert batches == [["UX-0001.00.012", "UX-0002.00.01", "UX-0003.00.0123"], []]
    # A new user callable takes effect through the same C-callable object.
    later = []
    TavoBLEWrapper.set_device_discovered_callback(later.append)
    assert TavoBLEWrapper._dd_callback_internal is internal
    internal(names_buffer(b"UX-0004.00.01"), 1)
    assert later == [["UX-0004.00.01"]]
    assert len(batches) == 2


# The foreign-function layer reports the decoding error and returns normally.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
def test_undecodable_name_is_listed_with_replacement_characters(keep_discovery_state):
    # One bad name over the radio must not cost the whole batch.
    batches = []
    TavoBLEWrapper.set_device_discovered_callback(batches.append)
    TavoBLEWrapper._dd_callback_internal(names_buffer(b"UX-0001.\xff\xfe"), 1)
    assert batches == [["UX-0001.\ufffd\ufffd"]]


def bare_wrapper(channel_types=(), **fields):
    """An instance as the constructor leaves it, with a record of our own and
    handle 0, so no device is opened."""
    obj = TavoBLEWrapper.__new__(TavoBLEWrapper)
    obj._data_callback = None
    obj._TavoBLEWrapper__hDevice = w.TAVOBLE_HANDLE(0)
    obj._TavoBLEWrapper__device = None
    info = w.TAVOBLE_DEVICE_INFORMATION()
    for i, code in enumerate(channel_types):
        info.channelTypes[i] = code
    for name, value in fields.items():
        setattr(info, name, value)
    obj._TavoBLEWrapper__device_info = info
    obj._data_callback_internal = w.DataAvailableCallback(obj._data_callback_wrapper)
    return obj


@pytest.mark.parametrize(
    "types,expected",
    [
        ((3, 0, 5), [3, 5]),
        ((1, 1, 5, 4, 9), [1, 1, 5, 4, 9]),
        ((0, 7, 0, 0, 8) + (0,) * 58 + (9,), [7, 8, 9]),
        ((), []),
    ],
)
def test_channel_types_leave_out_zeros(types, expected):
    assert bare_wrapper(types).channel_types == expected


def test_properties_read_the_record():
    device = bare_wrapper(
        (1, 4, 9),
        modelNumber=b"UX", serialNumber=b"UX-0001.00.01", firmwareRevision=b"1.2",
        hardwareRevision=b"B", manufacturerName="Ma\u00dfe".encode("utf-8"),
        numberOfAcquiredChannels=3, samplingRate=250,
    )
    assert (device.model_number, device.serial_number, device.firmware_version,
            device.hardware_version, device.manufacturer_name) == (
        "UX", "UX-0001.00.01", "1.2", "B", "Ma\u00dfe")
    assert (device.no_of_acquired_channels, device.sampling_rate, device.handle) == (3, 250, 0)
    assert type(device.sampling_rate) is int
    device._TavoBLEWrapper__device_info.serialNumber = b"\xff"
    assert device.serial_number == "\ufffd"


def test_each_scan_is_a_fresh_float32_copy():
    device = bare_wrapper()
    received = []
    device.set_data_callback(received.append)
    buffer = (ctypes.c_float * 10)(*range(10))
    device._data_callback_internal(1, buffer, 10)
    for i in range(10):
        buffer[i] = -1.0
    device._data_callback_internal(1, buffer, 10)
    device._data_callback_internal(1, buffer, 4)
    first, second, short = received
    assert first.dtype == np.float32 and first.shape == (10,)
    assert first.tolist() == list(range(10))  # untouched by the reuse of the buffer
    assert second.tolist() == [-1.0] * 10
    assert len(short) == 4
    device.set_data_callback(None)
    device._data_callback_internal(1, buffer, 10)
    assert len(received) == 3


def test_start_and_stop_on_a_handle_that_is_not_open():
    device = bare_wrapper()
    with pytest.raises(ValueError, match=r"^No data callback set\.$"):
        device.start()
    device.set_data_callback(print)
    for call in (device.start, device.stop):
        with pytest.raises(ValueError, match=r"^Couldn't get device from handle\.$"):
            call()
    device.__del__()  # the close fails and is swallowed


def test_exit_hook_stops_and_closes_what_is_open(no_library, monkeypatch):
    # The account of what is open, as the native layer keeps it: handle 7
    # streams, handle 8 is only open, and a scan runs.
    monkeypatch.setattr(native, "_open", {7: True, 8: False})
    monkeypatch.setattr(native, "_scanning", True)
    monkeypatch.setattr(native, "_exiting", False)
    native._close_at_exit()
    data_calls = no_library.TAVOBLE_RegisterDataAvailableCallback.call_args_list
    assert [c.args[0] for c in data_calls] == [7]
    assert not data_calls[0].args[1]  # a null callback stops the stream
    closed = [c.args[0]._obj.value for c in no_library.TAVOBLE_CloseDevice.call_args_list]
    assert sorted(closed) == [7, 8]
    assert no_library.TAVOBLE_StopScanning.call_count == 1
    # After it, nothing is opened, registered or closed any more.
    no_library.reset_mock()
    native.register_data(9, None)
    native.close_device(7)
    native.start_scanning(None)
    assert no_library.mock_calls == []


def test_scan_fan_out_starts_once_and_stops_with_the_last(no_library, monkeypatch, keep_discovery_state):
    no_library.TAVOBLE_RegisterDeviceDiscoveredCallback.return_value = 0
    no_library.TAVOBLE_StartScanning.return_value = 0
    monkeypatch.setattr(discovery, "_subscribers", [])
    batches = []
    TavoBLEWrapper.set_device_discovered_callback(batches.append)
    with discovery.searching() as lists:
        TavoBLEWrapper.start_scanning()
        assert no_library.TAVOBLE_StartScanning.call_count == 1
        discovery._on_discovered(names_buffer(b"UX-0001.00.01"), 1)
        assert batches == [["UX-0001.00.01"]] and lists.get_nowait() == ["UX-0001.00.01"]
        TavoBLEWrapper.stop_scanning()
        assert no_library.TAVOBLE_StopScanning.call_count == 0  # the search goes on
        discovery._on_discovered(names_buffer(b"UX-0002.00.01"), 1)
        assert len(batches) == 1 and lists.get_nowait() == ["UX-0002.00.01"]
    assert no_library.TAVOBLE_StopScanning.call_count == 1
