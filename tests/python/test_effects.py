"""Haptic effects on the native loop, and the handle monitor, from Python:
fades and target motion change the force gradually, parameter sets are never
torn by concurrent updates, bad parameters change nothing, and the monitor
misses no button edge and loses no good frame to a bad one."""

from __future__ import annotations

import math
import os
import threading
import time

import numpy as np
import pytest

import korvo
import KorvoHardwareAPI as hardware
from korvo_sim import Simulator
from rig import wait_until

FADE = 0.02  # s: 20 ticks at 1 kHz


@pytest.fixture
def servo():
    # The simulator and the loop at real-time priority where they may, and
    # deadlines far above a reply's time on a loaded machine: no tick fails
    # on its own.
    with Simulator("arm", "--realtime", "50") as sim:
        # No ramp and no change limit to speak of: what the recording shows is
        # what the effects asked for.
        with korvo.Servo(
            sim.port("arm"),
            max_force=50.0,
            max_force_step=50.0,
            ramp_time=1e-6,
            effect_fade_time=FADE,
            realtime=True,
            exchange_timeout=0.5,
        ) as s:
            yield s


def ticks(servo, n):
    start = servo.state.tick
    wait_until(lambda: servo.state.tick >= start + n)


def test_adding_removing_and_switching_fade_instead_of_stepping(servo):
    push = korvo.Constant(force=(0.0, 0.0, 2.0))
    servo.add(push)
    ticks(servo, 60)
    servo.enable(push, False)
    ticks(servo, 60)
    servo.enable(push)
    ticks(servo, 60)
    assert servo.remove(push)
    ticks(servo, 60)
    assert servo.effects == [] and servo.weight(push) == -1.0
    rec = servo.recording()
    steps = np.abs(np.diff(rec.commanded[:, 2]))
    # 2 N over 20 ticks: never more than 0.1 N a tick, and all the way.
    assert steps.max() <= 2.0 / 20 * (1 + 1e-6)
    assert rec.commanded[:, 2].max() == pytest.approx(2.0)
    assert rec.commanded[-1, 2] == 0.0


def test_a_new_spring_target_is_approached_at_its_speed_limit(servo):
    rest = servo.state.position
    spring = korvo.Spring(target=rest, stiffness=100.0, damping=0.0, max_speed=0.05)
    servo.add(spring)
    ticks(servo, 50)
    spring.target = (rest[0], rest[1], rest[2] + 0.02)  # 2 cm away, at 5 cm/s: 400 ticks
    # The anchor a reading shows was placed by a tick from the last one
    # published before it to the one after the last published after it.
    readings = []
    for _ in range(20):
        first = servo.state.tick
        anchor = spring.anchor[2]
        readings.append((first, anchor, servo.state.tick + 1))
        time.sleep(0.01)
    # Never faster than allowed: 50 um a tick, by the loop's own count.
    for (first, a, _), (_, b, last) in zip(readings, readings[1:]):
        assert b - a <= 0.05 * 0.001 * (last - first) + 1e-12
    rec = servo.recording()
    # The anchor moves 50 um a tick; the force follows by k times that.
    assert np.abs(np.diff(rec.commanded[60:, 2])).max() <= 100.0 * 0.05 * 0.001 * 1.5 + 0.05


def test_parameter_updates_from_four_threads_never_tear(servo):
    push = korvo.Constant()
    servo.add(push)
    stop = threading.Event()

    def update(k):
        t = 0.0
        while not stop.is_set():
            t = (t + 0.013 * k) % 1.0
            push.force = (t, 2 * t, -t)

    threads = [threading.Thread(target=update, args=(k,)) for k in (1, 2, 3, 4)]
    for t in threads:
        t.start()
    ticks(servo, 500)
    stop.set()
    for t in threads:
        t.join()
    c = servo.recording().commanded
    # A torn set would mix components of two updates; the fade weighs all
    # three alike, so the proportions hold on every tick.
    assert np.allclose(c[:, 1], 2 * c[:, 0]) and np.allclose(c[:, 2], -c[:, 0])
    assert len(np.unique(np.round(c[:, 0], 6))) > 50


@pytest.mark.parametrize(
    "make, name",
    [
        (lambda: korvo.Spring(stiffness=-1.0), "stiffness"),
        (lambda: korvo.Plane(normal=(0, 0, 0)), "normal"),
        (lambda: korvo.Plane(damping=math.nan), "damping"),
        (lambda: korvo.Sphere(radius=0.0), "radius"),
        (lambda: korvo.Box(min=(0, 0, 0), max=(1, 1, -1)), r"min\[2\]"),
        (lambda: korvo.Damper(viscosity=math.inf), "viscosity"),
        (lambda: korvo.Constant(force=(0, math.nan, 0)), r"force\[1\]"),
        (lambda: korvo.Spring(target=(0, 0, math.inf)), r"target\[2\]"),
    ],
)
def test_bad_parameters_are_refused_naming_them(make, name):
    with pytest.raises(ValueError, match=f"^{name}"):
        make()


@pytest.mark.parametrize("vector", [b"abc", "abc", 1.0, (1.0, "x", 0.0)])
def test_a_vector_that_is_not_three_numbers_is_a_type_error_naming_it(vector):
    # Bytes are a sequence of ints: taken as numbers, b"abc" would be a
    # target of (97, 98, 99) metres.
    with pytest.raises(TypeError, match="^target"):
        korvo.Spring(target=vector)


