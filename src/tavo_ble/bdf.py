"""BDF+ files through EDFlib (Debian's libedf1), loaded with ctypes.

EDFlib is the reference writer and reader of EDF/BDF; going through ctypes keeps
the package free of compiled extensions. BDF stores 24-bit samples, exactly the
amplifier's sample width, so every signal here uses the whole 24-bit digital
range and this module converts physical values to digital ones itself (rounded,
clipped and counted), so that a value reads back within half a digital step.

EDFlib writes with stdio and fills the header's data-record count only when the
file is closed. After every data record the writer flushes stdio and writes the
count into the header itself, so a process killed mid-recording leaves a file
that readers open up to its last whole data record. Annotations are written by
EDFlib at close only; a killed recording keeps its samples but not them (the
recorder keeps a copy in its sidecar).

A write that fails (no space left, the file size limit, permissions) raises
``BdfWriteError``; closing the writer then leaves a valid file: its data
records cut to the last whole one on disk, the header's count equal to
them, and EDFlib's annotations in them.
"""
import ctypes
import datetime
import errno
import os
from dataclasses import dataclass
from typing import Dict, Optional, Sequence, Tuple

import numpy as np

from .bdf_read import BdfContents, read  # noqa: F401 (read back through this module too)
from .edflib import _MAX_ANNOTATION_LEN, BdfError, load
from .errors import RecordingWriteError

DIGITAL_MIN = -8388608
DIGITAL_MAX = 8388607
FILETYPE_BDFPLUS = 3
# The header's "number of data records" field: 8 ASCII characters at byte 236.
_RECORD_COUNT_OFFSET = 236
_RECORD_COUNT_WIDTH = 8
# The header: its length at byte 184, the signal count at byte 252, and each
# signal's samples per record in its 8-byte field after 216 bytes per signal.
_HEADER_BYTES_OFFSET = 184
_SIGNALS_OFFSET = 252


# A failed write of a file (see the module).
BdfWriteError = RecordingWriteError


@dataclass(frozen=True)
class Signal:
    """One signal of a file: label, unit, samples per second, physical range."""

    label: str
    unit: str
    rate: int
    physical_min: float
    physical_max: float


def _digital_scale(signal: Signal) -> Tuple[float, float]:
    """(step, offset) as readers use them: physical = step * (offset + digital)."""
    step = (signal.physical_max - signal.physical_min) / (DIGITAL_MAX - DIGITAL_MIN)
    return step, signal.physical_max / step - DIGITAL_MAX


def to_digital(signal: Signal, values: np.ndarray, counted: Optional[np.ndarray] = None) -> Tuple[np.ndarray, int]:
    """Digital samples for `values` and how many lay outside the range (clipped),
    counting only where `counted` (default: everywhere)."""
    step, offset = _digital_scale(signal)
    values = np.asarray(values, dtype=np.float64)
    finite = np.nan_to_num(values, nan=0.0, posinf=signal.physical_max, neginf=signal.physical_min)
    outside = (values < signal.physical_min) | (values > signal.physical_max)
    clipped = int(np.count_nonzero(outside if counted is None else outside & counted))
    digital = np.rint(np.clip(finite, signal.physical_min, signal.physical_max) / step - offset)
    return np.clip(digital, DIGITAL_MIN, DIGITAL_MAX).astype(np.int32), clipped


def _check(result: int, what: str) -> None:
    if result != 0:
        raise BdfError("EDFlib: %s failed (%d)" % (what, result))


def _ascii(text: str, width: int) -> bytes:
    return text.encode("ascii", "replace")[:width]


def _layout(path: str) -> Tuple[int, int]:
    """(header bytes, bytes per data record) from a file's header."""
    with open(path, "rb") as f:
        head = f.read(256)
        header_bytes = int(head[_HEADER_BYTES_OFFSET:_HEADER_BYTES_OFFSET + 8])
        signals = int(head[_SIGNALS_OFFSET:_SIGNALS_OFFSET + 4])
        f.seek(256 + signals * 216)
        counts = f.read(signals * 8)
    return header_bytes, 3 * sum(int(counts[8 * i:8 * i + 8]) for i in range(signals))


