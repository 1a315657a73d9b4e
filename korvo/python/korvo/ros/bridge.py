"""korvo.ros.Bridge: a servo loop (and a handle) as a ROS 2 node on Zenoh.

The bridge publishes the devices' state in rmw_zenoh's wire form (see
`zenoh_wire`) and takes three commands in: ``servo_cf`` (a force),
``servo_cp`` (the target of a spring that moves at a bounded speed) and
``state_command`` (enable, disable).

Remote commands are safe by construction:

- a command counts only while it is fresh: stamped within `command_timeout`
  of the bridge's clock (either way), and the latest arrival of its kind
  less than `command_timeout` ago. Otherwise its force fades out over
  `fade_time` and ``operating_state`` says "stale"; a fresh command brings
  it back, fading in and ramping up as after any fault;
- behind that, the servo's own heartbeat: while a remote command acts, only
  fresh arrivals call in, so that a sender that falls silent, or a bridge
  whose Python threads stall, fades to zero in the servo thread itself;
- duplicates and samples older than the newest one seen from the same
  publisher (by sequence number), malformed bytes, wrong types, other frames
  and non-finite values are dropped and counted, never applied;
- everything passes the servo's safety envelope.
"""

from __future__ import annotations

import math
import threading
import time
from dataclasses import dataclass
from typing import Any

from . import zenoh_wire as wire

# -- what travels ------------------------------------------------------------------------------------


@dataclass(frozen=True)
class Topic:
    name: str          # relative to the device's namespace
    ros_type: str      # package/msg/Name
    qos: wire.QoS


ARM_STATE = (
    Topic("measured_cp", "geometry_msgs/msg/PoseStamped", wire.SENSOR_DATA),
    Topic("measured_cv", "geometry_msgs/msg/TwistStamped", wire.SENSOR_DATA),
    Topic("measured_cf", "geometry_msgs/msg/WrenchStamped", wire.SENSOR_DATA),
    Topic("setpoint_cf", "geometry_msgs/msg/WrenchStamped", wire.SENSOR_DATA),
    Topic("operating_state", "diagnostic_msgs/msg/DiagnosticStatus", wire.SENSOR_DATA),
)
STATISTICS = Topic("statistics", "diagnostic_msgs/msg/DiagnosticArray", wire.DEFAULT)
HANDLE_STATE = (
    Topic("measured_cp", "geometry_msgs/msg/PoseStamped", wire.SENSOR_DATA),
    Topic("buttons", "sensor_msgs/msg/Joy", wire.SENSOR_DATA),
    Topic("battery", "sensor_msgs/msg/BatteryState", wire.DEFAULT),
)
SERVO_CF = Topic("servo_cf", "geometry_msgs/msg/WrenchStamped", wire.SENSOR_DATA)
SERVO_CP = Topic("servo_cp", "geometry_msgs/msg/PoseStamped", wire.SENSOR_DATA)
STATE_COMMAND = Topic("state_command", "std_msgs/msg/String", wire.DEFAULT)
COMMANDS = (SERVO_CF, SERVO_CP, STATE_COMMAND)

DROPS = ("malformed", "wrong_type", "out_of_order", "stale", "invalid", "wrong_frame")


def typestore() -> Any:
    from rosbags.typesys import Stores, get_typestore

    return get_typestore(Stores.ROS2_JAZZY)


# -- one node on one session -------------------------------------------------------------------------

_ids_lock = threading.Lock()
_next_ids: dict[str, int] = {}


def _next_id(session_id: str) -> int:
    """Ids of nodes and entities, unique within a session as rmw_zenoh's are
    within a context."""
    with _ids_lock:
        n = _next_ids.get(session_id, 0)
        _next_ids[session_id] = n + 1
        return n


class Node:
    """A ROS 2 node: its liveliness token, and those of its publishers and
    subscriptions."""

    def __init__(self, session: Any, domain: int, namespace: str, name: str) -> None:
        self.session = session
        self.domain = domain
        self.namespace = wire.namespace(namespace)
        self.name = wire.node_name(name)
        self.session_id = str(session.info.zid())
        self.id = _next_id(self.session_id)
        self.entity = wire.Entity(domain, self.session_id, self.id, self.id, wire.NODE, self.namespace, self.name)
        self.token = session.liveliness().declare_token(self.entity.keyexpr())

    def endpoint(self, kind: str, topic: Topic, types: Any) -> tuple[wire.Entity, str]:
        """The entity for a publisher or subscription, and its data key expression."""
        fq = wire.topic_name(self.namespace, topic.name)
        dds = wire.dds_type(topic.ros_type)
        digest = types.hash_rihs01(topic.ros_type)
        entity = wire.Entity(self.domain, self.session_id, self.id, _next_id(self.session_id), kind, self.namespace,
                             self.name, topic=fq, type_name=dds, type_hash=digest, qos=topic.qos)
        return entity, wire.topic_keyexpr(self.domain, fq, dds, digest)

    def close(self) -> None:
        self.token.undeclare()


