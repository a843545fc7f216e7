"""Market replay's event rate against the stand-in's own, in one run.

    .venv/bin/python bench/market_bench.py [--events 1000000] [--payload 64] [--rounds 9]
                                           [--file PATH]

The recording is made by the recorder in front of the stand-in: N events (a "tick" text and a
payload of `--payload` bytes) queued and delivered inside one recorded qvi_run. Then, in one
fresh process, round after round:

- the stand-in: the same N events queued with queue_event (not timed), then py_qvi_run, timed,
  delivering them to a callable that does nothing;
- market replay: timed from entering sdk.market(path) (mapping the file, checking every
  frame, indexing the answers and the stream) to the return of py_qvi_run, which delivers the N
  recorded events to the same callable.

Each round times both sides back to back; the target, market replay at 0.8 times the stand-in's
rate or more, is judged on the median of the rounds' ratios. The ratio of the least times is
printed too: on this shared machine a run's time varies by two to one between rounds (on both
sides in the same round), so the least of a few rounds is one lucky draw per side, rarely of the
same spell. The journal is off on both sides.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import textwrap

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST = os.path.join(ROOT, "standin", "host")

RECORD = """
import sys
import c_sdk
import qvsdk_standin as sdk

n, payload = int(sys.argv[1]), b"p" * int(sys.argv[2])
sdk.reset()
sdk.journal_enabled(False)
for _ in range(n):
    sdk.queue_event("tick", payload)
c_sdk.py_qvi_set_data_callback(lambda event, data: None)
c_sdk.py_qvi_run()
"""

MEASURE = """
import statistics, sys, time
import c_sdk
import qvsdk_standin as sdk

path, n, size, rounds = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
payload = b"p" * size


def nothing(event, data):
    pass


def standin():
    sdk.reset()
    sdk.journal_enabled(False)
    for _ in range(n):
        sdk.queue_event("tick", payload)
    c_sdk.py_qvi_set_data_callback(nothing)
    start = time.perf_counter()
    c_sdk.py_qvi_run()
    seconds = time.perf_counter() - start
    assert sdk.queued_events() == 0
    return seconds


def market():
    sdk.reset()
    sdk.journal_enabled(False)
    c_sdk.py_qvi_set_data_callback(nothing)
    start = time.perf_counter()
    with sdk.market(path) as m:
        c_sdk.py_qvi_run()
        seconds = time.perf_counter() - start
        assert m.events == n and m.remaining == 0, (m.events, m.remaining)
    return seconds


times = {"stand-in": [], "market": []}
for _ in range(rounds):
    times["stand-in"].append(standin())
    times["market"].append(market())
rates = {k: n / min(v) for k, v in times.items()}
# Each round measures both sides back to back: the machine's slow and fast spells (this one's
# run times vary by two to one between rounds, on both sides at once) cancel in a round's ratio.
paired = statistics.median(s / m for s, m in zip(times["stand-in"], times["market"]))
print(f"{n} events of {size} bytes, {rounds} rounds alternating")
print(f"{'':<32}{'least s':>9}{'median s':>10}{'events/s':>12}")
for name, label in (("stand-in", "stand-in: queued, qvi_run"),
                    ("market", "market replay: load + qvi_run")):
    print(f"{label:<32}{min(times[name]):>9.3f}{statistics.median(times[name]):>10.3f}"
          f"{rates[name]:>12.0f}")
print("rounds (s): " + "; ".join(f"{s:.3f} {m:.3f}" for s, m in zip(times["stand-in"], times["market"])))
print(f"market replay / stand-in rate, least times: {rates['market'] / rates['stand-in']:.2f}")
print(f"market replay / stand-in rate, median of the rounds' ratios: {paired:.2f} "
      "(target 0.80 or more)")
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--events", type=int, default=1_000_000)
    parser.add_argument("--payload", type=int, default=64)
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--file", help="an existing recording of --events events, or where to "
                        "make one")
    args = parser.parse_args()
    env = dict(os.environ, PYTHONPATH=HOST)
    tmp = None
    path = args.file
    if path is None:
        tmp = tempfile.TemporaryDirectory()
        path = os.path.join(tmp.name, "market.qvrec")
    if not os.path.exists(path):
        sys.path.insert(0, HOST)
        from qvsdk_standin import recording

        record_env = recording.environment(path, base=env.items())
        record_env.update(PYTHONPATH=HOST, QVSDK_RECORD_BUFFER=str(1 << 20))
        subprocess.run([sys.executable, "-c", textwrap.dedent(RECORD), str(args.events),
                        str(args.payload)], env=record_env, check=True)
        print(f"recorded {path}: {os.path.getsize(path) / 1e6:.0f} MB")
    subprocess.run([sys.executable, "-c", MEASURE, path, str(args.events), str(args.payload),
                    str(args.rounds)], env=env, check=True)
    if tmp is not None:
        tmp.cleanup()


if __name__ == "__main__":
    main()
