"""Handle end to end against the simulated handle of korvo-sim.

Exchanges that go through Receive run with streaming off (--rate 0): replies
and status frames share the line, and Receive is not meant to read frames."""

import fcntl
import math
import os
import struct
import termios
import time

import pytest

import KorvoHardwareAPI as korvo
from korvo_sim import Simulator
from rig import recorder_class


@pytest.fixture
def start_sim():
    """start_sim(*handle_options) -> slave path of a simulated handle."""
    started = []

    def start(*options: str) -> str:
        sim = Simulator("handle", *options)
        started.append(sim)
        return sim.port("handle")

    yield start
    for sim in started:
        assert sim.stop() == 0, sim.stderr()


Recorder = recorder_class()


def connect(path):
    stream = korvo.SerialStream(path)
    return stream, Recorder(stream)


@pytest.mark.parametrize(
    "options, kind, count",
    [
        ((), "info", 6),
        (("--wakeup-reply", "status"), "status", 21),
        (("--notify-every", "1"), "info", 6),
        (("--notify-flood", "3", "--wakeup-reply", "status"), "status", 21),
    ],
    ids=["info", "status", "notification-ahead", "notification-flood"],
)
def test_wakeup_is_answered_and_dispatched(start_sim, options, kind, count):
    _, handle = connect(start_sim("--rate", "0", "--device-id", "0x1234", *options))
    handle.SendDeviceWakeup()
    assert handle.Receive() == count
    [(got_kind, args)] = handle.calls
    assert got_kind == kind
    device_id = args[1] if kind == "info" else args[0]
    assert device_id == 0x1234


def test_status_request_reports_a_unit_quaternion(start_sim):
    _, handle = connect(start_sim("--rate", "0"))
    handle.RequestStatus()
    assert handle.Receive() == 21
    [(kind, (device_id, quaternion, _, hall, n, user_data))] = handle.calls
    assert kind == "status"
    assert device_id == 0x0042
    assert len(quaternion) == 4 and math.isclose(math.hypot(*quaternion), 1.0, abs_tol=1e-5)
    assert 0 <= hall <= 31
    assert (n, user_data) == (0, [])


@pytest.mark.parametrize("data_length, user_data, echoed", [(1, 0xAB, [0xAB]), (0, None, [])])
def test_handle_state_comes_back_as_user_data(start_sim, data_length, user_data, echoed):
    _, handle = connect(start_sim("--rate", "0"))
    handle.SendHandleState(0x0042, data_length, user_data)
    handle.RequestStatus()
    assert handle.Receive() == 21 + len(echoed)
    [(kind, (_, _, _, _, n, got))] = handle.calls
    assert kind == "status"
    assert (n, got) == (len(echoed), echoed)


def test_unknown_request_gets_an_error_response(start_sim):
    path = start_sim("--rate", "0", "--device-id", "0x0777")
    _, handle = connect(path)
    # The handle class has no command for an unknown request: write one from
    # a second descriptor on the same port.
    fd = os.open(path, os.O_WRONLY | os.O_NOCTTY)
    try:
        os.write(fd, b"\x55")
    finally:
        os.close(fd)
    assert handle.Receive() == 3
    [(kind, (device_id, error_code))] = handle.calls
    assert kind == "error"
    assert device_id == 0x0777
    assert error_code != 0


def test_reply_code_the_handle_does_not_know_is_left_in_the_port(start_sim):
    _, handle = connect(start_sim("--rate", "0", "--corrupt-every", "1"))
    handle.SendDeviceWakeup()
    # 0xEE in place of 0xD0: not a handle reply, so nothing is dispatched.
    assert handle.Receive() == -1
    assert handle.calls == []


KEYS = ["device_id", "quaternion", "error_flag", "hall_effect_sensor_level", "buttons", "battery_level"]


def check_status(status, device_id=0x42):
    assert list(status) == KEYS
    assert status["error_flag"] == 0
    assert status["device_id"] == device_id & 0xFF
    # int16 components: a unit quaternion to within their resolution.
    assert math.isclose(math.hypot(*status["quaternion"]), 1.0, abs_tol=4e-4)
    assert 0 <= status["hall_effect_sensor_level"] <= 31
    assert 0 <= status["buttons"] <= 7
    assert 3.0 <= status["battery_level"] <= 4.275


def test_stylar_status_from_the_streamed_frames(start_sim):
    _, handle = connect(start_sim("--battery", "230", "--drain-per-s", "0", "--device-id", "0x0199"))
    for _ in range(5):
        status = handle.GetStylarStatus()
        check_status(status, device_id=0x0199)
        assert status["battery_level"] == pytest.approx(4.15, abs=1e-6)


def wait_queued(path: str, n: int, timeout: float = 2.0) -> None:
    """Waits until at least n bytes wait unread on the port (FIONREAD on a
    descriptor of our own, which reads nothing)."""
    fd = os.open(path, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        deadline = time.monotonic() + timeout
        while struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0" * 4))[0] < n:
            assert time.monotonic() < deadline, f"fewer than {n} bytes queued after {timeout} s"
            time.sleep(0.001)  # polling a count: there is no event for "n bytes queued"
    finally:
        os.close(fd)


def test_stylar_status_survives_bad_frames(start_sim):
    path = start_sim("--bad-frames-every", "2")
    _, handle = connect(path)
    for _ in range(6):
        # Every other frame is bad; with several queued a good one always
        # follows the bad ones a call has to drop.
        wait_queued(path, 200)
        check_status(handle.GetStylarStatus())
