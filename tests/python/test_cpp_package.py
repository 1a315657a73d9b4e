"""The C++ installation as a program outside the tree uses it: the project
installed into a prefix of its own, a consumer built there through
find_package and through pkg-config, each run against the korvo-sim that
came with the installation."""

from __future__ import annotations

import os
import re
import shlex
import shutil
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

from korvo_sim import Simulator

ROOT = Path(__file__).resolve().parents[2]
CONSUMER = ROOT / "tests" / "cpp" / "consumer"
VERSION = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
MAJOR_MINOR = ".".join(VERSION.split(".")[:2])
DEVICE_ID = 0x0321

# The first test pays for the fixture's Release build of the library, the
# servo layer and the simulator: 30 to 40 s here, and minutes when the
# machine is busy with other builds.
pytestmark = [pytest.mark.timeout(1500), pytest.mark.skipif(
    bool(os.environ.get("KORVO_SANITIZED")),
    reason="builds and installs its own uninstrumented copy; runs once, in the plain run",
)]


def cmake() -> str:
    # The venv's cmake when there is one: the project's pinned build tools.
    beside = Path(sys.executable).with_name("cmake")
    found = str(beside) if beside.is_file() else shutil.which("cmake")
    if found is None:
        pytest.fail("cmake not found")
    return found


def run(command: list[str], timeout: float, **kwargs) -> subprocess.CompletedProcess[str]:
    result = subprocess.run(command, capture_output=True, text=True, timeout=timeout, **kwargs)
    assert result.returncode == 0, f"{shlex.join(command)} failed ({result.returncode}):\n{result.stdout[-4000:]}\n{result.stderr[-4000:]}"
    return result


def readelf(path: Path) -> str:
    return run(["readelf", "-d", str(path)], timeout=30).stdout


@pytest.fixture(scope="module")
def cpp_build(tmp_path_factory) -> Path:
    """The project built for C++ as the documentation says (no options but
    the build type: no Python, no tests, no sanitizers)."""
    build = tmp_path_factory.mktemp("cpp-package") / "build"
    run([cmake(), "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release"], timeout=120)
    run([cmake(), "--build", str(build), "-j2"], timeout=1200)
    return build


@pytest.fixture(scope="module")
def prefix(cpp_build) -> Path:
    """That build installed with `cmake --install --prefix` into a fresh
    directory: the configured prefix (/usr/local) is not where it lands, as
    when a user stages an installation."""
    run([cmake(), "--install", str(cpp_build), "--prefix", str(cpp_build.parent / "prefix")], timeout=120)
    return cpp_build.parent / "prefix"


@pytest.fixture
def sim_port(prefix, monkeypatch):
    # The installed simulator, not the one of the Python package.
    monkeypatch.setenv("KORVO_SIM", str(prefix / "bin" / "korvo-sim"))
    with Simulator("arm", "--device-id", hex(DEVICE_ID)) as sim:
        yield sim.port("arm")


@pytest.mark.parametrize("example, devices", [("korvo-servo-example", ["arm"]),
                                              ("korvo-scene-example", ["arm", "handle"])])
def test_the_documented_build_builds_examples_that_run(cpp_build, example, devices, monkeypatch):
    program = cpp_build / "examples" / example
    assert run([str(program), "--help"], timeout=30).stdout.startswith(f"usage: {program}")
    monkeypatch.setenv("KORVO_SIM", str(cpp_build / "sim" / "korvo-sim"))
    with Simulator(*devices) as sim:
        output = run([str(program), *(sim.port(d) for d in devices), "1"], timeout=60).stdout
    assert re.search(r"^[1-9]\d* ticks at ", output, re.M), output


def check_consumer_output(output: str) -> None:
    assert f"headers {VERSION}\n" in output
    assert f"Library version: {VERSION}\n" in output
    assert re.search(rf"^wakeup {DEVICE_ID} 4$", output, re.M), output
    ticks = re.search(r"^servo (\d+) ticks", output, re.M)
    assert ticks and int(ticks.group(1)) >= 25, output  # half a second at 500 Hz, on a busy machine


