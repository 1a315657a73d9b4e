"""korvo.Servo, the native servo loop, from Python: each safety limit acting,
a zero force last however the loop ends, faults costing one tick, the
recording, readers on other threads, and bad input refused before anything
is sent."""

from __future__ import annotations

import gc
import math
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import korvo
import KorvoHardwareAPI as hardware
from korvo_sim import Simulator
from rig import ArmPeerProcess, wait_until

ZERO = [0.0, 0.0, 0.0]


@pytest.fixture
def sim_arm():
    with Simulator("arm") as sim:
        yield sim.port("arm")


@pytest.fixture
def peer_arm():
    peer = ArmPeerProcess()
    yield peer
    peer.close()


def run_until(servo, ticks, limit=10.0):
    wait_until(
        lambda: servo.state.tick >= ticks or not servo.running, limit, lambda: f"only {servo.state.tick} ticks"
    )


# -- the safety envelope ----------------------------------------------------------------------


def test_force_is_clamped_with_its_direction_kept(sim_arm):
    with korvo.Servo(sim_arm, max_force=2.0, max_force_step=10.0, ramp_time=0.01, realtime=False) as servo:
        servo.force = (3.0, 0.0, -4.0)
        run_until(servo, 100)
        force = servo.state.force
    assert math.hypot(*force) == pytest.approx(2.0, rel=1e-6)
    assert force[0] / force[2] == pytest.approx(-0.75, rel=1e-6)


def test_force_ramps_in_grows_by_at_most_the_step_and_never_waits_to_shrink(sim_arm):
    step, ramp = 0.01, 0.2
    with korvo.Servo(sim_arm, max_force=4.0, max_force_step=step, ramp_time=ramp, realtime=False) as servo:
        servo.force = (0.0, 0.0, 1.0)
        run_until(servo, 400)
        servo.force = (0.0, 0.0, -1.0)
        run_until(servo, 800)
    rec = servo.recording()
    assert rec.gaps() == 0
    lengths = np.linalg.norm(rec.force, axis=1)
    assert np.diff(lengths).max() <= step * (1 + 1e-5)
    # Turned around: down to zero at once, then out again a step a tick.
    turned = np.flatnonzero(rec.force[:, 2] < 0)[0]
    assert rec.force[turned, 2] == pytest.approx(-step, rel=1e-5)
    # Ramp: at time t after the start at most t / ramp of the full force.
    early = rec.time < ramp
    assert np.all(rec.force[early, 2] <= rec.time[early] / ramp + 1e-6)
    assert rec.force[(rec.time > 1.5 * ramp) & (rec.tick < 400), 2].min() == pytest.approx(1.0, abs=1e-6)
    assert rec.force[-1, 2] == pytest.approx(-1.0, abs=1e-6)


def test_speed_above_the_limit_takes_the_force_away(sim_arm):
    # A push the simulated arm follows at a few cm/s, against a limit of 1 cm/s.
    with korvo.Servo(sim_arm, max_speed=0.01, max_force_step=1.0, ramp_time=0.01, realtime=False) as servo:
        servo.force = (0.0, 0.0, 2.0)
        wait_until(lambda: "speed" in servo.state.faults, 5)
        state = servo.state
    assert "speed" in state.faults
    assert state.fault_time > 0
    rec = servo.recording()
    faulted = (rec.faults & 1) != 0
    first = np.argmax(faulted)
    # From the tick after the fault on, nothing but zero is sent.
    assert np.all(rec.force[first + 1 :][faulted[first + 1 :]] == 0.0)


