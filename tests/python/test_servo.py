"""korvo.Servo, the native servo loop, from Python: each safety limit acting,
a zero force last however the loop ends, faults costing one tick, the
recording, readers on other threads, and bad input refused before anything
is sent."""

from __future__ import annotations

import gc
import math
import os
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
# Tests that are not about deadlines give each exchange far more time than a
# reply takes on a loaded machine, and the loop real-time priority where it
# may have it: no tick fails on its own there.
PATIENT = dict(realtime=True, exchange_timeout=0.5)


@pytest.fixture
def sim_arm():
    # At real-time priority where it may: it answers at once, as an arm does,
    # whatever else the machine runs.
    with Simulator("arm", "--realtime", "50") as sim:
        yield sim.port("arm")


@pytest.fixture
def peer_arm():
    peer = ArmPeerProcess()
    yield peer
    peer.close()


def load(servo) -> str:
    """What the loop says of its own timing, and the machine's load: the
    context of a failure that timing could explain."""
    s = servo.stats
    return (
        f"(the loop: {s.ticks} ticks, {s.overruns} over 1.5 periods, period p99 {s.period_p99 * 1e3:.2f} ms, "
        f"max {s.period_max * 1e3:.2f} ms, exchange max {s.exchange_max * 1e3:.2f} ms, {s.failed_exchanges} failed; "
        f"load average {os.getloadavg()[0]:.1f})"
    )


def run_until(servo, ticks, limit=10.0):
    wait_until(
        lambda: servo.state.tick >= ticks or not servo.running, limit, lambda: f"only {servo.state.tick} ticks {load(servo)}"
    )


# -- the safety envelope ----------------------------------------------------------------------


def test_force_is_clamped_with_its_direction_kept(sim_arm):
    with korvo.Servo(sim_arm, max_force=2.0, max_force_step=10.0, ramp_time=0.01, **PATIENT) as servo:
        servo.force = (3.0, 0.0, -4.0)
        run_until(servo, 100)
        force = servo.state.force
    assert math.hypot(*force) == pytest.approx(2.0, rel=1e-6)
    assert force[0] / force[2] == pytest.approx(-0.75, rel=1e-6)


def test_force_ramps_in_grows_by_at_most_the_step_and_never_waits_to_shrink(sim_arm):
    step, ramp = 0.01, 0.2
    with korvo.Servo(sim_arm, max_force=4.0, max_force_step=step, ramp_time=ramp, **PATIENT) as servo:
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


@pytest.mark.parametrize("limit", [0.5, 2.0])
def test_a_tightened_limit_acts_at_the_next_tick(sim_arm, limit):
    with korvo.Servo(sim_arm, realtime=False, max_force=4.0, max_force_step=0.05, ramp_time=0.01,
                     max_speed=100.0) as servo:
        servo.force = (0.0, 3.9, 0.0)
        wait_until(lambda: servo.state.force[1] >= 3.9 - 1e-6)
        servo.set_limits(max_force=limit)
        called = servo.state.tick
        run_until(servo, called + 20)
    rec = servo.recording()
    # The force of the tick under way was decided before the call; the one
    # after it already keeps the new limit (not the old step of 0.05 N down).
    # Held at the limit from that first tick on, not just below it (the last
    # tick may be the stop's zero force).
    after = rec.tick >= called + 2
    assert np.all(np.linalg.norm(rec.force[after], axis=1) <= limit + 1e-6), rec.force[after][:3]
    assert rec.force[after][0, 1] == pytest.approx(limit, rel=1e-6), rec.force[after][:3]


def test_a_full_recording_keeps_the_newest_ticks(sim_arm):
    with korvo.Servo(sim_arm, realtime=False, recording=100) as servo:
        run_until(servo, 400)
        last = servo.state.tick
    rec = servo.recording()
    assert len(rec) == 100 and rec.gaps() == 0
    # The end of the run is there: the latest ticks, the stop included.
    assert rec.tick[-1] >= last and rec.dropped == rec.tick[0]
    assert np.array_equal(rec.tick, np.arange(rec.tick[0], rec.tick[0] + 100))


