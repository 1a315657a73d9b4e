"""The demo's logic, and the demo end to end against korvo-sim."""

import math
import os
import re
import signal
import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace

import pytest

from korvo_sim import Simulator

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
import demo  # noqa: E402

# Its tests start interpreters and simulators, or draw with Matplotlib: far
# slower on a loaded machine than the default bound allows for.
pytestmark = pytest.mark.timeout(120)

S = math.sqrt(0.5)


@pytest.mark.no_library
@pytest.mark.parametrize(
    "q, v, expected",
    [
        ([1, 0, 0, 0], (1, 2, 3), (1, 2, 3)),
        ([S, 0, S, 0], (1, 0, 0), (0, 0, -1)),  # a quarter turn about y
        ([S, 0, 0, S], (1, 0, 0), (0, 1, 0)),  # a quarter turn about z
        ([0, 1, 0, 0], (0, 1, 0), (0, -1, 0)),  # half a turn about x
    ],
)
def test_rotate(q, v, expected):
    assert demo.rotate(q, v) == pytest.approx(expected, abs=1e-12)


REST = (0.0, 0.02, 0.2)


def status(q=(1.0, 0.0, 0.0, 0.0), buttons=0, trigger=0):
    return SimpleNamespace(quaternion=tuple(q), buttons=buttons, trigger=trigger)


@pytest.mark.no_library
def test_target_follows_the_handle():
    scene = demo.Scene(rest=REST)
    assert scene.target(None) == REST
    assert scene.target(status()) == pytest.approx((scene.reach, 0.02, 0.2))
    assert scene.target(status(q=(S, 0, S, 0))) == pytest.approx((0.0, 0.02, 0.2 - scene.reach))
    pushed = scene.target(status(buttons=0b001))
    assert pushed[2] == pytest.approx(0.2 + scene.push)
    assert scene.target(status(buttons=0b110)) == pytest.approx((scene.reach, 0.02, 0.2))
    assert scene.stiffness(status(trigger=31)) == pytest.approx(2 * scene.spring_stiffness)


def test_the_python_force_law_and_the_effects_agree():
    # The Python loop's force law is the native loop's two effects (with the
    # spring's anchor on its target), capped.
    scene = demo.Scene(rest=REST, max_force=100.0)
    wall, spring = scene.effects()
    assert wall.normal == (0.0, 0.0, -1.0) and wall.point[2] == pytest.approx(scene.wall_z)
    assert spring.target == REST and spring.stiffness == scene.spring_stiffness
    assert scene.force(REST, (0, 0, 0), REST) == pytest.approx([0, 0, 0])
    below = scene.force((0.0, 0.02, 0.19), (0, 0, 0), REST)
    assert below == pytest.approx([0, 0, scene.spring_stiffness * 0.01])
    inside = (0.0, 0.02, scene.wall_z + 0.001)
    pushed = scene.force(inside, (0, 0, 0.1), inside)
    assert pushed[2] == pytest.approx(-(scene.wall_stiffness * 0.001 + scene.wall_damping * 0.1 + scene.damping * 0.1))
    far = demo.Scene(rest=REST).force((1.0, 1.0, -1.0), (0, 0, 0), REST)
    assert math.sqrt(sum(c * c for c in far)) == pytest.approx(demo.Scene(rest=REST).max_force)


def make_run(name="native loop", n=200):
    run = demo.Run(name)
    for i in range(n):
        run.times.append(i / 1000)
        run.positions.append([0.001 * math.cos(i / 30), 0.02, 0.2 + 0.001 * math.sin(i / 30)])
        run.forces.append([0.1, 0.0, -0.1])
        run.periods.append(0.001 if i % 50 else 0.002)
        run.exchanges.append(5e-5)
    run.targets = [(i / 100, 0.0, 0.02, 0.2) for i in range(20)]
    run.events = [(0.05, 1, True), (0.1, 1, False)]
    return run


@pytest.mark.no_library
@pytest.mark.timeout(120)  # three pictures of up to four panels: tens of seconds on a busy machine
def test_picture_with_one_histogram_and_with_two(tmp_path):
    for runs in ([make_run()], [make_run(), make_run("Python loop")]):
        path = demo.save_picture(runs, demo.Scene(rest=REST), tmp_path / "sub" / f"picture{len(runs)}.png")
        data = path.read_bytes()
        assert data.startswith(b"\x89PNG\r\n\x1a\n")
        assert len(data) > 10_000


@pytest.mark.no_library
def test_run_summary_counts_the_long_periods():
    assert "4 over 1.5 ms" in make_run().summary()


@pytest.mark.python_output
def test_picture_goes_to_the_repository_wherever_the_demo_starts(tmp_path):
    # Started from elsewhere, the demo still names the repository's picture.
    # Wide columns: argparse would otherwise wrap a long path at its hyphens.
    shown = subprocess.run(
        [sys.executable, str(Path(demo.__file__).resolve()), "--help"],
        cwd=tmp_path, capture_output=True, text=True, check=True, timeout=30,
        env={**os.environ, "COLUMNS": "1000"},
    ).stdout
    expected = Path(__file__).resolve().parents[2] / "build" / "demo" / "haptic_demo.png"
    assert f"(default {expected})" in " ".join(shown.split())


@pytest.mark.python_output
def test_demo_end_to_end_with_the_simulator(tmp_path, capsys):
    picture = tmp_path / "demo.png"
    assert demo.main(["--seconds", "0.5", "--quiet", "--compare", "--output", str(picture)]) == 0
    out = capsys.readouterr().out
    assert "Arvena: device 260, model 4" in out
    assert "Handle: device 66, battery" in out
    frames = int(re.search(r"Handle: (\d+) status frames, (\d+) bad", out).group(1))
    assert frames >= 25
    assert re.search(r"native loop: \d+ ticks", out) and re.search(r"Python loop: \d+ ticks", out)
    assert picture.read_bytes().startswith(b"\x89PNG")
    # Links under /dev, if the demo made them, are gone with the simulator.
    assert not any(os.path.lexists(p) for p in demo.LINK_NAMES.values())


@pytest.mark.python_output
def test_demo_on_given_ports(tmp_path, capsys):
    with Simulator("arm") as sim:
        assert demo.main(["--port", sim.port("arm"), "--seconds", "0.3", "--quiet", "--output", str(tmp_path / "x.png")]) == 0
    out = capsys.readouterr().out
    assert "no handle" in out and "native loop:" in out


@pytest.mark.python_output
@pytest.mark.timeout(60)
@pytest.mark.parametrize("loop", ["--compare", "--python-loop"])
def test_ctrl_c_saves_the_picture_of_what_ran_without_a_traceback(tmp_path, loop):
    picture = tmp_path / "interrupted.png"
    demo_process = subprocess.Popen(
        [sys.executable, str(Path(demo.__file__).resolve()), loop, "--seconds", "30",
         "--output", str(picture)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        # Into the loop: its first live line (not a tty: one line each).
        for line in demo_process.stdout:
            if line.startswith(("native ", "python ")):
                break
        demo_process.send_signal(signal.SIGINT)
        out, err = demo_process.communicate(timeout=30)
    finally:
        demo_process.kill()
    assert demo_process.returncode == 130, out + err
    assert "Traceback" not in err, err
    assert "Stopped by Ctrl+C: the picture of what ran is saved to" in out
    # One loop only: an interrupted comparison does not start the second.
    assert len(re.findall(r"^(native|Python) loop: \d+ ticks", out, re.M)) == 1, out
    assert picture.read_bytes().startswith(b"\x89PNG")
