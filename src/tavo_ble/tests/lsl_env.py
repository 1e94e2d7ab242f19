"""Lab Streaming Layer for the tests.

liblsl and pylsl come from the shared third-party folder (``../shared/third-party``
beside the repository, or ``TAVOBLE_THIRD_PARTY``): ``scripts/third-party-lsl.sh``
builds liblsl once into a cache keyed by the archive's hash. Where the folder is
absent (a fresh clone) the tests that need LSL skip, saying why.

liblsl's defaults send stream queries by multicast and broadcast on every network
interface. Every process that loads liblsl must therefore run with ``LSLAPICFG``
naming a configuration that keeps LSL on the loopback interface: ``confine()``,
run by conftest.py before any test module is imported, writes a copy of the
folder's configuration with a SessionID of this run (parallel runs do not see each
other's streams) and sets ``LSLAPICFG`` for this process and every child. The
``pylsl`` fixture loads pylsl only after that.
"""
import atexit
import configparser
import io
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import uuid
from typing import Dict, Optional

import pytest

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
SCRIPT = os.path.join(REPO, "scripts", "third-party-lsl.sh")


def third_party() -> str:
    return os.environ.get("TAVOBLE_THIRD_PARTY") or os.path.join(REPO, "..", "shared", "third-party")


_config: Optional[str] = None
_environment: Optional[Dict[str, str]] = None


def loopback_config(text: str, session: str) -> Optional[str]:
    """The LSL configuration `text` with its own SessionID and the known peers
    where liblsl reads them (section [lab]), or None unless it keeps every
    query on 127.0.0.1.

    With the peers only in [multicast], liblsl sends no unicast queries, and
    of several outlets on this machine only the one that bound the query port
    last answers: the others cannot be found.
    """
    parser = configparser.ConfigParser(interpolation=None, strict=False)
    parser.optionxform = str  # keys as liblsl spells them
    parser.read_string(text)
    multicast = parser["multicast"] if parser.has_section("multicast") else {}
    if multicast.get("ResolveScope") != "machine" or multicast.get("MachineAddresses") != "{127.0.0.1}":
        return None
    if not parser.has_section("lab"):
        parser.add_section("lab")
    parser["lab"]["SessionID"] = session
    peers = parser["lab"].get("KnownPeers") or multicast.get("KnownPeers") or "{127.0.0.1}"
    if peers.replace(" ", "") != "{127.0.0.1}":
        return None
    parser["lab"]["KnownPeers"] = "{127.0.0.1}"
    out = io.StringIO()
    parser.write(out)
    return out.getvalue()


def confine() -> Optional[str]:
    """Sets LSLAPICFG to a loopback-only configuration of this run; its path,
    or None without the third-party folder (then no liblsl of ours can load)."""
    global _config
    if _config is not None:
        return _config
    source = os.path.join(third_party(), "lsl_api.cfg")
    if not os.path.isfile(source):
        return None
    with open(source, encoding="utf-8") as f:
        text = loopback_config(f.read(), "tavoble-test-%d-%s" % (os.getpid(), uuid.uuid4().hex[:8]))
    if text is None:
        return None
    folder = tempfile.mkdtemp(prefix="tavoble-lsl-")
    atexit.register(shutil.rmtree, folder, True)
    path = os.path.join(folder, "lsl_api.cfg")
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    os.environ["LSLAPICFG"] = path
    _config = path
    return path


def environment() -> Dict[str, str]:
    """liblsl and pylsl ready for this process and its children (os.environ,
    sys.path); a copy of os.environ for children. Skips the test when the
    third-party folder is absent; fails when liblsl cannot be built."""
    global _environment
    if _environment is not None:
        return dict(_environment)
    config = confine()
    if config is None:
        pytest.skip("LSL tests need liblsl, pylsl and a loopback-only lsl_api.cfg from the third-party "
                    "folder, absent here: %s (or set TAVOBLE_THIRD_PARTY)" % os.path.abspath(third_party()))
    env = dict(os.environ, TAVOBLE_THIRD_PARTY=third_party())
    result = subprocess.run(["bash", SCRIPT], capture_output=True, text=True, env=env)
    if result.returncode == 3:
        pytest.skip("LSL tests need liblsl and pylsl from the third-party folder: %s" % result.stderr.strip())
    if result.returncode != 0:
        pytest.fail("scripts/third-party-lsl.sh failed:\n%s" % result.stderr)
    exported = {}
    for line in result.stdout.splitlines():
        words = shlex.split(line)
        if len(words) == 2 and words[0] == "export" and "=" in words[1]:
            key, value = words[1].split("=", 1)
            exported[key] = value
    # The library, and pylsl on the path; LSLAPICFG stays this run's own copy.
    os.environ["PYLSL_LIB"] = exported["PYLSL_LIB"]
    source = exported["TAVOBLE_PYLSL_SRC"]
    if source not in sys.path:
        sys.path.insert(0, source)
    paths = [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    if source not in paths:
        os.environ["PYTHONPATH"] = os.pathsep.join([source] + paths)
    _environment = dict(os.environ)
    return dict(_environment)


def import_pylsl():
    """pylsl over the third-party liblsl, loaded only with this run's LSLAPICFG."""
    environment()
    assert os.path.isfile(os.environ.get("LSLAPICFG", "")), "LSLAPICFG must name a file before liblsl loads"
    import pylsl

    return pylsl


@pytest.fixture(scope="module")
def pylsl():
    """The pylsl module, confined to this machine (skips without the third-party folder)."""
    return import_pylsl()


def open_inlet(pylsl, source_id, timeout=10.0, **options):
    """An inlet on the stream with this source_id, connected."""
    found = pylsl.resolve_byprop("source_id", source_id, 1, timeout)
    assert found, "no LSL stream with source_id %r" % source_id
    inlet = pylsl.StreamInlet(found[0], **options)
    inlet.open_stream(timeout)
    return inlet


def is_published(pylsl, source_id, wait=1.0):
    """Whether a stream with this source_id answers within `wait` seconds."""
    return bool(pylsl.resolve_byprop("source_id", source_id, 1, wait))


def without_closing_ping(data, stamps, last_time):
    """`data` and `stamps` without liblsl's closing ping.

    liblsl 1.16 sends every connected inlet one more sample as it destroys an
    outlet, to wake its sending threads: a recycled earlier sample (or zeros)
    stamped with the closing time. Tests that pull after a close take that
    one off, and only one after `last_time`, the time of the last sample sent
    (to within the 0.1 ms of carrying times over to LSL's clock).
    """
    last_time += 1e-4
    if len(stamps) and stamps[-1] > last_time:
        assert len(stamps) < 2 or stamps[-2] <= last_time, "more than one sample after the last one sent"
        return data[:-1], stamps[:-1]
    return data, stamps
