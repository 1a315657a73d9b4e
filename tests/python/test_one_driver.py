"""One driver per port inside a process too: while a servo loop or a handle
monitor drives a port, nothing else of the same program gets to it: a new
SerialStream, korvo.Servo or korvo.HandleMonitor on it is refused, naming what
holds it, a device made earlier on it refuses its calls, and a second loop
made earlier does not start. Nothing of theirs reaches the device. Once the
loop has stopped, or ended by itself, the port is free again (the recovery
the README documents: a new SerialStream)."""

from __future__ import annotations

import pytest

import korvo
import KorvoHardwareAPI as hardware
from rig import ArmPeerProcess, error_lines, wait_until

PUSH = [0.0, 0.0, -3.0]  # N: what the intruders try to send
ZEROS = ([0.0] * 3, [0.0] * 3)
STATE = ([0.0, 0.019999999552965164, 0.20000000298023224], [0.0, 0.0, 0.0])  # rig.py's arm
BUSY = "[16] Device or resource busy"

DRIVERS = {
    "servo": ("a servo loop", lambda port: korvo.Servo(port, rate=500, realtime=False)),
    "monitor": ("a handle monitor", lambda port: korvo.HandleMonitor(port)),
}


def intrude(kind: str, port: str, earlier: dict):
    """One intruder's attempt; what it returned (an exception is raised)."""
    if kind == "new stream":
        return hardware.Arvena(hardware.SerialStream(port), 0.05).end_effector_force(PUSH)
    if kind == "new servo":
        return korvo.Servo(port, realtime=False)
    if kind == "new monitor":
        return korvo.HandleMonitor(port)
    if kind == "arm made earlier":
        return earlier["arm"].end_effector_force(PUSH)
    if kind == "arm on the driving stream":
        return earlier["twin"].end_effector_force(PUSH)
    if kind == "servo made earlier":
        return earlier["servo"].start()
    if kind == "monitor on a handle made earlier":
        return korvo.HandleMonitor(earlier["handle"]).start()
    raise AssertionError(kind)


REFUSALS = {
    "new stream": (None, "unable to open port '{port}' (driven by {driver} of this process)"),
    "new servo": (OSError, "[Errno 16] Device or resource busy (driven by {driver} of this process): '{port}'"),
    "new monitor": (OSError, "[Errno 16] Device or resource busy (driven by {driver} of this process): '{port}'"),
    "arm made earlier": (RuntimeError, "the device's port is driven by {driver} of this process: "
                                       "stop it before using the device directly"),
    "arm on the driving stream": (RuntimeError, "the device's port is driven by {driver} of this process: "
                                                "stop it before using the device directly"),
    "servo made earlier": (RuntimeError, "the arm's port is driven by {driver} of this process"),
    "monitor on a handle made earlier": (RuntimeError, "the handle's port is driven by {driver} of this process"),
}  # fmt: skip


@pytest.mark.timeout(30)
@pytest.mark.parametrize("intruder", list(REFUSALS))
@pytest.mark.parametrize("driver_kind", list(DRIVERS))
def test_a_second_user_in_the_process_is_refused_and_named(driver_kind, intruder, capfd):
    peer = ArmPeerProcess()
    try:
        name, make = DRIVERS[driver_kind]
        # Made before the loop starts, on the port it will drive. The arm is
        # refused at once while the loop drives and answered once it is free,
        # so its limit is one no loaded machine misses.
        stream = hardware.SerialStream(peer.path)
        earlier = {"arm": hardware.Arvena(stream, 2.0), "servo": korvo.Servo(peer.path, realtime=False),
                   "handle": hardware.Handle(hardware.SerialStream(peer.path))}
        driving_stream = hardware.SerialStream(peer.path)
        driver = make(hardware.Arvena(driving_stream, 0.05) if driver_kind == "servo" else peer.path)
        earlier["twin"] = hardware.Arvena(driving_stream, 0.05) if driver_kind == "servo" else earlier["arm"]
        with driver:
            error, words = REFUSALS[intruder]
            words = words.format(port=peer.path, driver=name)
            if error is None:
                assert intrude(intruder, peer.path, earlier) == ZEROS
                lines = error_lines(capfd)
                assert (lines[0][1], lines[0][2], f"[{lines[0][3]}] {lines[0][4]}") == (39, words, BUSY)
            else:
                with pytest.raises(error) as refused:
                    intrude(intruder, peer.path, earlier)
                assert str(refused.value) == words
            assert driver.running
        # Free again: the device made earlier works.
        assert earlier["arm"].end_effector_force([0.0, 0.0, 0.0]) == STATE
    finally:
        forces = peer.forces()
    assert PUSH not in forces
    if driver_kind == "servo":
        assert forces[-1] == [0.0, 0.0, 0.0]


@pytest.mark.timeout(30)
@pytest.mark.parametrize("ending", ["stop", "failures"])
def test_once_the_loop_has_ended_a_new_stream_takes_the_port_over(ending):
    # Mute after 50 forces: with stop_on_failure the loop then ends by itself.
    peer = ArmPeerProcess("--mute-after", "50")
    try:
        servo = korvo.Servo(peer.path, rate=500, realtime=False, max_failed_exchanges=5, stop_on_failure=True)
        servo.start()
        if ending == "stop":
            servo.stop()
        else:
            wait_until(lambda: not servo.running)
            assert servo.end_reason.startswith("stopped after repeated failed exchanges at tick ")
        stream = hardware.SerialStream(peer.path)
        arm = hardware.Arvena(stream, 0.05)
        arm.send_raw(b"\xac")  # a query the muted arm leaves unanswered: what counts is that it is sent
        servo.stop()
    finally:
        forces = peer.forces()
    assert forces[-1] == [0.0, 0.0, 0.0]
