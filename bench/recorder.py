"""The streaming recorder: what it keeps, what it costs, what it does to the loop.

Endurance: korvo.Servo at 1 kHz with a korvo.HandleMonitor on a handle
streaming 100 frames/s, recorded by servo.record() for 10 minutes (and at 4
kHz for 60 s): ticks lost (goal 0), the recorder thread's processor time per
tick, MCAP bytes per minute, and the loop's period p99 and overruns.

Side by side: the same setup with and without the recorder, taking turns
(each turn a fresh process against its own korvo-sim), so that drift of
the machine is shared; periods pooled per configuration, with the ratio of
the p99s (goal at most 1.05) and the overruns (goal: with at most without
+ 1 per 2000 ticks).

    ./dev.sh bench recorder                                   # or:
    python bench/recorder.py --minutes 10 --turns 6 --turn-seconds 30
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

CHILD = """
import json, os, sys, time
import numpy as np
import korvo
from korvo_sim import Simulator

rate, seconds, record = float(sys.argv[1]), float(sys.argv[2]), sys.argv[3]
with Simulator("--realtime", "60", "arm", "handle", "--rate", "100") as sim:
    servo = korvo.Servo(sim.port("arm"), rate=rate)
    monitor = korvo.HandleMonitor(sim.port("handle"))
    recorder = servo.record(record, monitor=monitor) if record != "-" else None
    monitor.start()
    servo.start()
    time.sleep(0.5)
    servo.recording()
    servo.reset_stats()
    if recorder is not None:
        clock = time.pthread_getcpuclockid(recorder._thread.ident)
        cpu0, ticks0, lost0 = time.clock_gettime(clock), recorder.ticks, recorder.ticks_lost
    periods, end = [], time.monotonic() + seconds
    while time.monotonic() < end:
        time.sleep(min(2.0, max(0.0, end - time.monotonic())))
        periods.append(servo.recording().period)
        if recorder is not None and recorder.error is not None:
            break
    stats = servo.stats
    out = {"ticks": stats.ticks, "overruns": stats.overruns, "failed": stats.failed_exchanges, "realtime": servo.realtime}
    if recorder is not None:
        cpu = time.clock_gettime(clock) - cpu0
        written = recorder.ticks - ticks0
    servo.stop()
    monitor.stop()
    if recorder is not None:
        recorder.stop()
        size = sum(f.stat().st_size for f in __import__("pathlib").Path(record).iterdir())
        out.update(recorder_cpu_us_per_tick=cpu / max(written, 1) * 1e6, ticks_recorded=recorder.ticks,
                   ticks_lost=recorder.ticks_lost, frames=recorder.frames, frames_lost=recorder.frames_lost,
                   longest_pause_ms=recorder.longest_pause * 1e3,
                   bytes=size, bytes_per_minute=size / (seconds + 0.5) * 60)
    joined = np.concatenate(periods)
    out["periods_us"] = np.round(joined[joined > 0] * 1e6, 1).tolist()
    print(json.dumps(out))
