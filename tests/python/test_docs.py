"""What the documentation states about the library's own output holds: the
error lines it shows are the ones the library prints, and the versions are
what it says."""

from __future__ import annotations

import re
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

import KorvoHardwareAPI as hw
import korvo

ROOT = Path(__file__).resolve().parents[2]
TIMEOUT_LINE = re.compile(r"\[err\] Library/src/Device:78> timeout waiting for header code: [^`\n]*")


def first_timeout_line() -> str:
    """The line a fresh program gets when the arm's first reply is dropped."""
    code = """
import KorvoHardwareAPI as hw
from korvo_sim import Simulator
with Simulator("arm", "--drop-every", "1") as sim:
    hw.Arvena(hw.SerialStream(sim.port("arm")), timeout=0.05).end_effector_force([0.0, 0.0, 0.0])
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr
    return done.stderr.splitlines()[0]


@pytest.mark.parametrize("document", ["README.md", "docs/errors.md", "docs/behaviour.md"])
def test_the_timeout_line_shown_is_the_one_the_library_prints(document):
    shown = TIMEOUT_LINE.findall((ROOT / document).read_text())
    assert shown, f"{document} shows no timeout line"
    assert set(shown) == {first_timeout_line()}


def test_versions():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    assert korvo.__version__ == project
    assert hw.__version__ == "dev"
    assert hw.get_cpp_version() == project
