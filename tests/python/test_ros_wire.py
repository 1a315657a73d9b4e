"""rmw_zenoh's wire form, checked against the examples rmw_zenoh documents
(docs/design.md), against Zenoh's own serializer and rosbags' type store."""

import pytest
from rosbags.typesys import Stores, get_typestore
from zenoh.ext import Int64, UInt8, z_serialize

from korvo.ros import zenoh_wire as wire

STRING_HASH = "RIHS01_df668c740482bbd48fb39d76a70dfd4bd59db1288021743503259e948f6b1a18"
ADD_TWO_INTS_HASH = "RIHS01_e118de6bf5eeb66a2491b5bda11202e7b68f198d6f67922cf30364858239c81a"
STRING = "std_msgs::msg::dds_::String_"
ADD_TWO_INTS = "example_interfaces::srv::dds_::AddTwoInts_"

# rmw_zenoh's documented liveliness tokens, and what each says.
TOKENS = [
    (
        "@ros2_lv/2/aac3178e146ba6f1fc6e6a4085e77f21/0/0/NN/%/%/listener",
        wire.Entity(2, "aac3178e146ba6f1fc6e6a4085e77f21", 0, 0, wire.NODE, "/", "listener"),
    ),
    (
        f"@ros2_lv/2/aac3178e146ba6f1fc6e6a4085e77f21/0/10/MS/%/%/listener/%chatter/{STRING}/{STRING_HASH}/::,10:,:,:,,",
        wire.Entity(2, "aac3178e146ba6f1fc6e6a4085e77f21", 0, 10, wire.SUBSCRIPTION, "/", "listener",
                    topic="/chatter", type_name=STRING, type_hash=STRING_HASH, qos=wire.QoS(depth=10)),
    ),
    (
        f"@ros2_lv/2/8b20917502ee955ac4476e0266340d5c/0/10/MP/%/%/talker/%chatter/{STRING}/{STRING_HASH}/::,7:,:,:,,",
        wire.Entity(2, "8b20917502ee955ac4476e0266340d5c", 0, 10, wire.PUBLISHER, "/", "talker",
                    topic="/chatter", type_name=STRING, type_hash=STRING_HASH, qos=wire.QoS(depth=7)),
    ),
    (
        "@ros2_lv/2/f9980ee0495eaafb3e38f0d19e2eae12/0/10/SS/%/%/add_two_ints_server/%add_two_ints/"
        f"{ADD_TWO_INTS}/{ADD_TWO_INTS_HASH}/::,10:,:,:,,",
        wire.Entity(2, "f9980ee0495eaafb3e38f0d19e2eae12", 0, 10, wire.SERVICE, "/", "add_two_ints_server",
                    topic="/add_two_ints", type_name=ADD_TWO_INTS, type_hash=ADD_TWO_INTS_HASH,
                    qos=wire.QoS(depth=10)),
    ),
    (
        "@ros2_lv/2/e1dc8d1b45ae8717fce78689cc655685/0/10/SC/%/%/add_two_ints_client/%add_two_ints/"
        f"{ADD_TWO_INTS}/{ADD_TWO_INTS_HASH}/::,10:,:,:,,",
        wire.Entity(2, "e1dc8d1b45ae8717fce78689cc655685", 0, 10, wire.CLIENT, "/", "add_two_ints_client",
                    topic="/add_two_ints", type_name=ADD_TWO_INTS, type_hash=ADD_TWO_INTS_HASH,
                    qos=wire.QoS(depth=10)),
    ),
    # The same publisher in a namespace, best effort with a depth of 5 (a sensor's profile).
    (
        f"@ros2_lv/0/8b20917502ee955ac4476e0266340d5c/3/4/MP/%/%lab%arm/korvo/%lab%arm%chatter/{STRING}/{STRING_HASH}/2::,5:,:,:,,",
        wire.Entity(0, "8b20917502ee955ac4476e0266340d5c", 3, 4, wire.PUBLISHER, "/lab/arm", "korvo",
                    topic="/lab/arm/chatter", type_name=STRING, type_hash=STRING_HASH, qos=wire.SENSOR_DATA),
    ),
]


@pytest.mark.parametrize(("token", "entity"), TOKENS, ids=[t[1].kind + t[1].node for t in TOKENS])
def test_liveliness_tokens_as_documented(token, entity):
    assert entity.keyexpr() == token
    assert wire.Entity.parse(token) == entity


# rmw_zenoh's documented data key expressions.
@pytest.mark.parametrize(
    ("domain", "topic", "type_name", "type_hash", "keyexpr"),
    [
        (0, "/chatter", STRING, STRING_HASH, f"0/chatter/{STRING}/{STRING_HASH}"),
        (0, "/robot1/chatter", STRING, STRING_HASH, f"0/robot1/chatter/{STRING}/{STRING_HASH}"),
        (2, "/add_two_ints", ADD_TWO_INTS, ADD_TWO_INTS_HASH, f"2/add_two_ints/{ADD_TWO_INTS}/{ADD_TWO_INTS_HASH}"),
    ],
)
def test_topic_key_expressions_as_documented(domain, topic, type_name, type_hash, keyexpr):
    assert wire.topic_keyexpr(domain, topic, type_name, type_hash) == keyexpr
    assert wire.split_topic_keyexpr(keyexpr) == (domain, topic, type_name, type_hash)


