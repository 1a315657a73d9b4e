"""ROS 2 messages of korvo's devices and servo loop: one layer for every
program that writes them (the recorder, a bridge to a live ROS 2 graph).

Types are ROS 2 Jazzy's (Kilted's are the same for every type used here),
from the ``rosbags`` type store ``TYPESTORE``: definitions, RIHS01 hashes and
CDR bytes all come from it, none is written by hand here.

Topics follow the CRTK names for robot and haptic devices, under one
namespace per device (``/arm`` and ``/handle`` unless set; ``topic_name``
joins them):

    /arm/measured_js        sensor_msgs/msg/JointState         every tick: joint names, no values (below)
    /arm/measured_cp        geometry_msgs/msg/PoseStamped      every tick: end-effector position (m)
    /arm/measured_cv        geometry_msgs/msg/TwistStamped     every tick: end-effector velocity (m/s)
    /arm/measured_cf        geometry_msgs/msg/WrenchStamped    every tick: the force sent (N)
    /arm/servo_cf           geometry_msgs/msg/WrenchStamped    every tick: the force commanded, before the envelope (N)
    /arm/operating_state    diagnostic_msgs/msg/DiagnosticStatus   when the faults or the exchange's
                                                               success change, and once a second
    /arm/statistics         diagnostic_msgs/msg/DiagnosticArray    once a second: the loop's statistics
    /handle/measured_cp     geometry_msgs/msg/PoseStamped      every frame: the handle's orientation
    /handle/buttons         sensor_msgs/msg/Joy                every frame: buttons 1 to 3, the trigger (axis 0, 0 to 1)
    /handle/battery         sensor_msgs/msg/BatteryState       every frame: the voltage

Choices a reader of these messages should know:

- Stamps are each tick's (or frame's) start on the system clock, through
  one ``Clock``: a single offset from the monotonic clock the loop runs on,
  so stamps never go backwards and their differences are the loop's own
  periods.
- Per-tick and per-frame messages carry the tick (frame) number as their
  sequence number (``Stamped.sequence``; an MCAP message's ``sequence``): a
  tick a reader could not keep shows as a jump in it.
- ``measured_js`` names the three joints but carries no positions or
  velocities: the arm's state reply holds the end effector's position and
  velocity only, and the joint angles that would produce them depend on the
  arm's own calibration, which the host does not know. An empty array is
  what JointState says for "not measured"; invented angles would be wrong
  numbers.
- ``measured_cp`` of the arm has the identity orientation (the arm reports
  none); ``measured_cv`` has zero angular velocity, for the same reason.
- ``operating_state`` is a diagnostic_msgs/DiagnosticStatus: every ROS 2
  installation, ``ros2 bag play``, Foxglove and PlotJuggler know the type
  (CRTK's own crtk_msgs/OperatingState is not in the standard distribution
  and has no room for the set of faults). ``level`` is OK, WARN (this tick's
  exchange failed) or ERROR (a fault is in force); ``message`` the CRTK state,
  "ENABLED" or "FAULT: speed,heartbeat"; ``values`` hold ``state``,
  ``faults`` (names), ``fault_bits``, ``tick`` and ``exchange_ok``.
- The handle's quaternion is taken as (w, x, y, z) in the order the handle
  sends it and written as ROS's (x, y, z, w). Its trigger (0 to 31) is axis
  0 of ``buttons`` scaled to 0..1; battery fields other than the voltage are
  NaN or unknown, as BatteryState asks for what is not measured.

API, for the recorder and for a bridge:

    from korvo.ros import messages

    arm = messages.ArmMessages(namespace="arm", frame_id="arm_base")
    arm.topics                                   # {"/arm/measured_js": "sensor_msgs/msg/JointState", ...}
    clock = messages.Clock()                     # the one mapping to the system clock
    for item in arm.from_ticks(tap.drain(), servo.started_at, clock):   # or a korvo.Recording
        data = messages.serialize(item.message, item.type)    # CDR bytes
    arm.statistics(servo.stats, clock.now_ns(), ticks_lost=0)  # a Stamped DiagnosticArray
    handle = messages.HandleMessages(namespace="handle")
    handle.from_frames(status_tap.drain(), monitor.started_at, clock)
    messages.type_hash("sensor_msgs/msg/JointState")         # "RIHS01_..."
    messages.definition("sensor_msgs/msg/JointState")        # ros2msg text with its dependencies

``from_ticks`` and ``from_frames`` keep what they need to publish
``operating_state`` on change: use one ArmMessages per stream of ticks.
"""

