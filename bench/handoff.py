"""Handing values to the servo thread: what the reads cost per tick, and
whether writers busy on another core disturb the loop.

Cost: the servo thread's reads per tick (the commanded force, the limits,
eight effects' parameters) through the SeqLocks they crossed before and
through the Mailboxes they cross now, in alternating rounds, with no writer
and with a writer busy all the while (bench/handoff.cpp).

Loop: a 1 kHz loop with eight springs against `korvo-sim arm`, in blocks of
2000 ticks that take turns: nobody writing; four "spinners" that do what
the writers do (build parameters, contend for locks among themselves) but
hand nothing to the loop; four threads setting the springs' parameters as
fast as they can. On a machine with fewer free cores than busy threads, the
contention alone slows what carries the loop's bytes (the kernel's tty
workers, the simulator): writers against spinners is what the hand-off
itself costs the loop, writers against idle what the machine adds.

    ./dev.sh bench handoff
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import sys

from common import build_tools, simulator


def run(arguments: list[str]) -> list[list[str]]:
    tool = build_tools() / "bench" / "korvo-bench-handoff"
    done = subprocess.run([str(tool), *arguments], check=True, capture_output=True, text=True)
    return [line.split() for line in done.stdout.splitlines()]


def main(argv: list[str]) -> dict[str, object]:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--ticks", type=int, default=2000)
    parser.add_argument("--blocks", type=int, default=5)
    args = parser.parse_args(argv)

    figures: dict[str, object] = {}
    cost: dict[tuple[str, str], list[float]] = {}
    for kind, writer, ns in run(["cost", str(args.rounds)]):
        cost.setdefault((kind, writer), []).append(float(ns))
    print(f"{'reads per tick':24} {'writer':8} {'median ns':>10}")
    for (kind, writer), values in sorted(cost.items()):
        print(f"{kind:24} {writer:8} {statistics.median(values):10.2f}")
        figures[f"{kind}_{writer}_ns"] = statistics.median(values)
    for writer in ("idle", "busy"):
        ratio = statistics.median(cost[("mailbox", writer)]) / statistics.median(cost[("seqlock", writer)])
        figures[f"ratio_{writer}"] = ratio
        print(f"Mailbox / SeqLock, writer {writer}: {ratio:.2f}")

    with simulator("--realtime", "60", "arm") as (port,):
        rows = run(["loop", port, str(args.ticks), str(args.blocks)])
    blocks: dict[str, list[tuple[float, int, int, int]]] = {}
    for mode, p99, over, ticks, writes in rows:
        blocks.setdefault(mode, []).append((float(p99), int(over), int(ticks), int(writes)))
    print(f"\n{'loop':8} {'p99 (median of blocks)':>24} {'overruns per 2000':>18} {'writes per s':>13}")
    for mode, values in blocks.items():
        p99 = statistics.median(v[0] for v in values)
        over = sum(v[1] for v in values) / sum(v[2] for v in values) * 2000
        writes = sum(v[3] for v in values) / (sum(v[2] for v in values) / 1000.0)
        figures[f"loop_{mode}_p99"] = p99
        figures[f"loop_{mode}_overruns_per_2000"] = over
        print(f"{mode:8} {p99 * 1e3:21.3f} ms {over:18.2f} {writes:13.0f}")
    figures["loop_p99_ratio"] = figures["loop_writers_p99"] / figures["loop_idle_p99"]  # type: ignore[operator]
    figures["loop_p99_ratio_spinners"] = figures["loop_writers_p99"] / figures["loop_spinners_p99"]  # type: ignore[operator]
    print(f"p99 writers / idle: {figures['loop_p99_ratio']:.3f}")
    print(f"p99 writers / spinners: {figures['loop_p99_ratio_spinners']:.3f}")
    return figures


if __name__ == "__main__":
    main(sys.argv[1:])
