"""Handle rates: this module beside a pure-Python pyserial decoder.

  status frames     GetStylarStatus against `korvo-sim handle --rate R`:
                    good frames decoded per second and CPU time per frame,
                    beside a pyserial reader that finds, unstuffs, checks and
                    decodes the same frames
  frame cost        frames already waiting in the port (this process plays the
                    handle), so the time is the decoder's own
  status exchange   RequestStatus then Receive (a Python subclass receives the
                    values through its override), against `korvo-sim handle
                    --rate 0`, beside pyserial writing 0xDA and reading the
                    status message
"""

from __future__ import annotations

import argparse
import json
import struct
import time

import serial

import KorvoHardwareAPI as hw
from common import PtyPair, simulator, summary, table

FAILURES = (99, 2, 3)


# -- the frames, as a handle sends them ------------------------------------------------------


def stuff(body: bytes) -> bytes:
    return body.replace(b"\xdb", b"\xdb\xdd").replace(b"\xc0", b"\xdb\xdc")


def frame(counter: int) -> bytes:
    body = bytearray(17)
    body[0:2] = struct.pack("<H", counter & 0xFFFF)
    body[3] = 0x45
    body[4] = 0x42
    body[8:16] = struct.pack("<4h", 16384, -8192, 8192, 24576)
    body[16] = 200
    body.append((0xDA + sum(body)) & 0xFF)
    return b"\xda" + stuff(bytes(body)) + b"\xc0"


# -- the pure-Python decoder a user would write ----------------------------------------------------


class PySerialFrameReader:
    name = "pyserial decoder"

    def __init__(self, port: str) -> None:
        self.port = serial.Serial(port, 115200, timeout=2.0)

    def status(self) -> dict:
        read = self.port.read
        while read(1) != b"\xda":
            pass
        stuffed = bytearray()
        while (byte := read(1)) and byte != b"\xc0":
            stuffed += byte
        body = bytearray()
        escaped = False
        for b in stuffed:
            if escaped:
                escaped = False
                if b == 0xDC:
                    body.append(0xC0)
                    continue
                if b == 0xDD:
                    body.append(0xDB)
                    continue
            if b == 0xDB:
                escaped = True
                continue
            body.append(b)
        if len(body) < 18 or (0xDA + sum(body[:-1])) & 0xFF != body[-1]:
            return {"error_flag": 3}
        a, b, c, d = struct.unpack_from("<4h", body, 8)
        return {
            "device_id": body[4],
            "quaternion": [a / 32768, -b / 32768, -c / 32768, d / 32768],
            "error_flag": body[2],
            "hall_effect_sensor_level": body[3] & 0x1F,
            "buttons": body[3] >> 5,
            "battery_level": 3.0 + 0.005 * body[16],
        }

    def close(self) -> None:
        self.port.close()


class ModuleFrameReader:
    name = "KorvoHardwareAPI"

    def __init__(self, port: str) -> None:
        self.handle = hw.Handle(hw.SerialStream(port))

    def status(self) -> dict:
        return self.handle.GetStylarStatus()

    def close(self) -> None:
        del self.handle


READERS = [ModuleFrameReader, PySerialFrameReader]


def stream_rate(rate: int, seconds: float) -> dict[str, dict]:
    results = {}
    with simulator("handle", "--rate", str(rate)) as (port,):
        for kind in READERS:
            reader = kind(port)
            for _ in range(20):
                reader.status()  # settle on frame boundaries
            good = bad = 0
            cpu, start = time.process_time_ns(), time.perf_counter()
            while time.perf_counter() - start < seconds:
                if reader.status()["error_flag"] in FAILURES:
                    bad += 1
                else:
                    good += 1
            elapsed = time.perf_counter() - start
            results[reader.name] = {
                "frames_per_s": good / elapsed,
                "failed": bad,
                "cpu_us": (time.process_time_ns() - cpu) / max(good, 1) / 1e3,
            }
            reader.close()
    return results


def frame_cost(batch: int, batches: int) -> dict[str, dict]:
    pair = PtyPair()
    frames = b"".join(frame(i) for i in range(batch + 1))  # one spare: a frame is taken while more than 18 bytes wait
    results = {}
    for kind in READERS:
        reader = kind(pair.path)
        latencies, cpu = [], 0
        for round_ in range(batches + 2):
            pair.fill(frames)
            c0 = time.process_time_ns()
            for _ in range(batch):
                start = time.perf_counter_ns()
                status = reader.status()
                latencies.append(time.perf_counter_ns() - start)
                assert status["buttons"] == 2, status
            cpu += time.process_time_ns() - c0
            while pair.pending():
                reader.status()
            if round_ < 2:
                latencies.clear()
                cpu = 0
        results[reader.name] = summary(latencies, cpu)
        reader.close()
    pair.close()
    return results


class Recorder(hw.Handle):
    def OnReceiveHandleStatusMessage(self, device_id, quaternion, error_flag, hall, length, user_data):
        self.last = (device_id, quaternion, error_flag, hall, user_data)


def status_exchange(exchanges: int) -> dict[str, dict]:
    results = {}
    with simulator("handle", "--rate", "0") as (port,):
        handle = Recorder(hw.SerialStream(port))
        latencies = []
        cpu = time.process_time_ns()
        for _ in range(exchanges):
            start = time.perf_counter_ns()
            handle.RequestStatus()
            if handle.Receive() < 21:
                raise RuntimeError("status message missing")
            latencies.append(time.perf_counter_ns() - start)
        results["KorvoHardwareAPI"] = summary(latencies, time.process_time_ns() - cpu)
        del handle

        port_ = serial.Serial(port, 115200, timeout=2.0)
        latencies = []
        cpu = time.process_time_ns()
        for _ in range(exchanges):
            start = time.perf_counter_ns()
            port_.write(b"\xda")
            head = port_.read(22)
            if len(head) != 22 or head[0] != 0xDA:
                raise RuntimeError(f"bad status message {head!r}")
            device_id, error_flag, hall = struct.unpack_from("<HBB", head, 1)
            quaternion = list(struct.unpack_from("<4f", head, 5))
            user_data = list(port_.read(head[21]))
            latencies.append(time.perf_counter_ns() - start)
        results["pyserial"] = summary(latencies, time.process_time_ns() - cpu)
        port_.close()
    return results


def main(argv: list[str] | None = None) -> dict:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rate", type=int, default=1000, help="frames per second the simulator streams")
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--batch", type=int, default=150)
    parser.add_argument("--batches", type=int, default=60)
    parser.add_argument("--exchanges", type=int, default=5000)
    args = parser.parse_args(argv)

    streamed = stream_rate(args.rate, args.seconds)
    costs = frame_cost(args.batch, args.batches)
    exchanges = status_exchange(args.exchanges)
    print(table(f"Status frames from korvo-sim handle --rate {args.rate}", streamed, ["frames_per_s", "failed", "cpu_us"]))
    print()
    print(table("Decoding one frame already waiting", costs, ["p50_us", "p99_us", "mean_us", "cpu_us"]))
    print()
    print(table("RequestStatus + Receive against korvo-sim handle", exchanges, ["p50_us", "p99_us", "per_s", "cpu_us"]))
    return {"stream": streamed, "frame_cost": costs, "status_exchange": exchanges}


if __name__ == "__main__":
    print(json.dumps(main(), indent=2))
