"""Haptic demo: an Arvena arm renders a virtual wall and a spring toward a
target that a Handle steers.

    ./dev.sh demo                                   simulated arm and handle (korvo-sim)
    python examples/demo.py --port /dev/ttyACM0 /dev/ttyUSB0   real devices
    python examples/demo.py --compare               the native loop, then the Python loop

The scene runs natively: korvo.Servo exchanges with the arm at 1 kHz on a
thread of its own, and the wall (korvo.Plane) and the spring (korvo.Spring)
are effects evaluated on that thread every tick. This program only steers,
at about 100 Hz: it reads the handle through korvo.HandleMonitor (a native
thread that keeps the newest status frame and every button press), turns
the spring's target with the handle's orientation, pushes it into the wall
while button 1 is down, and stiffens the spring with the trigger.

With --python-loop the same scene is computed in a Python loop instead, one
KorvoHardwareAPI exchange per tick; --compare runs both, one after the
other. A live line shows the loop's own statistics; at the end, or at Ctrl+C
(then of what ran), a picture is saved (by default
build/demo/haptic_demo.png in the repository, wherever the demo is started
from): the end-effector path against the wall with the target's path, the
force with the handle's button events, and the histogram of loop periods of
each loop that ran.

Without --port it starts korvo-sim with an arm and a handle, links their
ports under /dev with names discovery recognises when it may (as root), and
finds them with the detect functions; otherwise it takes the paths the
simulator prints. With --port and no simulator, a missing handle is fine.
"""

from __future__ import annotations

import argparse
import math
import os
import signal
import sys
import time
from dataclasses import dataclass, field
from collections.abc import Sequence
from functools import cached_property
from pathlib import Path
from typing import TYPE_CHECKING, Any

import KorvoHardwareAPI as hw
import korvo

if TYPE_CHECKING:
    from korvo_sim import Simulator

REPOSITORY = Path(__file__).resolve().parent.parent
PICTURE = REPOSITORY / "build" / "demo" / "haptic_demo.png"
LINK_NAMES = {"arm": "/dev/ttyACM-korvo-demo", "handle": "/dev/ttyUSB-korvo-demo"}
STEER_HZ = 100.0


# -- the scene ---------------------------------------------------------------------------


def rotate(q: list[float] | tuple[float, ...], v: tuple[float, float, float]) -> tuple[float, float, float]:
    """v turned by the unit quaternion q = [w, x, y, z]."""
    w, x, y, z = q
    # t = 2 (q_vec x v); v' = v + w t + q_vec x t
    tx, ty, tz = 2 * (y * v[2] - z * v[1]), 2 * (z * v[0] - x * v[2]), 2 * (x * v[1] - y * v[0])
    return (
        v[0] + w * tx + (y * tz - z * ty),
        v[1] + w * ty + (z * tx - x * tz),
        v[2] + w * tz + (x * ty - y * tx),
    )


