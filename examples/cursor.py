"""A cursor on the terminal, steered by the handle: turn it left and right
to move the cursor across, tilt it up and down to move it up and down; a
button held down changes the cursor's mark.

    python examples/cursor.py                  against korvo-sim
    python examples/cursor.py /dev/ttyUSB0     a real handle
    python examples/cursor.py --seconds 30

korvo.HandleMonitor reads the handle's status frames on a native thread;
this program only looks at the newest one, 25 times a second, and at every
button press and release since its last look, so a quick click is never
missed. On a terminal the cursor is drawn in place; otherwise each look is
one line.
"""

from __future__ import annotations

import argparse
import math
import sys
import time

import korvo

WIDTH, HEIGHT = 61, 15
MARKS = {0: "+", 1: "1", 2: "2", 4: "3"}  # by the button held down


def orientation(q: tuple[float, float, float, float]) -> tuple[float, float]:
    """Yaw (about z) and pitch (about y) of the unit quaternion q = (w, x, y, z), in radians."""
    w, x, y, z = q
    yaw = math.atan2(2 * (w * z + x * y), 1 - 2 * (y * y + z * z))
    pitch = math.asin(max(-1.0, min(1.0, 2 * (w * y - z * x))))
    return yaw, pitch


def cell(q: tuple[float, float, float, float], width: int = WIDTH, height: int = HEIGHT) -> tuple[int, int]:
    """Column and row of the cursor: a quarter turn either way spans the
    width, an eighth of a turn up or down the height; the handle held level
    and straight puts it in the middle."""
    yaw, pitch = orientation(q)
    column = round((yaw / (math.pi / 2) + 1) / 2 * (width - 1))
    row = round((1 - pitch / (math.pi / 4)) / 2 * (height - 1))
    return min(max(column, 0), width - 1), min(max(row, 0), height - 1)


def draw(column: int, row: int, mark: str, text: str) -> str:
    lines = ["." * WIDTH for _ in range(HEIGHT)]
    lines[row] = lines[row][:column] + mark + lines[row][column + 1:]
    return "\x1b[H\x1b[2J" + "\n".join(lines) + "\n" + text + "\n"


def steer(port: str, seconds: float) -> None:
    on_terminal = sys.stdout.isatty()
    clicks = 0
    with korvo.HandleMonitor(port) as monitor:
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            status = monitor.status
            clicks += sum(1 for event in monitor.events() if event.pressed)
            if status is not None:
                column, row = cell(status.quaternion)
                mark = MARKS.get(status.buttons, "*")
                text = f"cursor at column {column:2d} row {row:2d}, buttons {status.buttons:03b}, {clicks} clicks"
                print(draw(column, row, mark, text) if on_terminal else text, end="" if on_terminal else "\n",
                      flush=True)
            time.sleep(0.04)
        print(f"{monitor.counts['frames']} status frames, {clicks} clicks")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("port", nargs="?", help="the handle's port (default: korvo-sim)")
    parser.add_argument("--seconds", type=float, default=10.0, help="how long it runs (default 10)")
    args = parser.parse_args(argv)
    if args.port:
        steer(args.port, args.seconds)
        return 0
    from korvo_sim import Simulator

    with Simulator("handle", "--buttons-hz", "2") as sim:
        steer(sim.port("handle"), args.seconds)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(130)
