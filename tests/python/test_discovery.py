"""The four detect functions end to end, on a real /dev: a private one per
scenario (see private_dev.py), with korvo-sim devices and scripted peer
processes behind links named as the kernel names serial ports."""

import pytest

import KorvoHardwareAPI as korvo
from private_dev import run


def test_signatures():
    for name, text in [
        ("detect_arvenas", "detect available arvena devices"),
        ("detect_handles", "detect available handles"),
        ("detect_wired_handles", "detect available wired handles"),
        ("detect_wireless_handles", "detect available wireless handles"),
    ]:
        assert getattr(korvo, name).__doc__ == f"{name}() -> list[str]\n\n{text}\n"


def test_each_function_probes_its_own_kinds():
    r = run(
        """
        arm, = sim("arm", "--link", "/dev/ttyACM0")
        usb, = sim("handle", "--rate", "0", "--link", "/dev/ttyUSB0")
        bt, = sim("handle", "--rate", "0", "--wakeup-reply", "status", "--link", "/dev/rfcomm0")
        order = [os.path.realpath("/dev/" + n) for n in os.listdir("/dev") if n in ("ttyUSB0", "rfcomm0")]
        report(arm=arm, usb=usb, bt=bt, handle_order=order,
               arvenas=korvo.detect_arvenas(), wired=korvo.detect_wired_handles(),
               wireless=korvo.detect_wireless_handles(), handles=korvo.detect_handles())
        """
    )
    assert r["arvenas"] == [r["arm"]]
    assert r["wired"] == [r["usb"]]
    assert r["wireless"] == [r["bt"]]
    # The arm on ttyACM0 is probed as a handle too, and refused.
    assert r["handles"] == r["handle_order"]


@pytest.mark.timeout(60)  # five probes of 3 s and 5 s: about 9 s when all is well
def test_wrong_late_and_silent_answers_are_refused_and_each_port_hears_one_wakeup():
    r = run(
        """
        model3 = peer(b"\\x0b\\x01\\x00\\x03\\x01\\x01" + bytes(16))
        late = peer(b"\\x0b\\x01\\x00\\x04\\x01\\x01" + bytes(16), delay=3.5)
        error = peer(b"\\xdf\\x42\\x00\\x01")
        status = peer(b"\\xda\\x42\\x00\\x00\\x07" + bytes(16) + b"\\x00")
        silent = peer()
        for name, (child, path) in [("ttyACM1", model3), ("ttyACM2", late), ("ttyUSB1", error),
                                    ("ttyUSB2", status), ("rfcomm7", silent)]:
            link(name, path)
        arvenas, arm_seconds = timed(korvo.detect_arvenas)
        wired = korvo.detect_wired_handles()
        wireless, silent_seconds = timed(korvo.detect_wireless_handles)
        report(arvenas=arvenas, arm_seconds=arm_seconds, wired=wired, status=status[1],
               wireless=wireless, silent_seconds=silent_seconds,
               heard={path: received(child).hex() for child, path in (model3, late, error, status, silent)})
        """
    )
    assert r["arvenas"] == []
    assert r["arm_seconds"] >= 3.5  # the late answer is waited for, then not counted
    assert r["wired"] == [r["status"]]
    assert r["wireless"] == []
    assert r["silent_seconds"] >= 5.0
    assert set(r["heard"].values()) == {"0a"}


def test_two_arms_are_listed_in_directory_order():
    r = run(
        """
        first, second = sim("arm", "--link", "/dev/ttyACM0", "arm", "--link", "/dev/ttyACM1")
        order = [os.path.realpath("/dev/" + n) for n in os.listdir("/dev") if n.startswith("ttyACM")]
        report(found=korvo.detect_arvenas(), order=order)
        """
    )
    assert len(r["found"]) == 2
    assert r["found"] == r["order"]


def test_dangling_link_is_a_runtime_error():
    r = run(
        """
        link("ttyUSB9", "/dev/pts/999")
        errors = []
        for detect in (korvo.detect_arvenas, korvo.detect_handles):
            try:
                detect()
            except RuntimeError as e:
                errors.append(str(e))
        report(errors=errors)
        """
    )
    assert len(r["errors"]) == 2
    assert all(e.startswith("filesystem error: ") for e in r["errors"])


def test_host_without_usb_serial_adapters_has_no_wired_handles():
    # In a /dev of its own: the machine's may hold the demo's simulated
    # handle, which another test process links there while this one runs.
    r = run(
        """
        report(found=korvo.detect_wired_handles())
        """
    )
    assert r["found"] == []
