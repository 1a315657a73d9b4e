"""Teleoperation: the two ends (korvo teleop leader and follower) in two
processes, each with its own bridge, on a Zenoh router on loopback
(multicast scouting off), against korvo-sim arms (the leader's held by the
simulator's hand, which moves it along a path) or scripted arms; the
bridge's delay line; korvo.TeleopCoupling from Python.

Every verdict comes from the ends' own accounts: the arrays each writes
(--data: its loop's ticks and its coupling's reports, stamped on the one
monotonic clock of the machine), the coupling's energies, the consoles'
lines. None depends on how fast the machine is.
"""

from __future__ import annotations

import math
import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
from ros_rig import Commander, client, data_key, router

import korvo
from korvo.ros import Bridge, messages, teleop
from korvo_sim import Simulator
from rig import ArmPeerProcess

# The simulator's hand moves the leader 2 cm either way along x, once every
# two seconds, held loosely; a stiff coupling (the simulated arms are heavy
# and damped: kilograms along x at their start).
HAND = ("--hand-path", "0.02,0,0", "--hand-hz", "0.5", "--hand-stiffness", "100", "--hand-damping", "1")
STIFF = ("--stiffness", "800")
MAX_FORCE = 4.0


@pytest.fixture
def network(free_port):
    hub, endpoint = router(free_port)
    try:
        yield endpoint
    finally:
        hub.close()


