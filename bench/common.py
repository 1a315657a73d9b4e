"""Shared pieces of the benchmarks: building their tools, starting the
simulator, a pty pair to play a device on, programs run in a process of
their own, and the statistics they print."""

from __future__ import annotations

import fcntl
import os
import struct
import subprocess
import sys
import termios
import time
import tty
from contextlib import contextmanager
from pathlib import Path

from korvo_sim import Simulator

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"


def build_tools() -> Path:
    """Builds the C++ benchmark clients in build/bench."""
    subprocess.run(
        ["cmake", "-S", str(ROOT), "-B", str(BUILD), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release", "-DKORVO_BUILD_BENCH=ON"],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    subprocess.run(
        ["cmake", "--build", str(BUILD), "--target", "korvo-bench-floor", "korvo-bench-paced", "korvo-bench-effects"], check=True, stdout=subprocess.DEVNULL
    )
    return BUILD


@contextmanager
def simulator(*arguments: str):
    """Runs korvo-sim with `arguments`; yields the slave path of each device."""
    with Simulator(*arguments) as sim:
        yield [path for _, path in sim.ports]


class PtyPair:
    """A pty whose master this process holds, to play a device."""

    def __init__(self) -> None:
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)

    def pending(self) -> int:
        return struct.unpack("i", fcntl.ioctl(self.slave, termios.FIONREAD, b"\0\0\0\0"))[0]

    def fill(self, data: bytes) -> None:
        """Queues `data` for the client and waits until all of it is there."""
        os.write(self.master, data)
        deadline = time.monotonic() + 5
        while self.pending() < len(data):
            if time.monotonic() > deadline:
                raise RuntimeError("the pty did not take the prefilled replies")

    def take(self, n: int) -> bytes:
        out = bytearray()
        while len(out) < n:
            out += os.read(self.master, n - len(out))
        return bytes(out)

    def close(self) -> None:
        os.close(self.master)
        os.close(self.slave)


# GetStylarStatus called in a loop on the handle at argv[1] for argv[2]
# seconds; prints the process's CPU use (% of a core) and the good frames.
STATUS_LOOP = """
import sys, time, KorvoHardwareAPI as hw
handle = hw.Handle(hw.SerialStream(sys.argv[1]))
handle.GetStylarStatus()
cpu, wall, frames = time.process_time(), time.monotonic(), 0
while time.monotonic() - wall < float(sys.argv[2]):
    frames += handle.GetStylarStatus()["error_flag"] not in (99, 2, 3)
print(100 * (time.process_time() - cpu) / (time.monotonic() - wall), frames)
"""


def module_env(lib: Path | None) -> dict[str, str]:
    """The environment of a child process: it imports the module from `lib`
    when one is given (an older build), else the installed one."""
    env = dict(os.environ)
    if lib is not None:
        env["PYTHONPATH"] = str(lib)
    return env


def run_python(code: str, *arguments: str, lib: Path | None = None) -> list[float]:
    """Runs `code` in a fresh interpreter; returns the numbers it prints."""
    out = subprocess.run(
        [sys.executable, "-c", code, *arguments], check=True, capture_output=True, text=True, env=module_env(lib)
    )
    return [float(x) for x in out.stdout.split()]


class ClientProcess:
    """A benchmark client in a process of its own, so that its processor time
    is its own: a command line in, one line of figures out; "quit" ends it."""

    def __init__(self, name: str, command: list[str], env: dict[str, str] | None = None) -> None:
        self.name = name
        self.child = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)

    def ask(self, command: str) -> str:
        self.child.stdin.write(command + "\n")
        self.child.stdin.flush()
        line = self.child.stdout.readline()
        if not line:
            raise RuntimeError(f"{self.name} ended early")
        return line

    def close(self, timeout: float = 10) -> None:
        try:
            self.child.stdin.write("quit\n")
            self.child.stdin.close()
        except BrokenPipeError:
            pass
        self.child.wait(timeout)
        self.child.stdout.close()


def paced_line(line: str, ticks: int) -> tuple[int, list[int], list[int]]:
    """The figures of korvo-bench-paced and paced_python.py for a run of
    `ticks`: processor time, exchange latencies and tick-to-tick periods (ns)."""
    cpu, *rest = map(int, line.split())
    return cpu, rest[:ticks], rest[ticks:]


def percentile(sorted_values: list[float], p: float) -> float:
    index = min(len(sorted_values) - 1, max(0, round(p / 100 * (len(sorted_values) - 1))))
    return sorted_values[index]


def summary(latencies_ns: list[int], cpu_ns: int, wall_ns: int | None = None) -> dict:
    ordered = sorted(latencies_ns)
    n = len(ordered)
    wall = wall_ns if wall_ns is not None else sum(ordered)
    return {
        "n": n,
        "p50_us": percentile(ordered, 50) / 1e3,
        "p99_us": percentile(ordered, 99) / 1e3,
        "p99.9_us": percentile(ordered, 99.9) / 1e3,
        "mean_us": sum(ordered) / n / 1e3,
        "per_s": n / (wall / 1e9),
        "cpu_us": cpu_ns / n / 1e3,
    }


def table(title: str, rows: dict[str, dict], columns: list[str]) -> str:
    width = max(len(name) for name in rows) + 2
    lines = [title, " " * width + "".join(f"{c:>12}" for c in columns)]
    for name, values in rows.items():
        lines.append(f"{name:<{width}}" + "".join(f"{values[c]:>12.2f}" for c in columns))
    return "\n".join(lines)
