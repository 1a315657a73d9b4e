"""Handle over a pty, the test playing the handle: registration, command
bytes, receive and dispatch into Python subclasses, and status frames.

Handle's read time limit is fixed at 5 s, so every test that receives puts
the reply on the line first (or sends it from the peer's thread while the
call waits with the interpreter lock released)."""

import gc
import struct
import time
import warnings
import weakref

import pytest

import KorvoHardwareAPI as korvo
from rig import error_lines, floats, recorder_class

PURE_VIRTUAL = 'Tried to call pure virtual function "API::Devices::Handle::OnReceiveHandleStatusMessage"'
WAKEUP = b"\x0a"


# -- the handle's side of the wire ------------------------------------------------------


def info_reply(tool, device_id, model, hardware, firmware):
    return bytes([0xD0, tool]) + struct.pack("<H", device_id) + bytes([model, hardware, firmware])


def status_message(device_id, error_flag, hall, quaternion, user=b""):
    return (
        bytes([0xDA])
        + struct.pack("<HBB", device_id, error_flag, hall)
        + floats(*quaternion)
        + bytes([len(user)])
        + bytes(user)
    )


def error_response(device_id, code):
    return bytes([0xDF]) + struct.pack("<HB", device_id, code)


def status_frame(body: bytes, checksum_delta: int = 0) -> bytes:
    """0xDA, the body and its checksum with 0xC0 and 0xDB escaped, 0xC0."""
    body = body + bytes([(0xDA + sum(body) + checksum_delta) & 0xFF])
    stuffed = body.replace(b"\xdb", b"\xdb\xdd").replace(b"\xc0", b"\xdb\xdc")
    return b"\xda" + stuffed + b"\xc0"


def frame_body(device_id, byte3, quaternion_raw, battery, error_flag=0, counter=(0xC0, 0xDB)):
    return (
        bytes(counter)
        + bytes([error_flag, byte3, device_id, 0, 0, 0])
        + struct.pack("<4H", *quaternion_raw)
        + bytes([battery])
    )


# -- fixtures ---------------------------------------------------------------------------------


Recorder = recorder_class()


@pytest.fixture
def handle(stream):
    return korvo.Handle(stream)


@pytest.fixture
def recorder(stream):
    return Recorder(stream)


# -- registration ---------------------------------------------------------------------------------

SIGNATURES = {
    "__init__": "__init__(self: KorvoHardwareAPI.Handle, arg0: KorvoHardwareAPI.SerialStream) -> None\n",
    "SendDeviceWakeup": "SendDeviceWakeup(self: KorvoHardwareAPI.Handle) -> None\n",
    "SendHandleState": (
        "SendHandleState(self: KorvoHardwareAPI.Handle, device_id: int = 0, data_length: int = 0, "
        "user_data: int = None) -> None\n\nsend handle state\n"
    ),
    "RequestStatus": "RequestStatus(self: KorvoHardwareAPI.Handle) -> None\n\nrequest handle status\n",
    "OnReceiveHandleInfo": (
        "OnReceiveHandleInfo(self: KorvoHardwareAPI.Handle, tool_data_remaining: int, device_id: int, "
        "device_model_number: int, hardware_version: int, firmware_version: int) -> None\n\nOnReceiveHandleInfo\n"
    ),
    "OnReceiveHandleStatusMessage": (
        "OnReceiveHandleStatusMessage(self: KorvoHardwareAPI.Handle, device_id: int, quaternion: float, "
        "error_flag: int, hall_effect_sensor_level: int, user_data_length: int, user_data: int) -> None\n\n"
        "OnReceiveHandleStatusMessage\n"
    ),
    "OnReceiveHandleErrorResponse": (
        "OnReceiveHandleErrorResponse(self: KorvoHardwareAPI.Handle, device_id: int, error_code: int) -> None\n\n"
        "OnReceiveHandleErrorResponse\n"
    ),
    "Receive": (
        "Receive(*args, **kwargs)\nOverloaded function.\n\n"
        "1. Receive(self: KorvoHardwareAPI.Handle) -> int\n\nReceive data from the handle\n\n"
        "2. Receive(self: KorvoHardwareAPI.Handle, obsolete: int) -> int\n\n"
        "[DEPRECATED] Receive current and return current\n"
    ),
    "GetStylarStatus": (
        "GetStylarStatus(self: KorvoHardwareAPI.Handle) -> dict\n\nGet the most recent Stylar informations\n"
    ),
}


