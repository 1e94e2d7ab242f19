"""Output files: checked before anything is searched for, never overwritten
unless asked, and their names (the JSON sidecar, one file per amplifier)."""
import os
from typing import List, Optional, Sequence

from .errors import OutputPathError


def sidecar_path(path: str) -> str:
    """The JSON file beside a recording: FILE.bdf -> FILE.json."""
    root, _ = os.path.splitext(path)
    return root + ".json"


def file_for_serial(path: str, serial: str) -> str:
    """With several amplifiers, one file each: FILE.bdf -> FILE_<serial>.bdf."""
    root, ext = os.path.splitext(path)
    safe = "".join(ch if ch.isalnum() or ch in "-." else "_" for ch in serial)
    return "%s_%s%s" % (root, safe, ext or ".bdf")


def recording_paths(path: str, serials: Sequence[str]) -> List[str]:
    """The file of each amplifier: `path` itself for one, FILE_<serial>.bdf for several."""
    return [path] if len(serials) == 1 else [file_for_serial(path, s) for s in serials]


def check_output(path: str, overwrite: bool = False, extension: Optional[str] = None,
                 sidecar: bool = False) -> None:
    """Raises ``OutputPathError`` when `path` cannot be written as a new file.

    `extension` (".bdf") is required when given; with `sidecar` the JSON file
    beside it counts too. An existing file is refused unless `overwrite`.
    """
    if not path:
        raise OutputPathError("no output file given")
    if extension and not path.lower().endswith(extension):
        raise OutputPathError("%s is not a %s file" % (path, extension))
    if os.path.isdir(path):
        raise OutputPathError("%s is a folder" % path)
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise OutputPathError("%s cannot be written: the folder %s does not exist" % (path, folder))
    if not os.access(folder, os.W_OK):
        raise OutputPathError("%s cannot be written: the folder %s is not writable" % (path, folder))
    existing = [p for p in [path] + ([sidecar_path(path)] if sidecar else []) if os.path.exists(p)]
    if existing and not overwrite:
        raise OutputPathError("%s already exists; it is kept (overwriting must be asked for)"
                              % " and ".join(existing))
    for p in existing:
        if not os.access(p, os.W_OK):
            raise OutputPathError("%s cannot be written" % p)