def test_heartbeat_lapse_fades_the_force_and_calling_in_brings_it_back(sim_arm):
    with korvo.Servo(
        sim_arm, heartbeat=0.25, fade_time=0.02, max_force_step=1.0, ramp_time=0.01, realtime=False
    ) as servo:
        servo.force = (0.0, 1.0, 0.0)
        wait_until(lambda: servo.state.faults == ("heartbeat",) and servo.state.force == (0.0, 0.0, 0.0))
        # The recording is judged 25 ticks into the fade, which calling in
        # sooner would cut short.
        run_until(servo, servo.state.tick + 10)
        lapsed = servo.state
        servo.heartbeat()
        called_in = time.monotonic()
        # Back within the ramp's 10 ms when all is well; judged well before
        # the heartbeat lapses again.
        back = servo.state
        while (back.faults or back.force[1] < 1.0) and time.monotonic() - called_in < 0.15:
            time.sleep(0.005)
            back = servo.state
    assert lapsed.faults == ("heartbeat",) and lapsed.force == (0.0, 0.0, 0.0)
    assert back.faults == () and back.force == pytest.approx((0.0, 1.0, 0.0))
    rec = servo.recording()
    fading = np.flatnonzero(rec.faults & 2)
    # Linear to zero over fade_time: 20 ticks at 1 kHz, each 1/20 of 1 N.
    steps = -np.diff(rec.force[fading[0] - 1 : fading[0] + 25, 1])
    assert steps.max() == pytest.approx(0.05, rel=0.01)
    assert rec.force[fading[0] + 25, 1] == 0.0


def test_failed_exchanges_raise_the_fault_and_may_stop_the_loop():
    peer = ArmPeerProcess("--mute-after", "200")
    try:
        servo = korvo.Servo(peer.path, max_failed_exchanges=5, stop_on_failure=True, realtime=False)
        servo.start()
        servo.force = (1.0, 0.0, 0.0)
        wait_until(lambda: not servo.running, 5)
        assert not servo.running
        assert servo.state.faults == ("exchanges",)
        assert servo.end_reason.startswith("stopped after repeated failed exchanges at tick ")
        assert "of the last 100 exchanges succeeded" in servo.end_reason
        servo.stop()
    finally:
        forces = peer.forces()
    assert forces[-1] == ZERO
    assert any(f != ZERO for f in forces)


# -- a zero force last, however the loop ends ---------------------------------------------------

ENDINGS = {
    "stop": "servo.start(); servo.force = (0.0, 0.0, 1.0); time.sleep(0.3); servo.stop()",
    "exception in with": textwrap.dedent(
        """
        try:
            with servo:
                servo.force = (0.0, 0.0, 1.0)
                time.sleep(0.3)
                raise ValueError("the program fails")
        except ValueError:
            pass
        """
    ),
    "garbage collection": "servo.start(); servo.force = (0.0, 0.0, 1.0); time.sleep(0.3); del servo; gc.collect()",
    "interpreter exit": "servo.start(); servo.force = (0.0, 0.0, 1.0); time.sleep(0.3); sys.exit(0)",
    "Ctrl+C": "servo.start(); servo.force = (0.0, 0.0, 1.0); print('running', flush=True); time.sleep(30)",
}


