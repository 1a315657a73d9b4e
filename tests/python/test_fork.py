"""A child made by fork() holds no port: the servo loop, the handle monitor
and the streams it inherits are dead there (not running; their calls fail at
once), it cannot open its parent's ports, and nothing it tries reaches a
device. The parent is not disturbed: its loop keeps its rate and ends with a
zero force, its monitor and its streams work on. A program started from a
child (exec) inherits no descriptor of the library's."""

from __future__ import annotations

import json
import multiprocessing
import os
import subprocess
import sys
import time
import warnings

import numpy as np
import pytest

import korvo
import KorvoHardwareAPI as hardware
from korvo_sim import Simulator
from rig import ArmPeerProcess, wait_until

PUSH = -3.0  # N along z: what the child tries to send; the parent pushes +1 N
STATE = ([0.0, 0.019999999552965164, 0.20000000298023224], [0.0, 0.0, 0.0])  # rig.py's arm


def attempts(servo, monitor, arm, arm_port, handle_port) -> dict[str, str]:
    """Everything a child might try with what it inherited, and what came of
    each (a result's repr, or the exception raised)."""
    tried = {"servo.running": lambda: servo.running, "monitor.running": lambda: monitor.running}
    tried |= {
        "servo.start": servo.start,
        "monitor.start": monitor.start,
        "inherited arm": lambda: arm.end_effector_force([0.0, 0.0, PUSH]),
        "servo on the inherited arm": lambda: korvo.Servo(arm, realtime=False).start(),
        "new servo": lambda: korvo.Servo(arm_port, realtime=False),
        "new stream": lambda: hardware.Arvena(hardware.SerialStream(arm_port), 0.05).end_effector_force([0, 0, PUSH]),
        "new monitor": lambda: korvo.HandleMonitor(handle_port),
        "servo.force": lambda: setattr(servo, "force", (0.0, 0.0, PUSH)),
        "servo.stop": servo.stop,
        "monitor.stop": monitor.stop,
        "stop_all": korvo.stop_all,
    }
    out = {}
    for name, attempt in tried.items():
        try:
            out[name] = repr(attempt())
        except Exception as e:  # noqa: BLE001 (every outcome is reported)
            out[name] = f"{type(e).__name__}: {e}"
    return out


def fork_with_os(run) -> dict[str, str]:
    read_end, write_end = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # "use of fork() may lead to deadlocks"
        pid = os.fork()
    if pid == 0:
        try:
            os.write(write_end, json.dumps(run()).encode())
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end) as report:
        text = report.read()
    assert os.waitpid(pid, 0)[1] == 0
    return json.loads(text)


def fork_with_multiprocessing(run) -> dict[str, str]:
    context = multiprocessing.get_context("fork")
    receive, send = context.Pipe(duplex=False)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        child = context.Process(target=lambda: send.send(run()))
        child.start()
    result = receive.recv()
    child.join(30)
    assert child.exitcode == 0
    return result


FORKED = "of which this process is a fork: it cannot run here (make a new one, on a port the parent does not hold)"
BUSY = "OSError: [Errno 16] Device or resource busy: '{port}'"
EXPECTED = {
    "servo.running": "False",
    "monitor.running": "False",
    "servo.start": f"RuntimeError: this servo loop belongs to process {{pid}}, {FORKED}",
    "monitor.start": f"RuntimeError: this handle monitor belongs to process {{pid}}, {FORKED}",
    "inherited arm": repr(([0.0] * 3, [0.0] * 3)),
    "servo on the inherited arm": "RuntimeError: the arm's port was opened by the parent of this process (a fork): "
    "it is the parent's",
    "new servo": BUSY.replace("port", "arm"),
    "new stream": repr(([0.0] * 3, [0.0] * 3)),
    "new monitor": BUSY.replace("port", "handle"),
    "servo.force": "None",
    "servo.stop": "None",
    "monitor.stop": "None",
    "stop_all": "None",
}