@dataclass
class Scene:
    """A wall perpendicular to z, and a spring toward a target near `rest`.

    The handle steers the target around a circle through the wall: its
    orientation turns the circle's radius, button 1 pushes the target further
    in, and the trigger (0 to 31) stiffens the spring."""

    rest: tuple[float, float, float]
    wall_offset: float = 0.010  # the wall, this far along +z from rest
    wall_stiffness: float = 1500.0
    wall_damping: float = 8.0
    spring_stiffness: float = 150.0
    damping: float = 4.0
    reach: float = 0.018  # radius of the target's circle
    push: float = 0.005  # how far button 1 pushes the target into the wall
    max_force: float = 6.0
    target_speed: float = 0.2  # m/s the spring's anchor follows the target at

    @property
    def wall_z(self) -> float:
        return self.rest[2] + self.wall_offset

    def target(self, status: Any | None) -> tuple[float, float, float]:
        if status is None:
            return self.rest
        dx, _, dz = rotate(status.quaternion, (1.0, 0.0, 0.0))
        norm = math.hypot(dx, dz) or 1.0
        push = self.push if status.buttons & 1 else 0.0
        return (self.rest[0] + self.reach * dx / norm, self.rest[1], self.rest[2] + self.reach * dz / norm + push)

    def stiffness(self, status: Any | None) -> float:
        return self.spring_stiffness * (1.0 + (status.trigger if status is not None else 0) / 31.0)

    def effects(self) -> tuple[korvo.Plane, korvo.Spring]:
        """The scene as effects for the native loop."""
        wall = korvo.Plane(
            point=(0.0, 0.0, self.wall_z), normal=(0.0, 0.0, -1.0), stiffness=self.wall_stiffness, damping=self.wall_damping
        )
        spring = korvo.Spring(
            target=self.rest, stiffness=self.spring_stiffness, damping=self.damping, max_speed=self.target_speed
        )
        return wall, spring

    def force(
        self,
        position: Sequence[float],
        velocity: Sequence[float],
        target: Sequence[float],
        stiffness: float | None = None,
    ) -> list[float]:
        """The same force law, for the Python loop (which moves no anchor:
        the target is used as it comes)."""
        k = self.spring_stiffness if stiffness is None else stiffness
        f = [k * (t - p) - self.damping * v for t, p, v in zip(target, position, velocity)]
        depth = position[2] - self.wall_z
        if depth > 0:  # inside the wall: push back out, damped while going in
            f[2] -= max(0.0, self.wall_stiffness * depth + self.wall_damping * velocity[2])
        norm = math.sqrt(sum(c * c for c in f))
        if norm > self.max_force:
            f = [c * self.max_force / norm for c in f]
        return f


# -- a run of either loop ----------------------------------------------------------------------


@dataclass
class Run:
    name: str
    rate: float = 1000.0  # Hz, the rate asked for
    times: list[float] = field(default_factory=list)
    positions: list[list[float]] = field(default_factory=list)
    forces: list[list[float]] = field(default_factory=list)
    periods: list[float] = field(default_factory=list)  # s
    exchanges: list[float] = field(default_factory=list)  # s
    targets: list[tuple[float, float, float, float]] = field(default_factory=list)  # time, x, y, z
    events: list[tuple[float, int, bool]] = field(default_factory=list)  # time, button, pressed
    failed: int = 0
    interrupted: bool = False  # ended by Ctrl+C before its time

    @property
    def long_period(self) -> float:
        """A period longer than this (s) is a late tick: 1.5 nominal periods."""
        return 1.5 / self.rate

    @cached_property
    def period_figures(self) -> tuple[float, float, int]:
        """The achieved rate (Hz), the period p99 (s) and the number of late
        ticks, for the summary and the picture alike: read once the run is over."""
        ordered = sorted(self.periods)
        achieved = len(ordered) / sum(ordered) if ordered else 0.0
        return achieved, percentile(ordered, 99), sum(p > self.long_period for p in ordered)

    def summary(self) -> str:
        rate, p99, long = self.period_figures
        exch = sorted(x * 1e6 for x in self.exchanges)
        return (
            f"{self.name}: {len(self.times)} ticks, {rate:.0f} Hz, period p99 {p99 * 1e3:.3f} ms, "
            f"{long} over {self.long_period * 1e3:g} ms, exchange p50 {percentile(exch, 50):.0f} µs "
            f"p99 {percentile(exch, 99):.0f} µs, {self.failed} failed"
        )


def percentile(ordered: list[float], p: float) -> float:
    """The p-th percentile of values sorted in increasing order."""
    return ordered[min(len(ordered) - 1, int(p / 100 * len(ordered)))] if ordered else float("nan")


