"""Interpreter exit while other threads are inside the library's calls ends
the process normally (the loops still send their zero force) instead of
aborting it."""

from __future__ import annotations

import concurrent.futures
import subprocess
import sys

import pytest

from rig import ArmPeerProcess

ZERO = [0.0, 0.0, 0.0]

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
