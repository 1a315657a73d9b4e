"""Type checkers see the project as users do: mypy's stubtest finds every
installed stub consistent with the modules (an allowlist in the repository
covers only what pybind11 cannot express), and the examples and the snippets
of the README and the documentation pass `mypy --strict`."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

from snippets import snippets

ROOT = Path(__file__).resolve().parents[2]
ALLOWLIST = Path(__file__).resolve().parent / "stubtest-allowlist.txt"

pytest.importorskip("mypy")

# A cold mypy takes 5 to 20 s on this machine, and minutes when the machine
# is busy with builds.
pytestmark = [pytest.mark.timeout(400), pytest.mark.no_library]


def mypy(*arguments: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", *arguments], capture_output=True, text=True, cwd=cwd, timeout=360)


def test_stubtest_finds_the_stubs_consistent_with_the_modules(tmp_path):
    # From a directory without the sources, as a user's project would be.
    done = mypy("mypy.stubtest", "KorvoHardwareAPI", "korvo", "korvo_sim", "--allowlist", str(ALLOWLIST), cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_examples_and_snippets_pass_mypy_strict(tmp_path):
    files = [str(p) for p in sorted((ROOT / "examples").glob("*.py"))]
    for index, (_, sources) in enumerate(snippets()):
        for name, source in sources.items():
            path = tmp_path / f"snippet{index}_{name}"  # module names must differ
            path.write_text(source)
            files.append(str(path))
    done = mypy("mypy", "--strict", "--no-incremental", *files, cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    assert len(files) >= 10
