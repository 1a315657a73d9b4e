"""korvo: haptics on top of KorvoHardwareAPI.

The arm's force loop runs natively, at a fixed rate, on a thread of its own,
with a safety envelope around every force it sends; Python only moves its
parameters and reads its state::

    import korvo

    with korvo.Servo("/dev/ttyACM0", rate=1000, max_force=4.0) as servo:
        servo.force = (0.0, 0.0, 1.0)
        print(servo.state)              # the latest tick: position, velocity, force, faults
        print(servo.stats)              # achieved rate, period and exchange percentiles
    recording = servo.recording()       # every tick, as numpy arrays
    recording.save("run.csv")

Haptic effects run on the servo thread and fade in and out; their
parameters change from any thread at any rate::

    wall = korvo.Plane(point=(0, 0, 0.22), normal=(0, 0, -1), stiffness=1500, damping=8)
    spring = korvo.Spring(target=(0, 0.02, 0.2), stiffness=150, damping=4, max_speed=0.2)
    servo.add(wall)
    servo.add(spring)
    spring.target = (0.01, 0.02, 0.2)   # the anchor moves there at max_speed

A HandleMonitor reads a handle's status frames on a native thread, so that a
program polling at screen rate misses no button press::

    with korvo.HandleMonitor("/dev/ttyUSB0") as monitor:
        print(monitor.status, monitor.events())

An Arvena or a Handle made with KorvoHardwareAPI can be handed over instead
of a port path; it is borrowed while the loop runs. Both packages share one
copy of the library, whose error lines korvo.errors_to_logging() turns into
records of Python's logging (korvo.silence_errors() drops them).
"""

from __future__ import annotations

import atexit

import KorvoHardwareAPI as _hardware  # noqa: F401  (first: the Arvena type, and the library, come from it)

from ._native import (
    Box,
    ButtonEvent,
    Constant,
    Damper,
    Effect,
    HandleMonitor,
    HandleStatus,
    Plane,
    Sphere,
    Spring,
    State,
    Stats,
    TeleopCoupling,
    TeleopReport,
    stop_all,
)
from ._version import __version__ as __version__
from .errors import LibraryError, errors_to_logging, errors_to_stderr, silence_errors
from .recording import Recording
from .servo import Servo, ServoEvent

# __version__ is the installed package's version; KorvoHardwareAPI.__version__
# stays "dev".
__all__ = [
    "Box",
    "ButtonEvent",
    "Constant",
    "Damper",
    "Effect",
    "HandleMonitor",
    "HandleStatus",
    "LibraryError",
    "Plane",
    "Recording",
    "Servo",
    "ServoEvent",
    "Sphere",
    "Spring",
    "State",
    "Stats",
    "TeleopCoupling",
    "TeleopReport",
    "errors_to_logging",
    "errors_to_stderr",
    "silence_errors",
    "stop_all",
]


# At interpreter exit, before Python tears its objects down, every running
# loop sends its zero force and ends (before the error reports leave
# logging, which korvo.errors registered first and so undoes last).
atexit.register(stop_all)
