"""Tests of korvo-sim, the device simulator, through its pseudo-terminals.

The library is not involved: every exchange is raw OS I/O on the slave path that
korvo-sim prints (os.open, termios raw, os.read/os.write), and every wait is a
select() bounded by a deadline on the monotonic clock.

The binary is the one korvo_sim finds ($KORVO_SIM, beside the interpreter,
or on PATH); without one the module is skipped.
"""

from __future__ import annotations

import fcntl
import math
import os
import resource
import select
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import termios
import time
import tty
from dataclasses import dataclass

import pytest

def _find_sim() -> str | None:
    try:
        from korvo_sim import SimulatorError, binary
    except ImportError:
        return os.environ.get("KORVO_SIM") or shutil.which("korvo-sim")
    try:
        return binary()
    except SimulatorError:
        return None


SIM = _find_sim()

pytestmark = [pytest.mark.no_library, pytest.mark.skipif(
    SIM is None,
    reason="korvo-sim not found: build it (cmake -S sim -B /tmp/simbuild && cmake --build /tmp/simbuild) "
    "and set KORVO_SIM=/tmp/simbuild/korvo-sim, or put korvo-sim on PATH",
)]

# The simulator at real-time priority where the tests may give it that: it
# keeps its clock and answers at once whatever else the machine runs, as a
# device does. (Where they may not, it would say so on standard error.)
REALTIME = ("--realtime", "50") if os.geteuid() == 0 or resource.getrlimit(resource.RLIMIT_RTPRIO)[0] >= 50 else ()

# Upper bounds for things that normally take microseconds; a passing test never
# waits for them, they only bound a failing one.
REPLY_TIMEOUT = 1.0
STARTUP_TIMEOUT = 5.0

DEVICE_WORDS = {"loopback", "arm", "handle"}


# --------------------------------------------------------------------------
# Plumbing: deadlines, the simulator process, a raw serial port
# --------------------------------------------------------------------------


class Deadline:
    def __init__(self, seconds: float) -> None:
        self.end = time.monotonic() + seconds

    def remaining(self) -> float:
        return max(0.0, self.end - time.monotonic())

    def expired(self) -> bool:
        return time.monotonic() >= self.end


