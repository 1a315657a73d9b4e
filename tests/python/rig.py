"""The test rig: a pty pair in which the test plays the device, and the
library's error lines on file descriptor 2.

PtyPeer: a pseudo-terminal pair in which the test plays the device.

The library opens ``peer.path`` (the slave) like any serial node; the test
reads what the library wrote from the master, byte for byte, and answers with
exact bytes: at once, after a delay, or from a script that runs on a thread of
its own while the library waits in an exchange (which works for methods that
release the interpreter lock; for those that hold it, answer *before* the
call, the library then finds the reply waiting).

The peer keeps a raw slave descriptor of its own open, so nothing is echoed or
translated before the library configures the port, and closing the library's
side never hangs the pty up.
"""

from __future__ import annotations

import fcntl
import json
import math
import os
import re
import select
import signal
import struct
import subprocess
import sys
import termios
import threading
import time
import tty
from dataclasses import dataclass

SHORT = 0.02  # s: the read limit of an arm on a PtyPeer, so that a silent one fails quickly


def answer_at_once() -> None:
    """A device answers at once whatever the host does: the thread that plays
    one (this one) takes real-time priority where it may, so that a loaded
    machine does not make its answers late."""
    try:
        os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(50))
    except OSError:
        pass


def floats(*values: float) -> bytes:
    """Little-endian float32 values, as they travel on the wire."""
    return struct.pack(f"<{len(values)}f", *values)


def unpack_floats(data: bytes) -> list[float]:
    return list(struct.unpack(f"<{len(data) // 4}f", data))


@dataclass
class Step:
    """One step of a scripted exchange: wait for ``len(expect)`` bytes, then
    (after ``delay`` seconds) answer with ``reply``."""

    expect: bytes
    reply: bytes = b""
    delay: float = 0.0


class PtyPeer:
    def __init__(self) -> None:
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)
        self._worker: threading.Thread | None = None
        self.received: list[bytes] = []

    # -- reading what the library wrote ------------------------------------
    def read(self, n: int, timeout: float = 1.0) -> bytes:
        """Up to ``n`` bytes written by the library, waiting at most ``timeout``."""
        out = bytearray()
        deadline = time.monotonic() + timeout
        while len(out) < n:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([self.master], [], [], left)
            if not ready:
                break
            try:
                chunk = os.read(self.master, n - len(out))
            except OSError:
                break
            if not chunk:
                break
            out += chunk
        return bytes(out)

    def drain(self, quiet: float = 0.02) -> bytes:
        """Everything written so far, waiting no longer than ``quiet`` for more."""
        out = bytearray()
        while chunk := self.read(4096, quiet):
            out += chunk
        return bytes(out)

    # -- answering -----------------------------------------------------------
    def send(self, data: bytes) -> None:
        view = memoryview(data)
        while view:
            view = view[os.write(self.master, view) :]

    def deliver(self, data: bytes) -> None:
        """Sends, then waits until the library's side has all of it queued,
        so that no short time limit can race the delivery."""
        before = self.pending_for_library()
        self.send(data)
        self.wait_pending(before + len(data))

    def send_after(self, delay: float, data: bytes) -> None:
        self._start(lambda: (time.sleep(delay), self.send(data)))

    def script(self, steps: list[Step], step_timeout: float = 2.0) -> None:
        """Plays ``steps`` on a background thread; ``join()`` returns what the
        library actually sent at each step."""
        self.received = []

        def run() -> None:
            for step in steps:
                got = self.read(len(step.expect), step_timeout)
                self.received.append(got)
                if len(got) < len(step.expect):
                    return  # the library stopped talking; so do we
                if step.delay:
                    time.sleep(step.delay)
                self.send(step.reply)

        self._start(run)

    def join(self) -> list[bytes]:
        if self._worker is not None:
            self._worker.join()
            self._worker = None
        return self.received

    def _start(self, target) -> None:
        self.join()
        self._worker = threading.Thread(target=lambda: (answer_at_once(), target()), daemon=True)
        self._worker.start()

    # -- the library's side of the port ------------------------------------------
    def pending_for_library(self) -> int:
        """Bytes queued for the library to read."""
        raw = fcntl.ioctl(self.slave, termios.FIONREAD, b"\0\0\0\0")
        return struct.unpack("i", raw)[0]

    def wait_pending(self, n: int, timeout: float = 2.0) -> None:
        deadline = time.monotonic() + timeout
        while self.pending_for_library() < n:
            if time.monotonic() > deadline:
                raise AssertionError(f"library side never had {n} bytes queued")
            time.sleep(0.0002)

    def hang_up(self) -> None:
        """Pulls the cable: the master closes."""
        self.join()
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass
        self.master = self.slave = -1

    def close(self) -> None:
        if self.master >= 0:
            self.hang_up()


# For a child process whose test may give up on it: SIGUSR1 writes every
# thread's Python stack to its standard error.
DUMPS_STACKS = "import faulthandler, signal; faulthandler.register(signal.SIGUSR1, all_threads=True)\n"


