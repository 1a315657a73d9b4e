"""The simulator as users drive it: the Simulator class and the pytest
plugin, the latter run in a test suite of its own as a user would."""

import subprocess
import sys
import textwrap

import pytest

from korvo_sim import Simulator, SimulatorError

# Its tests start interpreters and simulators, or draw with Matplotlib: far
# slower on a loaded machine than the default bound allows for.
pytestmark = pytest.mark.timeout(60)


def test_simulator_announces_each_device_in_order():
    with Simulator("arm", "handle", "--rate", "0", "arm") as sim:
        assert [kind for kind, _ in sim.ports] == ["arm", "handle", "arm"]
        assert sim.port("arm", 1) == sim.ports[2][1]
        assert sim.port("handle") == sim.ports[1][1]
        with pytest.raises(KeyError):
            sim.port("arm", 2)
        assert sim.running()
    assert not sim.running()
    assert sim.stop() == 0


@pytest.mark.parametrize("arguments", [("--rate", "100"), ("robot",), ("arm", "--no-such-option")])
def test_bad_arguments_are_reported(arguments):
    with pytest.raises((ValueError, SimulatorError)):
        Simulator(*arguments)


def test_users_suite_runs_against_the_plugin_fixtures(tmp_path):
    (tmp_path / "conftest.py").write_text('pytest_plugins = ["korvo_sim.pytest_plugin"]\n')
    (tmp_path / "test_my_control_code.py").write_text(
        textwrap.dedent(
            """
            import KorvoHardwareAPI as korvo

            def test_arm_moves_under_force(arvena):
                assert arvena.device_wakeup_dict()["device_model_number"] == 4
                start, _ = arvena.end_effector_force([0.0, 0.0, 0.0])
                for _ in range(300):
                    position, velocity = arvena.end_effector_force([0.0, 0.0, 1.0])
                assert position[2] > start[2]

            def test_handle_answers_status_requests(handle):
                handle.RequestStatus()
                assert handle.Receive() >= 21

            def test_handle_streams_frames(handle_port):
                status = korvo.Handle(korvo.SerialStream(handle_port)).GetStylarStatus()
                assert status["error_flag"] not in (99, 2, 3)

            def test_my_code_survives_dropped_replies(korvo_sim):
                sim = korvo_sim("arm", "--drop-every", "2")
                # Long enough for a loaded machine; the dropped reply still fails.
                arm = korvo.Arvena(korvo.SerialStream(sim.port("arm")), 0.5)
                assert arm.end_effector_force()[0] != [0.0, 0.0, 0.0]
                assert arm.end_effector_force() == ([0.0, 0.0, 0.0], [0.0, 0.0, 0.0])
            """
        )
    )
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(tmp_path)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=120,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "4 passed" in result.stdout
