"""What effects cost the servo thread, and what the handle monitor costs.

Effects: the evaluation of 0, 4 and 16 effects per tick, timed alone in C++
(bench/effects_cost.cpp), and the servo thread's processor time per tick
with 0, 4 and 16 effects against `korvo-sim arm`, in turns.

Handle monitor: the processor time of a process that runs a
korvo.HandleMonitor on a handle streaming 100 and 1000 frames per second
(the main thread sleeps), beside one that reads the same stream by calling
GetStylarStatus in a loop, and (with --baseline) one that does so with the
library from before its waits slept, which spins; in turns.

    ./dev.sh bench effects
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
from pathlib import Path

from common import BUILD, STATUS_LOOP, baseline_module, build_tools, percentile, run_python, simulator

HERE = Path(__file__).resolve().parent

SERVO_CPU = """
import sys, time, korvo
port, n, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
with korvo.Servo(port, rate=1000) as servo:
    rest = servo.state.position
    kinds = [lambda: korvo.Spring(target=rest, stiffness=150, damping=4),
             lambda: korvo.Plane(point=(0, 0, rest[2] + 0.01), normal=(0, 0, -1), stiffness=1500, damping=8),
             lambda: korvo.Sphere(center=rest, radius=0.05, stiffness=500),
             lambda: korvo.Damper(viscosity=1.0)]
    for i in range(n):
        servo.add(kinds[i % 4]())
    time.sleep(0.3)
    t0 = servo.state.tick
    cpu0 = time.clock_gettime(time.CLOCK_PROCESS_CPUTIME_ID)
    time.sleep(seconds)
    cpu1 = time.clock_gettime(time.CLOCK_PROCESS_CPUTIME_ID)
    ticks = servo.state.tick - t0
print((cpu1 - cpu0) / ticks * 1e6)
"""

MONITOR_CPU = """
import sys, time, korvo
with korvo.HandleMonitor(sys.argv[1]) as monitor:
    time.sleep(0.3)
    monitor.events()
    cpu, wall, frames = time.process_time(), time.monotonic(), monitor.counts["frames"]
    while time.monotonic() - wall < float(sys.argv[2]):
        time.sleep(1 / 60)
        monitor.events()
    print(100 * (time.process_time() - cpu) / (time.monotonic() - wall), monitor.counts["frames"] - frames)
"""


def median(values: list[float]) -> float:
    return percentile(sorted(values), 50)


def main(argv: list[str] | None = None) -> dict:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--turns", type=int, default=3)
    parser.add_argument("--baseline", default=None, help="git revision of a spinning library to compare with")
    args = parser.parse_args(argv)
    build_tools()

    alone = {}
    for line in subprocess.run([str(BUILD / "bench" / "korvo-bench-effects")], check=True, capture_output=True, text=True).stdout.splitlines():
        n, ns, _ = line.split()
        alone[int(n)] = float(ns)

    servo = {0: [], 4: [], 16: []}
    with simulator("--realtime", "60", "arm") as (port,):
        for _ in range(args.turns):
            for n in servo:
                servo[n].append(run_python(SERVO_CPU, port, str(n), str(args.seconds))[0])

    readers = {"monitor": (MONITOR_CPU, None), "status_loop": (STATUS_LOOP, None)}
    if args.baseline:
        readers["spinning_loop"] = (STATUS_LOOP, baseline_module(args.baseline))
    monitor = {}
    for rate in (100, 1000):
        monitor[rate] = {f"{name}_{figure}": [] for name in readers for figure in ("cpu_percent", "frames")}
        with simulator("handle", "--rate", str(rate)) as (port,):
            for _ in range(args.turns):
                for name, (code, lib) in readers.items():
                    cpu, frames = run_python(code, port, str(args.seconds), lib=lib)
                    monitor[rate][f"{name}_cpu_percent"].append(cpu)
                    monitor[rate][f"{name}_frames"].append(frames)

    print("\nEffects: evaluating the stack alone (ns per tick)")
    for n, ns in alone.items():
        print(f"  {n:2d} effects: {ns:8.1f} ns")
    print(f"  16 effects add {(alone[16] - alone[0]) / 1000:.3f} us per tick (goal: under 5 us)")
    print("\nServo loop at 1 kHz against korvo-sim arm: process CPU per tick (us), each turn")
    for n, values in servo.items():
        print(f"  {n:2d} effects: " + "  ".join(f"{v:6.1f}" for v in values) + f"   median {median(values):6.1f}")
    print(f"\nHandle monitor: processor time while the handle streams (% of a core), median of {args.turns} turns")
    for rate, f in monitor.items():
        m = {name: median(values) for name, values in f.items()}
        line = (f"  {rate:4d} frames/s: monitor {m['monitor_cpu_percent']:5.2f} % ({m['monitor_frames']:.0f} frames), "
                f"GetStylarStatus loop {m['status_loop_cpu_percent']:5.2f} % ({m['status_loop_frames']:.0f} frames)")
        if "spinning_loop_cpu_percent" in m:
            line += f", spinning library {m['spinning_loop_cpu_percent']:5.1f} %"
        print(line)
    return {"effects_alone_ns": alone, "servo_cpu_per_tick_us": servo, "monitor": monitor}


if __name__ == "__main__":
    sys.path.insert(0, str(HERE))
    print(json.dumps(main(), indent=2))
