"""The native part of korvo: the servo loop and what runs on its thread."""

import os
from collections.abc import Callable, Sequence
from typing import Any, Literal, TypedDict

import KorvoHardwareAPI

from .recorder import Recorder
from .recording import Recording

_Vector = Sequence[float]
_Triple = tuple[float, float, float]

class _Limits(TypedDict):
    max_force: float
    max_force_step: float
    ramp_time: float
    max_speed: float
    heartbeat: float | None
    fade_time: float
    max_failed_exchanges: int
    stop_on_failure: bool

class _Counts(TypedDict):
    frames: int
    bad_frames: int
    events: int
    events_dropped: int

class Effect:
    """A force law evaluated on the servo thread every tick (see Servo.add)."""

class Constant(Effect):
    """A constant force (N)."""

    def __init__(self, force: _Vector = (0.0, 0.0, 0.0)) -> None: ...
    @property
    def force(self) -> _Triple: ...
    @force.setter
    def force(self, value: _Vector) -> None: ...
    def set(self, **kwargs: Any) -> None:
        """Changes several parameters at once: checked together, applied at the same tick."""

class Damper(Effect):
    """Viscosity: F = -viscosity * v (N s/m)."""

    def __init__(self, viscosity: float = 0.0) -> None: ...
    @property
    def viscosity(self) -> float: ...
    @viscosity.setter
    def viscosity(self, value: float) -> None: ...
    def set(self, **kwargs: Any) -> None:
        """Changes several parameters at once: checked together, applied at the same tick."""

class Spring(Effect):
    """A spring to a target point: F = stiffness (anchor - p) - damping v. The anchor starts where the arm is and moves toward the target at no more than max_speed (m/s), so a new target never makes the force jump."""

    def __init__(
        self, target: _Vector = (0.0, 0.0, 0.0), stiffness: float = 0.0, damping: float = 0.0, max_speed: float = 0.1
    ) -> None: ...
    @property
    def target(self) -> _Triple: ...
    @target.setter
    def target(self, value: _Vector) -> None: ...
    @property
    def stiffness(self) -> float: ...
    @stiffness.setter
    def stiffness(self, value: float) -> None: ...
    @property
    def damping(self) -> float: ...
    @damping.setter
    def damping(self, value: float) -> None: ...
    @property
    def max_speed(self) -> float: ...
    @max_speed.setter
    def max_speed(self, value: float) -> None: ...
    @property
    def anchor(self) -> _Triple:
        """Where the spring pulls now, as the servo thread last moved it."""
    def set(self, **kwargs: Any) -> None:
        """Changes several parameters at once: checked together, applied at the same tick."""

class Plane(Effect):
    """A one-sided wall through `point`; `normal` points out of it into free space (any non-zero length). Inside at depth d: F = max(0, stiffness d - damping (v . n)) n."""

    def __init__(
        self,
        point: _Vector = (0.0, 0.0, 0.0),
        normal: _Vector = (0.0, 0.0, 1.0),
        stiffness: float = 0.0,
        damping: float = 0.0,
    ) -> None: ...
    @property
    def point(self) -> _Triple: ...
    @point.setter
    def point(self, value: _Vector) -> None: ...
    @property
    def normal(self) -> _Triple: ...
    @normal.setter
    def normal(self, value: _Vector) -> None: ...
    @property
    def stiffness(self) -> float: ...
    @stiffness.setter
    def stiffness(self, value: float) -> None: ...
    @property
    def damping(self) -> float: ...
    @damping.setter
    def damping(self, value: float) -> None: ...
    def set(self, **kwargs: Any) -> None:
        """Changes several parameters at once: checked together, applied at the same tick."""

class Sphere(Effect):
    """Keeps the end effector inside (inside=True) or outside a sphere, with a spring along the radius."""

    def __init__(
        self,
        center: _Vector = (0.0, 0.0, 0.0),
        radius: float = 0.05,
        stiffness: float = 0.0,
        damping: float = 0.0,
        inside: bool = True,
    ) -> None: ...
    @property
    def center(self) -> _Triple: ...
    @center.setter
    def center(self, value: _Vector) -> None: ...
    @property
    def radius(self) -> float: ...
    @radius.setter
    def radius(self, value: float) -> None: ...
    @property
    def stiffness(self) -> float: ...
    @stiffness.setter
    def stiffness(self, value: float) -> None: ...
    @property
    def damping(self) -> float: ...
    @damping.setter
    def damping(self, value: float) -> None: ...
    @property
    def inside(self) -> bool: ...
    @inside.setter
    def inside(self, value: bool) -> None: ...
    def set(self, **kwargs: Any) -> None:
        """Changes several parameters at once: checked together, applied at the same tick."""

