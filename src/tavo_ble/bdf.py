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
"""
import ctypes
import ctypes.util
import datetime
import os
from dataclasses import dataclass
from typing import Dict, List, Optional, Sequence, Tuple

import numpy as np

DIGITAL_MIN = -8388608
DIGITAL_MAX = 8388607
FILETYPE_BDFPLUS = 3
# The header's "number of data records" field: 8 ASCII characters at byte 236.
_RECORD_COUNT_OFFSET = 236
_RECORD_COUNT_WIDTH = 8
_MAX_ANNOTATION_LEN = 512
_MAX_SIGNALS = 640


class BdfError(OSError):
    """EDFlib refused a file or a call."""


class _Param(ctypes.Structure):
    _fields_ = [
        ("label", ctypes.c_char * 17),
        ("smp_in_file", ctypes.c_longlong),
        ("phys_max", ctypes.c_double),
        ("phys_min", ctypes.c_double),
        ("dig_max", ctypes.c_int),
        ("dig_min", ctypes.c_int),
        ("smp_in_datarecord", ctypes.c_int),
        ("physdimension", ctypes.c_char * 9),
        ("prefilter", ctypes.c_char * 81),
        ("transducer", ctypes.c_char * 81),
    ]


class _Annotation(ctypes.Structure):
    _fields_ = [
        ("onset", ctypes.c_longlong),
        ("duration_l", ctypes.c_longlong),
        ("duration", ctypes.c_char * 16),
        ("annotation", ctypes.c_char * (_MAX_ANNOTATION_LEN + 1)),
    ]


_TEXT81 = ctypes.c_char * 81


class _Header(ctypes.Structure):
    _fields_ = [
        ("handle", ctypes.c_int),
        ("filetype", ctypes.c_int),
        ("edfsignals", ctypes.c_int),
        ("file_duration", ctypes.c_longlong),
        ("startdate_day", ctypes.c_int),
        ("startdate_month", ctypes.c_int),
        ("startdate_year", ctypes.c_int),
        ("starttime_subsecond", ctypes.c_longlong),
        ("starttime_second", ctypes.c_int),
        ("starttime_minute", ctypes.c_int),
        ("starttime_hour", ctypes.c_int),
        ("patient", _TEXT81),
        ("recording", _TEXT81),
        ("patientcode", _TEXT81),
        ("gender", ctypes.c_char * 16),
        ("birthdate", ctypes.c_char * 16),
        ("birthdate_day", ctypes.c_int),
        ("birthdate_month", ctypes.c_int),
        ("birthdate_year", ctypes.c_int),
        ("patient_name", _TEXT81),
        ("patient_additional", _TEXT81),
        ("admincode", _TEXT81),
        ("technician", _TEXT81),
        ("equipment", _TEXT81),
        ("recording_additional", _TEXT81),
        ("datarecord_duration", ctypes.c_longlong),
        ("datarecords_in_file", ctypes.c_longlong),
        ("annotations_in_file", ctypes.c_longlong),
        ("signalparam", _Param * _MAX_SIGNALS),
    ]


_edf = None
_libc = None


def _load():
    """EDFlib and libc with their prototypes; loaded on first use."""
    global _edf, _libc
    if _edf is not None:
        return _edf, _libc
    name = ctypes.util.find_library("edf") or "libedf.so.1"
    try:
        lib = ctypes.CDLL(name)
    except OSError as exc:
        raise BdfError("EDFlib is not installed (Debian package libedf1): %s" % exc) from None
    i, c, d, ll = ctypes.c_int, ctypes.c_char_p, ctypes.c_double, ctypes.c_longlong
    protos = {
        "edfopen_file_writeonly": (i, [c, i, i]),
        "edf_set_samplefrequency": (i, [i, i, i]),
        "edf_set_physical_maximum": (i, [i, i, d]),
        "edf_set_physical_minimum": (i, [i, i, d]),
        "edf_set_digital_maximum": (i, [i, i, i]),
        "edf_set_digital_minimum": (i, [i, i, i]),
        "edf_set_label": (i, [i, i, c]),
        "edf_set_physical_dimension": (i, [i, i, c]),
        "edf_set_startdatetime": (i, [i, i, i, i, i, i, i]),
        "edf_set_subsecond_starttime": (i, [i, i]),
        "edf_set_equipment": (i, [i, c]),
        "edf_set_recording_additional": (i, [i, c]),
        "edf_set_patientcode": (i, [i, c]),
        "edf_set_datarecord_duration": (i, [i, i]),
        "edf_set_number_of_annotation_signals": (i, [i, i]),
        "edfwrite_digital_samples": (i, [i, ctypes.POINTER(ctypes.c_int)]),
        "edfwrite_annotation_utf8": (i, [i, ll, ll, c]),
        "edfclose_file": (i, [i]),
        "edfopen_file_readonly": (i, [c, ctypes.POINTER(_Header), i]),
        "edfread_physical_samples": (i, [i, i, i, ctypes.POINTER(ctypes.c_double)]),
        "edf_get_annotation": (i, [i, i, ctypes.POINTER(_Annotation)]),
    }
    for fname, (res, args) in protos.items():
        fn = getattr(lib, fname)
        fn.restype = res
        fn.argtypes = args
    libc = ctypes.CDLL(None)
    libc.fflush.argtypes = [ctypes.c_void_p]
    libc.fflush.restype = ctypes.c_int
    _edf, _libc = lib, libc
    return lib, libc


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


def to_digital(signal: Signal, values: np.ndarray) -> Tuple[np.ndarray, int]:
    """Digital samples for `values` and how many lay outside the range (clipped)."""
    step, offset = _digital_scale(signal)
    values = np.asarray(values, dtype=np.float64)
    finite = np.nan_to_num(values, nan=0.0, posinf=signal.physical_max, neginf=signal.physical_min)
    clipped = int(np.count_nonzero((values < signal.physical_min) | (values > signal.physical_max)))
    digital = np.rint(np.clip(finite, signal.physical_min, signal.physical_max) / step - offset)
    return np.clip(digital, DIGITAL_MIN, DIGITAL_MAX).astype(np.int32), clipped


def _check(result: int, what: str) -> None:
    if result != 0:
        raise BdfError("EDFlib: %s failed (%d)" % (what, result))


def _ascii(text: str, width: int) -> bytes:
    return text.encode("ascii", "replace")[:width]


class BdfWriter:
    """A BDF+ file written one data record (one second) at a time."""

    def __init__(self, path: str, signals: Sequence[Signal], start: datetime.datetime,
                 equipment: str = "", recording: str = "", patient_code: str = "X") -> None:
        lib, _ = _load()
        if not signals:
            raise ValueError("a file needs at least one signal")
        self.path = path
        self.signals = list(signals)
        self.records = 0
        self.clipped: Dict[str, int] = {s.label: 0 for s in signals}
        handle = lib.edfopen_file_writeonly(os.fsencode(path), FILETYPE_BDFPLUS, len(signals))
        if handle < 0:
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

    def write_record(self, columns: Sequence[np.ndarray]) -> None:
        """Write one data record: for each signal exactly `rate` physical values."""
        lib, libc = _load()
        if self._handle is None:
            raise BdfError("the file is closed")
        if len(columns) != len(self.signals):
            raise ValueError("one column per signal needed")
        for n, (s, col) in enumerate(zip(self.signals, columns)):
            if len(col) != s.rate:
                raise ValueError("signal %s needs %d values per record" % (s.label, s.rate))
            digital, clipped = to_digital(s, col)
            self.clipped[s.label] += clipped
            buf = np.ascontiguousarray(digital, dtype=np.intc)
            # EDFlib takes the signals of a record in order, one call each.
            ptr = buf.ctypes.data_as(ctypes.POINTER(ctypes.c_int))
            _check(lib.edfwrite_digital_samples(self._handle, ptr), "writing signal %d" % n)
        self.records += 1
        libc.fflush(None)
        self._write_record_count()

    def _write_record_count(self) -> None:
        field = str(self.records).ljust(_RECORD_COUNT_WIDTH).encode("ascii")
        fd = os.open(self.path, os.O_WRONLY)
        try:
            os.pwrite(fd, field, _RECORD_COUNT_OFFSET)
        finally:
            os.close(fd)

    def annotate(self, onset: float, text: str, duration: Optional[float] = None) -> None:
        """An annotation `onset` seconds after the start (kept to 0.1 ms)."""
        lib, _ = _load()
        if self._handle is None:
            raise BdfError("the file is closed")
        ticks = int(round(max(onset, 0.0) * 10000))
        length = -1 if duration is None else int(round(duration * 10000))
        data = text.encode("utf-8")[:_MAX_ANNOTATION_LEN]
        _check(lib.edfwrite_annotation_utf8(self._handle, ticks, length, data), "annotation")

    def close(self) -> None:
        """Write the annotations and the final header; idempotent."""
        if self._handle is None:
            return
        lib, _ = _load()
        handle, self._handle = self._handle, None
        _check(lib.edfclose_file(handle), "closing %s" % self.path)


@dataclass
class BdfContents:
    """What EDFlib's reader finds in a file."""

    filetype: int
    labels: List[str]
    units: List[str]
    rates: List[int]
    data: List[np.ndarray]
    annotations: List[Tuple[float, Optional[float], str]]
    equipment: str
    recording_additional: str
    records: int
    start: Tuple[int, int, int, int, int, int, int]


