"""korvo.ros.Teleop: one end of a teleoperation pair, over ROS 2 on Zenoh.

Two ends, each a servo loop with its own bridge, in one process or two, on
one machine or two: the follower's arm follows the leader's through a
spring, the leader's renders the follower's force (position-force bilateral
control). The coupling runs on each servo thread (korvo.TeleopCoupling); a
passivity observer and controller there keep the delayed link from putting
energy in. This module carries the ends' samples:

    /<leader>/teleop/state    nav_msgs/msg/Odometry          every tick: the leader's motion in
                                                            channel units (position, linear velocity)
    /<follower>/teleop/force  geometry_msgs/msg/WrenchStamped  every tick: the follower's coupling force
    /<either>/teleop/energy   geometry_msgs/msg/Vector3Stamped every tick: x energy into the channel at
                                                            that end (J, never decreasing), y energy out,
                                                            z what its passivity controller dissipated

stamped with the tick's start (system clock), with the sensor-data QoS. A
follower takes the leader's state and energy, a leader the follower's force
and energy, through its bridge (`Bridge.subscribe`): they pass the bridge's
checks; states and forces also its freshness rule (one older than the
command timeout is dropped), and while they come, they call in for the
servo's heartbeat. A silent or stale peer fades the coupling out over
`fade_time` (natively, on the servo thread), and a fresh one ramps it back
in over `ramp_time`; a follower's anchor then travels to the leader at
`max_speed`.

    with korvo.Servo("/dev/ttyACM0") as servo:
        with Teleop(servo, "follower", peer="leader", connect="tcp/localhost:7447") as end:
            ...
            print(end.status, end.report)

The leader's own measured_cp and the follower's are the bridge's, at
`publish_rate`; each end also listens to the peer's (and to its measured_cf)
to show both sides.
"""

from __future__ import annotations

import atexit
import math
import struct
import threading
import time
from collections.abc import Callable
from typing import Any

import numpy as np

from . import messages
from . import zenoh_wire as wire
from .bridge import Bridge

LEADER, FOLLOWER = "leader", "follower"
ROLES = (LEADER, FOLLOWER)
ODOMETRY = "nav_msgs/msg/Odometry"
VECTOR = "geometry_msgs/msg/Vector3Stamped"
STATE, FORCE, ENERGY = "teleop/state", "teleop/force", "teleop/energy"

_T = messages.TYPESTORE.types
_Time = _T["builtin_interfaces/msg/Time"]
_Header = _T["std_msgs/msg/Header"]
_Vector3 = _T["geometry_msgs/msg/Vector3"]
_Point = _T["geometry_msgs/msg/Point"]
_Quaternion = _T["geometry_msgs/msg/Quaternion"]
_NO_COVARIANCE = np.zeros(36, dtype=np.float64)
_IDENTITY = _Quaternion(0.0, 0.0, 0.0, 1.0)
_STILL = _Vector3(0.0, 0.0, 0.0)


