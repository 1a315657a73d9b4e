import pytest

from rig import PtyPeer


@pytest.fixture
def peer():
    p = PtyPeer()
    try:
        yield p
    finally:
        p.close()