class Live:
    """One status line: updated in place on a terminal, one line per update
    otherwise."""

    def __init__(self, enabled: bool) -> None:
        self.enabled = enabled
        self.prefix, self.end = ("\r", "") if sys.stdout.isatty() else ("", "\n")
        self.last = 0.0

    def due(self) -> bool:
        """Whether a line shown now would be printed: the loops build one only
        then, as building it takes time from them."""
        return self.enabled and time.monotonic() - self.last > 0.25

    def show(self, text: str) -> None:
        self.last = time.monotonic()
        print(self.prefix + text, end=self.end, flush=True)

    def done(self) -> None:
        if self.enabled and self.end == "":
            print()


def handle_text(status: Any | None) -> str:
    if status is None:
        return "no handle"
    return f"buttons {status.buttons:03b} trigger {status.trigger:2d} battery {status.battery:.2f} V"


def take_events(monitor: korvo.HandleMonitor | None, run: Run, since: float) -> None:
    """Button events so far, timed from `since` (a time.monotonic() reading);
    the monitor times them from its own start."""
    if monitor is not None:
        run.events += [(monitor.started_at + e.time - since, e.button, e.pressed) for e in monitor.events()]


class CtrlC:
    """Ctrl+C during a loop ends it at its next pass. The handler only takes
    note: on Python 3.13.0 a KeyboardInterrupt raised at a loop's jump back
    leaves the try statement around the loop, and what follows it (the
    run's picture) would be lost."""

    def __enter__(self) -> CtrlC:
        self.pressed = False
        self._previous = signal.signal(signal.SIGINT, self._note)
        return self

    def _note(self, *_: object) -> None:
        self.pressed = True

    def __exit__(self, *_: object) -> None:
        signal.signal(signal.SIGINT, self._previous)


def run_native(
    arm: hw.Arvena, monitor: korvo.HandleMonitor | None, scene: Scene, seconds: float, rate: float, live: Live
) -> Run:
    """The scene as effects on the native loop, steered at about 100 Hz."""
    run = Run("native loop", rate)
    wall, spring = scene.effects()
    with korvo.Servo(arm, rate=rate, max_force=scene.max_force, max_force_step=0.5, ramp_time=0.2) as servo:
        servo.add(wall)
        servo.add(spring)
        start = time.monotonic()
        if monitor is not None:
            monitor.events()  # only what happens during the run
        with CtrlC() as ctrl_c:
            while not ctrl_c.pressed and (now := time.monotonic()) - start < seconds:
                status = monitor.status if monitor is not None else None
                target = scene.target(status)
                spring.set(target=target, stiffness=scene.stiffness(status))
                run.targets.append((now - start, *target))
                take_events(monitor, run, start)
                if live.due():
                    s, st = servo.state, servo.stats
                    live.show(
                        f"native {st.rate:5.0f} Hz | period p99 {st.period_p99 * 1e6:5.0f} µs "
                        f"max {st.period_max * 1e6:5.0f} µs | exchange p50 {st.exchange_p50 * 1e6:4.0f} µs "
                        f"p99 {st.exchange_p99 * 1e6:5.0f} µs | {st.overruns} overruns, {st.failed_exchanges} failed | "
                        f"pos {s.position[0]:+.4f} {s.position[1]:+.4f} {s.position[2]:+.4f} | "
                        f"force {s.force[0]:+5.2f} {s.force[1]:+5.2f} {s.force[2]:+5.2f} | {handle_text(status)}"
                    )
                time.sleep(1.0 / STEER_HZ)
        run.interrupted = ctrl_c.pressed
        servo.remove(spring)
        servo.remove(wall)
        time.sleep(0.05)  # let them fade out before the loop sends its zero force
    live.done()
    rec = servo.recording()
    t0 = rec.time[0] if len(rec) else 0.0
    run.times = list(rec.time - t0)
    run.positions = rec.position.tolist()
    run.forces = rec.force.tolist()
    run.periods = list(rec.period[1:])
    run.exchanges = list(rec.exchange)
    run.failed = int((~rec.exchange_ok).sum())
    return run


