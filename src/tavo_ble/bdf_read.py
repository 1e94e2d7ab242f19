"""Reading a BDF+ file back with EDFlib's reader: physical values and annotations."""
import ctypes
import os
from dataclasses import dataclass
from typing import List, Optional, Tuple

import numpy as np

from .edflib import BdfError, _Annotation, _Header, load


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
    lib, _ = load()
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