def test_nothing_half_applied_reaches_the_loop():
    spring = korvo.Spring(target=(0.0, 0.02, 0.2), stiffness=100.0, damping=2.0)
    with pytest.raises(ValueError, match="^damping"):
        spring.set(stiffness=500.0, damping=-1.0)
    with pytest.raises(TypeError, match="unknown parameter"):
        spring.set(stiffness=500.0, stiff=1.0)
    assert (spring.stiffness, spring.damping) == (100.0, 2.0)
    spring.set(stiffness=500.0, damping=3.0)
    assert (spring.stiffness, spring.damping) == (500.0, 3.0)


def test_an_effect_belongs_to_a_loop_once(servo):
    wall = korvo.Plane(stiffness=1000.0)
    servo.add(wall)
    with pytest.raises(ValueError, match="already"):
        servo.add(wall)
    with pytest.raises(ValueError, match="not in this loop"):
        servo.enable(korvo.Damper())
    assert servo.remove(korvo.Damper()) is False


# -- the handle monitor --------------------------------------------------------------------------


@pytest.mark.serial
def test_the_monitor_misses_no_button_edge_of_a_handle_toggling_at_50_hz():
    # The simulator at real-time priority where it may: a simulator that
    # falls 40 ms behind toggles twice between two frames.
    with Simulator("handle", "--realtime", "50", "--rate", "200", "--buttons-hz", "50", "--buttons", "toggle") as sim:
        with korvo.HandleMonitor(sim.port("handle")) as monitor:
            tap = monitor._open_tap(4096)
            events = []
            deadline = time.monotonic() + 2.0
            while time.monotonic() < deadline:  # a program polling at 60 Hz
                events += monitor.events()
                time.sleep(1 / 60)
            seen = tap.drain()
        events += monitor.events()
        counts = monitor.counts
    assert counts["events_dropped"] == 0
    assert all(e.button == 1 for e in events)
    # Presses and releases in turn: none missing alone.
    assert all(a.pressed != b.pressed for a, b in zip(events, events[1:]))
    # One every fourth frame (200 frames/s, an edge every 20 ms), counted by
    # the monitor's own frames: no pair missing either.
    assert counts["frames"] > 200
    assert abs(len(events) - (counts["frames"] - 1) / 4) <= 1, f"{len(events)} events in {counts['frames']} frames"
    # The frames as the monitor received them change the button every fourth
    # frame: a pair lost between two frames (a simulator 40 ms behind) would
    # leave eight. Counted in frames, so a late frame on a busy machine is
    # no gap.
    assert seen["dropped"] == 0 and len(seen["frame"]) > 200
    changes = np.flatnonzero(np.diff(seen["buttons"] & 1)) + 1
    apart = np.diff(seen["frame"][changes])
    assert len(apart) > 40 and np.all((apart >= 3) & (apart <= 5)), \
        f"frames between button changes: {sorted(set(apart.tolist()))} (load average {os.getloadavg()[0]:.1f})"


def test_the_monitor_counts_bad_frames_and_keeps_every_good_one():
    rate, every, seconds = 400, 5, 1.5
    with Simulator("handle", "--realtime", "50", "--rate", str(rate), "--bad-frames-every", str(every)) as sim:
        with korvo.HandleMonitor(sim.port("handle")) as monitor:
            time.sleep(seconds)
            counts = monitor.counts
            status = monitor.status
    sent = counts["frames"] + counts["bad_frames"]
    assert counts["bad_frames"] == pytest.approx(sent / every, abs=3)
    assert counts["frames"] == pytest.approx(sent * (every - 1) / every, abs=3)
    assert 3.0 <= status.battery <= 4.3 and status.device_id == 0x42
    assert abs(sum(q * q for q in status.quaternion) - 1.0) < 1e-3


def test_a_borrowed_handle_is_its_own_again_after_stop():
    with Simulator("handle", "--rate", "100") as sim:
        handle = hardware.Handle(hardware.SerialStream(sim.port("handle")))
        with korvo.HandleMonitor(handle) as monitor:
            wait_until(lambda: monitor.status is not None)
            with pytest.raises(RuntimeError, match="^the device is lent to a handle monitor: stop it before"):
                handle.GetStylarStatus()
        assert monitor.status is not None
        assert handle.GetStylarStatus()["device_id"] == 0x42


def test_a_pulled_cable_leaves_the_monitor_readable():
    with Simulator("handle", "--rate", "100", "--disconnect-after", "1", "--reconnect-ms", "-1") as sim:
        handle = hardware.Handle(hardware.SerialStream(sim.port("handle")))
        monitor = korvo.HandleMonitor(handle)
        monitor.start()
        wait_until(lambda: monitor.status is not None)
        ran = monitor.running
        monitor.stop()
        handle.RequestStatus()  # the request that ends the line
        monitor.start()
        wait_until(lambda: not monitor.running, 3)
        assert ran
        assert monitor.disconnected and not monitor.running
        assert monitor.status is not None
        monitor.stop()


def test_the_scene_example_runs_against_the_simulator(capsys):
    import sys
    from pathlib import Path

    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
    import scene

    with Simulator("arm", "handle", "--buttons-hz", "10", "--buttons", "toggle") as sim:
        scene.scene(sim.port("arm"), sim.port("handle"), seconds=0.5)
    out = capsys.readouterr().out
    assert "Stats(" in out and "button events" in out
