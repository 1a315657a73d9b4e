"""The Arvena binding over a scripted pty: exchanges, conversions, warnings,
raw access, failure values and the interpreter lock."""

import math
import os
import resource
import struct
import time
import uuid
import warnings

import numpy as np
import pytest

import KorvoHardwareAPI as korvo
from rig import SHORT, Step, error_lines, floats, unpack_floats

STATE = floats(0.5, -1.25, 2.0, 10.0, -20.0, 30.5)
STATE_PAIR = ([0.5, -1.25, 2.0], [10.0, -20.0, 30.5])
ZERO_PAIR = ([0.0, 0.0, 0.0], [0.0, 0.0, 0.0])
WAKEUP_REPLY = b"\x0b\x34\x12\x05\x02\x07" + bytes(range(16))
COUNTING_UUID = uuid.UUID(hex="000102030405060708090a0b0c0d0e0f")


# name, arguments, request written, reply given, Python result
EXCHANGES = [
    ("end_effector_force", ([1.0, 2.0, 3.0],), b"\x2a" + floats(1, 2, 3), b"\x2b" + STATE, STATE_PAIR),
    ("end_effector_position", ([-0.5, 0, 0.25],), b"\x2c" + floats(-0.5, 0, 0.25), b"\x2b" + STATE, STATE_PAIR),
    ("joint_torques", ([0.1, 0.2, 0.3],), b"\x1a" + floats(0.1, 0.2, 0.3), b"\x1b" + STATE, STATE_PAIR),
    ("joint_angles", ([10, -30, 30],), b"\x1c" + floats(10, -30, 30), b"\x1b" + STATE, STATE_PAIR),
    ("get_end_effector_position", (), b"\x2a" + floats(0, 0, 0), b"\x2b" + STATE, STATE_PAIR),
    ("get_end_effector_position", (True,), b"\x2a" + floats(0, 0, 0), b"\x2b" + STATE, STATE_PAIR),
    ("device_wakeup", (), b"\x0a", WAKEUP_REPLY, (0x1234, 5, 2, 7, list(range(16)))),
    (
        "device_wakeup_dict",
        (),
        b"\x0a",
        WAKEUP_REPLY,
        {
            "device_id": 0x1234,
            "device_model_number": 5,
            "hardware_version": 2,
            "firmware_version": 7,
            "device_id_ext": COUNTING_UUID,
        },
    ),
    ("get_device_id", (), b"\x0d\xd1", b"\x0d\xd1\x10" + bytes(range(16)), COUNTING_UUID),
    ("get_firmware_version", (), b"\x0d\xd2", b"\x0d\xd2\x10" + bytes(range(16)), COUNTING_UUID),
    ("get_motor_currents", (), b"\xab", b"\xab" + floats(1, 2, 3), [1.0, 2.0, 3.0]),
    ("get_device_orientation", (), b"\x0c", b"\x0c" + floats(0, 0.5, -0.25, 0.75), [0.0, 0.5, -0.25, 0.75]),
    ("get_power_status", (), b"\xac", b"\xac\x02", True),
    ("get_temperature", (), b"\xaa", b"\xaa" + floats(36.5), 36.5),
    ("ReceiveState", ([7.0] * 4, [8.0] * 3), b"", b"\x2b" + STATE, ([0.5, -1.25, 2.0, 7.0], STATE_PAIR[1])),
    ("ReceiveJointState", (), b"", b"\x1b" + STATE, STATE_PAIR),
    ("ReceiveCurrent", ([9.0] * 5,), b"", b"\xab" + floats(1, 2, 3), [1.0, 2.0, 3.0, 9.0, 9.0]),
]


@pytest.mark.parametrize("name, args, request_bytes, reply, result", EXCHANGES, ids=[c[0] for c in EXCHANGES])
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_exchange(peer, arm, capfd, name, args, request_bytes, reply, result):
    # The reply waits in the port before the call, which suits the methods
    # that hold the interpreter lock as well as those that release it.
    peer.send(reply)
    peer.wait_pending(len(reply))
    assert getattr(arm, name)(*args) == result
    assert peer.drain() == request_bytes
    assert peer.pending_for_library() == 0
    assert error_lines(capfd) == []


