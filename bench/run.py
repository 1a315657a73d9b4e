"""Runs every benchmark and keeps the figures.

    ./dev.sh bench                 all of them
    ./dev.sh bench arm handle      some of them (arm, handle, detect, paced, servo, effects, handoff, list, recorder, bridge, teleop)

Results are printed and written to bench/results/<name>.json. Run on an
otherwise idle machine: the figures are latencies of a few microseconds.
"""

from __future__ import annotations

import json
import platform
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import arm_exchange  # noqa: E402
import cli_list  # noqa: E402
import detect_timing  # noqa: E402
import effects_monitor  # noqa: E402
import handle_rates  # noqa: E402
import handoff  # noqa: E402
import paced_loop  # noqa: E402
import recorder  # noqa: E402
import ros_bridge  # noqa: E402
import servo_loop  # noqa: E402
import teleop  # noqa: E402

BENCHMARKS = {
    "arm": arm_exchange.main,
    "handle": handle_rates.main,
    "detect": detect_timing.main,
    "paced": paced_loop.main,
    "servo": servo_loop.main,
    "effects": effects_monitor.main,
    "handoff": handoff.main,
    "list": cli_list.main,
    "recorder": recorder.main,
    "bridge": ros_bridge.main,
    "teleop": teleop.main,
}


def main(argv: list[str]) -> int:
    chosen = argv or list(BENCHMARKS)
    results_dir = Path(__file__).resolve().parent / "results"
    results_dir.mkdir(exist_ok=True)
    for name in chosen:
        print(f"\n=== {name} ===", flush=True)
        figures = BENCHMARKS[name]([])
        record = {"when": time.strftime("%Y-%m-%d %H:%M:%S"), "machine": platform.platform(), "figures": figures}
        (results_dir / f"{name}.json").write_text(json.dumps(record, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
