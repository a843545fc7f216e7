"""Events per second through the event bridge, against its floor.

The stand-in delivers N queued events inside one qvi_poll to a Python callable that does
nothing (journal off). Compared in the same run with:
  - the floor: a C loop calling the same callable N times with prebuilt (str, bytes) arguments;
  - the stand-in alone: the same delivery to a C callback that does nothing (its own queue
    handling, which any bridge sits behind).
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


def per_event(deliver, prepare):
    """Median seconds per event of deliver(), each run after an untimed prepare()."""
    times = []
    for _ in range(REPEAT + 2):
        prepare()
        t0 = time.perf_counter()
        deliver()
        times.append((time.perf_counter() - t0) / N)
    return statistics.median(times[2:])


def queued(distinct):
    return lambda: events_floor.queue(b"tick", PAYLOAD, N, distinct)


def main():
    sdk.reset()
    sdk.journal_enabled(False)
    rows = {}
    for label, distinct in (("repeated names", False), ("distinct names", True)):
        c_sdk.py_qvi_set_data_callback(nothing)
        rows[f"bridge, {label}"] = per_event(c_sdk.qvi_poll, queued(distinct))
        events_floor.silence()
        rows[f"stand-in alone, {label}"] = per_event(c_sdk.qvi_poll, queued(distinct))
    rows["floor: C loop, prebuilt arguments"] = per_event(
        lambda: events_floor.call(nothing, "tick", PAYLOAD, N), lambda: None)
    sdk.reset()

    floor = rows["floor: C loop, prebuilt arguments"]
    harness.table(f"events through the bridge (N={N}, payload {len(PAYLOAD)} bytes)",
                  list(rows.items()), "floor: C loop, prebuilt arguments")
    print()
    for label in ("repeated names", "distinct names"):
        bridge = rows[f"bridge, {label}"]
        own = bridge - rows[f"stand-in alone, {label}"]
        print(f"  {label}: {1 / bridge / 1e6:.2f} M events/s through the bridge; "
              f"bridge ex stand-in / floor = {own / floor:.2f}")


if __name__ == "__main__":
    main()
