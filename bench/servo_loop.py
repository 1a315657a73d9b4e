"""The servo loop: native (korvo.Servo) against a Python loop through
KorvoHardwareAPI, at 1 kHz and 4 kHz, idle and beside a Python workload.

Every configuration runs in a process of its own against its own `korvo-sim
arm`; they take turns in blocks of ticks, so that drift of the machine is
shared. A C client (bench/paced_client.cpp, spin 50 us then sleep in poll)
runs beside them at each rate: its processor time per tick is what the
exchange itself costs. The same client with no exchange at all, at the
native loop's priority ("sleep alone"), shows how steady a loop that only
sleeps can be on this machine: no loop's periods can do better.

Figures per configuration: achieved rate; period p50/p99/p99.9/max (ms);
periods over 1.5x nominal; processor time per tick (the client process's,
idle configurations only: with a workload the process also pays for it);
exchange p50/p99 (us); failed exchanges.

Also: how fast `korvo-sim arm` turns a request around on its own (the C
client back to back), to show it is not what limits 4 kHz.

    ./dev.sh bench servo            # or: python bench/servo_loop.py --help
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

from common import BUILD, ClientProcess, build_tools, paced_line, percentile, period_figures, simulator

HERE = Path(__file__).resolve().parent


class Client(ClientProcess):
    def __init__(self, name: str, command: list[str], rate: float, protocol: str) -> None:
        super().__init__(name, command)
        self.rate, self.protocol = rate, protocol
        self.periods: list[float] = []
        self.exchanges: list[float] = []
        self.cpu = 0.0
        self.ticks = self.failed = self.dropped = 0
        self.realtime = False

    def run(self, ticks: int, keep: bool = True) -> None:
        if self.protocol == "json":
            r = json.loads(self.ask(f"run {ticks}"))
            periods, exchanges, cpu = r["periods"], r["exchanges"], r["cpu"]
            failed, dropped, self.realtime = r["failed"], r["dropped"], r["realtime"]
        else:  # paced_client.cpp
            cpu_ns, exchanges_ns, periods_ns = paced_line(self.ask(f"run {ticks} {self.rate}"), ticks)
            exchanges = [x / 1e9 for x in exchanges_ns]
            periods = [x / 1e9 for x in periods_ns]
            cpu, failed, dropped = cpu_ns / 1e9, 0, 0
        if keep:
            self.periods += periods
            self.exchanges += exchanges
            self.cpu += cpu
            self.ticks += len(exchanges)
            self.failed += failed
            self.dropped += dropped

    def figures(self) -> dict:
        exch = sorted(self.exchanges)
        return {
            "rate_hz": len(self.periods) / sum(self.periods) if self.periods else 0.0,
            **period_figures(self.periods, 1.0 / self.rate, 1e3),
            "periods": len(self.periods),
            "cpu_per_tick_us": self.cpu / max(self.ticks, 1) * 1e6,
            "exchange_p50_us": percentile(exch, 50) * 1e6,
            "exchange_p99_us": percentile(exch, 99) * 1e6,
            "failed": self.failed,
            "dropped": self.dropped,
            "realtime": self.realtime,
        }


def main(argv: list[str] | None = None) -> dict:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=5.0, help="seconds of ticks per configuration")
    parser.add_argument("--blocks", type=int, default=5, help="turns per configuration")
    parser.add_argument(
        "--sim-realtime",
        type=int,
        default=60,
        help="korvo-sim's --realtime priority (below the loop's 80): a device answers at once, and a simulator at "
        "normal priority does not when the machine is busy; 0 measures with that cost",
    )
    parser.add_argument(
        "--cpu-latency",
        action="store_true",
        help="hold a PM QoS request on /dev/cpu_dma_latency for the whole run, as the native loop does while it "
        "runs, so that every client is measured with the CPUs kept out of deep idle states",
    )
    parser.add_argument(
        "--tty-workers-fifo",
        type=int,
        default=0,
        metavar="PRIO",
        help="for the run, put the kernel's worker threads (which carry every byte between the two ends of a tty) "
        "at SCHED_FIFO PRIO, as a real-time setup would, and put them back after (root only; 0: leave them)",
    )
    args = parser.parse_args(argv)

    build_tools()
    raised = raise_tty_workers(args.tty_workers_fifo) if args.tty_workers_fifo > 0 else []
    try:
        return measure(args)
    finally:
        for pid in raised:
            try:
                os.sched_setscheduler(pid, os.SCHED_OTHER, os.sched_param(0))
            except OSError:
                pass  # the worker has gone


def raise_tty_workers(priority: int) -> list[int]:
    """Puts every kworker thread at SCHED_FIFO priority; returns those it moved.

    A tty's bytes reach the other end through a kernel work item, run by a
    kworker at normal priority: under load from other programs it waits its
    turn behind them, and so does the real-time loop's reply."""
    raised = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            if not (entry / "comm").read_text().startswith("kworker"):
                continue
            pid = int(entry.name)
            if os.sched_getscheduler(pid) != os.SCHED_OTHER:
                continue
            os.sched_setscheduler(pid, os.SCHED_FIFO, os.sched_param(priority))
            raised.append(pid)
        except OSError:
            continue  # gone meanwhile, or not ours to change
    print(f"{len(raised)} kernel workers at SCHED_FIFO {priority} for the run", flush=True)
    return raised