class Sim:
    """One korvo-sim process and the port lines it printed."""

    def __init__(self, args: list[str]) -> None:
        self.args = [str(a) for a in args]
        self.links = [self.args[i + 1] for i, a in enumerate(self.args[:-1]) if a == "--link"]
        self.proc = subprocess.Popen(
            [SIM, "--die-with-parent", *REALTIME, *self.args],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        self._pending = b""
        self._stderr = b""
        self._stopped = False
        count = sum(1 for a in self.args if a in DEVICE_WORDS)
        try:
            self.ports = [self.read_line() for _ in range(count)]
        except BaseException:
            self.stop()
            raise

    def read_line(self, timeout: float = STARTUP_TIMEOUT) -> tuple[str, str]:
        deadline = Deadline(timeout)
        fd = self.proc.stdout.fileno()
        while b"\n" not in self._pending:
            ready, _, _ = select.select([fd], [], [], deadline.remaining())
            if not ready:
                pytest.fail(f"korvo-sim printed no port line within {timeout} s")
            chunk = os.read(fd, 4096)
            if not chunk:
                rc = self.stop()
                pytest.fail(f"korvo-sim exited early ({rc}): {self.stderr()}")
            self._pending += chunk
        line, _, self._pending = self._pending.partition(b"\n")
        kind, path = line.decode().split(" ")
        return kind, path

    def stdout_quiet_for(self, seconds: float) -> bool:
        if self._pending:
            return False
        ready, _, _ = select.select([self.proc.stdout.fileno()], [], [], seconds)
        return not ready

    def path(self, index: int = 0) -> str:
        return self.ports[index][1]

    def stop(self, sig: int = signal.SIGTERM, timeout: float = 5.0) -> int:
        """Stops korvo-sim (if still running) and returns its exit status."""
        if self._stopped:
            return self.proc.returncode
        self._stopped = True
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            rc = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            pytest.fail(f"korvo-sim did not stop within {timeout} s of signal {sig}")
        self._stderr += self.proc.stderr.read()
        self.proc.stdout.close()
        self.proc.stderr.close()
        return rc

    def stderr(self) -> str:
        return self._stderr.decode(errors="replace")


class Port:
    """The host end of a device's serial link, configured as the library does."""

    def __init__(self, path: str) -> None:
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
        attrs = termios.tcgetattr(self.fd)
        tty.cfmakeraw(attrs)
        attrs[4] = attrs[5] = termios.B115200
        termios.tcsetattr(self.fd, termios.TCSANOW, attrs)

    def close(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1

    def write(self, data: bytes) -> None:
        view = memoryview(data)
        deadline = Deadline(REPLY_TIMEOUT)
        while view:
            _, ready, _ = select.select([], [self.fd], [], deadline.remaining())
            if not ready:
                pytest.fail("port not writable")
            view = view[os.write(self.fd, view):]

    def read_exact(self, n: int, timeout: float = REPLY_TIMEOUT) -> bytes:
        data = b""
        deadline = Deadline(timeout)
        while len(data) < n:
            ready, _, _ = select.select([self.fd], [], [], deadline.remaining())
            if not ready:
                pytest.fail(f"expected {n} bytes within {timeout} s, got {len(data)}: {data.hex(' ')}")
            chunk = os.read(self.fd, n - len(data))
            if not chunk:
                pytest.fail(f"port hung up after {len(data)} of {n} bytes")
            data += chunk
        return data

    def read_for(self, seconds: float) -> bytes:
        """Everything that arrives within `seconds`."""
        data = b""
        deadline = Deadline(seconds)
        while not deadline.expired():
            ready, _, _ = select.select([self.fd], [], [], deadline.remaining())
            if ready:
                data += os.read(self.fd, 65536)
        return data

    def read_until(self, marker: int, timeout: float = REPLY_TIMEOUT) -> bytes:
        """Bytes up to and including the next `marker` byte."""
        data = b""
        while not data.endswith(bytes([marker])):
            data += self.read_exact(1, timeout)
        return data

    def quiet_for(self, seconds: float) -> bool:
        ready, _, _ = select.select([self.fd], [], [], seconds)
        return not ready

    def pending(self) -> int:
        raw = fcntl.ioctl(self.fd, termios.FIONREAD, b"\0\0\0\0")
        return struct.unpack("i", raw)[0]

    def wait_hangup(self, timeout: float = 2.0) -> None:
        deadline = Deadline(timeout)
        while True:
            ready, _, _ = select.select([self.fd], [], [], deadline.remaining())
            if not ready:
                pytest.fail("the port was not hung up")
            try:
                if not os.read(self.fd, 4096):
                    return
            except OSError:
                return

    def exchange(self, request: bytes, reply_length: int) -> bytes:
        self.write(request)
        return self.read_exact(reply_length)


def wait_for(predicate, timeout: float, what: str) -> None:
    """Polls a condition that no descriptor can signal (a path appearing or going)."""
    deadline = Deadline(timeout)
    while not predicate():
        if deadline.expired():
            pytest.fail(f"timed out waiting for {what}")
        select.select([], [], [], 0.001)


@pytest.fixture
def start_sim():
    started: list[Sim] = []

    def start(*args) -> Sim:
        sim = Sim(list(args))
        started.append(sim)
        return sim

    yield start

    problems = []
    for sim in started:
        rc = sim.stop()
        if rc != 0:
            problems.append(f"korvo-sim {' '.join(sim.args)} exited with {rc}: {sim.stderr()}")
        problems += [f"link {link} left behind" for link in sim.links if os.path.lexists(link)]
    assert not problems


@pytest.fixture
def open_port():
    ports: list[Port] = []

    def open_(path: str) -> Port:
        port = Port(path)
        ports.append(port)
        return port

    yield open_
    for port in ports:
        port.close()


# --------------------------------------------------------------------------
# Wire helpers
# --------------------------------------------------------------------------


def f3(*values: float) -> bytes:
    return struct.pack("<3f", *values)


def floats(payload: bytes) -> tuple[float, ...]:
    return struct.unpack(f"<{len(payload) // 4}f", payload)


def arm_state(port: Port, code: int, values=(0.0, 0.0, 0.0)) -> tuple[tuple[float, ...], tuple[float, ...]]:
    """One vector exchange: returns the two reported vectors."""
    reply = port.exchange(bytes([code]) + f3(*values), 25)
    assert reply[0] == {0x2A: 0x2B, 0x2C: 0x2B, 0x1A: 0x1B, 0x1C: 0x1B}[code]
    v = floats(reply[1:])
    return v[:3], v[3:]


def joint_state(port: Port):
    return arm_state(port, 0x1A)  # zero torques: read without pushing


def end_effector_state(port: Port):
    return arm_state(port, 0x2A)  # zero force


# Forward kinematics of the arm, written from the formulas independently of the
# simulator, so a fault in either shows up as a disagreement.
L1 = M1 = 0.14
L2 = M2 = 0.165
EXTENSION = 0.0765
HOST_PI = 3.141592
QX, QY, QZ, QW = 0.0, 0.7071, 0.0, 0.7071


def forward_kinematics(r0: float, r1: float, r2: float) -> tuple[float, float, float]:
    t0 = (r0 + 90) * HOST_PI / 180
    t1 = (-r1 - 180) * HOST_PI / 180
    t2 = (-r2 - 180) * HOST_PI / 180
    x = L1 * math.cos(t1) - M1 * math.cos(t2)
    y = L1 * math.sin(t1) - M1 * math.sin(t2)
    psi = math.atan2(y, x)
    c = math.sqrt(x * x + y * y)
    if c < 1e-6:
        sigma = t1
    else:
        sigma = psi + HOST_PI - math.acos((L2 * L2 + c * c - M2 * M2) / (2 * c * L2))
    u = L1 * math.cos(t1) + L2 * math.cos(sigma)
    v = L1 * math.sin(t1) + L2 * math.sin(sigma)
    r = -0.052 + EXTENSION
    bx = r * math.cos(t0) + v * math.sin(t0)
    by = r * math.sin(t0) - v * math.cos(t0)
    bz = -(u + 0.18645)
    m = (
        (1 - 2 * (QY * QY + QZ * QZ), 2 * (QX * QY - QW * QZ), 2 * (QX * QZ + QW * QY)),
        (2 * (QX * QY + QW * QZ), 1 - 2 * (QX * QX + QZ * QZ), 2 * (QY * QZ - QW * QX)),
        (2 * (QX * QZ - QW * QY), 2 * (QY * QZ + QW * QX), 1 - 2 * (QX * QX + QY * QY)),
    )
    return tuple(row[0] * bz + row[1] * by + row[2] * bx for row in m)


def distance(a, b) -> float:
    return math.dist(a, b)


def drive(port: Port, code: int, values, done, timeout: float):
    """Repeats a command (keeping the watchdog fed) until done(state) or timeout."""
    deadline = Deadline(timeout)
    while True:
        state = arm_state(port, code, values)
        if done(state):
            return state
        if deadline.expired():
            pytest.fail(f"command 0x{code:02X} {values} did not get there: last state {state}")


def timed_states(port: Port, code: int, values, seconds: float):
    """Repeats a command for `seconds`; returns (send time, receive time, state)."""
    samples = []
    deadline = Deadline(seconds)
    while not deadline.expired():
        sent = time.monotonic()
        state = arm_state(port, code, values)
        samples.append((sent, time.monotonic(), state))
    return samples


def hold(port: Port, code: int, values, seconds: float):
    """Repeats a command for `seconds`; returns (host time, state) samples."""
    return [(received, state) for _, received, state in timed_states(port, code, values, seconds)]


# Handle status frames: 0xDA, SLIP-stuffed body, 0xC0.


def unstuff(raw: bytes) -> bytes:
    out = bytearray()
    i = 0
    while i < len(raw):
        b = raw[i]
        if b == 0xDB and i + 1 < len(raw) and raw[i + 1] in (0xDC, 0xDD):
            out.append(0xC0 if raw[i + 1] == 0xDC else 0xDB)
            i += 2
            continue
        if b not in (0xDB, 0xC0):
            out.append(b)
        i += 1
    return bytes(out)


@dataclass
class Frame:
    raw: bytes  # stuffed body, between 0xDA and 0xC0
    body: bytes  # unstuffed
    arrived: float

    @property
    def checksum_ok(self) -> bool:
        return len(self.body) >= 18 and (0xDA + sum(self.body[:-1])) % 256 == self.body[-1]

    @property
    def counter(self) -> int:
        return self.body[0] | self.body[1] << 8

    @property
    def hall(self) -> int:
        return self.body[3] & 0x1F

    @property
    def buttons(self) -> int:
        return self.body[3] >> 5

    @property
    def quaternion(self) -> tuple[float, float, float, float]:
        a, b, c, d = struct.unpack("<4h", self.body[8:16])
        return (a / 32768, -b / 32768, -c / 32768, d / 32768)

    @property
    def battery(self) -> int:
        return self.body[16]


def sync_to_frames(port: Port) -> None:
    """Drops bytes up to the end of the frame in progress."""
    port.read_until(0xC0)


def read_frame(port: Port, timeout: float = REPLY_TIMEOUT) -> Frame:
    data = port.read_until(0xC0, timeout)
    assert data[0] == 0xDA, f"frame does not start with 0xDA: {data.hex(' ')}"
    return Frame(data[1:-1], unstuff(data[1:-1]), time.monotonic())


def read_frames(port: Port, count: int) -> list[Frame]:
    sync_to_frames(port)
    return [read_frame(port) for _ in range(count)]


def quaternion_angle(p, q) -> float:
    dot = min(1.0, abs(sum(a * b for a, b in zip(p, q))))
    return 2 * math.acos(dot)


def parse_notifications(data: bytes) -> tuple[list[tuple[int, int, bytes]], bytes]:
    """Splits leading notification frames off; returns them and the rest."""
    notes = []
    while data and data[0] in (0xBA, 0xBB):
        length = data[2]
        notes.append((data[0], length, data[3 : 3 + length]))
        data = data[3 + length :]
    return notes, data


# --------------------------------------------------------------------------
# loopback
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "payload",
    [b"\x00", b"\xff", b"\x00\xff\x00\xff", bytes(range(256)), b"\x11\x13\x03\x04\r\n" * 8, bytes(range(256)) * 12],
    ids=["zero", "ff", "alternating", "all-values", "control-chars", "3072-bytes"],
)
def test_loopback_echoes_every_byte_unchanged(start_sim, open_port, payload):
    port = open_port(start_sim("loopback").path())
    port.write(payload)
    assert port.read_exact(len(payload)) == payload
    assert port.quiet_for(0.02)


# --------------------------------------------------------------------------
# arm: request table
# --------------------------------------------------------------------------


def check_wakeup(payload):
    device_id, model, _hardware, _firmware = struct.unpack("<HBBB", payload[:5])
    assert (device_id, model) == (0x0104, 4)
    assert any(payload[5:21])


def check_resting_end_effector(payload):
    v = floats(payload)
    assert all(math.isfinite(x) for x in v)
    assert 0.15 < v[2] < 0.30 and abs(v[0]) < 0.1 and abs(v[1]) < 0.1
    assert v[3:] == (0.0, 0.0, 0.0)


def check_resting_joints(payload):
    v = floats(payload)
    r0, r1, r2 = v[:3]
    assert -75 <= r0 <= 75 and 15 <= r1 + r2 <= 120 and 40 <= r2 - r1 <= 150
    assert v[3:] == (0.0, 0.0, 0.0)


def check_uuid(payload):
    assert payload[0] == 0x10 and len(payload) == 17 and any(payload[1:])


def check_currents_at_rest(payload):
    assert floats(payload) == (0.0, 0.0, 0.0)


def check_orientation(payload):
    assert floats(payload) == struct.unpack("<4f", struct.pack("<4f", 0.0, 0.7071, 0.0, 0.7071))


def check_power(payload):
    assert payload == b"\x01"


def check_temperature(payload):
    (celsius,) = floats(payload)
    assert 30.0 <= celsius <= 45.0


ARM_TABLE = [
    # request, reply header, payload length, payload check
    pytest.param(b"\x0a", b"\x0b", 21, check_wakeup, id="wakeup"),
    pytest.param(b"\x2a" + f3(0, 0, 0), b"\x2b", 24, check_resting_end_effector, id="force"),
    pytest.param(b"\x1a" + f3(0, 0, 0), b"\x1b", 24, check_resting_joints, id="torques"),
    pytest.param(b"\x1c" + f3(0, 30, 60), b"\x1b", 24, check_resting_joints, id="angles"),
    pytest.param(b"\x0d\xd1", b"\x0d\xd1", 17, check_uuid, id="identity"),
    pytest.param(b"\x0d\xd2", b"\x0d\xd2", 17, check_uuid, id="firmware"),
    pytest.param(b"\xab", b"\xab", 12, check_currents_at_rest, id="currents"),
    pytest.param(b"\x0c", b"\x0c", 16, check_orientation, id="orientation"),
    pytest.param(b"\xac", b"\xac", 1, check_power, id="power"),
    pytest.param(b"\xaa", b"\xaa", 4, check_temperature, id="temperature"),
]


@pytest.mark.parametrize("request_bytes, header, length, check", ARM_TABLE)
def test_arm_reply_code_length_and_values(start_sim, open_port, request_bytes, header, length, check):
    port = open_port(start_sim("arm").path())
    reply = port.exchange(request_bytes, len(header) + length)
    assert reply[: len(header)] == header
    check(reply[len(header) :])
    assert port.quiet_for(0.01), "reply longer than its code says"


def test_arm_position_request_answers_with_end_effector_state(start_sim, open_port):
    port = open_port(start_sim("arm").path())
    here, _ = end_effector_state(port)
    position, velocity = arm_state(port, 0x2C, here)
    assert distance(position, here) < 1e-4
    assert all(math.isfinite(v) for v in velocity)


def test_arm_identity_records_agree(start_sim, open_port):
    port = open_port(start_sim("arm", "--device-id", "0x2345", "--model", "9").path())
    wakeup = port.exchange(b"\x0a", 22)
    identity = port.exchange(b"\x0d\xd1", 19)
    firmware = port.exchange(b"\x0d\xd2", 19)
    assert struct.unpack("<HB", wakeup[1:4]) == (0x2345, 9)
    assert wakeup[6:22] == identity[3:19], "wakeup and identity report different UUIDs"
    assert firmware[3:19] != identity[3:19]
    # A second arm with another id must not share the UUID.
    other = open_port(start_sim("arm").path())
    assert other.exchange(b"\x0d\xd1", 19)[3:19] != identity[3:19]


@pytest.mark.parametrize(
    "noise",
    [b"\x00", b"\xff\x55\x0b", b"\x0d\x00", b"\x0d\xd3", b"\xee\x0d\x7f"],
    ids=["zero", "junk", "identity-sub-00", "identity-sub-d3", "mixed"],
)
def test_arm_ignores_unknown_codes_and_identity_subcodes(start_sim, open_port, noise):
    port = open_port(start_sim("arm").path())
    port.write(noise + b"\xac")
    assert port.read_exact(2) == b"\xac\x01"
    assert port.quiet_for(0.01)


def test_arm_answers_pipelined_requests_in_order(start_sim, open_port):
    port = open_port(start_sim("arm").path())
    port.write(b"\xac\x0c\x0d\xd1\xaa\x1a" + f3(0, 0, 0) + b"\xac")
    data = port.read_exact(2 + 17 + 19 + 5 + 25 + 2)
    codes = [data[0], data[2], data[19], data[38], data[43], data[68]]
    assert codes == [0xAC, 0x0C, 0x0D, 0xAA, 0x1B, 0xAC]


def test_arm_waits_for_a_request_split_across_writes(start_sim, open_port):
    port = open_port(start_sim("arm").path())
    request = b"\x1a" + f3(0, 0, 0)
    for b in request[:-1]:
        port.write(bytes([b]))
    assert port.quiet_for(0.02), "answered before the request was complete"
    port.write(request[-1:])
    assert port.read_exact(25)[0] == 0x1B


# --------------------------------------------------------------------------
# arm: kinematics and physics
# --------------------------------------------------------------------------

KINEMATIC_CHECKS = [
    ((0, 0, 0), (0.0000021, 0.0245, -0.1185477)),
    ((0, -30, 30), (-0.0000042, 0.0245, 0.2146179)),
    ((45, -20, 40), (-0.0207871, 0.0138649, 0.2141895)),
]


@pytest.mark.parametrize("angles, expected", KINEMATIC_CHECKS, ids=["folded", "symmetric", "turned"])
def test_reference_kinematics_checks(angles, expected):
    position = forward_kinematics(*angles)
    assert all(abs(p - e) < 1e-6 for p, e in zip(position, expected)), position


def test_joint_angle_target_reaches_the_checked_pose(start_sim, open_port):
    port = open_port(start_sim("arm").path())
    target = (45.0, -20.0, 40.0)
    drive(port, 0x1C, target, lambda s: distance(s[0], target) < 1e-3 and max(map(abs, s[1])) < 0.01, 3.0)
    position, _ = arm_state(port, 0x2C, forward_kinematics(*target))
    expected = KINEMATIC_CHECKS[2][1]
    assert all(abs(p - e) < 2e-6 for p, e in zip(position, expected)), position


@pytest.mark.parametrize(
    "pose", [None, (45.0, -20.0, 40.0), (-60.0, -60.0, 80.0), (10.0, 20.0, 70.0)], ids=["start", "a", "b", "c"]
)
def test_reported_position_is_kinematics_of_reported_angles(start_sim, open_port, pose):
    port = open_port(start_sim("arm").path())
    if pose is not None:
        drive(port, 0x1C, pose, lambda s: distance(s[0], pose) < 1e-3 and max(map(abs, s[1])) < 1e-3, 3.0)
        angles, _ = arm_state(port, 0x1C, pose)
        position, _ = arm_state(port, 0x2C, forward_kinematics(*angles))
    else:
        angles, _ = joint_state(port)
        position, _ = end_effector_state(port)
    expected = forward_kinematics(*angles)
    assert all(abs(p - e) < 1e-6 for p, e in zip(position, expected)), (angles, position, expected)


@pytest.mark.parametrize("angles", [(20.0, -5.0, 70.0), (-30.0, -40.0, 90.0), (0.0, 0.0, 60.0)])
def test_position_target_is_approached(start_sim, open_port, angles):
    port = open_port(start_sim("arm").path())
    target = forward_kinematics(*angles)
    start, _ = end_effector_state(port)
    assert distance(start, target) > 0.003
    position, velocity = drive(
        port, 0x2C, target, lambda s: distance(s[0], target) < 1e-4 and max(map(abs, s[1])) < 1e-3, 3.0
    )
    # And it stays there: no oscillation once reached.
    for _, (p, _v) in hold(port, 0x2C, target, 0.1):
        assert distance(p, target) < 2e-4


@pytest.mark.parametrize("force", [(0.0, 0.0, -3.0), (0.0, 0.0, 3.0), (3.0, 0.0, 0.0), (0.0, -3.0, 0.0)])
def test_force_moves_the_arm_along_the_force(start_sim, open_port, force):
    port = open_port(start_sim("arm").path())
    before, _ = end_effector_state(port)
    samples = hold(port, 0x2A, force, 0.15)
    after = samples[-1][1][0]
    moved = [a - b for a, b in zip(after, before)]
    assert math.hypot(*moved) > 1e-3, f"the arm barely moved: {moved}"
    work = sum(m * f for m, f in zip(moved, force))
    assert work > 0, f"moved {moved} against the force {force}"


def integrate(samples, pick):
    """Trapezoidal integral of a reported rate over host arrival times."""
    total = [0.0, 0.0, 0.0]
    for (t0, s0), (t1, s1) in zip(samples, samples[1:]):
        for i in range(3):
            total[i] += 0.5 * (pick(s0)[i] + pick(s1)[i]) * (t1 - t0)
    return total


@pytest.mark.parametrize(
    "code, values",
    [(0x2A, (0.0, 0.0, -2.0)), (0x1A, (0.02, 0.0, 0.0)), (0x1A, (0.0, -0.01, 0.01))],
    ids=["end-effector", "base-joint", "linkage-joints"],
)
def test_reported_velocity_matches_the_motion(start_sim, open_port, code, values):
    port = open_port(start_sim("arm").path())
    # The arm took each state between the request leaving and the reply coming
    # back; exchanges stretched by scheduling would blur that time, so only the
    # quicker ones are used (under 0.5 ms, or the quicker half on a machine too
    # busy for that), time-stamped at their middle.
    timed = timed_states(port, code, values, 0.1)
    quick = max(0.0005, statistics.median(received - sent for sent, received, _ in timed))
    samples = [(0.5 * (sent + received), state) for sent, received, state in timed if received - sent <= quick]
    assert len(samples) > 10, f"too few quick exchanges to integrate: {len(samples)} of {len(timed)}"
    travelled = [b - a for a, b in zip(samples[0][1][0], samples[-1][1][0])]
    integrated = integrate(samples, lambda s: s[1])
    size = math.hypot(*travelled)
    assert size > 1e-4
    assert math.dist(travelled, integrated) < 0.1 * size, (travelled, integrated)


# The arm's physics as korvo-sim --help documents it, for closed forms.
INERTIA = (2.0e-3, 1.0e-3, 1.0e-3)  # kg*m^2
DAMPING = (0.02, 0.01, 0.01)  # N*m*s/rad
WATCHDOG = 0.100  # s
MODEL_STEP = 0.5e-3  # s: a lapse is noticed at the first step past the watchdog
TORQUE_CONSTANT = 0.1  # N*m/A
WINDING_RESISTANCE = 0.5  # ohm
THERMAL_RESISTANCE = 2.0  # K/W
THERMAL_TIME = 120.0  # s
IDLE_TEMPERATURE = 36.5  # C


def timed_exchange(port: Port, request: bytes, reply_length: int) -> tuple[float, float, bytes]:
    """One exchange and the host times around it: korvo-sim handled the
    request somewhere between the two."""
    sent = time.monotonic()
    reply = port.exchange(request, reply_length)
    return sent, time.monotonic(), reply


def currents(port: Port) -> tuple[float, float, tuple[float, ...]]:
    sent, received, reply = timed_exchange(port, b"\xab", 13)
    return sent, received, floats(reply[1:])


@pytest.mark.serial
def test_watchdog_drops_the_command_100_ms_after_the_last_request(start_sim, open_port):
    port = open_port(start_sim("arm").path())
    torques = (0.1, 0.05, -0.05)
    in_force = floats(struct.pack("<3f", *(t / TORQUE_CONSTANT for t in torques)))
    verdicts = []
    # Gaps on either side of the watchdog, far enough from it that an
    # exchange stretched by scheduling rarely leaves the outcome open.
    for gap in (0.03, 0.075, 0.125, 0.17, 0.06, 0.14):
        sent, commanded, _ = timed_exchange(port, b"\x1a" + f3(*torques), 25)
        time.sleep(gap)
        asked, answered, now = currents(port)
        # korvo-sim took each request between its sending and its reply.
        least, most = asked - commanded, answered - sent
        if least > WATCHDOG + MODEL_STEP:
            verdicts.append(("lapsed", gap))
            assert now == (0.0, 0.0, 0.0), f"still in force after {least:.4f} s without a request"
        elif most < WATCHDOG:
            verdicts.append(("in force", gap))
            assert now == in_force, f"lapsed after less than {most:.4f} s"
        # Otherwise the machine stretched the gap across the watchdog: no verdict.
    kinds = {kind for kind, _ in verdicts}
    assert kinds == {"lapsed", "in force"}, f"too few clear-cut gaps: {verdicts}"


def test_a_hand_holds_the_arm_like_a_spring(start_sim, open_port):
    # It holds the arm where it started (its path begins in a minute):
    # a steady force moves the arm force / stiffness and no further.
    port = open_port(start_sim("arm", "--hand-path", "0.02,0,0", "--hand-start-ms", "60000",
                               "--hand-stiffness", "200", "--hand-damping", "2").path())
    before, _ = end_effector_state(port)
    samples = hold(port, 0x2A, (1.0, 0.0, 0.0), 1.0)
    # 1 N against 200 N/m: 5 mm along x, reached within a fraction of a
    # second (the arm's own damping over the hand's stiffness).
    moved = [a - b for a, b in zip(samples[-1][1][0], before)]
    assert moved[0] == pytest.approx(0.005, rel=0.1), moved
    assert math.hypot(moved[1], moved[2]) < 0.001, moved
    assert abs(samples[-1][1][1][0]) < 0.002, "still moving"


def test_a_hand_moves_the_arm_along_its_path_and_lets_go(start_sim, open_port):
    sim = start_sim("arm", "--hand-path", "0.01,0,0,0,0,0.004", "--hand-hz", "1", "--hand-stiffness", "200",
                    "--hand-damping", "2", "--hand-release-ms", "2500")
    port = open_port(sim.path())
    start, _ = end_effector_state(port)
    samples = hold(port, 0x2A, (0.0, 0.0, 0.0), 1.5)
    offsets = [[p - s for p, s in zip(state[0], start)] for _, state in samples]
    spans = [max(o[i] for o in offsets) - min(o[i] for o in offsets) for i in range(3)]
    # p0 + (10 mm sin, 0, 4 mm (1 - cos)): x back and forth, z up to 8 mm,
    # y held (but for what the linkage couples into it).
    assert spans[0] > 0.012 and spans[2] > 0.004 and spans[1] < spans[0] / 4, spans
    assert min(o[2] for o in offsets) > -0.001, "the path's z never goes below where the arm began"
    # Let go of (2.5 s after korvo-sim started), the arm coasts to a stop
    # and stays, whatever the path would have done.
    time.sleep(max(0.0, 3.0 - (time.monotonic() - samples[0][0])))
    still = hold(port, 0x2A, (0.0, 0.0, 0.0), 0.5)
    first, last = still[0][1][0], still[-1][1][0]
    assert math.dist(first, last) < 0.001, (first, last)


def time_constant(joint: int) -> float:
    return INERTIA[joint] / DAMPING[joint]


def rest_point(state, joint: int) -> float:
    """Where a freely turning joint comes to rest: q + w * J/b, in degrees."""
    (angles, velocities) = state
    return angles[joint] + velocities[joint] * time_constant(joint)


@pytest.mark.serial
@pytest.mark.parametrize("joint, torque", [(0, 0.02), (2, 0.01), (1, -0.006)], ids=["base", "outer", "inner"])
@pytest.mark.parametrize("release", ["zero-torque", "silence"])
def test_released_joint_coasts_to_its_rest_point(start_sim, open_port, joint, torque, release):
    port = open_port(start_sim("arm").path())
    push = tuple(torque if j == joint else 0.0 for j in range(3))
    hold(port, 0x1A, push, 0.15)
    # Released by a zero torque, the joint is free from that request on; left
    # in silence, the push goes on until the watchdog lapses (noticed at the
    # first model step past it), and only then is the joint free.
    drive = math.degrees(torque / DAMPING[joint])  # terminal speed under the push, deg/s
    pushed_for = (0.0, 0.0) if release == "zero-torque" else (WATCHDOG, WATCHDOG + MODEL_STEP)
    sent = time.monotonic()
    last = arm_state(port, 0x1A, (0.0, 0.0, 0.0) if release == "zero-torque" else push)
    replied = time.monotonic()
    assert abs(last[1][joint]) > 20.0, f"the joint barely moved: {last}"
    time.sleep(0.3)
    asked = time.monotonic()
    after = arm_state(port, 0x1A, (0.0, 0.0, 0.0))
    answered = time.monotonic()

    # The rest point moves at torque/b while the push lasts, and not at all
    # while the joint turns freely, however long that is.
    moved = rest_point(after, joint) - rest_point(last, joint)
    low, high = sorted(drive * t for t in pushed_for)
    assert low - 1e-3 <= moved <= high + 1e-3, (moved, (low, high), last, after)

    # Its speed: toward the terminal speed during the push, then falling as
    # exp(-t / 0.1 s), over a pause the host times to within its exchanges.
    def speed(pause: float, pushing: float) -> float:
        w = drive + (last[1][joint] - drive) * math.exp(-pushing / time_constant(joint))
        return w * math.exp(-(pause - pushing) / time_constant(joint))

    corners = [speed(p, t) for p in (asked - replied, answered - sent) for t in pushed_for]
    slowest, fastest = sorted(corners, key=abs)[0], sorted(corners, key=abs)[-1]
    assert 0.9 * abs(slowest) <= abs(after[1][joint]) <= 1.1 * abs(fastest), (after[1][joint], corners)
    assert after[1][joint] * last[1][joint] > 0, "the joint turned back"
    # The other joints never moved.
    assert [after[1][j] for j in range(3) if j != joint] == [0.0, 0.0]


def temperature(port: Port) -> tuple[float, float, float]:
    sent, received, reply = timed_exchange(port, b"\xaa", 5)
    return sent, received, floats(reply[1:])[0]


@pytest.mark.serial
@pytest.mark.parametrize("torques", [(0.5, 0.5, -0.5), (0.3, -0.2, 0.1)], ids=["full", "mixed"])
def test_temperature_follows_the_thermal_model(start_sim, open_port, torques):
    port = open_port(start_sim("arm").path())
    _, _, idle = temperature(port)
    assert idle == IDLE_TEMPERATURE  # no load yet: exactly the idle temperature

    power = WINDING_RESISTANCE * sum((t / TORQUE_CONSTANT) ** 2 for t in torques)
    final = IDLE_TEMPERATURE + THERMAL_RESISTANCE * power

    def heated(seconds: float) -> float:
        # The load lasts until the watchdog lapses; after that, cooling.
        on = min(seconds, WATCHDOG)
        warm = final + (IDLE_TEMPERATURE - final) * math.exp(-on / THERMAL_TIME)
        return IDLE_TEMPERATURE + (warm - IDLE_TEMPERATURE) * math.exp(-(seconds - on) / THERMAL_TIME)

    commanded_sent, commanded, _ = timed_exchange(port, b"\x1a" + f3(*torques), 25)
    time.sleep(0.05)
    asked, answered, loaded = temperature(port)
    # heated() rises up to the watchdog and falls after it.
    shortest, longest = asked - commanded, answered - commanded_sent
    least = min(heated(shortest), heated(longest))
    most = heated(min(max(WATCHDOG, shortest), longest))
    ulp = 4e-6  # of a float near 36.5
    assert least - ulp <= loaded <= most + ulp, (loaded, least, most)
    assert loaded - idle > 100 * ulp, "the load did not warm the motors"

    # Once the load has lapsed (the reading above fed the watchdog, too), the
    # motors cool toward the idle temperature by the same time constant.
    time.sleep(0.2)
    first_asked, first_answered, first = temperature(port)
    time.sleep(0.5)
    then_asked, then_answered, then = temperature(port)

    def cooled(seconds: float) -> float:
        return IDLE_TEMPERATURE + (first - IDLE_TEMPERATURE) * math.exp(-seconds / THERMAL_TIME)

    assert first > loaded
    most, least = cooled(then_asked - first_answered), cooled(then_answered - first_asked)
    assert least - ulp <= then <= most + ulp, (then, least, most)
    assert first - then > 5 * ulp, "the motors did not cool"


@pytest.mark.parametrize(
    "code, values",
    [
        (0x1C, (170.0, -170.0, 170.0)),
        (0x1C, (-170.0, 90.0, 90.0)),
        (0x1A, (0.5, 0.5, -0.5)),
        (0x1A, (-0.5, -0.5, 0.5)),
        (0x2C, (1.0, 1.0, 1.0)),
        (0x2A, (50.0, -50.0, 50.0)),
    ],
    ids=["angles-far", "angles-folding", "torque-fold", "torque-stretch", "unreachable-target", "huge-force"],
)
def test_joint_limits_keep_the_linkage_away_from_singularities(start_sim, open_port, code, values):
    port = open_port(start_sim("arm").path())
    for _, (first, second) in hold(port, code, values, 0.3):
        assert all(math.isfinite(v) for v in first + second)
    angles, _ = joint_state(port)
    r0, r1, r2 = angles
    eps = 1e-3
    assert -75 - eps <= r0 <= 75 + eps
    assert 15 - eps <= r1 + r2 <= 120 + eps, "end effector near the base axis"
    assert 40 - eps <= r2 - r1 <= 150 + eps, "linkage near folded"
    gaps = [75 - abs(r0), r1 + r2 - 15, 120 - (r1 + r2), r2 - r1 - 40, 150 - (r2 - r1)]
    assert min(gaps) < 0.5, f"the command never pushed the arm into a limit: {angles}"
    position, _ = end_effector_state(port)
    assert all(math.isfinite(p) for p in position)


@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf])
@pytest.mark.parametrize("code", [0x1A, 0x1C, 0x2A, 0x2C])
def test_non_finite_commands_do_not_poison_the_arm(start_sim, open_port, code, bad):
    port = open_port(start_sim("arm").path())
    for _ in range(20):
        first, second = arm_state(port, code, (bad, 0.0, 0.0))
        assert all(math.isfinite(v) for v in first + second)
    assert floats(port.exchange(b"\xab", 13)[1:]) == (0.0, 0.0, 0.0)
    # A sane command afterwards still works.
    samples = hold(port, 0x1A, (0.05, 0.0, 0.0), 0.05)
    assert samples[-1][1][0][0] > samples[0][1][0][0]


