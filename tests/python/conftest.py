import pytest

import KorvoHardwareAPI as korvo
from rig import SHORT, PtyPeer


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
