"""Waiting for replies: a paced 1 kHz loop, and what a wait costs.

Paced loop. Each client runs a 1 kHz loop of force exchanges against its own
`korvo-sim arm`, in a process of its own; the clients take turns in blocks
of ticks, so drift of the machine is shared:

  module          KorvoHardwareAPI from Python (bench/paced_python.py)
  C spin          raw system calls, waiting by polling the byte count without
                  sleeping: a wait that never leaves the processor
  C spin+sleep    raw system calls, polling for 50 us, then sleeping in poll()
                  with VMIN at the reply's length: how the library waits
  Python empty    the Python loop without the exchange: what the interpreter
                  and the pacing cost on their own

Figures: exchange p50/p99, loop period p99/p99.9, periods over 1.5x the
nominal period, processor time per tick (the client process's own).

Back to back. The module as it is and the module at --baseline (a git
revision built into build/bench/), exchanging back to back against one
simulator, in alternating blocks.

Waits. Processor time of a silent 1 s wait (read_raw on a port that never
answers), and of GetStylarStatus called in a loop on a handle streaming 100
frames per second, for both copies of the module.

    ./dev.sh bench paced                 # or: python bench/paced_loop.py --help
"""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

from common import (
    BUILD,
    STATUS_LOOP,
    ClientProcess,
    baseline_module,
    build_tools,
    module_env,
    paced_line,
    percentile,
    period_figures,
    run_python,
    simulator,
)

HERE = Path(__file__).resolve().parent
DEFAULT_BASELINE = "2de17dd"  # the library before its waits slept


# -- the clients ------------------------------------------------------------------------------


class Client(ClientProcess):
    """A client process speaking the run/quit protocol of paced_client.cpp."""

    def run(self, ticks: int, hz: float) -> tuple[int, list[int], list[int]]:
        return paced_line(self.ask(f"run {ticks} {hz}"), ticks)


def python_client(name: str, port: str, mode: str, lib: Path | None = None) -> Client:
    return Client(name, [sys.executable, str(HERE / "paced_python.py"), port, mode], module_env(lib))


def c_client(name: str, port: str, mode: str) -> Client:
    return Client(name, [str(BUILD / "bench" / "korvo-bench-paced"), port, mode])


def figures(cpu: int, latencies: list[int], periods: list[int], period_ns: float) -> dict:
    lat = sorted(latencies)
    out = {
        "ticks": len(latencies),
        "exchange_p50_us": percentile(lat, 50) / 1e3,
        "exchange_p99_us": percentile(lat, 99) / 1e3,
        "cpu_per_tick_us": cpu / len(latencies) / 1e3,
    }
    if periods:
        out.update(period_figures(periods, period_ns, 1e-6))
    return out


