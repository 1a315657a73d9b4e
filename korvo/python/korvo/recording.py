"""The ticks of a servo loop, as numpy arrays."""

from __future__ import annotations

import itertools
import os
from typing import Any

import numpy as np

COLUMNS: list[tuple[str, str | tuple[str, str, str]]] = [
    ("tick", "tick"),
    ("time", "time_s"),
    ("period", "period_s"),
    ("exchange", "exchange_s"),
    ("position", ("x_m", "y_m", "z_m")),
    ("velocity", ("vx_m_s", "vy_m_s", "vz_m_s")),
    ("force", ("fx_n", "fy_n", "fz_n")),
    ("commanded", ("cx_n", "cy_n", "cz_n")),
    ("faults", "faults"),
    ("exchange_ok", "exchange_ok"),
]


class Recording:
    """Ticks recorded by a Servo, one row per tick, oldest first.

    Attributes (numpy arrays of equal length): ``tick`` (uint64; a gap in the
    numbers is a tick the ring had no room for), ``time``, ``period`` and
    ``exchange`` (seconds), ``position``, ``velocity``, ``force`` (sent) and
    ``commanded`` (asked for, before the safety envelope), each n x 3,
    ``faults`` (uint32 fault bits) and ``exchange_ok`` (bool). ``dropped`` is
    how many ticks a full ring had to drop since the previous drain.
    ``started_at`` (time.monotonic() when the loop started, from which
    ``time`` counts) and ``rate`` (ticks per second asked for) are None when
    not known.
    """

    def __init__(self, arrays: dict[str, Any]) -> None:
        self.dropped = int(arrays.pop("dropped"))
        started_at, rate = arrays.pop("started_at", None), arrays.pop("rate", None)
        self.started_at: float | None = None if started_at is None else float(started_at)
        self.rate: float | None = None if rate is None else float(rate)
        self.tick: np.ndarray = arrays["tick"]
        self.time: np.ndarray = arrays["time"]
        self.period: np.ndarray = arrays["period"]
        self.exchange: np.ndarray = arrays["exchange"]
        self.position: np.ndarray = arrays["position"]
        self.velocity: np.ndarray = arrays["velocity"]
        self.force: np.ndarray = arrays["force"]
        self.commanded: np.ndarray = arrays["commanded"]
        self.faults: np.ndarray = arrays["faults"]
        self.exchange_ok: np.ndarray = arrays["exchange_ok"]

    def __len__(self) -> int:
        return len(self.tick)

    def __repr__(self) -> str:
        return f"Recording({len(self)} ticks, {self.dropped} dropped)"

    def gaps(self) -> int:
        """How many ticks are missing between the first and the last. A loop
        started again numbers its ticks from 0 again: that is a new run, not
        a gap."""
        steps = np.diff(self.tick.astype(np.int64))
        return int(np.sum(steps[steps > 1] - 1))

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the ticks to `path`: comma-separated values, a numpy archive
        when the name ends in .npz (``dropped`` is one of its arrays), or,
        when it ends in .mcap, the ROS 2 messages a recorder writes
        (korvo.ros.messages: ros2 bag, Foxglove and PlotJuggler open it;
        needs the ros extra).

        The CSV has a header line of column names, then a comment line
        ``# dropped: N``, then one line per tick:
        ``numpy.loadtxt(path, delimiter=",", skiprows=1)`` reads the numbers
        (it passes over the comment), ``pandas.read_csv(path, comment="#")``
        the table.

        The file is written whole or not at all: into a new file beside it,
        which then replaces `path` in one step. If writing fails (a full
        disk, say), the error is raised, a file that was at `path` is left
        as it was, and nothing of the attempt remains."""
        path = os.fspath(path)
        if path.endswith(".mcap"):
            try:
                from .ros.bag import save_ticks
            except ImportError as e:
                raise ImportError(f"saving .mcap needs the ros extra (pip install 'KorvoHardwareAPI[ros]'): {e}") from e
        fd, partial = _new_file_beside(path)
        try:
            if path.endswith(".mcap"):
                os.close(fd)
                save_ticks(self, partial, self.started_at, self.rate)
            else:
                with os.fdopen(fd, "wb") as out:
                    if path.endswith(".npz"):
                        arrays: dict[str, Any] = {name: getattr(self, name) for name, _ in COLUMNS}
                        arrays["dropped"] = self.dropped
                        if self.rate is not None:
                            arrays["rate"] = self.rate
                        np.savez(out, **arrays)
                    else:
                        self._write_csv(out)
                    out.flush()
                    os.fsync(out.fileno())
            os.replace(partial, path)
        except BaseException:
            try:
                os.unlink(partial)
            except OSError:
                pass
            raise

    def _write_csv(self, out: Any) -> None:
        header: list[str] = []
        columns: list[np.ndarray] = []
        formats: list[str] = []
        for name, titles in COLUMNS:
            values = getattr(self, name)
            if isinstance(titles, tuple):
                header.extend(titles)
                columns.extend(values[:, i] for i in range(3))
                formats.extend(["%.9g"] * 3)
            else:
                header.append(titles)
                columns.append(values)
                # Counts and flags as integers, times to the nanosecond.
                formats.append("%.9f" if values.dtype.kind == "f" else "%d")
        table = np.column_stack([np.asarray(c, dtype=np.float64) for c in columns]) if len(self) else np.empty((0, len(header)))
        out.write((",".join(header) + f"\n# dropped: {self.dropped}\n").encode())
        np.savetxt(out, table, delimiter=",", fmt=formats)


def _new_file_beside(path: str) -> tuple[int, str]:
    """A new, empty file in the directory of `path` (the same file system, so
    that it can replace `path` in one step), created as any new file is (the
    umask applies) and never over another; its descriptor and path."""
    directory, name = os.path.split(os.path.abspath(path))
    for attempt in itertools.count():
        partial = os.path.join(directory, f".{name}.{os.getpid()}.{attempt}.partial")
        try:
            return os.open(partial, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666), partial
        except FileExistsError:
            continue
    raise AssertionError("unreachable")