def run_python(
    arm: hw.Arvena, monitor: korvo.HandleMonitor | None, scene: Scene, seconds: float, rate: float, live: Live
) -> Run:
    """The same scene in a Python loop: one exchange and one force law per tick."""
    run = Run("Python loop", rate)
    period = 1.0 / rate
    force = [0.0, 0.0, 0.0]
    exchange, clock = arm.end_effector_force, time.perf_counter
    if monitor is not None:
        monitor.events()  # only what happens during the run
    start = clock()
    wall_start = time.monotonic()
    next_tick = start
    previous = None
    next_steer = 0.0
    status, target, stiffness = None, scene.rest, scene.spring_stiffness
    with CtrlC() as ctrl_c:
        while not ctrl_c.pressed and (now := clock()) - start < seconds:
            if previous is not None:
                run.periods.append(now - previous)
            previous = now
            before = clock()
            position, velocity = exchange(force)
            run.exchanges.append(clock() - before)
            run.failed += position == [0.0, 0.0, 0.0]
            if now - start >= next_steer:  # steering at the same 100 Hz as the native run
                next_steer += 1.0 / STEER_HZ
                status = monitor.status if monitor is not None else None
                target, stiffness = scene.target(status), scene.stiffness(status)
                run.targets.append((now - start, *target))
                take_events(monitor, run, wall_start)
                if live.due():
                    live.show(
                        f"python {len(run.periods) / max(sum(run.periods), 1e-9):5.0f} Hz | "
                        f"pos {position[0]:+.4f} {position[1]:+.4f} {position[2]:+.4f} | "
                        f"force {force[0]:+5.2f} {force[1]:+5.2f} {force[2]:+5.2f} | {handle_text(status)}"
                    )
            force = scene.force(position, velocity, target, stiffness)
            run.times.append(now - start)
            run.positions.append(position)
            run.forces.append(force)
            next_tick += period
            if next_tick < clock():
                next_tick = clock()
            left = next_tick - clock()
            if left > 2e-4:
                time.sleep(left - 2e-4)
            while clock() < next_tick:
                pass
    run.interrupted = ctrl_c.pressed
    arm.end_effector_force([0.0, 0.0, 0.0])
    live.done()
    return run


# -- the picture -----------------------------------------------------------------------------------


# Fx, Fy and Fz take matplotlib's first three colours; the buttons others.
BUTTON_COLOURS = {1: "tab:purple", 2: "tab:brown", 3: "tab:pink"}