FAILURES = [
    ("end_effector_force", ([1, 1, 1],), ZERO_PAIR),
    ("joint_angles", ([1, 1, 1],), ZERO_PAIR),
    ("get_end_effector_position", (True,), ZERO_PAIR),
    ("device_wakeup", (), (0, 0, 0, 0, [0] * 16)),
    (
        "device_wakeup_dict",
        (),
        {
            "device_id": 0,
            "device_model_number": 0,
            "hardware_version": 0,
            "firmware_version": 0,
            "device_id_ext": uuid.UUID(int=0),
        },
    ),
    ("get_device_id", (), uuid.UUID(int=0)),
    ("get_firmware_version", (), uuid.UUID(int=0)),
    ("get_motor_currents", (), [0.0, 0.0, 0.0]),
    ("get_device_orientation", (), [0.0] * 4),
    ("get_power_status", (), False),
    ("get_temperature", (), 0.0),
    ("ReceiveState", ([1, 2, 3], [4, 5, 6]), ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0])),
    ("ReceiveCurrent", ([9] * 5,), [9.0] * 5),
]


@pytest.mark.parametrize("name, args, result", FAILURES, ids=[c[0] for c in FAILURES])
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_silent_arm_gives_the_failure_values(arm, capfd, name, args, result):
    assert getattr(arm, name)(*args) == result
    lines = error_lines(capfd)
    assert lines and {line[0] for line in lines} == {"Library/src/Device"}
    assert lines[0][1] == 78


def test_wrong_reply_code_is_rejected_and_its_payload_left(peer, arm, capfd):
    peer.deliver(b"\x1b" + STATE)
    assert arm.end_effector_position([1, 1, 1]) == ZERO_PAIR
    assert [line[1] for line in error_lines(capfd)] == [153]
    assert peer.pending_for_library() == 24


def test_notification_before_the_reply_is_skipped(peer, arm):
    peer.deliver(b"\xba\x00\x03abc\xbb\x00\x00\x2b" + STATE)
    assert arm.end_effector_force([0, 0, 0]) == STATE_PAIR


def test_reply_that_comes_while_the_arm_waits(peer, arm):
    arm.set_read_timeout(2.0)
    peer.script([Step(b"\x2a" + floats(1, 2, 3), b"\x2b" + STATE, delay=0.05)])
    assert arm.end_effector_force([1, 2, 3]) == STATE_PAIR
    assert peer.join() == [b"\x2a" + floats(1, 2, 3)]


def test_identity_query_reads_two_codes_and_checks_the_length(peer, arm, capfd):
    peer.deliver(b"\x0d\xd1\x0f" + bytes(16))
    assert arm.get_device_id() == uuid.UUID(int=0)
    assert peer.pending_for_library() == 0  # all 17 payload bytes consumed
    peer.deliver(b"\x0d\xd2\x10" + bytes(16))
    assert arm.get_device_id() == uuid.UUID(int=0)
    assert peer.pending_for_library() == 17
    assert [line[1] for line in error_lines(capfd)] == [153]


# -- request vectors ---------------------------------------------------------------------

VECTOR_METHODS = [
    ("end_effector_force", b"\x2a"),
    ("end_effector_position", b"\x2c"),
    ("joint_torques", b"\x1a"),
    ("joint_angles", b"\x1c"),
    ("SendForce", b"\x2a"),
    ("SendPosition", b"\x2c"),
    ("SendJointTorques", b"\x1a"),
    ("SendAngle", b"\x1c"),
]


@pytest.mark.parametrize("name, code", VECTOR_METHODS, ids=[m[0] for m in VECTOR_METHODS])
@pytest.mark.parametrize(
    "vector", [[1.0, 2.0, 3.0, 4.0, 5.0], (1, 2, 3), np.array([1.0, 2.0, 3.0, 4.0])], ids=["list5", "tuple", "numpy"]
)
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_only_the_first_three_elements_are_sent(peer, arm, name, code, vector):
    before = list(vector)
    getattr(arm, name)(vector)
    assert peer.drain() == code + floats(1, 2, 3)
    assert list(vector) == before


SHORT_VECTORS = [
    ("end_effector_force", ([1.0, 2.0],)),
    ("joint_angles", ([],)),
    ("adjust_angles", ([0.0],)),
    ("SendForce", ([1.0, 2.0],)),
    ("SendAngle", ([1.0],)),
    ("ReceiveState", ([1.0, 2.0], [1.0, 2.0, 3.0])),
    ("ReceiveJointState", ([1.0, 2.0, 3.0], [1.0])),
    ("ReceiveCurrent", ([1.0, 2.0],)),
]


