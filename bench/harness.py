"""A small, careful timing harness shared by the benchmarks.

Each case is timed with timeit over many repetitions after a warm-up; the median per-call time
is reported, and ratios are taken between cases of the same run (the machines are shared and
noisy: absolute times drift, ratios taken side by side much less).
"""

import os
import statistics
import sys
import timeit

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "standin", "host"))
sys.path.insert(0, os.path.join(ROOT, "build", "bench"))


def per_call(fn, number=None, repeat=21, warmup=3):
    """Median seconds per call of the zero-argument callable `fn`."""
    timer = timeit.Timer(fn)
    if number is None:
        number, _ = timer.autorange()
        number = max(number, 1)
    for _ in range(warmup):
        timer.timeit(number)
    return statistics.median(timer.repeat(repeat, number)) / number


def table(title, rows, base):
    """Prints rows of (name, seconds per call) with their ratio to the row named `base`."""
    times = dict(rows)
    print(f"\n{title}")
    print(f"  {'case':<44} {'ns/call':>12} {'ratio':>8}")
    for name, t in rows:
        print(f"  {name:<44} {t * 1e9:>12.1f} {t / times[base]:>8.2f}")
