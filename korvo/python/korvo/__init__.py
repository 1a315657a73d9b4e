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

An Arvena made with KorvoHardwareAPI can be handed to the servo instead of a
port path; it is borrowed while the loop runs. Both packages share one copy
of the library.
"""

from __future__ import annotations

import atexit

import KorvoHardwareAPI as _hardware  # noqa: F401  (first: the Arvena type, and the library, come from it)

from ._native import Servo, State, Stats, stop_all
from .recording import Recording

__all__ = ["Recording", "Servo", "State", "Stats", "stop_all"]


def _recording(self: Servo) -> Recording:
    """Every tick recorded since the last call, as numpy arrays (see Recording)."""
    return Recording(self._drain())


Servo.recording = _recording

# At interpreter exit, before Python tears its objects down, every running
# loop sends its zero force and ends.
atexit.register(stop_all)