@pytest.mark.parametrize("member", list(SIGNATURES))
def test_rendered_signature_and_docstring(member):
    assert getattr(korvo.Handle, member).__doc__ == SIGNATURES[member]


def test_class_registration():
    assert korvo.Handle.__doc__ == "The stylar handle class"
    assert korvo.Handle.__module__ == "KorvoHardwareAPI"
    # Not a Python subclass of Device, although the library class is one.
    assert not issubclass(korvo.Handle, korvo.Device)
    methods = [name for name in vars(korvo.Handle) if not name.startswith("_")]
    assert methods == [name for name in SIGNATURES if not name.startswith("_")]


def test_no_new_attributes_on_a_plain_handle(handle, recorder):
    with pytest.raises(AttributeError):
        handle.colour = "red"
    recorder.colour = "red"  # subclasses have their own dict
    assert recorder.colour == "red"


@pytest.mark.parametrize("make", [korvo.Handle, Recorder], ids=["Handle", "subclass"])
def test_none_is_not_a_stream(make):
    with pytest.raises(TypeError, match="^Handle needs a SerialStream, not None$"):
        make(None)


def test_handle_keeps_its_stream_alive(peer):
    stream = korvo.SerialStream(peer.path)
    alive = weakref.ref(stream)
    handle = korvo.Handle(stream)
    del stream
    gc.collect()
    assert alive() is not None
    handle.SendDeviceWakeup()
    assert peer.read(1) == WAKEUP
    del handle
    gc.collect()
    assert alive() is None


def test_subclass_must_run_the_base_constructor(stream):
    class Forgetful(korvo.Handle):
        def __init__(self, stream):
            pass

    message = r"^KorvoHardwareAPI.Handle.__init__\(\) must be called when overriding __init__$"
    with pytest.raises(TypeError, match=message):
        Forgetful(stream)


# -- commands -------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "send, wire",
    [
        (lambda h: h.SendDeviceWakeup(), b"\x0a"),
        (lambda h: h.RequestStatus(), b"\xda"),
        (lambda h: h.SendHandleState(0x1234, 1, 0xAB), b"\xdb\x34\x12\x01\xab"),
        (lambda h: h.SendHandleState(), b"\xdb\x00\x00\x00"),
        (lambda h: h.SendHandleState(0x0042), b"\xdb\x42\x00\x00"),
        (lambda h: h.SendHandleState(device_id=0xFFFF, data_length=0, user_data=9), b"\xdb\xff\xff\x00"),
        (lambda h: h.SendHandleState(user_data=0, data_length=1), b"\xdb\x00\x00\x01\x00"),
        (lambda h: h.SendHandleState(1, 0, None), b"\xdb\x01\x00\x00"),
    ],
    ids=["wakeup", "status-request", "state-one-byte", "state-defaults", "state-id-only", "state-byte-unused",
         "state-keywords", "state-none"],
)
def test_command_bytes(peer, handle, send, wire):
    assert send(handle) is None
    handle.SendDeviceWakeup()  # marks the end: extra bytes would come before it
    assert peer.read(len(wire) + 1) == wire + WAKEUP


@pytest.mark.parametrize(
    "args, error",
    [
        ((1, 2, 0xAB), ValueError),
        ((1, 1), ValueError),
        ((1, 255, None), ValueError),
        ((65536,), TypeError),
        ((-1,), TypeError),
        ((0, 256), TypeError),
        ((0, 1, 256), TypeError),
        ((0, 1, -1), TypeError),
        ((0, 1, 1.5), TypeError),
        ((0, 1, b"\x01"), TypeError),
        (("1",), TypeError),
    ],
)
def test_handle_state_refused_before_anything_is_sent(peer, handle, args, error):
    with pytest.raises(error):
        handle.SendHandleState(*args)
    handle.SendDeviceWakeup()
    assert peer.read(1) == WAKEUP


# -- receive and dispatch ------------------------------------------------------------------------

Q = [0.5, -0.25, 1.0, -1.0]
USER = bytes(range(1, 256))


