"""A scripted arm in a process of its own, for tests where what the arm
received matters after the program driving it has gone (Ctrl+C, interpreter
exit): it answers force requests with a fixed state and the queries a servo
loop uses as markers, and on SIGTERM prints, as JSON, every force it
received.

    python arm_peer.py [--mute-after N]

prints its port on the first line; ArmPeerProcess drives it from a test.
"""

from __future__ import annotations

import json
import os
import select
import signal
import struct
import subprocess
import sys
import tty
from pathlib import Path

STATE = struct.pack("<6f", 0.0, 0.02, 0.2, 0.0, 0.0, 0.0)
QUERIES = {0xAC: 1, 0xAA: 4, 0xAB: 12, 0x0C: 16}  # code: payload bytes


def serve(mute_after: int | None) -> None:
    master, slave = os.openpty()
    tty.setraw(slave)
    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(1))
    print(os.ttyname(slave), flush=True)
    forces: list[list[float]] = []
    pending = b""
    while not stopping:
        try:
            ready = select.select([master], [], [], 0.05)[0]
        except InterruptedError:
            continue
        if not ready:
            continue
        try:
            pending += os.read(master, 4096)
        except OSError:
            break
        while pending:
            code = pending[0]
            if code in QUERIES:
                pending = pending[1:]
                if mute_after is None or len(forces) < mute_after:
                    os.write(master, bytes([code]) + bytes(QUERIES[code]))
            elif code == 0x2A:
                if len(pending) < 13:
                    break
                forces.append(list(struct.unpack("<3f", pending[1:13])))
                pending = pending[13:]
                if mute_after is None or len(forces) <= mute_after:
                    os.write(master, b"\x2b" + STATE)
            else:
                pending = pending[1:]
    print(json.dumps(forces), flush=True)


class ArmPeerProcess:
    """Starts arm_peer.py; `forces()` stops it and returns what it received."""

    def __init__(self, *arguments: str) -> None:
        self.child = subprocess.Popen(
            [sys.executable, str(Path(__file__).resolve()), *arguments], stdout=subprocess.PIPE, text=True
        )
        self.path = self.child.stdout.readline().strip()

    def forces(self) -> list[list[float]]:
        self.child.terminate()
        out = self.child.stdout.read()
        self.child.wait(10)
        self.child.stdout.close()
        return json.loads(out)

    def close(self) -> None:
        if self.child.poll() is None:
            self.forces()


if __name__ == "__main__":
    import argparse

    parser = argparse.ArgumentParser()
    parser.add_argument("--mute-after", type=int, default=None)
    serve(parser.parse_args().mute_after)
