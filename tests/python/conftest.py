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
