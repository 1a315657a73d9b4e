"""korvo.ros.Bridge: a servo loop and a handle as ROS 2 nodes on Zenoh.

The bridge publishes the message layer's topics (`korvo.ros.messages`) in
rmw_zenoh's wire form (`korvo.ros.zenoh_wire`) and takes three commands in:
``servo_cf`` (a force), ``servo_cp`` (the target of a spring that moves at a
bounded speed) and ``state_command`` (enable, disable). The force the loop
was asked for, which a recording names ``servo_cf``, goes out as
``setpoint_cf``: on a live graph ``servo_cf`` is the command, and a node
must not hear its own report as one.

Remote commands are safe by construction:

- a command counts only while it is fresh: stamped within `command_timeout`
  of the bridge's clock (either way), and the latest arrival of its kind
  less than `command_timeout` ago. Otherwise its force fades out over the
  servo's effect fade time and ``operating_state`` says "stale"; a fresh
  command brings it back, fading in and ramping up as after any fault;
- behind that, the servo's own heartbeat: while a remote command acts, only
  fresh arrivals call in, so that a sender that falls silent, or a bridge
  whose Python threads stall, fades to zero within `fade_time` in the servo
  thread itself;
- duplicates and samples older than the newest one seen from the same
  publisher (by sequence number), malformed bytes, wrong types, other frames
  and non-finite values are dropped and counted, never applied;
- everything passes the servo's safety envelope.

Programs built on a bridge (korvo.ros.teleop) add topics of their own:
`subscribe` takes samples through the same checks and the same freshness
rule (each one applied calls in for the heartbeat), `advertise` publishes on
the device's node. `delay` and `jitter` hold every sample received for that
long before it is taken, in the order it came: a slow network, to try a
program against.
"""

from __future__ import annotations

import atexit
import collections
import math
import random
import threading
import time
from collections.abc import Callable
from typing import Any

import numpy as np

from . import messages
from . import zenoh_wire as wire

SETPOINT_CF = "setpoint_cf"
SERVO_CF = "servo_cf"
SERVO_CP = "servo_cp"
STATE_COMMAND = "state_command"
STRING = "std_msgs/msg/String"
COMMANDS = {SERVO_CF: messages.WRENCH, SERVO_CP: messages.POSE, STATE_COMMAND: STRING}

# State at the loop's rate as sensor data; what comes seldom, and commands
# of state, as ROS 2's default.
SELDOM = {messages.STATUS, messages.DIAGNOSTICS, messages.BATTERY, STRING}

DROPS = ("malformed", "wrong_type", "out_of_order", "stale", "invalid", "wrong_frame", "delay_overflow")


def qos(ros_type: str) -> wire.QoS:
    return wire.DEFAULT if ros_type in SELDOM else wire.SENSOR_DATA


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
    """A ROS 2 node: its liveliness token, and the entities it declares."""

    def __init__(self, session: Any, domain: int, namespace: str, name: str) -> None:
        self.session = session
        self.domain = domain
        self.namespace = wire.namespace(namespace)
        self.name = wire.node_name(name)
        self.session_id = str(session.info.zid())
        self.id = _next_id(self.session_id)
        self.entity = wire.Entity(domain, self.session_id, self.id, self.id, wire.NODE, self.namespace, self.name)
        self.token = session.liveliness().declare_token(self.entity.keyexpr())

    def endpoint(self, kind: str, topic: str, ros_type: str) -> tuple[wire.Entity, str]:
        """A publisher's or subscription's entity and its data key expression;
        `topic` is fully qualified."""
        dds, digest = wire.dds_type(ros_type), messages.type_hash(ros_type)
        entity = wire.Entity(self.domain, self.session_id, self.id, _next_id(self.session_id), kind, self.namespace,
                             self.name, topic=topic, type_name=dds, type_hash=digest, qos=qos(ros_type))
        return entity, wire.topic_keyexpr(self.domain, topic, dds, digest)

    def close(self) -> None:
        self.token.undeclare()


