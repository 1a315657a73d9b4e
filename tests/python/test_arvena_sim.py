"""The arm end to end against korvo-sim's simulated arm: wake, identify,
command forces, positions and joints, and read back a moving state."""

import math
import time
import uuid

import pytest

import KorvoHardwareAPI as korvo
from korvo_sim import Simulator


@pytest.fixture
def sim():
    with Simulator("arm", "--device-id", "0x0321") as s:
        yield s


@pytest.fixture
def arm(sim):
    return korvo.Arvena(korvo.SerialStream(sim.port("arm")), timeout=0.5)


def run(call, seconds):
    """Repeats an exchange for `seconds` of the arm's (real) time."""
    start = time.monotonic()
    while True:
        state = call()
        if time.monotonic() - start > seconds:
            return state


def until(call, done, limit=10.0):
    """Repeats an exchange until `done` holds for what it returned, for at most
    `limit` seconds; every state it returned. The arm drops a command it has
    not heard again for 0.1 s, so how far it gets in a given time is up to
    the machine: what it does with each command is not."""
    start = time.monotonic()
    states = [call()]
    while not done(states[-1]) and time.monotonic() - start < limit:
        states.append(call())
    return states


def test_wake_and_identify(arm, capfd):
    info = arm.device_wakeup_dict()
    assert (info["device_id"], info["device_model_number"]) == (0x0321, 4)
    assert isinstance(info["device_id_ext"], uuid.UUID) and info["device_id_ext"].int != 0
    assert arm.get_device_id() == info["device_id_ext"]
    assert arm.get_firmware_version().int != 0
    assert arm.get_device_orientation() == pytest.approx([0.0, 0.7071, 0.0, 0.7071], abs=1e-6)
    assert arm.get_power_status() is True
    assert 20.0 < arm.get_temperature() < 80.0
    assert capfd.readouterr().err == ""


def test_force_moves_the_arm_and_the_state_shows_it(arm):
    start, _ = run(lambda: arm.end_effector_force([0.0, 0.0, 0.0]), 0.05)
    moving = until(lambda: arm.end_effector_force([0.0, 0.0, 1.0]), lambda s: s[0][2] > start[2] + 0.001)
    assert moving[-1][0][2] > start[2] + 0.001, f"{len(moving)} exchanges: z from {start[2]} to {moving[-1][0][2]}"
    assert max(v[2] for _, v in moving) > 0.0  # velocity along the force
    assert any(abs(c) > 0 for c in arm.get_motor_currents())


def test_host_and_onboard_positions_agree(arm):
    run(lambda: arm.end_effector_force([0.5, 0.0, -0.5]), 0.1)
    # Released, the arm comes to rest within a second (its damping's time
    # constant is 0.1 s): however long the machine takes between the two
    # requests, the pose they read is the same.
    run(lambda: arm.end_effector_force([0.0, 0.0, 0.0]), 1.0)
    onboard, _ = arm.get_end_effector_position(True)
    host, velocity = arm.get_end_effector_position(False)
    assert host == pytest.approx(onboard, abs=2e-4)
    assert velocity == [0.0, 0.0, 0.0]


def test_position_target_is_reached(arm):
    start, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    target = [start[0] + 0.003, start[1], start[2]]
    position, velocity = until(lambda: arm.end_effector_position(target),
                               lambda s: math.dist(s[0], target) < 1e-3 and math.hypot(*s[1]) < 0.05)[-1]
    assert position == pytest.approx(target, abs=1e-3)
    assert math.hypot(*velocity) < 0.05


def test_joint_angle_target_is_reached(arm):
    angles, _ = arm.joint_torques([0.0, 0.0, 0.0])
    target = [angles[0] + 5.0, angles[1] - 5.0, angles[2] + 5.0]  # inside the joint limits
    reached, _ = until(lambda: arm.joint_angles(target),
                       lambda s: max(abs(a - t) for a, t in zip(s[0], target)) < 0.5)[-1]
    assert reached == pytest.approx(target, abs=0.5)