@pytest.mark.parametrize(
    "wire, result, calls",
    [
        (info_reply(7, 0x1234, 9, 10, 11), 6, [("info", (7, 0x1234, 9, 10, 11))]),
        (error_response(0x42, 1), 3, [("error", (0x42, 1))]),
        (status_message(0x0201, 3, 4, Q), 21, [("status", (0x0201, Q, 3, 4, 0, []))]),
        (status_message(0xBEEF, 0, 31, Q, b"\xaa\xbb\xcc"), 24,
         [("status", (0xBEEF, Q, 0, 31, 3, [0xAA, 0xBB, 0xCC]))]),
        (status_message(1, 2, 3, Q, USER), 276, [("status", (1, Q, 2, 3, 255, list(USER)))]),
        (b"\xba\x00\x03\xd0\xda\xdf" + b"\xbb\x01\x00" + error_response(5, 6), 3, [("error", (5, 6))]),
    ],
    ids=["info", "error", "status-no-user-data", "status-user-data", "status-all-user-data", "after-notifications"],
)
def test_subclass_receives_each_message(peer, recorder, wire, result, calls):
    peer.deliver(wire)
    assert recorder.Receive() == result
    assert recorder.calls == calls
    assert all(type(v) in (int, list) for _, args in recorder.calls for v in args)
    assert peer.pending_for_library() == 0


def test_status_callback_gets_lists_of_floats_and_ints(peer, recorder):
    peer.deliver(status_message(9, 0, 0, [1.0, 2.0, 3.0, 4.0], b"\x00\xff"))
    recorder.Receive()
    (_, (_, quaternion, _, _, n, user_data)), = recorder.calls
    assert type(quaternion) is list and [type(q) for q in quaternion] == [float] * 4
    assert type(user_data) is list and [type(b) for b in user_data] == [int] * 2
    assert n == len(user_data) == 2


@pytest.mark.parametrize("code", [0x0B, 0x00, 0xDB, 0xD1, 0x2B])
def test_unknown_code_leaves_its_payload_unread(peer, recorder, code, capfd):
    payload = bytes(range(21))
    peer.deliver(bytes([code]) + payload)
    assert recorder.Receive() == -1
    assert recorder.calls == []
    assert peer.pending_for_library() == len(payload)
    assert error_lines(capfd) == []


def test_messages_are_dispatched_one_per_receive(peer, recorder):
    peer.deliver(info_reply(1, 2, 3, 4, 5) + error_response(6, 7) + status_message(8, 0, 0, Q))
    assert [recorder.Receive() for _ in range(3)] == [6, 3, 21]
    assert [kind for kind, _ in recorder.calls] == ["info", "error", "status"]


def test_plain_handle_consumes_messages_with_empty_callbacks(peer, handle):
    peer.deliver(status_message(1, 0, 0, Q, b"\x01\x02") + info_reply(1, 2, 3, 4, 5) + error_response(1, 2))
    assert [handle.Receive() for _ in range(3)] == [23, 6, 3]
    assert peer.pending_for_library() == 0


def test_receive_waits_with_the_lock_released(peer, recorder):
    # The reply is sent by a Python thread that needs the interpreter lock
    # while Receive is already waiting for it.
    peer.send_after(0.02, info_reply(1, 2, 3, 4, 5))
    assert recorder.Receive() == 6
    assert recorder.calls == [("info", (1, 2, 3, 4, 5))]


class InfoAndErrorOnly(korvo.Handle):
    def __init__(self, stream):
        super().__init__(stream)
        self.calls = []

    def OnReceiveHandleInfo(self, *args):
        self.calls.append(("info", args))

    def OnReceiveHandleErrorResponse(self, *args):
        self.calls.append(("error", args))


def test_status_without_python_override_is_the_pure_virtual_error(peer, stream):
    partial = InfoAndErrorOnly(stream)
    peer.deliver(info_reply(1, 2, 3, 4, 5) + status_message(1, 0, 0, Q) + error_response(3, 4))
    assert partial.Receive() == 6
    with pytest.raises(RuntimeError) as raised:
        partial.Receive()
    assert str(raised.value) == PURE_VIRTUAL
    # The status message was consumed; the next message is read cleanly.
    assert partial.Receive() == 3
    assert partial.calls == [("info", (1, 2, 3, 4, 5)), ("error", (3, 4))]
    with pytest.raises(RuntimeError) as raised:
        partial.OnReceiveHandleStatusMessage(1, 0.5, 0, 0, 0, 0)
    assert str(raised.value) == PURE_VIRTUAL


class Refusing(Recorder):
    error = ValueError("refused by the override")

    def OnReceiveHandleStatusMessage(self, *args):
        raise self.error


def test_override_exception_leaves_receive_unchanged(peer, stream):
    refusing = Refusing(stream)
    peer.deliver(status_message(1, 0, 0, Q, b"\x05") + error_response(1, 9))
    with pytest.raises(ValueError) as raised:
        refusing.Receive()
    assert raised.value is Refusing.error
    assert refusing.Receive() == 3
    assert refusing.calls == [("error", (1, 9))]