"""


def child(rate: float, seconds: float, record: str) -> dict:
    done = subprocess.run([sys.executable, "-c", CHILD, str(rate), str(seconds), record], capture_output=True, text=True,
                          timeout=seconds + 120)
    if done.returncode != 0:
        raise RuntimeError(done.stderr)
    return json.loads(done.stdout.strip().splitlines()[-1])


def figures(periods: list[float], nominal_us: float) -> dict:
    import numpy as np

    p = np.asarray(periods)
    return {
        "ticks": len(p),
        "period_p50_us": float(np.percentile(p, 50)),
        "period_p99_us": float(np.percentile(p, 99)),
        "period_p999_us": float(np.percentile(p, 99.9)),
        "period_max_us": float(p.max()),
        "overruns": int(np.sum(p > 1.5 * nominal_us)),
    }


def endurance(rate: float, seconds: float, where: Path) -> dict:
    path = where / f"endurance-{rate:.0f}"
    r = child(rate, seconds, str(path))
    shutil.rmtree(path, ignore_errors=True)
    f = figures(r.pop("periods_us"), 1e6 / rate)
    return {**{k: v for k, v in r.items()}, **f}


def side_by_side(rate: float, turns: int, seconds: float, where: Path) -> dict:
    pooled: dict[str, list[float]] = {"with": [], "without": []}
    for turn in range(turns):
        for name in ("with", "without") if turn % 2 == 0 else ("without", "with"):
            path = where / f"turn-{rate:.0f}-{turn}"
            r = child(rate, seconds, str(path) if name == "with" else "-")
            shutil.rmtree(path, ignore_errors=True)
            pooled[name] += r["periods_us"]
    nominal = 1e6 / rate
    out = {name: figures(p, nominal) for name, p in pooled.items()}
    w, wo = out["with"], out["without"]
    out["p99_ratio"] = w["period_p99_us"] / wo["period_p99_us"]
    out["overrun_allowance"] = wo["overruns"] + w["ticks"] / 2000
    return out


def main(argv: list[str] | None = None) -> dict:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--minutes", type=float, default=10.0, help="the 1 kHz endurance recording")
    parser.add_argument("--fast-seconds", type=float, default=60.0, help="the 4 kHz endurance recording")
    parser.add_argument("--turns", type=int, default=6, help="turns of each configuration side by side")
    parser.add_argument("--turn-seconds", type=float, default=30.0)
    args = parser.parse_args(argv)
    where = Path(tempfile.mkdtemp(prefix="korvo-bench-recorder-"))
    results: dict = {}
    try:
        for rate, seconds in ((1000.0, args.minutes * 60), (4000.0, args.fast_seconds)):
            started = time.monotonic()
            e = endurance(rate, seconds, where)
            s = side_by_side(rate, args.turns, args.turn_seconds * (1 if rate == 1000.0 else 0.5), where)
            results[f"{rate / 1000:.0f} kHz"] = {"endurance": e, "side_by_side": s, "wall_s": time.monotonic() - started}
            report(rate, seconds, e, s)
    finally:
        shutil.rmtree(where, ignore_errors=True)
    return results


def report(rate: float, seconds: float, e: dict, s: dict) -> None:
    print(f"\n{rate / 1000:.0f} kHz, handle at 100 frames/s, recorded for {seconds:.0f} s (real-time priority: {e['realtime']})")
    print(f"  ticks {e['ticks_recorded']} recorded, {e['ticks_lost']} lost (goal 0); handle frames {e['frames']}, "
          f"{e['frames_lost']} lost")
    print(f"  recorder thread CPU {e['recorder_cpu_us_per_tick']:.1f} us per tick; "
          f"{e['bytes_per_minute'] / 1e6:.2f} MB per minute; longest time between two drains "
          f"{e['longest_pause_ms']:.0f} ms")
    print(f"  loop period p50 {e['period_p50_us']:.0f} us, p99 {e['period_p99_us']:.0f} us, max {e['period_max_us']:.0f} us, "
          f"{e['overruns']} overruns in {e['ticks']} ticks")
    print(f"  side by side, {s['with']['ticks']} + {s['without']['ticks']} ticks in turns:")
    for name in ("with", "without"):
        f = s[name]
        print(f"    {name:8} recorder: p50 {f['period_p50_us']:7.1f} us  p99 {f['period_p99_us']:7.1f} us  "
              f"p99.9 {f['period_p999_us']:7.1f} us  overruns {f['overruns']}")
    print(f"    p99 with / without = {s['p99_ratio']:.3f} (goal <= 1.05); overruns with {s['with']['overruns']} against "
          f"without + 1 per 2000 = {s['overrun_allowance']:.1f}")


if __name__ == "__main__":
    sys.path.insert(0, str(HERE))
    os.environ.setdefault("PYTHONUNBUFFERED", "1")
    print(json.dumps(main(sys.argv[1:]), indent=2, default=float)[:4000])