def finish(child: subprocess.Popen, timeout: float) -> tuple[str, str]:
    """The child's output once it has ended; a child still running after
    `timeout` seconds fails the test with where each of its threads was
    (children started with DUMPS_STACKS)."""
    try:
        return child.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        import pytest

        child.send_signal(signal.SIGUSR1)
        time.sleep(1.0)
        child.kill()
        out, err = child.communicate()
        pytest.fail(f"the child was still running after {timeout} s; its output:\n{out}\nits standard error, "
                    f"with its threads' stacks:\n{err}")


def wait_until(predicate, limit: float = 10.0, describe=None):
    """Polls `predicate` until it is true and returns its value; fails the
    test after `limit` seconds, with `describe()` as the message if given."""
    deadline = time.monotonic() + limit
    while not (value := predicate()):
        assert time.monotonic() < deadline, describe() if describe else f"not true within {limit} s"
        time.sleep(0.002)
    return value


def ticks_during(call, at_least: float = 0.0, enough: int | None = None) -> int:
    """How often a second Python thread ran while `call` ran: none when the
    call kept the interpreter lock. A call that returns at once is repeated
    until `at_least` seconds have passed, or, given `enough`, until the thread
    has run that often (or 5 s have passed: a loaded machine may keep it
    waiting, but not for ever).

    Meanwhile the interpreter is told not to take the lock from a thread on
    its own (a switch interval far longer than any call here), so the second
    thread runs only when a call lets go of the lock: every tick counted is
    one, whether the call waited or was over in a microsecond."""
    stamps, stop = [], threading.Event()

    def tick():
        while not stop.is_set():
            stamps.append(time.monotonic())
            time.sleep(0.001)

    interval = sys.getswitchinterval()
    ticker = threading.Thread(target=tick)
    ticker.start()
    time.sleep(0.01)
    sys.setswitchinterval(60.0)
    # A wait for the lock that began under the old interval ends here, in a
    # sleep, and not inside the call.
    time.sleep(0.01)
    try:
        start = time.monotonic()

        def more() -> bool:
            if enough is None:
                return time.monotonic() - start < at_least
            return sum(t > start for t in stamps) < enough and time.monotonic() - start < 5.0

        call()
        while more():
            call()
        end = time.monotonic()
    finally:
        sys.setswitchinterval(interval)
        stop.set()
        ticker.join()
    return sum(start < t < end for t in stamps)


def recorder_class():
    """A Handle subclass that writes down every callback with its arguments
    (built on demand: importing this module must not need the extension)."""
    import KorvoHardwareAPI as korvo

    class Recorder(korvo.Handle):
        def __init__(self, stream):
            super().__init__(stream)
            self.calls = []

        def OnReceiveHandleInfo(self, *args):
            self.calls.append(("info", args))

        def OnReceiveHandleStatusMessage(self, *args):
            self.calls.append(("status", args))

        def OnReceiveHandleErrorResponse(self, *args):
            self.calls.append(("error", args))

    return Recorder


ERROR_LINE = re.compile(r"^\[err\] (?P<source>[^:]+):(?P<line>\d+)> (?P<words>.*): \[(?P<errno>-?\d+)\] (?P<text>.*)$")


def error_lines(capfd) -> list[tuple[str, int, str, int, str]]:
    """The library's error lines on file descriptor 2 since the last call, as
    (source, line, words, errno, text); any other text there fails the test."""
    lines = []
    for raw in capfd.readouterr().err.splitlines():
        m = ERROR_LINE.match(raw)
        assert m, f"unexpected text on stderr: {raw!r}"
        lines.append((m["source"], int(m["line"]), m["words"], int(m["errno"]), m["text"]))
    return lines


# -- scripted peers in a process of their own -------------------------------------------
#
# Needed where the library keeps the interpreter lock while it waits (the
# detect functions, for one): a peer thread in the same interpreter could not
# answer then; and where what a peer received matters after the program
# driving it has gone (Ctrl+C, interpreter exit). `python rig.py MODE ...`
# prints its port, serves until SIGTERM, then prints what it received:
#
#   peer [--reply HEX] [--delay S]  answers the first byte it reads with the
#                                   reply (after the delay), keeps reading;
#                                   prints when the first byte came (the
#                                   monotonic clock, - for never) and
#                                   everything received as hex
#   arm [--mute-after N] [--sway X,Y,Z,HZ | --drift VX,VY,VZ]
#                                   answers force requests with a fixed state
#                                   (or one swaying, X, Y, Z metres either
#                                   way at HZ, or moving at a steady
#                                   velocity) and the queries a servo loop
#                                   uses as markers, falls silent after N
#                                   forces; prints every force received as JSON

ARM_STATE = struct.pack("<6f", 0.0, 0.02, 0.2, 0.0, 0.0, 0.0)
ARM_QUERIES = {0xAC: 1, 0xAA: 4, 0xAB: 12, 0x0C: 16}  # code: payload bytes


def _serve(play) -> None:
    # A device answers at once, busy machine or not: real-time priority
    # where the machine allows it (a peer sleeps between requests).
    try:
        os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(50))
    except OSError:
        pass
    answer_at_once()
    peer = PtyPeer()
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    print(peer.path, flush=True)
    print(play(peer, stop), flush=True)


