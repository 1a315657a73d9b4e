"""Which calls let go of the interpreter lock: every method of Arvena and
Handle, their constructors, SerialStream, UUID and the four detect functions,
one row each.

A call that talks to a device releases the lock for the exchange, so that
other Python threads run while it waits; the others keep it. A second thread
ticks while each call runs (rig.ticks_during), with the interpreter told not
to switch threads on its own: it ticks only if the call lets go, whether the
call waits for a reply or is over in a microsecond (then it is repeated for a
tenth of a second).

Peers that must answer while the lock may be held live outside this
interpreter: korvo-sim, and `rig.py peer` swallowing what the library writes."""

from __future__ import annotations

import pytest

import KorvoHardwareAPI as korvo
from korvo_sim import Simulator
from private_dev import run
from rig import PeerProcess, ticks_during

SHORT = 0.05  # s: the arm's read limit, so that a silent arm fails quickly
REPEAT = 0.1  # s: how long a call that must keep the lock is repeated
REPLY_DELAY_US = 60_000  # korvo-sim's delay before each reply, when one is awaited


class Line:
    """A pty whose device side swallows everything and never answers."""

    def __init__(self) -> None:
        self.peer = PeerProcess("peer")  # its reply is empty
        self.stream = korvo.SerialStream(self.peer.path)

    def close(self) -> None:
        self.peer.close()


@pytest.fixture
def line():
    silent = Line()
    yield silent
    silent.close()


@pytest.fixture
def arm(line):
    return korvo.Arvena(line.stream, SHORT)


@pytest.fixture
def handle(line):
    return korvo.Handle(line.stream)


@pytest.fixture
def answering_handle():
    """A handle with replies on their way: four wakeups already sent, each
    answered by korvo-sim after a delay, so that Receive waits for each."""
    with Simulator("handle", "--rate", "0", "--delay-us", str(REPLY_DELAY_US)) as sim:
        stream = korvo.SerialStream(sim.port("handle"))
        handle = korvo.Handle(stream)
        for _ in range(4):
            handle.SendDeviceWakeup()
        yield handle


@pytest.fixture
def streaming_handle():
    """A handle that streams a status frame every millisecond."""
    with Simulator("handle", "--rate", "1000") as sim:
        yield korvo.Handle(korvo.SerialStream(sim.port("handle")))


@pytest.fixture(scope="module")
def detections():
    """Ticks during each detect function, measured in one private /dev where
    a device behind every kind of node answers its probe 0.2 s late."""
    return run(
        """
        from rig import ticks_during
        delay = ["--delay-us", "200000"]
        sim("arm", *delay, "--link", "/dev/ttyACM0")
        sim("handle", "--rate", "0", *delay, "--link", "/dev/ttyUSB0")
        sim("handle", "--rate", "0", *delay, "--link", "/dev/rfcomm0")
        result = {}
        for name in ("detect_arvenas", "detect_handles", "detect_wired_handles", "detect_wireless_handles"):
            found = []
            ticks = ticks_during(lambda: found.extend(getattr(korvo, name)()))
            result[name] = {"ticks": ticks, "found": len(found)}
        report(**result)
        """
    )


def row(setup, call, lock, name):
    return pytest.param(setup, call, lock, id=name)


V = [0.0, 0.0, 0.0]

