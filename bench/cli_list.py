"""`korvo list` against the detect functions: one simulated arm and three
silent ttyACM ports, in a private /dev (a mount namespace of its own, so the
machine's /dev is left alone; needs root).

Figures: the wall time of `korvo list` (all ports probed at once, one
probe limit of --timeout seconds), and of the four detect functions of the
module one after the other (their fixed limits, port after port), in the
same run.

    ./dev.sh bench list
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
import tty

from common import in_private_dev


def inside(timeout: float, rounds: int) -> dict:
    from korvo_sim import Simulator, mount_private_dev

    mount_private_dev()
    import KorvoHardwareAPI as hw

    silent = []
    for i in range(3):
        master, slave = os.openpty()
        tty.setraw(slave)
        os.symlink(os.ttyname(slave), f"/dev/ttyACM{i + 1}")
        silent.append((master, slave))
    with Simulator("arm", "--link", "/dev/ttyACM0"):
        lists, detects = [], []
        for _ in range(rounds):
            start = time.monotonic()
            listed = subprocess.run([sys.executable, "-m", "korvo.cli", "list", "--json", "--timeout", str(timeout)],
                                    capture_output=True, text=True, check=True)
            lists.append(time.monotonic() - start)
            start = time.monotonic()
            found = [hw.detect_arvenas(), hw.detect_handles(), hw.detect_wired_handles(), hw.detect_wireless_handles()]
            detects.append(time.monotonic() - start)
            kinds = sorted(p["kind"] for p in json.loads(listed.stdout))
            assert kinds == ["arm", "nothing", "nothing", "nothing"], kinds
            assert len(found[0]) == 1, found
    return {"korvo_list_s": lists, "detect_functions_s": detects, "probe_limit_s": timeout}


def main(argv: list[str] | None = None) -> dict:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--timeout", type=float, default=1.0, help="korvo list's probe limit")
    parser.add_argument("--rounds", type=int, default=2)
    args = parser.parse_args(argv)
    figures = in_private_dev(__file__, str(args.timeout), str(args.rounds))
    if figures is None:
        print("needs root (a private /dev in a mount namespace)")
        return {}
    lists, detects = figures["korvo_list_s"], figures["detect_functions_s"]
    best_list, best_detect = min(lists), min(detects)
    print(f"korvo list: {', '.join(f'{s:.2f}' for s in lists)} s; detect functions together: "
          f"{', '.join(f'{s:.1f}' for s in detects)} s (one arm, three silent ttyACM ports)")
    ratios = {
        "korvo list / detect functions (goal <= 1/3)": best_list / best_detect,
        "korvo list / one probe limit (goal <= 1.5)": best_list / args.timeout,
    }
    for name, value in ratios.items():
        print(f"{name:<48}{value:7.3f}")
    figures["ratios"] = ratios
    return figures


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--inside":
        print(json.dumps(inside(float(sys.argv[2]), int(sys.argv[3]))))
    else:
        print(json.dumps(main(), indent=2))