def test_override_calling_the_base_method_gets_the_empty_default(peer, stream):
    class Forwarding(Recorder):
        def OnReceiveHandleInfo(self, *args):
            self.calls.append(("info", args))
            assert korvo.Handle.OnReceiveHandleInfo(self, *args) is None

    forwarding = Forwarding(stream)
    peer.deliver(info_reply(1, 2, 3, 4, 5))
    assert forwarding.Receive() == 6
    assert forwarding.calls == [("info", (1, 2, 3, 4, 5))]


# -- direct calls of the callbacks --------------------------------------------------------------------


@pytest.mark.parametrize(
    "call",
    [
        lambda h: h.OnReceiveHandleInfo(1, 2, 3, 4, 5),
        lambda h: h.OnReceiveHandleStatusMessage(1, 0.5, 0, 0, 1, 7),
        lambda h: h.OnReceiveHandleErrorResponse(1, 2),
    ],
    ids=["info", "status", "error"],
)
def test_direct_calls_on_a_plain_handle_run_the_empty_defaults(peer, handle, call):
    assert call(handle) is None
    handle.SendDeviceWakeup()
    assert peer.read(1) == WAKEUP  # and nothing went to the handle before it


@pytest.mark.parametrize(
    "call, recorded",
    [
        (lambda h: korvo.Handle.OnReceiveHandleInfo(h, 1, 0xFFFF, 3, 4, 5), ("info", (1, 0xFFFF, 3, 4, 5))),
        (lambda h: korvo.Handle.OnReceiveHandleErrorResponse(h, 7, 255), ("error", (7, 255))),
        (
            lambda h: korvo.Handle.OnReceiveHandleStatusMessage(h, 7, 0.5, 1, 2, 1, 0xAB),
            ("status", (7, [0.5, 0.0, 0.0, 0.0], 1, 2, 1, [0xAB])),
        ),
        (
            lambda h: korvo.Handle.OnReceiveHandleStatusMessage(h, 7, 2, 1, 2, 0, 0xAB),
            ("status", (7, [2.0, 0.0, 0.0, 0.0], 1, 2, 0, [])),
        ),
    ],
    ids=["info", "error", "status-one-byte", "status-no-byte"],
)
def test_direct_calls_through_the_base_class_reach_the_python_override(recorder, call, recorded):
    assert call(recorder) is None
    assert recorder.calls == [recorded]


@pytest.mark.parametrize(
    "args, error",
    [
        ((7, 0.5, 1, 2, 2, 0xAB), ValueError),
        ((7, 0.5, 1, 2, 255, 0xAB), ValueError),
        ((7, 0.5, 1, 2, 256, 0xAB), TypeError),
        ((7, "0.5", 1, 2, 1, 0xAB), TypeError),
        ((65536, 0.5, 1, 2, 1, 0xAB), TypeError),
    ],
)
def test_direct_status_call_never_claims_more_than_it_carries(recorder, args, error):
    with pytest.raises(error):
        korvo.Handle.OnReceiveHandleStatusMessage(recorder, *args)
    assert recorder.calls == []


# -- the deprecated one-argument Receive ----------------------------------------------------------------


def test_deprecated_receive_warns_and_receives(peer, recorder):
    peer.deliver(info_reply(1, 2, 3, 4, 5))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert recorder.Receive(7) == 6
    assert [(w.category, str(w.message)) for w in caught] == [
        (DeprecationWarning, "Receive with one argument is deprecated")
    ]
    assert caught[0].filename == __file__  # stack level 1: the caller's line
    assert recorder.calls == [("info", (1, 2, 3, 4, 5))]


def test_deprecated_receive_with_a_bad_argument_neither_warns_nor_reads(peer, recorder):
    peer.deliver(info_reply(1, 2, 3, 4, 5))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(TypeError):
            recorder.Receive(300)
    assert caught == []
    assert peer.pending_for_library() == 7


def test_deprecated_receive_under_an_error_filter_still_receives(peer, recorder):
    peer.deliver(error_response(4, 5))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning, match="Receive with one argument is deprecated"):
            recorder.Receive(0)
    assert recorder.calls == [("error", (4, 5))]
    assert peer.pending_for_library() == 0


# -- GetStylarStatus -----------------------------------------------------------------------------------

