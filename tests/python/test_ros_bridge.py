"""The ROS 2 bridge, seen from the network as another ROS 2 node sees it:
samples decoded with rosbags' deserializer, tokens and attachments read as
rmw_zenoh documents them, commands sent as such a node sends them. Zenoh on
loopback only, multicast scouting off."""

from __future__ import annotations

import math
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
import xxhash
from ros_rig import Commander, Listener, Repeater, T, TYPES, attachment, client, data_key, router, split

import korvo
from korvo.ros import Bridge
from korvo_sim import Simulator
from rig import ArmPeerProcess, wait_until

WRENCH = "geometry_msgs/msg/WrenchStamped"
POSE = "geometry_msgs/msg/PoseStamped"

ARM_TOPICS = {
    "measured_js": "sensor_msgs/msg/JointState",
    "measured_cp": POSE,
    "measured_cv": "geometry_msgs/msg/TwistStamped",
    "measured_cf": WRENCH,
    "setpoint_cf": WRENCH,
    "operating_state": "diagnostic_msgs/msg/DiagnosticStatus",
    "statistics": "diagnostic_msgs/msg/DiagnosticArray",
}
HANDLE_TOPICS = {"measured_cp": POSE, "buttons": "sensor_msgs/msg/Joy", "battery": "sensor_msgs/msg/BatteryState"}
COMMANDS = {"servo_cf": WRENCH, "servo_cp": POSE, "state_command": "std_msgs/msg/String"}


@pytest.fixture
def network(free_port):
    """A Zenoh router on loopback, and a client session of the test's own."""
    hub, endpoint = router(free_port)
    session = client(endpoint)
    try:
        yield endpoint, session
    finally:
        session.close()
        hub.close()