class BdfWriter:
    """A BDF+ file written one data record (one second) at a time."""

    def __init__(self, path: str, signals: Sequence[Signal], start: datetime.datetime,
                 equipment: str = "", recording: str = "", patient_code: str = "X",
                 prefilter: str = "") -> None:
        lib, _ = load()
        if not signals:
            raise ValueError("a file needs at least one signal")
        self.path = path
        self.signals = list(signals)
        self.records = 0
        self.failed: Optional[BdfWriteError] = None
        self._layout: Optional[Tuple[int, int]] = None  # (header bytes, bytes per data record)
        self.clipped: Dict[str, int] = {s.label: 0 for s in signals}
        ctypes.set_errno(0)
        handle = lib.edfopen_file_writeonly(os.fsencode(path), FILETYPE_BDFPLUS, len(signals))
        if handle < 0:
            if ctypes.get_errno():
                raise BdfWriteError(path, ctypes.get_errno())
            raise BdfError("EDFlib cannot create %s (%d)" % (path, handle))
        self._handle: Optional[int] = handle
        try:
            for n, s in enumerate(self.signals):
                _check(lib.edf_set_samplefrequency(handle, n, int(s.rate)), "sampling rate")
                _check(lib.edf_set_physical_maximum(handle, n, float(s.physical_max)), "physical maximum")
                _check(lib.edf_set_physical_minimum(handle, n, float(s.physical_min)), "physical minimum")
                _check(lib.edf_set_digital_maximum(handle, n, DIGITAL_MAX), "digital maximum")
                _check(lib.edf_set_digital_minimum(handle, n, DIGITAL_MIN), "digital minimum")
                _check(lib.edf_set_label(handle, n, _ascii(s.label, 16)), "label")
                _check(lib.edf_set_physical_dimension(handle, n, _ascii(s.unit, 8)), "unit")
                if prefilter:
                    _check(lib.edf_set_prefilter(handle, n, _ascii(prefilter, 80)), "prefilter")
            _check(lib.edf_set_startdatetime(handle, start.year, start.month, start.day,
                                             start.hour, start.minute, start.second), "start time")
            _check(lib.edf_set_subsecond_starttime(handle, start.microsecond * 10), "start time")
            _check(lib.edf_set_patientcode(handle, _ascii(patient_code, 80)), "patient code")
            _check(lib.edf_set_equipment(handle, _ascii(equipment, 80)), "equipment")
            _check(lib.edf_set_recording_additional(handle, _ascii(recording, 80)), "recording")
            # Room for several annotations per second (lost samples, markers).
            _check(lib.edf_set_number_of_annotation_signals(handle, 4), "annotation signals")
        except Exception:
            lib.edfclose_file(handle)
            self._handle = None
            raise

    def write_record(self, columns: Sequence[np.ndarray], measured: Optional[np.ndarray] = None) -> None:
        """Write one data record: for each signal exactly `rate` physical values.

        Values beyond a signal's range are clipped; they are counted where
        `measured` is true (default: everywhere), not in fillers."""
        lib, libc = load()
        if self._handle is None:
            raise BdfError("the file is closed")
        if self.failed is not None:
            raise self.failed
        if len(columns) != len(self.signals):
            raise ValueError("one column per signal needed")
        buffers = []
        for s, col in zip(self.signals, columns):
            if len(col) != s.rate:
                raise ValueError("signal %s needs %d values per record" % (s.label, s.rate))
            digital, clipped = to_digital(s, col, measured)
            self.clipped[s.label] += clipped
            buffers.append(np.ascontiguousarray(digital, dtype=np.intc))
        ctypes.set_errno(0)
        for buf in buffers:
            # EDFlib takes the signals of a record in order, one call each.
            if lib.edfwrite_digital_samples(self._handle, buf.ctypes.data_as(ctypes.POINTER(ctypes.c_int))) != 0:
                self._fail(ctypes.get_errno())
        if libc.fflush(None) != 0:
            self._fail(ctypes.get_errno())
        self.records += 1
        try:
            # EDFlib does not report every failed write of its stream: the
            # file's size tells whether the whole record reached it.
            if self._layout is None:
                self._layout = _layout(self.path)
            header_bytes, record_bytes = self._layout
            if os.path.getsize(self.path) < header_bytes + self.records * record_bytes:
                self._fail(ctypes.get_errno())
            self._write_record_count(self.records)
        except OSError as error:
            if error is self.failed:
                raise
            self._fail(error.errno or 0)

    def _fail(self, code: int) -> None:
        self.failed = BdfWriteError(self.path, code or errno.EIO)
        raise self.failed

    def _write_record_count(self, records: int) -> None:
        field = str(records).ljust(_RECORD_COUNT_WIDTH).encode("ascii")
        fd = os.open(self.path, os.O_WRONLY)
        try:
            os.pwrite(fd, field, _RECORD_COUNT_OFFSET)
        finally:
            os.close(fd)

    def _repair(self) -> None:
        # After a failed write: the file keeps its whole data records only,
        # and the header counts them (readers refuse a file whose size
        # disagrees with its header).
        header_bytes, record_bytes = self._layout or _layout(self.path)
        size = os.path.getsize(self.path)
        whole = min(self.records, max(0, (size - header_bytes) // record_bytes))
        os.truncate(self.path, header_bytes + whole * record_bytes)
        self._write_record_count(whole)
        self.records = whole

    def annotate(self, onset: float, text: str, duration: Optional[float] = None) -> None:
        """An annotation `onset` seconds after the start (kept to 0.1 ms)."""
        lib, _ = load()
        if self._handle is None:
            raise BdfError("the file is closed")
        ticks = int(round(max(onset, 0.0) * 10000))
        length = -1 if duration is None else int(round(duration * 10000))
        data = text.encode("utf-8")[:_MAX_ANNOTATION_LEN]
        _check(lib.edfwrite_annotation_utf8(self._handle, ticks, length, data), "annotation")

    def close(self) -> None:
        """Write the annotations and the final header; idempotent. After a failed
        write the file is cut to its whole data records (see the module)."""
        if self._handle is None:
            return
        lib, _ = load()
        handle, self._handle = self._handle, None
        result = lib.edfclose_file(handle)
        if self.failed is not None:
            self._repair()
            return
        _check(result, "closing %s" % self.path)
