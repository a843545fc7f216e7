"""Events per second through the event bridge, against its floor.

The stand-in delivers N queued events inside one qvi_poll to a Python callable that does
nothing (journal off). Compared in the same run with:
  - the floor: a C loop calling the same callable N times with prebuilt (str, bytes) arguments;
  - the stand-in alone: the same delivery to a C callback that only reads the text and copies
    the payload (the stand-in's queue handling and the memory traffic of the events, which any
    bridge sits behind).
Event names repeat (one name) or are all distinct.

    bench/build && .venv/bin/python bench/events.py [N]
"""

import statistics
import sys
import time

import harness  # noqa: F401  (puts the stand-in host package and the floors on sys.path)

import c_sdk
import events_floor
import qvsdk_standin as sdk

N = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
REPEAT = 15
PAYLOAD = bytes(range(64)) * 2  # 128 bytes, about a serialised tick


def nothing(event, data):
    pass


def queued(distinct):
    return lambda: events_floor.queue(b"tick", PAYLOAD, N, distinct)


def bridge(distinct):
    def prepare():
        c_sdk.py_qvi_set_data_callback(nothing)
        queued(distinct)()

    return prepare, c_sdk.qvi_poll


def standin_alone(distinct):
    def prepare():
        events_floor.silence()
        queued(distinct)()

    return prepare, c_sdk.qvi_poll


FLOOR = "floor: C loop, prebuilt arguments"
CASES = {
    "bridge, repeated names": bridge(False),
    "stand-in alone, repeated names": standin_alone(False),
    "bridge, distinct names": bridge(True),
    "stand-in alone, distinct names": standin_alone(True),
    FLOOR: (lambda: None, lambda: events_floor.call(nothing, "tick", PAYLOAD, N)),
}


def measure():
    """Median seconds per event of each case. The cases take turns within every repetition,
    so that the machine's drifts reach them all alike."""
    times = {name: [] for name in CASES}
    for rep in range(REPEAT + 2):
        for name, (prepare, deliver) in CASES.items():
            prepare()
            t0 = time.perf_counter()
            deliver()
            if rep >= 2:  # warm-up
                times[name].append((time.perf_counter() - t0) / N)
    return {name: statistics.median(t) for name, t in times.items()}


def main():
    sdk.reset()
    sdk.journal_enabled(False)
    rows = measure()
    sdk.reset()

    floor = rows[FLOOR]
    harness.table(f"events through the bridge (N={N}, payload {len(PAYLOAD)} bytes)",
                  list(rows.items()), FLOOR)
    print()
    for label in ("repeated names", "distinct names"):
        total = rows[f"bridge, {label}"]
        own = total - rows[f"stand-in alone, {label}"]
        print(f"  {label}: {1 / total / 1e6:.2f} M events/s through the bridge; "
              f"bridge ex stand-in / floor = {own / floor:.2f}")


if __name__ == "__main__":
    main()
