"""EDFlib (Debian's libedf1) loaded with ctypes: its prototypes and structures.

EDFlib is the reference writer and reader of EDF/BDF; going through ctypes
keeps the package free of compiled extensions. Loaded on first use.
"""
import ctypes
import ctypes.util

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


def load():
    """EDFlib and libc (both setting errno for ctypes.get_errno) with their prototypes."""
    global _edf, _libc
    if _edf is not None:
        return _edf, _libc
    name = ctypes.util.find_library("edf") or "libedf.so.1"
    try:
        lib = ctypes.CDLL(name, use_errno=True)
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
        "edf_set_prefilter": (i, [i, i, c]),
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
    libc = ctypes.CDLL(None, use_errno=True)
    libc.fflush.argtypes = [ctypes.c_void_p]
    libc.fflush.restype = ctypes.c_int
    _edf, _libc = lib, libc
    return lib, libc


