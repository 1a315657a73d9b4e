"""Where the library's error reports go: standard error (the default),
Python's logging, or nowhere.

    import logging
    import korvo

    logging.basicConfig()
    korvo.errors_to_logging()        # records of the logger "KorvoHardwareAPI"
    korvo.silence_errors()           # dropped
    korvo.errors_to_stderr()         # the "[err] ..." lines again

A record's message says what happened in words; a timeout reads as a
timeout ("timeout waiting for header code on /dev/ttyACM0"), without the
errno a line on standard error carries (no system call failed, so that
number is whatever the process last set). Failed system calls are logged
at ERROR, timeouts at WARNING; every record carries the whole report as
``record.korvo_error`` (a LibraryError).

Reports made on the thread that holds the interpreter lock are logged
before the failing call returns; reports of other threads (discovery's
probes, a servo loop) are logged by a small thread of this module, or by
the next report made with the lock held, whichever comes first, and always
in the order they were made.
"""

from __future__ import annotations

import atexit
import logging
import threading
from dataclasses import dataclass
from typing import Literal

from . import _native

DEFAULT_LOGGER = "KorvoHardwareAPI"


@dataclass(frozen=True)
class LibraryError:
    """One error report of the library."""

    source: str  #: "Library/src/SerialStream" or "Library/src/Device"
    source_line: int  #: fixed per report: names it across releases
    kind: Literal["timeout", "failed call"]
    operation: str  #: the operation's own words, "timeout waiting for header code"
    port: str  #: the stream's port, "" when not known
    errno: int | None  #: the failed call's errno; None for a timeout
    strerror: str | None  #: its text; None for a timeout
    line: str  #: the line standard error gets by default, without its newline

    @property
    def message(self) -> str:
        """The report in words, for a log record."""
        text = self.operation
        if self.port and self.port not in text:
            text += f" on {self.port}"
        if self.kind == "failed call":
            text += f": [{self.errno}] {self.strerror}"
        return text


def _report(fields: _native._ErrorFields) -> LibraryError:
    source, source_line, kind, operation, port, errno, strerror, line = fields
    if kind == "timeout":
        return LibraryError(source, source_line, "timeout", operation, port, None, None, line)
    return LibraryError(source, source_line, "failed call", operation, port, errno, strerror, line)


class _Route:
    """The logger reports go to, and the thread that delivers the reports of
    threads without the interpreter lock."""

    def __init__(self) -> None:
        self.logger: logging.Logger | None = None
        self.thread: threading.Thread | None = None
        self.stopping = threading.Event()
        # Delivery happens with the interpreter lock held, on this thread or
        # on a failing one; this lock keeps two of them from interleaving.
        self.delivering = threading.RLock()

    def deliver(self) -> None:
        with self.delivering:
            reports, dropped = _native._take_errors()
            logger = self.logger
            if logger is None:
                return
            for fields in reports:
                error = _report(fields)
                level = logging.WARNING if error.kind == "timeout" else logging.ERROR
                logger.log(level, "%s", error.message, extra={"korvo_error": error})
            if dropped:
                logger.warning("%d library error reports dropped: none was delivered in time", dropped)

    def run(self) -> None:
        while not self.stopping.is_set():
            if _native._wait_errors(1.0):
                self.deliver()

    def start(self, logger: logging.Logger) -> None:
        self.logger = logger
        _native._errors_to_python(self.deliver)
        if self.thread is None or not self.thread.is_alive():
            self.stopping.clear()
            self.thread = threading.Thread(target=self.run, name="korvo-errors", daemon=True)
            self.thread.start()

    def stop(self) -> None:
        """Delivers what is queued, then ends the thread."""
        if self.thread is not None:
            self.stopping.set()
            _native._wake_errors()
            if self.thread is not threading.current_thread():  # a handler may reroute
                self.thread.join()
            self.thread = None
        self.deliver()
        self.logger = None


_route = _Route()


def errors_to_logging(logger: logging.Logger | str = DEFAULT_LOGGER) -> None:
    """Sends the library's error reports to `logger` (a Logger or a logger
    name) as log records instead of lines on standard error."""
    if isinstance(logger, str):
        logger = logging.getLogger(logger)
    _route.start(logger)


def silence_errors() -> None:
    """Drops the library's error reports."""
    _native._errors_silenced()
    _route.stop()


def errors_to_stderr() -> None:
    """Writes the library's error reports as lines on standard error again,
    exactly as without korvo (the default)."""
    _native._errors_to_stderr()
    _route.stop()


def _at_exit() -> None:
    # Past this point the interpreter goes away: reports still to come (a
    # loop ending in a destructor) go to standard error, unless silenced.
    if _route.logger is not None:
        errors_to_stderr()


atexit.register(_at_exit)
