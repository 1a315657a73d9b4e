"""A port belongs to one user at a time: a second process is refused and the
first is undisturbed, discovery elsewhere leaves a held port alone, and the
library and pyserial's exclusive mode respect each other's lock."""

import subprocess
import sys

import pytest
import serial

import KorvoHardwareAPI as korvo
from korvo_sim import Simulator
from private_dev import run
from rig import Step, error_lines, floats

# Its tests start interpreters and simulators, or draw with Matplotlib: far
# slower on a loaded machine than the default bound allows for.
pytestmark = pytest.mark.timeout(60)

# Process A: a paced control loop of 1000 exchanges on an arm; it counts the
# exchanges that failed (all-zero state) and those that came back with an
# implausible position (a reply taken out of step).
CONTROL_LOOP = """
import sys, time
import KorvoHardwareAPI as korvo
arm = korvo.Arvena(korvo.SerialStream(sys.argv[1]), 0.5)
arm.end_effector_force([0.0, 0.0, 0.0])
print("ready", flush=True)
failed = wild = 0
for _ in range(1000):
    position, velocity = arm.end_effector_force([0.0, 0.0, 0.0])
    failed += position == [0.0, 0.0, 0.0]
    wild += any(abs(c) > 1.0 for c in position + velocity)
    time.sleep(0.001)
print(failed, wild, flush=True)
"""

BUSY = "[16] Device or resource busy"


def start_loop(port):
    loop = subprocess.Popen([sys.executable, "-c", CONTROL_LOOP, port], stdout=subprocess.PIPE, text=True)
    assert loop.stdout.readline().strip() == "ready"
    return loop


def finish_loop(loop):
    failed, wild = map(int, loop.stdout.readline().split())
    loop.wait(30)
    loop.stdout.close()
    return failed, wild


def test_a_second_process_is_refused_and_the_first_is_undisturbed(capfd):
    with Simulator("arm") as sim:
        port = sim.port("arm")
        loop = start_loop(port)
        try:
            # This process is the intruder: its stream does not get the port,
            # so its commands never reach the arm.
            intruder = korvo.Arvena(korvo.SerialStream(port), 0.01)
            assert intruder.end_effector_force([0.0, 0.0, 3.0]) == ([0.0] * 3, [0.0] * 3)
            with pytest.raises(RuntimeError):
                intruder.send_raw(b"\x2a")
        finally:
            failed, wild = finish_loop(loop)
        assert (failed, wild) == (0, 0)
        lines = error_lines(capfd)
        assert lines[0][1:3] == (39, f"unable to open port '{port}'") and f"[{lines[0][3]}] {lines[0][4]}" == BUSY
        # Once the loop has ended, the port is free again.
        assert korvo.Arvena(korvo.SerialStream(port)).device_wakeup()[1] == 4


def test_discovery_in_a_third_process_skips_the_held_port_and_leaves_it_alone():
    r = run(
        f"""
        held, = sim("arm", "--link", "/dev/ttyACM0")
        free, = sim("arm", "--link", "/dev/ttyACM1")
        loop = subprocess.Popen([sys.executable, "-c", {CONTROL_LOOP!r}, held], stdout=subprocess.PIPE, text=True)
        assert loop.stdout.readline().strip() == "ready"
        found = subprocess.run([sys.executable, "-c", "import KorvoHardwareAPI as k; print(*k.detect_arvenas())"],
                               capture_output=True, text=True, timeout=60)
        failed, wild = map(int, loop.stdout.readline().split())
        loop.wait(30)
        report(held=held, free=free, found=found.stdout.split(), stderr=found.stderr, failed=failed, wild=wild)
        """
    )
    assert r["found"] == [r["free"]]
    assert r["stderr"] == ""  # the held port was not even opened
    assert (r["failed"], r["wild"]) == (0, 0)


def test_pyserial_exclusive_and_the_library_respect_each_other(peer, capfd):
    with serial.Serial(peer.path, exclusive=True):
        arm = korvo.Arvena(korvo.SerialStream(peer.path), 0.01)
        assert arm.get_power_status() is False
        assert peer.drain() == b""
    assert any(f"[{line[3]}] {line[4]}" == BUSY for line in error_lines(capfd))

    stream = korvo.SerialStream(peer.path)
    with pytest.raises(serial.SerialException, match="Could not exclusively lock port"):
        serial.Serial(peer.path, exclusive=True)
    del stream
    serial.Serial(peer.path, exclusive=True).close()


def test_a_new_stream_in_the_same_process_takes_over_from_a_failed_one(peer, capfd):
    # The documented recovery: the old stream still exists when the new one
    # opens the port.
    old = korvo.Arvena(korvo.SerialStream(peer.path), 0.01)
    peer.deliver(b"\xee")
    assert old.get_power_status() is False
    assert peer.read(1) == b"\xac"  # the old request, never answered
    new = korvo.Arvena(korvo.SerialStream(peer.path), 0.5)
    state = floats(0.1, 0.2, 0.3, 0.0, 0.0, 0.0)
    peer.script([Step(b"\x2a" + floats(0, 0, 0), b"\x2b" + state)])
    position, _ = new.end_effector_force([0.0, 0.0, 0.0])
    assert position == pytest.approx([0.1, 0.2, 0.3])
    peer.join()
    error_lines(capfd)
