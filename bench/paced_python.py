"""The Python client of the paced-loop benchmark, in a process of its own so
that its processor time is its own. Speaks the protocol of paced_client.cpp:

    python paced_python.py PORT module|empty|back-to-back

  module        a fixed-rate loop of arm.end_effector_force through
                KorvoHardwareAPI (whichever copy is first on sys.path),
                sleeping to each tick's deadline with time.sleep
  empty         the same loop without the exchange: what the interpreter and
                the pacing cost on their own
  back-to-back  exchanges one after the other, no pacing (HZ is ignored)

"run N HZ" prints the process CPU time, N exchange latencies and (for the
paced modes) N-1 periods, in nanoseconds, on one line; "quit" ends.
"""

from __future__ import annotations

import sys
import time


def main() -> int:
    port, mode = sys.argv[1], sys.argv[2]
    exchange = None
    if mode != "empty":
        import KorvoHardwareAPI as hw

        stream = hw.SerialStream(port)
        arm = hw.Arvena(stream, 1.0)
        zero = [0.0, 0.0, 0.0]
        force = arm.end_effector_force

        def exchange():
            position, _ = force(zero)
            if position == zero:
                raise SystemExit("exchange failed")

    clock, cpu_clock, sleep = time.perf_counter_ns, time.process_time_ns, time.sleep
    for line in sys.stdin:
        words = line.split()
        if not words or words[0] != "run":
            break
        n, hz = int(words[1]), float(words[2])
        latencies, ticks = [0] * n, [0] * n
        period = int(1e9 / hz)
        cpu = cpu_clock()
        if mode == "back-to-back":
            for i in range(n):
                start = clock()
                exchange()
                latencies[i] = clock() - start
            periods = []
        else:
            next_tick = clock()
            for i in range(n):
                left = next_tick - clock()
                if left > 0:
                    sleep(left / 1e9)
                start = clock()
                ticks[i] = start
                if exchange is not None:
                    exchange()
                latencies[i] = clock() - start
                next_tick += period
                now = clock()
                if next_tick < now:
                    next_tick = now  # fell behind: no catching up
            periods = [b - a for a, b in zip(ticks, ticks[1:])]
        used = cpu_clock() - cpu
        print(used, *latencies, *periods, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