class Box(Effect):
    """Keeps the end effector inside (inside=True) or outside an axis-aligned box from `min` to `max`."""

    def __init__(
        self,
        min: _Vector = (-0.05, -0.05, -0.05),
        max: _Vector = (0.05, 0.05, 0.05),
        stiffness: float = 0.0,
        damping: float = 0.0,
        inside: bool = True,
    ) -> None: ...
    @property
    def min(self) -> _Triple: ...
    @min.setter
    def min(self, value: _Vector) -> None: ...
    @property
    def max(self) -> _Triple: ...
    @max.setter
    def max(self, value: _Vector) -> None: ...
    @property
    def stiffness(self) -> float: ...
    @stiffness.setter
    def stiffness(self, value: float) -> None: ...
    @property
    def damping(self) -> float: ...
    @damping.setter
    def damping(self, value: float) -> None: ...
    @property
    def inside(self) -> bool: ...
    @inside.setter
    def inside(self, value: bool) -> None: ...
    def set(self, **kwargs: Any) -> None:
        """Changes several parameters at once: checked together, applied at the same tick."""

class TeleopReport:
    """One tick of a teleoperation coupling, as it saw it (see TeleopCoupling)."""

    @property
    def tick(self) -> int: ...
    @property
    def time(self) -> float:
        """Seconds since the loop started."""
    @property
    def position(self) -> _Triple: ...
    @property
    def velocity(self) -> _Triple: ...
    @property
    def port_position(self) -> _Triple:
        """This end's motion in channel units (a leader's scaled by position_scale)."""
    @property
    def port_velocity(self) -> _Triple: ...
    @property
    def anchor(self) -> _Triple:
        """A follower's: where its spring pulls."""
    @property
    def peer_position(self) -> _Triple:
        """The peer's newest motion (what a follower follows)."""
    @property
    def peer_force(self) -> _Triple:
        """The peer's newest force (what a leader renders)."""
    @property
    def channel(self) -> _Triple:
        """The channel's force on this end, weighted by the link, before the passivity controller."""
    @property
    def force(self) -> _Triple:
        """Newtons the coupling asks of this arm."""
    @property
    def energy_in(self) -> float:
        """J that entered the channel at this end."""
    @property
    def energy_out(self) -> float:
        """J that left it here."""
    @property
    def dissipated(self) -> float:
        """J this end's passivity controller took."""
    @property
    def observed(self) -> float:
        """J this end may still give out: the peer's energy in less this end's energy out, since the count began (negative only with passivity off)."""
    @property
    def peer_energy(self) -> float:
        """J the peer reported to have taken in, since the count began."""
    @property
    def alpha(self) -> float:
        """N s/m, this tick's damping of the passivity controller."""
    @property
    def link(self) -> float:
        """0 to 1: the link's weight (0: faded out)."""
    @property
    def sample_age(self) -> float:
        """Seconds: the peer's newest sample's age (-1: none yet)."""
    @property
    def sample_latency(self) -> float:
        """Seconds: that sample's age at the first tick that used it."""
    @property
    def sample_sequence(self) -> int: ...
    @property
    def fresh(self) -> bool:
        """Whether the newest sample is younger than the timeout."""

class _TeleopParams(TypedDict):
    stiffness: float
    damping: float
    local_damping: float
    position_scale: float
    force_scale: float
    max_speed: float
    timeout: float
    fade_time: float
    ramp_time: float
    passivity: bool

