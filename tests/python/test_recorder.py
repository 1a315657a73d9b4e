"""Recordings read by readers this project did not write (the mcap package's
reader with mcap-ros2-support's decoder, and rosbags' own reader): every tick
and frame there, equal to what the loop and the monitor report; each way a
recording can end; a path that cannot be written and a disk that fills up;
the taps the recorder reads; Recording.save(".mcap"), and korvo plot."""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path
from typing import Any

import numpy as np
import pytest

pytest.importorskip("rosbags")
pytest.importorskip("mcap_ros2")

from mcap.exceptions import EndOfFile  # noqa: E402
from mcap.reader import NonSeekingReader, make_reader  # noqa: E402
from mcap.records import Chunk  # noqa: E402
from mcap.stream_reader import StreamReader  # noqa: E402
from mcap_ros2.decoder import DecoderFactory  # noqa: E402
from rosbags.rosbag2 import Reader  # noqa: E402
from rosbags.typesys import Stores, get_typestore  # noqa: E402

import korvo  # noqa: E402
from korvo.ros import bag, messages  # noqa: E402
from korvo_sim import Simulator  # noqa: E402
from rig import DUMPS_STACKS, finish, wait_until  # noqa: E402

ARM_TOPICS = ["/arm/measured_js", "/arm/measured_cp", "/arm/measured_cv", "/arm/measured_cf", "/arm/servo_cf"]


@pytest.fixture
def devices():
    with Simulator("arm", "handle", "--rate", "200", "--buttons-hz", "20") as sim:
        yield sim.port("arm"), sim.port("handle")


def decoded(path: Path) -> dict[str, list]:
    """Every message of the MCAP at `path` by topic: (sequence, log time, decoded)."""
    mcap = path / f"{path.name}.mcap" if path.is_dir() else path
    out: dict[str, list] = {}
    with open(mcap, "rb") as f:
        for _, channel, message, value in make_reader(f, decoder_factories=[DecoderFactory()]).iter_decoded_messages(
                log_time_order=False):
            out.setdefault(channel.topic, []).append((message.sequence, message.log_time, value))
    return out


def vector(v) -> list[float]:
    return [v.x, v.y, v.z]


