"""What a newcomer gets wrong, caught with a message that says what: a loop
read before it ever started, a handle monitor on a port where no handle
streams, a misspelt keyword."""

from __future__ import annotations

import pytest

import korvo
from korvo_sim import Simulator
from rig import wait_until


@pytest.fixture(scope="module")
def devices():
    with Simulator("arm", "handle") as sim:
        yield sim.port("arm"), sim.port("handle")


@pytest.mark.parametrize("what", ["state", "stats"])
def test_a_loop_that_never_started_has_no_state_to_tell(devices, what):
    arm, _ = devices
    servo = korvo.Servo(arm, realtime=False)
    servo.force = (0.0, 0.0, 0.1)     # setting up before start is fine
    servo.add(korvo.Damper(viscosity=1.0))
    with pytest.raises(RuntimeError, match=f"Servo.{what}: the loop has not been started; call start"):
        getattr(servo, what)
    with servo:
        wait_until(lambda: servo.state.tick >= 5)
    assert getattr(servo, what) is not None   # after a run: what the last run left


def test_a_monitor_where_no_handle_streams_says_so(devices):
    arm, handle = devices
    with korvo.HandleMonitor(arm, frame_timeout=0.2) as monitor:   # the arm's port
        assert monitor.fault == ""                                   # not yet: the timeout has not passed
        fault = wait_until(lambda: monitor.fault, 5)
    assert fault.startswith("no status frames for") and arm in fault and "is a handle streaming there?" in fault
    with korvo.HandleMonitor(handle, frame_timeout=0.2) as streaming:
        wait_until(lambda: streaming.status is not None)
        assert streaming.fault == ""
    with pytest.raises(ValueError, match="frame_timeout must be above 0"):
        korvo.HandleMonitor(handle, frame_timeout=0.0)


MISSPELT = {
    "Servo": (lambda port: korvo.Servo(port, maxforce=3.0), "'maxforce'; did you mean 'max_force'"),
    "Spring": (lambda port: korvo.Spring(stifness=100.0), "'stifness'; did you mean 'stiffness'"),
    "Plane": (lambda port: korvo.Plane(normale=(0, 0, 1)), "'normale'; did you mean 'normal'"),
    "Sphere": (lambda port: korvo.Sphere(radius=0.1, insde=False), "'insde'; did you mean 'inside'"),
    "Box": (lambda port: korvo.Box(minimum=(0, 0, 0)), "'minimum'"),
    "Constant": (lambda port: korvo.Constant(forces=(0, 0, 1)), "'forces'; did you mean 'force'"),
    "Damper": (lambda port: korvo.Damper(viscocity=1.0), "'viscocity'; did you mean 'viscosity'"),
    "HandleMonitor": (lambda port: korvo.HandleMonitor(port, frametimeout=1.0), "'frametimeout'; did you mean 'frame_timeout'"),
}


@pytest.mark.parametrize("name", list(MISSPELT))
def test_a_misspelt_keyword_is_named_with_the_one_meant(devices, name):
    arm, _ = devices
    make, words = MISSPELT[name]
    with pytest.raises(TypeError) as raised:
        make(arm)
    text = str(raised.value)
    assert text.startswith(f"{name}() got an unexpected keyword argument ") and words in text
    assert "incompatible constructor arguments" not in text


def test_an_argument_of_the_wrong_kind_is_said_so_with_what_it_takes():
    with pytest.raises(TypeError, match=r"Spring\(stiffness='stiff'\): arguments of the wrong kind; it takes target, stiffness"):
        korvo.Spring(stiffness="stiff")