class TeleopCoupling(Effect):
    """One end of a position-force teleoperation pair, on the servo thread: a follower's spring-damper toward the leader's motion, or a leader's rendering of the follower's force, each with damping of its own arm and a time-domain passivity observer and controller that keep a delayed link passive. The peer's samples come in through take_sample and take_energy (korvo.ros.Teleop does that over ROS 2); a sample older than `timeout` fades the coupling out over `fade_time`, a fresh one ramps it back over `ramp_time`."""

    def __init__(self, role: str, **kwargs: float | bool) -> None:
        """role: 'leader' or 'follower'; keywords: stiffness (N/m), damping, local_damping (N s/m), position_scale, force_scale (a leader's), max_speed (m/s, a follower's anchor), timeout, fade_time, ramp_time (s), passivity (bool)."""
    @property
    def role(self) -> str: ...
    @property
    def params(self) -> _TeleopParams:
        """The parameters, as a dict."""
    def set(self, **kwargs: float | bool) -> None:
        """Changes parameters by keyword: checked together, applied at the same tick."""
    def take_sample(
        self,
        position: _Vector = (0.0, 0.0, 0.0),
        velocity: _Vector = (0.0, 0.0, 0.0),
        force: _Vector = (0.0, 0.0, 0.0),
        *,
        stamp: float,
        sequence: int,
    ) -> None:
        """The peer's newest tick: a leader's motion in channel units (position, velocity) for a follower, a follower's force for a leader; `stamp` when that tick began, in seconds on this loop's clock (since its start); `sequence` increasing from 1."""
    def take_energy(self, energy_in: float, source: int) -> None:
        """The peer's energy account: the joules that entered the channel at its end (never decreasing), and who counts them (another source starts the count over)."""
    @property
    def report(self) -> TeleopReport:
        """The latest tick, as the coupling saw it."""
    @property
    def writes(self) -> int:
        """Ticks reported so far."""
    def _wait(self, after: int, not_before: float, timeout: float) -> int:
        """Waits until more than `after` ticks are reported, or `timeout` s, looking first at `not_before` (time.monotonic()); the count."""
    def _open_tap(self, capacity: int) -> _TeleopTap:
        """Every tick's report from now on, `capacity` ticks deep."""

class _TeleopTap:
    """Every tick's report of a teleoperation coupling."""
    def drain(self) -> dict[str, Any]:
        """Everything since the last drain, as numpy arrays; 'dropped' counts what a full tap refused."""
    def close(self) -> None: ...

class State:
    """One tick of the servo loop, as its thread saw it."""

    @property
    def tick(self) -> int:
        """Ticks since start(), from 0."""
    @property
    def time(self) -> float:
        """Seconds since start() when the tick began."""
    @property
    def position(self) -> _Triple:
        """Metres."""
    @property
    def velocity(self) -> _Triple:
        """Metres per second."""
    @property
    def force(self) -> _Triple:
        """Newtons sent this tick."""
    @property
    def commanded(self) -> _Triple:
        """Newtons asked for (force, hook and effects) before the safety envelope."""
    @property
    def exchange_ok(self) -> bool:
        """Whether this tick's reply came, well formed."""
    @property
    def faults(self) -> tuple[str, ...]:
        """Names of the faults in force: speed, heartbeat, exchanges, disconnected, bad-force."""
    @property
    def enabled(self) -> bool:
        """Whether forces were let through (servo.enabled)."""
    @property
    def fault_time(self) -> float:
        """Seconds since start() when the latest fault was raised; -1 if none ever was."""

class Stats:
    """Statistics of the servo loop since start() or reset_stats()."""

    @property
    def ticks(self) -> int: ...
    @property
    def seconds(self) -> float: ...
    @property
    def rate(self) -> float:
        """Achieved ticks per second."""
    @property
    def period_p50(self) -> float:
        """Seconds."""
    @property
    def period_p99(self) -> float: ...
    @property
    def period_p999(self) -> float: ...
    @property
    def period_max(self) -> float: ...
    @property
    def overruns(self) -> int:
        """Periods longer than 1.5 nominal."""
    @property
    def exchange_p50(self) -> float:
        """Seconds."""
    @property
    def exchange_p99(self) -> float: ...
    @property
    def exchange_max(self) -> float: ...
    @property
    def failed_exchanges(self) -> int: ...
    @property
    def resyncs(self) -> int: ...
    @property
    def late_bytes(self) -> int:
        """Bytes read that answered no tick: late or broken replies, the markers' answers."""
    @property
    def lost_lines(self) -> int:
        """Times the loop waited for a line it could not read to fall quiet."""
    @property
    def success_rate(self) -> float:
        """Share of the last 100 exchanges (fewer just after start) that got their reply, 0 to 1."""

