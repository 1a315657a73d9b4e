"""The examples: each takes --help (and starts nothing then), and the newer
ones do what they say against korvo-sim."""

from __future__ import annotations

import math
import subprocess
import sys
from pathlib import Path

import pytest

from korvo_sim import Simulator

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
sys.path.insert(0, str(EXAMPLES))
import cursor  # noqa: E402
import plot_recording  # noqa: E402
import two_arms  # noqa: E402

S = math.sqrt(0.5)

pytestmark = pytest.mark.python_output


@pytest.mark.parametrize("example", sorted(p.name for p in EXAMPLES.glob("*.py")))
def test_every_example_takes_help(example):
    done = subprocess.run([sys.executable, str(EXAMPLES / example), "--help"], capture_output=True, text=True,
                          timeout=8)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(f"usage: {example}"), done.stdout
    assert done.stderr == ""


@pytest.mark.parametrize(
    "q, expected",
    [
        ((1.0, 0.0, 0.0, 0.0), (30, 7)),  # level and straight: the middle
        ((S, 0.0, 0.0, S), (60, 7)),  # a quarter turn left about z: the right edge
        ((S, 0.0, 0.0, -S), (0, 7)),  # and right: the left edge
        ((math.cos(math.pi / 8), 0.0, math.sin(math.pi / 8), 0.0), (30, 0)),  # tilted an eighth of a turn: the top
        ((0.0, 0.0, 0.0, 1.0), (60, 7)),  # turned round: held at the edge
    ],
)
def test_cursor_cell_follows_the_orientation(q, expected):
    assert cursor.cell(q) == expected


def test_cursor_reports_the_handle(capsys):
    assert cursor.main(["--seconds", "0.5"]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[-1].endswith("clicks") and int(out[-1].split()[0]) > 0, out[-1]
    assert any(line.startswith("cursor at column") for line in out[:-1])


@pytest.mark.timeout(30)
def test_two_coupled_arms_move_together(capsys):
    with Simulator("arm", "arm") as sim:
        moved_a, moved_b = two_arms.couple(sim.port("arm", 0), sim.port("arm", 1), 1.5)
    # Pushed along +x, A moves; B, held toward A's displacement, follows it.
    assert moved_a > 0.002, capsys.readouterr().out
    assert 0.5 * moved_a < moved_b <= moved_a * 1.1, (moved_a, moved_b)


@pytest.mark.timeout(30)
def test_plot_recording_saves_the_picture_and_the_ticks(tmp_path, capsys):
    picture, ticks = tmp_path / "run.png", tmp_path / "run.csv"
    assert plot_recording.main(["--seconds", "0.3", "--output", str(picture), "--save-csv", str(ticks)]) == 0
    recorded = int(capsys.readouterr().out.split("Recording(")[1].split()[0])
    assert picture.read_bytes().startswith(b"\x89PNG")
    header, dropped, *rows = ticks.read_text().splitlines()
    assert header.startswith("tick,time_s,") and dropped == "# dropped: 0"
    assert len(rows) == recorded > 100