def test_speed_above_the_limit_takes_the_force_away(sim_arm):
    # A push the simulated arm follows at a few cm/s, against a limit of 1 cm/s.
    with korvo.Servo(sim_arm, max_speed=0.01, max_force_step=1.0, ramp_time=0.01, **PATIENT) as servo:
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
    heartbeat = 0.25
    with korvo.Servo(
        sim_arm, heartbeat=heartbeat, fade_time=0.02, max_force_step=1.0, ramp_time=0.01, **PATIENT
    ) as servo:
        servo.force = (0.0, 1.0, 0.0)
        wait_until(lambda: servo.state.faults == ("heartbeat",) and servo.state.force == (0.0, 0.0, 0.0))
        # The recording is judged 25 ticks into the fade, which calling in
        # sooner would cut short.
        run_until(servo, servo.state.tick + 10)
        lapsed = servo.state
        before = time.monotonic() - servo.started_at
        servo.heartbeat()
        after = time.monotonic() - servo.started_at
        # By the loop's own clock: past the ramp's 10 ms after calling in,
        # and before the heartbeat can lapse again.
        wait_until(lambda: servo.state.time > after + 0.1, describe=lambda: f"the loop stands still {load(servo)}")
    assert lapsed.faults == ("heartbeat",) and lapsed.force == (0.0, 0.0, 0.0)
    rec = servo.recording()
    back = (rec.time > after + 0.02) & (rec.time < before + heartbeat)
    assert np.count_nonzero(back) > 0, f"no tick between {after + 0.02:.3f} s and {before + heartbeat:.3f} s {load(servo)}"
    assert np.all(rec.faults[back] == 0) and np.all(rec.force[back] == (0.0, 1.0, 0.0))
    fading = np.flatnonzero(rec.faults & 2)
    # Linear to zero over fade_time: 20 ticks at 1 kHz, each 1/20 of 1 N.
    steps = -np.diff(rec.force[fading[0] - 1 : fading[0] + 25, 1])
    assert steps.max() == pytest.approx(0.05, rel=0.01)
    assert rec.force[fading[0] + 25, 1] == 0.0


def test_failed_exchanges_raise_the_fault_and_may_stop_the_loop():
    peer = ArmPeerProcess("--mute-after", "200")
    try:
        # Deadlines that the peer meets on a loaded machine until it falls
        # silent: the failures are its silence's.
        servo = korvo.Servo(
            peer.path, max_failed_exchanges=5, stop_on_failure=True, realtime=True, exchange_timeout=0.1
        )
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

# Each program ends its loop once the loop has sent the force it was given
# (`pushed()`), however long that takes the machine.
ENDINGS = {
    "stop": "servo.start(); servo.force = (0.0, 0.0, 1.0); pushed(); servo.stop()",
    "exception in with": textwrap.dedent(
        """
        try:
            with servo:
                servo.force = (0.0, 0.0, 1.0)
                pushed()
                raise ValueError("the program fails")
        except ValueError:
            pass
        """
    ),
    "garbage collection": "servo.start(); servo.force = (0.0, 0.0, 1.0); pushed(); del servo; gc.collect()",
    "interpreter exit": "servo.start(); servo.force = (0.0, 0.0, 1.0); pushed(); sys.exit(0)",
    "Ctrl+C": "servo.start(); servo.force = (0.0, 0.0, 1.0); pushed(); print('running', flush=True); time.sleep(30)",
}