class Servo:
    def __init__(
        self,
        arm: str | bytes | os.PathLike[str] | KorvoHardwareAPI.Arvena,
        rate: float = 1000.0,
        *,
        max_force: float = 4.0,
        max_force_step: float = 0.05,
        ramp_time: float = 0.5,
        max_speed: float = 1.0,
        heartbeat: float | None = None,
        fade_time: float = 0.05,
        max_failed_exchanges: int = 10,
        stop_on_failure: bool = False,
        exchange_timeout: float | None = None,
        realtime: bool | Literal["off", "prefer", "require"] = "prefer",
        realtime_priority: int = 80,
        recording: int = 65536,
        effect_fade_time: float = 0.03,
        flight_record: int = 2000,
    ) -> None: ...
    def start(self) -> None:
        """Starts the loop: one zero-force exchange first (RuntimeError when the arm does not answer), then the thread."""
    def stop(self) -> None:
        """Ends the loop; the last thing sent to the arm is a zero force."""
    @property
    def running(self) -> bool: ...
    @property
    def force(self) -> _Triple:
        """The force asked for, in newtons (x, y, z); setting it also counts as calling in (heartbeat)."""
    @force.setter
    def force(self, value: _Vector) -> None: ...
    def heartbeat(self) -> None:
        """Calls in without changing the force (see the heartbeat limit)."""
    @property
    def limits(self) -> _Limits: ...
    def set_limits(self, **kwargs: Any) -> None:
        """Changes safety limits while the loop runs, by keyword (max_force=..., heartbeat=None, ...)."""
    @property
    def state(self) -> State:
        """The latest tick (never torn)."""
    @property
    def stats(self) -> Stats: ...
    def reset_stats(self) -> None: ...
    def recording(self) -> Recording:
        """Every tick recorded since the last call, as numpy arrays (a korvo.Recording)."""
    def record(self, path: str | os.PathLike[str], monitor: HandleMonitor | None = None, **options: Any) -> Recorder:
        """Records every tick (and with a HandleMonitor, every frame) to the rosbag2 directory `path`, with MCAP storage, on a thread of its own; a korvo.recorder.Recorder, to use as a context manager."""
    def _open_tap(self, capacity: int) -> _TickTap:
        """A stream of every tick from now on, `capacity` ticks deep, independent of recording()."""
    @property
    def realtime(self) -> bool:
        """Whether the servo thread got real-time priority (SCHED_FIFO)."""
    @property
    def memory_locked(self) -> bool:
        """Whether the loop's buffers are locked in memory."""
    @property
    def low_cpu_latency(self) -> bool:
        """Whether the CPUs are asked to stay out of deep idle states while the loop runs."""
    @property
    def rate(self) -> float: ...
    @property
    def started_at(self) -> float:
        """time.monotonic() when start() began: tick times count from there."""
    @property
    def enabled(self) -> bool:
        """Forces on (True, the default) or off: disabled, the loop keeps exchanging and its state current but sends zero force; enabled again, forces ramp in as at start."""
    @enabled.setter
    def enabled(self, value: bool) -> None: ...
    def flight_record(self) -> Recording:
        """The last flight_record ticks: after a fault ended the loop, those before the end; while it runs, the latest (a korvo.Recording; the ticks stay for the next call)."""
    def _wait_events(self, timeout: float) -> list[tuple[str, int, float, tuple[str, ...], tuple[str, ...]]]:
        """Events since the last call as (kind, tick, time, faults, changed) tuples, waiting up to `timeout` s for one; for the package's own dispatcher thread."""
    @property
    def events_dropped(self) -> int:
        """Events the queue could not hold (nobody took them in time)."""
    @property
    def end_reason(self) -> str:
        """Why the loop ended by a fault (disconnect, failures), with a summary of the run; empty otherwise."""
    def add(self, effect: Effect, enabled: bool = True) -> None:
        """Adds an effect to the loop; it fades in over effect_fade_time (at once: next tick)."""
    def remove(self, effect: Effect) -> bool:
        """Fades the effect out, then drops it; False when it was not in the loop."""
    def enable(self, effect: Effect, enabled: bool = True) -> None:
        """Fades the effect in (or out, enabled=False), keeping it in the loop."""
    @property
    def effects(self) -> list[Effect]:
        """The effects in the loop (not those fading out after remove()), in no set order."""
    def weight(self, effect: Effect) -> float:
        """The weight the servo thread last gave the effect (0 to 1; -1: not in the loop)."""
    @property
    def effect_fade_time(self) -> float:
        """Seconds an effect takes to fade in or out when added, removed, enabled or disabled."""
    @effect_fade_time.setter
    def effect_fade_time(self, seconds: float) -> None: ...
    def __enter__(self) -> Servo: ...
    def __exit__(self, *args: object) -> None: ...

