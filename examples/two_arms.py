"""Two arms in one process, coupled: each is held by a spring toward where
the other is (relative to where each started), so moving one drags the
other along, and the other pulls back. Here a steady push on arm A stands
in for a hand; arm B follows.

    python examples/two_arms.py                                against two simulated arms
    python examples/two_arms.py /dev/ttyACM0 /dev/ttyACM1      two real arms

Each arm has its own native servo loop at 1 kHz with its own safety
envelope; this program only moves the springs' targets, 200 times a second,
from what each loop last read. A spring's anchor follows its target at no
more than max_speed, so a jump in one arm's reading never jerks the other.
"""

from __future__ import annotations

import argparse
import sys
import time

import korvo

STIFFNESS = 150.0  # N/m
DAMPING = 4.0  # N s/m
PUSH = 1.0  # N along x on arm A


def couple(port_a: str, port_b: str, seconds: float) -> tuple[float, float]:
    """Runs the coupling; returns how far A and B moved along x (m)."""
    with korvo.Servo(port_a, max_force=3.0) as a, korvo.Servo(port_b, max_force=3.0) as b:
        rest_a, rest_b = a.state.position, b.state.position
        to_a = korvo.Spring(target=rest_a, stiffness=STIFFNESS, damping=DAMPING, max_speed=0.5)
        to_b = korvo.Spring(target=rest_b, stiffness=STIFFNESS, damping=DAMPING, max_speed=0.5)
        a.add(to_a)
        b.add(to_b)
        a.force = (PUSH, 0.0, 0.0)  # the "hand" on A
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            pa, pb = a.state.position, b.state.position
            to_b.target = tuple(rb + (p - ra) for rb, p, ra in zip(rest_b, pa, rest_a))
            to_a.target = tuple(ra + (p - rb) for ra, p, rb in zip(rest_a, pb, rest_b))
            time.sleep(0.005)
        moved = (a.state.position[0] - rest_a[0], b.state.position[0] - rest_b[0])
        print(f"A: {a.stats.rate:.0f} Hz, {a.stats.failed_exchanges} failed; "
              f"B: {b.stats.rate:.0f} Hz, {b.stats.failed_exchanges} failed")
    print(f"A moved {moved[0] * 1000:+.1f} mm along x, B followed {moved[1] * 1000:+.1f} mm")
    return moved


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("ports", nargs="*", metavar="PORT", help="the two arms' ports (default: korvo-sim)")
    parser.add_argument("--seconds", type=float, default=3.0, help="how long the coupling runs (default 3)")
    args = parser.parse_args(argv)
    if len(args.ports) not in (0, 2):
        parser.error("give both arms' ports, or none")
    if args.ports:
        couple(args.ports[0], args.ports[1], args.seconds)
        return 0
    from korvo_sim import Simulator

    with Simulator("arm", "arm") as sim:
        couple(sim.port("arm", 0), sim.port("arm", 1), args.seconds)
    return 0


if __name__ == "__main__":
    sys.exit(main())