def test_installation_layout(prefix):
    lib = prefix / "lib"
    real = lib / f"libkorvo_hardware.so.{VERSION}"
    assert real.is_file() and not real.is_symlink()
    # The SONAME carries major.minor, and the names a linker and a loader look
    # for lead to the one file.
    assert f"[libkorvo_hardware.so.{MAJOR_MINOR}]" in readelf(real)
    assert (lib / f"libkorvo_hardware.so.{MAJOR_MINOR}").resolve() == real.resolve()
    assert (lib / "libkorvo_hardware.so").resolve() == real.resolve()
    assert (lib / "libkorvo_haptics.a").is_file()
    for header in ("HardwareAPI/Devices/Arvena.h", "HardwareAPI/IO/SerialStream.h", "HardwareAPI/IO/PortHolder.h",
                   "HardwareAPI/Probe.h", "Haptics/Servo.h", "Haptics/Effects.h", "DeviceTools/HandleMonitor.h"):
        assert (prefix / "include" / "Korvo" / header).is_file(), header
    sim = prefix / "bin" / "korvo-sim"
    assert sim.is_file() and os.access(sim, os.X_OK)
    assert "Korvo::" in (lib / "cmake" / "KorvoHardwareAPI" / "KorvoHardwareAPITargets.cmake").read_text()
    # Nothing installed points back into the build or source tree.
    for text_file in [*(lib / "cmake" / "KorvoHardwareAPI").iterdir(), *(lib / "pkgconfig").iterdir()]:
        text = text_file.read_text()
        assert str(ROOT) not in text and str(prefix.parent / "build") not in text, text_file


def test_find_package_consumer_runs_against_the_installed_simulator(prefix, sim_port, tmp_path):
    build = tmp_path / "consumer"
    # The consumer sets no C++ standard and does not look for Threads: the
    # package has to bring both.
    run([cmake(), "-S", str(CONSUMER), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
         f"-DCMAKE_PREFIX_PATH={prefix}"], timeout=120)
    run([cmake(), "--build", str(build), "-j2"], timeout=300)

    said = dict(line.split(" ", 1) for line in (build / "package.txt").read_text().splitlines())
    assert said["version"] == VERSION
    # Every public header was installed, and each compiled on its own above.
    public = [*(ROOT / "Library" / "include").rglob("*.h"), *(ROOT / "korvo" / "include").rglob("*.h")]
    assert int(said["headers"]) == len(public)
    assert Path(said["sim"]) == prefix / "bin" / "korvo-sim"
    assert Path(said["library"]).parent == prefix / "lib"

    check_consumer_output(run([str(build / "korvo-consumer"), sim_port], timeout=60).stdout)


@pytest.mark.parametrize(
    "requested, accepted",
    [(MAJOR_MINOR, True), (VERSION, True), ("0.1", False), ("0.3", False), ("1.0", False), ("0.2.99", False)],
)
def test_package_version_accepts_only_the_same_minor_release(prefix, tmp_path, requested, accepted):
    script = tmp_path / "probe.cmake"
    script.write_text(
        f'set(PACKAGE_FIND_VERSION "{requested}")\n'
        'string(REPLACE "." ";" _parts "${PACKAGE_FIND_VERSION}")\n'
        "list(GET _parts 0 PACKAGE_FIND_VERSION_MAJOR)\n"
        "list(GET _parts 1 PACKAGE_FIND_VERSION_MINOR)\n"
        "set(CMAKE_SIZEOF_VOID_P 8)\n"
        f'include("{prefix}/lib/cmake/KorvoHardwareAPI/KorvoHardwareAPIConfigVersion.cmake")\n'
        'message(STATUS "compatible=${PACKAGE_VERSION_COMPATIBLE}")\n'
    )
    output = run([cmake(), "-P", str(script)], timeout=30).stdout
    assert ("compatible=TRUE" in output) is accepted, output


def test_pkg_config_builds_a_program_that_runs(prefix, sim_port, tmp_path):
    env = {**os.environ, "PKG_CONFIG_PATH": str(prefix / "lib" / "pkgconfig")}
    env.pop("PKG_CONFIG_LIBDIR", None)
    pkg_config = shutil.which("pkg-config")
    assert pkg_config, "pkg-config not found"
    assert run([pkg_config, "--modversion", "korvo-haptics"], timeout=30, env=env).stdout.strip() == VERSION
    flags = shlex.split(run([pkg_config, "--cflags", "--libs", "korvo-haptics"], timeout=30, env=env).stdout)
    includes = [Path(f[2:]).resolve() for f in flags if f.startswith("-I")]
    libdirs = [Path(f[2:]).resolve() for f in flags if f.startswith("-L")]
    assert includes == [prefix.resolve() / "include"] and libdirs == [prefix.resolve() / "lib"], flags
    # The servo layer is static and needs the library after it.
    libraries = [f for f in flags if f.startswith("-l")]
    assert libraries.index("-lkorvo_haptics") < libraries.index("-lkorvo_hardware"), flags

    # The program starts as built, with nothing set for the loader: the
    # flags carry the installed library's directory as its run path.
    program = tmp_path / "korvo-consumer"
    run(["g++", "-std=c++20", "-o", str(program), str(CONSUMER / "main.cpp"), *flags], timeout=300)
    raw_libdir = next(f[2:] for f in flags if f.startswith("-L"))
    assert f"[{raw_libdir}]" in readelf(program)
    loader_env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
    check_consumer_output(run([str(program), sim_port], timeout=60, env=loader_env).stdout)