@pytest.mark.parametrize("name, args", SHORT_VECTORS, ids=[m[0] for m in SHORT_VECTORS])
def test_vector_of_fewer_than_three_is_refused_before_anything_is_written(peer, arm, name, args):
    peer.deliver(b"\x2b" + STATE)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(ValueError, match="at least 3 values"):
            getattr(arm, name)(*args)
    assert peer.drain() == b""
    assert peer.pending_for_library() == 25


@pytest.mark.parametrize("vector", ["abc", b"abc", 5, None, [1.0, "x", 2.0]])
def test_non_numeric_vector_is_a_type_error(arm, vector):
    with pytest.raises(TypeError, match="Invoked with"):
        arm.end_effector_force(vector)


def test_request_vector_cannot_be_passed_by_keyword(peer, arm):
    with pytest.raises(TypeError):
        arm.end_effector_force(force=[1, 2, 3])
    peer.deliver(b"\x2b" + STATE)
    assert arm.end_effector_force([1, 2, 3]) == STATE_PAIR


@pytest.mark.parametrize("onboard, code", [(None, b"\x1a"), (np.bool_(True), b"\x2a"), (0, b"\x1a"), (1, b"\x2a")])
def test_bool_conversion(peer, arm, capfd, onboard, code):
    arm.get_end_effector_position(onboard)
    assert peer.drain() == code + floats(0, 0, 0)


def test_float_parameters_take_ints(peer, arm):
    with pytest.warns(DeprecationWarning):
        arm.SendForce(1, 2, 3)  # second overload; the ints arrive as floats
    assert peer.drain() == b"\x2a" + floats(1, 2, 3)


# -- deprecations -----------------------------------------------------------------------------

DEPRECATED = [
    ("SendDeviceWakeup", (), "SendDeviceWakeup is deprecated, use device_wakeup instead", b"\x0a"),
    ("SendForce", ([1.0, 0.0, 0.0],), "SendForce is deprecated, use end_effector_force instead", b"\x2a" + floats(1, 0, 0)),
    ("SendForce", (1.0, 0.0, 0.0), "SendForce is deprecated, use end_effector_force instead", b"\x2a" + floats(1, 0, 0)),
    ("SendPosition", ([1, 2, 3],), "SendPosition is deprecated, use end_effector_position instead", b"\x2c" + floats(1, 2, 3)),
    ("SendJointTorques", ([1, 2, 3],), "SendJointTorques is deprecated, use joint_torques instead", b"\x1a" + floats(1, 2, 3)),
    ("ReceiveState", (), "ReceiveState is deprecated, use end_effector instead", b""),
    ("ReceiveJointState", (), "ReceiveJointState is deprecated, use joint_torques instead", b""),
]


@pytest.mark.parametrize("name, args, text, written", DEPRECATED, ids=[f"{d[0]}{len(d[1])}" for d in DEPRECATED])
def test_deprecated_entry_points_warn(peer, arm, capfd, name, args, text, written):
    with pytest.warns(DeprecationWarning) as record:
        getattr(arm, name)(*args)
    assert [str(w.message) for w in record] == [text]
    assert record[0].filename == __file__  # stack level 1: the caller's line
    assert peer.drain() == written


@pytest.mark.parametrize(
    "name, args, written",
    [("SendForce", ([1.0, 0.0, 0.0],), b"\x2a" + floats(1, 0, 0)), ("SendDeviceWakeup", (), b"\x0a")],
)
def test_warning_turned_into_an_error_still_leaves_the_exchange_done(peer, arm, name, args, written):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning):
            getattr(arm, name)(*args)
    assert peer.drain() == written


def test_receive_state_under_an_error_filter_still_reads_the_reply(peer, arm):
    peer.deliver(b"\x2b" + STATE)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning):
            arm.ReceiveState()
    assert peer.pending_for_library() == 0


@pytest.mark.parametrize(
    "name, args, reply",
    [
        ("SendAngle", ([1, 2, 3],), b""),
        ("RequestCurrent", (), b""),
        ("ReceiveCurrent", (), b"\xab" + floats(1, 2, 3)),
        ("ReceiveDeviceInfo", (), WAKEUP_REPLY),
    ],
)
def test_older_entry_points_that_do_not_warn(peer, arm, name, args, reply):
    peer.deliver(reply)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        getattr(arm, name)(*args)