@pytest.mark.timeout(60)
def test_every_tick_and_frame_is_recorded_equal_to_what_the_loop_reports(devices, tmp_path):
    arm_port, handle_port = devices
    path = tmp_path / "run"
    servo = korvo.Servo(arm_port, realtime=False, max_force_step=1.0, ramp_time=0.01)
    monitor = korvo.HandleMonitor(handle_port)
    with servo.record(path, monitor=monitor) as recorder:
        monitor.start()
        servo.start()
        servo.force = (0.0, 0.0, 0.3)
        wait_until(lambda: servo.state.tick >= 600 and monitor.counts["frames"] >= 30)
        servo.stop()
        monitor.stop()
    loop = servo.recording()   # the program's own recording, independent of the recorder's
    frames = monitor.counts["frames"]
    assert recorder.ticks_lost == 0 and len(loop) == recorder.ticks and loop.dropped == 0

    got = decoded(path)
    for topic in ARM_TOPICS:
        assert [s for s, _, _ in got[topic]] == loop.tick.tolist(), topic
    position = np.array([vector(m.pose.position) for _, _, m in got["/arm/measured_cp"]])
    velocity = np.array([vector(m.twist.linear) for _, _, m in got["/arm/measured_cv"]])
    force = np.array([vector(m.wrench.force) for _, _, m in got["/arm/measured_cf"]])
    commanded = np.array([vector(m.wrench.force) for _, _, m in got["/arm/servo_cf"]])
    assert np.array_equal(position, loop.position) and np.array_equal(velocity, loop.velocity)
    assert np.array_equal(force, loop.force) and np.array_equal(commanded, loop.commanded)
    # The commanded force was sent, and held to the end unless a failed
    # exchange (a loaded machine's) let go of the arm near it: the ramp back
    # takes 10 ticks.
    assert np.isclose(force[:, 2], 0.3).any() and commanded[-1, 2] == pytest.approx(0.3)
    if loop.exchange_ok[-20:].all():
        assert force[-1, 2] == pytest.approx(0.3), (force[-20:, 2], loop.faults[-20:])
    # Stamps: one offset from the loop's clock, so their steps are its periods.
    stamps = np.array([t for _, t, _ in got["/arm/measured_cp"]])
    header = got["/arm/measured_cp"][5][2].header
    assert header.stamp.sec * 10**9 + header.stamp.nanosec == stamps[5] and header.frame_id == "arm_base"
    assert np.all(np.abs(np.diff(stamps) - loop.period[1:] * 1e9) <= 2)
    assert abs(stamps[0] / 1e9 - time.time()) < 60
    js = got["/arm/measured_js"][0][2]
    assert list(js.name) == ["joint_1", "joint_2", "joint_3"] and len(js.position) == 0 and len(js.velocity) == 0
    states = got["/arm/operating_state"]
    # As the loop told of its first tick (a loaded machine can fail that exchange).
    first = "ENABLED" if loop.exchange_ok[0] else "ENABLED, exchange failed"
    assert states[0][2].message == first and {kv.key for kv in states[0][2].values} >= {"faults", "tick"}
    last = {kv.key: kv.value for kv in got["/arm/statistics"][-1][2].status[0].values}
    assert int(last["ticks"]) == len(loop) and last["ticks_lost"] == "0"
    # Every good frame, numbered from 1, and the buttons as the frames had them.
    assert [s for s, _, _ in got["/handle/measured_cp"]] == list(range(1, frames + 1))
    joy = [m for _, _, m in got["/handle/buttons"]]
    assert all(len(m.buttons) == 3 and 0.0 <= m.axes[0] <= 1.0 for m in joy)
    assert 4.0 < got["/handle/battery"][0][2].voltage < 4.3

    # rosbags' own reader, through metadata.yaml.
    typestore = get_typestore(Stores.ROS2_KILTED)
    with Reader(path) as reader:
        counts = {c.topic: c.msgcount for c in reader.connections}
        assert all(counts[t] == len(loop) for t in ARM_TOPICS)
        assert counts["/handle/buttons"] == frames
        assert reader.duration > 0.5e9
        connection = next(c for c in reader.connections if c.topic == "/arm/measured_cf")
        assert connection.digest == typestore.hash_rihs01("geometry_msgs/msg/WrenchStamped")
        _, _, raw = next(reader.messages(connections=[connection]))
        assert typestore.deserialize_cdr(raw, connection.msgtype).wrench.force.z == force[0, 2]


def test_the_message_layer_names_types_and_hashes_as_ros_2_does():
    arm = messages.ArmMessages(namespace="/lab/left")
    assert arm.topics["/lab/left/measured_cp"] == "geometry_msgs/msg/PoseStamped"
    assert arm.frame_id == "lab_left_base"
    for store in (Stores.ROS2_JAZZY, Stores.ROS2_KILTED):
        other = get_typestore(store)
        for type in {**arm.topics, **messages.HandleMessages().topics}.values():
            assert messages.type_hash(type) == other.hash_rihs01(type)
    # The loop's state: on every change (a failed exchange, a fault), and once a second.
    n = 2500
    faults = np.zeros(n, dtype=np.uint32)
    faults[1000:1010] = 1
    ok = np.ones(n, dtype=bool)
    ok[500] = False
    ticks = {"tick": np.arange(n), "time": np.arange(n) * 1e-3, "faults": faults, "exchange_ok": ok,
             **{k: np.zeros((n, 3)) for k in ("position", "velocity", "force", "commanded")}}
    states = [(i.sequence, i.message.level, i.message.message)
              for i in arm.from_ticks(ticks, 10.0, messages.Clock(0)) if i.topic == arm.operating_state]
    assert states == [(0, 0, "ENABLED"), (500, 1, "ENABLED, exchange failed"), (501, 0, "ENABLED"),
                      (1000, 2, "FAULT: speed"), (1010, 0, "ENABLED"), (2010, 0, "ENABLED")]


def recording_script(path: Path, arm: str, body: str, chunk_seconds: float = 1.0) -> str:
    return DUMPS_STACKS + textwrap.dedent(f"""
        import os, signal, sys, time
        import korvo
        servo = korvo.Servo({arm!r}, realtime=False)
        recorder = servo.record({str(path)!r}, chunk_seconds={chunk_seconds})
        servo.start()
        while servo.state.tick < 300:
            time.sleep(0.01)
        print("recording", flush=True)
    """) + textwrap.dedent(body)


