"""Haptic demo: an Arvena arm renders a virtual wall and a spring toward a
target that a Handle steers, in a fixed-rate control loop.

    ./dev.sh demo                       simulated arm and handle (korvo-sim)
    python examples/demo.py --port /dev/ttyACM0 /dev/ttyUSB0   real devices
    python examples/demo.py --rate 0    as fast as the link allows

Without --port it starts korvo-sim with an arm and a handle, links their
ports under /dev with names discovery recognises when it may (as root), and
finds them with the detect functions; otherwise it takes the paths the
simulator prints. With --port and no simulator, a missing handle is fine.

Each loop step sends the force computed from the previous state and gets the
new state back in the same exchange (end_effector_force). The handle is read
on a thread of its own (GetStylarStatus): its orientation turns the target
around its rest point, button 1 pushes the target into the wall, and the
trigger (hall-effect level) stiffens the spring. A live line shows the loop
rate, exchange latency, position, force, buttons and battery; at the end a
picture is saved: the end-effector path against the wall, the force over
time and a histogram of the loop periods.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

import KorvoHardwareAPI as korvo

LINK_NAMES = {"arm": "/dev/ttyACM-korvo-demo", "handle": "/dev/ttyUSB-korvo-demo"}


# -- the scene ---------------------------------------------------------------------------


def rotate(q: list[float], v: tuple[float, float, float]) -> tuple[float, float, float]:
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
    in, and the trigger (hall-effect level, 0 to 31) stiffens the spring."""

    rest: tuple[float, float, float]
    wall_offset: float = 0.010  # the wall, this far along +z from rest
    wall_stiffness: float = 1500.0
    wall_damping: float = 8.0
    spring_stiffness: float = 150.0
    damping: float = 4.0
    reach: float = 0.018  # radius of the target's circle
    push: float = 0.005  # how far button 1 pushes the target into the wall
    max_force: float = 6.0

    @property
    def wall_z(self) -> float:
        return self.rest[2] + self.wall_offset

    def target(self, status: dict | None) -> tuple[float, float, float]:
        if not status:
            return self.rest
        dx, _, dz = rotate(status["quaternion"], (1.0, 0.0, 0.0))
        norm = math.hypot(dx, dz) or 1.0
        push = self.push if status["buttons"] & 1 else 0.0
        return (self.rest[0] + self.reach * dx / norm, self.rest[1], self.rest[2] + self.reach * dz / norm + push)

    def force(self, position, velocity, target, trigger: int = 0) -> list[float]:
        k = self.spring_stiffness * (1.0 + trigger / 31.0)
        f = [k * (t - p) - self.damping * v for t, p, v in zip(target, position, velocity)]
        depth = position[2] - self.wall_z
        if depth > 0:  # inside the wall: push back out, damped while going in
            f[2] -= self.wall_stiffness * depth + self.wall_damping * max(velocity[2], 0.0)
        norm = math.sqrt(sum(c * c for c in f))
        if norm > self.max_force:
            f = [c * self.max_force / norm for c in f]
        return f


# -- the handle, read on its own thread ------------------------------------------------------


class HandleReader(threading.Thread):
    """Keeps the latest good status of a handle. GetStylarStatus releases the
    interpreter lock and sleeps until a frame's worth of bytes is there, so
    the control loop runs meanwhile and this thread costs next to nothing."""

    FAILURES = (99, 2, 3)

    def __init__(self, handle: korvo.Handle) -> None:
        super().__init__(daemon=True)
        self.handle = handle
        self.latest: dict | None = None
        self.frames = self.failures = 0
        self._stop = threading.Event()

    def run(self) -> None:
        while not self._stop.is_set():
            status = self.handle.GetStylarStatus()
            if status["error_flag"] in self.FAILURES:
                self.failures += 1
            else:
                self.latest = status
                self.frames += 1

    def stop(self) -> None:
        self._stop.set()
        self.join(3)


# -- the control loop ----------------------------------------------------------------------------


@dataclass
class Trace:
    times: list[float] = field(default_factory=list)
    positions: list[list[float]] = field(default_factory=list)
    forces: list[list[float]] = field(default_factory=list)
    targets: list[tuple[float, float, float]] = field(default_factory=list)
    periods: list[float] = field(default_factory=list)
    latencies: list[float] = field(default_factory=list)


def percentile(values: list[float], p: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(p / 100 * len(ordered)))] if ordered else float("nan")


