"""korvo plot: a recording at a glance, as a PNG.

Reads any saved form of a recording: a rosbag2 directory or an .mcap file
(korvo record, servo.record, Recording.save("run.mcap")), or a Recording
saved as .csv or .npz. Draws the end-effector position, the force sent
against the force commanded (faults shaded, button presses marked), and the
histogram of the loop's periods with the nominal period marked.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np

from .recording import COLUMNS


@dataclass
class Run:
    """What a plot needs of a recording, whatever it was saved as."""

    name: str
    tick: np.ndarray
    time: np.ndarray        # s from the first tick
    position: np.ndarray    # m, n x 3
    force: np.ndarray       # N, n x 3, sent
    commanded: np.ndarray   # N, n x 3
    faults: np.ndarray      # fault bits per tick
    rate: float | None = None
    presses: list[tuple[float, int]] = field(default_factory=list)   # (s, button) of each press
    lost: int = 0


def _from_columns(name: str, columns: dict[str, np.ndarray], rate: float | None, lost: int) -> Run:
    time = np.asarray(columns["time"], dtype=np.float64)
    return Run(name, np.asarray(columns["tick"]), time - (time[0] if len(time) else 0.0), np.asarray(columns["position"]),
               np.asarray(columns["force"]), np.asarray(columns["commanded"]), np.asarray(columns["faults"]).astype(np.int64),
               rate, lost=lost)


def _from_csv(path: Path) -> Run:
    table = np.genfromtxt(path, delimiter=",", names=True)
    table = np.atleast_1d(table)
    columns: dict[str, np.ndarray] = {}
    for name, titles in COLUMNS:
        if isinstance(titles, tuple):
            columns[name] = np.column_stack([table[t] for t in titles]) if len(table) else np.zeros((0, 3))
        else:
            columns[name] = table[titles]
    return _from_columns(path.name, columns, None, 0)


def _from_npz(path: Path) -> Run:
    with np.load(path) as data:
        columns = {name: data[name] for name, _ in COLUMNS}
        lost = int(data["dropped"]) if "dropped" in data else 0
        rate = float(data["rate"]) if "rate" in data else None
    return _from_columns(path.name, columns, rate, lost)


def _from_bag(path: Path) -> Run:
    from .ros import bag, messages

    custom = bag.custom_data(path)
    arm = messages.ArmMessages(custom.get("arm_namespace", "arm"))
    handle = messages.HandleMessages(custom.get("handle_namespace", "handle"))
    wanted = {arm.measured_cp, arm.measured_cf, arm.servo_cf, arm.operating_state, arm.statistics_topic, handle.buttons}
    ticks: dict[int, list[Any]] = {}
    states: list[tuple[int, int]] = []
    buttons: list[tuple[int, list[int]]] = []
    lost = 0
    slot = {arm.measured_cp: 1, arm.measured_cf: 2, arm.servo_cf: 3}
    for topic, type, message in bag.iter_messages(path, wanted):
        if topic in slot:
            row = ticks.setdefault(message.sequence, [message.log_time, None, None, None])
            value = messages.deserialize(message.data, type)
            if topic == arm.measured_cp:
                p = value.pose.position
                row[1] = (p.x, p.y, p.z)
            else:
                f = value.wrench.force
                row[slot[topic]] = (f.x, f.y, f.z)
        elif topic == arm.operating_state:
            value = messages.deserialize(message.data, type)
            fields = {kv.key: kv.value for kv in value.values}
            states.append((int(fields.get("tick", message.sequence)), int(fields.get("fault_bits", 0))))
        elif topic == arm.statistics_topic:
            value = messages.deserialize(message.data, type)
            for status in value.status:
                for kv in status.values:
                    if kv.key == "ticks_lost":
                        lost = max(lost, int(kv.value))
        elif topic == handle.buttons:
            value = messages.deserialize(message.data, type)
            buttons.append((message.log_time, [int(b) for b in value.buttons]))
    numbers = sorted(n for n, row in ticks.items() if None not in row)
    stamps = np.array([ticks[n][0] for n in numbers], dtype=np.int64)
    zero = stamps[0] if len(stamps) else 0
    faults = np.zeros(len(numbers), dtype=np.int64)
    tick = np.array(numbers, dtype=np.int64)
    for at, bits in sorted(states):
        faults[np.searchsorted(tick, at):] = bits
    presses: list[tuple[float, int]] = []
    previous: list[int] | None = None
    for stamp, state in sorted(buttons):
        if previous is not None:
            presses += [((stamp - zero) / 1e9, i + 1) for i, (a, b) in enumerate(zip(previous, state)) if b and not a]
        previous = state
    rate = float(custom["rate"]) if "rate" in custom else None
    empty = np.zeros((0, 3))
    return Run(path.name, tick, (stamps - zero) / 1e9,
               np.array([ticks[n][1] for n in numbers]) if numbers else empty,
               np.array([ticks[n][2] for n in numbers]) if numbers else empty,
               np.array([ticks[n][3] for n in numbers]) if numbers else empty,
               faults, rate, presses, lost)


def load(path: str | os.PathLike[str]) -> Run:
    path = Path(path)
    if path.is_dir() or path.suffix == ".mcap":
        return _from_bag(path)
    if path.suffix == ".npz":
        return _from_npz(path)
    if path.suffix == ".csv":
        return _from_csv(path)
    raise ValueError(f"{path}: not a recording (a rosbag2 directory, .mcap, .csv or .npz)")


def _spans(time: np.ndarray, on: np.ndarray) -> list[tuple[float, float]]:
    """(start, end) of each run of ticks where `on` holds."""
    if not len(on):
        return []
    edges = np.flatnonzero(np.diff(np.concatenate([[0], on.astype(np.int8), [0]])))
    ends = np.minimum(edges[1::2], len(time) - 1)
    return [(float(time[a]), float(time[b])) for a, b in zip(edges[0::2], ends)]


def periods_us(run: Run) -> np.ndarray:
    """Tick-to-tick periods (µs) between consecutive ticks only: a gap in the
    tick numbers spans several periods and is left out."""
    consecutive = np.diff(run.tick) == 1
    return np.asarray(np.diff(run.time)[consecutive] * 1e6, dtype=np.float64)


def _count(n: int, one: str, many: str | None = None) -> str:
    return f"{n} {one if n == 1 else (many or one + 's')}"


def draw(run: Run, output: str | os.PathLike[str]) -> Path:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    output = Path(output)
    periods = periods_us(run)
    rate = run.rate or (1e6 / float(np.median(periods)) if len(periods) else None)
    fig, axes = plt.subplots(3, 1, figsize=(12, 10), gridspec_kw={"height_ratios": [3, 3, 2]})
    position, force, histogram = axes
    colours = ["tab:blue", "tab:orange", "tab:green"]
    faulted = _spans(run.time, run.faults != 0)
    for ax in (position, force):
        for i, (a, b) in enumerate(faulted):
            ax.axvspan(a, b, color="tab:red", alpha=0.15, lw=0, label="fault" if i == 0 else None)
        for i, (at, button) in enumerate(run.presses):
            ax.axvline(at, color="0.35", lw=0.8, ls=":", label="button press" if i == 0 else None)
    # Movement from where the arm began: millimetres of it stay visible
    # beside a height of 200.
    start = run.position[0] * 1e3 if len(run.position) else np.zeros(3)
    for axis, name in enumerate("xyz"):
        position.plot(run.time, run.position[:, axis] * 1e3 - start[axis], color=colours[axis], lw=1,
                      label=f"{name} (from {start[axis]:.1f} mm)")
        force.plot(run.time, run.force[:, axis], color=colours[axis], lw=1, label=f"{name} sent")
        force.plot(run.time, run.commanded[:, axis], color=colours[axis], lw=1, ls="--", alpha=0.7,
                   label=f"{name} commanded")
    for t in run.presses:
        position.annotate(f"{t[1]}", (t[0], 0.98), xycoords=("data", "axes fraction"), fontsize=8, ha="right",
                          va="top", color="0.35")
    position.set_ylabel("position (mm)")
    position.set_title("End-effector position, from where it began (button presses marked with the button's number)")
    force.set_ylabel("force (N)")
    force.set_title("Force sent (solid) against force commanded (dashed)")
    force.set_xlabel("time (s)")
    for ax in (position, force):
        ax.grid(alpha=0.3)
        ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8, borderaxespad=0)
        if len(run.time):
            ax.set_xlim(run.time[0], run.time[-1])
    if len(periods):
        nominal = 1e6 / rate if rate else None
        top = max(float(np.percentile(periods, 99.9)), (nominal or 0) * 1.6)
        bins = np.linspace(0, top, 120)
        histogram.hist(np.minimum(periods, top), bins=bins, color="tab:blue")
        histogram.set_yscale("log")
        if nominal:
            histogram.axvline(nominal, color="k", lw=1.2, label=f"nominal {nominal:.0f} µs")
            histogram.axvline(1.5 * nominal, color="tab:red", lw=1, ls="--", label="overrun (1.5 × nominal)")
        p99 = float(np.percentile(periods, 99))
        histogram.axvline(p99, color="tab:orange", lw=1, ls=":", label=f"p99 {p99:.0f} µs")
        histogram.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8, borderaxespad=0)
    histogram.set_xlabel("period (µs)")
    histogram.set_ylabel("ticks")
    histogram.set_title("Tick-to-tick periods")
    histogram.grid(alpha=0.3)
    duration = float(run.time[-1]) if len(run.time) else 0.0
    gaps = int(np.sum(np.diff(run.tick)[np.diff(run.tick) > 1] - 1)) if len(run.tick) > 1 else 0
    fig.suptitle(f"{run.name}: {len(run.tick)} ticks in {duration:.1f} s"
                 + (f" at {rate:.0f} Hz" if rate else "")
                 + f", {_count(gaps, 'missing tick')}, {_count(len(faulted), 'fault period')}, "
                 f"{_count(len(run.presses), 'button press', 'button presses')}")
    fig.tight_layout()
    fig.savefig(output, dpi=100)
    plt.close(fig)
    return output


# -- a teleoperation run ----------------------------------------------------------------------------


def coupled_since(reports: dict[str, np.ndarray]) -> float | None:
    """The loop's time (s) of the first tick that used a sample of the peer."""
    used = np.flatnonzero(np.asarray(reports.get("sample_sequence", [])) != 0)
    return float(reports["time"][used[0]]) if len(used) else None


