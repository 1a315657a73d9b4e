"""What a servo loop tells a program besides its state: callbacks for faults
and for its end (on a thread of the package's own), the flight record of
the ticks before a fault ended it, the loop switched off and on, the
real-time policy, and other arms left alone."""

from __future__ import annotations

import logging
import os
import shutil
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import korvo
import KorvoHardwareAPI as hardware
from korvo_sim import Simulator
from rig import ArmPeerProcess, wait_until


@pytest.fixture
def sim_arm():
    with Simulator("arm") as sim:
        yield sim.port("arm")


class Heard:
    """Every event a callback received, with the thread it ran on."""

    def __init__(self) -> None:
        self.events: list[korvo.ServoEvent] = []
        self.threads: set[str] = set()

    def __call__(self, event: korvo.ServoEvent) -> None:
        self.threads.add(threading.current_thread().name)
        self.events.append(event)

    def kinds(self) -> list[str]:
        return [e.kind for e in self.events]


# -- faults and endings, each heard and recorded ------------------------------------------------------

FAULTS = {
    # name: (how to start the loop, how to cause the fault, whether it ends the loop)
    "exchanges": ({"max_failed_exchanges": 5, "stop_on_failure": True}, "mute", True),
    "disconnected": ({}, "hang up", True),
    "speed": ({"max_speed": 0.01, "max_force_step": 1.0}, "push", False),
    "heartbeat": ({"heartbeat": 0.1}, "fall quiet", False),
    "bad-force": ({}, "overflow", False),
}


@pytest.mark.timeout(30)
@pytest.mark.parametrize("fault", list(FAULTS))
def test_every_fault_is_heard_and_leaves_a_flight_record(fault):
    options, cause, ends = FAULTS[fault]
    sim_options = ("--disconnect-after", "400", "--reconnect-ms", "-1") if cause == "hang up" else ()
    peer = ArmPeerProcess("--mute-after", "300") if cause == "mute" else None
    sim = None if peer else Simulator("arm", *sim_options)
    try:
        port = peer.path if peer else sim.__enter__().port("arm")
        servo = korvo.Servo(port, realtime=False, ramp_time=0.01, flight_record=200, exchange_timeout=0.05, **options)
        faults, endings = Heard(), Heard()
        servo.on_fault(faults)
        servo.on_end(endings)
        servo.start()
        wait_until(lambda: servo.state.tick >= 100)
        if cause == "push":
            servo.force = (0.0, 0.0, 2.0)
        elif cause == "overflow":
            servo.add(korvo.Constant(force=(1e308, 0.0, 0.0)))
            servo.add(korvo.Constant(force=(1e308, 0.0, 0.0)))
        wait_until(lambda: fault in [name for e in faults.events for name in e.changed], 10,
                   lambda: f"heard {faults.events}")
        if ends:
            wait_until(lambda: endings.events, 10, lambda: f"no end; state {servo.state}")
        servo.stop()
        wait_until(lambda: endings.events, 10)
    finally:
        if peer:
            peer.close()
        if sim:
            sim.__exit__(None, None, None)
    raised = next(e for e in faults.events if fault in e.changed)
    assert raised.kind == "fault" and fault in raised.faults
    assert faults.threads | endings.threads == {"korvo-servo-events"}
    (end,) = endings.events
    record = servo.flight_record()
    assert 0 < len(record) <= 200
    assert np.all(np.diff(record.tick.astype(np.int64)) == 1)
    if ends:
        # The ticks up to the one that ended the loop, kept after it.
        assert end.changed == (fault,)
        assert end.reason == servo.end_reason
        assert end.reason.startswith("stopped after" if fault == "exchanges" else "disconnected")
        assert "of the last 100 exchanges succeeded" in end.reason
        assert record.tick[-1] == servo.state.tick == end.tick
        assert not record.exchange_ok[-1]
    else:
        assert end.changed == () and end.reason == ""
        # The fault's tick is in the record (it is the latest 200 ticks).
        bit = {"speed": 1, "heartbeat": 2, "bad-force": 16}[fault]
        assert np.any(record.faults & bit) or raised.tick < record.tick[0]


def test_a_callback_that_raises_is_reported_and_the_loop_goes_on(sim_arm, caplog):
    with korvo.Servo(sim_arm, realtime=False, heartbeat=0.05, ramp_time=0.01) as servo:

        @servo.on_fault
        def broken(event: korvo.ServoEvent) -> None:
            raise ValueError("the program's own mistake")

        wait_until(lambda: any("the program's own mistake" in r.getMessage() or r.exc_info for r in caplog.records))
        assert servo.running
        # The loop goes on, and so do its events: the heartbeat clears the
        # fault, and the callback hears that too (and raises again). The
        # state alone would show the clearing for only the 50 ms before the
        # heartbeat lapses again, which a busy machine's polling can miss.
        servo.heartbeat()
        wait_until(lambda: any(r.getMessage().startswith("korvo.Servo cleared callback") for r in caplog.records))
        assert servo.running
    (record, *_) = [r for r in caplog.records if r.exc_info]
    assert record.name == "korvo" and record.levelno == logging.ERROR
    assert isinstance(record.exc_info[1], ValueError)


