"""The korvo command: list, info, monitor and udev, against korvo-sim and
scripted peers in a private /dev (see private_dev.py), and its expected
failures as one line and a non-zero status."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
from typing import Any

import pytest

from private_dev import run

# Its tests start interpreters and simulators, or draw with Matplotlib: far
# slower on a loaded machine than the default bound allows for.
pytestmark = pytest.mark.timeout(60)

KORVO = [sys.executable, "-m", "korvo.cli"]

HELPERS = f"""
import subprocess, json
def korvo(*arguments, unprivileged=False):
    command = {KORVO!r} + list(arguments)
    if unprivileged:
        # Root without the capabilities that bypass file permissions: as any
        # user, the port's mode decides.
        command = ["setpriv", "--bounding-set", "-dac_override,-dac_read_search"] + command
    done = subprocess.run(command, capture_output=True, text=True, timeout=60)
    return {{"out": done.stdout, "err": done.stderr, "code": done.returncode}}
"""


def scenario(body: str) -> dict:
    return run(HELPERS + textwrap.dedent(body), timeout=120)


@pytest.mark.python_output
@pytest.mark.serial
def test_list_finds_every_device_in_one_probe_limit_and_leaves_held_ports_alone():
    r = scenario(
        """
        arm, = sim("arm", "--link", "/dev/ttyACM0")
        wired, = sim("handle", "--link", "/dev/ttyUSB0")
        wireless, = sim("handle", "--rate", "0", "--wakeup-reply", "status", "--link", "/dev/rfcomm0")
        silent = [peer() for _ in range(3)]
        for i, (_, path) in enumerate(silent):
            link(f"ttyACM{i + 1}", path)
        held, = sim("arm", "--link", "/dev/ttyACM9")
        os.makedirs("/dev/serial/by-id")
        os.symlink("../../ttyACM0", "/dev/serial/by-id/usb-Korvo_Arvena_0001-if00")
        holder = subprocess.Popen([sys.executable, "-c",
            "import sys, time, KorvoHardwareAPI as k; s = k.SerialStream(sys.argv[1]); print('held', flush=True); time.sleep(60)",
            "/dev/ttyACM9"], stdout=subprocess.PIPE, text=True)
        holder.stdout.readline()
        listed = korvo("list", "--json", "--timeout", "1")
        plain = korvo("list")
        probed = [first_heard(child) for child, _ in silent]
        holder.kill()
        report(arm=arm, wired=wired, wireless=wireless, held=held, listed=listed, probed=probed, plain=plain,
               heard={path: received(child).hex() for child, path in silent})
        """
    )
    assert r["listed"]["code"] == 0, r["listed"]["err"]
    ports = {p["path"]: p for p in json.loads(r["listed"]["out"])}
    # Every key of a listed port, for every port; ptys are on no USB bus.
    assert all(sorted(p) == ["device", "kind", "names", "note", "path", "usb"] for p in ports.values())
    assert all(p["usb"] == {} for p in ports.values())
    assert ports[r["arm"]]["kind"] == "arm" and ports[r["arm"]]["device"]["model"] == 4
    assert sorted(ports[r["arm"]]["names"]) == ["/dev/serial/by-id/usb-Korvo_Arvena_0001-if00", "/dev/ttyACM0"]
    assert ports[r["wired"]]["kind"] == "handle" and ports[r["wired"]]["device"]["device_id"] == 0x42
    assert ports[r["wireless"]]["kind"] == "handle"
    assert ports[r["held"]]["kind"] == "busy"
    assert sorted(p["kind"] for p in ports.values()).count("nothing") == 3
    # One probe limit (1 s) for all seven ports, not seven of them: the
    # silent ports heard their wakeup bytes together, not a limit apart.
    assert max(r["probed"]) - min(r["probed"]) < 0.9, r["probed"]
    assert all(heard == "0a0a" for heard in r["heard"].values())  # one wakeup byte a listing, nothing more
    assert "busy: another program holds it (not probed)" in r["plain"]["out"]


@pytest.mark.python_output
def test_info_tells_what_each_device_says_and_why_not():
    r = scenario(
        """
        arm, = sim("arm", "--link", "/dev/ttyACM0")
        handle, = sim("handle", "--link", "/dev/ttyUSB0")
        quiet, = sim("handle", "--rate", "0", "--link", "/dev/ttyUSB1")
        silent = peer()
        link("ttyACM1", silent[1])
        garbled, = sim("arm", "--corrupt-every", "1", "--link", "/dev/ttyACM3")
        locked, = sim("arm", "--link", "/dev/ttyACM2")
        os.chmod(locked, 0o660)
        os.chown(locked, 0, 20)  # root, dialout
        os.chmod(locked, 0o060)  # the group may, the owner may not
        report(arm=korvo("info", "/dev/ttyACM0"), handle=korvo("info", "/dev/ttyUSB0"),
               quiet=korvo("info", "/dev/ttyUSB1"), silent=korvo("info", "/dev/ttyACM1", "--timeout", "0.3"),
               missing=korvo("info", "/dev/ttyACM7"), garbled=korvo("info", "/dev/ttyACM3"), denied=korvo("info", "/dev/ttyACM2", unprivileged=True))
        """
    )
    arm = r["arm"]["out"]
    assert r["arm"]["code"] == 0 and "Arvena arm" in arm and "model            4" in arm
    assert "temperature      36.5 C" in arm and "powered          True" in arm
    assert r["handle"]["code"] == 0 and "device id        66" in r["handle"]["out"]
    assert "battery          4.1" in r["handle"]["out"]
    assert "none (the handle does not stream)" in r["quiet"]["out"]
    for case, text in [
        ("silent", "korvo: no device answers on /dev/ttyACM1: no answer\n"),
        ("missing", "korvo: no such port: /dev/ttyACM7\n"),
        ("garbled", "korvo: no device answers on /dev/ttyACM3: an answer that is no device's (code 0xEE)\n"),
    ]:
        assert (r[case]["code"], r[case]["err"]) == (1, text)
    denied = r["denied"]
    assert denied["code"] == 1
    assert denied["err"].startswith("korvo: no permission to open /dev/ttyACM2: add yourself to the group 'dialout'")
    assert denied["err"].count("\n") == 1  # one line, no traceback


@pytest.mark.python_output
def test_monitor_shows_both_devices_and_reports_a_pulled_cable():
    r = scenario(
        """
        arm, = sim("arm", "--link", "/dev/ttyACM0", "--disconnect-after", "200", "--reconnect-ms", "-1")
        handle, = sim("handle", "--link", "/dev/ttyUSB0")
        watched = korvo("monitor", "/dev/ttyACM0", "/dev/ttyUSB0", "--seconds", "3")
        report(watched=watched)
        """
    )
    w = r["watched"]
    lines = w["out"].splitlines()
    assert any(l.startswith("arm pos") and "| handle q" in l for l in lines)
    assert "arm disconnected" in lines[-1] and "handle q" in lines[-1]
    assert w["err"] == "arm on /dev/ttyACM0: disconnected\n"
    assert "Traceback" not in w["out"] + w["err"]


@pytest.mark.python_output
def test_monitor_ends_on_ctrl_c_without_a_traceback():
    r = scenario(
        """
        import signal
        arm, = sim("arm", "--link", "/dev/ttyACM0")
        child = subprocess.Popen(%r + ["monitor", "/dev/ttyACM0"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        first = child.stdout.readline()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=20)
        report(first=first, code=child.returncode, err=err)
        """
        % (KORVO,)
    )
    assert r["first"].startswith("arm pos")
    assert (r["code"], r["err"]) == (0, "")


def command_loop(sig: int, taken_by: str, cleaned_up: list[bool]) -> tuple[bool, Any]:
    """A command's loop and clean-up, as the commands that run devices have them."""
    from korvo.cli import Stopping

    with Stopping() as stopping:
        try:
            if taken_by == "the loop's thread":
                os.kill(os.getpid(), sig)
                # The interpreter acts on a signal at this loop's jump back,
                # which on Python 3.13.0 no try statement covers: a handler
                # that raised there would leave past the clean-up below.
                n = 0
                while not stopping.signum and n < 100_000_000:
                    n += 1
            else:
                # A device's thread takes it: the wait wakes all the same.
                threading.Timer(0.05, lambda: signal.pthread_kill(threading.get_ident(), sig)).start()
            woke = stopping.wait(60)
        finally:
            cleaned_up.append(True)
    return woke, stopping


@pytest.mark.timeout(20)
@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP], ids=lambda s: s.name)
@pytest.mark.parametrize("taken_by", ["the loop's thread", "another thread"])
def test_a_signal_ends_a_command_loop_at_its_wait_and_never_skips_its_clean_up(sig, taken_by):
    before = signal.getsignal(sig)
    cleaned_up: list[bool] = []
    try:
        woke, stopping = command_loop(sig, taken_by, cleaned_up)
    except KeyboardInterrupt:
        pytest.fail(f"KeyboardInterrupt left the loop; clean-up run: {cleaned_up == [True]}")
    assert (woke, stopping.signum, stopping.interrupted, cleaned_up) == (True, sig, sig == signal.SIGINT, [True])
    assert signal.getsignal(sig) is before


