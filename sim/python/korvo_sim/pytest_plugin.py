"""pytest fixtures that run your control code against simulated devices.

Enable them in a conftest.py of your test suite::

    pytest_plugins = ["korvo_sim.pytest_plugin"]

then ask for them by name::

    def test_my_wall(arvena):
        position, velocity = arvena.end_effector_force([0.0, 0.0, 0.0])
        ...

    def test_with_faults(korvo_sim):
        sim = korvo_sim("arm", "--drop-every", "10")
        ...

Fixtures:
  korvo_sim       factory: korvo_sim(*arguments) starts a Simulator (the
                  korvo-sim command line); every one is stopped at teardown
  arm_port        slave path of a fresh simulated arm
  handle_port     slave path of a fresh simulated handle (status frames at
                  100 per second)
  arvena          a KorvoHardwareAPI.Arvena on a fresh simulated arm
  handle          a KorvoHardwareAPI.Handle on a fresh simulated handle that
                  does not stream frames (for Receive-based code)
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING

import pytest

from korvo_sim import Simulator

if TYPE_CHECKING:
    import KorvoHardwareAPI


@pytest.fixture
def korvo_sim() -> Iterator[Callable[..., Simulator]]:
    started: list[Simulator] = []

    def start(*arguments: str) -> Simulator:
        sim = Simulator(*arguments)
        started.append(sim)
        return sim

    yield start
    for sim in started:
        sim.stop()


@pytest.fixture
def arm_port(korvo_sim: Callable[..., Simulator]) -> str:
    return korvo_sim("arm").port("arm")


@pytest.fixture
def handle_port(korvo_sim: Callable[..., Simulator]) -> str:
    return korvo_sim("handle").port("handle")


@pytest.fixture
def arvena(arm_port: str) -> KorvoHardwareAPI.Arvena:
    import KorvoHardwareAPI as hw

    return hw.Arvena(hw.SerialStream(arm_port))


@pytest.fixture
def handle(korvo_sim: Callable[..., Simulator]) -> KorvoHardwareAPI.Handle:
    import KorvoHardwareAPI as hw

    port = korvo_sim("handle", "--rate", "0").port("handle")
    return hw.Handle(hw.SerialStream(port))
