"""The ROS 2 bridge on Zenoh, through a router, on loopback (multicast
scouting off).

One arm (korvo-sim, 1 kHz) and one handle (100 frames a second) behind a
bridge that publishes every topic every tick. The bridge runs in blocks,
taking turns with the same servo loop without a bridge, so that drift of the
machine is shared; a router and a subscriber run in processes of their own.

Figures:
- samples published and lost (by each publisher's sequence numbers);
- publish-to-delivery latency p50/p99 through the router (the attachment's
  source timestamp to the subscriber's callback, one machine's clock);
- the bridge's processor time per tick: the process's time per tick with the
  bridge, less without it;
- servo period p99 and overruns with the bridge and without, and their ratio;
- eight bridges serving eight simulated arms through one router: processor
  time per tick of each, latency p99 and losses on every arm's measured_cf.

    ./dev.sh bench bridge          # or: python bench/ros_bridge.py --seconds 60
"""

from __future__ import annotations

import argparse
import json
import os
import socket
import struct
import subprocess
import sys
import threading
import time
from collections import defaultdict
from pathlib import Path

from common import percentile, simulator

HERE = Path(__file__).resolve()
ROUTER = """
import json, sys, zenoh
c = zenoh.Config()
c.insert_json5("mode", '"router"')
c.insert_json5("scouting/multicast/enabled", "false")
c.insert_json5("listen/endpoints", json.dumps([sys.argv[1]]))
with zenoh.open(c):
    print("ready", flush=True)
    sys.stdin.read()
"""


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


# -- the worker: one servo loop, a bridge in blocks ---------------------------------------------------


def worker(args: argparse.Namespace) -> None:
    import korvo
    from korvo.ros import Bridge, zenoh_wire

    session = zenoh_wire.open_session(connect=args.router)
    monitor = korvo.HandleMonitor(args.handle) if args.handle else None
    if monitor is not None:
        monitor.start()
    with korvo.Servo(args.arm, rate=1000.0) as servo:
        print(json.dumps({"realtime": servo.realtime}), flush=True)
        for block in range(args.blocks):
            bridged = args.always or block % 2 == 0
            bridge = Bridge(servo, monitor, namespace=args.namespace, session=session) if bridged else None
            if bridge is not None:
                bridge.start()
            servo.reset_stats()
            cpu, wall = time.process_time(), time.monotonic()
            time.sleep(args.block_seconds)
            stats = servo.stats
            cpu, wall = time.process_time() - cpu, time.monotonic() - wall
            published = bridge.counts["published"] if bridge is not None else 0
            if bridge is not None:
                bridge.stop()
            print(json.dumps({"bridge": bridged, "ticks": stats.ticks, "cpu": cpu, "wall": wall,
                              "period_p99": stats.period_p99, "overruns": stats.overruns,
                              "published": published}), flush=True)
    if monitor is not None:
        monitor.stop()
    session.close()


class Worker:
    def __init__(self, router: str, arm: str, handle: str | None, namespace: str, blocks: int, block_seconds: float,
                 always: bool) -> None:
        command = [sys.executable, str(HERE), "--worker", "--router", router, "--arm", arm, "--namespace", namespace,
                   "--blocks", str(blocks), "--block-seconds", str(block_seconds)]
        if handle:
            command += ["--handle", handle]
        if always:
            command.append("--always")
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
        self.realtime = json.loads(self.process.stdout.readline())["realtime"]  # type: ignore[union-attr]

    def blocks(self) -> list[dict]:
        out, _ = self.process.communicate(timeout=3600)
        return [json.loads(line) for line in out.splitlines()]


# -- the subscriber ---------------------------------------------------------------------------------------


class Subscriber:
    """Counts every sample under `keys` by publisher and sequence number, and
    its latency from the attachment's source timestamp."""

    def __init__(self, router: str, keys: str) -> None:
        import zenoh

        from korvo.ros import zenoh_wire

        self.session = zenoh_wire.open_session(connect=router)
        self.lock = threading.Lock()
        self.sequences: dict[tuple[str, bytes], list[int]] = defaultdict(list)
        self.latencies: list[int] = []
        self.cpu = 0.0
        unpack = struct.Struct("<qqB16s").unpack

        def on_sample(sample: zenoh.Sample) -> None:
            now = time.time_ns()
            attachment = sample.attachment
            if attachment is None:
                return
            sequence, stamp, _, gid = unpack(attachment.to_bytes())
            with self.lock:
                self.latencies.append(now - stamp)
                self.sequences[(str(sample.key_expr), gid)].append(sequence)

        self.subscriber = self.session.declare_subscriber(keys, on_sample)

    def figures(self) -> dict:
        with self.lock:
            received = sum(len(s) for s in self.sequences.values())
            lost = sum(max(s) - min(s) + 1 - len(set(s)) for s in self.sequences.values())
            out_of_order = sum(sum(b <= a for a, b in zip(s, s[1:])) for s in self.sequences.values())
            ordered = sorted(self.latencies)
        return {
            "received": received,
            "lost": lost,
            "out_of_order": out_of_order,
            "latency_p50_us": percentile(ordered, 50) / 1e3 if ordered else 0.0,
            "latency_p99_us": percentile(ordered, 99) / 1e3 if ordered else 0.0,
            "latency_max_us": ordered[-1] / 1e3 if ordered else 0.0,
        }

    def close(self) -> None:
        self.subscriber.undeclare()
        self.session.close()


