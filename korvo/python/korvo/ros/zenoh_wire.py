"""ROS 2 on Zenoh in rmw_zenoh's wire form, without ROS 2.

A program that publishes and subscribes in this form is a ROS 2 node to
every node that runs on rmw_zenoh and reaches the same Zenoh router. The form
is rmw_zenoh's as released for Jazzy (0.2 and later), Kilted and Rolling, on
Zenoh 1.x:

- data travels on ``<domain>/<fully qualified topic, no outer slashes>/<DDS
  type name>/<RIHS01 type hash>``, as CDR bytes;
- each sample carries an attachment: sequence number and source timestamp
  (nanoseconds since the Unix epoch), both int64 little-endian, then the
  publisher's GID as a byte sequence (one length byte, 16, and 16 bytes);
- every node, publisher and subscription holds a liveliness token
  ``@ros2_lv/<domain>/<session>/<node id>/<entity id>/<kind>/<enclave>/
  <namespace>/<node name>[/<topic>/<type>/<hash>/<qos>]`` where names are
  "mangled" ('/' written as '%') and the QoS is rmw_zenoh's compact text;
- a GID is the XXH3 128-bit hash of the entity's liveliness key expression,
  low 64 bits first, each little-endian, so the GID in every attachment is
  the one ROS 2 tools list for that publisher.

Nothing here needs a Zenoh session except `open_session`.
"""

from __future__ import annotations

import json
import re
import struct
from dataclasses import dataclass, field
from typing import Any

ADMIN_SPACE = "@ros2_lv"

NODE = "NN"
PUBLISHER = "MP"
SUBSCRIPTION = "MS"
SERVICE = "SS"
CLIENT = "SC"
KINDS = (NODE, PUBLISHER, SUBSCRIPTION, SERVICE, CLIENT)

DEFAULT_ROUTER = "tcp/localhost:7447"

_TOKEN = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*$")
_HASH = re.compile(r"^RIHS01_[0-9a-f]{64}$")


class WireError(ValueError):
    """Bytes or names that are not in rmw_zenoh's form."""


# -- names ----------------------------------------------------------------------------------------


def namespace(text: str) -> str:
    """A ROS 2 namespace, absolute: 'arm' and '/lab/arm' become '/arm' and
    '/lab/arm'; '' and '/' are the root. Raises WireError naming the fault."""
    if not isinstance(text, str):
        raise WireError(f"a namespace is a string, not {type(text).__name__}")
    if text in ("", "/"):
        return "/"
    absolute = text if text.startswith("/") else "/" + text
    if absolute.endswith("/"):
        raise WireError(f"namespace {text!r} is not a valid ROS 2 name: it ends with '/'")
    for token in absolute[1:].split("/"):
        if not token:
            raise WireError(f"namespace {text!r} is not a valid ROS 2 name: it repeats '/'")
        if not _TOKEN.match(token):
            raise WireError(
                f"namespace {text!r} is not a valid ROS 2 name: {token!r} must be letters, digits and "
                "underscores, not starting with a digit"
            )
    return absolute


def node_name(text: str) -> str:
    if not isinstance(text, str) or not _TOKEN.match(text):
        raise WireError(f"node name {text!r} is not a valid ROS 2 name: letters, digits and underscores, "
                        "not starting with a digit")
    return text


def topic_name(ns: str, topic: str) -> str:
    """The fully qualified name of a topic relative to a namespace."""
    if topic.startswith("/"):
        return namespace(topic)
    return namespace(ns.rstrip("/") + "/" + topic)


def dds_type(ros_type: str) -> str:
    """'geometry_msgs/msg/WrenchStamped' -> 'geometry_msgs::msg::dds_::WrenchStamped_'."""
    parts = ros_type.split("/")
    if len(parts) != 3 or not all(parts):
        raise WireError(f"{ros_type!r} is not a ROS 2 type name (package/msg/Name)")
    package, kind, name = parts
    return f"{package}::{kind}::dds_::{name}_"


def ros_type(dds: str) -> str:
    """The inverse of `dds_type`."""
    parts = dds.split("::")
    if len(parts) != 4 or parts[2] != "dds_" or not parts[3].endswith("_") or len(parts[3]) < 2:
        raise WireError(f"{dds!r} is not a DDS type name as rmw_zenoh writes it")
    return f"{parts[0]}/{parts[1]}/{parts[3][:-1]}"


def mangle(name: str) -> str:
    return name.replace("/", "%")


def demangle(name: str) -> str:
    return name.replace("%", "/")


def topic_keyexpr(domain: int, topic: str, dds_type_name: str, type_hash: str) -> str:
    """Where a topic's samples travel."""
    return f"{domain}/{topic.strip('/')}/{dds_type_name}/{type_hash}"