class Publisher:
    def __init__(self, node: Node, topic: Topic, types: Any) -> None:
        import zenoh

        self.topic = topic
        self.entity, self.keyexpr = node.endpoint(wire.PUBLISHER, topic, types)
        self.gid = self.entity.gid()
        self._serialize = types.serialize_cdr
        # A slow network drops samples; it never holds the bridge up.
        self._publisher = node.session.declare_publisher(self.keyexpr, congestion_control=zenoh.CongestionControl.DROP)
        self._token = node.session.liveliness().declare_token(self.entity.keyexpr())
        self.sequence = 0

    def publish(self, message: Any) -> None:
        self.sequence += 1
        attachment = wire.Attachment(self.sequence, time.time_ns(), self.gid).encode()
        self._publisher.put(bytes(self._serialize(message, self.topic.ros_type)), attachment=attachment)

    def close(self) -> None:
        self._publisher.undeclare()
        self._token.undeclare()


# -- messages ----------------------------------------------------------------------------------------


class Messages:
    """ROS 2 messages of the bridge's topics, built with rosbags' type store."""

    def __init__(self, types: Any, frame_id: str) -> None:
        self.t = types.types
        self.frame_id = frame_id

    def header(self, stamp: float, frame_id: str | None = None) -> Any:
        sec = math.floor(stamp)
        return self.t["std_msgs/msg/Header"](
            stamp=self.t["builtin_interfaces/msg/Time"](sec=sec, nanosec=min(int((stamp - sec) * 1e9), 999_999_999)),
            frame_id=self.frame_id if frame_id is None else frame_id,
        )

    def vector(self, v: Any) -> Any:
        return self.t["geometry_msgs/msg/Vector3"](x=float(v[0]), y=float(v[1]), z=float(v[2]))

    def pose(self, stamp: float, position: Any, orientation: Any = (0.0, 0.0, 0.0, 1.0), frame_id: str | None = None) -> Any:
        t = self.t
        return t["geometry_msgs/msg/PoseStamped"](
            header=self.header(stamp, frame_id),
            pose=t["geometry_msgs/msg/Pose"](
                position=t["geometry_msgs/msg/Point"](x=float(position[0]), y=float(position[1]), z=float(position[2])),
                orientation=t["geometry_msgs/msg/Quaternion"](
                    x=float(orientation[0]), y=float(orientation[1]), z=float(orientation[2]), w=float(orientation[3])),
            ),
        )

    def twist(self, stamp: float, linear: Any) -> Any:
        t = self.t
        return t["geometry_msgs/msg/TwistStamped"](
            header=self.header(stamp), twist=t["geometry_msgs/msg/Twist"](linear=self.vector(linear),
                                                                          angular=self.vector((0.0, 0.0, 0.0))))

    def wrench(self, stamp: float, force: Any) -> Any:
        t = self.t
        return t["geometry_msgs/msg/WrenchStamped"](
            header=self.header(stamp), wrench=t["geometry_msgs/msg/Wrench"](force=self.vector(force),
                                                                            torque=self.vector((0.0, 0.0, 0.0))))

    def status(self, name: str, level: int, message: str, values: dict[str, str]) -> Any:
        t = self.t
        return t["diagnostic_msgs/msg/DiagnosticStatus"](
            level=level, name=name, message=message, hardware_id=self.frame_id,
            values=[t["diagnostic_msgs/msg/KeyValue"](key=k, value=v) for k, v in values.items()],
        )


# -- the bridge --------------------------------------------------------------------------------------