@pytest.mark.python_output
def test_no_devices_is_one_line_and_a_failure():
    r = scenario(
        """
        silent = peer()
        link("ttyUSB3", silent[1])
        report(none=korvo("list", "--timeout", "0.3"))
        """
    )
    assert (r["none"]["code"], r["none"]["err"]) == (1, "korvo: no device found\n")


@pytest.mark.python_output
@pytest.mark.parametrize(
    "arguments, expected",
    [
        ([], ['KERNEL=="ttyACM[0-9]*", GROUP="dialout"', 'ENV{ID_MM_DEVICE_IGNORE}="1"', 'KERNEL=="rfcomm[0-9]*"']),
        (
            ["--vendor", "1D6B", "--product", "0104", "--group", "plugdev"],
            ['ATTRS{idVendor}=="1d6b", ATTRS{idProduct}=="0104", GROUP="plugdev"'],
        ),
    ],
)
def test_udev_prints_a_rule(arguments, expected):
    done = subprocess.run(KORVO + ["udev", *arguments], capture_output=True, text=True, timeout=30)
    assert done.returncode == 0
    for text in expected:
        assert text in done.stdout


@pytest.mark.python_output
def test_udev_refuses_half_an_id():
    done = subprocess.run(KORVO + ["udev", "--vendor", "1d6b"], capture_output=True, text=True, timeout=30)
    assert (done.returncode, done.stderr) == (1, "korvo: give both --vendor and --product, or neither\n")