@pytest.mark.parametrize("ending", list(ENDINGS))
def test_zero_force_is_the_last_thing_sent(ending, peer_arm):
    program = (
        f"import gc, sys, time, korvo\nservo = korvo.Servo({peer_arm.path!r}, realtime=False, ramp_time=0.01, "
        f"max_force_step=1.0)\n{ENDINGS[ending]}\n"
    )
    child = subprocess.Popen([sys.executable, "-c", program], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if ending == "Ctrl+C":
        assert child.stdout.readline().strip() == "running"
        time.sleep(0.2)
        child.send_signal(signal.SIGINT)
    _, err = child.communicate(timeout=20)
    if ending == "Ctrl+C":
        assert "KeyboardInterrupt" in err
    else:
        assert child.returncode == 0, err
    forces = peer_arm.forces()
    assert forces[-1] == ZERO
    assert [0.0, 0.0, 1.0] in forces


# -- faults on the line ------------------------------------------------------------------------------


@pytest.mark.parametrize("fault", ["--drop-every", "--corrupt-every"])
def test_a_bad_reply_costs_one_tick(fault):
    with Simulator("arm", fault, "100") as sim:
        with korvo.Servo(sim.port("arm"), realtime=False, exchange_timeout=0.02) as servo:
            run_until(servo, 500)
        rec = servo.recording()
    bad = np.flatnonzero(~rec.exchange_ok)
    # Every 100th reply of the simulator's count is bad (the first exchange
    # and the markers of resynchronising ticks are replies too): one tick
    # each, none in a row.
    assert 3 <= len(bad) <= 6
    assert np.all(np.diff(bad) > 1)
    assert servo.stats.failed_exchanges == len(bad)


def test_a_pulled_cable_is_a_fault_and_a_clean_stop_and_a_new_port_works(tmp_path):
    with Simulator("arm", "--disconnect-after", "300", "--reconnect-ms", "-1") as sim:
        servo = korvo.Servo(sim.port("arm"), realtime=False)
        servo.start()
        wait_until(lambda: not servo.running, 5)
        assert not servo.running
        assert "disconnected" in servo.state.faults
        assert servo.end_reason.startswith("disconnected")
        servo.stop()
    with Simulator("arm") as sim:
        with korvo.Servo(sim.port("arm"), realtime=False, exchange_timeout=0.02) as fresh:
            run_until(fresh, 50)
        assert fresh.stats.failed_exchanges == 0


# -- state, recording, sharing ----------------------------------------------------------------------


@pytest.mark.timeout(30)  # runs the loop for 10 s by design
def test_recording_has_no_gap_at_1_khz_for_10_s(sim_arm):
    with korvo.Servo(sim_arm, rate=1000) as servo:
        time.sleep(10.0)
    rec = servo.recording()
    assert rec.dropped == 0 and rec.gaps() == 0
    # Every tick the loop ran is recorded; a loop that falls behind (under a
    # sanitizer, on a loaded machine) starts again from now, so a few are
    # never run at all.
    assert len(rec) >= 9700 and rec.time[-1] >= 9.9
    assert np.array_equal(rec.tick, np.arange(len(rec)))


def test_recording_saves_a_file_numpy_reads_back(sim_arm, tmp_path):
    with korvo.Servo(sim_arm, realtime=False) as servo:
        servo.force = (0.0, 0.0, 0.5)
        run_until(servo, 100)
    rec = servo.recording()
    rec.save(tmp_path / "run.csv")
    table = np.loadtxt(tmp_path / "run.csv", delimiter=",", skiprows=1)
    assert table.shape == (len(rec), 18)
    assert np.array_equal(table[:, 0], rec.tick)
    assert np.allclose(table[:, 10:13], rec.force, rtol=1e-6)
    rec.save(tmp_path / "run.npz")
    assert np.array_equal(np.load(tmp_path / "run.npz")["force"], rec.force)


def test_readers_on_other_threads_never_see_a_torn_state(sim_arm):
    torn, reads = [], [0]
    stop = threading.Event()

    def write():
        t = 0.0
        while not stop.is_set():
            t = (t + 0.001) % 1.0
            servo.force = (t, 2 * t, -t)

    def read():
        while not stop.is_set():
            c = servo.state.commanded
            if c != (c[0], 2 * c[0], -c[0]):
                torn.append(c)
            reads[0] += 1

    with korvo.Servo(sim_arm, realtime=False) as servo:
        threads = [threading.Thread(target=write)] + [threading.Thread(target=read) for _ in range(3)]
        for t in threads:
            t.start()
        time.sleep(0.5)
        stop.set()
        for t in threads:
            t.join()
    assert reads[0] > 100
    assert torn == []


def test_a_borrowed_arm_is_refused_to_others_while_the_loop_runs(sim_arm):
    arm = hardware.Arvena(hardware.SerialStream(sim_arm), 0.5)
    with korvo.Servo(arm, realtime=False) as servo:
        run_until(servo, 20)
        with pytest.raises(RuntimeError, match="^the device is lent to a servo loop: stop it before"):
            arm.end_effector_force([0.0, 0.0, 0.0])
        with pytest.raises(RuntimeError, match="lent to a servo loop"):
            arm.get_temperature()
        with pytest.raises(RuntimeError, match="lent"):
            korvo.Servo(arm, realtime=False).start()
    position, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    assert position != ZERO
    del servo
    gc.collect()


def test_a_stopped_loop_starts_again_and_each_run_ends_at_zero_force(peer_arm):
    arm = hardware.Arvena(hardware.SerialStream(peer_arm.path), 0.5)
    servo = korvo.Servo(arm, realtime=False, ramp_time=0.01, max_force_step=1.0)
    for _ in range(3):
        servo.start()
        servo.force = (0.0, 0.0, 1.0)
        run_until(servo, 50)
        servo.stop()
        # Statistics count this run only, not on from (or back below) the last.
        stats = servo.stats
        assert 50 <= stats.ticks <= servo.state.tick + 1
        assert stats.failed_exchanges == 0
        # Lent back between runs; the marker splits the peer's log by run.
        position, _ = arm.end_effector_force([0.0, 0.0, 0.5])
        assert position == pytest.approx([0.0, 0.02, 0.2])
    rec = servo.recording()
    assert np.count_nonzero(rec.tick == 0) == 3
    assert rec.gaps() == 0 and rec.dropped == 0
    runs, run = [], []
    for force in peer_arm.forces():
        if force == [0.0, 0.0, 0.5]:
            runs.append(run)
            run = []
        else:
            run.append(force)
    assert len(runs) == 3
    for run in runs:
        assert [0.0, 0.0, 1.0] in run
        assert run[-1] == ZERO


def test_gaps_count_missing_ticks_within_each_run():
    arrays = {name: np.zeros(7) for name, _ in korvo.recording.COLUMNS}
    arrays["tick"] = np.array([5, 6, 9, 0, 1, 2, 4], dtype=np.uint64)  # a start() between 9 and 0
    arrays["dropped"] = 3
    assert korvo.Recording(arrays).gaps() == 3


def test_stats_describe_the_loop_and_reset(sim_arm):
    with korvo.Servo(sim_arm, rate=500, realtime=False, exchange_timeout=0.02) as servo:
        run_until(servo, 200)
        stats = servo.stats
        servo.reset_stats()
        assert servo.stats.ticks < stats.ticks
    assert 400 < stats.rate < 520
    assert 0.0019 < stats.period_p50 < 0.0021
    assert stats.period_p50 <= stats.period_p99 <= stats.period_max
    assert 0 < stats.exchange_p50 <= stats.exchange_p99 < 0.02
    assert stats.failed_exchanges == 0


# -- bad input -------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "arguments, name",
    [
        (dict(rate=0), "rate"),
        (dict(rate=-1000), "rate"),
        (dict(rate=math.nan), "rate"),
        (dict(rate=1e9), "rate"),
        (dict(max_force=0), "max_force"),
        (dict(max_force=math.inf), "max_force"),
        (dict(max_force_step=-0.1), "max_force_step"),
        (dict(ramp_time=0), "ramp_time"),
        (dict(max_speed=math.nan), "max_speed"),
        (dict(heartbeat=0), "heartbeat"),
        (dict(fade_time=-1), "fade_time"),
        (dict(max_failed_exchanges=0), "max_failed_exchanges"),
        (dict(exchange_timeout=0), "exchange_timeout"),
        (dict(exchange_timeout=100), "exchange_timeout"),
        (dict(effect_fade_time=0), "effect_fade_time"),
        (dict(effect_fade_time=math.nan), "effect_fade_time"),
    ],
)
def test_bad_arguments_are_refused_before_anything_is_sent(arguments, name, peer):
    with pytest.raises(ValueError, match=f"^{name} "):
        korvo.Servo(peer.path, **arguments)
    assert peer.drain() == b""


