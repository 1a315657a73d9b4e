"""However the process running a servo loop ends, the arm's last force is
zero: a termination signal (SIGTERM from kill or a service manager, SIGHUP
from a closed terminal, SIGINT) ends it with that signal's status after the
zero force, a program's own handler is kept and runs, and interpreter exit
while other threads are inside the library's calls ends the process normally
instead of aborting it."""

from __future__ import annotations

import concurrent.futures
import signal
import subprocess
import sys

import pytest

from rig import ArmPeerProcess

PUSH = [0.0, 0.0, 2.0]
ZERO = [0.0, 0.0, 0.0]

# Pushes with 2 N until told to stop; with "own", a SIGTERM handler of its
# own stops the loop and exits with status 3.
PUSHING = """
import signal, sys, time
import korvo

port, handler = sys.argv[1], sys.argv[2]
# At their default, as a program started from a terminal or by a service
# manager has them (a test run under nohup would hand down SIGHUP ignored).
signal.signal(signal.SIGHUP, signal.SIG_DFL)
signal.signal(signal.SIGTERM, signal.SIG_DFL)
servo = korvo.Servo(port, rate=500, realtime=False, max_force_step=1.0, ramp_time=0.01)
if handler == "own":
    def stop(signum, frame):
        servo.stop()
        print("handled", flush=True)
        sys.exit(3)
    signal.signal(signal.SIGTERM, stop)
servo.start()
servo.force = (0.0, 0.0, 2.0)
while servo.state.force[2] != 2.0:
    time.sleep(0.001)
print("pushing", flush=True)
time.sleep(60)
"""


def push_then_signal(sig: int, handler: str) -> tuple[int, str, list[list[float]]]:
    peer = ArmPeerProcess()
    try:
        child = subprocess.Popen([sys.executable, "-c", PUSHING, peer.path, handler], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)
        try:
            if (line := child.stdout.readline()) != "pushing\n":
                child.kill()
                pytest.fail(f"the child did not start pushing ({line!r}); it said: {child.communicate()[1]}")
            child.send_signal(sig)
            out, _ = child.communicate(timeout=20)
        finally:
            child.kill()
            child.wait()
    finally:
        forces = peer.forces()
    return child.returncode, out, forces


@pytest.mark.timeout(60)
@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGHUP, signal.SIGINT], ids=lambda s: s.name)
def test_a_termination_signal_ends_the_process_after_the_zero_force(sig):
    status, _, forces = push_then_signal(sig, "default")
    # The status a shell sees for a process the signal ended (SIGINT through
    # Python's own handler: KeyboardInterrupt, which ends it the same way).
    assert status == -sig
    assert PUSH in forces and forces[-1] == ZERO


@pytest.mark.timeout(60)
def test_a_programs_own_handler_is_kept_and_runs():
    status, out, forces = push_then_signal(signal.SIGTERM, "own")
    assert (status, out) == (3, "handled\n")
    assert PUSH in forces and forces[-1] == ZERO


# A daemon thread inside one kind of call that releases the interpreter lock,
# again and again, while the main thread exits.
BUSY_AT_EXIT = """
import random, sys, threading, time
import korvo
import KorvoHardwareAPI as hardware

kind, port = sys.argv[1], sys.argv[2]

def exchanges():
    arm = hardware.Arvena(hardware.SerialStream(port), 0.5)
    while True:
        arm.end_effector_force([0.0, 0.0, 0.0])

def servo_starts():
    servo = korvo.Servo(port, rate=1000, realtime=False)
    while True:
        servo.start()
        servo.force = (0.0, 0.0, 0.5)
        servo.stop()

def monitor_starts():
    monitor = korvo.HandleMonitor(port)
    while True:
        monitor.start()
        monitor.stop()

def stream_opens():
    while True:
        hardware.SerialStream(port)

threading.Thread(target=globals()[kind], daemon=True).start()
time.sleep(random.uniform(0.05, 0.15))
"""

RUNS = 20
PEERS = 4  # runs at once, each on a scripted arm of its own


def exit_runs(kind: str, runs: int) -> tuple[list[tuple[int, str]], list[list[float]]]:
    """(status, standard error) of each run, and the last force each arm got."""

    def on_one_arm(count: int) -> tuple[list[tuple[int, str]], list[float]]:
        peer = ArmPeerProcess()
        results = []
        try:
            for _ in range(count):
                done = subprocess.run([sys.executable, "-c", BUSY_AT_EXIT, kind, peer.path], capture_output=True,
                                      text=True, timeout=60)
                results.append((done.returncode, done.stderr))
        finally:
            forces = peer.forces()
        return results, forces[-1] if forces else ZERO

    shares = [runs // PEERS + (i < runs % PEERS) for i in range(PEERS)]
    with concurrent.futures.ThreadPoolExecutor(PEERS) as pool:
        done = list(pool.map(on_one_arm, shares))
    return [r for results, _ in done for r in results], [last for _, last in done]


@pytest.mark.timeout(300)
@pytest.mark.parametrize("kind", ["exchanges", "servo_starts", "monitor_starts", "stream_opens"])
def test_interpreter_exit_with_a_thread_inside_the_library_never_aborts(kind):
    results, last_forces = exit_runs(kind, RUNS)
    assert results == [(0, "")] * RUNS
    assert last_forces == [ZERO] * PEERS
