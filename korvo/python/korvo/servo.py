"""korvo.Servo: the native servo loop, with callbacks for its faults and its end."""

from __future__ import annotations

import logging
import threading
import weakref
from collections.abc import Callable
from dataclasses import dataclass

from . import _native, _options

log = logging.getLogger("korvo")


@dataclass(frozen=True)
class ServoEvent:
    """Something a servo loop did that a program may want to hear about.

    ``kind`` is ``"fault"`` (faults were raised: ``changed``), ``"cleared"``
    (faults cleared: ``changed``) or ``"end"`` (the loop ended; ``changed``
    names the faults that ended it, empty when the program stopped it, and
    ``reason`` says why with a summary of the run). ``faults`` are those in
    force after it; ``tick`` and ``time`` (seconds since start) when it
    happened."""

    kind: str
    tick: int
    time: float
    faults: tuple[str, ...]
    changed: tuple[str, ...]
    reason: str = ""


Callback = Callable[[ServoEvent], object]


class Servo(_native.Servo):
    __doc__ = _native.Servo.__doc__

    def __init__(self, *args: object, **kwargs: object) -> None:
        # The keyword a program misspelt, named (the native constructor
        # would list every signature instead).
        known = _options.parameters(_native.Servo)
        if any(key not in known for key in kwargs):
            _options.refuse(Servo, args, kwargs, known)
        super().__init__(*args, **kwargs)  # type: ignore[arg-type]
        self._on_fault: list[Callback] = []
        self._on_end: list[Callback] = []
        self._dispatcher: threading.Thread | None = None
        self._dispatch_lock = threading.Lock()
        self._started = False

    @property
    def state(self) -> _native.State:
        """The latest tick (never torn). RuntimeError before the loop was
        ever started: there is no tick to tell of yet."""
        self._require_started("state")
        return super().state

    @property
    def stats(self) -> _native.Stats:
        """Statistics since start() or reset_stats(). RuntimeError before the
        loop was ever started."""
        self._require_started("stats")
        return super().stats

    def _require_started(self, what: str) -> None:
        if not self._started:
            raise RuntimeError(
                f"korvo.Servo.{what}: the loop has not been started; call start(), or use it in a with block"
            )

    def on_fault(self, callback: Callback) -> Callback:
        """Calls ``callback(event)`` whenever faults are raised or cleared
        (event.kind "fault" or "cleared"), on a thread of the package's own,
        never on the servo thread. An exception in it is logged on the
        "korvo" logger and the loop goes on. Returns the callback, so it can
        decorate a function."""
        self._on_fault.append(callback)
        self._dispatch()
        return callback

    def on_end(self, callback: Callback) -> Callback:
        """Calls ``callback(event)`` once the loop has ended, however it ended
        (event.kind "end"; event.reason says why when a fault ended it, and
        flight_record() then holds the ticks before the end). Same thread
        and error handling as on_fault."""
        self._on_end.append(callback)
        self._dispatch()
        return callback

    def start(self) -> None:
        super().start()
        self._started = True
        self._dispatch()

    def __enter__(self) -> Servo:
        self.start()
        return self

    def __exit__(self, *args: object) -> None:
        self.stop()

    def _dispatch(self) -> None:
        """Starts the thread that hands events to the callbacks, while the
        loop runs and someone listens."""
        with self._dispatch_lock:
            if not (self._on_fault or self._on_end) or not self.running:
                return
            if self._dispatcher is not None:
                return
            # The thread holds the servo weakly: a loop nobody refers to is
            # still collected, and ends with its zero force.
            self._dispatcher = threading.Thread(
                target=_deliver, args=(weakref.ref(self),), name="korvo-servo-events", daemon=True
            )
            self._dispatcher.start()


def _deliver(servo_ref: weakref.ref[Servo]) -> None:
    while True:
        servo = servo_ref()
        if servo is None:
            return
        raw = servo._wait_events(0.05)
        for kind, tick, time, faults, changed in raw:
            event = ServoEvent(kind, tick, time, faults, changed, servo.end_reason if kind == "end" else "")
            callbacks = servo._on_end if kind == "end" else servo._on_fault
            for callback in list(callbacks):
                try:
                    callback(event)
                except Exception:
                    log.exception("korvo.Servo %s callback %r raised", kind, callback)
            if kind == "end":
                # A loop started again meanwhile keeps this thread; otherwise
                # it goes, and the next start() brings another.
                with servo._dispatch_lock:
                    if not servo.running:
                        servo._dispatcher = None
                        return
        del servo