def wait_until(deadline: float) -> None:
    """Sleeps most of the way, then spins: time.sleep alone overshoots by tens
    of microseconds, a lot at 1 kHz."""
    left = deadline - time.perf_counter()
    if left > 3e-4:
        time.sleep(left - 2e-4)
    while time.perf_counter() < deadline:
        pass


def control_loop(
    arm: korvo.Arvena,
    scene: Scene,
    seconds: float,
    rate: float,
    reader: HandleReader | None = None,
    live: bool = True,
) -> Trace:
    trace = Trace()
    period = 1.0 / rate if rate > 0 else 0.0
    force = [0.0, 0.0, 0.0]
    start = time.perf_counter()
    next_tick = start
    # On a terminal the live line updates in place; in a log, one line per update.
    in_place = sys.stdout.isatty()
    prefix, end = ("\r", "") if in_place else ("", "\n")
    last_print = start
    previous = None
    exchange, clock = arm.end_effector_force, time.perf_counter
    while True:
        now = clock()
        if now - start >= seconds:
            break
        if previous is not None:
            trace.periods.append(now - previous)
        previous = now
        before = clock()
        position, velocity = exchange(force)
        trace.latencies.append(clock() - before)

        status = reader.latest if reader else None
        target = scene.target(status)
        force = scene.force(position, velocity, target, status["hall_effect_sensor_level"] if status else 0)
        trace.times.append(now - start)
        trace.positions.append(position)
        trace.forces.append(force)
        trace.targets.append(target)

        if live and now - last_print > 0.25:
            last_print = now
            print(prefix + live_line(trace, status), end=end, flush=True)
        if period:
            next_tick += period
            if next_tick < clock():  # fell behind: do not try to catch up
                next_tick = clock()
            wait_until(next_tick)
    if live:
        print(prefix + live_line(trace, reader.latest if reader else None))
    return trace


def live_line(trace: Trace, status: dict | None) -> str:
    recent = trace.periods[-500:]
    rate = len(recent) / sum(recent) if recent else 0.0
    lat = [x * 1e6 for x in trace.latencies[-2000:]]
    p, f = trace.positions[-1], trace.forces[-1]
    handle = f"buttons {status['buttons']:03b} battery {status['battery_level']:.2f} V" if status else "no handle yet"
    return (
        f"{rate:5.0f} Hz | latency p50 {percentile(lat, 50):5.0f} us p99 {percentile(lat, 99):6.0f} us | "
        f"pos {p[0]:+.4f} {p[1]:+.4f} {p[2]:+.4f} | force {f[0]:+5.2f} {f[1]:+5.2f} {f[2]:+5.2f} | {handle}"
    )


# -- the picture -----------------------------------------------------------------------------------


def save_picture(trace: Trace, scene: Scene, path: Path) -> Path:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    path.parent.mkdir(parents=True, exist_ok=True)
    fig, (ax_path, ax_force, ax_hist) = plt.subplots(1, 3, figsize=(16, 5))
    xs = [p[0] * 1000 for p in trace.positions]
    zs = [p[2] * 1000 for p in trace.positions]
    ax_path.plot([t[0] * 1000 for t in trace.targets], [t[2] * 1000 for t in trace.targets], color="0.7", lw=1, label="target")
    ax_path.plot(xs, zs, lw=1, label="end effector")
    ax_path.axhline(scene.wall_z * 1000, color="firebrick", lw=2, label="wall")
    ax_path.axhspan(scene.wall_z * 1000, max(zs + [scene.wall_z * 1000]) + 5, color="firebrick", alpha=0.08)
    ax_path.set(xlabel="x (mm)", ylabel="z (mm)", title="End-effector path against the wall")
    ax_path.legend(loc="lower left")
    ax_path.set_aspect("equal", adjustable="datalim")

    for i, name in enumerate("xyz"):
        ax_force.plot(trace.times, [f[i] for f in trace.forces], lw=0.8, label=f"F{name}")
    ax_force.set(xlabel="time (s)", ylabel="force (N)", title="Commanded force")
    ax_force.legend(loc="upper right")

    periods_us = [p * 1e6 for p in trace.periods]
    ax_hist.hist(periods_us, bins=80, color="steelblue")
    ax_hist.set_yscale("log")
    rate = len(trace.periods) / sum(trace.periods) if trace.periods else 0
    ax_hist.set(
        xlabel="loop period (us)",
        ylabel="count",
        title=f"Loop periods: {rate:.0f} Hz, p99 {percentile(periods_us, 99):.0f} us",
    )
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


# -- finding the devices ---------------------------------------------------------------------------


