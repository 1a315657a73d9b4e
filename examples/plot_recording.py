"""A servo run, recorded and plotted: the arm is pulled 1 cm along x by a
spring whose anchor moves at 0.1 m/s, and the picture shows the position,
the force asked for against the force sent (the safety envelope's ramp and
step limit at work), and the period of every tick against the nominal one.

    python examples/plot_recording.py                            against korvo-sim
    python examples/plot_recording.py --port /dev/ttyACM0        a real arm
    python examples/plot_recording.py --save-csv run.csv         the ticks as well

Every tick of a korvo.Servo goes into a preallocated ring; servo.recording()
takes them as numpy arrays (a korvo.Recording), which Matplotlib plots as
they are.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import korvo


def record(port: str, seconds: float, step: float) -> tuple[korvo.Recording, float, float]:
    """The recording of a step of `step` metres along x, the start's x and the nominal period."""
    with korvo.Servo(port, rate=1000) as servo:
        x, y, z = servo.state.position
        servo.add(korvo.Spring(target=(x + step, y, z), stiffness=200, damping=5, max_speed=0.1))
        time.sleep(seconds)
    return servo.recording(), x, 1.0 / servo.rate


def plot(run: korvo.Recording, start_x: float, period: float, output: Path) -> Path:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    t = run.time - run.time[0]
    fig, (ax_x, ax_f, ax_p) = plt.subplots(3, 1, sharex=True, figsize=(8, 8))
    ax_x.plot(t, (run.position[:, 0] - start_x) * 1000, color="navy")
    ax_x.set(ylabel="x from start (mm)", title=f"A 1 cm step on the native loop ({len(run)} ticks)")
    for i, name in enumerate("xyz"):
        ax_f.plot(t, run.force[:, i], lw=0.9, label=f"F{name} sent")
    ax_f.plot(t, run.commanded[:, 0], "k:", lw=1, label="Fx asked for")
    ax_f.set_ylabel("force (N)")
    ax_f.legend(fontsize=8, ncol=4)
    ax_p.plot(t[1:], run.period[1:] * 1e6, ".", ms=2, color="steelblue", label="tick period")
    ax_p.axhline(period * 1e6, color="black", lw=1, ls="--", label=f"nominal, {period * 1e6:.0f} µs")
    ax_p.set(xlabel="time (s)", ylabel="period (µs)")
    ax_p.legend(fontsize=8)
    fig.tight_layout()
    output.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(output, dpi=100)
    plt.close(fig)
    return output


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", help="the arm's port (default: korvo-sim)")
    parser.add_argument("--seconds", type=float, default=1.0, help="how long the run lasts (default 1)")
    parser.add_argument("--output", type=Path, default=Path("recording.png"), help="the picture (default recording.png)")
    parser.add_argument("--save-csv", type=Path, help="also write the ticks to this file (.csv, or .npz)")
    args = parser.parse_args(argv)
    if args.port:
        run, start_x, period = record(args.port, args.seconds, 0.01)
    else:
        from korvo_sim import Simulator

        with Simulator("arm") as sim:
            run, start_x, period = record(sim.port("arm"), args.seconds, 0.01)
    print(f"{run}, {run.gaps()} missing, {int((~run.exchange_ok).sum())} failed exchanges")
    if args.save_csv:
        run.save(args.save_csv)
        print(f"Ticks saved to {args.save_csv}")
    print(f"Picture saved to {plot(run, start_x, period, args.output).resolve()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