def start_router() -> tuple[subprocess.Popen, str]:
    endpoint = f"tcp/127.0.0.1:{free_port()}"
    router = subprocess.Popen([sys.executable, "-c", ROUTER, endpoint], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              text=True)
    assert router.stdout is not None and router.stdout.readline().strip() == "ready"
    return router, endpoint


def stop_router(router: subprocess.Popen) -> None:
    assert router.stdin is not None
    router.stdin.close()
    router.wait(timeout=30)


# -- the runs ---------------------------------------------------------------------------------------------


def one_bridge(seconds: float, block_seconds: float) -> dict:
    blocks = 2 * max(1, round(seconds / block_seconds))
    router, endpoint = start_router()
    try:
        with simulator("arm", "handle") as (arm, handle):
            subscriber = Subscriber(endpoint, "0/**")
            worker = Worker(endpoint, arm, handle, "arm", blocks, block_seconds, always=False)
            results = worker.blocks()
            time.sleep(0.5)
            delivery = subscriber.figures()
            subscriber.close()
    finally:
        stop_router(router)
    on = [b for b in results if b["bridge"]]
    off = [b for b in results if not b["bridge"]]

    def per_tick(rows: list[dict]) -> float:
        return sum(r["cpu"] for r in rows) / max(1, sum(r["ticks"] for r in rows))

    def median(values: list[float]) -> float:
        return sorted(values)[len(values) // 2]

    p99_on = median([b["period_p99"] for b in on])
    p99_off = median([b["period_p99"] for b in off])
    return {
        "bridge_seconds": sum(b["wall"] for b in on),
        "ticks_bridged": sum(b["ticks"] for b in on),
        "published": sum(b["published"] for b in on),
        **delivery,
        "process_cpu_per_tick_us_with": per_tick(on) * 1e6,
        "process_cpu_per_tick_us_without": per_tick(off) * 1e6,
        "bridge_cpu_per_tick_us": (per_tick(on) - per_tick(off)) * 1e6,
        "servo_period_p99_us_with": p99_on * 1e6,
        "servo_period_p99_us_without": p99_off * 1e6,
        "servo_period_p99_ratio": p99_on / p99_off if p99_off else 0.0,
        "overruns_with": sum(b["overruns"] for b in on),
        "overruns_without": sum(b["overruns"] for b in off),
        "realtime": worker.realtime,
    }


def eight_bridges(seconds: float, count: int) -> dict:
    router, endpoint = start_router()
    try:
        with simulator(*["arm"] * count) as arms:
            # Every arm's measured_cf: a subscriber in Python could not keep
            # up with every topic of eight arms, and would measure itself.
            subscriber = Subscriber(endpoint, "0/*/measured_cf/**")
            workers = [Worker(endpoint, arm, None, f"arm_{i + 1}", 1, seconds, always=True) for i, arm in enumerate(arms)]
            results = [w.blocks()[0] for w in workers]
            time.sleep(0.5)
            delivery = subscriber.figures()
            subscriber.close()
    finally:
        stop_router(router)
    return {
        "bridges": count,
        "seconds": seconds,
        "process_cpu_per_tick_us_mean": sum(r["cpu"] / r["ticks"] for r in results) / count * 1e6,
        "process_cpu_percent_total": sum(r["cpu"] / r["wall"] for r in results) * 100,
        "servo_period_p99_us_worst": max(r["period_p99"] for r in results) * 1e6,
        "overruns": sum(r["overruns"] for r in results),
        **{f"measured_cf_{k}": v for k, v in delivery.items()},
    }


def main(argv: list[str]) -> dict:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=60.0, help="seconds with the bridge (as many without)")
    parser.add_argument("--block-seconds", type=float, default=5.0)
    parser.add_argument("--eight-seconds", type=float, default=20.0, help="seconds of the eight bridges")
    parser.add_argument("--bridges", type=int, default=8)
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--router", help=argparse.SUPPRESS)
    parser.add_argument("--arm", help=argparse.SUPPRESS)
    parser.add_argument("--handle", help=argparse.SUPPRESS)
    parser.add_argument("--namespace", help=argparse.SUPPRESS)
    parser.add_argument("--blocks", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--always", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        worker(args)
        return {}
    figures = {"one": one_bridge(args.seconds, args.block_seconds)}
    print("one bridge, every topic every tick at 1 kHz, through a router:")
    for key, value in figures["one"].items():
        print(f"  {key:34} {value:.2f}" if isinstance(value, float) else f"  {key:34} {value}")
    figures["eight"] = eight_bridges(args.eight_seconds, args.bridges)
    print(f"{args.bridges} bridges, {args.bridges} simulated arms, one router:")
    for key, value in figures["eight"].items():
        print(f"  {key:34} {value:.2f}" if isinstance(value, float) else f"  {key:34} {value}")
    return figures


if __name__ == "__main__":
    result = main(sys.argv[1:])
    if result and os.environ.get("KORVO_BENCH_JSON"):
        print(json.dumps(result))
