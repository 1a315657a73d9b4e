"""The module frame: import, attributes, version functions, SerialStream."""

import contextlib
import io
import os
import subprocess
import time
from pathlib import Path

import pytest

import KorvoHardwareAPI as korvo
from rig import error_lines


def test_module_attributes():
    assert korvo.__name__ == "KorvoHardwareAPI"
    assert korvo.__doc__ == "Python Implementation of the Korvo Hardware API"
    assert korvo.__version__ == "dev"
    assert korvo.get_cpp_version() == "0.2.8"


def test_second_import_returns_the_same_module():
    import importlib

    assert importlib.import_module("KorvoHardwareAPI") is korvo


@pytest.mark.parametrize(
    "function, doc",
    [
        ("get_cpp_version", "get_cpp_version() -> str\n\nGet the version of the CPP library\n"),
        ("print_cpp_version", "print_cpp_version() -> None\n\nPrint the version of the CPP library\n"),
    ],
)
def test_function_signatures(function, doc):
    assert getattr(korvo, function).__doc__ == doc


def test_print_cpp_version_reaches_descriptor_1_even_when_stdout_is_redirected(capfd):
    redirected = io.StringIO()
    with contextlib.redirect_stdout(redirected):
        assert korvo.print_cpp_version() is None
    assert redirected.getvalue() == ""
    assert capfd.readouterr().out == "Library version: 0.2.8\n"


def test_serial_stream_registration():
    assert korvo.SerialStream.__doc__ is None
    assert korvo.SerialStream.__init__.__doc__ == (
        "__init__(self: KorvoHardwareAPI.SerialStream, arg0: str) -> None\n\nInitialize the serial stream\n"
    )


def test_serial_stream_rejects_new_attributes(capfd):
    stream = korvo.SerialStream("/nonexistent/korvo-attr")
    with pytest.raises(AttributeError):
        stream.speed = 9600


MISSING = "/nonexistent/korvo-port"


@pytest.mark.parametrize("port", [MISSING, MISSING.encode(), bytearray(MISSING.encode())], ids=["str", "bytes", "bytearray"])
def test_unopenable_port_logs_port_then_stream_line(capfd, port):
    stream = korvo.SerialStream(port)
    assert isinstance(stream, korvo.SerialStream)
    text = os.strerror(2)
    assert error_lines(capfd) == [
        ("Library/src/SerialStream", 39, f"unable to open port '{MISSING}'", 2, text),
        ("Library/src/SerialStream", 18, f"unable to open stream '{MISSING}'", 2, text),
    ]


@pytest.mark.parametrize("port", [None, 3, 1.5, ["/dev/null"]])
def test_port_name_of_another_type_is_a_type_error(port):
    with pytest.raises(TypeError, match="Invoked with"):
        korvo.SerialStream(port)


def test_opening_a_pty_logs_nothing(capfd, peer):
    korvo.SerialStream(peer.path)
    assert error_lines(capfd) == []


def test_port_name_outlives_the_callers_string(capfd):
    # The binding hands the stream a temporary; the stream must have copied it.
    korvo.SerialStream("".join(["/nonexistent/", "korvo-", "temporary"]))
    assert all(line[2].endswith("'/nonexistent/korvo-temporary'") for line in error_lines(capfd))


def test_error_lines_from_two_threads_leave_the_locale_alone(capfd):
    # Two arms failing on two threads (error lines written without the
    # interpreter lock) while this thread keeps reading the locale: it must
    # stay what the program set, and readable, throughout.
    import locale
    import threading

    from rig import PtyPeer

    before = locale.setlocale(locale.LC_ALL)
    peers = [PtyPeer(), PtyPeer()]
    stop = threading.Event()
    failures = []

    def fail_repeatedly(path):
        arm = korvo.Arvena(korvo.SerialStream(path), 0.001)
        while not stop.is_set():
            arm.get_power_status()
            failures.append(1)

    threads = [threading.Thread(target=fail_repeatedly, args=(p.path,)) for p in peers]
    for t in threads:
        t.start()
    seen = set()
    try:
        deadline = time.monotonic() + 0.5
        while time.monotonic() < deadline or len(failures) < 20:
            seen.add(locale.setlocale(locale.LC_ALL))
            seen.add(locale.localeconv()["decimal_point"])
    finally:
        stop.set()
        for t in threads:
            t.join()
        for p in peers:
            p.close()
    assert seen == {before, "."}
    assert len(error_lines(capfd)) >= 20


def other_python():
    path = os.environ.get("KORVO_OTHER_PYTHON", "")
    return path if path and Path(path).exists() else None


@pytest.mark.skipif(other_python() is None, reason="no Python 3.12 beside 3.13 (set KORVO_OTHER_PYTHON)")
def test_other_interpreter_is_refused_with_the_mismatch_message():
    loader = (
        "import importlib.util, sys\n"
        "found = importlib.util.spec_from_file_location('KorvoHardwareAPI', sys.argv[1])\n"
        "try:\n"
        "    importlib.util.module_from_spec(found)\n"
        "except ImportError as e:\n"
        "    print(str(e), end='')\n"
        "    sys.exit(0)\n"
        "sys.exit('imported under the wrong interpreter')\n"
    )
    version = subprocess.run([other_python(), "-c", "import sys; print(sys.version, end='')"], capture_output=True, text=True)
    result = subprocess.run([other_python(), "-c", loader, korvo.__file__], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout == (
        "Python version mismatch: module was compiled for Python 3.13, "
        f"but the interpreter version is incompatible: {version.stdout}."
    )
