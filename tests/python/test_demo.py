"""The demo's logic, and the demo end to end against korvo-sim."""

import math
import os
import re
import sys
from pathlib import Path

import pytest

import KorvoHardwareAPI as korvo
from korvo_sim import Simulator

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
import demo  # noqa: E402

S = math.sqrt(0.5)


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


def status(q=(1.0, 0.0, 0.0, 0.0), buttons=0, hall=0):
    return {"quaternion": list(q), "buttons": buttons, "hall_effect_sensor_level": hall}


def test_target_follows_the_handle():
    scene = demo.Scene(rest=REST)
    assert scene.target(None) == REST
    assert scene.target(status()) == pytest.approx((scene.reach, 0.02, 0.2))
    assert scene.target(status(q=(S, 0, S, 0))) == pytest.approx((0.0, 0.02, 0.2 - scene.reach))
    pushed = scene.target(status(buttons=0b001))
    assert pushed[2] == pytest.approx(0.2 + scene.push)
    assert scene.target(status(buttons=0b110)) == pytest.approx((scene.reach, 0.02, 0.2))


def test_force_is_a_spring_outside_the_wall_and_pushes_back_inside():
    scene = demo.Scene(rest=REST, max_force=100.0)
    at_rest = scene.force(REST, (0, 0, 0), REST)
    assert at_rest == pytest.approx([0, 0, 0])
    spring = scene.force((0.0, 0.02, 0.19), (0, 0, 0), REST)
    assert spring == pytest.approx([0, 0, scene.spring_stiffness * 0.01])
    assert scene.force((0.0, 0.02, 0.19), (0, 0, 0), REST, trigger=31) == pytest.approx([0, 0, 2 * spring[2]])
    inside = (0.0, 0.02, scene.wall_z + 0.001)
    pushed = scene.force(inside, (0, 0, 0.1), inside)
    assert pushed[2] == pytest.approx(-(scene.wall_stiffness * 0.001 + scene.wall_damping * 0.1 + scene.damping * 0.1))


def test_force_is_capped():
    scene = demo.Scene(rest=REST)
    far = scene.force((1.0, 1.0, -1.0), (0, 0, 0), REST)
    assert math.sqrt(sum(c * c for c in far)) == pytest.approx(scene.max_force)


class FixedReader:
    def __init__(self, latest):
        self.latest = latest


def test_control_loop_drives_the_simulated_arm_toward_the_target():
    with Simulator("arm") as sim:
        arm = korvo.Arvena(korvo.SerialStream(sim.port("arm")))
        rest, _ = arm.end_effector_force([0.0, 0.0, 0.0])
        scene = demo.Scene(rest=tuple(rest))
        reader = FixedReader(status(q=(S, 0, S, 0)))  # target 18 mm below rest
        trace = demo.control_loop(arm, scene, seconds=0.4, rate=500, reader=reader, live=False)
    assert 100 < len(trace.times) <= 201
    assert len(trace.periods) == len(trace.times) - 1
    assert len(trace.forces) == len(trace.positions) == len(trace.latencies) == len(trace.times)
    assert trace.positions[-1][2] < rest[2] - 0.002  # it moved down, toward the target
    assert all(t == pytest.approx(scene.target(reader.latest)) for t in trace.targets)


def test_handle_reader_keeps_the_latest_frame():
    with Simulator("handle", "--rate", "200") as sim:
        port = sim.port("handle")
        handle = korvo.Handle(korvo.SerialStream(port))
        reader = demo.HandleReader(handle)
        reader.start()
        try:
            deadline = 2.0
            import time

            start = time.monotonic()
            while reader.frames < 10 and time.monotonic() - start < deadline:
                time.sleep(0.01)
        finally:
            reader.stop()
    assert reader.frames >= 10
    assert reader.failures <= 1  # a frame the pty happens to split may be read early
    assert set(reader.latest) == {"device_id", "quaternion", "error_flag", "hall_effect_sensor_level", "buttons", "battery_level"}


def test_picture(tmp_path):
    trace = demo.Trace()
    for i in range(200):
        trace.times.append(i / 1000)
        trace.positions.append([0.001 * math.cos(i / 30), 0.02, 0.2 + 0.001 * math.sin(i / 30)])
        trace.forces.append([0.1, 0.0, -0.1])
        trace.targets.append(REST)
        trace.periods.append(0.001)
        trace.latencies.append(5e-5)
    path = demo.save_picture(trace, demo.Scene(rest=REST), tmp_path / "sub" / "picture.png")
    data = path.read_bytes()
    assert data.startswith(b"\x89PNG\r\n\x1a\n")
    assert len(data) > 10_000


def test_demo_end_to_end_with_the_simulator(tmp_path, capsys):
    picture = tmp_path / "demo.png"
    assert demo.main(["--seconds", "0.5", "--quiet", "--output", str(picture)]) == 0
    out = capsys.readouterr().out
    assert "Arvena: device 260, model 4" in out
    assert "Handle: device 66, battery" in out
    frames, failures = map(int, re.search(r"Handle: (\d+) status frames read, (\d+) failed reads", out).groups())
    assert frames >= 25 and failures <= 1
    assert picture.read_bytes().startswith(b"\x89PNG")
    # Links under /dev, if the demo made them, are gone with the simulator.
    assert not any(os.path.lexists(p) for p in demo.LINK_NAMES.values())


def test_demo_on_given_ports(tmp_path, capsys):
    with Simulator("arm") as sim:
        assert demo.main(["--port", sim.port("arm"), "--seconds", "0.3", "--quiet", "--output", str(tmp_path / "x.png")]) == 0
    out = capsys.readouterr().out
    assert "no handle" in out and "Loop:" in out
