"""One client of the servo benchmark, in a process of its own:

    python servo_client.py PORT native|python RATE [--workload]

  native    korvo.Servo, the native loop, at RATE
  python    a Python loop through KorvoHardwareAPI: sleep to 200 us before
            each tick, spin the rest, one end_effector_force per tick
  --workload  a thread beside the loop that allocates and calls gc.collect()
            every 100 ms, as a busy Python program does
  --normal-priority  the native loop without real-time priority
  --short-deadline   the native loop with an exchange deadline of 0.9 period
                     (the default is three)

Reads "run TICKS" lines on standard input; for each, runs the loop for TICKS
ticks and prints one JSON line: the tick-to-tick periods and exchange times
(seconds), the process CPU time spent, and the achieved rate. "quit" ends.
"""

from __future__ import annotations

import gc
import json
import sys
import threading
import time


def workload(stop: threading.Event) -> None:
    while not stop.is_set():
        junk = [{"i": i, "s": str(i)} for i in range(20000)]
        del junk
        gc.collect()
        stop.wait(0.1)


class Native:
    def __init__(self, port: str, rate: float, realtime: bool = True, exchange_timeout: float | None = None) -> None:
        import korvo

        self.servo = korvo.Servo(port, rate=rate, realtime=realtime, exchange_timeout=exchange_timeout)
        self.rate = rate

    def run(self, ticks: int) -> dict:
        # The loop runs only during its own turn: a loop left running between
        # turns would load the machine and the simulator while the other
        # configurations are measured.
        self.servo.start()
        self.servo.recording()
        cpu = time.process_time()
        start = self.servo.state.tick
        while self.servo.state.tick < start + ticks:
            time.sleep(0.01)
        used = time.process_time() - cpu
        self.servo.stop()
        rec = self.servo.recording()
        return {
            "periods": rec.period[1:].tolist(),
            "exchanges": rec.exchange.tolist(),
            "cpu": used,
            "ticks": len(rec),
            "failed": int((~rec.exchange_ok).sum()),
            "dropped": rec.dropped,
            "realtime": self.servo.realtime,
        }

    def close(self) -> None:
        self.servo.stop()


class PythonLoop:
    SPIN = 200e-6

    def __init__(self, port: str, rate: float) -> None:
        import KorvoHardwareAPI as hardware

        self.arm = hardware.Arvena(hardware.SerialStream(port), 0.05)
        self.period = 1.0 / rate

    def run(self, ticks: int) -> dict:
        exchange, zero, clock, sleep = self.arm.end_effector_force, [0.0, 0.0, 0.0], time.perf_counter, time.sleep
        starts, exchanges, failed = [0.0] * ticks, [0.0] * ticks, 0
        cpu = time.process_time()
        next_tick = clock()
        for i in range(ticks):
            left = next_tick - clock()
            if left > self.SPIN:
                sleep(left - self.SPIN)
            while clock() < next_tick:
                pass
            start = clock()
            starts[i] = start
            position, _ = exchange(zero)
            exchanges[i] = clock() - start
            failed += position == zero
            next_tick += self.period
            if next_tick < clock():
                next_tick = clock()
        used = time.process_time() - cpu
        return {
            "periods": [b - a for a, b in zip(starts, starts[1:])],
            "exchanges": exchanges,
            "cpu": used,
            "ticks": ticks,
            "failed": failed,
            "dropped": 0,
            "realtime": False,
        }

    def close(self) -> None:
        pass


def main() -> int:
    port, kind, rate = sys.argv[1], sys.argv[2], float(sys.argv[3])
    timeout = None
    if "--short-deadline" in sys.argv:
        timeout = 0.9 / rate
    if kind == "native":
        loop = Native(port, rate, "--normal-priority" not in sys.argv, timeout)
    else:
        loop = PythonLoop(port, rate)
    try:
        for line in sys.stdin:
            words = line.split()
            if not words or words[0] != "run":
                break
            # The workload, like the loop, runs only during this
            # configuration's turn.
            stop = threading.Event()
            worker = threading.Thread(target=workload, args=(stop,), daemon=True)
            if "--workload" in sys.argv:
                worker.start()
            try:
                result = loop.run(int(words[1]))
            finally:
                stop.set()
                if worker.is_alive():
                    worker.join()
            print(json.dumps(result), flush=True)
    finally:
        loop.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
