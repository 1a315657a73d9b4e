"""Waits end on time and on Ctrl+C: every kind of wait, with a limit and
without, interrupted by SIGINT in a child process; a failed stream's later
exchanges return at once; a chattering device fails within its limit.

Bounds are wide on purpose (the machine is shared and noisy); the figures
themselves are the benchmarks' business."""

from __future__ import annotations

import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import KorvoHardwareAPI as korvo
from private_dev import run
from rig import error_lines

# Each test times how long a wait lasts.
pytestmark = pytest.mark.serial

TESTS = str(Path(__file__).resolve().parent)

# The child opens a silent pty, starts one waiting call, and says so; the
# signal then finds it waiting. It reports how the call ended, and what the
# library had written to the port by then.
CHILD = """
import os, sys, time, tty
sys.path.insert(0, {tests!r})
import KorvoHardwareAPI as korvo
from rig import PtyPeer

peer = PtyPeer()
limit = float(sys.argv[2])
arm = korvo.Arvena(korvo.SerialStream(peer.path), limit)
handle = korvo.Handle(korvo.SerialStream(peer.path))
calls = {{
    "end_effector_force": lambda: arm.end_effector_force([0.0, 0.0, 0.0]),
    "get_device_id": arm.get_device_id,
    "get_temperature": arm.get_temperature,
    "read_raw": lambda: arm.read_raw(8, limit),
    "Receive": handle.Receive,
    "GetStylarStatus": handle.GetStylarStatus,
}}
print("waiting", flush=True)
try:
    calls[sys.argv[1]]()
    outcome = "returned"
except KeyboardInterrupt:
    outcome = "KeyboardInterrupt"
print(outcome, time.monotonic(), peer.drain().hex(), flush=True)
"""

WRITTEN = {
    "end_effector_force": "2a" + "00" * 12,
    "get_device_id": "0dd1",
    "get_temperature": "aa",
    "read_raw": "",
    "Receive": "",
    "GetStylarStatus": "",
}


def interrupt(call: str, limit: float, after: float = 0.3) -> tuple[str, float, str]:
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD.format(tests=TESTS), call, str(limit)],
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
        text=True,
    )
    try:
        assert child.stdout.readline().strip() == "waiting"
        time.sleep(after)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        outcome, ended, written = (child.stdout.readline().split() + ["", ""])[:3]
        child.wait(10)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
        child.stdout.close()
    return outcome, float(ended) - sent if ended else float("inf"), written


@pytest.mark.parametrize("limit", [30.0, 0.0], ids=["limit", "no-limit"])
@pytest.mark.parametrize("call", list(WRITTEN))
def test_ctrl_c_ends_every_wait_and_nothing_more_is_written(call, limit):
    # GetStylarStatus has no limit of its own to wait out: its first wait is
    # one to two seconds, which the signal, sent after 0.3 s, cuts short.
    outcome, seconds, written = interrupt(call, limit)
    assert outcome == "KeyboardInterrupt"
    assert seconds < 1.0
    assert written == WRITTEN[call]


def test_ctrl_c_ends_discovery_and_its_probe():
    r = run(
        """
        import signal, subprocess, sys
        silent = peer()
        link("ttyACM0", silent[1])
        child = subprocess.Popen([sys.executable, "-c",
            "import KorvoHardwareAPI as k, time\\n"
            "print('waiting', flush=True)\\n"
            "try:\\n    k.detect_arvenas(); print('returned', flush=True)\\n"
            "except KeyboardInterrupt:\\n    print('KeyboardInterrupt', time.monotonic(), flush=True)\\n"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        child.stdout.readline()
        time.sleep(0.5)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        outcome, ended = child.stdout.readline().split()
        child.wait(10)
        report(outcome=outcome, seconds=float(ended) - sent, heard=received(silent[0]).hex())
        """
    )
    assert r["outcome"] == "KeyboardInterrupt"
    assert r["seconds"] < 1.0  # the probe alone would take 10 s
    assert r["heard"] == "0a"


def test_after_a_pulled_cable_every_exchange_returns_at_once(peer, capfd):
    arm = korvo.Arvena(korvo.SerialStream(peer.path), 2.0)
    handle = korvo.Handle(korvo.SerialStream(peer.path))
    peer.hang_up()
    start = time.monotonic()
    assert arm.end_effector_force([0.0, 0.0, 0.0]) == ([0.0] * 3, [0.0] * 3)
    assert arm.get_device_id().int == 0
    assert arm.get_temperature() == 0.0
    assert arm.read_raw(4, 2.0) == b""
    assert handle.Receive() == -1
    assert handle.GetStylarStatus()["error_flag"] == 2
    assert time.monotonic() - start < 2.0  # each of them alone would take 2 s or more
    assert error_lines(capfd)


def test_a_device_that_only_chatters_fails_within_the_documented_limit(peer, capfd):
    # Notifications every 10 ms, never a reply: the reply's header code is
    # given up read_timeout after the first notification, and the arm's wait
    # for the rest of a broken reply costs one limit more (see docs/behaviour.md).
    limit = 0.2
    arm = korvo.Arvena(korvo.SerialStream(peer.path), limit)
    stop = time.monotonic() + 3.0

    def chatter():
        while time.monotonic() < stop and peer.master >= 0:
            peer.send(b"\xba\x00\x01\x42")
            time.sleep(0.01)

    talker = threading.Thread(target=chatter, daemon=True)
    talker.start()
    start = time.monotonic()
    assert arm.end_effector_force([0.0, 0.0, 0.0]) == ([0.0] * 3, [0.0] * 3)
    seconds = time.monotonic() - start
    stop = 0
    talker.join()
    assert 2 * limit <= seconds < 2 * limit + 0.5
    assert [line[1] for line in error_lines(capfd)] == [78, 153]