class Bridge:
    """A servo loop (and optionally a handle monitor) as a ROS 2 node.

    `session`: an open Zenoh session to share between bridges (one process
    serving several devices); otherwise the bridge opens its own, a client of
    the router at `connect` (``tcp/localhost:7447`` by default) or a router
    listening on `listen`. `rate`: state messages per second, or None for
    every tick. While it runs, the bridge takes the servo's recorded ticks
    (`servo.recording()` finds none) and owns its heartbeat limit.
    """

    def __init__(
        self,
        servo: Any,
        monitor: Any = None,
        *,
        namespace: str = "arm",
        handle_namespace: str = "handle",
        node_name: str = "korvo",
        domain: int = 0,
        session: Any = None,
        connect: str | None = None,
        listen: str | None = None,
        rate: float | None = None,
        command_timeout: float = 0.05,
        fade_time: float = 0.05,
        spring_stiffness: float = 150.0,
        spring_damping: float = 4.0,
        spring_speed: float = 0.1,
        frame_id: str = "",
        handle_frame_id: str = "",
    ) -> None:
        for name, value, low, high in (("command_timeout", command_timeout, 0.001, 10.0),
                                       ("fade_time", fade_time, 0.001, 10.0),
                                       ("spring_speed", spring_speed, 1e-6, 10.0),
                                       ("spring_stiffness", spring_stiffness, 0.0, 1e5),
                                       ("spring_damping", spring_damping, 0.0, 1e4)):
            if not (isinstance(value, (int, float)) and low <= value <= high):
                raise ValueError(f"{name} must be from {low:g} to {high:g}, got {value!r}")
        if rate is not None and not (isinstance(rate, (int, float)) and 0.0 < rate <= servo.rate):
            raise ValueError(f"rate must be above 0 and at most the servo's {servo.rate:g} Hz, or None, got {rate!r}")
        if not (isinstance(domain, int) and 0 <= domain <= 232):
            raise ValueError(f"domain must be a ROS 2 domain id, 0 to 232, got {domain!r}")
        self.namespace = wire.namespace(namespace)
        self.handle_namespace = wire.namespace(handle_namespace)
        if monitor is not None and self.handle_namespace == self.namespace:
            raise ValueError("the arm and the handle need namespaces of their own: both publish measured_cp")
        wire.node_name(node_name)
        self.servo = servo
        self.monitor = monitor
        self.domain = domain
        self.rate = rate
        self.command_timeout = float(command_timeout)
        self.fade_time = float(fade_time)
        self.spring = dict(stiffness=float(spring_stiffness), damping=float(spring_damping), max_speed=float(spring_speed))
        self._node_name = node_name
        self._frame_ids = (frame_id, handle_frame_id)
        self._own_session = session is None
        self._endpoints = (connect, listen)
        self._session = session
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        self.counts: dict[str, int] = dict.fromkeys(("received", "applied", *DROPS, "published"), 0)
        self._closers: list[Any] = []

    # -- running --------------------------------------------------------------------------------------

    @property
    def session(self) -> Any:
        return self._session

    @property
    def running(self) -> bool:
        return self._thread is not None and self._thread.is_alive()

    def start(self) -> None:
        if self._thread is not None:
            return
        import korvo

        self._korvo = korvo
        types = typestore()
        self._types = types
        if self._session is None:
            self._session = wire.open_session(*self._endpoints)
        try:
            self._declare(types)
        except BaseException:
            self._undeclare()
            raise
        self._limits = self.servo.limits
        self.servo.set_limits(heartbeat=self.command_timeout, fade_time=self.fade_time)
        self.servo.heartbeat()
        self.servo.recording()  # what came before the bridge is not its to publish
        self._stop.clear()
        self._thread = threading.Thread(target=self._run, name="korvo-bridge", daemon=True)
        self._thread.start()

    def stop(self) -> None:
        """Withdraws the remote commands (their forces fade out), then the
        node from the network. The servo loop runs on."""
        thread, self._thread = self._thread, None
        if thread is None:
            return
        self._stop.set()
        thread.join()
        with self._lock:
            self._release("cf")
            self._release("cp")
        try:
            self.servo.set_limits(heartbeat=self._limits["heartbeat"], fade_time=self._limits["fade_time"])
        except ValueError:
            pass
        self._undeclare()

    def __enter__(self) -> Bridge:
        self.start()
        return self

    def __exit__(self, *args: object) -> None:
        self.stop()

    # -- declarations ---------------------------------------------------------------------------------

    def _declare(self, types: Any) -> None:
        session = self._session
        arm = Node(session, self.domain, self.namespace, self._node_name)
        self._closers.append(arm)
        self._messages = Messages(types, self._frame_ids[0])
        self._publishers = {t.name: Publisher(arm, t, types) for t in (*ARM_STATE, STATISTICS)}
        self._closers += self._publishers.values()
        self._handle_publishers: dict[str, Publisher] = {}
        if self.monitor is not None:
            handle = Node(session, self.domain, self.handle_namespace, self._node_name)
            self._closers.append(handle)
            self._handle_messages = Messages(types, self._frame_ids[1])
            self._handle_publishers = {t.name: Publisher(handle, t, types) for t in HANDLE_STATE}
            self._closers += self._handle_publishers.values()
        self._expected: dict[str, tuple[str, str]] = {}
        self._newest: dict[tuple[str, bytes], int] = {}
        self._fresh: dict[str, float] = {}
        self._effects: dict[str, Any] = {}
        self._stale_since: dict[str, float] = {}
        for topic in COMMANDS:
            entity, keyexpr = arm.endpoint(wire.SUBSCRIPTION, topic, types)
            self._expected[topic.name] = (entity.type_name or "", entity.type_hash or "")
            prefix = keyexpr.rsplit("/", 2)[0]
            # Every type on the topic's name comes here, so that a wrong one is counted, not unseen.
            subscriber = session.declare_subscriber(prefix + "/*/*", self._on_sample(topic))
            self._closers.append(subscriber)
            self._closers.append(session.liveliness().declare_token(entity.keyexpr()))

    def _undeclare(self) -> None:
        for closer in reversed(self._closers):
            try:
                (closer.close if hasattr(closer, "close") else closer.undeclare)()
            except Exception:
                pass
        self._closers.clear()
        if self._own_session and self._session is not None:
            self._session.close()
            self._session = None

    # -- commands in ------------------------------------------------------------------------------------

    def _count(self, what: str) -> None:
        self.counts[what] += 1

    def _on_sample(self, topic: Topic) -> Any:
        def receive(sample: Any) -> None:
            try:
                with self._lock:
                    if self._stop.is_set():
                        return
                    self._count("received")
                    self._take(topic, sample)
            except Exception:
                # Nothing a sender does may end the bridge; what cannot be
                # handled is not applied.
                self._count("malformed")

        return receive

    def _take(self, topic: Topic, sample: Any) -> None:
        _, _, type_name, type_hash = wire.split_topic_keyexpr(str(sample.key_expr))
        if (type_name, type_hash) != self._expected[topic.name]:
            return self._count("wrong_type")
        try:
            attachment = wire.Attachment.decode(sample.attachment.to_bytes() if sample.attachment is not None else b"")
            message = self._types.deserialize_cdr(sample.payload.to_bytes(), topic.ros_type)
        except Exception:
            return self._count("malformed")
        source = (topic.name, attachment.gid)
        if attachment.sequence <= self._newest.get(source, -1 << 63):
            return self._count("out_of_order")
        self._newest[source] = attachment.sequence
        if topic is STATE_COMMAND:
            return self._state_command(message.data)
        header = message.header
        if header.frame_id not in ("", self._frame_ids[0]):
            return self._count("wrong_frame")
        if topic is SERVO_CF:
            f = message.wrench.force
            value = (f.x, f.y, f.z)
        else:
            p = message.pose.position
            value = (p.x, p.y, p.z)
        if not all(math.isfinite(v) for v in value):
            return self._count("invalid")
        age = time.time() - (header.stamp.sec + header.stamp.nanosec * 1e-9)
        if abs(age) > self.command_timeout:
            return self._count("stale")
        self._apply("cf" if topic is SERVO_CF else "cp", value)

    def _state_command(self, text: str) -> None:
        word = text.strip().lower()
        if word not in ("enable", "disable"):
            return self._count("invalid")
        self.servo.enabled = word == "enable"
        self._count("applied")

    def _apply(self, kind: str, value: tuple[float, float, float]) -> None:
        korvo = self._korvo
        effect = self._effects.get(kind)
        if effect is None:
            # A new effect each time a command takes hold: it fades in, and a
            # spring starts where the arm is now, not where it was left.
            effect = korvo.Constant(force=value) if kind == "cf" else korvo.Spring(target=value, **self.spring)
            self._effects[kind] = effect
            self.servo.add(effect)
        elif kind == "cf":
            effect.force = value
        else:
            effect.target = value
        self._fresh[kind] = time.monotonic()
        self._stale_since.pop(kind, None)
        self.servo.heartbeat()
        self._count("applied")

    def _release(self, kind: str) -> None:
        effect = self._effects.pop(kind, None)
        if effect is not None:
            self.servo.remove(effect)

    def _watch(self, now: float) -> None:
        """Lets go of commands whose sender has fallen silent; calls in for the
        heartbeat only while no remote command acts."""
        with self._lock:
            for kind in list(self._effects):
                if now - self._fresh[kind] > self.command_timeout:
                    self._release(kind)
                    self._stale_since[kind] = now
            if not self._effects:
                self.servo.heartbeat()

    def command_state(self) -> str:
        """'active' while a remote command acts, 'stale' when the last one lapsed, 'none' before any."""
        with self._lock:
            if self._effects:
                return "active"
            return "stale" if self._stale_since else "none"

    # -- state out -------------------------------------------------------------------------------------

    def _run(self) -> None:
        wall = time.time() - time.monotonic() + self.servo.started_at
        period = 1.0 / self.rate if self.rate else 0.0
        next_state = 0.0
        next_statistics = time.monotonic()
        last_frame = -1
        while not self._stop.wait(0.002):
            now = time.monotonic()
            self._watch(now)
            recording = self.servo.recording()
            for i in range(len(recording)):
                t = float(recording.time[i])
                if t < next_state:
                    continue
                next_state = t + period if period else 0.0
                self._publish_tick(wall + t, recording, i)
            if now >= next_statistics:
                next_statistics = now + 1.0
                self._publish_statistics(time.time())
            if self.monitor is not None:
                status = self.monitor.status
                if status is not None and status.frame != last_frame:
                    last_frame = status.frame
                    self._publish_handle(time.time(), status)

    def _send(self, publishers: dict[str, Publisher], name: str, message: Any) -> None:
        publishers[name].publish(message)
        self.counts["published"] += 1

    def _publish_tick(self, stamp: float, r: Any, i: int) -> None:
        m, p = self._messages, self._publishers
        self._send(p, "measured_cp", m.pose(stamp, r.position[i]))
        self._send(p, "measured_cv", m.twist(stamp, r.velocity[i]))
        self._send(p, "measured_cf", m.wrench(stamp, r.force[i]))
        self._send(p, "setpoint_cf", m.wrench(stamp, r.commanded[i]))
        faults = self._korvo_faults(int(r.faults[i]))
        level = 2 if faults else 0
        enabled = getattr(self.servo, "enabled", True)
        state = "FAULT" if faults else ("ENABLED" if enabled else "DISABLED")
        self._send(p, "operating_state", m.status(self.namespace, level, state, {
            "state": state, "faults": ",".join(faults), "command": self.command_state(), "tick": str(int(r.tick[i])),
        }))

    @staticmethod
    def _korvo_faults(bits: int) -> list[str]:
        names = ("speed", "heartbeat", "exchanges", "disconnected", "bad-force")
        return [n for b, n in enumerate(names) if bits & (1 << b)]

    def _publish_statistics(self, stamp: float) -> None:
        s = self.servo.stats
        values = {
            "rate_hz": f"{s.rate:.1f}", "period_p50_us": f"{s.period_p50 * 1e6:.1f}",
            "period_p99_us": f"{s.period_p99 * 1e6:.1f}", "overruns": str(s.overruns),
            "failed_exchanges": str(s.failed_exchanges),
            **{f"dropped_{k}": str(self.counts[k]) for k in DROPS},
        }
        m = self._messages
        array = m.t["diagnostic_msgs/msg/DiagnosticArray"](header=m.header(stamp),
                                                             status=[m.status(self.namespace, 0, "servo loop", values)])
        self._send(self._publishers, "statistics", array)

    def _publish_handle(self, stamp: float, status: Any) -> None:
        m, p, t = self._handle_messages, self._handle_publishers, self._handle_messages.t
        q = status.quaternion
        self._send(p, "measured_cp", m.pose(stamp, (0.0, 0.0, 0.0), (q[1], q[2], q[3], q[0])))
        buttons = [int(bool(status.buttons & (1 << b))) for b in range(3)]
        import numpy as np

        self._send(p, "buttons", t["sensor_msgs/msg/Joy"](header=m.header(stamp),
                                                           axes=np.array([status.trigger / 31.0], dtype=np.float32),
                                                           buttons=np.array(buttons, dtype=np.int32)))