def start_simulator():
    from korvo_sim import Simulator

    may_link = os.geteuid() == 0 and os.access("/dev", os.W_OK)
    arm = ["arm", "--link", LINK_NAMES["arm"]] if may_link else ["arm"]
    handle = ["handle", "--link", LINK_NAMES["handle"]] if may_link else ["handle"]
    # The loop pauses between exchanges; a simulator that sleeps in those
    # pauses pays for being woken at every request, up to milliseconds on a
    # virtual machine. Real devices do not sleep.
    sim = Simulator("--busy-poll-us", "2000", *arm, *handle)
    return sim, may_link


def find_ports(sim, linked: bool) -> tuple[str, str | None]:
    if linked:
        print("Looking for devices under /dev ...")
        arms = korvo.detect_arvenas()
        handles = korvo.detect_wired_handles()
        want_arm = os.path.realpath(LINK_NAMES["arm"])
        want_handle = os.path.realpath(LINK_NAMES["handle"])
        print(f"  detect_arvenas() -> {arms}\n  detect_wired_handles() -> {handles}")
        if want_arm in arms:
            return want_arm, want_handle if want_handle in handles else sim.port("handle")
    print("Using the ports the simulator printed.")
    return sim.port("arm"), sim.port("handle")


def identify(arm: korvo.Arvena) -> None:
    info = arm.device_wakeup_dict()
    print(
        f"Arvena: device {info['device_id']}, model {info['device_model_number']}, "
        f"hardware {info['hardware_version']}, firmware {info['firmware_version']}, id {info['device_id_ext']}"
    )
    print(
        f"        firmware id {arm.get_firmware_version()}, temperature {arm.get_temperature():.1f}, "
        f"powered {arm.get_power_status()}"
    )


def identify_handle(handle: korvo.Handle) -> None:
    """Wakes the handle and reports who answers, from its status frames: the
    wakeup's own reply shares the line with them and is passed over."""
    handle.SendDeviceWakeup()
    for _ in range(5):
        status = handle.GetStylarStatus()
        if status["error_flag"] not in HandleReader.FAILURES:
            print(
                f"Handle: device {status['device_id']}, battery {status['battery_level']:.2f} V, "
                f"buttons {status['buttons']:03b}"
            )
            return
    print("Handle: no status frame yet")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", nargs="+", metavar=("ARM", "HANDLE"), help="serial ports of the arm and (optionally) the handle")
    parser.add_argument("--seconds", type=float, default=8.0)
    parser.add_argument("--rate", type=float, default=1000.0, help="loop rate in Hz; 0: as fast as the link allows")
    parser.add_argument("--output", type=Path, default=Path("build/demo/haptic_demo.png"))
    parser.add_argument("--quiet", action="store_true", help="no live line")
    args = parser.parse_args(argv)

    print(f"KorvoHardwareAPI {korvo.get_cpp_version()}")
    sim = None
    try:
        if args.port:
            arm_port, handle_port = args.port[0], (args.port[1] if len(args.port) > 1 else None)
        else:
            sim, linked = start_simulator()
            arm_port, handle_port = find_ports(sim, linked)
        print(f"Arm on {arm_port}" + (f", handle on {handle_port}" if handle_port else ", no handle"))

        arm = korvo.Arvena(korvo.SerialStream(arm_port))
        identify(arm)
        reader = None
        if handle_port:
            handle = korvo.Handle(korvo.SerialStream(handle_port))
            identify_handle(handle)
            reader = HandleReader(handle)
            reader.start()

        rest, _ = arm.end_effector_force([0.0, 0.0, 0.0])
        scene = Scene(rest=tuple(rest))
        print(f"Rest point {tuple(round(c, 4) for c in rest)}, wall at z = {scene.wall_z:.4f}")
        trace = control_loop(arm, scene, args.seconds, args.rate, reader, live=not args.quiet)
        if reader:
            reader.stop()
            print(f"Handle: {reader.frames} status frames read, {reader.failures} failed reads")
        arm.end_effector_force([0.0, 0.0, 0.0])

        rate = len(trace.periods) / sum(trace.periods)
        lat = [x * 1e6 for x in trace.latencies]
        print(f"Loop: {len(trace.times)} steps, {rate:.0f} Hz, exchange p50 {percentile(lat, 50):.1f} us, "
              f"p99 {percentile(lat, 99):.1f} us")
        picture = save_picture(trace, scene, args.output)
        print(f"Picture saved to {picture.resolve()}")
        return 0
    finally:
        if sim is not None:
            sim.stop()


if __name__ == "__main__":
    sys.exit(main())