def read(path: str) -> BdfContents:
    """Read a whole file with EDFlib's reader (physical values, annotations)."""
    lib, _ = _load()
    hdr = _Header()
    if lib.edfopen_file_readonly(os.fsencode(path), ctypes.byref(hdr), 1) < 0:
        raise BdfError("EDFlib cannot read %s (%d)" % (path, hdr.filetype))
    try:
        labels, units, rates, data = [], [], [], []
        for n in range(hdr.edfsignals):
            p = hdr.signalparam[n]
            labels.append(p.label.decode("ascii").strip())
            units.append(p.physdimension.decode("ascii").strip())
            rates.append(p.smp_in_datarecord)
            buf = np.zeros(p.smp_in_file, dtype=np.float64)
            if p.smp_in_file:
                got = lib.edfread_physical_samples(
                    hdr.handle, n, int(p.smp_in_file), buf.ctypes.data_as(ctypes.POINTER(ctypes.c_double)))
                if got < 0:
                    raise BdfError("EDFlib cannot read signal %d of %s" % (n, path))
                buf = buf[:got]
            data.append(buf)
        annotations = []
        for n in range(hdr.annotations_in_file):
            a = _Annotation()
            if lib.edf_get_annotation(hdr.handle, n, ctypes.byref(a)) == 0:
                duration = None if a.duration_l < 0 else a.duration_l / 1e7
                annotations.append((a.onset / 1e7, duration, a.annotation.decode("utf-8")))
        start = (hdr.startdate_year, hdr.startdate_month, hdr.startdate_day, hdr.starttime_hour,
                 hdr.starttime_minute, hdr.starttime_second, int(hdr.starttime_subsecond))
        return BdfContents(hdr.filetype, labels, units, rates, data, annotations,
                           hdr.equipment.decode("ascii", "replace").strip(),
                           hdr.recording_additional.decode("ascii", "replace").strip(),
                           int(hdr.datarecords_in_file), start)
    finally:
        lib.edfclose_file(hdr.handle)