@pytest.mark.parametrize(
    ("ros", "dds", "store", "rihs"),
    [
        ("std_msgs/msg/String", STRING, Stores.ROS2_JAZZY, STRING_HASH),
        ("std_msgs/msg/String", STRING, Stores.ROS2_KILTED, STRING_HASH),
        ("geometry_msgs/msg/WrenchStamped", "geometry_msgs::msg::dds_::WrenchStamped_", Stores.ROS2_JAZZY, None),
    ],
)
def test_type_names_and_hashes_from_the_type_store(ros, dds, store, rihs):
    assert wire.dds_type(ros) == dds
    assert wire.ros_type(dds) == ros
    digest = get_typestore(store).hash_rihs01(ros)
    assert digest.startswith("RIHS01_") and len(digest) == 71
    if rihs is not None:
        assert digest == rihs


def test_the_attachment_is_what_zenohs_serializer_writes():
    gid = bytes(range(200, 216))
    attachment = wire.Attachment(sequence=123456789012, timestamp_ns=1_765_000_000_123_456_789, gid=gid)
    expected = z_serialize((Int64(attachment.sequence), Int64(attachment.timestamp_ns), [UInt8(b) for b in gid]))
    assert attachment.encode() == expected.to_bytes()
    assert wire.Attachment.decode(attachment.encode()) == attachment


@pytest.mark.parametrize(
    "data",
    [b"", b"\x00" * 32, b"\x00" * 34, b"\x00" * 16 + b"\x18" + b"\x00" * 16],
    ids=["empty", "short", "long", "gid-length-24"],
)
def test_malformed_attachments_are_refused(data):
    with pytest.raises(wire.WireError):
        wire.Attachment.decode(data)


def test_gid_is_the_xxh3_hash_of_the_token_low_half_first():
    # XXH3-128 of the empty input, from xxHash's own test vectors:
    # 99aa06d3014798d86001c324468d497f (high 64 bits first).
    assert wire.gid("") == bytes.fromhex("7f498d4624c30160d8984701d306aa99")
    token = TOKENS[2][0]
    assert wire.Entity.parse(token).gid() == wire.gid(token)
    assert wire.gid(token) != wire.gid(TOKENS[1][0])


@pytest.mark.parametrize(
    ("given", "absolute"),
    [("", "/"), ("/", "/"), ("arm", "/arm"), ("/lab/arm_2", "/lab/arm_2"), ("_x", "/_x")],
)
def test_valid_namespaces(given, absolute):
    assert wire.namespace(given) == absolute


@pytest.mark.parametrize(
    ("given", "why"),
    [("arm/", "ends with"), ("lab//arm", "repeats"), ("2arm", "not starting with a digit"),
     ("arm-1", "letters, digits"), ("arm 1", "letters, digits"), ("a/*", "letters, digits"), ("ä", "letters")],
)
def test_invalid_namespaces_say_why(given, why):
    with pytest.raises(wire.WireError, match="not a valid ROS 2 name") as error:
        wire.namespace(given)
    assert why in str(error.value)


@pytest.mark.parametrize(
    "token",
    [
        "@ros2_lv/0/abc/0/0/NN/%/%",                                    # too short
        "@ros2_lv/0/abc/0/0/XX/%/%/n",                                  # no such kind
        "@other/0/abc/0/0/NN/%/%/n",                                    # not the admin space
        f"@ros2_lv/0/abc/0/1/MP/%/%/n/%t/{STRING}/{STRING_HASH}",       # no QoS
        f"@ros2_lv/0/abc/0/1/MP/%/%/n/%t/{STRING}/{STRING_HASH}/::,x:,:,:,,",  # QoS not numbers
        f"@ros2_lv/0/abc/0/1/MP/%/%/n/%t/{STRING}/{STRING_HASH}/::,:,",        # QoS parts missing
    ],
)
def test_malformed_tokens_are_refused(token):
    with pytest.raises(wire.WireError):
        wire.Entity.parse(token)


@pytest.mark.parametrize(
    ("connect", "listen", "error"),
    [("bogus", None, "not a Zenoh endpoint"), (None, "localhost:7447", "not a Zenoh endpoint"),
     ("tcp/localhost:7447", "tcp/localhost:7447", "not both")],
)
def test_bad_endpoints_are_one_line_errors(connect, listen, error):
    with pytest.raises(wire.WireError, match=error):
        wire.session_config(connect, listen)


def test_no_router_is_one_line(free_port):
    with pytest.raises(ConnectionError, match=f"no Zenoh router answers at tcp/127.0.0.1:{free_port}"):
        wire.open_session(connect=f"tcp/127.0.0.1:{free_port}")


def test_a_port_in_use_is_one_line(free_port):
    router = wire.open_session(listen=f"tcp/127.0.0.1:{free_port}")
    try:
        with pytest.raises(ConnectionError, match=f"^cannot listen on tcp/127.0.0.1:{free_port}: Address already in use"):
            wire.open_session(listen=f"tcp/127.0.0.1:{free_port}")
    finally:
        router.close()