# --------------------------------------------------------------------------
# handle: requests and replies
# --------------------------------------------------------------------------


def read_status_message(port: Port) -> dict:
    head = port.read_exact(22)
    assert head[0] == 0xDA
    device_id, error_flag, hall = struct.unpack("<HBB", head[1:5])
    quaternion = struct.unpack("<4f", head[5:21])
    user_data = port.read_exact(head[21]) if head[21] else b""
    return {"device_id": device_id, "error_flag": error_flag, "hall": hall, "q": quaternion, "user_data": user_data}


def test_handle_wakeup_answers_handle_info(start_sim, open_port):
    port = open_port(start_sim("handle", "--rate", "0").path())
    reply = port.exchange(b"\x0a", 7)
    assert reply[0] == 0xD0
    assert struct.unpack("<H", reply[2:4])[0] == 0x0042
    assert port.quiet_for(0.01)


def test_handle_wakeup_can_answer_with_status(start_sim, open_port):
    port = open_port(start_sim("handle", "--rate", "0", "--wakeup-reply", "status", "--device-id", "0x1234").path())
    port.write(b"\x0a")
    status = read_status_message(port)
    assert status["device_id"] == 0x1234 and status["user_data"] == b""


def test_handle_status_request(start_sim, open_port):
    port = open_port(start_sim("handle", "--rate", "0").path())
    port.write(b"\xda")
    status = read_status_message(port)
    assert status["device_id"] == 0x0042
    assert status["error_flag"] == 0
    assert 0 <= status["hall"] <= 31
    assert abs(math.hypot(*status["q"]) - 1.0) < 1e-5
    assert status["user_data"] == b""
    assert port.quiet_for(0.01)