class Publisher:
    def __init__(self, node: Node, topic: str, ros_type: str) -> None:
        import zenoh

        self.type = ros_type
        self.entity, self.keyexpr = node.endpoint(wire.PUBLISHER, topic, ros_type)
        self.gid = self.entity.gid()
        # A slow network drops samples; it never holds the bridge up.
        self._publisher = node.session.declare_publisher(self.keyexpr, congestion_control=zenoh.CongestionControl.DROP)
        self._token = node.session.liveliness().declare_token(self.entity.keyexpr())
        self.sequence = 0

    def publish(self, message: Any) -> None:
        self.publish_bytes(messages.serialize(message, self.type))

    def publish_bytes(self, data: bytes) -> None:
        """A message of the publisher's type, serialised already."""
        self.sequence += 1
        attachment = wire.Attachment(self.sequence, time.time_ns(), self.gid).encode()
        self._publisher.put(data, attachment=attachment)

    def close(self) -> None:
        self._publisher.undeclare()
        self._token.undeclare()


# -- the bridge --------------------------------------------------------------------------------------


class Bridge:
    """A servo loop, a handle monitor, or both, as ROS 2 nodes (one per
    device, named `node_name`, in the device's namespace).

    `session`: an open Zenoh session (`zenoh_wire.open_session`) to share
    between bridges, one process serving several devices; otherwise the
    bridge opens its own, a client of the router at `connect`
    (``tcp/localhost:7447`` by default) or a router listening on `listen`.
    `rate`: state messages per second, or None for every tick. The bridge
    reads every tick and every handle frame through taps of its own (the
    servo's recording stays the program's). While it runs it owns the servo's
    heartbeat limit and effect fade time (both set from `command_timeout` and
    `fade_time`, and given back by `stop()`), and the servo's effects include
    the remote commands'.
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
        frame_id: str | None = None,
        handle_frame_id: str | None = None,
        delay: float = 0.0,
        jitter: float = 0.0,
    ) -> None:
        for name, value, low, high in (("command_timeout", command_timeout, 0.001, 10.0),
                                       ("fade_time", fade_time, 0.001, 10.0),
                                       ("delay", delay, 0.0, 5.0),
                                       ("jitter", jitter, 0.0, 5.0),
                                       ("spring_speed", spring_speed, 1e-6, 10.0),
                                       ("spring_stiffness", spring_stiffness, 0.0, 1e5),
                                       ("spring_damping", spring_damping, 0.0, 1e4)):
            if not (isinstance(value, (int, float)) and low <= value <= high):
                raise ValueError(f"{name} must be from {low:g} to {high:g}, got {value!r}")
        if servo is None and monitor is None:
            raise ValueError("a bridge serves an arm (a korvo.Servo), a handle (a korvo.HandleMonitor) or both")
        if rate is not None and not (isinstance(rate, (int, float)) and 0.0 < rate <= 20000.0):
            raise ValueError(f"rate must be above 0 and at most 20000 Hz, or None for every tick, got {rate!r}")
        if not (isinstance(domain, int) and 0 <= domain <= 232):
            raise ValueError(f"domain must be a ROS 2 domain id, 0 to 232, got {domain!r}")
        self.namespace = wire.namespace(namespace)
        self.handle_namespace = wire.namespace(handle_namespace)
        if servo is not None and monitor is not None and self.handle_namespace == self.namespace:
            raise ValueError("the arm and the handle need namespaces of their own: both publish measured_cp")
        wire.node_name(node_name)
        if connect is not None or listen is not None:
            wire.session_config(connect, listen)
        self.servo = servo
        self.monitor = monitor
        self.domain = domain
        self.rate = rate
        self.command_timeout = float(command_timeout)
        self.fade_time = float(fade_time)
        self.spring = dict(stiffness=float(spring_stiffness), damping=float(spring_damping), max_speed=float(spring_speed))
        self.delay = float(delay)
        self.jitter = float(jitter)
        self.error: BaseException | None = None
        self.counts: dict[str, int] = dict.fromkeys(("received", "applied", *DROPS, "published", "ticks_lost", "frames_lost"), 0)
        self._arm = messages.ArmMessages(self.namespace, frame_id)
        self._handle = messages.HandleMessages(self.handle_namespace, handle_frame_id)
        self._node_name = node_name
        self._endpoints = (connect, listen)
        self._own_session = session is None
        self._session = session
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        self._ticks: Any = None
        self._frames: Any = None
        self._closers: list[Any] = []
        self._publishers: dict[str, Publisher] = {}
        self._expected: dict[str, tuple[str, str]] = {}
        self._newest: dict[tuple[str, bytes], int] = {}
        self._fresh: dict[str, float] = {}
        self._effects: dict[str, Any] = {}
        self._lapsed = False
        # No heartbeat before the loop's tick passes this: see _watch.
        self._quiet_until = 0
        self._reported: tuple[str, bool] = ("none", True)
        # Topics programs subscribed to: name -> (ros type, handler); those
        # whose samples act now (until they lapse, as commands do).
        self._subscriptions: dict[str, tuple[str, Callable[[Any, Any], str]]] = {}
        self._commands: set[str] = set()
        self._held: set[str] = set()
        self._arm_node: Node | None = None
        self._delayed: collections.deque[tuple[float, Callable[[Any], None], Any]] = collections.deque()
        self._delay_wake = threading.Condition()
        self._delay_thread: threading.Thread | None = None
        self._readers: list[threading.Thread] = []

    @property
    def session(self) -> Any:
        return self._session

    @property
    def running(self) -> bool:
        return self._thread is not None and self._thread.is_alive()

    @property
    def keyexprs(self) -> dict[str, str]:
        """Each published topic's data key expression."""
        return {topic: p.keyexpr for topic, p in self._publishers.items()}

    def subscribe(self, topic: str, ros_type: str, handler: Callable[[Any, Any], str], *, command: bool = True) -> None:
        """Takes samples of `topic` (relative to the arm's namespace, or
        absolute) of `ros_type` from start() on, through the checks of the
        commands: the type and its hash, the attachment, the publisher's
        order, and for a `command` the header's stamp within
        `command_timeout`. `handler(message, attachment)` is called on a
        thread of the bridge's with the message and its decoded attachment
        (sequence, source timestamp, publisher's GID), under the bridge's
        lock, and says what became of it: "applied" (a command's then acts:
        the topic counts as a remote command, calling in for the heartbeat
        until its samples lapse), or "invalid"."""
        if self._thread is not None:
            raise RuntimeError("subscribe before start()")
        if self.servo is None:
            raise ValueError("a bridge subscribes for an arm: it serves none")
        name = wire.topic_name(self.namespace, topic)
        if name in self._subscriptions or name in (messages.topic_name(self.namespace, n) for n in COMMANDS):
            raise ValueError(f"{name} is taken already")
        self._subscriptions[name] = (ros_type, handler)
        if command:
            self._commands.add(name)

    def advertise(self, topic: str, ros_type: str) -> Publisher:
        """A publisher of `topic` (relative to the arm's namespace, or absolute)
        on the arm's node, while the bridge runs."""
        if self._arm_node is None:
            raise RuntimeError("advertise after start(), for an arm")
        name = wire.topic_name(self.namespace, topic)
        if name in self._publishers:
            raise ValueError(f"{name} is published already")
        self._publish_on(self._arm_node, name, ros_type)
        return self._publishers[name]

    # -- starting and stopping ------------------------------------------------------------------------

    def start(self) -> None:
        if self._thread is not None:
            return
        if self._session is None:
            self._session = wire.open_session(*self._endpoints)
        try:
            self._declare()
            # Taps seconds deep at the loop's fastest: a bridge that falls that
            # far behind loses ticks, counted, never the loop its pace.
            self._ticks = self.servo._open_tap(1 << 16) if self.servo is not None else None
            self._frames = self.monitor._open_tap(1 << 12) if self.monitor is not None else None
        except BaseException:
            self._undeclare()
            raise
        if self.servo is not None:
            self._limits = self.servo.limits
            self._effect_fade_time = self.servo.effect_fade_time
            self.servo.set_limits(heartbeat=self.command_timeout, fade_time=self.fade_time)
            self.servo.effect_fade_time = self.fade_time
            self.servo.heartbeat()
        self.error = None
        self._stop.clear()
        if self.delay or self.jitter:
            self._delay_thread = threading.Thread(target=self._deliver, name="korvo-bridge-delay", daemon=True)
            self._delay_thread.start()
        self._thread = threading.Thread(target=self._run, name="korvo-bridge", daemon=True)
        self._thread.start()
        # A program that ends with its bridge running must still end: Zenoh's
        # threads cannot call into an interpreter that is shutting down, so
        # the bridge leaves the network first (before the loops stop, which
        # korvo registered earlier and so runs later).
        atexit.register(self.stop)

    def stop(self) -> None:
        """Withdraws the remote commands (their forces fade out) and the
        nodes from the network. The servo loop and the monitor run on."""
        thread, self._thread = self._thread, None
        if thread is None:
            return
        atexit.unregister(self.stop)
        self._stop.set()
        thread.join()
        if self._delay_thread is not None:
            with self._delay_wake:
                self._delay_wake.notify()
            self._delay_thread.join()
            self._delay_thread = None
            self._delayed.clear()
        if self.servo is not None:
            with self._lock:
                for kind in list(self._effects):
                    self._release(kind)
                self._held.clear()
            if self.servo.running:
                self.servo.set_limits(heartbeat=self._limits["heartbeat"], fade_time=self._limits["fade_time"])
            self.servo.effect_fade_time = self._effect_fade_time
        self._undeclare()

    def __enter__(self) -> Bridge:
        self.start()
        return self

    def __exit__(self, *args: object) -> None:
        self.stop()

    def _declare(self) -> None:
        session = self._session
        if self.servo is not None:
            arm = Node(session, self.domain, self.namespace, self._node_name)
            self._arm_node = arm
            self._closers.append(arm)
            for topic, ros_type in self._arm.topics.items():
                if topic == self._arm.servo_cf:
                    topic = messages.topic_name(self.namespace, SETPOINT_CF)
                self._publish_on(arm, topic, ros_type)
            topics = {name: (messages.topic_name(self.namespace, name), ros_type) for name, ros_type in COMMANDS.items()}
            topics |= {name: (name, ros_type) for name, (ros_type, _) in self._subscriptions.items()}
            for name, (topic, ros_type) in topics.items():
                entity, keyexpr = arm.endpoint(wire.SUBSCRIPTION, topic, ros_type)
                self._expected[name] = (entity.type_name or "", entity.type_hash or "")
                # Every type under the topic's name comes here, so that a
                # wrong one is counted, not unseen.
                prefix = keyexpr.rsplit("/", 2)[0]
                self._closers.append(self._subscribe(prefix + "/*/*", name))
                self._closers.append(session.liveliness().declare_token(entity.keyexpr()))
        if self.monitor is not None:
            handle = Node(session, self.domain, self.handle_namespace, self._node_name)
            self._closers.append(handle)
            for topic, ros_type in self._handle.topics.items():
                self._publish_on(handle, topic, ros_type)

    def _subscribe(self, keyexpr: str, name: str) -> Any:
        """A subscriber read by a daemon thread of the bridge's own, which ends
        when the subscriber is withdrawn. (Zenoh's own callback threads would
        keep a program that ends with its bridge running from ending.) Its
        queue drops the oldest samples when full, rather than hold up the
        network: a command that waited that long would be stale anyway."""
        import zenoh

        subscriber = self._session.declare_subscriber(keyexpr, zenoh.handlers.RingChannel(256))
        receive = self._receiver(name)
        if self.delay or self.jitter:
            receive = self._delaying(receive)

        def read() -> None:
            for sample in subscriber:
                receive(sample)

        reader = threading.Thread(target=read, name=f"korvo-bridge-{name}", daemon=True)
        reader.start()
        self._readers.append(reader)
        return subscriber

    def _publish_on(self, node: Node, topic: str, ros_type: str) -> None:
        publisher = Publisher(node, topic, ros_type)
        self._publishers[topic] = publisher
        self._closers.append(publisher)

    def _undeclare(self) -> None:
        for tap in (self._ticks, self._frames):
            if tap is not None:
                tap.close()
        self._ticks = self._frames = None
        for closer in reversed(self._closers):
            try:
                (closer.close if isinstance(closer, (Node, Publisher)) else closer.undeclare)()
            except Exception:
                pass  # a session that is already closed has nothing left to withdraw
        self._closers.clear()
        self._publishers.clear()
        self._arm_node = None
        # Withdrawn, the subscribers end their readers' loops: wait for them,
        # so that none is still in Zenoh's receive when the program exits
        # (a thread coming back into an interpreter that is exiting aborts
        # the process).
        for reader in self._readers:
            reader.join(1.0)
        self._readers.clear()
        if self._own_session and self._session is not None:
            self._session.close()
            self._session = None

    # -- a slow network, on purpose --------------------------------------------------------------------

    DELAY_CAPACITY = 1 << 14

    def _delaying(self, receive: Callable[[Any], None]) -> Callable[[Any], None]:
        """`receive`, called `delay` (plus up to `jitter`) after each sample
        arrives, never before an earlier one: one line of samples, in the
        order they came, as on one network link."""

        def hold(sample: Any) -> None:
            with self._delay_wake:
                if len(self._delayed) >= self.DELAY_CAPACITY:
                    # A bounded line: what does not fit is lost, counted.
                    with self._lock:
                        self.counts["received"] += 1
                        self.counts["delay_overflow"] += 1
                    return
                due = time.monotonic() + self.delay + (random.uniform(0.0, self.jitter) if self.jitter else 0.0)
                if self._delayed:
                    due = max(due, self._delayed[-1][0])
                self._delayed.append((due, receive, sample))
                self._delay_wake.notify()

        return hold

    def _deliver(self) -> None:
        while not self._stop.is_set():
            with self._delay_wake:
                while not self._stop.is_set() and (not self._delayed or self._delayed[0][0] > time.monotonic()):
                    self._delay_wake.wait(self._delayed[0][0] - time.monotonic() if self._delayed else None)
                if self._stop.is_set():
                    return
                _, receive, sample = self._delayed.popleft()
            receive(sample)

    # -- commands in ------------------------------------------------------------------------------------

    def _receiver(self, name: str) -> Any:
        def receive(sample: Any) -> None:
            with self._lock:
                if self._stop.is_set():
                    return
                self.counts["received"] += 1
                try:
                    verdict = self._take(name, sample)
                except Exception:
                    # Nothing a sender does may end the bridge; what cannot be
                    # taken is not applied.
                    verdict = "malformed"
                self.counts[verdict] += 1

        return receive

    def _take(self, name: str, sample: Any) -> str:
        """Applies one command sample; says what became of it."""
        _, _, type_name, type_hash = wire.split_topic_keyexpr(str(sample.key_expr))
        if (type_name, type_hash) != self._expected[name]:
            return "wrong_type"
        try:
            attachment = wire.Attachment.decode(sample.attachment.to_bytes() if sample.attachment is not None else b"")
            ros_type = self._subscriptions[name][0] if name in self._subscriptions else COMMANDS[name]
            message = messages.deserialize(sample.payload.to_bytes(), ros_type)
        except Exception:
            return "malformed"
        source = (name, attachment.gid)
        if attachment.sequence <= self._newest.get(source, -(1 << 63)):
            return "out_of_order"
        self._newest[source] = attachment.sequence
        if name in self._subscriptions:
            return self._take_subscribed(name, message, attachment)
        if name == STATE_COMMAND:
            word = message.data.strip().lower()
            if word not in ("enable", "disable"):
                return "invalid"
            self.servo.enabled = word == "enable"
            return "applied"
        header = message.header
        if header.frame_id not in ("", self._arm.frame_id):
            return "wrong_frame"
        v = message.wrench.force if name == SERVO_CF else message.pose.position
        value = (v.x, v.y, v.z)
        if not all(math.isfinite(x) for x in value):
            return "invalid"
        stamp = header.stamp.sec + header.stamp.nanosec * 1e-9
        if abs(time.time() - stamp) > self.command_timeout:
            return "stale"
        self._apply(name, value, stamp)
        return "applied"

    def _take_subscribed(self, name: str, message: Any, attachment: wire.Attachment) -> str:
        command = name in self._commands
        stamp = message.header.stamp
        if command and abs(time.time() - (stamp.sec + stamp.nanosec * 1e-9)) > self.command_timeout:
            return "stale"
        verdict = self._subscriptions[name][1](message, attachment)
        if verdict == "applied" and command:
            self._held.add(name)
            self._called_in(name, stamp.sec + stamp.nanosec * 1e-9)
        return verdict

    def _called_in(self, name: str, stamp: float) -> None:
        # A command counts from its stamp, not from when this thread got to
        # it: on a busy machine that can be much later, and the force must
        # not outlast the command by the delay.
        age = max(0.0, time.time() - stamp)
        self._fresh[name] = time.monotonic() - age
        self._lapsed = False
        if age <= self.command_timeout:
            self.servo.heartbeat()

    def _apply(self, name: str, value: tuple[float, float, float], stamp: float) -> None:
        import korvo

        effect = self._effects.get(name)
        if effect is None:
            # A new effect each time a command takes hold: it fades in, and a
            # spring starts where the arm is now, not where it was left.
            effect = korvo.Constant(force=value) if name == SERVO_CF else korvo.Spring(target=value, **self.spring)
            self._effects[name] = effect
            self.servo.add(effect)
        elif name == SERVO_CF:
            effect.force = value
        else:
            effect.target = value
        self._called_in(name, stamp)

    def _release(self, name: str) -> None:
        effect = self._effects.pop(name, None)
        if effect is not None:
            self.servo.remove(effect)

    def _watch(self, now: float) -> None:
        """Lets go of commands whose sender has fallen silent; calls in for the
        heartbeat only while no remote command acts."""
        with self._lock:
            for name in list(self._effects):
                if now - self._fresh[name] > self.command_timeout:
                    self._release(name)
                    self._lapsed = True
                    # A released effect fades out from where it was, and this
                    # thread may get here after the loop's heartbeat already
                    # lapsed and brought the force to zero: calling in now
                    # would let the fading effect push again. The heartbeat
                    # waits until it has faded, counted in the loop's ticks
                    # (a loop held up by the machine fades late too).
                    fade_ticks = math.ceil(self.fade_time * self.servo.rate)
                    self._quiet_until = self.servo.state.tick + fade_ticks + 2
            for name in list(self._held):
                if now - self._fresh[name] > self.command_timeout:
                    self._held.discard(name)
                    self._lapsed = True
            if not self._effects and not self._held and self.servo.state.tick >= self._quiet_until:
                self.servo.heartbeat()

    @property
    def command_state(self) -> str:
        """'active' while a remote command acts, 'stale' once the last one
        lapsed, 'none' before any."""
        if self._effects or self._held:
            return "active"
        return "stale" if self._lapsed else "none"

    # -- state out -------------------------------------------------------------------------------------

    def _run(self) -> None:
        try:
            self._loop()
        except BaseException as error:
            # Publishing ends. A remote command acting now fades out by the
            # servo's heartbeat, for which nothing calls in any more.
            self.error = error

    def _loop(self) -> None:
        servo, monitor = self.servo, self.monitor
        clock = messages.Clock()
        period_ns = round(1e9 / self.rate) if self.rate else 0
        next_state = 0
        due = (0, -1)
        next_statistics = time.monotonic()
        while not self._stop.wait(0.002):
            now = time.monotonic()
            if servo is not None:
                self._watch(now)
                ticks = self._ticks.drain()
                self.counts["ticks_lost"] += int(ticks.pop("dropped"))
                if period_ns:
                    ticks, due = self._due(ticks, clock.stamps_ns(servo.started_at + ticks["time"]), period_ns, due)
                keep = True
                for item in self._arm.from_ticks(ticks, servo.started_at, clock):
                    if item.topic == self._arm.measured_js and period_ns:
                        # Each tick's messages begin with its joint state.
                        keep = item.stamp_ns >= next_state
                        if keep:
                            next_state = item.stamp_ns + period_ns
                    if item.topic == self._arm.operating_state:
                        self._send(item.topic, self._report(item.message))
                    elif keep:
                        self._send(item.topic, item.message)
                # What the ticks do not show is reported when it changes.
                if self._reported != (self.command_state, servo.enabled):
                    state = servo.state
                    self._send(self._arm.operating_state,
                               self._report(self._arm.state_message(state.tick, self._fault_bits(state), state.exchange_ok)))
                if now >= next_statistics:
                    next_statistics = now + 1.0
                    extra = {f"dropped_{k}": self.counts[k] for k in DROPS} | {"ticks_lost": self.counts["ticks_lost"]}
                    stats = self._arm.statistics(servo.stats, clock.now_ns(), **extra)
                    self._send(stats.topic, stats.message)
            if monitor is not None:
                frames = self._frames.drain()
                self.counts["frames_lost"] += int(frames.pop("dropped"))
                for item in self._handle.from_frames(frames, monitor.started_at, clock):
                    self._send(item.topic, item.message)

    @staticmethod
    def _due(ticks: dict[str, Any], stamps: Any, period_ns: int, due: tuple[int, int]) -> tuple[dict[str, Any], tuple[int, int]]:
        """The ticks a bridge publishing at a rate makes messages of: those
        due by the rate, and those whose faults or exchange changed (for
        operating_state); building messages for the others only to drop
        them took most of its time. `due`: when the next tick is due, and the
        last tick's (faults, exchange) key."""
        next_due, last = due
        keys = (ticks["faults"].astype(np.int64) * 2 + ticks["exchange_ok"]).tolist()
        chosen = []
        for i, (stamp, key) in enumerate(zip(stamps.tolist(), keys)):
            if stamp >= next_due:
                chosen.append(i)
                next_due = stamp + period_ns
            elif key != last:
                chosen.append(i)
            last = key
        if len(chosen) == len(keys):
            return ticks, (next_due, last)
        return {name: column[chosen] for name, column in ticks.items()}, (next_due, last)

    @staticmethod
    def _fault_bits(state: Any) -> int:
        return sum(messages.FAULTS[name] for name in state.faults)

    def _report(self, status: Any) -> Any:
        """operating_state says what the remote commands do, and whether the
        loop is enabled."""
        command = self.command_state
        self._reported = (command, self.servo.enabled)
        values = {kv.key: kv for kv in status.values}
        if not self.servo.enabled and values["state"].value == "ENABLED":
            values["state"].value = "DISABLED"
            status.message = "DISABLED"
        status.values.append(messages.TYPESTORE.types["diagnostic_msgs/msg/KeyValue"]("command", command))
        if command == "stale" and status.level == status.OK:
            status.level = status.WARN
            status.message += ", command stale"
        return status

    def _send(self, topic: str, message: Any) -> None:
        if topic == self._arm.servo_cf:
            topic = messages.topic_name(self.namespace, SETPOINT_CF)
        self._publishers[topic].publish(message)
        self.counts["published"] += 1