# -- bad command lines, closed output -------------------------------------------------------

LIMIT = "must be above 0 s and at most 60 s"
BAD_VALUES = [
    (["info", "/dev/null", "--timeout", "nan"], f"korvo info: error: argument --timeout: {LIMIT}, not 'nan'"),
    (["info", "/dev/null", "--timeout", "-1"], f"korvo info: error: argument --timeout: {LIMIT}, not '-1'"),
    (["info", "/dev/null", "--timeout", "0"], f"korvo info: error: argument --timeout: {LIMIT}, not '0'"),
    (["info", "/dev/null", "--timeout", "61"], f"korvo info: error: argument --timeout: {LIMIT}, not '61'"),
    (["info", "/dev/null", "--timeout", "soon"], f"korvo info: error: argument --timeout: {LIMIT}, not 'soon'"),
    (["list", "--timeout", "inf"], f"korvo list: error: argument --timeout: {LIMIT}, not 'inf'"),
    (["monitor", "/dev/null", "--timeout", "1e9"], f"korvo monitor: error: argument --timeout: {LIMIT}, not '1e9'"),
    (["monitor", "/dev/null", "--seconds", "0"], "korvo monitor: error: argument --seconds: must be above 0 s, not '0'"),
    (["monitor", "/dev/null", "--seconds", "nan"], "korvo monitor: error: argument --seconds: must be above 0 s, not 'nan'"),
    (["udev", "--vendor", "xyz", "--product", "0104"],
     "korvo udev: error: argument --vendor: must be four hexadecimal digits (as lsusb shows it), not 'xyz'"),
    ([], "korvo: error: the following arguments are required: command"),
]  # fmt: skip


@pytest.mark.python_output
@pytest.mark.parametrize("arguments, error", BAD_VALUES, ids=[" ".join(a) or "nothing" for a, _ in BAD_VALUES])
def test_a_bad_command_line_is_one_line_and_status_2(arguments, error):
    done = subprocess.run(KORVO + arguments, capture_output=True, text=True, timeout=30)
    assert (done.returncode, done.stdout, done.stderr) == (2, "", error + "\n")


@pytest.mark.python_output
@pytest.mark.parametrize("arguments", [["udev"], ["info", "{arm}"], ["monitor", "{arm}", "--seconds", "5"]],
                         ids=["udev", "info", "monitor"])
def test_output_into_a_closed_pipe_ends_the_command_quietly(arguments):
    from korvo_sim import Simulator

    with Simulator("arm") as sim:
        # The reader is gone before the command writes anything.
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            done = subprocess.run(KORVO + [a.format(arm=sim.port("arm")) for a in arguments], stdout=write_end,
                                  stderr=subprocess.PIPE, text=True, timeout=30)
        finally:
            os.close(write_end)
    assert (done.returncode, done.stderr) == (141, "")


@pytest.mark.python_output
@pytest.mark.skipif(os.geteuid() != 0, reason="installing a rule needs root")
def test_udev_install_writes_the_rule(tmp_path):
    done = subprocess.run(KORVO + ["udev", "--install", "--rules-dir", str(tmp_path)], capture_output=True, text=True,
                          timeout=60)
    assert (tmp_path / "60-korvo.rules").read_text() == subprocess.run(
        KORVO + ["udev"], capture_output=True, text=True, timeout=30
    ).stdout
    assert done.stdout.startswith(f"wrote {tmp_path / '60-korvo.rules'}\n")