ROWS = [
    row("line", lambda line: korvo.SerialStream(line.peer.path), "released", "SerialStream"),
    row("line", lambda line: korvo.UUID(), "held", "UUID"),
    row("line", lambda line: korvo.UUID().bytes(), "held", "UUID.bytes"),
    # Arvena: both constructors, then every method in registration order.
    row("line", lambda line: korvo.Arvena(line.stream), "held", "Arvena(stream)"),
    row("line", lambda line: korvo.Arvena(line.stream, timeout=SHORT), "held", "Arvena(stream, timeout)"),
    row("arm", lambda a: a.send_raw(b"\x00"), "released", "send_raw"),
    row("arm", lambda a: a.read_raw(1, SHORT), "released", "read_raw"),
    row("arm", lambda a: a.set_read_timeout(SHORT), "held", "set_read_timeout"),
    row("arm", lambda a: a.flush_input(), "released", "flush_input"),
    row("arm", lambda a: a.device_wakeup(), "released", "device_wakeup"),
    row("arm", lambda a: a.device_wakeup_dict(), "released", "device_wakeup_dict"),
    row("arm", lambda a: a.get_firmware_version(), "held", "get_firmware_version"),
    row("arm", lambda a: a.get_device_id(), "held", "get_device_id"),
    row("arm", lambda a: a.get_motor_currents(), "held", "get_motor_currents"),
    row("arm", lambda a: a.get_device_orientation(), "held", "get_device_orientation"),
    row("arm", lambda a: a.get_power_status(), "held", "get_power_status"),
    row("arm", lambda a: a.get_temperature(), "held", "get_temperature"),
    row("arm", lambda a: a.end_effector_force(V), "released", "end_effector_force"),
    row("arm", lambda a: a.get_end_effector_position(True), "released", "get_end_effector_position-onboard"),
    row("arm", lambda a: a.get_end_effector_position(False), "released", "get_end_effector_position-host"),
    row("arm", lambda a: a.adjust_angles(V), "released", "adjust_angles"),
    row("arm", lambda a: a.adjust_lengths(), "released", "adjust_lengths"),
    row("arm", lambda a: a.adjust_gear_ratios(), "released", "adjust_gear_ratios"),
    row("arm", lambda a: a.deactivate_orientation_sensor(), "released", "deactivate_orientation_sensor"),
    row("arm", lambda a: a.joint_torques(V), "released", "joint_torques"),
    row("arm", lambda a: a.end_effector_position(V), "released", "end_effector_position"),
    row("arm", lambda a: a.joint_angles(V), "released", "joint_angles"),
    row("arm", lambda a: a.SendDeviceWakeup(), "released", "SendDeviceWakeup"),
    row("arm", lambda a: a.ReceiveDeviceInfo(), "released", "ReceiveDeviceInfo"),
    row("arm", lambda a: a.SendForce(V), "released", "SendForce-list"),
    row("arm", lambda a: a.SendForce(0.0, 0.0, 0.0), "released", "SendForce-xyz"),
    row("arm", lambda a: a.ReceiveState(), "released", "ReceiveState"),
    row("arm", lambda a: a.ReceiveJointState(), "released", "ReceiveJointState"),
    row("arm", lambda a: a.SendJointTorques(V), "released", "SendJointTorques"),
    row("arm", lambda a: a.SendAngle(V), "released", "SendAngle"),
    row("arm", lambda a: a.RequestCurrent(), "released", "RequestCurrent"),
    row("arm", lambda a: a.ReceiveCurrent(), "released", "ReceiveCurrent"),
    row("arm", lambda a: a.SendPosition(V), "released", "SendPosition"),
    # Handle: the constructor, then every method in registration order. The
    # callbacks called directly run the empty defaults of a plain Handle.
    row("line", lambda line: korvo.Handle(line.stream), "held", "Handle(stream)"),
    row("handle", lambda h: h.SendDeviceWakeup(), "released", "Handle.SendDeviceWakeup"),
    row("handle", lambda h: h.SendHandleState(0x42, 1, 7), "released", "Handle.SendHandleState"),
    row("handle", lambda h: h.RequestStatus(), "released", "Handle.RequestStatus"),
    row("handle", lambda h: h.OnReceiveHandleInfo(1, 2, 3, 4, 5), "held", "Handle.OnReceiveHandleInfo"),
    row("handle", lambda h: h.OnReceiveHandleStatusMessage(1, 0.5, 0, 0, 1, 7), "held",
        "Handle.OnReceiveHandleStatusMessage"),
    row("handle", lambda h: h.OnReceiveHandleErrorResponse(1, 2), "held", "Handle.OnReceiveHandleErrorResponse"),
    row("answering_handle", lambda h: h.Receive(), "released", "Handle.Receive"),
    row("answering_handle", lambda h: h.Receive(0), "released", "Handle.Receive-obsolete"),
    row("streaming_handle", lambda h: h.GetStylarStatus(), "released", "Handle.GetStylarStatus"),
    # Discovery keeps the lock while its probes run on threads of their own.
    row("detections", "detect_arvenas", "held", "detect_arvenas"),
    row("detections", "detect_handles", "held", "detect_handles"),
    row("detections", "detect_wired_handles", "held", "detect_wired_handles"),
    row("detections", "detect_wireless_handles", "held", "detect_wireless_handles"),
]  # fmt: skip


@pytest.mark.parametrize("setup, call, lock", ROWS)
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_interpreter_lock(request, capfd, setup, call, lock):
    target = request.getfixturevalue(setup)
    if setup == "detections":
        measured = target[call]
        assert measured["found"] >= 1, "no device was found: nothing was waited for"
        ticks = measured["ticks"]
    elif lock == "released":
        ticks = ticks_during(lambda: call(target), enough=6)
    else:
        ticks = ticks_during(lambda: call(target), at_least=REPEAT)
    capfd.readouterr()  # the silent devices' error lines, thousands of them
    if lock == "released":
        assert ticks > 5, "another thread never ran: the call kept the interpreter lock"
    else:
        assert ticks == 0, f"another thread ran {ticks} times: the call let go of the interpreter lock"
