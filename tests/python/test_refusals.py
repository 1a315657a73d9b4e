"""Unsafe input is refused before anything reaches a device: non-finite and
out-of-range requests, port names with NUL bytes, a handle read from inside
its own callback."""

import math

import pytest

import KorvoHardwareAPI as korvo
from rig import error_lines, floats

NAN, INF = math.nan, math.inf
BEYOND_FLOAT = 1e300  # becomes an infinity as a 32-bit float


# method taking a vector, argument name in the message
REQUESTS = [
    ("end_effector_force", "force request vector"),
    ("end_effector_position", "position request vector"),
    ("joint_torques", "joint torque request vector"),
    ("joint_angles", "joint angle request vector"),
    ("adjust_angles", "angles"),
    ("SendForce", "force"),
    ("SendPosition", "position"),
    ("SendJointTorques", "joint_torque"),
    ("SendAngle", "angle"),
]


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("bad", [NAN, INF, -INF, BEYOND_FLOAT, -BEYOND_FLOAT], ids=["nan", "inf", "-inf", "1e300", "-1e300"])
@pytest.mark.parametrize("index", [0, 2])
@pytest.mark.parametrize("method, name", REQUESTS, ids=[r[0] for r in REQUESTS])
def test_non_finite_requests_are_refused_with_nothing_sent(peer, arm, method, name, index, bad):
    vector = [0.5, 0.5, 0.5, NAN]  # past the third element nothing is looked at
    vector[index] = bad
    with pytest.raises(ValueError, match=rf"^{name}\[{index}\] is .*finite"):
        getattr(arm, method)(vector)
    assert peer.drain() == b""


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("which", ["ForceX", "ForceY", "ForceZ"])
def test_send_force_in_three_floats_checks_each(peer, arm, which):
    values = {"ForceX": 0.0, "ForceY": 0.0, "ForceZ": 0.0, which: BEYOND_FLOAT}
    with pytest.raises(ValueError, match=rf"^{which} is"):
        arm.SendForce(**values)
    assert peer.drain() == b""


def test_the_largest_float_is_still_a_request(peer, arm):
    largest = 3.4028234663852886e38
    arm.SendAngle([largest, -largest, 0.0])
    assert peer.drain() == b"\x1c" + floats(largest, -largest, 0.0)


@pytest.mark.parametrize("name", ["/dev/null\x00/ttyACM0", b"/dev/null\x00/ttyACM0", bytearray(b"\x00")])
def test_port_names_with_nul_bytes_are_refused(name, capfd):
    with pytest.raises(ValueError, match="NUL"):
        korvo.SerialStream(name)
    assert error_lines(capfd) == []  # nothing was opened, so nothing failed to open


# -- a handle read from inside its own callbacks ------------------------------------------------

STATUS = b"\xda\x42\x00\x00\x07" + floats(1, 0, 0, 0) + b"\x00"
INFO = b"\xd0\x05\x42\x00\x02\x01\x03"


class Reentrant(korvo.Handle):
    """Calls back into itself from its status callback."""

    def __init__(self, stream, call):
        super().__init__(stream)
        self.call = call
        self.statuses = 0

    def OnReceiveHandleStatusMessage(self, *args):
        self.statuses += 1
        self.call(self)


@pytest.mark.parametrize(
    "call, operation",
    [
        pytest.param(lambda h: h.Receive(), "Handle.Receive", id="Receive"),
        pytest.param(lambda h: h.GetStylarStatus(), "Handle.GetStylarStatus", id="GetStylarStatus"),
        pytest.param(
            lambda h: h.Receive(0),
            "Handle.Receive",
            id="deprecated-Receive",
            marks=pytest.mark.filterwarnings("ignore::DeprecationWarning"),
        ),
    ],
)
def test_reading_from_inside_a_callback_is_refused_before_anything_is_read(peer, call, operation):
    handle = Reentrant(korvo.SerialStream(peer.path), call)
    peer.deliver(STATUS + INFO)
    with pytest.raises(RuntimeError, match=f"^{operation} called from inside one of this handle's own callbacks"):
        handle.Receive()
    assert handle.statuses == 1
    assert peer.pending_for_library() == len(INFO)  # the next message waits for the next Receive
    # Once the callback has returned, the handle reads on as usual.
    handle.call = lambda h: None
    assert handle.Receive() == 6

