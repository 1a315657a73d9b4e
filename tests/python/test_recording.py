"""Recording.save: the file is written whole or not at all (a save that
fails leaves the file that was there as it was, and nothing of its own), and
every format carries how many ticks the ring dropped."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import korvo

TICKS = 20_000  # about 3 MB of CSV, 2 MB of npz: far more than the faults below leave room for


def recording(ticks: int, dropped: int) -> korvo.Recording:
    """Ticks as a servo records them (what save writes does not depend on
    where they came from)."""
    n = np.arange(ticks, dtype=np.uint64)
    vectors = np.linspace(-1.0, 1.0, ticks * 3).reshape(ticks, 3)
    return korvo.Recording({
        "tick": n, "time": n * 1e-3, "period": np.full(ticks, 1e-3), "exchange": np.full(ticks, 2e-4),
        "position": vectors, "velocity": vectors / 10, "force": vectors * 4, "commanded": vectors * 5,
        "faults": (n % 3).astype(np.uint32), "exchange_ok": n % 7 != 0, "dropped": dropped,
    })  # fmt: skip


@pytest.mark.parametrize("name", ["run.csv", "run.npz"])
def test_every_format_carries_the_dropped_count(tmp_path, name):
    rec = recording(5, dropped=1234)
    rec.save(tmp_path / name)
    if name.endswith(".npz"):
        with np.load(tmp_path / name) as saved:
            assert int(saved["dropped"]) == 1234
            assert np.array_equal(saved["tick"], rec.tick)
        return
    lines = (tmp_path / name).read_text().splitlines()
    assert lines[0].startswith("tick,time_s,") and lines[1] == "# dropped: 1234"
    table = np.loadtxt(tmp_path / name, delimiter=",", skiprows=1)
    assert table.shape == (5, 18)
    assert np.array_equal(table[:, 0], rec.tick) and np.allclose(table[:, 10:13], rec.force)


# A save in a process of its own, whose writes fail part way: beyond a file
# size limit (EFBIG), or on a tmpfs that fills up (ENOSPC, the full disk).
SAVE = """
import os, resource, signal, sys
sys.path.insert(0, {tests!r})
from test_recording import TICKS, recording
path, limit = sys.argv[1], int(sys.argv[2])
rec = recording(TICKS, dropped=7)
if limit:
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a failing write, not a killed process
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
try:
    rec.save(path)
except OSError as e:
    print(e.errno)
"""

FULL_TMPFS = """
set -e
mount -t tmpfs -o size=256k korvo-test "$1"
printf 'the old recording\\n' > "$1/$2"
"$3" -c "$4" "$1/$2" 0
cat "$1/$2"
ls -a "$1"
"""


def save_beyond_a_file_size_limit(directory: Path, name: str) -> tuple[str, str, list[str]]:
    (directory / name).write_text("the old recording\n")
    done = subprocess.run([sys.executable, "-c", SAVE.format(tests=str(Path(__file__).parent)), str(directory / name),
                           "65536"], capture_output=True, text=True, timeout=60)
    assert done.stderr == ""
    return done.stdout.strip(), (directory / name).read_text(), sorted(os.listdir(directory))


def save_on_a_full_tmpfs(directory: Path, name: str) -> tuple[str, str, list[str]]:
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        pytest.skip("mounting a tmpfs needs root and unshare(1)")
    done = subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c", FULL_TMPFS, "sh",
                           str(directory), name, sys.executable, SAVE.format(tests=str(Path(__file__).parent))],
                          capture_output=True, text=True, timeout=60)
    if "mount" in done.stderr and done.returncode != 0:
        pytest.skip(f"this machine does not let a test mount a tmpfs: {done.stderr.strip()}")
    assert done.returncode == 0, done.stderr
    error, *rest = done.stdout.splitlines()
    return error, rest[0] + "\n", sorted(rest[1:])


@pytest.mark.parametrize("name", ["run.csv", "run.npz"])
@pytest.mark.parametrize(
    "fault, errno_name",
    [(save_beyond_a_file_size_limit, "EFBIG"), (save_on_a_full_tmpfs, "ENOSPC")],
    ids=["file-size-limit", "full-disk"],
)
def test_a_failed_save_leaves_the_old_file_as_it_was_and_nothing_else(tmp_path, name, fault, errno_name):
    import errno

    error, content, files = fault(tmp_path, name)
    assert error == str(getattr(errno, errno_name))
    assert content == "the old recording\n"
    assert [f for f in files if f not in (".", "..")] == [name]


def test_a_save_replaces_the_old_file_whole(tmp_path):
    (tmp_path / "run.csv").write_text("the old recording\n" * 10_000)
    recording(3, dropped=0).save(tmp_path / "run.csv")
    assert len((tmp_path / "run.csv").read_text().splitlines()) == 5
    assert os.listdir(tmp_path) == ["run.csv"]
