"""Shared pieces of the benchmarks: building their tools and older copies of
the module, starting the simulator, a pty pair to play a device on, programs
run in a process of their own or in a private /dev, and the statistics they
print."""

from __future__ import annotations

import fcntl
import functools
import io
import json
import os
import struct
import subprocess
import sys
import tarfile
import termios
import time
import tty
from contextlib import contextmanager
from pathlib import Path

from korvo_sim import Simulator

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"


@functools.cache
def build_tools() -> Path:
    """Builds the C++ benchmark clients in build/bench (once a process: a run
    of every benchmark asks for them several times)."""
    subprocess.run(
        ["cmake", "-S", str(ROOT), "-B", str(BUILD), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release", "-DKORVO_BUILD_BENCH=ON"],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    subprocess.run(
        ["cmake", "--build", str(BUILD), "--target", "korvo-bench-floor", "korvo-bench-paced", "korvo-bench-effects",
         "korvo-bench-handoff"],
        check=True, stdout=subprocess.DEVNULL
    )
    return BUILD


def baseline_module(ref: str) -> Path:
    """Builds KorvoHardwareAPI at git revision `ref` into build/bench; returns the
    directory to put on PYTHONPATH."""
    sha = subprocess.run(["git", "-C", str(ROOT), "rev-parse", ref], check=True, capture_output=True, text=True).stdout.strip()
    home = BUILD / f"baseline-{sha[:10]}"
    lib = home / "lib"
    if (lib / ".complete").exists():
        return lib
    source = home / "src"
    archive = subprocess.run(["git", "-C", str(ROOT), "archive", sha], check=True, capture_output=True).stdout
    with tarfile.open(fileobj=io.BytesIO(archive)) as tar:
        tar.extractall(source, filter="data")
    print(f"building the baseline module at {sha[:10]} ...", flush=True)
    subprocess.run(
        [sys.executable, "-m", "pip", "install", "-q", "--no-deps", "--no-build-isolation", "--target", str(lib), str(source)],
        check=True,
    )
    (lib / ".complete").touch()
    return lib


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


def in_private_dev(script: str, *arguments: str) -> dict | None:
    """Runs `script --inside ARGUMENTS` as a new process in a mount namespace
    of its own, where it may mount a /dev of its own without touching the
    machine's; returns the JSON object on the last line it prints, or None
    when this process is not root and so may not."""
    if os.geteuid() != 0:
        return None
    done = subprocess.run(
        ["unshare", "--mount", "--propagation", "private", sys.executable, script, "--inside", *arguments],
        capture_output=True,
        text=True,
        check=True,
    )
    return json.loads(done.stdout.strip().splitlines()[-1])


def paced_line(line: str, ticks: int) -> tuple[int, list[int], list[int]]:
    """The figures of korvo-bench-paced and paced_python.py for a run of
    `ticks`: processor time, exchange latencies and tick-to-tick periods (ns)."""
    cpu, *rest = map(int, line.split())
    return cpu, rest[:ticks], rest[ticks:]


def percentile(sorted_values: list[float], p: float) -> float:
    index = min(len(sorted_values) - 1, max(0, round(p / 100 * (len(sorted_values) - 1))))
    return sorted_values[index]


def period_figures(periods: list[float], nominal: float, unit_ms: float) -> dict:
    """Figures of tick-to-tick periods, in any unit (one of them `unit_ms`
    milliseconds; `nominal` the period asked for, in the same unit):
    percentiles and the longest in milliseconds, and how many periods were
    over 1.5 times nominal."""
    ordered = sorted(periods)
    return {
        "period_p50_ms": percentile(ordered, 50) * unit_ms,
        "period_p99_ms": percentile(ordered, 99) * unit_ms,
        "period_p99.9_ms": percentile(ordered, 99.9) * unit_ms,
        "period_max_ms": ordered[-1] * unit_ms,
        "over_1.5x": sum(p > 1.5 * nominal for p in ordered),
    }


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
