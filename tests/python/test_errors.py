"""The library's error reports routed by korvo: standard error by default
(the lines unchanged), Python's logging, or nowhere; a timeout reads as a
timeout; reports of threads without the interpreter lock are delivered
without deadlock (discovery keeps the lock while its probes report)."""

from __future__ import annotations

import logging
import os
import subprocess
import sys
import textwrap

import pytest

import KorvoHardwareAPI as hw
import korvo
from private_dev import run
from rig import SHORT, wait_until

MISSING = "/nonexistent/korvo-port"
ENOENT_TEXT = os.strerror(2)
OPEN_LINES = (
    f"[err] Library/src/SerialStream:39> unable to open port '{MISSING}': [2] {ENOENT_TEXT}\n"
    f"[err] Library/src/SerialStream:18> unable to open stream '{MISSING}': [2] {ENOENT_TEXT}\n"
)


@pytest.fixture
def records(caplog):
    """The library's reports, routed to logging for one test: read the
    records with library_records(records)."""
    caplog.set_level(logging.DEBUG, logger="KorvoHardwareAPI")
    korvo.errors_to_logging()
    yield caplog
    korvo.errors_to_stderr()


def library_records(caplog) -> list[logging.LogRecord]:
    return [r for r in caplog.records if hasattr(r, "korvo_error")]


def stderr_of(code: str) -> str:
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr
    return done.stderr


@pytest.mark.parametrize(
    "route",
    [
        pytest.param("", id="never-routed"),
        pytest.param("korvo.errors_to_logging(); korvo.errors_to_stderr()", id="routed-and-back"),
        pytest.param("korvo.silence_errors(); korvo.errors_to_stderr()", id="silenced-and-back"),
    ],
)
def test_stderr_lines_are_the_default_and_come_back_unchanged(route):
    assert stderr_of(f"""
        import KorvoHardwareAPI as hw, korvo
        {route}
        hw.SerialStream({MISSING!r})
    """) == OPEN_LINES


def test_silenced_reports_go_nowhere():
    assert stderr_of(f"""
        import logging, KorvoHardwareAPI as hw, korvo
        logging.basicConfig()
        korvo.silence_errors()
        hw.SerialStream({MISSING!r})
    """) == ""


def test_routed_reports_go_to_the_logger_and_not_to_stderr(records, capfd):
    hw.SerialStream(MISSING)
    found = wait_until(lambda: len(library_records(records)) == 2 and library_records(records))
    assert [r.getMessage() for r in found] == [
        f"unable to open port '{MISSING}': [2] {ENOENT_TEXT}",
        f"unable to open stream '{MISSING}': [2] {ENOENT_TEXT}",
    ]
    assert {(r.name, r.levelno) for r in found} == {("KorvoHardwareAPI", logging.ERROR)}
    error = found[0].korvo_error
    assert (error.source, error.source_line, error.kind, error.port, error.errno) == (
        "Library/src/SerialStream", 39, "failed call", MISSING, 2)
    assert error.line == OPEN_LINES.splitlines()[0]
    assert capfd.readouterr().err == ""


def test_a_timeout_reads_as_a_timeout(records, peer):
    arm = hw.Arvena(hw.SerialStream(peer.path), timeout=SHORT)
    assert arm.end_effector_force([0.0, 0.0, 0.0]) == ([0.0] * 3, [0.0] * 3)
    found = wait_until(lambda: library_records(records))
    first = found[0]
    assert first.getMessage() == f"timeout waiting for header code on {peer.path}"
    assert first.levelno == logging.WARNING
    assert (first.korvo_error.kind, first.korvo_error.errno, first.korvo_error.strerror) == ("timeout", None, None)


def test_a_report_of_a_thread_holding_the_interpreter_lock_is_logged_before_the_call_returns(records, peer):
    # The identity queries keep the lock while they wait.
    arm = hw.Arvena(hw.SerialStream(peer.path), timeout=SHORT)
    arm.get_device_id()
    assert [r.korvo_error.source_line for r in library_records(records)][:1] == [78]


def test_a_logger_given_by_object_gets_the_records_and_silencing_stops_them(peer):
    logger = logging.getLogger("korvo-test-errors")
    seen: list[logging.LogRecord] = []

    class Keep(logging.Handler):
        def emit(self, record: logging.LogRecord) -> None:
            seen.append(record)

    handler = Keep()
    logger.addHandler(handler)
    logger.propagate = False
    try:
        korvo.errors_to_logging(logger)
        hw.SerialStream(MISSING)
        wait_until(lambda: len(seen) == 2)
        korvo.silence_errors()
        arm = hw.Arvena(hw.SerialStream(peer.path), timeout=SHORT)
        arm.get_device_id()
        assert len(seen) == 2
    finally:
        korvo.errors_to_stderr()
        logger.removeHandler(handler)


@pytest.mark.timeout(30)
def test_discovery_with_reports_routed_to_logging_does_not_deadlock():
    # /dev/null opens and never answers: the probe's wait times out on the
    # probe thread, while the detect function keeps the interpreter lock and
    # waits for that thread (about 5 s).
    r = run(
        """
        import logging
        import korvo as haptics  # korvo here is KorvoHardwareAPI
        seen = []
        class Keep(logging.Handler):
            def emit(self, record):
                seen.append((record.getMessage(), record.korvo_error.kind, threading.current_thread().name))
        logging.getLogger("KorvoHardwareAPI").addHandler(Keep())
        haptics.errors_to_logging()
        link("ttyUSB0", "/dev/null")
        handles = korvo.detect_wired_handles()
        deadline = time.monotonic() + 5
        while not seen and time.monotonic() < deadline:
            time.sleep(0.01)
        haptics.errors_to_stderr()
        report(handles=handles, seen=seen)
        """
    )
    assert r["handles"] == [], r
    # Logged by korvo's thread once the lock was free, never by the probe's.
    assert r["seen"] == [["timeout waiting for header code on /dev/null", "timeout", "korvo-errors"]], r