def split_topic_keyexpr(keyexpr: str) -> tuple[int, str, str, str]:
    """(domain, fully qualified topic, DDS type name, type hash) of a data key expression."""
    parts = keyexpr.split("/")
    if len(parts) < 4 or not parts[0].isdigit():
        raise WireError(f"{keyexpr!r} is not a topic key expression")
    return int(parts[0]), "/" + "/".join(parts[1:-2]), parts[-2], parts[-1]


# -- QoS ----------------------------------------------------------------------------------------------

# rmw's enumerations, by value.
RELIABLE, BEST_EFFORT = 1, 2
TRANSIENT_LOCAL, VOLATILE = 1, 2
KEEP_LAST, KEEP_ALL = 1, 2
AUTOMATIC = 1
INFINITE = (9223372036, 854775807)   # RMW_DURATION_INFINITE as (s, ns)


@dataclass(frozen=True)
class QoS:
    """A QoS profile as rmw_zenoh encodes it in liveliness tokens: each field
    equal to rmw_zenoh's own default is left out of the text."""

    reliability: int = RELIABLE
    durability: int = VOLATILE
    history: int = KEEP_LAST
    depth: int = 42
    deadline: tuple[int, int] = INFINITE
    lifespan: tuple[int, int] = INFINITE
    liveliness: int = AUTOMATIC
    lease: tuple[int, int] = INFINITE

    def encode(self) -> str:
        d = QoS()

        def part(value: int, default: int) -> str:
            return "" if value == default else str(value)

        return (
            f"{part(self.reliability, d.reliability)}:{part(self.durability, d.durability)}:"
            f"{part(self.history, d.history)},{part(self.depth, d.depth)}:"
            f"{part(self.deadline[0], d.deadline[0])},{part(self.deadline[1], d.deadline[1])}:"
            f"{part(self.lifespan[0], d.lifespan[0])},{part(self.lifespan[1], d.lifespan[1])}:"
            f"{part(self.liveliness, d.liveliness)},{part(self.lease[0], d.lease[0])},"
            f"{part(self.lease[1], d.lease[1])}"
        )

    @classmethod
    def decode(cls, text: str) -> QoS:
        d = cls()
        parts = text.split(":")
        if len(parts) != 6:
            raise WireError(f"QoS text {text!r} has {len(parts)} parts, not 6")
        history, deadline, lifespan, live = (p.split(",") for p in parts[2:])
        if len(history) != 2 or len(deadline) != 2 or len(lifespan) != 2 or len(live) != 3:
            raise WireError(f"QoS text {text!r} is malformed")

        def num(value: str, default: int) -> int:
            if value == "":
                return default
            if not value.isdigit():
                raise WireError(f"QoS text {text!r} holds {value!r}, not a number")
            return int(value)

        return cls(
            reliability=num(parts[0], d.reliability),
            durability=num(parts[1], d.durability),
            history=num(history[0], d.history),
            depth=num(history[1], d.depth),
            deadline=(num(deadline[0], d.deadline[0]), num(deadline[1], d.deadline[1])),
            lifespan=(num(lifespan[0], d.lifespan[0]), num(lifespan[1], d.lifespan[1])),
            liveliness=num(live[0], d.liveliness),
            lease=(num(live[1], d.lease[0]), num(live[2], d.lease[1])),
        )


# rclcpp's profiles: state at the loop's rate as sensor data, the rest as
# ROS 2's default.
SENSOR_DATA = QoS(reliability=BEST_EFFORT, depth=5)
DEFAULT = QoS(depth=10)


# -- liveliness tokens and GIDs -----------------------------------------------------------------------


@dataclass(frozen=True)
class Entity:
    """A node, publisher, subscription, service or client as its liveliness
    token describes it. Names are held unmangled ('/' for the root)."""

    domain: int
    session: str
    node_id: int
    entity_id: int
    kind: str
    namespace: str
    node: str
    enclave: str = "/"
    topic: str | None = None
    type_name: str | None = None      # DDS form
    type_hash: str | None = None
    qos: QoS | None = field(default=None)

    def keyexpr(self) -> str:
        parts = [ADMIN_SPACE, str(self.domain), self.session, str(self.node_id), str(self.entity_id), self.kind,
                 mangle(self.enclave), mangle(self.namespace), mangle(self.node)]
        if self.kind != NODE:
            if self.topic is None or self.type_name is None or self.type_hash is None or self.qos is None:
                raise WireError(f"a {self.kind} token needs a topic, a type, a type hash and a QoS")
            parts += [mangle(self.topic), mangle(self.type_name), mangle(self.type_hash), self.qos.encode()]
        return "/".join(parts)

    def gid(self) -> bytes:
        return gid(self.keyexpr())

    @classmethod
    def parse(cls, keyexpr: str) -> Entity:
        parts = keyexpr.split("/")
        if len(parts) < 9 or parts[0] != ADMIN_SPACE:
            raise WireError(f"{keyexpr!r} is not an rmw_zenoh liveliness token")
        if any(p == "" for p in parts):
            raise WireError(f"{keyexpr!r} has an empty part")
        kind = parts[5]
        if kind not in KINDS:
            raise WireError(f"{keyexpr!r} names no entity kind ({kind!r})")
        if not (parts[1].isdigit() and parts[3].isdigit() and parts[4].isdigit()):
            raise WireError(f"{keyexpr!r}: domain and ids must be numbers")
        common: dict[str, Any] = dict(
            domain=int(parts[1]), session=parts[2], node_id=int(parts[3]), entity_id=int(parts[4]), kind=kind,
            enclave=demangle(parts[6]), namespace=demangle(parts[7]), node=demangle(parts[8]),
        )
        if kind == NODE:
            if len(parts) != 9:
                raise WireError(f"{keyexpr!r}: a node token has 9 parts")
            return cls(**common)
        if len(parts) != 13:
            raise WireError(f"{keyexpr!r}: a {kind} token has 13 parts")
        return cls(**common, topic=demangle(parts[9]), type_name=demangle(parts[10]),
                   type_hash=demangle(parts[11]), qos=QoS.decode(parts[12]))