@pytest.mark.parametrize(
    "user_data",
    [b"", b"\x01", b"\xc0\xdb\xdc\xdd\xda", bytes(range(255))],
    ids=["empty", "one", "frame-bytes", "255"],
)
@pytest.mark.parametrize("split", [False, True], ids=["one-write", "byte-by-byte"])
def test_handle_state_is_echoed_as_user_data(start_sim, open_port, user_data, split):
    port = open_port(start_sim("handle", "--rate", "0").path())
    state = b"\xdb" + struct.pack("<HB", 0x0042, len(user_data)) + user_data
    if split:
        for b in state:
            port.write(bytes([b]))
        assert port.quiet_for(0.01), "handle state must not be answered"
        port.write(b"\xda")
    else:
        port.write(state + b"\xda")  # the status is the first and only reply
    assert read_status_message(port)["user_data"] == user_data
    port.write(b"\xda")
    assert read_status_message(port)["user_data"] == user_data, "user data not kept"


def test_handle_state_replaces_the_previous_one(start_sim, open_port):
    port = open_port(start_sim("handle", "--rate", "0").path())
    port.write(b"\xdb\x42\x00\x03abc" + b"\xdb\x42\x00\x01z" + b"\xda")
    assert read_status_message(port)["user_data"] == b"z"


