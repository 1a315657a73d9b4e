"""Runs a scenario in a private mount namespace whose /dev holds only what the
scenario puts there: a devpts instance of its own (so every pty it makes is
/dev/pts/N inside), /dev/null, and the links discovery is meant to find.

Discovery reads the fixed directory /dev; this gives it a real one without
touching the machine's. The scenario is Python source run as root under
`unshare --mount`; it ends by calling report(...), whose JSON comes back.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

TESTS = str(Path(__file__).resolve().parent)

PRELUDE = f"""
import atexit, json, os, subprocess, sys, threading, time
sys.path.insert(0, {TESTS!r})
from korvo_sim import Simulator, mount_private_dev
mount_private_dev()

import KorvoHardwareAPI as korvo

_children, _sims = [], []

@atexit.register
def _stop_children():
    for sim in _sims:
        sim.stop()
    for child in _children:
        if child.poll() is None:
            child.terminate()
            child.wait(5)

def sim(*arguments):
    \"\"\"Starts korvo-sim, at real-time priority (so it answers as a device
    does, whatever else the machine runs); returns the slave path of each
    device it serves.\"\"\"
    _sims.append(Simulator("--realtime", "50", *arguments))
    return [path for _, path in _sims[-1].ports]

def peer(reply=b"", delay=0.0):
    \"\"\"A scripted peer process answering its first byte with `reply`.\"\"\"
    child = subprocess.Popen([sys.executable, {TESTS!r} + "/rig.py", "peer", "--reply", reply.hex(),
                              "--delay", str(delay)], stdout=subprocess.PIPE, text=True)
    _children.append(child)
    return child, child.stdout.readline().strip()

def _heard(child):
    if not hasattr(child, "heard"):
        child.terminate()
        child.heard = (child.stdout.read().split() + [""])[:2]
    return child.heard

def received(child):
    \"\"\"Everything a peer process was sent.\"\"\"
    return bytes.fromhex(_heard(child)[1])

def first_heard(child):
    \"\"\"When a peer process read its first byte (time.monotonic()), None if never.\"\"\"
    first = _heard(child)[0]
    return None if first == "-" else float(first)

def link(name, target):
    os.symlink(target, "/dev/" + name)

def timed(call):
    start = time.monotonic()
    result = call()
    return result, time.monotonic() - start

def report(**values):
    print(json.dumps(values), flush=True)
"""


def run(body: str, timeout: float = 120) -> dict:
    if os.geteuid() != 0:
        pytest.skip("a private /dev needs root (mount namespaces)")
    if shutil.which("unshare") is None:
        pytest.skip("unshare(1) is not installed")
    from korvo_sim import SimulatorError, binary

    try:
        env = dict(os.environ, KORVO_SIM=binary())
    except SimulatorError as e:
        pytest.skip(str(e))
    result = subprocess.run(
        ["unshare", "--mount", "--propagation", "private", sys.executable, "-c", PRELUDE + textwrap.dedent(body)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.strip().splitlines()[-1])
