"""Exchange calls of the request/response family against their floors, in one run.

For a small request with a small response, and with a 16 MiB response, times:

  floor: tuple only      exchange_floor.reply: a new (0, payload) of the same size, no SDK call
  floor: hand-written    exchange_floor.exchange: qvi_get_cash_pb_v2 called by hand
  c_sdk ...              py_qvi_get_cash_pb_v2 (plain) and py_qvi_get_cash (adapted), which
                         reach two stand-in functions of the same code
  ctypes                 qvi_get_cash_pb_v2 called through ctypes, the payload copied with
                         string_at

The stand-in answers with a programmed response and keeps no journal while timing.

    bench/build && .venv/bin/python bench/exchange.py
    .venv/bin/python bench/exchange.py --instructions   # small case, counted by callgrind

With --instructions each case runs alone under valgrind's callgrind, twice with different call
counts; the difference gives the instructions of one call, free of the machine's noise. An
empty call (the loop and the lambda alone) is subtracted from every case.
"""

import ctypes
import os
import re
import statistics
import subprocess
import sys
import timeit

import harness  # sets the paths

import c_sdk
import exchange_floor
import qvsdk_standin as sdk

REQUEST = b"account=A1;symbols=SHSE.600000,SZSE.000001"  # 42 bytes
SMALL, LARGE = 64, 16 << 20


def ctypes_exchange():
    lib = ctypes.PyDLL(sdk.LIBRARY)
    fn = lib.qvi_get_cash_pb_v2
    fn.restype = ctypes.c_int
    fn.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(ctypes.c_void_p),
                   ctypes.POINTER(ctypes.c_int)]
    string_at, byref, c_void_p, c_int = ctypes.string_at, ctypes.byref, ctypes.c_void_p, ctypes.c_int

    def call(req):
        res, res_len = c_void_p(), c_int()
        status = fn(req, len(req), byref(res), byref(res_len))
        return (status, string_at(res.value, res_len.value) if status == 0 else None)

    return call


def cases(size):
    """The cases, each answering (0, payload of `size` bytes)."""
    sdk.reset()
    sdk.journal_enabled(False)
    payload = b"x" * size
    for name in ("qvi_get_cash_pb_v2", "qvi_get_cash_pb"):
        sdk.set_response(name, payload)
    exchange_floor.prepare(size)
    via_ctypes = ctypes_exchange()
    plain, adapted = c_sdk.py_qvi_get_cash_pb_v2, c_sdk.py_qvi_get_cash
    floor_reply, floor_exchange = exchange_floor.reply, exchange_floor.exchange
    req, text = REQUEST, REQUEST.decode("ascii")
    out = [
        ("floor: tuple only", lambda: floor_reply(req)),
        ("floor: hand-written exchange", lambda: floor_exchange(req)),
        ("c_sdk plain", lambda: plain(req)),
        ("c_sdk plain, req by keyword", lambda: plain(req=req)),
        ("c_sdk adapted, bytes request", lambda: adapted(req)),
        ("c_sdk adapted, str request", lambda: adapted(text)),
        ("ctypes", lambda: via_ctypes(req)),
    ]
    for case, f in out:
        assert f() == (0, payload), case
    return out


def interleaved(cases, rounds):
    """Median seconds per call of each case, timed in turn round after round, so that the
    machine's drift spreads over all cases alike."""
    timers = []
    for _, f in cases:
        timer = timeit.Timer(f)
        number, _ = timer.autorange()
        timer.timeit(number)  # warm-up
        timers.append((timer, max(number // 4, 1)))
    samples = [[] for _ in cases]
    for _ in range(rounds):
        for (timer, number), times in zip(timers, samples):
            times.append(timer.timeit(number) / number)
    return [(case, statistics.median(times)) for (case, _), times in zip(cases, samples)]


def ratios_to_hand_written(rows):
    hand = dict(rows)["floor: hand-written exchange"]
    print("  ratio to the hand-written exchange: " + ", ".join(
        f"{case} {t / hand:.2f}" for case, t in rows if case.startswith(("c_sdk", "ctypes"))))


def timing():
    for title, size, rounds in [("small response (64 B)", SMALL, 31),
                                ("16 MiB response", LARGE, 15)]:
        rows = interleaved(cases(size), rounds)
        harness.table(f"{title}, ratio to the tuple-only floor", rows, "floor: tuple only")
        ratios_to_hand_written(rows)
    sdk.reset()


def run_alone(index, n):
    f = (cases(SMALL) + [("empty", lambda: None)])[index][1]
    for _ in range(n):
        f()


def collected(index, n):
    proc = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable,
         __file__, "--run", str(index), str(n)],
        capture_output=True, text=True, check=True,
        env=dict(os.environ, PYTHONHASHSEED="0"))  # the same dict probes in every run
    return int(re.search(r"Collected : (\d+)", proc.stderr).group(1))


def instructions(low=2000, high=10000):
    names = [case for case, _ in cases(SMALL)] + ["empty"]
    counts = [(collected(i, high) - collected(i, low)) / (high - low) for i in range(len(names))]
    empty = counts[-1]
    rows = [(case, count - empty) for case, count in zip(names[:-1], counts)]
    print("\nsmall response (64 B): instructions per call, the empty call subtracted")
    print(f"  {'case':<44} {'instr':>8} {'ratio':>8}")
    base = rows[0][1]
    for case, count in rows:
        print(f"  {case:<44} {count:>8.0f} {count / base:>8.2f}")
    ratios_to_hand_written(rows)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--run"]:
        run_alone(int(sys.argv[2]), int(sys.argv[3]))
    elif sys.argv[1:2] == ["--instructions"]:
        instructions()
    else:
        timing()
    print(f"\nPython {sys.version.split()[0]}")