def gid(keyexpr: str) -> bytes:
    """rmw_zenoh's GID of the entity whose liveliness token is `keyexpr`."""
    import xxhash

    return xxhash.xxh3_128_intdigest(keyexpr.encode()).to_bytes(16, "little")


# -- the attachment -------------------------------------------------------------------------------------

GID_SIZE = 16
_ATTACHMENT = struct.Struct(f"<qqB{GID_SIZE}s")
ATTACHMENT_SIZE = _ATTACHMENT.size


@dataclass(frozen=True)
class Attachment:
    sequence: int
    timestamp_ns: int
    gid: bytes

    def encode(self) -> bytes:
        return _ATTACHMENT.pack(self.sequence, self.timestamp_ns, GID_SIZE, self.gid)

    @classmethod
    def decode(cls, data: bytes) -> Attachment:
        if len(data) != ATTACHMENT_SIZE:
            raise WireError(f"an attachment is {ATTACHMENT_SIZE} bytes, not {len(data)}")
        sequence, timestamp, size, source = _ATTACHMENT.unpack(data)
        if size != GID_SIZE:
            raise WireError(f"an attachment's GID is {GID_SIZE} bytes, not {size}")
        return cls(sequence, timestamp, source)


# -- sessions --------------------------------------------------------------------------------------------


def session_config(connect: str | None = None, listen: str | None = None) -> Any:
    """A Zenoh configuration: a client of the router at `connect` (rmw_zenoh's
    router by default), or a router itself listening on `listen`; never
    multicast scouting. Raises WireError for an endpoint Zenoh cannot read."""
    import zenoh

    if connect is not None and listen is not None:
        raise WireError("connect to a router or listen as one, not both")
    config = zenoh.Config()
    try:
        config.insert_json5("scouting/multicast/enabled", "false")
        # Shared memory is an optimisation between processes of one machine,
        # negotiated per link: without it the bridge also runs where there is
        # no /dev/shm (containers, private mounts).
        config.insert_json5("transport/shared_memory/enabled", "false")
        if listen is not None:
            config.insert_json5("mode", json.dumps("router"))
            config.insert_json5("listen/endpoints", json.dumps([listen]))
        else:
            config.insert_json5("mode", json.dumps("client"))
            config.insert_json5("connect/endpoints", json.dumps([connect or DEFAULT_ROUTER]))
    except zenoh.ZError:
        endpoint = listen if listen is not None else connect
        raise WireError(f"{endpoint!r} is not a Zenoh endpoint (protocol/address:port, e.g. tcp/localhost:7447)") from None
    return config


def open_session(connect: str | None = None, listen: str | None = None) -> Any:
    """A Zenoh session as `session_config` describes it. Raises ConnectionError
    with one line when no router answers or the endpoint cannot be listened on."""
    import zenoh

    config = session_config(connect, listen)
    try:
        return zenoh.open(config)
    except zenoh.ZError as error:
        # Zenoh's own words, without the place in its sources; the system's
        # where there is one ("Address already in use (os error 98)").
        reason = str(error).split(" at /", 1)[0].strip()
        system = re.search(r"[A-Z][^:\[\]]*\(os error \d+\)", reason)
        reason = system.group(0) if system else reason
        if listen is not None:
            raise ConnectionError(f"cannot listen on {listen}: {reason}") from None
        if reason.startswith("Unable to connect"):
            raise ConnectionError(
                f"no Zenoh router answers at {connect or DEFAULT_ROUTER}: start one (ros2 run rmw_zenoh_cpp rmw_zenohd, "
                "or zenohd), or let the bridge be the router with --listen"
            ) from None
        raise ConnectionError(f"cannot open a Zenoh session: {reason}") from None
