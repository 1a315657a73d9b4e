"""Each fault korvo-sim injects, through the library: the documented failure
values come back (no exception, no hang), and a new stream recovers."""

import pytest

import KorvoHardwareAPI as korvo
from korvo_sim import Simulator
from rig import error_lines

SHORT = 0.05
ZERO = ([0.0, 0.0, 0.0], [0.0, 0.0, 0.0])

def arm_on(port, timeout=SHORT):
    return korvo.Arvena(korvo.SerialStream(port), timeout)


def moving(state):
    return state != ZERO and any(state[0])


@pytest.mark.parametrize("fault", ["--drop-every", "--corrupt-every", "--truncate-every"])
def test_broken_reply_gives_zeros_and_a_new_stream_recovers(capfd, fault):
    with Simulator("arm", fault, "2") as sim:
        port = sim.port("arm")
        # Not a test of deadlines: a limit that a busy machine's good reply
        # meets (a dropped one costs all of it).
        arm = arm_on(port, 0.5)
        assert moving(arm.end_effector_force([0, 0, 0]))
        assert arm.end_effector_force([0, 0, 0]) == ZERO  # the second reply is the broken one
        assert {line[0] for line in error_lines(capfd)} == {"Library/src/Device"}
        # A new stream opens the port empty, whatever the broken reply left.
        assert moving(arm_on(port, 0.5).end_effector_force([0, 0, 0]))


def test_late_reply_gives_zeros_and_a_patient_stream_recovers(capfd):
    with Simulator("arm", "--delay-us", "150000") as sim:
        port = sim.port("arm")
        assert arm_on(port).end_effector_force([0, 0, 0]) == ZERO
        assert [line[1] for line in error_lines(capfd)] == [78, 153]
        assert moving(arm_on(port, 1.0).end_effector_force([0, 0, 0]))


@pytest.mark.parametrize("arguments", [("--notify-flood", "25"), ("--notify-every", "1")])
def test_notifications_are_skipped(capfd, arguments):
    with Simulator("arm", *arguments) as sim:
        # Not a test of deadlines: a reply behind 25 notifications may take
        # a loaded machine longer than the short limit.
        arm = arm_on(sim.port("arm"), 1.0)
        assert all(moving(arm.end_effector_force([0, 0, 0])) for _ in range(20))
        assert arm.device_wakeup()[1] == 4
        assert error_lines(capfd) == []


def test_pulled_cable_fails_cleanly_and_the_replugged_port_works(tmp_path, capfd):
    link = tmp_path / "ttyACM-korvo-test"
    with Simulator("arm", "--disconnect-after", "2", "--reconnect-ms", "100", "--link", str(link)) as sim:
        arm = arm_on(str(link))
        assert moving(arm.end_effector_force([0, 0, 0]))
        assert moving(arm.end_effector_force([0, 0, 0]))  # answered, then the line drops
        assert arm.end_effector_force([0, 0, 0]) == ZERO
        assert arm.get_temperature() == 0.0
        with pytest.raises(RuntimeError, match="send_raw"):
            arm.send_raw(b"\x0a")
        assert error_lines(capfd)
        kind, _ = sim.wait_for_reconnect()
        assert kind == "arm"
        fresh = arm_on(str(link))
        assert fresh.device_wakeup()[1] == 4
        assert moving(fresh.end_effector_force([0, 0, 0]))


def test_corrupt_frames_are_passed_over():
    with Simulator("handle", "--rate", "400", "--bad-frames-every", "2") as sim:
        handle = korvo.Handle(korvo.SerialStream(sim.port("handle")))
        statuses = [handle.GetStylarStatus() for _ in range(40)]
    # A bad frame is dropped; when no good one is waiting behind it the call
    # says so (code 3) instead of waiting. Good frames decode to sane values.
    good = [s for s in statuses if s["error_flag"] not in (99, 2, 3)]
    assert {s["error_flag"] for s in statuses} <= {0, 3}
    assert len(good) >= 15
    assert all(3.0 <= s["battery_level"] <= 4.3 and s["device_id"] == 0x42 for s in good)
    assert all(abs(sum(q * q for q in s["quaternion"]) - 1.0) < 1e-3 for s in good)