def bridge_process(*arguments: str) -> subprocess.Popen:
    return subprocess.Popen([sys.executable, "-m", "korvo", "bridge", *arguments], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def ended(process: subprocess.Popen, limit: float = 20.0) -> tuple[int, str]:
    try:
        _, err = process.communicate(timeout=limit)
    except subprocess.TimeoutExpired:
        process.kill()
        _, err = process.communicate()
        pytest.fail(f"the bridge did not end within {limit} s: {err}")
    return process.returncode, err


def forces(listener: Listener, topic: str = "/arm/measured_cf") -> list[tuple[float, tuple[float, float, float]]]:
    """(stamp, force) of every force the bridge reported."""
    out = []
    for m in listener.decoded(data_key(0, topic, WRENCH)):
        f = m.wrench.force
        out.append((m.header.stamp.sec + m.header.stamp.nanosec * 1e-9, (f.x, f.y, f.z)))
    return out


# -- what a ROS 2 node receives -------------------------------------------------------------------


@pytest.mark.timeout(60)
def test_every_topic_arrives_under_its_key_type_and_hash(network):
    endpoint, session = network
    listener = Listener(session)
    with Simulator("arm", "handle") as sim:
        bridge = bridge_process(sim.port("arm"), sim.port("handle"), "--connect", endpoint, "--namespace", "lab/arm")
        try:
            expected = {data_key(0, f"/lab/arm/{t}", ty): ty for t, ty in ARM_TOPICS.items()}
            expected |= {data_key(0, f"/handle/{t}", ty): ty for t, ty in HANDLE_TOPICS.items()}
            listener.wait(lambda: all(len(listener.of(k)) >= 2 for k in expected), 30,
                          "every topic twice: " + str({k: len(listener.of(k)) for k in expected}))
            tokens = set(listener.tokens)
        finally:
            bridge.send_signal(signal.SIGINT)
            ended(bridge)
    assert {k for k in listener.samples if not split(k)[1].endswith("servo_cf")} == set(expected)

    publishers = {t.split("/")[9]: t for t in tokens if t.split("/")[5] == "MP"}
    for key, ros_type in expected.items():
        _, topic, _, _ = split(key)
        for message in listener.decoded(key):
            assert message.__msgtype__ == ros_type
        token = publishers[topic.replace("/", "%")]
        parts = token.split("/")
        assert parts[10:12] == key.split("/")[-2:]           # the token names the key's type and hash
        assert parts[7] == ("%lab%arm" if topic.startswith("/lab") else "%handle") and parts[8] == "korvo"
        sequences = []
        for sample in listener.of(key):
            sequence, stamp, gid = attachment(sample.attachment)
            sequences.append(sequence)
            assert gid == xxhash.xxh3_128_intdigest(token.encode()).to_bytes(16, "little")
            assert abs(stamp * 1e-9 - sample.at) < 5.0
        assert sequences == sorted(set(sequences))

    nodes = sorted(t.split("/", 6)[6] for t in tokens if t.split("/")[5] == "NN")
    assert nodes == ["%/%handle/korvo", "%/%lab%arm/korvo"]
    subscriptions = {t.split("/")[9]: t.split("/")[10:12] for t in tokens if t.split("/")[5] == "MS"}
    assert subscriptions == {f"%lab%arm%{name}": data_key(0, "/x", ty).split("/")[-2:] for name, ty in COMMANDS.items()}

    pose = listener.topic("/lab/arm/measured_cp")[-1]
    assert pose.header.frame_id == "lab_arm_base" and all(math.isfinite(v) for v in (pose.pose.position.x, pose.pose.position.z))
    states = [{kv.key: kv.value for kv in m.values} for m in listener.topic("/lab/arm/operating_state")]
    # (a busy machine may fail exchanges: some states then say FAULT)
    assert any(s["state"] == "ENABLED" for s in states) and all(s["command"] == "none" for s in states)
    assert listener.topic("/handle/battery")[-1].voltage > 0.0


@pytest.mark.child_processes
@pytest.mark.timeout(60)
def test_one_process_serves_every_device_of_the_machine(network, tmp_path):
    endpoint, session = network
    listener = Listener(session)
    with Simulator("arm", "arm", "handle") as sim:
        for name, (_, port) in zip(("ttyACM0", "ttyACM1", "ttyUSB0"), sim.ports):
            (tmp_path / name).symlink_to(port)
        bridge = bridge_process("--all", "--dev", str(tmp_path), "--connect", endpoint)
        try:
            topics = [data_key(0, f"/{ns}/measured_cp", POSE) for ns in ("arm_1", "arm_2", "handle")]
            listener.wait(lambda: all(listener.of(k) for k in topics), 30, "every device's measured_cp")
            nodes = sorted(t.split("/", 6)[6] for t in listener.tokens if t.split("/")[5] == "NN")
        finally:
            bridge.send_signal(signal.SIGINT)
            ended(bridge)
    assert nodes == ["%/%arm_1/korvo", "%/%arm_2/korvo", "%/%handle/korvo"]


# -- commands from another process ----------------------------------------------------------------


@pytest.mark.child_processes
@pytest.mark.timeout(60)
@pytest.mark.parametrize("command", ["servo_cf", "servo_cp"])
def test_commands_from_another_process_move_a_simulated_arm(network, command):
    endpoint, session = network
    listener = Listener(session)
    sender = Commander(session)
    with Simulator("arm") as sim:
        # Commands count for 0.3 s: a busy machine may take longer than the
        # default 50 ms to carry them, and they would all be stale.
        timeout, fade = 0.3, 0.05
        bridge = bridge_process(sim.port("arm"), "--connect", endpoint, "--command-timeout", str(timeout))
        try:
            listener.wait(lambda: listener.topic("/arm/measured_cp"), 20, "the arm's position")
            start = listener.topic("/arm/measured_cp")[-1].pose.position
            if command == "servo_cf":
                goal = (0.0, 0.0, 1.5)
                repeater = Repeater(lambda: sender.put(data_key(0, "/arm/servo_cf", WRENCH), Commander.wrench(goal)))

                def arrived():
                    return any(f[2] > 1.4 for _, f in forces(listener))
            else:
                goal = (start.x, start.y + 0.02, start.z)
                repeater = Repeater(lambda: sender.put(data_key(0, "/arm/servo_cp", POSE), Commander.pose(goal)))

                def arrived():
                    p = listener.topic("/arm/measured_cp")[-1].pose.position
                    return math.dist((p.x, p.y, p.z), goal) < 0.004

            def moved() -> float:
                p = listener.topic("/arm/measured_cp")[-1].pose.position
                return math.dist((p.x, p.y, p.z), (start.x, start.y, start.z))

            try:
                listener.wait(arrived, 20, f"the arm moved by {command}")
                # A force moves the arm only over the ticks after it arrives.
                listener.wait(lambda: moved() > 0.002, 10, "the arm 2 mm from where it was")
            finally:
                last = repeater.stop()
            # Silence: the force fades out, and operating_state says why. The
            # last command may have been taken as late as its timeout, and
            # the loop's heartbeat lapses a timeout after that.
            gone = last + 2 * timeout + fade + 0.25
            listener.wait(lambda: forces(listener) and forces(listener)[-1][0] > gone + 0.25, 10, "ticks after the silence")
            after = [f for stamp, f in forces(listener) if stamp > gone]
            assert after and all(f == (0.0, 0.0, 0.0) for f in after)
            state = {kv.key: kv.value for kv in listener.topic("/arm/operating_state")[-1].values}
            assert state["command"] == "stale"
        finally:
            bridge.send_signal(signal.SIGINT)
            assert ended(bridge)[0] == 130


# -- safety of remote commands -----------------------------------------------------------------------


@pytest.fixture
def bridged(network):
    """A simulated arm's servo loop behind a bridge, a listener and a sender
    on the same router."""
    endpoint, session = network
    listener = Listener(session)
    with Simulator("arm") as sim, korvo.Servo(sim.port("arm"), realtime=False, ramp_time=0.05) as servo:
        # 0.25 s, not the default 50 ms: on a busy machine commands may take
        # that long to arrive, and stale ones would not move anything.
        with Bridge(servo, connect=endpoint, command_timeout=0.25) as bridge:
            listener.wait(lambda: listener.topic("/arm/measured_cf"), 20, "the bridge's first ticks")
            yield servo, bridge, listener, Commander(session)


CF = data_key(0, "/arm/servo_cf", WRENCH)
PUSH = (0.0, 0.0, 1.0)

# What a sender does wrong, and how the bridge counts it.
BAD = {
    "old stamp": ("stale", lambda c: c.put(CF, Commander.wrench(PUSH, age=1.0))),
    "stamp from the future": ("stale", lambda c: c.put(CF, Commander.wrench(PUSH, age=-1.0))),
    "not CDR": ("malformed", lambda c: c.put(CF, b"\x00\x01\x00\x00garbage")),
    "truncated CDR": ("malformed", lambda c: c.put(CF, Commander.wrench(PUSH)[:30])),
    "no attachment": ("malformed", lambda c: c.put(CF, Commander.wrench(PUSH), attach=False)),
    "short attachment": ("malformed", lambda c: c.put(CF, Commander.wrench(PUSH), attach=b"\x01" * 20)),
    "another type": ("wrong_type", lambda c: c.put(data_key(0, "/arm/servo_cf", POSE), Commander.pose(PUSH))),
    "another type hash": ("wrong_type", lambda c: c.put(CF.rsplit("/", 1)[0] + "/RIHS01_" + "0" * 64, Commander.wrench(PUSH))),
    "NaN": ("invalid", lambda c: c.put(CF, Commander.wrench((0.0, math.nan, 1.0)))),
    "infinity": ("invalid", lambda c: c.put(CF, Commander.wrench((math.inf, 0.0, 0.0)))),
    "another frame": ("wrong_frame", lambda c: c.put(CF, Commander.wrench(PUSH, frame_id="world"))),
    "NaN target": ("invalid", lambda c: c.put(data_key(0, "/arm/servo_cp", POSE), Commander.pose((math.nan, 0.0, 0.2)))),
    "unknown state command": ("invalid", lambda c: c.put(data_key(0, "/arm/state_command", "std_msgs/msg/String"),
                                                         Commander.string("jump"))),
}


@pytest.mark.timeout(40)
@pytest.mark.parametrize("case", list(BAD))
def test_bad_commands_are_dropped_and_counted_never_a_force(bridged, case):
    servo, bridge, listener, sender = bridged
    verdict, send = BAD[case]
    for _ in range(20):
        send(sender)
        time.sleep(0.005)
    listener.wait(lambda: bridge.counts[verdict] == 20, 10, f"20 {verdict}: {bridge.counts}")
    seen = len(forces(listener))
    listener.wait(lambda: len(forces(listener)) > seen + 50, 10, "ticks after the last command")
    assert bridge.counts["applied"] == 0 and bridge.running
    assert all(f == (0.0, 0.0, 0.0) for _, f in forces(listener))
    assert all(f == (0.0, 0.0, 0.0) for _, f in forces(listener, "/arm/setpoint_cf"))


@pytest.mark.timeout(40)
def test_duplicates_and_older_samples_are_dropped_by_sequence(bridged):
    servo, bridge, listener, sender = bridged
    for sequence in (10, 10, 4, 11, 9, 11):
        sender.put(CF, Commander.wrench(PUSH), sequence=sequence)
    listener.wait(lambda: bridge.counts["received"] == 6, 10, str(bridge.counts))
    assert (bridge.counts["applied"], bridge.counts["out_of_order"]) == (2, 4)
    # Another sender has sequence numbers of its own.
    Commander(sender.session, gid=b"\x07" * 16).put(CF, Commander.wrench(PUSH), sequence=1)
    listener.wait(lambda: bridge.counts["applied"] == 3, 10, str(bridge.counts))


@pytest.mark.timeout(40)
def test_a_silent_sender_fades_out_and_fresh_commands_bring_the_force_back(bridged):
    servo, bridge, listener, sender = bridged
    push = Repeater(lambda: sender.put(CF, Commander.wrench(PUSH)))
    listener.wait(lambda: any(f[2] > 0.9 for _, f in forces(listener)), 10, "the pushed force")
    assert bridge.command_state == "active"
    last = push.stop()
    # The last command may have been taken as late as its timeout, and the
    # loop's heartbeat lapses a timeout after that.
    gone = last + 2 * bridge.command_timeout + bridge.fade_time + 0.25
    listener.wait(lambda: forces(listener)[-1][0] > gone + 0.25, 10, "ticks after the silence")
    late = [f for stamp, f in forces(listener) if stamp > gone]
    assert late and all(f == (0.0, 0.0, 0.0) for f in late)
    assert bridge.command_state == "stale"
    states = [{kv.key: kv.value for kv in m.values} for m in listener.topic("/arm/operating_state")]
    assert states[-1]["command"] == "stale" and any(s["command"] == "active" for s in states)

    push = Repeater(lambda: sender.put(CF, Commander.wrench(PUSH)))
    try:
        listener.wait(lambda: forces(listener)[-1][1][2] > 0.9, 10, "the force back")
    finally:
        push.stop()


@pytest.mark.timeout(40)
def test_a_bridge_that_lets_go_late_never_lets_the_force_back(bridged):
    servo, bridge, listener, sender = bridged
    push = Repeater(lambda: sender.put(CF, Commander.wrench(PUSH)))
    listener.wait(lambda: any(f[2] > 0.9 for _, f in forces(listener)), 10, "the pushed force")
    # The bridge's thread held up (as a busy machine does) until the loop's
    # own heartbeat has lapsed and brought the force to zero.
    with bridge._lock:
        last = push.stop()

        def lapsed() -> bool:
            # Commands still on their way are stale by their stamps by then:
            # one fresh enough would rightly count again.
            state = servo.state
            return ("heartbeat" in state.faults and state.force == (0.0, 0.0, 0.0)
                    and time.time() > last + bridge.command_timeout)

        wait_until(lapsed, 10, lambda: f"{servo.state.faults} {servo.state.force}")
        servo.recording()  # from the first tick at zero on
    # Now it lets go of the lapsed command; the released effect fades out.
    end = servo.state.tick + round((bridge.fade_time + 0.2) * servo.rate)
    wait_until(lambda: servo.state.tick >= end and bridge.command_state == "stale", 10)
    force = servo.recording().force
    assert len(force) and np.all(force == 0.0), force[np.any(force != 0.0, axis=1)][:5]


@pytest.mark.timeout(40)
def test_stale_commands_after_fresh_ones_fade_the_force(bridged):
    servo, bridge, listener, sender = bridged
    fresh = Repeater(lambda: sender.put(CF, Commander.wrench(PUSH)))
    listener.wait(lambda: any(f[2] > 0.9 for _, f in forces(listener)), 10, "the pushed force")
    fresh.stop()
    stale = Repeater(lambda: sender.put(CF, Commander.wrench(PUSH, age=1.0)))
    try:
        switched = time.time()
        gone = switched + 2 * bridge.command_timeout + bridge.fade_time + 0.25
        listener.wait(lambda: forces(listener)[-1][0] > gone + 0.25, 10, "ticks after the switch")
        late = [f for stamp, f in forces(listener) if stamp > gone]
        assert all(f == (0.0, 0.0, 0.0) for f in late)
        assert bridge.counts["stale"] > 10
    finally:
        stale.stop()


@pytest.mark.timeout(40)
def test_state_command_disables_the_loop_and_enabling_ramps_forces_back_in(bridged):
    servo, bridge, listener, sender = bridged
    state = data_key(0, "/arm/state_command", "std_msgs/msg/String")
    push = Repeater(lambda: sender.put(CF, Commander.wrench(PUSH)))
    try:
        listener.wait(lambda: any(f[2] > 0.9 for _, f in forces(listener)), 10, "the pushed force")
        before = len(listener.topic("/arm/operating_state"))
        sender.put(state, Commander.string("disable"))
        listener.wait(lambda: not servo.enabled, 10, "the loop disabled")
        disabled = time.time()
        listener.wait(lambda: forces(listener)[-1][0] > disabled + 0.3, 10, "ticks while disabled")
        assert all(f == (0.0, 0.0, 0.0) for stamp, f in forces(listener) if stamp > disabled + 0.05)
        states = [{kv.key: kv.value for kv in m.values} for m in listener.topic("/arm/operating_state")]
        # (a loaded machine may fail exchanges meanwhile: a fault outranks the switch)
        assert any(s["state"] == "DISABLED" for s in states[before:]), states[before:]
        sender.put(state, Commander.string("enable"))
        listener.wait(lambda: servo.enabled, 10, "the loop enabled")
        listener.wait(lambda: forces(listener)[-1][1][2] > 0.9, 10, "the force back")
        enabled = [f[2] for stamp, f in forces(listener) if stamp > disabled + 0.3]
        # Back through the ramp, never a step to the full force.
        assert enabled[0] < 0.5
    finally:
        push.stop()
    assert bridge.counts["applied"] >= 2


@pytest.mark.timeout(40)
def test_remote_forces_pass_the_safety_envelope(bridged):
    servo, bridge, listener, sender = bridged
    push = Repeater(lambda: sender.put(CF, Commander.wrench((0.0, 0.0, 40.0))))
    try:
        listener.wait(lambda: any(f[2] > 3.9 for _, f in forces(listener)), 10, "the limited force")
        assert max(f[2] for _, f in forces(listener)) <= servo.limits["max_force"] + 1e-6
        assert max(f[2] for _, f in forces(listener, "/arm/setpoint_cf")) == pytest.approx(40.0)
    finally:
        push.stop()


@pytest.mark.timeout(40)
def test_the_servos_recording_stays_the_programs(bridged):
    servo, bridge, listener, sender = bridged
    servo.recording()
    seen = len(forces(listener))
    # What the listener sees lags the loop by the bridge's hand-off; twice the
    # ticks leaves room for those the first drain already took.
    listener.wait(lambda: len(forces(listener)) > seen + 200, 10, "two hundred ticks")
    recording = servo.recording()
    assert len(recording) >= 100 and recording.gaps() == 0
    assert bridge.counts["ticks_lost"] == 0


@pytest.mark.timeout(40)
def test_a_state_rate_publishes_ticks_that_far_apart(network):
    endpoint, session = network
    listener = Listener(session)
    with Simulator("arm") as sim, korvo.Servo(sim.port("arm"), realtime=False) as servo:
        with Bridge(servo, connect=endpoint, rate=100.0):
            listener.wait(lambda: len(forces(listener)) >= 20, 20, "twenty ticks")
    stamps = [s for s, _ in forces(listener)]
    assert min(b - a for a, b in zip(stamps, stamps[1:])) >= 0.01 - 1.5 / servo.rate


# -- ends -----------------------------------------------------------------------------------------------


@pytest.mark.timeout(60)
@pytest.mark.parametrize("how", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP], ids=lambda s: s.name)
def test_however_the_bridge_ends_the_arms_last_force_is_zero(free_port, how):
    arm = ArmPeerProcess()
    endpoint = f"tcp/127.0.0.1:{free_port}"
    bridge = bridge_process(arm.path, "--listen", endpoint, "--command-timeout", "0.3")
    try:
        assert bridge.stdout.readline().startswith("korvo bridge: Zenoh session")
        session = client(endpoint)
        listener = Listener(session)
        sender = Commander(session)
        push = Repeater(lambda: sender.put(CF, Commander.wrench(PUSH)))
        listener.wait(lambda: any(f[2] > 0.9 for _, f in forces(listener)), 20, "the pushed force")
        bridge.send_signal(how)
        status, err = ended(bridge)
        push.stop()
        session.close()
    finally:
        if bridge.poll() is None:
            bridge.kill()
        received = arm.forces()
    assert status == (130 if how == signal.SIGINT else -how), err
    assert any(f[2] > 0.9 for f in received)
    assert received[-1] == [0.0, 0.0, 0.0]