class HandleStatus:
    """The newest good status frame of a handle."""

    @property
    def time(self) -> float:
        """Seconds since start() when the frame came."""
    @property
    def frame(self) -> int:
        """Good frames so far, this one included."""
    @property
    def device_id(self) -> int: ...
    @property
    def quaternion(self) -> tuple[float, float, float, float]: ...
    @property
    def error_flag(self) -> int: ...
    @property
    def trigger(self) -> int:
        """The hall-effect level, 0 to 31."""
    @property
    def buttons(self) -> int:
        """Bit 0: button 1, bit 1: button 2, bit 2: button 3."""
    @property
    def battery(self) -> float:
        """Volts."""

class ButtonEvent:
    """A button pressed or released, with the time it was seen."""

    @property
    def time(self) -> float:
        """Seconds since start()."""
    @property
    def button(self) -> int:
        """1 to 3."""
    @property
    def pressed(self) -> bool: ...
    @property
    def buttons(self) -> int:
        """Every button's state after the change."""

class HandleMonitor:
    def __init__(
        self, handle: str | bytes | os.PathLike[str] | KorvoHardwareAPI.Handle, *, frame_timeout: float = 1.0
    ) -> None: ...
    def start(self) -> None: ...
    def stop(self) -> None: ...
    @property
    def running(self) -> bool: ...
    @property
    def started_at(self) -> float:
        """time.monotonic() when start() began: event and status times count from there."""
    @property
    def fault(self) -> str:
        """What is wrong, in words, or '': the port hung up, or no good status frame for longer than frame_timeout (a port where no handle streams, a handle that stopped)."""
    @property
    def frame_timeout(self) -> float:
        """Seconds without a good frame before `fault` says so."""
    @frame_timeout.setter
    def frame_timeout(self, seconds: float) -> None: ...
    @property
    def disconnected(self) -> bool:
        """Whether the port hung up (the monitor then ends; what it read stays readable)."""
    @property
    def status(self) -> HandleStatus | None:
        """The newest good frame, or None before the first."""
    def events(self) -> list[ButtonEvent]:
        """Every button press and release since the last call, oldest first."""
    @property
    def counts(self) -> _Counts: ...
    def _open_tap(self, capacity: int) -> _StatusTap:
        """A stream of every good status frame from now on, `capacity` frames deep, independent of events()."""
    def __enter__(self) -> HandleMonitor: ...
    def __exit__(self, *args: object) -> None: ...

class _TickTap:
    """Every tick of a servo loop, for a reader of its own."""
    def drain(self) -> dict[str, Any]:
        """Everything since the last drain, as numpy arrays; 'dropped' counts what a full tap refused."""
    def close(self) -> None:
        """Stops receiving (what the tap holds stays drainable)."""
    @property
    def open(self) -> bool: ...
    @property
    def capacity(self) -> int: ...

class _StatusTap:
    """Every good status frame of a handle monitor, for a reader of its own."""
    def drain(self) -> dict[str, Any]:
        """Everything since the last drain, as numpy arrays; 'dropped' counts what a full tap refused."""
    def close(self) -> None:
        """Stops receiving (what the tap holds stays drainable)."""
    @property
    def open(self) -> bool: ...
    @property
    def capacity(self) -> int: ...

def stop_all() -> None:
    """Ends every running servo loop of the process, each with a zero force."""

class _Probe(TypedDict, total=False):
    kind: str
    error: int
    reason: str
    detail: str
    device_id: int
    model: int
    hardware: int
    firmware: int
    uuid: str
    tool_data_remaining: int

def probe(path: str, timeout: float = 1.0) -> _Probe:
    """What answers on a port, from one wakeup byte: a dict whose 'kind' is arm, handle, busy (held by another program; not opened), unopenable (see 'error' and 'reason') or nothing (see 'detail')."""

def _errors_to_python(deliver: Callable[[], object]) -> None:
    """Routes the library's error reports into a queue; `deliver` (called with no arguments, on a thread that holds the interpreter lock) takes them with _take_errors()."""

def _errors_silenced() -> None:
    """Drops the library's error reports."""

def _errors_to_stderr() -> None:
    """The library's error lines on standard error again, as written by default."""

_ErrorFields = tuple[str, int, str, str, str, int, str, str]

def _take_errors() -> tuple[list[_ErrorFields], int]:
    """The queued reports, oldest first, as tuples (source, line, kind, operation, port, errno, error text, line), and how many were dropped since the last call."""

def _wait_errors(timeout: float) -> bool:
    """Waits, without the interpreter lock, until reports are queued, _wake_errors() or the timeout."""

def _wake_errors() -> None:
    """Ends the current _wait_errors()."""