KEYS = ["device_id", "quaternion", "error_flag", "hall_effect_sensor_level", "buttons", "battery_level"]
GOOD = status_frame(frame_body(0x42, 0xE5, (0x4000, 0x4000, 0x4000, 0x4000), 100, error_flag=1))
GOOD_STATUS = {
    "device_id": 0x42,
    "quaternion": [0.5, -0.5, -0.5, 0.5],
    "error_flag": 1,
    "hall_effect_sensor_level": 5,
    "buttons": 7,
    "battery_level": 3.5,
}
OTHER = status_frame(frame_body(0x17, 0, (0, 0, 0, 0), 0))


@pytest.mark.parametrize(
    "wire, expected",
    [
        (GOOD, GOOD_STATUS),
        (
            status_frame(frame_body(0xFF, 0x1F, (0x7FFF, 0x8000, 0x7FFF, 0x8000), 255)),
            {
                "device_id": 0xFF,
                "quaternion": [0.999969482421875, 1.0, -0.999969482421875, -1.0],
                "error_flag": 0,
                "hall_effect_sensor_level": 31,
                "buttons": 0,
                "battery_level": 4.275000095367432,
            },
        ),
        (
            status_frame(frame_body(0xC0, 0x20, (0x00C0, 0xDBDB, 0xC000, 0), 200, error_flag=0xDB)),
            {
                "device_id": 0xC0,
                "quaternion": [192 / 32768, 9253 / 32768, 0.5, 0.0],
                "error_flag": 0xDB,
                "hall_effect_sensor_level": 0,
                "buttons": 1,
                "battery_level": 4.0,
            },
        ),
    ],
    ids=["buttons-hall-signs", "extremes", "escaped-values"],
)
def test_stylar_status_decodes_a_frame(peer, handle, wire, expected):
    peer.deliver(wire)
    status = handle.GetStylarStatus()
    assert list(status) == KEYS
    assert status == expected
    assert [type(v) for v in status.values()] == [int, list, int, int, int, float]
    assert [type(q) for q in status["quaternion"]] == [float] * 4


@pytest.mark.parametrize(
    "junk",
    [
        status_frame(frame_body(9, 0, (0, 0, 0, 0), 0), checksum_delta=1),
        OTHER[:6] + b"\xdb\x41" + OTHER[6:],
        OTHER[:10] + OTHER,
        b"\xda\xc0",
        status_frame(bytes(9)),
        bytes([0x11]) * 40,
        b"\xbb\x00\x02\xda\xda",
    ],
    ids=["wrong-checksum", "stray-escape", "cut-short", "empty", "short-body", "junk", "notification"],
)
def test_stylar_status_survives_corrupt_frames(peer, handle, junk):
    peer.deliver(junk + GOOD)
    assert handle.GetStylarStatus() == GOOD_STATUS


def test_stylar_status_waits_with_the_lock_released(peer, handle):
    # Sent by a Python thread while GetStylarStatus waits for the first bytes.
    peer.send_after(0.02, GOOD + OTHER)
    assert handle.GetStylarStatus() == GOOD_STATUS


def at_fraction_of_a_second(fraction: float) -> None:
    """Sleeps until the monotonic clock is `fraction` of a second past a whole one."""
    time.sleep((fraction - time.monotonic() % 1.0) % 1.0)


@pytest.mark.serial
@pytest.mark.parametrize("phase", [0.05, 0.85], ids=["early-in-a-second", "late-in-a-second"])
def test_stylar_status_without_traffic_fails_with_99_after_one_to_two_seconds(handle, phase):
    # The first wait counts whole seconds of the monotonic clock, so where in
    # its second a call starts decides how long it lasts: nearly two seconds
    # early in one, just over one late in one. Started at both ends, a wait
    # that counts a second too few or too many cannot hide.
    at_fraction_of_a_second(phase)
    start = time.monotonic()
    status = handle.GetStylarStatus()
    elapsed = time.monotonic() - start
    assert 0.9 <= elapsed <= 2.5
    assert list(status) == KEYS
    assert status == {
        "device_id": 0,
        "quaternion": [0.0, 0.0, 0.0, 0.0],
        "error_flag": 99,
        "hall_effect_sensor_level": 0,
        "buttons": 0,
        "battery_level": 0.0,
    }


def test_stylar_status_with_no_frame_start_fails_with_3(peer, handle):
    peer.deliver(bytes([0x11]) * 101 + GOOD)
    assert handle.GetStylarStatus() == {
        "device_id": 0,
        "quaternion": [0.0, 0.0, 0.0, 0.0],
        "error_flag": 3,
        "hall_effect_sensor_level": 0,
        "buttons": 0,
        "battery_level": 0.0,
    }