@pytest.mark.parametrize("ending", list(ENDINGS))
def test_zero_force_is_the_last_thing_sent(ending, peer_arm):
    program = (
        f"import gc, sys, time, korvo\nservo = korvo.Servo({peer_arm.path!r}, ramp_time=0.01, max_force_step=1.0, "
        f"**{PATIENT!r})\n"
        "def pushed():\n"
        "    while servo.state.force != (0.0, 0.0, 1.0):\n"
        "        time.sleep(0.001)\n"
        f"{ENDINGS[ending]}\n"
    )
    child = subprocess.Popen([sys.executable, "-c", program], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if ending == "Ctrl+C":
        assert child.stdout.readline().strip() == "running"
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
    with Simulator("arm", "--realtime", "50", fault, "100") as sim:
        # A deadline that a reply misses only when it never comes, even on a
        # machine that stalls for tenths of a second.
        with korvo.Servo(sim.port("arm"), **PATIENT) as servo:
            run_until(servo, 500)
        rec = servo.recording()
    bad = np.flatnonzero(~rec.exchange_ok)
    runs = np.split(bad, np.flatnonzero(np.diff(bad) > 1) + 1) if len(bad) else []
    # Every 100th reply of the simulator's count is bad (the first exchange
    # and the markers of resynchronising ticks are replies too): one tick
    # each, none in a row. A stall that holds the simulator's replies back
    # for whole exchange limits in a row (a loaded sanitized run: 5 of them,
    # at load average 14) can add one run of failed ticks; a bad reply that
    # cost more than its tick would show at every one of them.
    assert 3 <= sum(len(r) == 1 for r in runs) <= 6, (load(servo), bad)
    assert sum(len(r) > 1 for r in runs) <= 1, (load(servo), bad)
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
    with Simulator("arm", "--realtime", "50") as sim:
        with korvo.Servo(sim.port("arm"), **PATIENT) as fresh:
            run_until(fresh, 50)
        assert fresh.stats.failed_exchanges == 0, load(fresh)


# -- state, recording, sharing ----------------------------------------------------------------------


@pytest.mark.serial
@pytest.mark.timeout(30)  # runs the loop for 10 s by design
def test_recording_has_every_tick_of_10_s_at_1_khz(sim_arm):
    with korvo.Servo(sim_arm, rate=1000, exchange_timeout=0.5) as servo:
        time.sleep(10.0)
    rec = servo.recording()
    assert rec.dropped == 0 and rec.gaps() == 0
    # Every tick the loop ran is recorded. A loop that falls behind (under a
    # sanitizer, on a loaded machine) starts again from now and never runs
    # the ticks it missed, so how many there are is the machine's business;
    # but none is early, and the run lasted its 10 s by the loop's own clock.
    assert np.array_equal(rec.tick, np.arange(len(rec)))
    assert len(rec) == servo.stats.ticks
    assert np.all(rec.time >= rec.tick / 1000)
    assert rec.time[-1] >= 9.0, load(servo)


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
    servo = korvo.Servo(arm, ramp_time=0.01, max_force_step=1.0, **PATIENT)
    for _ in range(3):
        servo.start()
        servo.force = (0.0, 0.0, 1.0)
        run_until(servo, 50)
        servo.stop()
        # Statistics count this run only, not on from (or back below) the last.
        stats = servo.stats
        assert 50 <= stats.ticks <= servo.state.tick + 1
        assert stats.failed_exchanges == 0, load(servo)
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


@pytest.mark.serial
def test_stats_agree_with_the_recording_and_reset(sim_arm):
    rate = 500
    began = time.monotonic()
    with korvo.Servo(sim_arm, rate=rate, **PATIENT) as servo:
        run_until(servo, 300)
    stats, rec, ended = servo.stats, servo.recording(), time.monotonic()
    assert stats.ticks == len(rec) and rec.dropped == 0
    periods, exchanges = np.sort(rec.period[1:]), np.sort(rec.exchange)
    # A percentile is the upper edge of the 1 us bin that holds it.
    for name, value, recorded, fraction in [
        ("period_p50", stats.period_p50, periods, 0.5),
        ("period_p99", stats.period_p99, periods, 0.99),
        ("period_p999", stats.period_p999, periods, 0.999),
        ("exchange_p50", stats.exchange_p50, exchanges, 0.5),
        ("exchange_p99", stats.exchange_p99, exchanges, 0.99),
    ]:
        # Its rank rounds half up (Python's round() would round half to even).
        held = recorded[int(fraction * len(recorded) + 0.5) - 1]
        if held >= 0.02:  # past the bins' 20 ms: the longest, exactly
            assert value == pytest.approx(recorded[-1], abs=1e-9), f"{name} {value} for a longest {recorded[-1]}"
        else:
            assert 0 < value - held <= 1.000001e-6, f"{name} {value} for a recorded {held}"
    assert stats.period_max == pytest.approx(periods[-1], abs=1e-9)
    assert stats.exchange_max == pytest.approx(exchanges[-1], abs=1e-9)
    assert stats.overruns == np.count_nonzero(rec.period > 1.5 / rate)
    assert stats.failed_exchanges == np.count_nonzero(~rec.exchange_ok) == 0, load(servo)
    # The rate is the ticks over the time the statistics cover, which holds
    # the recorded ticks and lies within this test's own view of the run.
    assert rec.time[-1] - rec.time[0] < stats.seconds < ended - began
    assert stats.rate * stats.seconds == pytest.approx(stats.ticks)
    # Ticks come at the rate asked: never early; and on time, as far as the
    # machine let the loop keep its time by its own account.
    assert np.all(rec.time >= rec.tick / rate)
    if stats.overruns <= 0.05 * stats.ticks:
        assert np.median(rec.period[1:]) == pytest.approx(1 / rate, rel=0.1), load(servo)
    # A reset starts the statistics over, also while the loop runs.
    with servo:
        run_until(servo, 300)
        first = servo.state.tick
        servo.reset_stats()
        fresh = servo.stats
        assert fresh.ticks <= servo.state.tick - first + 1


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