def _header(stamp_ns: int, frame_id: str) -> Any:
    return _Header(_Time(stamp_ns // 1_000_000_000, stamp_ns % 1_000_000_000), frame_id)


def state_message(stamp_ns: int, frame_id: str, position: Any, velocity: Any) -> Any:
    return _T[ODOMETRY](
        _header(stamp_ns, frame_id), "",
        _T["geometry_msgs/msg/PoseWithCovariance"](_T["geometry_msgs/msg/Pose"](_Point(*position), _IDENTITY), _NO_COVARIANCE),
        _T["geometry_msgs/msg/TwistWithCovariance"](_T["geometry_msgs/msg/Twist"](_Vector3(*velocity), _STILL), _NO_COVARIANCE))


def force_message(stamp_ns: int, frame_id: str, force: Any) -> Any:
    return _T[messages.WRENCH](_header(stamp_ns, frame_id), _T["geometry_msgs/msg/Wrench"](_Vector3(*force), _STILL))


def energy_message(stamp_ns: int, frame_id: str, energy_in: float, energy_out: float, dissipated: float) -> Any:
    return _T[VECTOR](_header(stamp_ns, frame_id), _Vector3(energy_in, energy_out, dissipated))


class Template:
    """One message type's CDR bytes for one frame id, and where in them its
    stamp and its numbers lie: found once, by serialising (with rosbags) a
    message whose stamp and numbers are marks, and finding the marks. A
    message is then written by patching a copy, a few microseconds where
    building and serialising one takes tens, every tick."""

    _SEC, _NANOSEC = 0x5EC05EC0, 0x0A500A50

    def __init__(self, ros_type: str, build: Callable[[int, str, list[float]], Any], frame_id: str, count: int) -> None:
        marks = [float(0x4B4F52564F00 + i) for i in range(count)]
        stamp_ns = self._SEC * 1_000_000_000 + self._NANOSEC
        data = messages.serialize(build(stamp_ns, frame_id, marks), ros_type)
        self.bytes = data
        self.stamp = self._find(data, struct.pack("<iI", self._SEC, self._NANOSEC))
        self.offsets = [self._find(data, struct.pack("<d", mark)) for mark in marks]
        self._stamp = struct.Struct("<iI")

    @staticmethod
    def _find(data: bytes, mark: bytes) -> int:
        at = data.find(mark)
        if at < 0 or data.find(mark, at + 1) >= 0:
            raise ValueError("a mark is missing from the serialised message, or found twice")
        return at

    def encode(self, stamp_ns: int, values: Any) -> bytes:
        out = bytearray(self.bytes)
        self._stamp.pack_into(out, self.stamp, stamp_ns // 1_000_000_000, stamp_ns % 1_000_000_000)
        for at, value in zip(self.offsets, values):
            struct.pack_into("<d", out, at, value)
        return bytes(out)


def _finite(*values: float) -> bool:
    return all(math.isfinite(v) for v in values)


class _Columns:
    """Rows appended from any thread, kept for the newest `seconds` of them."""

    def __init__(self, seconds: float) -> None:
        self.seconds = seconds
        self.lock = threading.Lock()
        self.rows: list[tuple[float, ...]] = []

    def add(self, row: tuple[float, ...]) -> None:
        with self.lock:
            self.rows.append(row)
            if len(self.rows) > 4096 and self.rows[-1][0] - self.rows[0][0] > 1.25 * self.seconds:
                cut = next(i for i, r in enumerate(self.rows) if r[0] >= self.rows[-1][0] - self.seconds)
                del self.rows[:cut]

    def array(self, width: int) -> np.ndarray:
        with self.lock:
            return np.array(self.rows, dtype=np.float64).reshape(-1, width)


class _Chunks:
    """Drained tap arrays, kept for the newest `seconds` of them."""

    def __init__(self, seconds: float) -> None:
        self.seconds = seconds
        self.chunks: list[dict[str, Any]] = []
        self.dropped = 0

    def add(self, arrays: dict[str, Any]) -> None:
        self.dropped += int(arrays.pop("dropped"))
        if len(arrays["time"]):
            self.chunks.append(arrays)
        while len(self.chunks) > 1 and self.chunks[-1]["time"][-1] - self.chunks[1]["time"][0] > self.seconds:
            self.chunks.pop(0)

    def joined(self) -> dict[str, np.ndarray]:
        if not self.chunks:
            return {}
        return {key: np.concatenate([c[key] for c in self.chunks]) for key in self.chunks[0]}


class Teleop:
    """One end of a teleoperation pair: `servo` (a running korvo.Servo) as the
    `role` ("leader" or "follower") of a pair whose other end's namespace is
    `peer`.

    This end's bridge (a korvo.ros.Bridge on `session`, or a session of its
    own: a client of `connect`, or a router on `listen`) publishes the arm's
    topics at `publish_rate` and the teleop topics every tick, under
    `namespace` (the role's name by default). `delay` and `jitter` (s) add
    one-way delay to everything this end receives. `command_timeout` (by
    default 0.05 s more than the delay and its jitter) is how old a peer's
    sample may be; older, or none, and the coupling fades out over
    `fade_time`. The coupling's parameters (korvo.TeleopCoupling): the
    follower's spring (`stiffness`, `damping`, `max_speed`), each arm's own
    `local_damping`, the leader's `position_scale` and `force_scale`,
    `ramp_time`, and `passivity` (the passivity controller; off, the observer
    still counts). `history` (s): how much of the run `data()` keeps.
    """

    def __init__(
        self,
        servo: Any,
        role: str,
        peer: str,
        *,
        namespace: str | None = None,
        session: Any = None,
        connect: str | None = None,
        listen: str | None = None,
        domain: int = 0,
        stiffness: float = 150.0,
        damping: float = 3.0,
        local_damping: float = 0.5,
        position_scale: float = 1.0,
        force_scale: float = 1.0,
        max_speed: float = 0.25,
        ramp_time: float = 0.5,
        passivity: bool = True,
        delay: float = 0.0,
        jitter: float = 0.0,
        command_timeout: float | None = None,
        fade_time: float = 0.05,
        publish_rate: float | None = 100.0,
        history: float = 120.0,
    ) -> None:
        import korvo

        if role not in ROLES:
            raise ValueError(f"role must be 'leader' or 'follower', got {role!r}")
        self.role = role
        self.peer = wire.namespace(peer)
        self.namespace = wire.namespace(namespace if namespace is not None else role)
        if self.peer == self.namespace:
            raise ValueError(f"the peer needs a namespace of its own: both are {self.namespace}")
        for name, value in (("delay", delay), ("jitter", jitter)):
            if not (isinstance(value, (int, float)) and 0.0 <= value <= 5.0):
                raise ValueError(f"{name} must be from 0 to 5 s, got {value!r}")
        if not (isinstance(history, (int, float)) and 0.0 < history <= 3600.0):
            raise ValueError(f"history must be above 0 and at most 3600 s, got {history!r}")
        self.command_timeout = float(command_timeout) if command_timeout is not None else 0.05 + delay + jitter
        self.coupling = korvo.TeleopCoupling(
            role, stiffness=stiffness, damping=damping, local_damping=local_damping, position_scale=position_scale,
            force_scale=force_scale, max_speed=max_speed, timeout=self.command_timeout, fade_time=fade_time,
            ramp_time=ramp_time, passivity=passivity)
        self.servo = servo
        self.bridge = Bridge(servo, namespace=self.namespace, domain=domain, session=session, connect=connect,
                             listen=listen, rate=publish_rate, command_timeout=self.command_timeout,
                             fade_time=fade_time, delay=delay, jitter=jitter)
        self.delay = float(delay)
        self.jitter = float(jitter)
        self.error: BaseException | None = None
        self._clock = messages.Clock()
        self._frame = self.bridge._arm.frame_id
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        self._reports: Any = None
        self._ticks: Any = None
        self._history = float(history)
        self._report_chunks = _Chunks(self._history)
        self._tick_chunks = _Chunks(self._history)
        self._peer_motion = _Columns(self._history)   # time, x, y, z: the peer arm's measured_cp
        self._peer_force = _Columns(self._history)    # time, fx, fy, fz: the force the peer arm was sent
        self._peer_energy = _Columns(self._history)   # time, in, out, dissipated
        self._events: list[tuple[float, str]] = []
        self._events_lock = threading.Lock()
        self._status = "waiting"
        self._cpu = (0.0, 0)
        self._subscribe()

    # -- what crosses ---------------------------------------------------------------------------------

    def _servo_time(self, header: Any) -> float:
        """A peer's stamp on this loop's clock: seconds since it started."""
        stamp_ns = header.stamp.sec * 1_000_000_000 + header.stamp.nanosec
        return float((stamp_ns - self._clock.offset_ns) * 1e-9 - self.servo.started_at)

    def _subscribe(self) -> None:
        def peer_topic(name: str) -> str:
            return messages.topic_name(self.peer, name)

        if self.role == FOLLOWER:
            self.bridge.subscribe(peer_topic(STATE), ODOMETRY, self._on_state)
        else:
            self.bridge.subscribe(peer_topic(FORCE), messages.WRENCH, self._on_force)
        # An energy report of any age is a bound of what had entered by
        # then: it counts, but it is not what keeps the link alive.
        self.bridge.subscribe(peer_topic(ENERGY), VECTOR, self._on_energy, command=False)
        self.bridge.subscribe(peer_topic("measured_cp"), messages.POSE, self._on_peer_motion, command=False)
        self.bridge.subscribe(peer_topic("measured_cf"), messages.WRENCH, self._on_peer_force, command=False)

    def _on_state(self, message: Any, attachment: Any) -> str:
        p, v = message.pose.pose.position, message.twist.twist.linear
        if not _finite(p.x, p.y, p.z, v.x, v.y, v.z):
            return "invalid"
        self.coupling.take_sample(position=(p.x, p.y, p.z), velocity=(v.x, v.y, v.z),
                                  stamp=self._servo_time(message.header), sequence=attachment.sequence)
        return "applied"

    def _on_force(self, message: Any, attachment: Any) -> str:
        f = message.wrench.force
        if not _finite(f.x, f.y, f.z):
            return "invalid"
        self.coupling.take_sample(force=(f.x, f.y, f.z), stamp=self._servo_time(message.header),
                                  sequence=attachment.sequence)
        return "applied"

    def _on_energy(self, message: Any, attachment: Any) -> str:
        e = message.vector
        if not (_finite(e.x, e.y, e.z) and e.x >= 0.0):
            return "invalid"
        # A peer that starts again publishes under another GID: its
        # account starts over here too.
        source = int.from_bytes(attachment.gid[:8], "little") or 1
        self.coupling.take_energy(e.x, source)
        self._peer_energy.add((self._servo_time(message.header), e.x, e.y, e.z))
        return "applied"

    def _on_peer_motion(self, message: Any, attachment: Any) -> str:
        p = message.pose.position
        self._peer_motion.add((self._servo_time(message.header), p.x, p.y, p.z))
        return "applied"

    def _on_peer_force(self, message: Any, attachment: Any) -> str:
        f = message.wrench.force
        self._peer_force.add((self._servo_time(message.header), f.x, f.y, f.z))
        return "applied"

    # -- starting and stopping ---------------------------------------------------------------------------

    @property
    def running(self) -> bool:
        return self._thread is not None and self._thread.is_alive()

    def start(self) -> None:
        if self._thread is not None:
            return
        if not self.servo.running:
            raise RuntimeError("start the servo loop first: the teleop stamps come from its clock")
        self._reports = self.coupling._open_tap(1 << 16)
        self._ticks = self.servo._open_tap(1 << 16)
        try:
            self.bridge.start()
            publishers = {ENERGY: self.bridge.advertise(ENERGY, VECTOR)}
            if self.role == LEADER:
                publishers[STATE] = self.bridge.advertise(STATE, ODOMETRY)
            else:
                publishers[FORCE] = self.bridge.advertise(FORCE, messages.WRENCH)
        except BaseException:
            self.bridge.stop()
            self._close_taps()
            raise
        self.servo.add(self.coupling)
        self._cpu = (time.process_time(), self.coupling.writes)
        self._stop.clear()
        self._thread = threading.Thread(target=self._run, args=(publishers,), name="korvo-teleop", daemon=True)
        self._thread.start()
        # A program that ends with its end running: the publishing thread
        # is joined before the interpreter goes (and the bridge's own exit
        # hook, registered earlier, runs after this one).
        atexit.register(self.stop)

    def stop(self) -> None:
        """The coupling fades out, the nodes leave the network; the servo loop
        runs on."""
        thread, self._thread = self._thread, None
        if thread is None:
            return
        atexit.unregister(self.stop)
        self._stop.set()
        thread.join()
        self.servo.remove(self.coupling)
        self.bridge.stop()
        self.drain()
        cpu, writes = self._cpu
        self._cpu = (time.process_time() - cpu, self.coupling.writes - writes)
        self._close_taps()

    def _close_taps(self) -> None:
        for tap in (self._reports, self._ticks):
            if tap is not None:
                tap.close()

    def __enter__(self) -> Teleop:
        self.start()
        return self

    def __exit__(self, *args: object) -> None:
        self.stop()

    # -- every tick out ----------------------------------------------------------------------------------

    def _run(self, publishers: dict[str, Any]) -> None:
        try:
            self._publish(publishers)
        except BaseException as error:
            # Nothing goes out: the peer's coupling fades out, as for a
            # silent end.
            self.error = error

    def _publish(self, publishers: dict[str, Any]) -> None:
        coupling, started_at, frame = self.coupling, self.servo.started_at, self._frame
        period = 1.0 / self.servo.rate
        energy = publishers[ENERGY]
        energy_bytes = Template(VECTOR, lambda s, f, v: energy_message(s, f, *v), frame, 3)
        if self.role == LEADER:
            out = publishers[STATE]
            out_bytes = Template(ODOMETRY, lambda s, f, v: state_message(s, f, v[:3], v[3:]), frame, 6)
        else:
            out = publishers[FORCE]
            out_bytes = Template(messages.WRENCH, force_message, frame, 3)
        writes, last, due = coupling.writes, -1, 0.0
        fresh = False
        while not self._stop.is_set():
            writes = coupling._wait(writes, due, 0.05)
            r = coupling.report
            if r.tick == last:
                continue
            last = r.tick
            # The next report comes a period after this one's tick began,
            # once its exchange is done (a tenth of a period, or more).
            due = started_at + r.time + 1.1 * period
            stamp = self._clock.stamp_ns(started_at + r.time)
            if self.role == LEADER:
                out.publish_bytes(out_bytes.encode(stamp, (*r.port_position, *r.port_velocity)))
            else:
                out.publish_bytes(out_bytes.encode(stamp, r.channel))
            energy.publish_bytes(energy_bytes.encode(stamp, (r.energy_in, r.energy_out, r.dissipated)))
            # Coupled once a fresh sample came; silent and back from then on.
            if r.fresh != fresh and (r.fresh or self._status != "waiting"):
                fresh = r.fresh
                self._change(r.time, fresh)

    def _change(self, at: float, fresh: bool) -> None:
        who = f"the {FOLLOWER if self.role == LEADER else LEADER} ({self.peer})"
        if fresh:
            text = f"coupled with {who}" if self._status == "waiting" else f"{who} is back: forces ramp in"
            self._status = "coupled"
        else:
            text = f"{who} is silent: forces fade to zero"
            self._status = "silent"
        with self._events_lock:
            self._events.append((at, text))

    # -- what it did ---------------------------------------------------------------------------------------

    @property
    def status(self) -> str:
        """"waiting" (no sample from the peer yet), "coupled", or "silent" (the
        peer's samples lapsed: this end has faded out)."""
        return self._status

    @property
    def report(self) -> Any:
        """The coupling's latest tick (a korvo.TeleopReport)."""
        return self.coupling.report

    def events(self) -> list[tuple[float, str]]:
        """The link's changes since the last call: (seconds on the loop's
        clock, what happened)."""
        with self._events_lock:
            events, self._events = self._events, []
        return events

    def drain(self) -> None:
        """Keeps what the coupling and the loop did since the last call (the
        newest `history` seconds of it): call it now and then, as `data()`
        does."""
        if self._reports is not None:
            self._report_chunks.add(self._reports.drain())
        if self._ticks is not None:
            self._tick_chunks.add(self._ticks.drain())

    def latencies(self, reports: dict[str, np.ndarray] | None = None) -> np.ndarray:
        """Seconds from each of the peer's ticks to the first tick here that
        used it (its sample's age then), one per sample."""
        r = reports if reports is not None else self._report_chunks.joined()
        if not r:
            return np.zeros(0)
        sequence = r["sample_sequence"]
        new = np.flatnonzero((np.diff(sequence, prepend=0) != 0) & (sequence != 0))
        return np.asarray(r["sample_latency"][new], dtype=np.float64)

    def data(self) -> dict[str, Any]:
        """The run so far, as arrays: `ticks` (the loop's: time, position,
        force sent, ...), `reports` (the coupling's, every tick), `peer_motion`
        and `peer_force` (the peer arm's measured_cp and measured_cf: time on
        this loop's clock, x, y, z), `peer_energy` (time, in, out,
        dissipated), `latency` (s, per peer sample), and `meta`."""
        self.drain()
        reports = self._report_chunks.joined()
        cpu, ticks = self._cpu if self._thread is None else (time.process_time() - self._cpu[0], self.coupling.writes - self._cpu[1])
        return {
            "ticks": self._tick_chunks.joined(),
            "reports": reports,
            "peer_motion": self._peer_motion.array(4),
            "peer_force": self._peer_force.array(4),
            "peer_energy": self._peer_energy.array(4),
            "latency": self.latencies(reports),
            "meta": {
                "role": self.role, "namespace": self.namespace, "peer": self.peer, "rate": self.servo.rate,
                "started_at": self.servo.started_at, "delay": self.delay, "jitter": self.jitter,
                "command_timeout": self.command_timeout, "params": self.coupling.params,
                "cpu_seconds": cpu, "cpu_ticks": ticks, "reports_dropped": self._report_chunks.dropped,
                "ticks_dropped": self._tick_chunks.dropped, "counts": dict(self.bridge.counts),
            },
        }


def tracking(leader: dict[str, Any], follower: dict[str, Any]) -> tuple[np.ndarray, np.ndarray]:
    """How far the follower was from where the leader was, tick by tick,
    from both ends' data (`Teleop.data()` or `load`; two ends on one
    machine, whose loops count time on its one monotonic clock): the
    seconds since the follower first used a sample of the leader, and the
    distance (m) between the follower's position and the leader's at the
    same moment, scaled and mapped as the follower indexed it."""
    reports, ticks = follower["reports"], follower["ticks"]
    first = int(np.flatnonzero(reports["sample_sequence"] != 0)[0])
    offset = reports["position"][first] - reports["peer_position"][first]
    at = follower["meta"]["started_at"] + ticks["time"]
    leader_at = leader["meta"]["started_at"] + leader["ticks"]["time"]
    inside = (at >= leader_at[0]) & (at <= leader_at[-1])
    scale = leader["meta"]["params"]["position_scale"]
    was = np.column_stack([np.interp(at[inside], leader_at, leader["ticks"]["position"][:, k]) for k in range(3)])
    distance = np.linalg.norm(ticks["position"][inside] - (scale * was + offset), axis=1)
    return at[inside] - (follower["meta"]["started_at"] + reports["time"][first]), distance


def save(data: dict[str, Any], path: Any) -> None:
    """`Teleop.data()` as one .npz file (`load` reads it back)."""
    import json

    flat: dict[str, Any] = {"meta": np.array(json.dumps(data["meta"]))}
    for group in ("ticks", "reports"):
        for key, value in data[group].items():
            flat[f"{group}.{key}"] = value
    for key in ("peer_motion", "peer_force", "peer_energy", "latency"):
        flat[key] = data[key]
    np.savez_compressed(path, **flat)


def load(path: Any) -> dict[str, Any]:
    import json

    out: dict[str, Any] = {"ticks": {}, "reports": {}}
    with np.load(path) as archive:
        for key in archive.files:
            if key == "meta":
                out["meta"] = json.loads(str(archive[key]))
            elif "." in key:
                group, name = key.split(".", 1)
                out[group][name] = archive[key]
            else:
                out[key] = archive[key]
    return out