def draw_teleop(data: dict[str, Any], output: str | os.PathLike[str]) -> Path:
    """One end's run (korvo.ros.teleop's Teleop.data(), or a file it saved):
    both arms' paths, the forces on both sides, the energy both passivity
    controllers dissipated, and the latency of the peer's samples."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    output = Path(output)
    meta, ticks, reports = data["meta"], data["ticks"], data["reports"]
    leader = meta["role"] == "leader"
    peer_name = "follower" if leader else "leader"
    if not len(ticks.get("time", [])) or not len(reports.get("time", [])):
        raise ValueError("the run holds no ticks")
    start = coupled_since(reports)
    t0 = start if start is not None else float(ticks["time"][0])
    fig, axes = plt.subplots(4, 1, figsize=(12, 13), gridspec_kw={"height_ratios": [3, 3, 2, 2]})
    paths, forces, energy, latency = axes
    colours = ["tab:blue", "tab:orange", "tab:green"]
    fade = _spans(reports["time"] - t0, reports["link"] < 1.0)

    # Paths: each arm's motion about where it was on average while coupled,
    # in channel units (a leader's scaled), so that following shows as
    # overlap whatever the two arms' places.
    scale = meta["params"]["position_scale"] if leader else 1.0
    own_t = ticks["time"] - t0
    own = np.asarray(ticks["position"]) * scale
    if leader:
        # The follower's own record of itself, its measured_cp as published.
        peer = np.asarray(data["peer_motion"]).reshape(-1, 4)
    else:
        # The leader's motion as it arrived (in channel units), at the times
        # the leader measured it.
        new = np.flatnonzero((np.diff(reports["sample_sequence"], prepend=0) != 0) & (reports["sample_sequence"] != 0))
        peer = np.column_stack([reports["time"][new] - reports["sample_age"][new], reports["peer_position"][new]])
    coupled = reports["time"][reports["link"] >= 1.0]
    span = (float(coupled[0]), float(coupled[-1])) if len(coupled) else (t0, float(ticks["time"][-1]))

    def centre(times: np.ndarray, values: np.ndarray) -> np.ndarray:
        inside = (times >= span[0]) & (times <= span[1])
        return np.asarray(values[inside].mean(axis=0) if inside.any() else values.mean(axis=0))

    own0 = centre(ticks["time"], own)
    p0 = centre(peer[:, 0], peer[:, 1:]) if len(peer) else np.zeros(3)
    for axis, name in enumerate("xyz"):
        paths.plot(own_t, (own[:, axis] - own0[axis]) * 1e3, color=colours[axis], lw=1.2,
                   label=f"{meta['role']} {name}")
        if len(peer):
            paths.plot(peer[:, 0] - t0, (peer[:, 1 + axis] - p0[axis]) * 1e3, color=colours[axis], lw=1, ls="--",
                       label=f"{peer_name} {name}")
    paths.set_ylabel("motion (mm)")
    paths.set_title(f"Paths about their means while coupled ({meta['role']} solid, {peer_name} dashed)")

    peer_force = data["peer_force"]
    for axis, name in enumerate("xyz"):
        forces.plot(own_t, np.asarray(ticks["force"])[:, axis], color=colours[axis], lw=1.2, label=f"{meta['role']} {name}")
        if len(peer_force):
            forces.plot(peer_force[:, 0] - t0, peer_force[:, 1 + axis], color=colours[axis], lw=1, ls="--",
                        label=f"{peer_name} {name}")
    forces.set_ylabel("force sent (N)")
    forces.set_title(f"Forces on both sides ({meta['role']} solid, {peer_name} dashed)")

    rt = reports["time"] - t0
    energy.plot(rt, reports["dissipated"] * 1e3, color="tab:purple", lw=1.4, label=f"dissipated by the {meta['role']}")
    peer_energy = data["peer_energy"]
    if len(peer_energy):
        energy.plot(peer_energy[:, 0] - t0, peer_energy[:, 3] * 1e3, color="tab:purple", lw=1.2, ls="--",
                    label=f"dissipated by the {peer_name}")
    energy.plot(rt, reports["energy_out"] * 1e3, color="tab:gray", lw=1, label=f"given out at the {meta['role']}")
    energy.set_ylabel("energy (mJ)")
    energy.set_title("The passivity controllers' account" + ("" if meta["params"]["passivity"] else " (controller off)"))
    for ax in (paths, forces, energy):
        for i, (a, b) in enumerate(fade):
            ax.axvspan(a, b, color="tab:red", alpha=0.12, lw=0, label="link faded" if i == 0 else None)
        ax.grid(alpha=0.3)
        ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8, borderaxespad=0)
        ax.set_xlim(0.0, float(own_t[-1]))
    energy.set_xlabel("time since the coupling began (s)")

    lat = np.asarray(data["latency"]) * 1e3
    if len(lat):
        top = float(np.percentile(lat, 99.9)) * 1.2 + 0.5
        latency.hist(np.minimum(lat, top), bins=np.linspace(min(0.0, float(lat.min())), top, 120), color="tab:blue")
        latency.set_yscale("log")
        for q, style in ((50, "-"), (99, ":")):
            v = float(np.percentile(lat, q))
            latency.axvline(v, color="tab:orange", lw=1.2, ls=style, label=f"p{q} {v:.2f} ms")
        latency.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8, borderaxespad=0)
    latency.set_xlabel(f"{peer_name}'s tick to the {meta['role']}'s first tick using it (ms)")
    latency.set_ylabel("samples")
    latency.set_title("Latency of the peer's samples")
    latency.grid(alpha=0.3)
    delay = meta["delay"] * 1e3
    fig.suptitle(f"teleoperation, the {meta['role']}'s view: {len(ticks['time'])} ticks, "
                 f"{delay:g} ms one-way delay added" + (f" (+ up to {meta['jitter'] * 1e3:g} ms)" if meta["jitter"] else "")
                 + f", passivity controller {'on' if meta['params']['passivity'] else 'off'}")
    fig.tight_layout()
    fig.savefig(output, dpi=100)
    plt.close(fig)
    return output