@pytest.mark.parametrize("bad", [(math.nan, 0, 0), (0, math.inf, 0), (1, 2), "abc", b"abc"])
def test_a_force_that_is_not_three_finite_numbers_is_refused(sim_arm, bad):
    with korvo.Servo(sim_arm, realtime=False) as servo:
        with pytest.raises((ValueError, TypeError)):
            servo.force = bad
        assert servo.force == (0.0, 0.0, 0.0)


def test_a_port_that_cannot_be_opened_is_an_os_error_naming_it(capfd):
    with pytest.raises(FileNotFoundError) as raised:
        korvo.Servo("/nonexistent/korvo-arm")
    assert raised.value.filename == "/nonexistent/korvo-arm"
    capfd.readouterr()


def test_a_port_without_an_arm_fails_to_start(peer):
    servo = korvo.Servo(peer.path, realtime=False)
    with pytest.raises(RuntimeError, match="no reply from the arm"):
        servo.start()
    assert not servo.running


def test_one_library_per_process():
    # The two modules load one copy: the kinematic model they share is the
    # same object (an Arvena made in one resets what the other computes).
    maps = Path("/proc/self/maps").read_text()
    copies = {line.split()[-1] for line in maps.splitlines() if "korvo_hardware" in line}
    assert len(copies) == 1
    assert Path(korvo.__file__).parent.joinpath("libkorvo_hardware.so").resolve() == Path(copies.pop()).resolve()
