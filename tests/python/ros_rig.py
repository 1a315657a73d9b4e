"""A ROS 2 node's view of the bridge, without ROS 2 and without the
project's own wire code: Zenoh sessions on loopback with multicast scouting
off, samples decoded with rosbags' deserializer, attachments and tokens read
as rmw_zenoh documents them.
"""

from __future__ import annotations

import json
import struct
import threading
import time
from collections import defaultdict
from dataclasses import dataclass

import zenoh
from rosbags.typesys import Stores, get_typestore

TYPES = get_typestore(Stores.ROS2_JAZZY)
T = TYPES.types


def config(mode: str, connect: str | None = None, listen: str | None = None) -> zenoh.Config:
    c = zenoh.Config()
    c.insert_json5("mode", json.dumps(mode))
    c.insert_json5("scouting/multicast/enabled", "false")
    if connect:
        c.insert_json5("connect/endpoints", json.dumps([connect]))
    if listen:
        c.insert_json5("listen/endpoints", json.dumps([listen]))
    return c


def router(port: int) -> tuple[zenoh.Session, str]:
    endpoint = f"tcp/127.0.0.1:{port}"
    return zenoh.open(config("router", listen=endpoint)), endpoint


def client(endpoint: str) -> zenoh.Session:
    return zenoh.open(config("client", connect=endpoint))


def ros_type(dds: str) -> str:
    package, kind, _, name = dds.split("::")
    return f"{package}/{kind}/{name[:-1]}"


def data_key(domain: int, topic: str, type_name: str) -> str:
    package, kind, name = type_name.split("/")
    return f"{domain}/{topic.strip('/')}/{package}::{kind}::dds_::{name}_/{TYPES.hash_rihs01(type_name)}"


@dataclass
class Received:
    key: str
    payload: bytes
    attachment: bytes | None
    at: float


class Listener:
    """Every sample under `keys` and every liveliness token of the domain,
    as they come."""

    def __init__(self, session: zenoh.Session, keys: str = "0/**", domain: int = 0) -> None:
        self.lock = threading.Lock()
        self.samples: dict[str, list[Received]] = defaultdict(list)
        self.tokens: set[str] = set()
        self._subscriber = session.declare_subscriber(keys, self._sample)
        self._tokens = session.liveliness().declare_subscriber(f"@ros2_lv/{domain}/**", self._token, history=True)

    def _sample(self, sample: zenoh.Sample) -> None:
        item = Received(str(sample.key_expr), sample.payload.to_bytes(),
                        sample.attachment.to_bytes() if sample.attachment is not None else None, time.time())
        with self.lock:
            self.samples[item.key].append(item)

    def _token(self, sample: zenoh.Sample) -> None:
        with self.lock:
            if sample.kind == zenoh.SampleKind.PUT:
                self.tokens.add(str(sample.key_expr))
            else:
                self.tokens.discard(str(sample.key_expr))

    def of(self, key: str) -> list[Received]:
        with self.lock:
            return list(self.samples.get(key, []))

    def decoded(self, key: str) -> list:
        _, _, dds, _ = split(key)
        return [TYPES.deserialize_cdr(r.payload, ros_type(dds)) for r in self.of(key)]

    def topic(self, suffix: str) -> list:
        """Decoded samples of the one key whose topic part ends with `suffix`."""
        keys = [k for k in list(self.samples) if split(k)[1].endswith(suffix)]
        return self.decoded(keys[0]) if keys else []

    def wait(self, predicate, limit: float = 20.0, what: str = "") -> None:
        deadline = time.monotonic() + limit
        while not predicate():
            assert time.monotonic() < deadline, f"not within {limit} s: {what}"
            time.sleep(0.01)

    def close(self) -> None:
        self._subscriber.undeclare()
        self._tokens.undeclare()


def split(key: str) -> tuple[str, str, str, str]:
    parts = key.split("/")
    return parts[0], "/" + "/".join(parts[1:-2]), parts[-2], parts[-1]


def attachment(data: bytes) -> tuple[int, int, bytes]:
    """(sequence, source timestamp in ns, GID), as rmw_zenoh's design describes it."""
    sequence, stamp, size, gid = struct.unpack("<qqB16s", data)
    assert size == 16
    return sequence, stamp, gid


class Commander:
    """Publishes commands as a ROS 2 node on rmw_zenoh would, with knobs to
    send them wrong."""

    def __init__(self, session: zenoh.Session, gid: bytes = b"\x42" * 16) -> None:
        self.session = session
        self.gid = gid
        self.sequence = 0
        self._publishers: dict[str, zenoh.Publisher] = {}

    def put(self, key: str, payload: bytes, sequence: int | None = None, attach: bytes | None | bool = True) -> None:
        if key not in self._publishers:
            # The tests count what arrives against what they sent: a busy
            # machine's full queue must make the sender wait, where Zenoh's
            # default drops the sample.
            self._publishers[key] = self.session.declare_publisher(key, congestion_control=zenoh.CongestionControl.BLOCK)
        if sequence is None:
            self.sequence += 1
            sequence = self.sequence
        if attach is True:
            attach = struct.pack("<qqB16s", sequence, time.time_ns(), 16, self.gid)
        self._publishers[key].put(payload, attachment=attach if attach else None)

    @staticmethod
    def header(age: float = 0.0, frame_id: str = ""):
        stamp = time.time() - age
        return T["std_msgs/msg/Header"](stamp=T["builtin_interfaces/msg/Time"](sec=int(stamp), nanosec=int(stamp % 1 * 1e9)),
                                         frame_id=frame_id)

    @classmethod
    def wrench(cls, force, age: float = 0.0, frame_id: str = "") -> bytes:
        v = T["geometry_msgs/msg/Vector3"]
        message = T["geometry_msgs/msg/WrenchStamped"](
            header=cls.header(age, frame_id),
            wrench=T["geometry_msgs/msg/Wrench"](force=v(x=force[0], y=force[1], z=force[2]), torque=v(x=0.0, y=0.0, z=0.0)))
        return bytes(TYPES.serialize_cdr(message, "geometry_msgs/msg/WrenchStamped"))

    @classmethod
    def pose(cls, position, age: float = 0.0, frame_id: str = "") -> bytes:
        message = T["geometry_msgs/msg/PoseStamped"](
            header=cls.header(age, frame_id),
            pose=T["geometry_msgs/msg/Pose"](
                position=T["geometry_msgs/msg/Point"](x=position[0], y=position[1], z=position[2]),
                orientation=T["geometry_msgs/msg/Quaternion"](x=0.0, y=0.0, z=0.0, w=1.0)))
        return bytes(TYPES.serialize_cdr(message, "geometry_msgs/msg/PoseStamped"))

    @staticmethod
    def string(text: str) -> bytes:
        return bytes(TYPES.serialize_cdr(T["std_msgs/msg/String"](data=text), "std_msgs/msg/String"))


class Repeater:
    """Sends a command again and again on a thread of its own (a sender at
    `hz`) until stopped."""

    def __init__(self, send, hz: float = 200.0) -> None:
        self._send = send
        self._period = 1.0 / hz
        self._stop = threading.Event()
        self.last_sent = 0.0
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self) -> None:
        while not self._stop.wait(self._period):
            self._send()
            self.last_sent = time.time()

    def stop(self) -> float:
        """Stops; returns when the last command was sent (system clock)."""
        self._stop.set()
        self._thread.join(5.0)
        return self.last_sent
