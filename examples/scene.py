"""A small haptic scene on the native loop: a wall, a spring steered by the
handle, and a damper that button 2 switches on and off.

    python examples/scene.py                             against korvo-sim
    python examples/scene.py /dev/ttyACM0 /dev/ttyUSB0   real devices
    python examples/scene.py --seconds 10                longer

The loop and the effects run natively at 1 kHz; this program only moves
their parameters, at 50 Hz, from what the handle monitor reports.
"""

from __future__ import annotations

import argparse
import sys
import time

import korvo


def scene(arm_port: str, handle_port: str, seconds: float = 3.0) -> None:
    with korvo.Servo(arm_port, rate=1000, max_force=4.0) as servo, korvo.HandleMonitor(handle_port) as handle:
        x, y, z = servo.state.position
        wall = korvo.Plane(point=(x, y, z + 0.01), normal=(0, 0, -1), stiffness=1500, damping=8)
        spring = korvo.Spring(target=(x, y, z), stiffness=150, damping=4, max_speed=0.1)
        damper = korvo.Damper(viscosity=20)
        for effect in (wall, spring):
            servo.add(effect)
        servo.add(damper, enabled=False)

        damped = False
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            status = handle.status
            if status is not None:
                # Tilt the handle to move the spring's target up to 2 cm.
                _, qx, qy, _ = status.quaternion
                spring.target = (x + 0.02 * qy, y, z + 0.02 * qx)
            for event in handle.events():
                if event.button == 2 and event.pressed:
                    damped = not damped
                    servo.enable(damper, damped)  # fades in or out
            time.sleep(0.02)
        print(servo.stats)
        print(f"handle: {handle.counts['frames']} frames, {handle.counts['events']} button events; "
              f"damper {'on' if damped else 'off'} at the end")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("ports", nargs="*", metavar="PORT", help="the arm's port and the handle's (default: korvo-sim)")
    parser.add_argument("--seconds", type=float, default=3.0, help="how long the scene runs (default 3)")
    args = parser.parse_args(argv)
    if len(args.ports) not in (0, 2):
        parser.error("give both ports, the arm's and the handle's, or none")
    if args.ports:
        scene(args.ports[0], args.ports[1], args.seconds)
        return 0
    from korvo_sim import Simulator

    with Simulator("arm", "handle", "--buttons-hz", "4") as sim:
        scene(sim.port("arm"), sim.port("handle"), args.seconds)
    return 0


if __name__ == "__main__":
    sys.exit(main())