@pytest.mark.parametrize("code", [0x00, 0x0B, 0xD0, 0xDF, 0xC0, 0xFF])
def test_handle_answers_unknown_requests_with_an_error(start_sim, open_port, code):
    port = open_port(start_sim("handle", "--rate", "0", "--device-id", "0x0107").path())
    assert port.exchange(bytes([code]), 4) == b"\xdf\x07\x01\x01"
    assert port.quiet_for(0.01)


def test_handle_answers_pipelined_requests_in_order(start_sim, open_port):
    port = open_port(start_sim("handle", "--rate", "0").path())
    port.write(b"\x0a\x55\xda\x0a")
    data = port.read_exact(7 + 4 + 22 + 7)
    assert (data[0], data[7], data[11], data[33]) == (0xD0, 0xDF, 0xDA, 0xD0)


# --------------------------------------------------------------------------
# handle: streamed status frames
# --------------------------------------------------------------------------


@pytest.mark.serial
def test_status_frames_decode(start_sim, open_port):
    port = open_port(start_sim("handle", "--rate", "1000").path())
    frames = read_frames(port, 120)
    for f in frames:
        assert f.checksum_ok, f.raw.hex(" ")
        assert 18 <= len(f.body) <= 40
        assert f.body[2] == 0  # error flag
        assert f.body[4] == 0x42  # device id, low byte
        assert abs(math.hypot(*f.quaternion) - 1.0) < 2e-4
        assert f.battery == 230
    counters = [f.counter for f in frames]
    assert all((b - a) % 65536 == 1 for a, b in zip(counters, counters[1:])), counters
    raw = b"".join(f.raw for f in frames)
    assert b"\xdb\xdc" in raw and b"\xdb\xdd" in raw, "no escaped byte in 120 frames"
    # The handle turns slowly, about 0.5 rad/s.
    turned = quaternion_angle(frames[0].quaternion, frames[-1].quaternion)
    elapsed = (len(frames) - 1) / 1000
    assert 0.25 * elapsed < turned < 1.0 * elapsed + 0.01