PROGRAM = """
import sys, korvo
from korvo.ros import Bridge
servo = korvo.Servo(sys.argv[1])
servo.start()
Bridge(servo, listen=sys.argv[2], command_timeout=0.3).start()
print("ready", flush=True)
sys.stdin.readline()
if sys.argv[3] == "exception":
    raise RuntimeError("the program fails")
"""


@pytest.mark.timeout(60)
@pytest.mark.parametrize(("how", "status"), [("exception", 1), ("exit", 0)])
def test_a_program_that_ends_with_its_bridge_running_leaves_a_zero_force(free_port, how, status):
    arm = ArmPeerProcess()
    endpoint = f"tcp/127.0.0.1:{free_port}"
    program = subprocess.Popen([sys.executable, "-c", PROGRAM, arm.path, endpoint, how], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert program.stdout.readline().strip() == "ready"
        session = client(endpoint)
        listener = Listener(session)
        sender = Commander(session)
        push = Repeater(lambda: sender.put(CF, Commander.wrench(PUSH)))
        listener.wait(lambda: any(f[2] > 0.9 for _, f in forces(listener)), 20, "the pushed force")
        program.stdin.write("end\n")
        program.stdin.flush()
        code, err = ended(program)
        push.stop()
        session.close()
    finally:
        if program.poll() is None:
            program.kill()
        received = arm.forces()
    assert code == status, err
    assert any(f[2] > 0.9 for f in received)
    assert received[-1] == [0.0, 0.0, 0.0]


# -- bad input at the command line ---------------------------------------------------------------------


@pytest.mark.python_output
@pytest.mark.timeout(30)
@pytest.mark.parametrize(
    ("arguments", "status", "line"),
    [
        (["--namespace", "2arm"], 1, "namespace '2arm' is not a valid ROS 2 name"),
        (["--namespace", "lab//arm"], 1, "is not a valid ROS 2 name: it repeats '/'"),
        (["--connect", "localhost:7447"], 1, "'localhost:7447' is not a Zenoh endpoint"),
        (["--connect", "tcp/127.0.0.1:PORT"], 1, "no Zenoh router answers at tcp/127.0.0.1:PORT"),
        (["--listen", "tcp/127.0.0.1:PORT", "--connect", "tcp/127.0.0.1:PORT"], 2, "not allowed with argument"),
    ],
)
def test_bad_options_are_one_line_without_a_force(free_port, arguments, status, line):
    arm = ArmPeerProcess()
    try:
        arguments = [a.replace("PORT", str(free_port)) for a in arguments]
        code, err = ended(bridge_process(arm.path, *arguments))
    finally:
        received = arm.forces()
    assert code == status
    assert line.replace("PORT", str(free_port)) in err and "Traceback" not in err
    assert all(f == [0.0, 0.0, 0.0] for f in received)


def test_the_bridge_checks_its_arguments_before_it_opens_anything():
    class NoServo:
        rate = 1000.0

    for kwargs, name in [({"command_timeout": 0.0}, "command_timeout"), ({"fade_time": math.nan}, "fade_time"),
                         ({"domain": 233}, "domain"), ({"rate": -1.0}, "rate"),
                         ({"namespace": "a b"}, "not a valid ROS 2 name"),
                         ({"namespace": "x", "handle_namespace": "x"}, "namespaces of their own")]:
        with pytest.raises(ValueError, match=name):
            Bridge(NoServo(), object(), **kwargs)
    with pytest.raises(ValueError, match="serves an arm"):
        Bridge(None)


def test_the_module_stays_importable_without_the_bridge():
    out = subprocess.run([sys.executable, "-c", "import korvo.ros, sys; print('zenoh' in sys.modules)"],
                         capture_output=True, text=True, env={**os.environ}, timeout=30)
    assert out.stdout.strip() == "False"
