"""Teleoperation: a leader and a follower (`korvo teleop`, two processes,
each with its own bridge) on two simulated arms at 1 kHz, through a Zenoh
router of their own on loopback (multicast scouting off). The leader is
held by the simulator's hand, which moves it 2 cm either way along x once
every two seconds; the coupling is a stiff one (800 N/m), the passivity
controller on.

One run: pairs with 0, 10 and 50 ms of one-way delay added (each end's
bridge delays what it receives) take turns, `--rounds` times, so that what
the machine does meanwhile falls on all of them. Figures, from the ends'
own arrays:

- latency, leader tick to follower tick: the age of each leader sample at
  the first follower tick that used it (and the other way), p50 and p99,
  against the goal of two periods and half a millisecond at 1 kHz, with
  nothing added;
- tracking error: median and RMS of the distance between the follower and
  where the leader was at the same moment, from a second after coupling;
- processor time per tick of each end (its whole process, over the ticks
  it ran coupled);
- energy the two passivity controllers dissipated, per second.

    ./dev.sh bench teleop          # or: python bench/teleop.py --seconds 20 --rounds 2
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from common import simulator
from ros_bridge import ROUTER, free_port

HAND = ("--hand-path", "0.02,0,0", "--hand-hz", "0.5", "--hand-stiffness", "100", "--hand-damping", "1")
DELAYS_MS = (0, 10, 50)
GOAL_S = 2 / 1000 + 0.0005


def pair(router: str, delay_ms: float, seconds: float, work: Path) -> tuple[dict, dict]:
    """One pair for `seconds`; each end's arrays."""
    from korvo.ros import teleop

    options = ["--connect", router, "--stiffness", "800", "--delay-ms", str(delay_ms), "--seconds", str(seconds),
               "--command-timeout", str(0.25 + delay_ms / 1000)]
    with simulator("arm", *HAND) as held, simulator("arm") as free:
        ends = [subprocess.Popen([sys.executable, "-m", "korvo", "teleop", role, port[0], "--peer", peer,
                                  "--data", str(work / f"{role}.npz"), *options],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
                for role, port, peer in (("leader", held, "follower"), ("follower", free, "leader"))]
        for end in ends:
            _, err = end.communicate(timeout=seconds + 120)
            if end.returncode != 0:
                raise RuntimeError(f"an end failed ({end.returncode}): {err.strip()[-500:]}")
    return teleop.load(work / "leader.npz"), teleop.load(work / "follower.npz")


def figures_of(leader: dict, follower: dict) -> dict[str, float]:
    from korvo.ros import teleop

    since, distance = teleop.tracking(leader, follower)
    after = distance[since > 1.0]
    out = {
        "latency_leader_to_follower_p50_ms": float(np.percentile(follower["latency"], 50)) * 1e3,
        "latency_leader_to_follower_p99_ms": float(np.percentile(follower["latency"], 99)) * 1e3,
        "latency_follower_to_leader_p50_ms": float(np.percentile(leader["latency"], 50)) * 1e3,
        "latency_follower_to_leader_p99_ms": float(np.percentile(leader["latency"], 99)) * 1e3,
        "tracking_median_mm": float(np.median(after)) * 1e3,
        "tracking_rms_mm": float(np.sqrt(np.mean(after ** 2))) * 1e3,
    }
    seconds = 0.0
    dissipated = 0.0
    for role, end in (("leader", leader), ("follower", follower)):
        meta = end["meta"]
        out[f"cpu_per_tick_{role}_ms"] = meta["cpu_seconds"] / max(1, meta["cpu_ticks"]) * 1e3
        reports = end["reports"]
        dissipated += float(reports["dissipated"][-1])
        seconds = max(seconds, float(reports["time"][-1] - reports["time"][0]))
    out["dissipated_mw"] = dissipated / seconds * 1e3 if seconds else 0.0
    return out


def main(argv: list[str]) -> dict:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=15.0, help="seconds each pair runs")
    parser.add_argument("--rounds", type=int, default=2, help="turns of the three delays")
    args = parser.parse_args(argv)
    router = f"tcp/127.0.0.1:{free_port()}"
    hub = subprocess.Popen([sys.executable, "-c", ROUTER, router], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    runs: dict[int, list[dict[str, float]]] = {d: [] for d in DELAYS_MS}
    try:
        assert hub.stdout is not None and hub.stdout.readline().strip() == "ready"
        with tempfile.TemporaryDirectory() as work:
            for round_ in range(args.rounds):
                for delay in DELAYS_MS:
                    started = time.monotonic()
                    figures = figures_of(*pair(router, delay, args.seconds, Path(work)))
                    runs[delay].append(figures)
                    print(f"round {round_ + 1}, {delay} ms: " + ", ".join(f"{k} {v:.3f}" for k, v in figures.items())
                          + f" ({time.monotonic() - started:.0f} s)", flush=True)
    finally:
        if hub.stdin is not None:
            hub.stdin.close()
        hub.wait(10)
    summary: dict[str, dict[str, float]] = {}
    for delay, figures in runs.items():
        summary[f"{delay}_ms"] = {key: float(np.median([f[key] for f in figures])) for key in figures[0]}
    print("\nmedians over the rounds:")
    keys = list(summary["0_ms"])
    print(f"  {'':38}" + "".join(f"{d:>10} ms" for d in DELAYS_MS))
    for key in keys:
        print(f"  {key:38}" + "".join(f"{summary[f'{d}_ms'][key]:13.3f}" for d in DELAYS_MS))
    p99 = summary["0_ms"]["latency_leader_to_follower_p99_ms"] / 1e3
    print(f"\nleader tick -> follower tick p99 with nothing added: {p99 * 1e3:.2f} ms, "
          f"{p99 / GOAL_S:.2f} x the goal of {GOAL_S * 1e3:.1f} ms")
    for delay in DELAYS_MS[1:]:
        ratio = summary[f"{delay}_ms"]["tracking_rms_mm"] / summary["0_ms"]["tracking_rms_mm"]
        print(f"tracking RMS with {delay} ms / with none: {ratio:.2f}")
    return {"runs": {str(d): f for d, f in runs.items()}, "summary": summary, "goal_s": GOAL_S}


if __name__ == "__main__":
    result = main(sys.argv[1:])
    if result and os.environ.get("KORVO_BENCH_JSON"):
        print(json.dumps(result))
