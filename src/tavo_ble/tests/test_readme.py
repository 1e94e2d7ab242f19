"""The Python examples of the README run as written against the simulator."""
import os
import re
import subprocess
import sys

import pytest

from .simulation import REPO, custom_amplifier, python_env, start_simulator


def python_examples():
    with open(os.path.join(REPO, "README.md"), encoding="utf-8") as f:
        text = f.read()
    section = text[text.index("\n## Python\n"):]
    section = section[:section.index("\n## ", 1)]
    return re.findall(r"```python\n(.*?)```", section, re.S)


@pytest.fixture(scope="module")
def sim():
    simulator = start_simulator()
    simulator.add_amplifier(custom_amplifier("UX-0002.00.01"))  # the second of the group example
    yield simulator
    simulator.close()


def test_the_readme_has_its_python_examples():
    blocks = python_examples()
    assert len(blocks) >= 4
    assert any("open_many" in b for b in blocks) and any("rms" in b for b in blocks)


@pytest.mark.parametrize("index", range(4))
def test_a_readme_example_runs(sim, index):
    code = python_examples()[index]
    result = subprocess.run([sys.executable, "-c", code], env=python_env(), capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, code + result.stdout + result.stderr
    assert "Traceback" not in result.stderr and result.stdout, result.stdout + result.stderr
