"""Drive `korvo-sim`, the Korvo device simulator, from Python.

korvo-sim serves simulated devices (an Arvena arm, a Handle, a loopback) on
pseudo-terminals, so control code can run without hardware::

    from korvo_sim import Simulator
    import KorvoHardwareAPI as hw

    with Simulator("arm", "handle", "--rate", "200") as sim:
        arm = hw.Arvena(hw.SerialStream(sim.port("arm")))
        print(arm.device_wakeup_dict())

Arguments are those of the command line (`korvo-sim --help`): device kinds,
each followed by its own options (faults such as ``--drop-every 5`` or
``--disconnect-after 100``, ``--link PATH``, ...).

For pytest, see ``korvo_sim.pytest_plugin``.
"""

from __future__ import annotations

import os
import select
import shutil
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

__all__ = ["Simulator", "SimulatorError", "binary", "mount_private_dev"]

KINDS = ("arm", "handle", "loopback")


class SimulatorError(RuntimeError):
    pass


def binary() -> str:
    """Path of the korvo-sim executable: $KORVO_SIM, the scripts directory of
    this installation, or the PATH."""
    candidates = [
        os.environ.get("KORVO_SIM"),
        str(Path(sys.executable).with_name("korvo-sim")),
        str(Path(sysconfig.get_path("scripts")) / "korvo-sim"),
        shutil.which("korvo-sim"),
    ]
    for candidate in candidates:
        if candidate and Path(candidate).is_file() and os.access(candidate, os.X_OK):
            return candidate
    raise SimulatorError("korvo-sim not found: install KorvoHardwareAPI or set KORVO_SIM")


class Simulator:
    """One korvo-sim process. Starts in the constructor, or on entering a
    ``with`` block; ``stop()`` (or leaving the block) ends it and removes the
    links it made."""

    def __init__(self, *arguments: str, start_timeout: float = 5.0) -> None:
        self.arguments = [str(a) for a in arguments]
        if not any(a in KINDS for a in self.arguments):
            raise ValueError(f"no device kind among {self.arguments} (one of {', '.join(KINDS)})")
        self._process = subprocess.Popen(
            [binary(), "--die-with-parent", *self.arguments],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        self._buffer = b""
        self._stderr = ""
        #: (kind, slave path) of every device, in command-line order; a
        #: reconnect after ``--disconnect-after`` appends one more.
        self.ports: list[tuple[str, str]] = []
        for _ in range(sum(a in KINDS for a in self.arguments)):
            self.ports.append(self._next_line(start_timeout))

    # -- ports ---------------------------------------------------------------------
    def port(self, kind: str, index: int = 0) -> str:
        """Slave path of the index-th device of `kind` (as first announced)."""
        paths = [path for k, path in self.ports[: self.device_count] if k == kind]
        if index >= len(paths):
            raise KeyError(f"no {kind} number {index} in this simulator")
        return paths[index]

    @property
    def device_count(self) -> int:
        return sum(a in KINDS for a in self.arguments)

    def wait_for_reconnect(self, timeout: float = 5.0) -> tuple[str, str]:
        """Waits for the line a device prints when it is plugged back in after
        ``--disconnect-after``; returns (kind, new slave path)."""
        entry = self._next_line(timeout)
        self.ports.append(entry)
        return entry

    def _next_line(self, timeout: float) -> tuple[str, str]:
        deadline = time.monotonic() + timeout
        assert self._process.stdout is not None  # made with stdout=PIPE
        fd = self._process.stdout.fileno()
        while b"\n" not in self._buffer:
            left = deadline - time.monotonic()
            ready = select.select([fd], [], [], max(0.0, left))[0] if left > 0 else []
            chunk = os.read(fd, 4096) if ready else b""
            if not chunk:
                self.stop()
                raise SimulatorError(f"korvo-sim printed no port line: {self.stderr().strip()}")
            self._buffer += chunk
        line, self._buffer = self._buffer.split(b"\n", 1)
        kind, path = line.decode().split(maxsplit=1)
        return kind, path

    # -- lifetime --------------------------------------------------------------------
    def running(self) -> bool:
        return self._process.poll() is None

    def stop(self) -> int:
        """Ends the simulator (it removes its links) and returns its exit status."""
        if self._process.poll() is None:
            self._process.terminate()
            try:
                self._process.wait(5)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
        stdout, stderr = self._process.stdout, self._process.stderr
        if stdout is not None and not stdout.closed:
            stdout.close()
        if stderr is not None and not stderr.closed:
            self._stderr = stderr.read().decode(errors="replace")
            stderr.close()
        return self._process.returncode

    def stderr(self) -> str:
        """What the simulator wrote to standard error (once it has stopped)."""
        return self._stderr

    def __enter__(self) -> "Simulator":
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()


def mount_private_dev() -> None:
    """Gives this process an empty /dev of its own, for testing discovery
    against simulated ports only: a tmpfs with its own devpts instance (so
    every pty made afterwards is /dev/pts/N inside), /dev/ptmx and /dev/null.

    Call it as root in a private mount namespace, never in the machine's own:
    run the test under ``unshare --mount --propagation private``. Then link
    the simulator's ports under names discovery looks for
    (``Simulator("arm", "--link", "/dev/ttyACM0")``).
    """
    import stat

    subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=755", "korvo-dev", "/dev"], check=True)
    os.mkdir("/dev/pts")
    subprocess.run(["mount", "-t", "devpts", "-o", "newinstance,ptmxmode=0666", "devpts", "/dev/pts"], check=True)
    os.symlink("pts/ptmx", "/dev/ptmx")
    os.mknod("/dev/null", 0o666 | stat.S_IFCHR, os.makedev(1, 3))
