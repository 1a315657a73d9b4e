import os
import resource

import pytest

import KorvoHardwareAPI as korvo
from rig import SHORT, PtyPeer

import korvo_sim

# The suite's simulators answer at real-time priority where the machine
# allows it (they sleep between requests, so they take little). On a busy
# machine a device that answers late fails tests that are not about
# deadlines: a servo loop's start gives the arm a second. A test that names
# a priority keeps its own.
if os.geteuid() == 0 or resource.getrlimit(resource.RLIMIT_RTPRIO)[0] >= 50:
    _start_simulator = korvo_sim.Simulator.__init__

    def _start_at_realtime_priority(self, *arguments, **options):
        if "--realtime" not in arguments:
            arguments = ("--realtime", "50", *arguments)
        _start_simulator(self, *arguments, **options)

    korvo_sim.Simulator.__init__ = _start_at_realtime_priority


@pytest.fixture
def peer():
    p = PtyPeer()
    try:
        yield p
    finally:
        p.close()


@pytest.fixture
def stream(peer):
    return korvo.SerialStream(peer.path)


@pytest.fixture
def arm(stream):
    return korvo.Arvena(stream, timeout=SHORT)


@pytest.fixture
def free_port():
    """A loopback TCP port nobody listens on at this moment."""
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