def save_picture(runs: list[Run], scene: Scene, path: Path) -> Path:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np

    path.parent.mkdir(parents=True, exist_ok=True)
    main = runs[0]
    fig, axes = plt.subplots(1, 2 + len(runs), figsize=(6 * (2 + len(runs)), 5.6))
    ax_path, ax_force, hists = axes[0], axes[1], axes[2:]
    # Legends go below their plots, where they cover nothing.
    below = {"loc": "upper center", "bbox_to_anchor": (0.5, -0.13), "ncol": 3, "fontsize": 8, "frameon": False}

    xs = [p[0] * 1000 for p in main.positions]
    zs = [p[2] * 1000 for p in main.positions]
    wall = scene.wall_z * 1000
    ax_path.axhspan(wall, max(zs + [wall]) + 4, color="firebrick", alpha=0.12, label="inside the wall")
    ax_path.axhline(wall, color="firebrick", lw=2, label="wall")
    if main.targets:
        ax_path.plot(
            [t[1] * 1000 for t in main.targets], [t[3] * 1000 for t in main.targets], color="darkorange", lw=2.2,
            alpha=0.85, label="target (steered by the handle)",
        )
    ax_path.plot(xs, zs, color="navy", lw=0.9, label="end effector")
    if xs:
        ax_path.plot(xs[0], zs[0], "o", color="green", ms=9, label="start")
        ax_path.plot(xs[-1], zs[-1], "s", color="black", ms=9, label="end")
    ax_path.set(xlabel="x (mm)", ylabel="z (mm)", title=f"End-effector path against the wall ({main.name})")
    ax_path.legend(**below)
    ax_path.set_aspect("equal", adjustable="datalim")

    for i, name in enumerate("xyz"):
        ax_force.plot(main.times, [f[i] for f in main.forces], lw=0.8, label=f"F{name}")
    for button in sorted({b for _, b, _ in main.events}):
        colour = BUTTON_COLOURS.get(button, "gray")
        for t, b, down in main.events:
            if b == button:
                ax_force.axvline(t, color=colour, lw=0.8, ls="-" if down else "--", alpha=0.7)
        ax_force.plot([], [], color=colour, lw=0.8, label=f"button {button} pressed")
        ax_force.plot([], [], color=colour, lw=0.8, ls="--", label=f"button {button} released")
    ax_force.set(xlabel="time (s)", ylabel="force sent (N)", title="Force, with the handle's button events")
    ax_force.legend(**below)

    # One set of bins for every histogram, so that they compare at a glance.
    all_periods = np.concatenate([np.asarray(run.periods, dtype=float) * 1e6 for run in runs] + [np.zeros(0)])
    edges = np.histogram_bin_edges(all_periods, bins=100) if len(all_periods) else np.linspace(0, 1, 101)
    for ax, run in zip(hists, runs):
        periods_us = [p * 1e6 for p in run.periods]
        ax.hist(periods_us, bins=edges, color="steelblue" if run.name.startswith("native") else "indianred")
        ax.set_yscale("log")
        ax.set_xlim(edges[0], edges[-1])
        nominal = 1e6 / run.rate
        ax.axvline(nominal, color="black", lw=1, ls="--", label=f"nominal period, {nominal:.0f} µs")
        ax.axvline(run.long_period * 1e6, color="black", lw=1, ls=":",
                   label=f"late: over {run.long_period * 1e6:.0f} µs")
        rate, p99, long = run.period_figures
        ended = ", stopped by Ctrl+C" if run.interrupted else ""
        ax.set(
            xlabel="loop period (µs)",
            ylabel="ticks",
            title=f"{run.name}: {rate:.0f} Hz, p99 {p99 * 1e6:.0f} µs{ended}",
        )
        tail = (
            f"{long} of {len(periods_us)} periods late.\n"
            + (
                "The tail: ticks whose reply came late\n(the device, or the simulator waking up),\nnot the loop."
                if run.name.startswith("native")
                else "The tail: the interpreter (exchange,\nforce law, garbage collection) on top\nof late replies."
            )
        )
        ax.text(0.97, 0.95, tail, transform=ax.transAxes, ha="right", va="top", fontsize=8,
                bbox={"boxstyle": "round", "facecolor": "white", "alpha": 0.8})
        ax.legend(**{**below, "ncol": 2})
    fig.tight_layout()
    fig.savefig(path, dpi=110, bbox_inches="tight")
    plt.close(fig)
    return path


# -- finding the devices ---------------------------------------------------------------------------


def start_simulator() -> tuple[Simulator, bool]:
    from korvo_sim import Simulator

    may_link = os.geteuid() == 0 and os.access("/dev", os.W_OK)
    arm = ["arm", "--link", LINK_NAMES["arm"]] if may_link else ["arm"]
    handle = ["handle", "--link", LINK_NAMES["handle"]] if may_link else ["handle"]
    # Real time where the process may: a device answers at once, and a
    # simulator left at normal priority answers late whenever the machine
    # is busy, which would show in the demo's numbers as the loop's fault.
    sim = Simulator("--realtime", "60", *arm, *handle)
    return sim, may_link


def find_ports(sim: Simulator, linked: bool) -> tuple[str, str | None]:
    if linked:
        print("Looking for devices under /dev ...")
        arms = hw.detect_arvenas()
        handles = hw.detect_wired_handles()
        want_arm = os.path.realpath(LINK_NAMES["arm"])
        want_handle = os.path.realpath(LINK_NAMES["handle"])
        print(f"  detect_arvenas() -> {arms}\n  detect_wired_handles() -> {handles}")
        if want_arm in arms:
            return want_arm, want_handle if want_handle in handles else sim.port("handle")
    print("Using the ports the simulator printed.")
    return sim.port("arm"), sim.port("handle")


