"""A servo loop's every tick, and a handle's every frame, written as they
come to a rosbag2 recording with MCAP storage (see korvo.ros.bag).

    with korvo.Servo("/dev/ttyACM0") as servo, servo.record("run", monitor=monitor) as recorder:
        ...
    # run/run.mcap and run/metadata.yaml: ros2 bag info run

The recorder reads taps of its own (never servo.recording(), which stays
the program's) on a thread of its own, so the servo thread only copies each
tick into one more ring. Memory stays bounded however long it runs: the
taps are fixed rings, and what was drained is written out chunk by chunk.
A tick the recorder could not keep (its tap was full) is counted: the tick
numbers jump, and ``ticks_lost`` and the statistics topic say how many.

The recording ends valid and complete however the program ends: stop(),
leaving the with block (also by an exception or Ctrl+C), or interpreter
exit, where the loops are stopped first so that their last ticks are in
it. A full disk or a failed write ends the recording, never the loop:
``error`` says why, stop() raises it, and what was written stays readable.
"""

from __future__ import annotations

import atexit
import os
import threading
import time
from types import TracebackType
from typing import Any

from . import _native
from .ros import bag, messages


NICENESS = 5


class Recorder:
    """Records `servo` (a korvo.Servo) and, if given, `monitor` (a
    korvo.HandleMonitor) to the rosbag2 directory `path`, which must not
    exist. Made by servo.record(path, monitor=None, **options); starts at
    once and records until stop().

    The path is created, and any error about it raised (BagError), before
    this returns: make the recorder before starting the loop to hear of an
    unwritable path before the arm moves.
    """

    def __init__(
        self,
        servo: Any,
        path: str | os.PathLike[str],
        monitor: Any = None,
        *,
        arm_namespace: str = "arm",
        handle_namespace: str = "handle",
        arm_frame_id: str | None = None,
        handle_frame_id: str | None = None,
        compression: str = "zstd",
        chunk_seconds: float = 1.0,
        interval: float = 0.05,
        tap_seconds: float = 16.0,
    ) -> None:
        if not (interval > 0 and chunk_seconds > 0 and tap_seconds > 0):
            raise ValueError("interval, chunk_seconds and tap_seconds must be above 0")
        self.servo = servo
        self.monitor = monitor
        self.interval = interval
        self.arm = messages.ArmMessages(arm_namespace, arm_frame_id)
        self.handle = messages.HandleMessages(handle_namespace, handle_frame_id) if monitor is not None else None
        self.clock = messages.Clock()
        topics = dict(self.arm.topics)
        if self.handle is not None:
            topics.update(self.handle.topics)
        custom = {"rate": repr(float(servo.rate)), "arm_namespace": arm_namespace}
        if self.handle is not None:
            custom["handle_namespace"] = handle_namespace
        self.writer = bag.BagWriter(path, topics, compression=compression, chunk_seconds=chunk_seconds, custom=custom)
        self.path = self.writer.path
        capacity = max(4096, int(servo.rate * tap_seconds))
        try:
            self.tick_tap = servo._open_tap(capacity)
            self.frame_tap = monitor._open_tap(16384) if monitor is not None else None
        except BaseException:
            self.writer.abandon()
            raise
        self.ticks = 0
        self.ticks_lost = 0
        self.frames = 0
        self.frames_lost = 0
        self.error: bag.BagError | None = None
        # The longest time between two drains (s): what the taps had to hold.
        self.longest_pause = 0.0
        self._drained_at: float | None = None
        self._stats_at = 0.0
        self._stop = threading.Event()
        self._lock = threading.Lock()
        self._stopped = False
        self._thread = threading.Thread(target=self._run, name=f"korvo recorder {self.path}", daemon=True)
        atexit.register(self._at_exit)
        self._thread.start()

    # -- the recorder's thread -------------------------------------------------------------------

    def _run(self) -> None:
        # Below the rest of the process, and below what carries the loop's
        # bytes (the kernel's tty workers, a simulator): the taps hold 16
        # seconds, so the recorder can wait its turn; the loop cannot.
        try:
            here = threading.get_native_id()
            os.setpriority(os.PRIO_PROCESS, here, min(19, os.getpriority(os.PRIO_PROCESS, here) + NICENESS))
        except OSError:
            pass
        try:
            while not self._stop.wait(self.interval):
                if not self._step():
                    return
            self._step(final=True)
        except Exception as e:  # not a write: the recording still closes whole at stop()
            self.error = bag.BagError(f"recording to {self.path} stopped: {e!r}")
            self._close_taps()

    def _step(self, final: bool = False) -> bool:
        """Drains the taps and writes what they held; False once writing
        has failed."""
        if self.error is not None:
            return False
        try:
            now = time.monotonic()
            if self._drained_at is not None:
                self.longest_pause = max(self.longest_pause, now - self._drained_at)
            self._drained_at = now
            ticks = self.tick_tap.drain()
            self.ticks_lost += int(ticks.pop("dropped"))
            if len(ticks["tick"]):
                self.ticks += len(ticks["tick"])
                self.writer.write(self.arm.from_ticks(ticks, self.servo.started_at, self.clock))
            if self.frame_tap is not None and self.handle is not None:
                frames = self.frame_tap.drain()
                self.frames_lost += int(frames.pop("dropped"))
                if len(frames["frame"]):
                    self.frames += len(frames["frame"])
                    self.writer.write(self.handle.from_frames(frames, self.monitor.started_at, self.clock))
            # Statistics tell of a loop that ran: none while it has not started.
            started = getattr(self.servo, "_started", True)
            if started and (final or now - self._stats_at >= 1.0):
                self._stats_at = now
                self.writer.write([self.arm.statistics(
                    self.servo.stats, self.clock.now_ns(), ticks_recorded=self.ticks, ticks_lost=self.ticks_lost,
                    frames_recorded=self.frames, frames_lost=self.frames_lost,
                    longest_pause_ms=round(self.longest_pause * 1e3, 1))])
            return True
        except bag.BagError as e:
            self.error = e
            self._close_taps()
            return False

    def _close_taps(self) -> None:
        self.tick_tap.close()
        if self.frame_tap is not None:
            self.frame_tap.close()

    # -- ending ----------------------------------------------------------------------------------

    @property
    def running(self) -> bool:
        return self._thread.is_alive()

    def stop(self) -> None:
        """Writes what is left, closes the recording (valid and complete),
        and raises the error that ended it early, if any."""
        with self._lock:
            if not self._stopped:
                self._stopped = True
                atexit.unregister(self._at_exit)
                self._stop.set()
                if self._thread is not threading.current_thread():
                    self._thread.join()
                self._close_taps()
                try:
                    self.writer.close()  # after a failed write, what it finished already
                except bag.BagError as e:
                    self.error = self.error or e
        if self.error is not None:
            raise self.error

    def _at_exit(self) -> None:
        # The loops end first (each with its zero force), so that their last
        # ticks are in the recording.
        _native.stop_all()
        if self.monitor is not None:
            self.monitor.stop()
        try:
            self.stop()
        except bag.BagError as e:
            print(f"korvo: {e}", file=__import__("sys").stderr)

    def __enter__(self) -> Recorder:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        if kind is None:
            self.stop()
            return
        try:
            self.stop()
        except bag.BagError:
            pass  # the exception on its way matters more

    def __repr__(self) -> str:
        state = "recording" if self.running else ("failed" if self.error else "closed")
        return f"Recorder({str(self.path)!r}, {state}, {self.ticks} ticks, {self.ticks_lost} lost)"


def record(servo: Any, path: str | os.PathLike[str], monitor: Any = None, **options: Any) -> Recorder:
    return Recorder(servo, path, monitor, **options)
