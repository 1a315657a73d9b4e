"""How long a detect call takes per port: answering and silent, arm and
handle.

Discovery reads /dev, so this runs itself again as root in a private mount
namespace whose /dev holds only the ports it measures (a devpts instance of
its own, korvo-sim devices and silent ptys behind links named like serial
ports).
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time

from common import in_private_dev


def inside() -> dict:
    from korvo_sim import Simulator, mount_private_dev

    mount_private_dev()
    import KorvoHardwareAPI as hw

    def timed(call, repeat=1):
        start = time.monotonic()
        for _ in range(repeat):
            found = call()
        return (time.monotonic() - start) / repeat, found

    figures = {}
    figures["empty /dev, detect_handles"] = timed(hw.detect_handles, 20)[0]

    with Simulator("arm", "--link", "/dev/ttyACM0", "handle", "--rate", "0", "--link", "/dev/ttyUSB0"):
        seconds, found = timed(hw.detect_arvenas, 20)
        assert len(found) == 1
        figures["answering arm port, detect_arvenas"] = seconds
        seconds, found = timed(hw.detect_wired_handles, 20)
        assert len(found) == 1
        figures["answering handle port, detect_wired_handles"] = seconds

    master, slave = os.openpty()  # nobody answers on this one
    os.symlink(os.ttyname(slave), "/dev/ttyACM9")
    figures["silent arm port, detect_arvenas"] = timed(hw.detect_arvenas)[0]
    os.rename("/dev/ttyACM9", "/dev/ttyUSB9")
    figures["silent handle port, detect_wired_handles"] = timed(hw.detect_wired_handles)[0]
    return figures


def main(argv: list[str] | None = None) -> dict:
    argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter).parse_args(argv)
    figures = in_private_dev(__file__)
    if figures is None:
        print("detect timing needs root (a private /dev in a mount namespace); skipped")
        return {}
    print("Detect call duration per port")
    for name, seconds in figures.items():
        print(f"  {name:<46}{seconds * 1e3:10.1f} ms")
    return figures


if __name__ == "__main__":
    if "--inside" in sys.argv:
        print(json.dumps(inside()))
    else:
        main()