class End:
    """One `korvo teleop` process; its console read as it comes."""

    def __init__(self, role: str, port: str, peer: str, endpoint: str, data: object, *extra: str) -> None:
        self.data_path = data
        self.process = subprocess.Popen(
            [sys.executable, "-m", "korvo", "teleop", role, port, "--peer", peer, "--connect", endpoint,
             "--data", str(data), *extra], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.lines: list[str] = []
        self.errors: list[str] = []
        self._readers = [threading.Thread(target=self._read, args=(s, out), daemon=True)
                         for s, out in ((self.process.stdout, self.lines), (self.process.stderr, self.errors))]
        for reader in self._readers:
            reader.start()

    @staticmethod
    def _read(stream, into: list[str]) -> None:
        for line in stream:
            into.append(line.rstrip("\n"))

    def count(self, text: str, since: int = 0) -> int:
        return sum(text in line for line in list(self.lines)[since:])

    def wait_for(self, text: str, times: int = 1, limit: float = 40.0, since: int = 0) -> None:
        """Until `text` has been in `times` lines from line `since` on."""
        deadline = time.monotonic() + limit
        while self.count(text, since) < times:
            if self.process.poll() is not None:
                pytest.fail(f"the end ended ({self.process.returncode}) before {text!r}: {self.errors[-5:]}")
            assert time.monotonic() < deadline, f"not within {limit} s: {text!r}; {self.lines[-5:]} {self.errors[-5:]}"
            time.sleep(0.02)

    def end(self, how: int = signal.SIGINT, limit: float = 30.0) -> int:
        if self.process.poll() is None:
            self.process.send_signal(how)
        try:
            self.process.wait(limit)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            pytest.fail(f"the end did not end within {limit} s")
        for reader in self._readers:
            reader.join(5.0)
        for stream in (self.process.stdout, self.process.stderr):
            stream.close()
        return self.process.returncode

    def data(self) -> dict:
        return teleop.load(self.data_path)


def run_pair(endpoint: str, tmp_path, seconds: float, *options: str) -> tuple[dict, dict]:
    """A leader pushed along a path by its simulator's hand and a follower,
    both for `seconds` once coupled; each end's arrays."""
    with Simulator("arm", *HAND) as held, Simulator("arm") as free:
        leader = End("leader", held.port("arm"), "follower", endpoint, tmp_path / "leader.npz", *options)
        follower = End("follower", free.port("arm"), "leader", endpoint, tmp_path / "follower.npz", *options)
        try:
            for end in (leader, follower):
                end.wait_for("coupled with")
            time.sleep(seconds)
        finally:
            codes = [end.end() for end in (follower, leader)]
    assert codes == [130, 130], (follower.errors[-5:], leader.errors[-5:])
    return leader.data(), follower.data()


def first_use(reports: dict) -> int:
    return int(np.flatnonzero(reports["sample_sequence"] != 0)[0])


def made(end: dict) -> float:
    """Joules the delayed channel put out at this end beyond what went in at
    the other: the passivity observer's account."""
    return max(0.0, -float(np.min(end["reports"]["observed"])))


# -- following -------------------------------------------------------------------------------------


@pytest.mark.child_processes
@pytest.mark.timeout(120)
def test_the_follower_tracks_the_leader_that_a_hand_moves(network, tmp_path):
    leader, follower = run_pair(network, tmp_path, 5.0, *STIFF, "--command-timeout", "0.3")
    since, error = teleop.tracking(leader, follower)
    after = since > 1.0
    rms, median = float(np.sqrt(np.mean(error[after] ** 2))), float(np.median(error[after]))
    # The hand moved the leader 2 to 3 cm along x and back; after a second
    # the follower is within 4 mm of where the leader is (the median of the
    # distance, tick by tick; about 2 mm as a rule, and 2 to 5 mm RMS when
    # a loaded machine makes the loops miss exchanges now and then).
    leader_span, follower_span = (np.ptp(end["ticks"]["position"][:, 0]) for end in (leader, follower))
    assert leader_span > 0.015 and follower_span > leader_span / 2, (leader_span, follower_span)
    assert np.sum(after) > 1000, np.sum(after)
    # When the loops' own account shows the machine kept them from their
    # time (overruns past 5 % of the ticks, or failed exchanges), or under the
    # sanitizers, both servo threads fall behind now and then: the follower
    # lags more, but follows.
    account = {name: (float(np.mean(end["ticks"]["period"][1:] > 1.5 * np.median(end["ticks"]["period"][1:]))),
                      int(np.count_nonzero(~end["ticks"]["exchange_ok"])))
               for name, end in (("leader", leader), ("follower", follower))}
    kept = all(overruns <= 0.05 and failed == 0 for overruns, failed in account.values())
    bound = 0.004 if kept and not os.environ.get("KORVO_SANITIZED") else 0.008
    assert median < bound and rms < 2 * bound, \
        f"median {median * 1e3:.2f} mm, RMS {rms * 1e3:.2f} mm (overrun share, failed exchanges: {account})"
    # Without delay the channel never put out energy it was not given.
    for end in (leader, follower):
        assert made(end) < 1e-6
        # Samples of the peer's, each with its latency (how many a loaded
        # machine carries in the time varies; a few hundred at the least).
        assert len(end["latency"]) > 200


# -- stable under delay ----------------------------------------------------------------------------


def stability(leader: dict, follower: dict) -> dict[str, float]:
    since, error = teleop.tracking(leader, follower)
    late = since > 2.0
    ticks = follower["ticks"]
    start = follower["meta"]["started_at"]
    coupled = start + follower["reports"]["time"][first_use(follower["reports"])]
    in_late = start + ticks["time"] > coupled + 2.0
    force = np.linalg.norm(ticks["force"][in_late], axis=1)
    reports = follower["reports"]
    half = reports["time"][-1] - (reports["time"][-1] - reports["time"][first_use(reports)]) / 2
    return {
        "error_rms_mm": float(np.sqrt(np.mean(error[late] ** 2))) * 1e3,
        "saturated": float(np.mean(force > 0.9 * MAX_FORCE)),
        "made_j": made(leader) + made(follower),
        "follower_made_j": made(follower),
        "follower_made_by_half_j": max(0.0, -float(np.min(reports["observed"][reports["time"] <= half]))),
        "dissipated_j": float(leader["reports"]["dissipated"][-1] + follower["reports"]["dissipated"][-1]),
    }


@pytest.mark.child_processes
@pytest.mark.timeout(150)
@pytest.mark.parametrize("passivity", [True, False], ids=["with-controller", "without-controller"])
def test_over_fifty_milliseconds_the_controller_keeps_the_pair_stable(network, tmp_path, passivity):
    options = (*STIFF, "--delay-ms", "50", "--command-timeout", "0.3") + (() if passivity else ("--no-passivity",))
    leader, follower = run_pair(network, tmp_path, 6.0, *options)
    s = stability(leader, follower)
    # The injected delay is on every sample: each end's samples are that
    # much older when first used, as a rule (ages count from the start of
    # the tick that used them, and a tick that a loaded machine held up
    # after its start sees a sample younger than it was).
    for end in (leader, follower):
        assert np.median(end["latency"]) >= 0.050
    if passivity:
        # Bounded: the channel makes no energy, the forces stay off the
        # envelope's limit, the follower keeps up within the delay's lag.
        assert s["made_j"] < 1e-6, s
        assert s["dissipated_j"] > 0.0, s
        # The follower keeps up within the delay's lag: 3 to 4 mm RMS as a
        # rule, no tick at the limit. A loaded machine's missed exchanges let
        # go of the arms and ramp them back in, which adds lag and ticks at
        # the limit (10.4 mm; 14 % of the ticks with two busy processes beside
        # the pair) while the channel still makes nothing (above): the energy
        # is the measure of stability, the rest of the machine.
        if not os.environ.get("KORVO_SANITIZED"):
            assert s["error_rms_mm"] < 15.0, s
    else:
        # Unstable: the delayed channel pumps energy in without end (it
        # keeps growing: 10 to 17 J in 6 to 9 s, twice as much at the end as
        # by half time), the coupled arms swing from one limit of the
        # envelope to the other (60 % of the ticks), far from each other
        # (about 22 mm RMS, less when a loaded machine interrupts a swing).
        assert s["made_j"] > 0.5, s
        if not os.environ.get("KORVO_SANITIZED"):
            # Still growing in the second half. (Twice as much at the end as by
            # half time on a quiet machine; a loaded one's missed exchanges
            # let go of the arms and interrupt swings, 1.4 times with two
            # busy processes beside the pair; the sanitizers' slower loops
            # more so.)
            assert s["follower_made_j"] > s["follower_made_by_half_j"] + 0.1, s
        assert s["saturated"] > 0.1, s
        assert s["error_rms_mm"] > 8.0, s


# -- ends ------------------------------------------------------------------------------------------


def faded_by(end: dict) -> tuple[float, float, np.ndarray]:
    """When the end's last sample of its peer was stamped (on the loop's
    clock), when the end's coupling had to have faded out (that, the
    timeout and the fade), and the forces the loop sent after its first
    tick past that moment (each tick sends what the tick before decided)."""
    reports, ticks = end["reports"], end["ticks"]
    new = np.flatnonzero(np.diff(reports["sample_sequence"], prepend=0) != 0)
    last = int(new[-1])
    stamped = float(reports["time"][last] - reports["sample_age"][last])
    meta = end["meta"]
    by = stamped + meta["command_timeout"] + meta["params"]["fade_time"]
    decided = int(np.searchsorted(ticks["time"], by))
    return stamped, by, ticks["force"][decided + 1:]


@pytest.mark.child_processes
@pytest.mark.timeout(120)
@pytest.mark.parametrize(
    ("killed", "how"),
    [("follower", signal.SIGTERM), ("follower", signal.SIGHUP), ("follower", signal.SIGKILL), ("leader", signal.SIGINT)],
    ids=["follower-SIGTERM", "follower-SIGHUP", "follower-SIGKILL", "leader-SIGINT"])
def test_a_peer_ended_mid_motion_leaves_both_arms_at_zero_force(network, tmp_path, killed, how):
    # The end that is ended drives a scripted arm (which writes down every
    # force it gets), the other a simulated one in motion: the leader held
    # by the hand, or the follower following a scripted leader that sways.
    survivor_role = "leader" if killed == "follower" else "follower"
    scripted = ArmPeerProcess(*(() if killed == "follower" else ("--sway", "0.01,0,0,0.5")))
    with Simulator("arm", *(HAND if survivor_role == "leader" else ())) as sim:
        survivor = End(survivor_role, sim.port("arm"), killed, network, tmp_path / "survivor.npz", *STIFF)
        peer = End(killed, scripted.path, survivor_role, network, tmp_path / "peer.npz", *STIFF)
        try:
            for end in (survivor, peer):
                end.wait_for("coupled with")
            time.sleep(1.5)
            # A loaded machine may have made the link silent already: then
            # the console says so in its live line, not in a new message.
            since = len(survivor.lines)
            peer_code = peer.end(how)
            survivor.wait_for("silent", since=since)
            time.sleep(0.5)
        finally:
            peer.end(signal.SIGKILL)
            code = survivor.end()
            forces = scripted.forces()
    assert peer_code == (130 if how == signal.SIGINT else -how)
    assert code == 130
    # The ended end's arm had a force, and its last one is zero, unless
    # SIGKILL left it no chance (then the arm's own watchdog is what acts).
    assert any(math.hypot(*f) > 0.05 for f in forces)
    if how != signal.SIGKILL:
        assert forces[-1] == [0.0, 0.0, 0.0]
    # The survivor's arm: forces while coupled, and exactly zero from the
    # last sample's stamp plus the timeout and the fade on.
    data = survivor.data()
    stamped, by, after = faded_by(data)
    ticks = data["ticks"]
    assert np.max(np.abs(ticks["force"][ticks["time"] < stamped])) > 0.05
    assert len(after) > 100 and not np.any(after), f"{np.max(np.abs(after))} N, {by - stamped:.3f} s after the stamp"


@pytest.mark.child_processes
@pytest.mark.timeout(120)
def test_a_link_that_comes_back_brings_the_follower_back_at_bounded_speed(network, tmp_path):
    # The scripted leader moves along x at 6 mm/s; its end stalls for a
    # second and a half (SIGSTOP), and comes back 9 mm further on.
    scripted = ArmPeerProcess("--drift=-0.006,0,0")
    max_speed = 0.01
    with Simulator("arm") as sim:
        follower = End("follower", sim.port("arm"), "leader", network, tmp_path / "follower.npz", *STIFF,
                       "--max-speed", str(max_speed))
        leader = End("leader", scripted.path, "follower", network, tmp_path / "leader.npz", *STIFF)
        try:
            for end in (follower, leader):
                end.wait_for("coupled with")
            time.sleep(1.0)
            silent, back = follower.count("is silent"), follower.count("is back")
            leader.process.send_signal(signal.SIGSTOP)
            follower.wait_for("is silent", silent + 1)
            time.sleep(1.5)
            leader.process.send_signal(signal.SIGCONT)
            follower.wait_for("is back", back + 1)
            time.sleep(2.0)
        finally:
            leader.process.send_signal(signal.SIGCONT)
            codes = [end.end() for end in (follower, leader)]
            scripted.close()
    assert codes == [130, 130]
    data = follower.data()
    reports = data["reports"]
    dt = 1.0 / data["meta"]["rate"]
    consecutive = np.diff(reports["tick"]) == 1
    linked = (reports["link"][1:] > 0) & (reports["link"][:-1] > 0) & consecutive
    steps = np.linalg.norm(np.diff(reports["anchor"], axis=0), axis=1)
    # The anchor never moved faster than max_speed, and it had to catch up:
    # after the stall it was more than 5 mm behind where the leader was.
    assert np.max(steps[linked]) <= max_speed * dt * (1 + 1e-9)
    offset = reports["position"][first_use(reports)] - reports["peer_position"][first_use(reports)]
    behind = np.linalg.norm(reports["peer_position"] + offset - reports["anchor"], axis=1)
    assert np.max(behind[reports["link"] > 0]) > 0.005
    # The link came back no faster than its ramp, by the loop's clock.
    ramp = data["meta"]["params"]["ramp_time"]
    assert np.all(np.diff(reports["link"]) <= np.diff(reports["time"]) / ramp + 1e-12)


# -- the bridge's delay line -----------------------------------------------------------------------


@pytest.fixture
def delayed(free_port):
    """A bridge that delays what it receives, on a scripted arm's loop, and
    a sender, on one router."""
    hub, endpoint = router(free_port)
    arm = ArmPeerProcess()
    servo = korvo.Servo(arm.path, realtime=False, ramp_time=0.01)
    servo.start()
    bridges: list[Bridge] = []

    def make(**options: float) -> tuple[Bridge, Commander]:
        bridge = Bridge(servo, connect=endpoint, **options)
        bridge.start()
        bridges.append(bridge)
        session = client(endpoint)
        sessions.append(session)
        return bridge, Commander(session)

    sessions: list = []
    try:
        yield make, servo
    finally:
        for bridge in bridges:
            bridge.stop()
        for session in sessions:
            session.close()
        servo.stop()
        arm.close()
        hub.close()


CF = data_key(0, "/arm/servo_cf", "geometry_msgs/msg/WrenchStamped")


def until(done, limit: float = 10.0) -> None:
    """Waits for `done()`, at most `limit` s (the assertions after it say what failed)."""
    deadline = time.monotonic() + limit
    while not done() and time.monotonic() < deadline:
        time.sleep(0.01)


@pytest.mark.timeout(60)
def test_the_bridge_delays_what_it_receives_by_its_delay(delayed):
    make, servo = delayed
    bridge, sender = make(delay=0.05, command_timeout=0.5)
    clock = messages.Clock()
    servo.recording()
    sent = time.time()
    for _ in range(10):
        sender.put(CF, Commander.wrench((0.0, 0.0, 1.0)))
        time.sleep(0.005)
    until(lambda: bridge.counts["applied"] >= 10)
    time.sleep(0.05)
    recording = servo.recording()
    pushed = np.flatnonzero(recording.commanded[:, 2] > 0)
    assert len(pushed), bridge.counts
    first = (servo.started_at + recording.time[pushed[0]]) * 1e9 + clock.offset_ns
    assert first * 1e-9 - sent >= 0.05


@pytest.mark.timeout(60)
def test_jitter_keeps_the_order(delayed):
    make, _ = delayed
    bridge, sender = make(delay=0.01, jitter=0.03, command_timeout=0.5)
    for _ in range(40):
        sender.put(CF, Commander.wrench((0.0, 0.0, 0.5)))
        time.sleep(0.002)
    until(lambda: bridge.counts["received"] >= 40)
    assert bridge.counts["applied"] == 40 and bridge.counts["out_of_order"] == 0, bridge.counts



@pytest.mark.timeout(60)
def test_a_full_delay_line_counts_what_it_lost(delayed):
    make, _ = delayed
    bridge, sender = make(delay=2.0, command_timeout=5.0)
    bridge.DELAY_CAPACITY = 4
    for _ in range(10):
        sender.put(CF, Commander.wrench((0.0, 0.0, 0.5)))
    until(lambda: bridge.counts["delay_overflow"] >= 6, 5.0)
    assert bridge.counts["delay_overflow"] == 6 and bridge.counts["applied"] == 0, bridge.counts


# -- from Python, and refusals ------------------------------------------------------------------------


@pytest.mark.timeout(30)
def test_a_coupling_fed_from_python_renders_the_peer_and_reports_every_tick():
    arm = ArmPeerProcess()
    try:
        with korvo.Servo(arm.path, realtime=False, ramp_time=0.01) as servo:
            leader = korvo.TeleopCoupling("leader", force_scale=2.0, ramp_time=0.01, timeout=0.2)
            tap = leader._open_tap(1 << 12)
            servo.add(leader)
            sequence = 0
            deadline = time.monotonic() + 10
            # Until the force has reached the arm (the envelope lets it grow
            # 0.05 N a tick).
            while servo.state.force[2] < 0.9 and time.monotonic() < deadline:
                sequence += 1
                leader.take_sample(force=(0.0, 0.0, -0.5), stamp=servo.state.time, sequence=sequence)
                time.sleep(0.002)
            report = leader.report
            arrays = tap.drain()
    finally:
        forces = arm.forces()
    assert report.force[2] == pytest.approx(1.0) and report.peer_force == (0.0, 0.0, -0.5)
    assert any(f[2] > 0.9 for f in forces)
    assert np.all(np.diff(arrays["tick"]) == 1) and arrays["dropped"] == 0
    assert arrays["force"].shape == (len(arrays["tick"]), 3)
    with pytest.raises(ValueError, match="sequence"):
        leader.take_sample(stamp=0.0, sequence=0)
    with pytest.raises(ValueError, match="position\\[1\\]"):
        leader.take_sample(position=(0.0, math.nan, 0.0), stamp=0.0, sequence=1)
    with pytest.raises(ValueError, match="force_scale"):
        leader.set(force_scale=0.0)
    with pytest.raises(TypeError, match="unknown parameter 'gain'"):
        korvo.TeleopCoupling("follower", gain=1.0)
    with pytest.raises(ValueError, match="role"):
        korvo.TeleopCoupling("boss")


def test_teleop_checks_its_arguments_before_it_opens_anything():
    class Loop:
        rate = 1000.0
        running = False

    for kwargs, text in [({"role": "boss"}, "role"), ({"peer": "leader"}, "namespace of its own"),
                         ({"delay": -0.01}, "delay"), ({"jitter": 9.0}, "jitter"), ({"stiffness": -1.0}, "stiffness"),
                         ({"peer": "a b"}, "not a valid ROS 2 name")]:
        options = {"role": "leader", "peer": "follower", "namespace": "leader"} | kwargs
        with pytest.raises(ValueError, match=text):
            teleop.Teleop(Loop(), options.pop("role"), options.pop("peer"), **options)
    with pytest.raises(RuntimeError, match="servo loop first"):
        teleop.Teleop(Loop(), "leader", "follower").start()


@pytest.mark.timeout(30)
@pytest.mark.python_output
@pytest.mark.parametrize(
    ("arguments", "status", "line"),
    [
        (["--delay-ms", "-1"], 2, "argument --delay-ms: must be at least 0 ms and at most 5000 ms, not '-1'"),
        (["--jitter-ms", "nan"], 2, "argument --jitter-ms: must be at least 0 ms and at most 5000 ms, not 'nan'"),
        (["--stiffness", "-5"], 2, "argument --stiffness: must be at least 0 N/m and at most 100000 N/m, not '-5'"),
        (["--force-scale", "0"], 2, "argument --force-scale: must be above 0 and at most 100, not '0'"),
        (["--peer", "2x"], 1, "namespace '2x' is not a valid ROS 2 name"),
        (["--peer", "leader", "--namespace", "leader"], 1, "the peer needs a namespace of its own"),
        (["--connect", "tcp/127.0.0.1:PORT"], 1, "no Zenoh router answers at tcp/127.0.0.1:PORT"),
    ],
)
def test_bad_options_are_one_line_without_a_force(free_port, arguments, status, line):
    arm = ArmPeerProcess()
    try:
        base = ["--peer", "follower", "--connect", f"tcp/127.0.0.1:{free_port}"]
        arguments = [a.replace("PORT", str(free_port)) for a in arguments]
        done = subprocess.run([sys.executable, "-m", "korvo", "teleop", "leader", arm.path, *base, *arguments],
                              capture_output=True, text=True, timeout=25)
    finally:
        forces = arm.forces()
    assert done.returncode == status
    assert line.replace("PORT", str(free_port)) in done.stderr and "Traceback" not in done.stderr
    assert len(done.stderr.strip().splitlines()) == 1
    assert all(f == [0.0, 0.0, 0.0] for f in forces)