def test_receive_device_info_returns_a_module_uuid(peer, arm):
    peer.deliver(WAKEUP_REPLY)
    device_id, model, hardware, firmware, ext = arm.ReceiveDeviceInfo()
    assert (device_id, model, hardware, firmware) == (0x1234, 5, 2, 7)
    assert isinstance(ext, korvo.UUID)
    assert ext.bytes() == list(range(16))


def test_send_angle_reads_nothing(peer, arm):
    peer.deliver(b"\x1b" + STATE)
    arm.SendAngle([10, 20, 30])
    assert peer.drain() == b"\x1c" + floats(10, 20, 30)
    assert peer.pending_for_library() == 25


# -- raw access -----------------------------------------------------------------------------------


def test_send_raw_writes_bytes_unframed(peer, arm):
    arm.send_raw(b"\x00\xff\x2a raw")
    assert peer.drain() == b"\x00\xff\x2a raw"


def test_send_raw_failures(peer, arm, capfd):
    with pytest.raises(RuntimeError, match="^send_raw: underlying stream write failed$"):
        arm.send_raw(b"")
    with pytest.raises(TypeError):
        arm.send_raw(bytearray(b"abc"))
    with pytest.raises(TypeError):
        arm.send_raw("abc")
    assert peer.drain() == b""
    broken = korvo.Arvena(korvo.SerialStream("/nonexistent/korvo-port"))
    with pytest.raises(RuntimeError, match="^send_raw: underlying stream write failed$"):
        broken.send_raw(b"abc")
    assert [line[1] for line in error_lines(capfd)] == [39, 18, 53]


def test_read_raw(peer, arm):
    peer.send(b"\x01\x02\x03\x04\x05")
    peer.wait_pending(5)
    assert arm.read_raw(3) == b"\x01\x02\x03"
    start = time.monotonic()
    assert arm.read_raw(10, 0.1) == b"\x04\x05"
    assert time.monotonic() - start >= 0.1
    assert arm.read_raw(4, 0.05) == b""
    assert arm.read_raw(0) == b""


@pytest.mark.skipif(
    bool(os.environ.get("KORVO_SANITIZED")), reason="AddressSanitizer's allocator maps shadow memory for every allocation"
)
def test_read_raw_with_a_huge_count_costs_no_memory(peer, arm):
    peer.send(b"\x01\x02")
    peer.wait_pending(2)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # KiB
    assert arm.read_raw(2**32 - 1, 0.01) == b"\x01\x02"
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before < 64 * 1024


def test_read_raw_without_limit_waits_for_all_bytes(peer, arm):
    peer.send_after(0.05, b"late")
    assert arm.read_raw(4, 0.0) == b"late"


def test_flush_input_discards_what_is_waiting(peer, arm):
    peer.send(bytes(3000))
    peer.wait_pending(3000)
    arm.flush_input()
    assert peer.pending_for_library() == 0


def test_set_read_timeout_takes_effect_from_the_next_wait(arm, capfd):
    arm.set_read_timeout(0.15)
    start = time.monotonic()
    arm.get_temperature()
    assert time.monotonic() - start >= 0.3  # header wait, then the resynchronisation wait


# -- construction ------------------------------------------------------------------------------------


def test_constructors(peer, stream, capfd):
    for arm in (korvo.Arvena(stream), korvo.Arvena(stream, 5.0), korvo.Arvena(stream=stream)):
        start = time.monotonic()
        peer.send_after(0.2, b"\x2b" + STATE)
        assert arm.end_effector_force() == STATE_PAIR  # a 5 s limit outlasts the 0.2 s delay
        assert time.monotonic() - start < 4
        peer.join()
    with pytest.raises(TypeError):
        korvo.Arvena(stream, "fast")
    assert error_lines(capfd) == []


def test_none_as_stream_is_refused(peer):
    with pytest.raises(TypeError, match="SerialStream"):
        korvo.Arvena(None)
    with pytest.raises(TypeError, match="SerialStream"):
        korvo.Arvena(None, 1.0)


def test_arm_keeps_its_stream_alive(peer):
    arm = korvo.Arvena(korvo.SerialStream(peer.path), 0.5)
    import gc

    gc.collect()
    peer.deliver(b"\xac\x01")
    assert arm.get_power_status() is True


def test_new_attributes_are_refused(arm):
    with pytest.raises(AttributeError):
        arm.colour = "red"


