"""The wheel as a user installs it: into a fresh virtual environment of the
same Python, used from a directory outside the source tree, with nothing of
the tree on the path.

The wheel comes from $KORVO_WHEEL (`./dev.sh test` makes it once, before the
tests) or else from `./dev.sh wheel`."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
import zipfile
from pathlib import Path

import pytest
from packaging.requirements import Requirement

ROOT = Path(__file__).resolve().parents[2]

# Installing into a fresh venv fetches NumPy; making the wheel first, when
# no KORVO_WHEEL is given, is a build of its own; a machine busy with other
# builds makes either take many minutes.
pytestmark = [pytest.mark.timeout(1500), pytest.mark.skipif(
    bool(os.environ.get("KORVO_SANITIZED")),
    reason="installs the released wheel, not the instrumented module; runs once, in the plain run",
)]

# Runs in the fresh environment. Prints one JSON object for the test to judge.
SMOKE = textwrap.dedent(
    """
    import json, sys, sysconfig, time
    from importlib import metadata
    from pathlib import Path

    import KorvoHardwareAPI as hardware
    import korvo
    import korvo_sim

    site = Path(sysconfig.get_path("platlib")).resolve()
    facts = {
        "prefix": sys.prefix,
        "modules": {m.__name__: str(Path(m.__file__).resolve()) for m in (hardware, korvo, korvo_sim)},
        "site": str(site),
        "libraries": sorted(str(p.relative_to(site)) for p in site.rglob("libkorvo_hardware*")),
        "symlinks": sorted(str(p.relative_to(site)) for p in site.rglob("*korvo*") if p.is_symlink()),
        "stub": (site / "KorvoHardwareAPI-stubs" / "__init__.pyi").is_file(),
        "sim": korvo_sim.binary(),
        "requires": metadata.requires("KorvoHardwareAPI"),
        "license_files": metadata.metadata("KorvoHardwareAPI").get_all("License-File"),
        "license": metadata.distribution("KorvoHardwareAPI").read_text("licenses/LICENSE"),
        "tags": [line.split(":", 1)[1].strip()
                 for line in metadata.distribution("KorvoHardwareAPI").read_text("WHEEL").splitlines()
                 if line.startswith("Tag:")],
    }
    with korvo_sim.Simulator("arm", "--device-id", "0x0321") as sim:
        arm = hardware.Arvena(hardware.SerialStream(sim.port("arm")), timeout=0.5)
        facts["wakeup"] = arm.device_wakeup_dict()["device_id"]
        # The arm of one module lent to the loop of the other: only works
        # when both use the one copy of the library.
        with korvo.Servo(arm, rate=500, realtime=False) as servo:
            servo.force = (0.0, 0.0, 0.2)
            time.sleep(0.3)
        facts["ticks"] = servo.stats.ticks
        facts["recorded"] = len(servo.recording())
    print(json.dumps(facts))
    """
)


def clean_environment(venv: Path) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "PYTHONHOME", "PYTHONSTARTUP", "VIRTUAL_ENV", "KORVO_SIM")}
    env["PATH"] = os.pathsep.join([str(venv / "bin"), "/usr/local/bin", "/usr/bin", "/bin"])
    return env


@pytest.fixture(scope="module")
def wheel() -> Path:
    given = os.environ.get("KORVO_WHEEL")
    if given:
        return Path(given)
    made = subprocess.run([str(ROOT / "dev.sh"), "wheel"], capture_output=True, text=True, timeout=1200)
    assert made.returncode == 0, made.stderr[-4000:]
    return Path(made.stdout.strip().splitlines()[-1])


@pytest.fixture(scope="module")
def installed(wheel, tmp_path_factory) -> dict:
    base = tmp_path_factory.mktemp("wheel")
    venv = base / "venv"
    env = clean_environment(venv)
    # The interpreter this venv was made from, as a user's would be.
    base_python = getattr(sys, "_base_executable", sys.executable)
    for command, timeout in [
        ([base_python, "-m", "venv", str(venv)], 600),
        ([str(venv / "bin" / "python"), "-m", "pip", "install", "-q", "--disable-pip-version-check", str(wheel)], 600),
    ]:
        done = subprocess.run(command, cwd=base, env=env, capture_output=True, text=True, timeout=timeout)
        assert done.returncode == 0, f"{command} failed:\n{done.stdout[-3000:]}\n{done.stderr[-3000:]}"
    smoke = subprocess.run([str(venv / "bin" / "python"), "-I", "-c", SMOKE], cwd=base, env=env,
                           capture_output=True, text=True, timeout=120)
    assert smoke.returncode == 0, smoke.stderr[-4000:]
    facts = json.loads(smoke.stdout.strip().splitlines()[-1])
    facts["venv"] = str(venv)
    # The command the wheel installs, run as a user would: by name, from PATH.
    facts["korvo_command"] = subprocess.run(["korvo", "--help"], cwd=base, env=env, capture_output=True,
                                            timeout=60).returncode
    return facts


def test_wheel_is_manylinux_and_carries_license_stub_and_simulator(wheel):
    assert "-cp313-cp313-manylinux_" in wheel.name and wheel.name.endswith("_x86_64.whl"), wheel.name
    names = zipfile.ZipFile(wheel).namelist()
    # Type checkers find the module's types in a stub package, and each of
    # the project's own packages says it is typed.
    assert {"KorvoHardwareAPI-stubs/__init__.pyi", "korvo/py.typed", "korvo_sim/py.typed"} <= set(names)
    assert any(n.endswith(".dist-info/licenses/LICENSE") for n in names)
    assert any(n.endswith(".data/scripts/korvo-sim") for n in names)
    assert any(n.endswith(".dist-info/entry_points.txt") for n in names)
    # auditwheel finds the library inside the wheel and must not graft a copy
    # beside it: two copies would split the process-wide state.
    assert [n for n in names if "libkorvo_hardware" in n] == ["korvo/libkorvo_hardware.so"]


def test_installed_wheel_works_outside_the_source_tree(installed):
    site = Path(installed["site"])
    for name, path in installed["modules"].items():
        assert Path(path).is_relative_to(site), (name, path)
        assert not Path(path).is_relative_to(ROOT), (name, path)
    assert installed["libraries"] == ["korvo/libkorvo_hardware.so"] and installed["symlinks"] == []
    assert installed["stub"]
    assert Path(installed["sim"]).parent == Path(installed["venv"]) / "bin"
    assert installed["korvo_command"] == 0
    assert installed["wakeup"] == 0x0321
    assert installed["ticks"] > 25 and installed["recorded"] > 0


def test_installed_metadata(installed):
    assert all(tag.startswith("cp313-cp313-manylinux_") for tag in installed["tags"]) and installed["tags"]
    assert installed["license_files"] == ["LICENSE"]
    assert "All rights reserved." in installed["license"]
    # Users install these into their own environments: lower bounds, never
    # exact pins that would fight their own choice of versions.
    requirements = [Requirement(r) for r in installed["requires"]]
    # The core install stays light: everything else comes with an extra.
    assert {r.name for r in requirements if r.marker is None} == {"numpy"}
    extras = {r.name for r in requirements if r.marker is not None}
    assert {"pytest", "pytest-timeout", "pyserial", "mcap", "mcap-ros2-support", "rosbags", "zstandard", "matplotlib",
            "eclipse-zenoh", "xxhash"} <= extras
    for requirement in requirements:
        operators = {s.operator for s in requirement.specifier}
        assert operators and operators <= {">=", ">"}, str(requirement)
