"""Handle end to end against the simulated handle of korvo-sim.

The simulator is found through the KORVO_SIM environment variable, else on
PATH; without it these tests are skipped. Exchanges that go through Receive
run with streaming off (--rate 0): replies and status frames share the line,
and Receive is not meant to read frames."""

import fcntl
import math
import os
import select
import shutil
import struct
import subprocess
import termios
import time

import pytest

import KorvoHardwareAPI as korvo


def simulator() -> str:
    path = os.environ.get("KORVO_SIM") or shutil.which("korvo-sim")
    if not path or not os.access(path, os.X_OK):
        pytest.skip("korvo-sim not found: build sim/ and set KORVO_SIM to the binary, or put it on PATH")
    return path


def read_line(pipe, timeout: float) -> str:
    """One line from the simulator's standard output, within `timeout`."""
    data = b""
    deadline = time.monotonic() + timeout
    while not data.endswith(b"\n"):
        left = deadline - time.monotonic()
        ready, _, _ = select.select([pipe], [], [], max(left, 0))
        if not ready:
            raise AssertionError(f"korvo-sim printed no port line within {timeout} s (got {data!r})")
        chunk = os.read(pipe.fileno(), 1)
        if not chunk:
            raise AssertionError(f"korvo-sim ended before printing its port line (got {data!r})")
        data += chunk
    return data.decode()


@pytest.fixture
def start_sim(tmp_path):
    """start_sim(*handle_options) -> slave path of a simulated handle."""
    processes = []

    def start(*options: str) -> str:
        binary = simulator()
        log = open(tmp_path / f"korvo-sim-{len(processes)}.log", "wb")
        try:
            process = subprocess.Popen(
                [binary, "--die-with-parent", "handle", *options], stdout=subprocess.PIPE, stderr=log
            )
        except BaseException:
            log.close()
            raise
        processes.append((process, log))
        kind, path = read_line(process.stdout, 5.0).split()
        assert kind == "handle"
        return path

    yield start
    for process, log in processes:
        process.terminate()
        try:
            assert process.wait(timeout=5) == 0
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
            process.stdout.close()
            log.close()


class Recorder(korvo.Handle):
    def __init__(self, stream):
        super().__init__(stream)
        self.calls = []

    def OnReceiveHandleInfo(self, *args):
        self.calls.append(("info", args))

    def OnReceiveHandleStatusMessage(self, *args):
        self.calls.append(("status", args))

    def OnReceiveHandleErrorResponse(self, *args):
        self.calls.append(("error", args))


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