def complete(path: Path) -> tuple[int, list[int]]:
    """The recording at `path` is finished: metadata.yaml agrees with the
    MCAP's own summary. Returns the message count and the tick numbers."""
    with Reader(path) as reader:
        count = reader.message_count
    with open(path / f"{path.name}.mcap", "rb") as f:
        summary = make_reader(f).get_summary()
    assert summary is not None and summary.statistics.message_count == count
    ticks = [s for s, _, _ in decoded(path)["/arm/measured_cp"]]
    assert ticks == list(range(len(ticks)))
    return count, ticks


@pytest.mark.timeout(60)
@pytest.mark.parametrize("how", ["stop", "exception", "ctrl-c", "exit"])
def test_however_the_recording_ends_it_is_valid_and_complete(devices, tmp_path, how):
    arm, _ = devices
    path = tmp_path / "run"
    body = {
        "stop": "recorder.stop(); servo.stop()",
        "exception": "with recorder:\n    raise RuntimeError('the experiment failed')",
        "ctrl-c": "with recorder:\n    time.sleep(30)",
        "exit": "sys.exit(0)",
    }[how]
    child = subprocess.Popen([sys.executable, "-c", recording_script(path, arm, body)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "recording\n"
    if how == "ctrl-c":
        child.send_signal(signal.SIGINT)
    _, err = finish(child, 30)
    assert child.returncode != 0 if how in ("exception", "ctrl-c") else child.returncode == 0, err
    _, ticks = complete(path)
    assert len(ticks) >= 300
    if how == "exit":
        # The loop was stopped first: its every tick is in, the last statistics say so.
        last = decoded(path)["/arm/statistics"][-1][2].status[0].values
        assert {kv.key: kv.value for kv in last}["ticks"] == str(len(ticks))


@pytest.mark.timeout(60)
def test_a_killed_recording_is_readable_to_its_last_chunk_and_reindex_finishes_it(devices, tmp_path):
    arm, _ = devices
    path = tmp_path / "run"
    mcap = path / "run.mcap"
    # Killed once the writer has handed two chunks to the system.
    body = """
        while recorder.writer.chunks < 2:
            time.sleep(0.01)
        print("chunked", flush=True)
        time.sleep(30)
    """
    with subprocess.Popen([sys.executable, "-c", recording_script(path, arm, body, chunk_seconds=0.2)],
                          stdout=subprocess.PIPE, text=True) as child:
        assert child.stdout.readline() == "recording\n"
        assert child.stdout.readline() == "chunked\n"
        child.kill()
    assert not (path / "metadata.yaml").exists()
    ticks = []
    with open(mcap, "rb") as f:
        try:
            for _, channel, message in NonSeekingReader(f).iter_messages(log_time_order=False):
                if channel.topic == "/arm/measured_cp":
                    ticks.append(message.sequence)
        except EndOfFile:
            pass  # the chunk the writer was building when it was killed
    assert ticks == list(range(len(ticks))), "ticks missing inside the kept chunks"
    # Both chunks the writer counted are whole on disk, with the CRC they were
    # written with.
    whole = 0
    with open(mcap, "rb") as f:
        try:
            for record in StreamReader(f, emit_chunks=True, validate_crcs=True).records:
                whole += isinstance(record, Chunk)
        except EndOfFile:
            pass
    assert whole >= 2, f"{whole} whole chunks readable ({len(ticks)} ticks), 2 were written"
    done = subprocess.run([sys.executable, "-m", "korvo", "reindex", str(path)], capture_output=True, text=True,
                          timeout=30)
    assert done.returncode == 0, done.stderr
    _, kept = complete(path)
    assert kept == ticks
    again = subprocess.run([sys.executable, "-m", "korvo", "reindex", str(path)], capture_output=True, text=True,
                           timeout=30)
    assert "complete already" in again.stdout and complete(path)[1] == ticks


@pytest.mark.timeout(60)
@pytest.mark.parametrize("where", ["exists", "no-parent", "proc"])
def test_a_path_that_cannot_be_written_is_refused_before_the_loop_starts(devices, tmp_path, where):
    arm, _ = devices
    target = {"exists": tmp_path, "no-parent": tmp_path / "missing" / "run", "proc": Path("/proc/korvo-run")}[where]
    servo = korvo.Servo(arm, realtime=False)
    with pytest.raises(bag.BagError, match=str(target)):
        servo.record(target)
    assert not servo.running
    with pytest.raises(RuntimeError, match="not been started"):
        _ = servo.state
    del servo  # the port is the command's now
    done = subprocess.run([sys.executable, "-m", "korvo", "record", arm, "--output", str(target), "--seconds", "5"],
                          capture_output=True, text=True, timeout=30)
    assert done.returncode == 1 and done.stderr.startswith("korvo: ") and str(target) in done.stderr


@pytest.mark.root
@pytest.mark.timeout(120)
def test_a_full_disk_stops_the_recording_not_the_loop_and_keeps_it_valid(tmp_path):
    import private_dev

    report = private_dev.run(f"""
        import korvo
        from korvo.ros import bag
        disk = {str(tmp_path / "disk")!r}
        os.makedirs(disk)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=640k", "tmpfs", disk], check=True)
        arm, handle = sim("arm", "handle", "--rate", "200")
        servo = korvo.Servo(arm, realtime=False)
        monitor = korvo.HandleMonitor(handle)
        recorder = servo.record(disk + "/run", monitor=monitor, chunk_seconds=0.1)
        servo.start(); monitor.start()
        deadline = time.monotonic() + 60
        while recorder.error is None and time.monotonic() < deadline:
            time.sleep(0.05)
        at_error = servo.state.tick
        time.sleep(0.3)
        running, after = servo.running, servo.state.tick
        try:
            recorder.stop()
            raised = ""
        except bag.BagError as e:
            raised = str(e)
        servo.stop(); monitor.stop()
        with open(disk + "/run/run.mcap", "rb") as f:
            from mcap.reader import make_reader
            reader = make_reader(f)
            count = reader.get_summary().statistics.message_count
            ticks = [m.sequence for _, c, m in reader.iter_messages(log_time_order=False) if c.topic == "/arm/measured_cp"]
        report(error=str(recorder.error), raised=raised, running=running, at_error=at_error, after=after, count=count,
               ticks=len(ticks), consecutive=ticks == list(range(len(ticks))), metadata=os.path.exists(disk + "/run/metadata.yaml"))
    """)
    assert "the disk is full" in report["error"] and report["raised"] == report["error"]
    assert report["running"] and report["after"] > report["at_error"]   # the loop went on
    assert report["ticks"] > 0 and report["consecutive"] and report["count"] >= report["ticks"]
    assert report["metadata"]


def test_taps_from_python_are_independent_of_the_recording_and_limited_in_number(devices):
    arm, _ = devices
    with korvo.Servo(arm, realtime=False) as servo:
        with pytest.raises(ValueError):
            servo._open_tap(0)
        opening = servo.state.tick
        taps = [servo._open_tap(64), servo._open_tap(100000)]
        opened = servo.state.tick
        taps += [servo._open_tap(10), servo._open_tap(10)]
        with pytest.raises(RuntimeError, match="at most 4"):
            servo._open_tap(10)
        wait_until(lambda: servo.state.tick >= 200)
        small = taps[0].drain()
        taps[3].close()
        wait_until(lambda: servo.state.tick >= 300)
    big = taps[1].drain()
    loop = servo.recording()
    assert set(big) == {"tick", "time", "period", "exchange", "position", "velocity", "force", "commanded", "faults",
                        "exchange_ok", "dropped"}
    # Every tick from the one the tap opened at (the loop was running then),
    # by the loop's own count (the state it publishes may be a tick behind).
    since = loop.tick >= big["tick"][0]
    assert big["dropped"] == 0 and opening <= big["tick"][0] <= opened + 1, (opening, big["tick"][0], opened)
    assert np.array_equal(big["tick"], loop.tick[since]) and np.array_equal(big["position"], loop.position[since])
    assert len(small["tick"]) == 64 and small["dropped"] > 0
    assert not taps[3].open and taps[2].open


@pytest.fixture(scope="module")
def saved(tmp_path_factory) -> tuple[Any, Path]:
    """A short run's recording, and where it is saved in each format."""
    where = tmp_path_factory.mktemp("saved")
    with Simulator("arm") as sim, \
            korvo.Servo(sim.port("arm"), realtime=False, max_force_step=1.0, ramp_time=0.01) as servo:
        servo.force = (0.2, 0.0, 0.0)
        wait_until(lambda: servo.state.tick >= 400)
    rec = servo.recording()
    for name in ("run.mcap", "run.csv", "run.npz"):
        rec.save(where / name)
    return rec, where


def test_a_saved_recording_is_the_same_messages(saved):
    rec, where = saved
    got = decoded(where / "run.mcap")
    assert [s for s, _, _ in got["/arm/measured_cf"]] == rec.tick.tolist()
    assert np.array_equal([vector(m.wrench.force) for _, _, m in got["/arm/measured_cf"]], rec.force)
    stamps = np.array([t for _, t, _ in got["/arm/measured_cf"]])
    assert abs((stamps[0] - time.time_ns()) / 1e9 + time.monotonic() - (rec.started_at + rec.time[0])) < 1.0
    loaded = {name: __import__("korvo.plot").plot.load(where / name) for name in ("run.mcap", "run.npz")}
    assert np.array_equal(loaded["run.mcap"].force, loaded["run.npz"].force)
    assert loaded["run.mcap"].rate == loaded["run.npz"].rate == 1000.0


@pytest.mark.python_output
@pytest.mark.timeout(120)  # three plots, each a cold start of matplotlib
@pytest.mark.parametrize("name", ["run.mcap", "run.csv", "run.npz"])
def test_korvo_plot_draws_every_format(saved, tmp_path, name):
    _, where = saved
    shutil.copy(where / name, tmp_path / name)
    done = subprocess.run([sys.executable, "-m", "korvo", "plot", str(tmp_path / name)], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    import matplotlib.image

    # Beside the recording, by its name, when no --output is given.
    assert matplotlib.image.imread(tmp_path / "run.png").shape[:2] == (1000, 1200), name


@pytest.mark.timeout(60)
@pytest.mark.parametrize("end", ["seconds", signal.SIGTERM, signal.SIGHUP], ids=str)
def test_korvo_record_writes_a_complete_recording_until_its_time_or_a_signal(devices, tmp_path, end):
    arm, handle = devices
    path = tmp_path / "run"
    command = [sys.executable, "-m", "korvo", "record", arm, handle, "--output", str(path),
               "--seconds", "1" if end == "seconds" else "30"]
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as child:
        if end != "seconds":
            assert child.stdout.readline().startswith(f"recording {path}: ")
            child.send_signal(end)
        out, err = child.communicate(timeout=30)
    assert child.returncode == 0, err
    _, ticks = complete(path)
    assert f"wrote {path}: {len(ticks)} ticks (0 lost)" in out
    assert len(decoded(path)["/handle/buttons"]) > 0


@pytest.mark.parametrize("cut", ["inside a chunk", "inside its message indexes", "after its message indexes"])
def test_reindex_keeps_every_whole_chunk_wherever_the_file_was_cut(tmp_path, cut):
    n = 6000
    ticks = {"tick": np.arange(n), "time": np.arange(n) * 1e-3, "faults": np.zeros(n, dtype=np.uint32),
             "exchange_ok": np.ones(n, dtype=bool), **{k: np.random.default_rng(1).random((n, 3))
                                                       for k in ("position", "velocity", "force", "commanded")}}
    arm = messages.ArmMessages()
    writer = bag.BagWriter(tmp_path / "run", arm.topics, chunk_seconds=1.0)
    for at in range(0, n, 100):   # as the recorder hands them over: 100 ms of ticks at a time
        writer.write(arm.from_ticks({k: v[at:at + 100] for k, v in ticks.items()}, 0.0, messages.Clock(0)))
    writer.close()
    mcap = tmp_path / "run" / "run.mcap"
    with open(mcap, "rb") as f:
        chunks = make_reader(f).get_summary().chunk_indexes
    assert len(chunks) == 6
    third = chunks[2]
    at = {"inside a chunk": third.chunk_start_offset + third.chunk_length // 2,
          "inside its message indexes": third.chunk_start_offset + third.chunk_length + 20,
          "after its message indexes": third.chunk_start_offset + third.chunk_length + third.message_index_length}[cut]
    os.truncate(mcap, at)
    os.remove(tmp_path / "run" / "metadata.yaml")
    bag.finish(tmp_path / "run")
    last_whole = chunks[1] if cut == "inside a chunk" else third
    kept = last_whole.message_end_time // 1_000_000 + 1   # a tick a millisecond, from 0
    _, got = complete(tmp_path / "run")
    assert got == list(range(kept))