def test_device_and_uuid_classes(capfd):
    with pytest.raises(TypeError, match=r"^KorvoHardwareAPI\.Device: No constructor defined!$"):
        korvo.Device()
    first, second = korvo.UUID(), korvo.UUID()
    assert first.bytes() == [0] * 16
    assert first != second  # no comparison of its own: identity
    assert not issubclass(korvo.Arvena, korvo.Device)


# -- kinematics through the binding ---------------------------------------------------------------------


def answer_joint_state(peer, *angles):
    peer.deliver(b"\x1b" + floats(*angles, 0, 0, 0))


def test_host_side_position(peer, arm):
    answer_joint_state(peer, 45, -20, 40)
    position, velocity = arm.get_end_effector_position(False)
    assert position == pytest.approx([-0.0207871, 0.0138649, 0.2141895], abs=1e-6)
    assert velocity == [0.0, 0.0, 0.0]
    assert peer.drain() == b"\x1a" + floats(0, 0, 0)


def test_calibration_round_trip(peer, stream):
    arm = korvo.Arvena(stream, SHORT)
    try:
        answer_joint_state(peer, 10, 20, 30)
        arm.adjust_angles([0, 0, 0])
        answer_joint_state(peer, 10, 20, 30)
        position, _ = arm.get_end_effector_position(False)
        assert position == pytest.approx([0.0000021, 0.0245, -0.1185477], abs=1e-6)
    finally:
        answer_joint_state(peer, 0, 0, 0)
        arm.adjust_angles([0, 0, 0])


def test_model_is_shared_and_reset_by_every_construction(peer, stream):
    arm = korvo.Arvena(stream, SHORT)
    arm.adjust_gear_ratios(2.0, 0.5, 1.0)
    answer_joint_state(peer, 22.5, -40, 40)
    position, _ = arm.get_end_effector_position(False)
    assert position == pytest.approx([-0.0207871, 0.0138649, 0.2141895], abs=1e-6)

    arm.adjust_lengths(0.14, 0.14, 0.01, 0.01, 0.0765)
    answer_joint_state(peer, 0, -30, 30)
    assert all(np.isnan(arm.get_end_effector_position(False)[0]))

    korvo.Arvena(stream)  # resets lengths and gear ratios for every arm
    answer_joint_state(peer, 45, -20, 40)
    assert arm.get_end_effector_position(False)[0] == pytest.approx([-0.0207871, 0.0138649, 0.2141895], abs=1e-6)


# The computation again, written out step by step from its description: the
# values the model keeps as floats are rounded where the steps say (float32
# below), everything else is a Python float (double). pi comes from its bits.
# The result must be the same to the last bit: another pi moves a position by
# 3 to 13 float steps, sines taken in single precision by up to 2.
FIRMWARE_PI = struct.unpack("<f", struct.pack("<I", 0x40490FD8))[0]
BASE_Q = struct.unpack("<f", struct.pack("<I", 0x3F350481))[0]


def f32(x: float) -> float:
    return float(np.float32(x))


def stepwise_offsets(raw, angles, gear):
    r, g, a = [f32(v) for v in raw], [f32(v) for v in gear], [f32(v) for v in angles]
    return [
        f32((r[0] * g[0] - a[0]) * FIRMWARE_PI / 180),
        f32((a[1] - r[1] * g[1]) * FIRMWARE_PI / 180),
        f32((a[2] - r[2] * g[2]) * FIRMWARE_PI / 180),
    ]


