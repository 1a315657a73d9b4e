"""The arm exchange, measured three ways on the same pty.

Clients:
  KorvoHardwareAPI  this module, from Python: arm.end_effector_force([0, 0, 0])
  pyserial          what a user would write without the library: pyserial
                    write of the 13-byte request, read of the 25-byte reply,
                    struct decode into two lists
  floor             bench/floor_client.cpp: one write and one blocking read
                    with raw system calls, no framing layer

Figures:
  round trip        against `korvo-sim arm`: latency percentiles, exchanges
                    per second, CPU time of the client per exchange
  software cost     the reply is already waiting in the port (this process
                    plays the device and answers ahead of the request), so
                    the time is what the client itself adds

Rounds alternate between the clients so that drift of the machine is shared.
"""

from __future__ import annotations

import argparse
import json
import struct
import subprocess
import time

import serial

import KorvoHardwareAPI as hw
from common import BUILD, PtyPair, build_tools, simulator, summary, table

REQUEST = b"\x2a" + struct.pack("<3f", 0.0, 0.0, 0.0)
REPLY = b"\x2b" + struct.pack("<6f", 0.1, 0.2, 0.3, 0.0, 0.0, 0.0)


class ModuleClient:
    name = "KorvoHardwareAPI"

    def __init__(self, port: str) -> None:
        self.stream = hw.SerialStream(port)
        self.arm = hw.Arvena(self.stream)

    def run(self, n: int) -> tuple[int, list[int]]:
        exchange, zero, clock = self.arm.end_effector_force, [0.0, 0.0, 0.0], time.perf_counter_ns
        latencies = [0] * n
        cpu = time.process_time_ns()
        for i in range(n):
            start = clock()
            exchange(zero)
            latencies[i] = clock() - start
        return time.process_time_ns() - cpu, latencies

    def close(self) -> None:
        del self.arm, self.stream


class PySerialClient:
    name = "pyserial"

    def __init__(self, port: str) -> None:
        self.port = serial.Serial(port, 115200, timeout=1.0)

    def exchange(self) -> tuple[list[float], list[float]]:
        self.port.write(REQUEST)
        reply = self.port.read(25)
        if len(reply) != 25 or reply[0] != 0x2B:
            raise RuntimeError(f"bad reply {reply!r}")
        values = struct.unpack_from("<6f", reply, 1)
        return list(values[:3]), list(values[3:])

    def run(self, n: int) -> tuple[int, list[int]]:
        exchange, clock = self.exchange, time.perf_counter_ns
        latencies = [0] * n
        cpu = time.process_time_ns()
        for i in range(n):
            start = clock()
            exchange()
            latencies[i] = clock() - start
        return time.process_time_ns() - cpu, latencies

    def close(self) -> None:
        self.port.close()


class FloorClient:
    name = "floor (C++ syscalls)"

    def __init__(self, port: str) -> None:
        self.child = subprocess.Popen(
            [str(BUILD / "bench" / "korvo-bench-floor"), port], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
        )

    def run(self, n: int) -> tuple[int, list[int]]:
        self.child.stdin.write(f"run {n}\n")
        self.child.stdin.flush()
        cpu, *latencies = map(int, self.child.stdout.readline().split())
        return cpu, latencies

    def close(self) -> None:
        self.child.stdin.write("quit\n")
        self.child.stdin.close()
        self.child.wait(5)


CLIENTS = [ModuleClient, PySerialClient, FloorClient]


def round_trip(port: str, exchanges: int, rounds: int) -> dict[str, dict]:
    clients = [kind(port) for kind in CLIENTS]
    results = {c.name: ([], 0, 0) for c in clients}
    try:
        for c in clients:
            c.run(500)  # warm-up
        per_round = exchanges // rounds
        for _ in range(rounds):
            for c in clients:
                start = time.perf_counter_ns()
                cpu, latencies = c.run(per_round)
                wall = time.perf_counter_ns() - start
                lat, cpu_sum, wall_sum = results[c.name]
                results[c.name] = (lat + latencies, cpu_sum + cpu, wall_sum + wall)
    finally:
        for c in clients:
            c.close()
    return {name: summary(lat, cpu, wall) for name, (lat, cpu, wall) in results.items()}


def software_cost(batch: int, batches: int) -> dict[str, dict]:
    pair = PtyPair()
    clients = [kind(pair.path) for kind in CLIENTS]
    results = {c.name: ([], 0) for c in clients}
    try:
        for round_ in range(batches + 2):  # the first two rounds warm up
            for c in clients:
                pair.fill(REPLY * batch)
                cpu, latencies = c.run(batch)
                requests = pair.take(len(REQUEST) * batch)
                assert requests == REQUEST * batch
                if round_ >= 2:
                    lat, cpu_sum = results[c.name]
                    results[c.name] = (lat + latencies, cpu_sum + cpu)
    finally:
        for c in clients:
            c.close()
        pair.close()
    return {name: summary(lat, cpu) for name, (lat, cpu) in results.items()}


def main(argv: list[str] | None = None) -> dict:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exchanges", type=int, default=30000, help="round trips per client")
    parser.add_argument("--rounds", type=int, default=6)
    parser.add_argument("--batch", type=int, default=150, help="replies waiting per software-cost batch")
    parser.add_argument("--batches", type=int, default=100)
    args = parser.parse_args(argv)

    build_tools()
    with simulator("arm") as (port,):
        trips = round_trip(port, args.exchanges, args.rounds)
    costs = software_cost(args.batch, args.batches)

    columns = ["p50_us", "p99_us", "p99.9_us", "per_s", "cpu_us"]
    print(table("Round trip of end_effector_force against korvo-sim arm", trips, columns))
    print()
    print(table("Software cost of one exchange, reply already waiting", costs, ["p50_us", "p99_us", "mean_us", "cpu_us"]))
    module, pyserial, floor = (trips[c.name] for c in CLIENTS)
    ratios = {
        "round trip p50 / floor": module["p50_us"] / floor["p50_us"],
        "round trip p99 / floor": module["p99_us"] / floor["p99_us"],
        "round trip p50 / pyserial": module["p50_us"] / pyserial["p50_us"],
        "software cost / floor (p50)": costs[CLIENTS[0].name]["p50_us"] / costs[CLIENTS[2].name]["p50_us"],
        "software cost / pyserial (p50)": costs[CLIENTS[0].name]["p50_us"] / costs[CLIENTS[1].name]["p50_us"],
    }
    print()
    for name, value in ratios.items():
        print(f"{name:<34}{value:6.2f}")
    return {"round_trip": trips, "software_cost": costs, "ratios": ratios}


if __name__ == "__main__":
    print(json.dumps(main(), indent=2))