def test_callbacks_follow_a_loop_started_again(sim_arm):
    servo = korvo.Servo(sim_arm, realtime=False)
    endings = Heard()
    servo.on_end(endings)
    for _ in range(2):
        with servo:
            wait_until(lambda: servo.state.tick >= 20)
        wait_until(lambda: len(endings.events) >= 1)
    wait_until(lambda: len(endings.events) == 2)
    assert endings.kinds() == ["end", "end"]


# -- enabled and disabled ----------------------------------------------------------------------------


def test_disabled_sends_zero_and_keeps_exchanging_enabled_ramps_back_in(sim_arm):
    ramp_time, push = 0.05, 0.5
    with korvo.Servo(sim_arm, realtime=False, ramp_time=ramp_time, max_force_step=1.0) as servo:
        servo.force = (0.0, push, 0.0)
        wait_until(lambda: servo.state.force[1] == pytest.approx(push))
        servo.enabled = False
        wait_until(lambda: not servo.state.enabled)
        off = servo.state.tick
        wait_until(lambda: servo.state.tick >= off + 50)
        assert servo.running
        servo.enabled = True
        on = servo.state.tick
        wait_until(lambda: servo.state.tick > on and servo.state.force[1] == pytest.approx(push))
    rec = servo.recording()
    disabled = (rec.tick > off) & (rec.tick <= off + 50)
    assert np.all(rec.force[disabled] == 0.0)
    # Still exchanging: the arm's replies keep coming (a busy machine may
    # lose some of them, never all).
    assert np.any(rec.exchange_ok[disabled])
    # Ramped back in: no tick adds more than the ramp allows for the time
    # that passed, however late the tick came. A tick sends the force the
    # one before it computed: each rise answers the interval before.
    back = rec.tick > on
    rises = np.diff(rec.force[back][:, 1])[1:]
    allowed = push * np.diff(rec.time[back])[:-1] / ramp_time
    assert np.all(rises <= allowed + 1e-6), np.max(rises - allowed)  # forces go as float32


# -- real time ---------------------------------------------------------------------------------------


@pytest.mark.parametrize("bad", ["always", 1, None])
def test_a_realtime_policy_that_is_no_policy_is_refused(sim_arm, bad):
    with pytest.raises(ValueError, match="realtime must be"):
        korvo.Servo(sim_arm, realtime=bad)


def test_realtime_off_asks_for_nothing(sim_arm):
    with korvo.Servo(sim_arm, realtime="off") as servo:
        assert not servo.realtime and not servo.memory_locked and not servo.low_cpu_latency


REQUIRE = """
import korvo, sys
from korvo_sim import Simulator
with Simulator("arm") as sim:
    servo = korvo.Servo(sim.port("arm"), realtime="require")
    try:
        servo.start()
    except RuntimeError as e:
        print(e)
        sys.exit(0)
    print("granted", servo.realtime, servo.memory_locked)
    sys.exit(3)
"""


@pytest.mark.timeout(30)
def test_required_realtime_that_is_refused_fails_start_with_the_reason():
    if shutil.which("setpriv") is None or shutil.which("prlimit") is None:
        pytest.skip("needs setpriv and prlimit (util-linux) to run a process without the right to real-time priority")
    # Without the capabilities that override the limits (root has them), and
    # with limits that allow neither the real-time class nor locked memory.
    command = ["setpriv", "--bounding-set=-sys_nice,-ipc_lock", "prlimit", "--rtprio=0", "--memlock=0",
               sys.executable, "-c", REQUIRE]
    done = subprocess.run(command, capture_output=True, text=True, timeout=25)
    if done.returncode == 3:
        pytest.skip(f"this machine grants real-time priority even so: {done.stdout.strip()}")
    assert done.returncode == 0, done.stderr
    assert "requires real-time scheduling" in done.stdout
    assert "real-time priority refused" in done.stdout
    if not os.environ.get("KORVO_SANITIZED"):
        # AddressSanitizer's mlock does nothing and reports success.
        assert "memory lock refused" in done.stdout


# -- other arms --------------------------------------------------------------------------------------


def test_a_servo_leaves_another_arms_calibration_alone():
    with Simulator("arm", "arm") as sim:
        first, second = sim.port("arm", 0), sim.port("arm", 1)
        other = hardware.Arvena(hardware.SerialStream(second), timeout=0.5)
        other.adjust_gear_ratios(2.0, 0.5, 1.5)
        other.adjust_lengths(0.15, 0.15, 0.17, 0.17, 0.08)
        before = other.get_end_effector_position(False)
        with korvo.Servo(first, realtime=False) as servo:
            wait_until(lambda: servo.state.tick >= 20)
        after = other.get_end_effector_position(False)
    assert before[0] != [0.0, 0.0, 0.0]
    assert after == before