from __future__ import annotations

import functools
import math
import time
from collections.abc import Mapping
from typing import Any, NamedTuple

import numpy as np
from rosbags.typesys import Stores, get_typestore

TYPESTORE = get_typestore(Stores.ROS2_JAZZY)

JOINT_STATE = "sensor_msgs/msg/JointState"
POSE = "geometry_msgs/msg/PoseStamped"
TWIST = "geometry_msgs/msg/TwistStamped"
WRENCH = "geometry_msgs/msg/WrenchStamped"
STATUS = "diagnostic_msgs/msg/DiagnosticStatus"
DIAGNOSTICS = "diagnostic_msgs/msg/DiagnosticArray"
JOY = "sensor_msgs/msg/Joy"
BATTERY = "sensor_msgs/msg/BatteryState"

# The servo loop's fault bits, by name, in the loop's own order.
FAULTS = {"speed": 1, "heartbeat": 2, "exchanges": 4, "disconnected": 8, "bad-force": 16}

_T = TYPESTORE.types
_Time = _T["builtin_interfaces/msg/Time"]
_Header = _T["std_msgs/msg/Header"]
_Point = _T["geometry_msgs/msg/Point"]
_Quaternion = _T["geometry_msgs/msg/Quaternion"]
_Vector3 = _T["geometry_msgs/msg/Vector3"]
_Pose = _T["geometry_msgs/msg/Pose"]
_Twist = _T["geometry_msgs/msg/Twist"]
_Wrench = _T["geometry_msgs/msg/Wrench"]
_KeyValue = _T["diagnostic_msgs/msg/KeyValue"]
_Status = _T[STATUS]
_Array = _T[DIAGNOSTICS]
_JointState = _T[JOINT_STATE]
_PoseStamped = _T[POSE]
_TwistStamped = _T[TWIST]
_WrenchStamped = _T[WRENCH]
_Joy = _T[JOY]
_Battery = _T[BATTERY]

# DiagnosticStatus levels and BatteryState's "unknown", from the definitions.
_OK, _WARN, _ERROR = (getattr(_Status, name) for name in ("OK", "WARN", "ERROR"))
_UNKNOWN_STATUS, _UNKNOWN_HEALTH, _UNKNOWN_TECHNOLOGY = (
    getattr(_Battery, f"POWER_SUPPLY_{name}_UNKNOWN") for name in ("STATUS", "HEALTH", "TECHNOLOGY"))

_NO_VALUES = np.zeros(0, dtype=np.float64)
_IDENTITY = _Quaternion(0.0, 0.0, 0.0, 1.0)
_STILL = _Vector3(0.0, 0.0, 0.0)


class Stamped(NamedTuple):
    """One message, with where and when it goes."""

    topic: str
    type: str
    stamp_ns: int   # the system clock, ns since the Unix epoch
    sequence: int   # the tick (arm) or frame (handle) number; 0 for others
    message: Any


def serialize(message: Any, type: str) -> bytes:
    """The message's CDR bytes (little-endian, with the encapsulation header)."""
    return bytes(TYPESTORE.serialize_cdr(message, type))


def deserialize(data: bytes | memoryview, type: str) -> Any:
    return TYPESTORE.deserialize_cdr(data, type)


_HASHES: dict[str, str] = {}
_DEFINITIONS: dict[str, str] = {}


def type_hash(type: str) -> str:
    """The type's RIHS01 hash, as ROS 2 (Iron and later) names it."""
    if type not in _HASHES:
        _HASHES[type] = str(TYPESTORE.hash_rihs01(type))
    return _HASHES[type]


def definition(type: str) -> str:
    """The type's definition as ros2msg text, with every type it uses."""
    if type not in _DEFINITIONS:
        _DEFINITIONS[type] = str(TYPESTORE.generate_msgdef(type, ros_version=2)[0])
    return _DEFINITIONS[type]


def topic_name(namespace: str, name: str) -> str:
    parts = [p for p in namespace.split("/") if p] + [name]
    return "/" + "/".join(parts)


