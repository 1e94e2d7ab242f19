"""Typed exceptions for the library's result codes.

Every failure of a library call becomes an ``Error`` (a ``ValueError``, so
code written against the plain binding keeps working) carrying the result
code and the library's own text, as the subclass for that code.
"""
from __future__ import annotations

from typing import Dict, Type


class Error(ValueError):
    """A library call failed; ``code`` is its result code, ``text`` its reason."""

    code: int = 0

    def __init__(self, text: str, code: int = 0) -> None:
        super().__init__(text)
        self.text = text
        self.code = code


class ArgumentError(Error):
    """An invalid argument, or a failure that is not the library's own (-1)."""


class PayloadError(Error):
    """A data notification of the wrong size (-2)."""


class HandleError(Error):
    """The handle is null or names no open device (1)."""


class AdapterError(Error):
    """No usable Bluetooth adapter: none, several, or switched off (2)."""


class SessionError(Error):
    """The amplifier could not be found, connected or configured (3)."""


_BY_CODE: Dict[int, Type[Error]] = {
    -2: PayloadError,
    -1: ArgumentError,
    1: HandleError,
    2: AdapterError,
    3: SessionError,
}


def signed_code(raw: int) -> int:
    """The library's int32 result code from what ctypes read as uint32."""
    raw = int(raw) & 0xFFFFFFFF
    return raw - (1 << 32) if raw & 0x80000000 else raw


def error_for(code: int, text: str) -> Error:
    """The exception for result `code` (an unknown code gives a plain Error)."""
    return _BY_CODE.get(code, Error)(text, code)


class OutputPathError(ValueError):
    """An output file that cannot be used: it exists (and overwriting was not
    asked for), its extension is wrong, or its folder is missing or not
    writable. Raised before anything is searched for or written."""


class RecordingWriteError(OSError):
    """Writing a recording failed (no space, the file size limit, permission);
    ``path`` names the file and ``reason`` says why. The recording has stopped
    and the file on disk is valid up to its last whole second."""

    def __init__(self, path: str, code: int) -> None:
        self.path = path
        self.reason = describe_errno(code)
        super().__init__(code, "cannot write %s: %s" % (path, self.reason))

    def __str__(self) -> str:
        return str(self.args[1])


def describe_errno(code: int) -> str:
    """A reader's words for why a write failed."""
    import errno
    import os

    if code == errno.ENOSPC:
        return "no space left on the device"
    if code == errno.EFBIG:
        return "the file is too large (the file size limit was reached)"
    if code in (errno.EACCES, errno.EPERM, errno.EROFS):
        return "permission denied"
    if code == getattr(errno, "EDQUOT", -1):
        return "the disk quota is used up"
    return os.strerror(code) if code else "the write failed"