@contextmanager
def cpu_latency_request(wanted: bool) -> Iterator[None]:
    """Holds a PM QoS request for no CPU wake-up latency while the block runs,
    when `wanted` and the machine allows it: the request lasts as long as the
    descriptor is open."""
    qos = None
    if wanted:
        try:
            qos = os.open("/dev/cpu_dma_latency", os.O_WRONLY)
            os.write(qos, (0).to_bytes(4, "little"))
        except OSError as e:
            print(f"no CPU latency request ({e}): measuring without", flush=True)
    try:
        yield
    finally:
        if qos is not None:
            os.close(qos)


def measure(args: argparse.Namespace) -> dict:
    configs = []
    for rate in (1000.0, 4000.0):
        for kind in ("native", "python"):
            for load in (False, True):
                configs.append((f"{kind} {rate / 1000:.0f} kHz{' + workload' if load else ''}", kind, rate, load))
        configs.append((f"native {rate / 1000:.0f} kHz normal prio", "native-normal", rate, False))
        configs.append((f"native {rate / 1000:.0f} kHz 0.9-period deadline", "native-short", rate, False))
        configs.append((f"C client {rate / 1000:.0f} kHz", "c", rate, False))
        configs.append((f"sleep alone {rate / 1000:.0f} kHz", "timer", rate, False))

    with cpu_latency_request(args.cpu_latency), simulator("--realtime", str(args.sim_realtime), *(["arm"] * (len(configs) + 1))) as ports:
        clients = []
        for (name, kind, rate, load), port in zip(configs, ports):
            if kind in ("c", "timer"):
                command = [str(BUILD / "bench" / "korvo-bench-paced"), port, "sleep" if kind == "c" else "timer"]
                clients.append(Client(name, command, rate, "paced"))
            else:
                command = [sys.executable, str(HERE / "servo_client.py"), port, kind.split("-")[0], str(rate)]
                if load:
                    command.append("--workload")
                if kind == "native-normal":
                    command.append("--normal-priority")
                if kind == "native-short":
                    command.append("--short-deadline")
                clients.append(Client(name, command, rate, "json"))
        try:
            for c in clients:
                c.run(int(c.rate * 0.2), keep=False)  # warm-up
            for _ in range(args.blocks):
                for c in clients:
                    c.run(int(c.rate * args.seconds / args.blocks))
        finally:
            for c in clients:
                c.close(20)
        # The simulator's own turnaround: a C client back to back.
        turnaround = Client("C back to back", [str(BUILD / "bench" / "korvo-bench-paced"), ports[-1], "sleep"], 1e6, "paced")
        try:
            turnaround.run(20000)
        finally:
            turnaround.close(20)

    figures = {c.name: c.figures() for c in clients}
    back = turnaround.figures()
    columns = ["rate_hz", "period_p50_ms", "period_p99_ms", "period_p99.9_ms", "period_max_ms", "over_1.5x",
               "cpu_per_tick_us", "exchange_p50_us", "exchange_p99_us", "failed"]
    print(f"\nServo loops against korvo-sim arm, {args.seconds:.0f} s each, in {args.blocks} turns")
    print(f"{'':28}" + "".join(f"{c:>16}" for c in columns))
    for name, f in figures.items():
        print(f"{name:28}" + "".join(f"{float(f[c]):>16.3f}" for c in columns))
    print(f"\nnative loop real-time priority: {figures['native 1 kHz']['realtime']}")
    print(f"korvo-sim back to back: {back['rate_hz']:.0f} exchanges/s, exchange p50 {back['exchange_p50_us']:.1f} us, "
          f"p99 {back['exchange_p99_us']:.1f} us")

    n1, n1w, n4, n4w = (figures[k] for k in ("native 1 kHz", "native 1 kHz + workload", "native 4 kHz", "native 4 kHz + workload"))
    p1, p1w = figures["python 1 kHz"], figures["python 1 kHz + workload"]
    c1, c4 = figures["C client 1 kHz"], figures["C client 4 kHz"]
    ratios = {
        "native 1 kHz period p99 / nominal (goal <= 1.05)": n1["period_p99_ms"] / 1.0,
        "native 1 kHz + workload period p99 / nominal (goal <= 1.05)": n1w["period_p99_ms"] / 1.0,
        "python 1 kHz + workload period p99 / nominal": p1w["period_p99_ms"] / 1.0,
        "native 1 kHz periods over 1.5x per 2000 (goal <= 1)": 2000 * n1["over_1.5x"] / max(n1["periods"], 1),
        "native 1 kHz + workload periods over 1.5x per 2000 (goal <= 1)": 2000 * n1w["over_1.5x"] / max(n1w["periods"], 1),
        "sleep alone 1 kHz periods over 1.5x per 2000 (the machine's floor)": 2000
        * figures["sleep alone 1 kHz"]["over_1.5x"]
        / max(figures["sleep alone 1 kHz"]["periods"], 1),
        "sleep alone 4 kHz period p99 / nominal (the machine's floor)": figures["sleep alone 4 kHz"]["period_p99_ms"]
        / 0.25,
        "native 4 kHz achieved kHz (goal >= 3.9)": n4["rate_hz"] / 1000,
        "native 4 kHz period p99 / nominal (goal <= 1.2)": n4["period_p99_ms"] / 0.25,
        "native 4 kHz + workload period p99 / nominal": n4w["period_p99_ms"] / 0.25,
        "native 1 kHz CPU per tick / C client's (goal <= 1.3)": n1["cpu_per_tick_us"] / c1["cpu_per_tick_us"],
        "native 4 kHz CPU per tick / C client's (goal <= 1.3)": n4["cpu_per_tick_us"] / c4["cpu_per_tick_us"],
        "native 1 kHz normal prio CPU per tick / C client's (same priority)": figures["native 1 kHz normal prio"][
            "cpu_per_tick_us"
        ]
        / c1["cpu_per_tick_us"],
        "native 4 kHz normal prio CPU per tick / C client's (same priority)": figures["native 4 kHz normal prio"][
            "cpu_per_tick_us"
        ]
        / c4["cpu_per_tick_us"],
        "python 1 kHz CPU per tick / native's": p1["cpu_per_tick_us"] / n1["cpu_per_tick_us"],
        "C back-to-back exchanges/s / 4000 (the simulator's headroom)": back["rate_hz"] / 4000,
    }
    print()
    for name, value in ratios.items():
        print(f"{name:<68}{value:8.3f}")
    return {"configurations": figures, "simulator_back_to_back": back, "ratios": ratios}


if __name__ == "__main__":
    sys.path.insert(0, str(HERE))
    print(json.dumps(main(), indent=2))