class Clock:
    """The one mapping from the monotonic clock (what the loops and
    ``time.monotonic()`` read) to the system clock: an offset measured once,
    so that stamps keep the monotonic clock's order and spacing."""

    def __init__(self, offset_ns: int | None = None) -> None:
        self.offset_ns = self.measure() if offset_ns is None else int(offset_ns)

    @staticmethod
    def measure() -> int:
        # The tightest of a few brackets of the two clocks.
        best = None
        for _ in range(5):
            before = time.monotonic_ns()
            wall = time.time_ns()
            after = time.monotonic_ns()
            if best is None or after - before < best[0]:
                best = (after - before, wall - (before + after) // 2)
        assert best is not None
        return best[1]

    def stamps_ns(self, monotonic_s: np.ndarray) -> np.ndarray:
        return np.rint(np.asarray(monotonic_s, dtype=np.float64) * 1e9).astype(np.int64) + self.offset_ns

    def stamp_ns(self, monotonic_s: float) -> int:
        return round(monotonic_s * 1e9) + self.offset_ns

    def now_ns(self) -> int:
        return time.monotonic_ns() + self.offset_ns


def _column(source: Any, name: str) -> np.ndarray:
    return np.asarray(source[name] if isinstance(source, Mapping) else getattr(source, name))


def _header(stamp_ns: int, frame_id: str) -> Any:
    return _Header(_Time(stamp_ns // 1_000_000_000, stamp_ns % 1_000_000_000), frame_id)


def fault_names(bits: int) -> str:
    return ",".join(name for name, bit in FAULTS.items() if bits & bit)


class ArmMessages:
    """The arm's topics, and its ticks as messages."""

    JOINTS = ("joint_1", "joint_2", "joint_3")
    STATE_EVERY_NS = 1_000_000_000

    def __init__(self, namespace: str = "arm", frame_id: str | None = None, hardware_id: str = "") -> None:
        self.namespace = namespace
        self.frame_id = frame_id if frame_id is not None else f"{namespace.strip('/').replace('/', '_') or 'arm'}_base"
        self.hardware_id = hardware_id
        name = functools.partial(topic_name, namespace)
        self.measured_js, self.measured_cp, self.measured_cv = name("measured_js"), name("measured_cp"), name("measured_cv")
        self.measured_cf, self.servo_cf = name("measured_cf"), name("servo_cf")
        self.operating_state, self.statistics_topic = name("operating_state"), name("statistics")
        self.topics: dict[str, str] = {
            self.measured_js: JOINT_STATE,
            self.measured_cp: POSE,
            self.measured_cv: TWIST,
            self.measured_cf: WRENCH,
            self.servo_cf: WRENCH,
            self.operating_state: STATUS,
            self.statistics_topic: DIAGNOSTICS,
        }
        self._state: tuple[int, bool] | None = None
        self._state_at = 0

    def state_message(self, tick: int, faults: int, exchange_ok: bool) -> Any:
        names = fault_names(faults)
        state = "FAULT" if faults else "ENABLED"
        level = _ERROR if faults else (_OK if exchange_ok else _WARN)
        text = f"FAULT: {names}" if faults else ("ENABLED" if exchange_ok else "ENABLED, exchange failed")
        values = [
            _KeyValue("state", state),
            _KeyValue("faults", names),
            _KeyValue("fault_bits", str(faults)),
            _KeyValue("tick", str(tick)),
            _KeyValue("exchange_ok", "true" if exchange_ok else "false"),
        ]
        return _Status(level, self.operating_state, text, self.hardware_id, values)

    def from_ticks(self, ticks: Any, started_at: float, clock: Clock) -> list[Stamped]:
        """Every tick of `ticks` (a drained tap's arrays, a servo.recording()
        or anything with the same columns) as messages, tick by tick; the
        tick times count from `started_at` (the loop's, on the monotonic
        clock)."""
        tick = _column(ticks, "tick")
        if len(tick) == 0:
            return []
        stamps = clock.stamps_ns(started_at + _column(ticks, "time")).tolist()
        position = _column(ticks, "position").tolist()
        velocity = _column(ticks, "velocity").tolist()
        force = _column(ticks, "force").tolist()
        commanded = _column(ticks, "commanded").tolist()
        faults = _column(ticks, "faults").tolist()
        ok = _column(ticks, "exchange_ok").tolist()
        frame, joints = self.frame_id, list(self.JOINTS)
        js_t, cp_t, cv_t, cf_t, sc_t, os_t = (
            self.measured_js, self.measured_cp, self.measured_cv, self.measured_cf, self.servo_cf, self.operating_state)
        out: list[Stamped] = []
        add = out.append
        for i, number in enumerate(tick.tolist()):
            stamp = stamps[i]
            header = _header(stamp, frame)
            p, v, f, c = position[i], velocity[i], force[i], commanded[i]
            add(Stamped(js_t, JOINT_STATE, stamp, number, _JointState(header, joints, _NO_VALUES, _NO_VALUES, _NO_VALUES)))
            add(Stamped(cp_t, POSE, stamp, number, _PoseStamped(header, _Pose(_Point(p[0], p[1], p[2]), _IDENTITY))))
            add(Stamped(cv_t, TWIST, stamp, number, _TwistStamped(header, _Twist(_Vector3(v[0], v[1], v[2]), _STILL))))
            add(Stamped(cf_t, WRENCH, stamp, number, _WrenchStamped(header, _Wrench(_Vector3(f[0], f[1], f[2]), _STILL))))
            add(Stamped(sc_t, WRENCH, stamp, number, _WrenchStamped(header, _Wrench(_Vector3(c[0], c[1], c[2]), _STILL))))
            key = (faults[i], bool(ok[i]))
            if key != self._state or stamp - self._state_at >= self.STATE_EVERY_NS:
                self._state, self._state_at = key, stamp
                add(Stamped(os_t, STATUS, stamp, number, self.state_message(number, key[0], key[1])))
        return out

    def statistics(self, stats: Any, stamp_ns: int, **extra: float | int | str) -> Stamped:
        """The loop's statistics (a korvo.Stats, or anything with its
        attributes) as a DiagnosticArray; `extra` adds key-values (what a
        recorder lost, for one)."""
        us = ("period_p50", "period_p99", "period_p999", "period_max", "exchange_p50", "exchange_p99", "exchange_max")
        counts = ("ticks", "overruns", "failed_exchanges", "resyncs", "late_bytes")
        values = [_KeyValue("rate_hz", f"{stats.rate:.3f}")]
        values += [_KeyValue(f"{name}_us", f"{getattr(stats, name) * 1e6:.1f}") for name in us]
        values += [_KeyValue(name, str(getattr(stats, name))) for name in counts]
        values += [_KeyValue(key, str(value)) for key, value in extra.items()]
        message = (f"{stats.rate:.1f} Hz, period p99 {stats.period_p99 * 1e6:.1f} us, {stats.overruns} overruns, "
                   f"{stats.failed_exchanges} failed exchanges")
        status = _Status(_OK, self.statistics_topic, message, self.hardware_id, values)
        return Stamped(self.statistics_topic, DIAGNOSTICS, stamp_ns, 0, _Array(_header(stamp_ns, self.frame_id), [status]))


class HandleMessages:
    """The handle's topics, and its status frames as messages."""

    TRIGGER_FULL = 31.0

    def __init__(self, namespace: str = "handle", frame_id: str | None = None) -> None:
        self.namespace = namespace
        self.frame_id = frame_id if frame_id is not None else f"{namespace.strip('/').replace('/', '_') or 'handle'}_base"
        name = functools.partial(topic_name, namespace)
        self.measured_cp, self.buttons, self.battery = name("measured_cp"), name("buttons"), name("battery")
        self.topics: dict[str, str] = {self.measured_cp: POSE, self.buttons: JOY, self.battery: BATTERY}

    def from_frames(self, frames: Any, started_at: float, clock: Clock) -> list[Stamped]:
        """Every frame of `frames` (a drained status tap's arrays) as
        messages, frame by frame."""
        number = _column(frames, "frame")
        if len(number) == 0:
            return []
        stamps = clock.stamps_ns(started_at + _column(frames, "time")).tolist()
        quaternion = _column(frames, "quaternion").tolist()
        trigger = _column(frames, "trigger").tolist()
        buttons = _column(frames, "buttons").tolist()
        battery = _column(frames, "battery").tolist()
        frame = self.frame_id
        nan = math.nan
        out: list[Stamped] = []
        add = out.append
        for i, n in enumerate(number.tolist()):
            stamp = stamps[i]
            header = _header(stamp, frame)
            w, x, y, z = quaternion[i]
            b = buttons[i]
            add(Stamped(self.measured_cp, POSE, stamp, n, _PoseStamped(header, _Pose(_Point(0.0, 0.0, 0.0), _Quaternion(x, y, z, w)))))
            add(Stamped(self.buttons, JOY, stamp, n, _Joy(
                header, np.array([trigger[i] / self.TRIGGER_FULL], dtype=np.float32),
                np.array([b & 1, (b >> 1) & 1, (b >> 2) & 1], dtype=np.int32))))
            add(Stamped(self.battery, BATTERY, stamp, n, _Battery(
                header, battery[i], nan, nan, nan, nan, nan, nan,
                _UNKNOWN_STATUS, _UNKNOWN_HEALTH, _UNKNOWN_TECHNOLOGY, True,
                np.zeros(0, dtype=np.float32), np.zeros(0, dtype=np.float32), "", "")))
        return out