def _play_peer(peer: PtyPeer, stop: threading.Event, reply: bytes, delay: float) -> str:
    received = bytearray()
    answered = False
    first = "-"
    while not stop.is_set():
        chunk = peer.read(4096, 0.01)
        received += chunk
        if received and not answered:
            first = repr(time.monotonic())
            answered = True
            if delay:
                stop.wait(delay)
            peer.send(reply)
    # What the host wrote before the stop counts, however far behind we are
    # (for a second: a host still writing would hold us forever).
    drain_end = time.monotonic() + 1.0
    while time.monotonic() < drain_end and (chunk := peer.read(4096, 0.01)):
        received += chunk
    return f"{first} {received.hex()}"


def _arm_state(sway: tuple[float, ...] | None, drift: tuple[float, ...] | None, started: float) -> bytes:
    """The state reply: at rest, swaying (amplitudes along x, y, z in m, and
    a frequency in Hz), or drifting (a velocity, m/s)."""
    rest = struct.unpack("<3f", ARM_STATE[:12])
    elapsed = time.monotonic() - started
    if sway is not None:
        *amplitude, hz = sway
        phase = 2 * math.pi * hz * elapsed
        position = [r + a * math.sin(phase) for r, a in zip(rest, amplitude)]
        velocity = [a * 2 * math.pi * hz * math.cos(phase) for a in amplitude]
        return struct.pack("<6f", *position, *velocity)
    if drift is not None:
        return struct.pack("<6f", *(r + v * elapsed for r, v in zip(rest, drift)), *drift)
    return ARM_STATE


def _play_arm(peer: PtyPeer, stop: threading.Event, mute_after: int | None,
              sway: tuple[float, ...] | None = None, drift: tuple[float, ...] | None = None) -> str:
    forces: list[list[float]] = []
    started = time.monotonic()
    drain_end: float | None = None
    while True:
        # Read as much as the request in hand needs: a servo loop waits for
        # each answer, so none may sit behind a read that waits for more.
        # Told to stop, it still reads to the end what the host sent before
        # (a loop's last force, written as the loop ended): on a busy machine
        # that can still be waiting in the pty. For a second: a host still
        # writing would hold it forever.
        if drain_end is None and stop.is_set():
            drain_end = time.monotonic() + 1.0
        code = peer.read(1, 0.05 if drain_end is None else 0.01)
        if drain_end is not None and (not code or time.monotonic() > drain_end):
            break
        if not code:
            continue
        if code[0] in ARM_QUERIES:
            if mute_after is None or len(forces) < mute_after:
                peer.send(code + bytes(ARM_QUERIES[code[0]]))
        elif code[0] == 0x2A:
            body = peer.read(12)
            if len(body) < 12:
                continue
            forces.append(unpack_floats(body))
            if mute_after is None or len(forces) <= mute_after:
                peer.send(b"\x2b" + _arm_state(sway, drift, started))
    return json.dumps(forces)


class PeerProcess:
    """Starts `rig.py MODE ...`; `finish()` stops it and returns what it
    printed of what it received."""

    def __init__(self, mode: str, *arguments: str) -> None:
        self.child = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), mode, *arguments], stdout=subprocess.PIPE, text=True
        )
        self.path = self.child.stdout.readline().strip()

    def finish(self) -> str:
        self.child.terminate()
        out, _ = self.child.communicate(timeout=10)
        return out

    def close(self) -> None:
        if self.child.poll() is None:
            self.finish()


class ArmPeerProcess(PeerProcess):
    """`rig.py arm`; `forces()` stops it and returns every force it received."""

    def __init__(self, *arguments: str) -> None:
        super().__init__("arm", *arguments)

    def forces(self) -> list[list[float]]:
        return json.loads(self.finish())


if __name__ == "__main__":
    import argparse

    parser = argparse.ArgumentParser()
    modes = parser.add_subparsers(dest="mode", required=True)
    peer_mode = modes.add_parser("peer")
    peer_mode.add_argument("--reply", default="")
    peer_mode.add_argument("--delay", type=float, default=0.0)
    arm_mode = modes.add_parser("arm")
    arm_mode.add_argument("--mute-after", type=int, default=None)
    arm_mode.add_argument("--sway", type=lambda s: tuple(float(v) for v in s.split(",")), default=None,
                          help="X,Y,Z,HZ: the arm reports itself swaying, these amplitudes (m) at HZ")
    arm_mode.add_argument("--drift", type=lambda s: tuple(float(v) for v in s.split(",")), default=None,
                          help="VX,VY,VZ: the arm reports itself moving at this velocity (m/s)")
    arguments = parser.parse_args()
    if arguments.mode == "peer":
        _serve(lambda peer, stop: _play_peer(peer, stop, bytes.fromhex(arguments.reply), arguments.delay))
    else:
        _serve(lambda peer, stop: _play_arm(peer, stop, arguments.mute_after, arguments.sway, arguments.drift))
