"""The package installs with pip without network access once the library is
built, and the installed copy loads its own library."""
import os
import shutil
import subprocess
import sys

import pytest

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))


def test_offline_pip_install(tmp_path):
    # Installed from a copy so the build leaves nothing in the source tree.
    source = tmp_path / "source"
    source.mkdir()
    for name in ("pyproject.toml", "setup.py", "README.md"):
        shutil.copy(os.path.join(REPO, name), source / name)
    shutil.copytree(os.path.join(REPO, "src", "tavo_ble"), source / "src" / "tavo_ble",
                    ignore=shutil.ignore_patterns("__pycache__", "tests", "native"))
    # The build's library (TAVOBLE_LIBRARY) goes where the binding looks.
    from tavo_ble.lib import tavo_ble_wrapper as w
    native = source / "src" / "tavo_ble" / "lib" / "native" / w.platform_folder / w.architecture_folder
    native.mkdir(parents=True)
    shutil.copy(w.library_path, native / w.library_name)
    helper = os.path.join(os.path.dirname(w.library_path), "libtavo_ble_scans.so")
    if os.path.exists(helper):
        shutil.copy(helper, native)
    venv = tmp_path / "venv"
    made = subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)],
                          capture_output=True, text=True, timeout=120)
    if made.returncode != 0:
        pytest.skip("python3-venv is not installed: " + made.stderr.strip()[-200:])
    python = str(venv / "bin" / "python")
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "TAVOBLE_LIBRARY")}
    install = subprocess.run(
        [python, "-m", "pip", "install", "--quiet", "--no-build-isolation", "--no-index", str(source)],
        capture_output=True, text=True, timeout=180, env=env, cwd=str(tmp_path))
    assert install.returncode == 0, install.stdout + install.stderr
    probe = subprocess.run(
        [python, "-c", "import os, tavo_ble, tavo_ble.lib.tavo_ble_wrapper as w; "
                       "print(w.library_path); print(w.TavoBLEWrapper.get_api_version()); "
                       "print(os.path.isfile(os.path.join(os.path.dirname(tavo_ble.__file__), 'py.typed'))); "
                       "import tavo_ble.native as n; print(n.helper is not None)"],
        capture_output=True, text=True, timeout=60, env=env, cwd=str(tmp_path))
    assert probe.returncode == 0, probe.stderr
    path, version, typed, helper_loaded = probe.stdout.split()
    assert helper_loaded == str(os.path.exists(helper))
    assert path.startswith(str(venv)) and os.path.isfile(path)
    assert version == "2.0"
    assert typed == "True"  # the type hints are usable by type checkers
    script = subprocess.run([str(venv / "bin" / "tavo-ble"), "--help"], capture_output=True, text=True,
                            timeout=60, env=env, cwd=str(tmp_path))
    assert script.returncode == 0 and "stream" in script.stdout
    version = subprocess.run([str(venv / "bin" / "tavo-ble"), "--version"], capture_output=True, text=True,
                             timeout=60, env=env, cwd=str(tmp_path))
    assert version.stdout.split()[-1] == "2.0.0", version.stdout + version.stderr
    # The LSL bridge ships, and pip knows its optional dependency.
    extra = subprocess.run(
        [python, "-c", "import importlib.metadata as m, tavo_ble.lsl; "
                       "print(m.metadata('tavo_ble').get_all('Provides-Extra')); print(m.requires('tavo_ble'))"],
        capture_output=True, text=True, timeout=60, env=env, cwd=str(tmp_path))
    assert extra.returncode == 0, extra.stderr
    assert "'lsl'" in extra.stdout and "pylsl" in extra.stdout, extra.stdout