def test_buttons_and_trigger_move(start_sim, open_port):
    port = open_port(start_sim("handle", "--rate", "25", "--seed", "3").path())
    frames = read_frames(port, 32)  # about 1.3 s
    buttons = [f.buttons for f in frames]
    changes = sum(1 for a, b in zip(buttons, buttons[1:]) if a != b)
    assert 1 <= changes <= 2, f"buttons should change about once a second: {buttons}"
    halls = [f.hall for f in frames]
    assert max(halls) - min(halls) >= 8, f"trigger barely moved: {halls}"
    steps = [abs(b - a) for a, b in zip(halls, halls[1:])]
    assert max(steps) <= 4, f"trigger jumps instead of moving: {halls}"


@pytest.mark.serial
@pytest.mark.parametrize("rate", [50, 400])
def test_status_frame_rate(start_sim, open_port, rate):
    port = open_port(start_sim("handle", "--rate", str(rate)).path())
    count = max(10, rate // 5)
    frames = read_frames(port, count)
    measured = (count - 1) / (frames[-1].arrived - frames[0].arrived)
    assert 0.8 * rate < measured < 1.25 * rate


def test_no_frames_with_rate_zero(start_sim, open_port):
    port = open_port(start_sim("handle", "--rate", "0").path())
    assert port.quiet_for(0.05)


@pytest.mark.serial
@pytest.mark.parametrize("battery, drain", [(200, 0.0), (200, 100.0), (3, 100.0)])
def test_battery_drains(start_sim, open_port, battery, drain):
    port = open_port(start_sim("handle", "--rate", "500", "--battery", str(battery), "--drain-per-s", str(drain)).path())
    frames = read_frames(port, 60)
    levels = [f.battery for f in frames]
    # Never rises: running out must stop at 0, not wrap round to 255.
    assert all(b <= a for a, b in zip(levels, levels[1:])), levels
    assert levels[0] <= battery
    elapsed = frames[-1].arrived - frames[0].arrived
    expected_drop = min(levels[0], drain * elapsed)
    assert abs((levels[0] - levels[-1]) - expected_drop) <= 2, (levels[0], levels[-1], elapsed)


# The reply is the handle as it is when the request arrives, and each frame
# the handle as it is when the frame leaves: the status lies between the
# frames around it. Asked well into a frame's period and held past the next
# frame's time, the reply is older than that frame.
@pytest.mark.parametrize("asked_after, delay", [(0.0, []), (0.03, ["--delay-us", "70000"])],
                         ids=["at-once", "held-past-a-frame"])
def test_status_message_matches_the_frames(start_sim, open_port, asked_after, delay):
    port = open_port(start_sim("handle", "--rate", "20", *delay).path())
    # Frames queued while the machine was busy would make `before` stale;
    # the status must be compared with the handle as it is now.
    termios.tcflush(port.fd, termios.TCIFLUSH)
    before = read_frames(port, 1)[0]
    time.sleep(asked_after)
    port.write(b"\xda")
    status = read_status_message(port)
    after = read_frame(port)
    assert status["error_flag"] == before.body[2] == 0
    low, high = sorted((before.hall, after.hall))
    assert low - 1 <= status["hall"] <= high + 1
    frame_step = quaternion_angle(before.quaternion, after.quaternion)
    assert quaternion_angle(status["q"], before.quaternion) <= frame_step + 2e-3
    assert quaternion_angle(status["q"], after.quaternion) <= frame_step + 2e-3


def test_replies_are_never_inside_a_frame(start_sim, open_port):
    port = open_port(start_sim("handle", "--rate", "2000").path())
    sync_to_frames(port)
    frames = 0
    for _ in range(40):
        port.write(b"\x0a")
        while True:
            first = port.read_exact(1)[0]
            if first == 0xDA:
                rest = port.read_until(0xC0)
                assert Frame(rest[:-1], unstuff(rest[:-1]), 0).checksum_ok
                frames += 1
                continue
            assert first == 0xD0, f"unexpected byte 0x{first:02X} between frames"
            port.read_exact(6)
            break
    assert frames > 0, "no frames streamed while requests were answered"


def classify(frame: Frame) -> str:
    raw = frame.raw
    if any(raw[i] == 0xDB and raw[i + 1] not in (0xDC, 0xDD) for i in range(len(raw) - 1)):
        return "stray-escape"
    if 0xDA in raw and not frame.checksum_ok and len(frame.body) > 24:
        return "missing-end"
    return "good" if frame.checksum_ok else "bad-checksum"


@pytest.mark.parametrize("every", [2, 3])
def test_bad_frames_cycle_through_their_kinds(start_sim, open_port, every):
    port = open_port(start_sim("handle", "--rate", "1000", "--bad-frames-every", str(every)).path())
    frames = read_frames(port, 40)
    kinds = []
    for f in frames:
        kind = classify(f)
        is_bad = (f.counter + 1) % every == 0
        assert (kind != "good") == is_bad, (f.counter, kind, f.raw.hex(" "))
        if is_bad:
            kinds.append(kind)
    # The frame behind a cut one is swallowed with it; it is a good one here.
    order = ["bad-checksum", "stray-escape", "missing-end"]
    start = order.index(kinds[0])
    assert kinds == [order[(start + i) % 3] for i in range(len(kinds))]


@pytest.mark.serial
def test_frames_stall_while_the_host_does_not_read(start_sim, open_port):
    port = open_port(start_sim("handle", "--rate", "2000").path())
    # Let the queue fill, then wait until it stops growing.
    deadline = Deadline(3.0)
    last, steady_since = -1, time.monotonic()
    while True:
        pending = port.pending()
        if pending != last:
            last, steady_since = pending, time.monotonic()
        elif pending > 400 and time.monotonic() - steady_since > 0.03:
            break
        if deadline.expired():
            pytest.fail(f"backlog never settled: {pending} bytes")
        select.select([], [], [], 0.002)
    assert 512 <= last <= 512 + 2 * 46, f"{last} bytes piled up"
    backlog = port.read_exact(last)
    assert backlog.endswith(b"\xc0"), "a frame was cut when the stream stalled"
    assert read_frame(port).checksum_ok, "streaming did not resume"


# --------------------------------------------------------------------------
# fault options
# --------------------------------------------------------------------------


@pytest.mark.serial
def test_delay_before_each_reply(start_sim, open_port):
    port = open_port(start_sim("arm", "--delay-us", "30000").path())
    started = time.monotonic()
    port.write(b"\xac\xac")
    assert port.read_exact(2, 2.0) == b"\xac\x01"
    first = time.monotonic() - started
    assert port.read_exact(2, 2.0) == b"\xac\x01"
    second = time.monotonic() - started
    assert 0.030 <= first < 1.0 and second >= 0.060


@pytest.mark.serial
def test_no_delay_by_default(start_sim, open_port):
    port = open_port(start_sim("arm").path())
    started = time.monotonic()
    port.exchange(b"\xac", 2)
    assert time.monotonic() - started < 0.030


def test_drop_every_nth_reply(start_sim, open_port):
    port = open_port(start_sim("arm", "--drop-every", "3").path())
    # Alternating codes tell which replies came back.
    codes = [0xAA, 0xAC] * 4  # 8 requests: the 3rd and 6th go unanswered
    port.write(bytes(codes))
    lengths = {0xAA: 5, 0xAC: 2}
    expected = [c for i, c in enumerate(codes, 1) if i % 3]
    data = port.read_exact(sum(lengths[c] for c in expected))
    got = []
    while data:
        got.append(data[0])
        data = data[lengths[data[0]] :]
    assert got == expected
    assert port.quiet_for(0.02)


def test_corrupt_every_nth_reply(start_sim, open_port):
    port = open_port(start_sim("arm", "--corrupt-every", "2").path())
    good = port.exchange(b"\x0a", 22)
    bad = port.exchange(b"\x0a", 22)
    assert good[0] == 0x0B and bad[0] == 0xEE and bad[1:] == good[1:]
    assert port.exchange(b"\x0a", 22) == good


def test_truncate_every_nth_reply(start_sim, open_port):
    port = open_port(start_sim("arm", "--truncate-every", "2").path())
    whole = port.exchange(b"\x0a", 22)
    half = port.exchange(b"\x0a", 11)
    assert port.exchange(b"\x0a", 22) == whole, "more than half of the cut reply was sent"
    assert half == whole[:11]


@pytest.mark.parametrize(
    "kind, sent, reply", [("loopback", b"\x01\x02", b"\xee\x02"), ("handle", b"\x55", b"\xee\x42\x00\x01")]
)
def test_faults_apply_to_every_device_kind(start_sim, open_port, kind, sent, reply):
    args = [kind, "--corrupt-every", "1"] + (["--rate", "0"] if kind == "handle" else [])
    port = open_port(start_sim(*args).path())
    assert port.exchange(sent, len(reply)) == reply


def test_notify_every_nth_reply(start_sim, open_port):
    port = open_port(start_sim("arm", "--notify-every", "3").path())
    notes_seen = []
    for i in range(1, 7):
        port.write(b"\xac")
        data = port.read_exact(1)
        if data[0] in (0xBA, 0xBB):
            data += port.read_exact(2)
            data += port.read_exact(data[2] + 2)
        else:
            data += port.read_exact(1)
        notes, rest = parse_notifications(data)
        assert rest == b"\xac\x01"
        assert len(notes) == (1 if i % 3 == 0 else 0), (i, notes)
        notes_seen += notes
    assert [n[0] for n in notes_seen] == [0xBA, 0xBB]


def test_notify_flood_precedes_every_reply(start_sim, open_port):
    port = open_port(start_sim("arm", "--notify-flood", "9").path())
    all_notes = []
    for _ in range(2):
        port.write(b"\xac")
        data = b""
        notes = []
        while len(notes) < 9:
            data += port.read_exact(3)
            data += port.read_exact(data[-1])
            notes, _ = parse_notifications(data)
        data += port.read_exact(2)
        notes, rest = parse_notifications(data)
        assert len(notes) == 9 and rest == b"\xac\x01"
        all_notes += notes
    assert [length for _, length, _ in all_notes] == list(range(9)) * 2
    assert [code for code, _, _ in all_notes] == [0xBA, 0xBB] * 9


def notification_bytes(sim_args) -> bytes:
    sim = Sim(sim_args)
    try:
        port = Port(sim.path())
        try:
            return port.exchange(b"\x07", 3 * 3 + (0 + 1 + 2) + 1)
        finally:
            port.close()
    finally:
        assert sim.stop() == 0


def test_seed_makes_notifications_repeatable():
    args = ["loopback", "--notify-flood", "3"]
    first = notification_bytes(["--seed", "42", *args])
    again = notification_bytes(["--seed", "42", *args])
    other = notification_bytes(["--seed", "43", *args])
    assert first == again
    assert first != other
    assert first[-1] == 0x07


def test_disconnect_and_reconnect(start_sim, open_port, tmp_path):
    link = tmp_path / "arm"
    sim = start_sim("arm", "--link", link, "--disconnect-after", "3", "--reconnect-ms", "100")
    first_path = sim.path()
    assert os.readlink(link) == first_path
    port = open_port(str(link))
    for _ in range(3):
        assert port.exchange(b"\xac", 2) == b"\xac\x01"  # the 3rd reply still arrives
    port.wait_hangup()
    wait_for(lambda: not os.path.lexists(link), 2.0, "the link to go with the cable")
    kind, new_path = sim.read_line(timeout=3.0)
    assert kind == "arm"
    assert os.readlink(link) == new_path
    again = open_port(str(link))
    for _ in range(5):  # the hang-up happens once
        assert again.exchange(b"\xac", 2) == b"\xac\x01"
    assert again.exchange(b"\x0a", 22)[0] == 0x0B


def test_disconnect_for_good(start_sim, open_port, tmp_path):
    link = tmp_path / "handle"
    sim = start_sim("handle", "--rate", "0", "--link", link, "--disconnect-after", "1", "--reconnect-ms", "-1")
    port = open_port(sim.path())
    assert port.exchange(b"\x0a", 7)[0] == 0xD0
    port.wait_hangup()
    wait_for(lambda: not os.path.lexists(link), 2.0, "the link to go with the cable")
    assert sim.stdout_quiet_for(0.2), "reconnected although told not to"


def test_request_without_reply_counts_towards_disconnect(start_sim, open_port):
    sim = start_sim("handle", "--rate", "0", "--disconnect-after", "2", "--reconnect-ms", "-1")
    port = open_port(sim.path())
    port.write(b"\xdb\x42\x00\x00")  # handle state: request 1, no reply
    assert port.exchange(b"\x0a", 7)[0] == 0xD0  # request 2 is still answered
    port.wait_hangup()


# --------------------------------------------------------------------------
# process: several devices, links, command line, signals
# --------------------------------------------------------------------------


def test_devices_in_one_process(start_sim, open_port):
    sim = start_sim("arm", "handle", "--rate", "0", "loopback", "arm", "--device-id", "7")
    assert [kind for kind, _ in sim.ports] == ["arm", "handle", "loopback", "arm"]
    assert len({path for _, path in sim.ports}) == 4
    ports = [open_port(path) for _, path in sim.ports]
    for port, request in zip(ports, [b"\x0a", b"\x0a", b"\x0a", b"\x0a"]):
        port.write(request)
    assert ports[0].read_exact(22)[:3] == b"\x0b\x04\x01"
    assert ports[1].read_exact(7)[0] == 0xD0
    assert ports[2].read_exact(1) == b"\x0a"
    assert ports[3].read_exact(22)[:3] == b"\x0b\x07\x00"


def test_link_is_made_and_removed(start_sim, open_port, tmp_path):
    link = tmp_path / "korvo-arm"
    sim = start_sim("arm", "--link", link)
    assert os.path.islink(link) and os.readlink(link) == sim.path()
    assert open_port(str(link)).exchange(b"\xac", 2) == b"\xac\x01"
    assert sim.stop() == 0
    assert not os.path.lexists(link)


def test_link_replaces_an_existing_symlink(start_sim, tmp_path):
    link = tmp_path / "port"
    os.symlink("/nonexistent/old-port", link)
    sim = start_sim("loopback", "--link", link)
    assert os.readlink(link) == sim.path()


@pytest.mark.parametrize("make", [lambda p: p.write_text("keep me"), lambda p: p.mkdir()], ids=["file", "directory"])
def test_link_refuses_to_replace_anything_else(tmp_path, make):
    target = tmp_path / "port"
    make(target)
    result = subprocess.run([SIM, "arm", "--link", str(target)], capture_output=True, timeout=5)
    assert result.returncode == 2
    assert result.stdout == b""
    assert b"port" in result.stderr
    assert not os.path.islink(target)
    if target.is_file():
        assert target.read_text() == "keep me"


@pytest.mark.parametrize(
    "args",
    [
        [],
        ["robot"],
        ["--rate", "10", "handle"],
        ["arm", "--rate", "10"],
        ["loopback", "--device-id", "1"],
        ["handle", "--model", "3"],
        ["handle", "--wakeup-reply", "maybe"],
        ["arm", "--model", "256"],
        ["arm", "--device-id", "0x10000"],
        ["handle", "--battery", "-1"],
        ["handle", "--drain-per-s", "nan"],
        ["arm", "--delay-us"],
        ["arm", "--drop-every", "x"],
        ["arm", "--reconnect-ms", "-2"],
        ["arm", "--link", "/tmp/x", "handle", "--link", "/tmp/x"],
        ["arm", "--frobnicate"],
        ["--seed", "-1", "arm"],
        ["--die-with-parent=1", "arm"],
        ["arm", "--hand-path", "0.01,0"],
        ["arm", "--hand-path", "0.01,0,0,0"],
        ["arm", "--hand-path", "2,0,0"],
        ["arm", "--hand-path", "0,nan,0"],
        ["arm", "--hand-stiffness", "-5"],
        ["handle", "--hand-path", "0.01,0,0"],
        ["arm", "--hand-release-ms", "-1"],
    ],
)
def test_bad_arguments_exit_2_with_usage(args):
    result = subprocess.run([SIM, *args], capture_output=True, timeout=5)
    assert result.returncode == 2
    assert result.stdout == b""
    assert b"Usage: korvo-sim" in result.stderr


def test_help_documents_every_option():
    result = subprocess.run([SIM, "--help"], capture_output=True, timeout=5, text=True)
    assert result.returncode == 0
    for word in [
        "loopback", "arm", "handle", "--die-with-parent", "--seed", "--link", "--delay-us", "--drop-every",
        "--corrupt-every", "--truncate-every", "--notify-every", "--notify-flood", "--disconnect-after",
        "--reconnect-ms", "--model", "--device-id", "--rate", "--wakeup-reply", "--bad-frames-every",
        "--battery", "--drain-per-s", "--hand-path", "--hand-hz", "--hand-stiffness", "--hand-damping",
        "--hand-start-ms", "--hand-release-ms", "Examples",
    ]:  # fmt: skip
        assert word in result.stdout, word
    # The constants the closed forms of the arm's physics tests rely on.
    physics = " ".join(result.stdout.split())
    for words in [
        "J = 2e-3, 1e-3, 1e-3 kg*m^2", "b = 0.02, 0.01, 0.01 N*m*s/rad", "J/b = 0.1 s", "q + w * J/b",
        "until 100 ms after the last request", "P = 0.5 ohm * (I0^2 + I1^2 + I2^2)", "torque / 0.1 N*m/A",
        "36.5 C + 2.0 K/W * P", "time constant of 120 s", "steps of 0.5 ms",
    ]:  # fmt: skip
        assert words in physics, words


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_signal_stops_cleanly_and_removes_links(start_sim, tmp_path, sig):
    links = [tmp_path / "a", tmp_path / "h"]
    sim = start_sim("arm", "--link", links[0], "handle", "--link", links[1])
    assert all(os.path.islink(link) for link in links)
    assert sim.stop(sig) == 0
    assert not any(os.path.lexists(link) for link in links)
    assert sim.stderr() == ""


def cpu_seconds(pid: int) -> float:
    """Processor time a process has used so far, all its threads together."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")  # utime + stime


def cpu_used(pid: int, seconds: float) -> float:
    """Processor time the process uses over the next `seconds`."""
    before = cpu_seconds(pid)
    time.sleep(seconds)
    return cpu_seconds(pid) - before


@pytest.mark.serial
def test_busy_poll_spins_within_its_window_and_sleeps_outside_it(start_sim, open_port):
    window = 0.6
    sim = start_sim("--busy-poll-us", str(int(window * 1e6)), "arm")
    port = open_port(sim.path())
    pid = sim.proc.pid
    # /proc counts in ticks of 10 ms. A sleeping simulator uses none or one
    # of them; a spinning one a whole core, or on a loaded machine at least
    # a tenth of one. The window is counted whole, from before the request to
    # its end, so a test process that the machine delays cannot miss it.
    assert cpu_used(pid, 0.3) <= 0.02, "busy before any request"
    before = cpu_seconds(pid)
    sent, _, reply = timed_exchange(port, b"\xac", 2)
    assert reply == b"\xac\x01"
    time.sleep(max(0.0, sent + window + 0.05 - time.monotonic()))
    spun = cpu_seconds(pid) - before
    assert spun >= 0.06, f"not spinning within the window after a request: {spun:.2f} s of processor in {window} s"
    assert cpu_used(pid, 0.4) <= 0.02, "still busy after the window"


def test_options_accept_equals_form(start_sim, open_port):
    port = open_port(start_sim("arm", "--device-id=0x0201", "--model=5").path())
    assert port.exchange(b"\x0a", 22)[:4] == b"\x0b\x01\x02\x05"


PR_SET_CHILD_SUBREAPER = 36


def test_dies_with_its_parent(tmp_path):
    import ctypes

    libc = ctypes.CDLL(None, use_errno=True)
    # Adopt the simulator once its parent is gone, to see it exit and reap it.
    assert libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0
    link = tmp_path / "arm"
    parent = subprocess.Popen(
        [
            sys.executable,
            "-c",
            "import subprocess, sys\n"
            f"sim = subprocess.Popen([{SIM!r}, '--die-with-parent', 'arm', '--link', {str(link)!r}],"
            " stdout=subprocess.DEVNULL)\n"
            "print(sim.pid, flush=True)\n"
            "sys.stdin.read()\n",
        ],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
    )
    sim_pid = None
    try:
        ready, _, _ = select.select([parent.stdout], [], [], STARTUP_TIMEOUT)
        assert ready, "the parent did not start korvo-sim"
        sim_pid = int(parent.stdout.readline())
        pidfd = os.pidfd_open(sim_pid)
        try:
            wait_for(lambda: os.path.islink(link), STARTUP_TIMEOUT, "korvo-sim to make its link")
            parent.kill()
            parent.wait()
            exited, _, _ = select.select([pidfd], [], [], 5.0)
            assert exited, "korvo-sim outlived its parent"
        finally:
            os.close(pidfd)
        _, status = os.waitpid(sim_pid, 0)
        sim_pid = None
        assert os.waitstatus_to_exitcode(status) == 0
        assert not os.path.lexists(link)
    finally:
        if parent.poll() is None:
            parent.kill()
            parent.wait()
        parent.stdin.close()
        parent.stdout.close()
        if sim_pid is not None:  # failed: do not leave it running
            try:
                os.kill(sim_pid, signal.SIGKILL)
                os.waitpid(sim_pid, 0)
            except (ProcessLookupError, ChildProcessError):
                pass
        libc.prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0)