def identify(arm: hw.Arvena) -> None:
    info = arm.device_wakeup_dict()
    print(
        f"Arvena: device {info['device_id']}, model {info['device_model_number']}, "
        f"hardware {info['hardware_version']}, firmware {info['firmware_version']}, id {info['device_id_ext']}"
    )
    print(
        f"        firmware id {arm.get_firmware_version()}, temperature {arm.get_temperature():.1f}, "
        f"powered {arm.get_power_status()}"
    )


def identify_handle(monitor: korvo.HandleMonitor) -> None:
    deadline = time.monotonic() + 2.0
    while monitor.status is None and time.monotonic() < deadline:
        time.sleep(0.01)
    status = monitor.status
    if status is None:
        print("Handle: no status frame yet")
        return
    print(f"Handle: device {status.device_id}, battery {status.battery:.2f} V, buttons {status.buttons:03b}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", nargs="+", metavar=("ARM", "HANDLE"), help="serial ports of the arm and (optionally) the handle")
    parser.add_argument("--seconds", type=float, default=8.0)
    parser.add_argument("--rate", type=float, default=1000.0, help="loop rate in Hz")
    parser.add_argument("--output", type=Path, default=PICTURE, help=f"the picture (default {PICTURE})")
    parser.add_argument("--quiet", action="store_true", help="no live line")
    loops = parser.add_mutually_exclusive_group()
    loops.add_argument("--python-loop", action="store_true", help="the scene in a Python loop instead of the native one")
    loops.add_argument("--compare", action="store_true", help="the native loop, then the Python loop, side by side")
    args = parser.parse_args(argv)

    print(f"KorvoHardwareAPI {hw.get_cpp_version()}")
    sim = None
    monitor = None
    try:
        if args.port:
            arm_port, handle_port = args.port[0], (args.port[1] if len(args.port) > 1 else None)
        else:
            sim, linked = start_simulator()
            arm_port, handle_port = find_ports(sim, linked)
        print(f"Arm on {arm_port}" + (f", handle on {handle_port}" if handle_port else ", no handle"))

        arm = hw.Arvena(hw.SerialStream(arm_port), 0.05)
        identify(arm)
        if handle_port:
            monitor = korvo.HandleMonitor(handle_port)
            monitor.start()
            identify_handle(monitor)

        rest, _ = arm.end_effector_force([0.0, 0.0, 0.0])
        scene = Scene(rest=(rest[0], rest[1], rest[2]))
        print(f"Rest point {tuple(round(c, 4) for c in rest)}, wall at z = {scene.wall_z:.4f}", flush=True)
        live = Live(not args.quiet)
        runs: list[Run] = []
        if not args.python_loop:
            runs.append(run_native(arm, monitor, scene, args.seconds, args.rate, live))
        if (args.python_loop or args.compare) and not any(run.interrupted for run in runs):
            runs.append(run_python(arm, monitor, scene, args.seconds, args.rate, live))
        if monitor is not None:
            counts = monitor.counts
            print(f"Handle: {counts['frames']} status frames, {counts['bad_frames']} bad, "
                  f"{counts['events']} button events")
        for run in runs:
            print(run.summary())
        picture = save_picture(runs, scene, args.output)
        if any(run.interrupted for run in runs):
            print(f"Stopped by Ctrl+C: the picture of what ran is saved to {picture.resolve()}")
            return 130
        print(f"Picture saved to {picture.resolve()}")
        return 0
    except KeyboardInterrupt:
        # Before a loop ran (finding or waking the devices): nothing to draw.
        print("\nStopped by Ctrl+C before the loop ran: no picture.")
        return 130
    finally:
        if monitor is not None:
            monitor.stop()
        if sim is not None:
            sim.stop()


if __name__ == "__main__":
    sys.exit(main())