def take_turns(clients: list[Client], ticks: int, block: int, hz: float) -> dict[str, dict]:
    """Runs every client for `ticks` ticks, in blocks, one client at a time."""
    totals = {c.name: [0, [], []] for c in clients}
    for c in clients:
        c.run(200, hz)  # warm-up
    for _ in range(max(1, ticks // block)):  # at least one turn, however short the run
        for c in clients:
            cpu, lat, per = c.run(block, hz)
            totals[c.name][0] += cpu
            totals[c.name][1] += lat
            totals[c.name][2] += per
    return {name: figures(cpu, lat, per, 1e9 / hz) for name, (cpu, lat, per) in totals.items()}


# -- what a wait costs ------------------------------------------------------------------------------

SILENT_WAIT = """
import os, time, tty, KorvoHardwareAPI as hw
master, slave = os.openpty(); tty.setraw(slave)
arm = hw.Arvena(hw.SerialStream(os.ttyname(slave)), 1.0)
cpu = time.process_time()
arm.read_raw(1, 1.0)
print((time.process_time() - cpu) * 1e3)
"""

# -- the run -----------------------------------------------------------------------------------------------


def main(argv: list[str] | None = None) -> dict:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--ticks", type=int, default=5000, help="paced ticks per client")
    parser.add_argument("--block", type=int, default=500, help="ticks per turn")
    parser.add_argument("--rate", type=float, default=1000.0)
    parser.add_argument("--exchanges", type=int, default=20000, help="back-to-back exchanges per copy")
    parser.add_argument("--baseline", default=DEFAULT_BASELINE, help="git revision to compare with")
    args = parser.parse_args(argv)

    build_tools()
    baseline = baseline_module(args.baseline)

    with simulator("arm", "arm", "arm", "arm") as ports:
        clients = [
            python_client("module", ports[0], "module"),
            c_client("C spin", ports[1], "spin"),
            c_client("C spin+sleep", ports[2], "sleep"),
            python_client("Python empty", ports[3], "empty"),
        ]
        try:
            paced = take_turns(clients, args.ticks, args.block, args.rate)
        finally:
            for c in clients:
                c.close()

    with simulator("arm", "arm") as ports:
        clients = [
            python_client("module now", ports[0], "back-to-back"),
            python_client(f"module at {args.baseline}", ports[1], "back-to-back", baseline),
        ]
        try:
            back = take_turns(clients, args.exchanges, args.exchanges // 10, 1.0)
        finally:
            for c in clients:
                c.close()

    waits = {}
    with simulator("handle") as (handle_port,):
        for name, lib in [("module now", None), (f"module at {args.baseline}", baseline)]:
            silent = min(run_python(SILENT_WAIT, lib=lib)[0] for _ in range(3))
            status_cpu, frames = run_python(STATUS_LOOP, handle_port, "3.0", lib=lib)
            waits[name] = {"silent_1s_wait_cpu_ms": silent, "status_loop_cpu_percent": status_cpu, "frames_in_3s": frames}

    columns = ["exchange_p50_us", "exchange_p99_us", "period_p99_ms", "period_p99.9_ms", "over_1.5x", "cpu_per_tick_us"]
    print(f"\nPaced loop at {args.rate:.0f} Hz, {args.ticks} ticks per client, against korvo-sim arm")
    print(f"{'':16}" + "".join(f"{c:>17}" for c in columns))
    for name, f in paced.items():
        print(f"{name:16}" + "".join(f"{f.get(c, float('nan')):>17.3f}" for c in columns))
    print("\nBack to back")
    for name, f in back.items():
        print(f"{name:24} p50 {f['exchange_p50_us']:8.1f} us   p99 {f['exchange_p99_us']:8.1f} us   cpu {f['cpu_per_tick_us']:6.1f} us")
    print("\nWaits")
    for name, f in waits.items():
        print(f"{name:24} silent 1 s wait: {f['silent_1s_wait_cpu_ms']:7.2f} ms of CPU   "
              f"GetStylarStatus at 100 frames/s: {f['status_loop_cpu_percent']:6.2f} % of a core ({f['frames_in_3s']:.0f} frames)")

    module, sleep, empty = paced["module"], paced["C spin+sleep"], paced["Python empty"]
    now, then = back["module now"], back[f"module at {args.baseline}"]
    ratios = {
        "module exchange p99 / C spin+sleep (goal <= 1.5)": module["exchange_p99_us"] / sleep["exchange_p99_us"],
        "module long periods / C spin+sleep, +1 each (goal <= 1.5)": (module["over_1.5x"] + 1) / (sleep["over_1.5x"] + 1),
        "module CPU per tick / (C spin+sleep + Python empty) (goal <= 1.5)": module["cpu_per_tick_us"]
        / (sleep["cpu_per_tick_us"] + empty["cpu_per_tick_us"]),
        "back-to-back p50 now / baseline (goal <= 1.1)": now["exchange_p50_us"] / then["exchange_p50_us"],
        "C spin exchange p99 / C spin+sleep": paced["C spin"]["exchange_p99_us"] / sleep["exchange_p99_us"],
    }
    print()
    for name, value in ratios.items():
        print(f"{name:<70}{value:7.2f}")
    return {"paced": paced, "back_to_back": back, "waits": waits, "ratios": ratios}


if __name__ == "__main__":
    sys.path.insert(0, str(HERE))
    print(json.dumps(main(), indent=2))