def stepwise_position(raw, gear=(1, 1, 1), offset=(0, 0, 0), lengths=(0.14, 0.14, 0.165, 0.165, 0.0765)):
    r, g = [f32(v) for v in raw], [f32(v) for v in gear]
    L1, M1, L2, M2, E = [f32(v) for v in lengths]
    E = abs(E)
    t0 = f32((r[0] * g[0] + 90) * FIRMWARE_PI / 180 - offset[0])
    t1 = f32((-r[1] * g[1] - 180) * FIRMWARE_PI / 180 - offset[1])
    t2 = f32((-r[2] * g[2] - 180) * FIRMWARE_PI / 180 - offset[2])
    c1, s1, c2, s2 = math.cos(t1), math.sin(t1), math.cos(t2), math.sin(t2)
    x, y = L1 * c1 - M1 * c2, L1 * s1 - M1 * s2
    psi, C = math.atan2(y, x), f32(math.sqrt(x * x + y * y))
    sigma = t1 if C < 1e-6 else psi + FIRMWARE_PI - math.acos((L2 * L2 + C * C - M2 * M2) / (2 * C * L2))
    u, v = f32(L1 * c1 + L2 * math.cos(sigma)), f32(L1 * s1 + L2 * math.sin(sigma))
    R = -0.052 + E
    X = f32(R * math.cos(t0) + v * math.sin(t0))
    Y = f32(R * math.sin(t0) - v * math.cos(t0))
    Z = f32(-(u + 0.18645))
    qx, qy, qz, qw = 0.0, BASE_Q, 0.0, BASE_Q
    return [
        f32((1 - 2 * (qy * qy + qz * qz)) * Z + 2 * (qx * qy - qw * qz) * Y + 2 * (qx * qz + qw * qy) * X),
        f32(2 * (qx * qy + qw * qz) * Z + (1 - 2 * (qx * qx + qz * qz)) * Y + 2 * (qy * qz - qw * qx) * X),
        f32(2 * (qx * qz - qw * qy) * Z + 2 * (qy * qz + qw * qx) * Y + (1 - 2 * (qx * qx + qy * qy)) * X),
    ]


DEFAULT_LENGTHS = (0.14, 0.14, 0.165, 0.165, 0.0765)


@pytest.mark.parametrize(
    "raw, gear, lengths, calibration",
    [
        ((0, 0, 0), (1, 1, 1), DEFAULT_LENGTHS, None),
        ((0, -30, 30), (1, 1, 1), DEFAULT_LENGTHS, None),
        ((45, -20, 40), (1, 1, 1), DEFAULT_LENGTHS, None),
        ((20, -5, 70), (1, 1, 1), DEFAULT_LENGTHS, None),
        ((-60, -60, 80), (1, 1, 1), DEFAULT_LENGTHS, None),
        ((22.5, -40, 32), (2, 0.5, 1.25), DEFAULT_LENGTHS, None),
        ((-30, -20, 60), (1, 1, 1), (0.15, 0.13, 0.17, 0.16, -0.09), None),
        ((15, -25, 50), (1, 1, 1), DEFAULT_LENGTHS, ((10, 20, 30), (4, -12.5, 33))),
        ((10, 20, 70), (1.5, 1, 0.75), DEFAULT_LENGTHS, ((-5, 0, 40), (0, 0, 0))),
    ],
    ids=["folded", "symmetric", "turned", "reaching", "turned-back", "geared", "other-lengths", "calibrated",
         "geared-calibrated"],
)
def test_host_side_position_follows_the_steps(peer, stream, arm, raw, gear, lengths, calibration):
    offset = (0, 0, 0)
    try:
        arm.adjust_lengths(*lengths)
        arm.adjust_gear_ratios(*gear)
        if calibration is not None:
            reading, angles = calibration
            answer_joint_state(peer, *reading)
            arm.adjust_angles(list(angles))
            offset = stepwise_offsets(reading, angles, gear)
        answer_joint_state(peer, *raw)
        position, velocity = arm.get_end_effector_position(False)
    finally:
        korvo.Arvena(stream)  # lengths and gear ratios back to their defaults
        answer_joint_state(peer, 0, 0, 0)
        arm.adjust_angles([0, 0, 0])  # offsets back to zero
    want = stepwise_position(raw, gear, offset, lengths)
    assert position == want
    assert velocity == [0.0, 0.0, 0.0]


def test_negative_extension_is_stored_as_its_magnitude(peer, arm):
    arm.adjust_lengths(extension=-0.0765)
    answer_joint_state(peer, 0, -30, 30)
    assert arm.get_end_effector_position(False)[0] == pytest.approx([-0.0000042, 0.0245, 0.2146179], abs=1e-6)
    arm.deactivate_orientation_sensor()
    assert peer.drain() == b"\x1a" + floats(0, 0, 0)


def test_decoded_floats_are_the_wire_values(peer, arm):
    # Values that need all 32 bits: the result is the float32 widened.
    values = [1 / 3, -2e-38, 3.4e38, 1e-45, -0.0, 123456.789]
    peer.deliver(b"\x2b" + floats(*values))
    position, velocity = arm.end_effector_force([0, 0, 0])
    assert position + velocity == unpack_floats(floats(*values))