@pytest.mark.timeout(60)
@pytest.mark.parametrize("fork", [fork_with_os, fork_with_multiprocessing], ids=["os.fork", "multiprocessing"])
def test_a_child_holds_no_port_and_the_parent_goes_on(fork, capfd):
    loop_arm, idle_arm = ArmPeerProcess(), ArmPeerProcess()
    try:
        with Simulator("handle", "--rate", "200") as sim:
            handle_port = sim.port("handle")
            arm = hardware.Arvena(hardware.SerialStream(idle_arm.path), 0.5)
            with korvo.Servo(loop_arm.path, rate=500, realtime=False, max_force_step=1.0, ramp_time=0.01,
                             exchange_timeout=0.1) as servo, korvo.HandleMonitor(handle_port) as monitor:
                servo.force = (0.0, 0.0, 1.0)
                wait_until(lambda: servo.state.force[2] == 1.0 and monitor.status is not None)
                before = servo.state.tick
                frames = monitor.counts["frames"]
                tried = fork(lambda: attempts(servo, monitor, arm, loop_arm.path, handle_port))
                # The parent's loop and monitor ran on meanwhile, and run on.
                wait_until(lambda: servo.state.tick > before + 100 and monitor.counts["frames"] > frames + 10)
                assert servo.running and monitor.running and not monitor.disconnected
                assert servo.state.force == (0.0, 0.0, 1.0) and servo.state.faults == ()
            assert servo.end_reason == ""
            rec = servo.recording()
            # The parent's idle stream still works; the child's attempt left
            # nothing on its line.
            assert arm.end_effector_force([0.0, 0.0, 0.0]) == STATE
    finally:
        loop_forces, idle_forces = loop_arm.forces(), idle_arm.forces()
    capfd.readouterr()  # the child's error lines
    assert tried == {
        name: text.format(pid=os.getpid(), arm=loop_arm.path, handle=handle_port) for name, text in EXPECTED.items()
    }
    # Tick after tick, none missing, and no fault: the loop went on as before.
    assert rec.gaps() == 0 and np.all(np.diff(rec.tick.astype(np.int64)) == 1) and not rec.faults.any()
    assert not any(f[2] == PUSH for f in loop_forces)
    assert loop_forces[-1] == [0.0, 0.0, 0.0]
    assert idle_forces == [[0.0, 0.0, 0.0]]  # the parent's one exchange, nothing of the child's


# Lists the descriptors it was started with, beyond standard input, output
# and error, by what they lead to.
LIST_DESCRIPTORS = """
import os
names = os.listdir("/proc/self/fd")
print("\\n".join(sorted(f"{n} -> {os.readlink('/proc/self/fd/' + n)}" for n in names
                        if int(n) > 2 and os.path.exists("/proc/self/fd/" + n))))
"""


def inherited_descriptors() -> list[str]:
    # close_fds=False: the program gets whatever this process left inheritable.
    done = subprocess.run([sys.executable, "-c", LIST_DESCRIPTORS], capture_output=True, text=True, close_fds=False,
                          timeout=20)
    # The listing's own directory is no inheritance.
    return [line for line in done.stdout.splitlines() if "/proc/" not in line]


@pytest.mark.timeout(30)
def test_a_program_started_meanwhile_inherits_no_descriptor():
    loop_arm, idle_arm = ArmPeerProcess(), ArmPeerProcess()
    # What the test runner itself leaves inheritable.
    before = inherited_descriptors()
    try:
        with Simulator("handle") as sim:
            # A stream, a servo loop (with its request for low CPU latency,
            # where the process may make it) and a monitor, all open.
            stream = hardware.SerialStream(idle_arm.path)
            with korvo.Servo(loop_arm.path, rate=200) as servo, korvo.HandleMonitor(sim.port("handle")) as monitor:
                wait_until(lambda: monitor.status is not None and servo.state.tick > 0)
                during = inherited_descriptors()
            del stream
    finally:
        loop_arm.close()
        idle_arm.close()
    assert during == before
