"""Per-call cost of the value-taking wrappers against a floor extension that does the least a
binding could (positional exact types, no keyword binding, success fixed at 0).

Three cases per function: the floor, c_sdk's own function (for a decorated one, the function
inside adapt_to_python3), and, where it is decorated, the bound attribute as the host package
calls it. The stand-in's journal is off, so the SDK side is a few stores.

    python bench/setup_wrappers.py                  # times (medians, noisy on a shared machine)
    python bench/setup_wrappers.py --instructions   # instructions per call, under callgrind
"""

import gc
import re
import subprocess
import sys
import tempfile

import harness

import c_sdk
import floor_setup
import qvsdk_standin

CASES = [
    ("py_qvi_smart_reorder", (b"SHSE.600000", 10.5, 100, 1, 1, 1, 3, 2, 30, 5, b"acct")),
    ("py_qvi_set_backtest_config",
     (b"2024-01-01", b"2024-12-31", 1e6, 0.0, 0.0003, 0.0, 0.0001, 0.1, 0.2, 1, 0, 1)),
    ("py_qvi_current", (b"SHSE.600000,SZSE.000001", b"price", True)),
    ("py_qvi_algo_order_batch", (b"\x0a\x04req", b"twap", b"{}")),
    ("py_qvi_set_serv_addr_v5", (b"127.0.0.1:7001", b"org", b"site")),
    ("py_qvi_set_max_wait_time", (30,)),
    ("py_qvi_use_dsproxy", ()),
]


def inner(fn):
    """The function an adapt_to_python3 callable wraps (the callable itself when plain)."""
    if type(fn).__name__ != "adapted_function":
        return fn
    return next(r for r in gc.get_referents(fn) if type(r).__name__ == "builtin_function_or_method")


def prepare():
    qvsdk_standin.reset()
    qvsdk_standin.journal_enabled(False)
    for sdk in ("qvi_current_pb", "qvi_algo_order_batch_pb"):
        qvsdk_standin.set_response(sdk, b"x" * 64)


def variants(name):
    public = getattr(c_sdk, name)
    own = inner(public)
    out = [("floor", getattr(floor_setup, name)), ("c_sdk function", own)]
    if own is not public:
        out.append(("c_sdk, through adapt_to_python3", public))
    return out


def times():
    for name, args in CASES:
        rows = [(label, harness.per_call(lambda fn=fn: fn(*args))) for label, fn in variants(name)]
        harness.table(name, rows, "floor")


def instructions(calls=20000):
    """Instructions per call: callgrind's total for `calls` calls less that for none."""

    def measure(case, variant, n):
        with tempfile.TemporaryDirectory() as tmp:
            out = subprocess.run(
                ["valgrind", "--tool=callgrind", f"--callgrind-out-file={tmp}/cg",
                 sys.executable, __file__, "--run", str(case), str(variant), str(n)],
                capture_output=True, text=True, check=True).stderr
        return int(re.search(r"Collected : (\d+)", out).group(1))

    for case, (name, _) in enumerate(CASES):
        print(f"\n{name}\n  {'case':<44} {'instr/call':>12} {'ratio':>8}")
        floor = None
        for variant, (label, _) in enumerate(variants(name)):
            per_call = (measure(case, variant, calls) - measure(case, variant, 0)) / calls
            floor = floor or per_call
            print(f"  {label:<44} {per_call:>12.0f} {per_call / floor:>8.2f}")


def run(case, variant, n):
    name, args = CASES[case]
    fn = variants(name)[variant][1]
    for _ in range(n):
        fn(*args)


if __name__ == "__main__":
    prepare()
    if sys.argv[1:2] == ["--run"]:
        run(*map(int, sys.argv[2:5]))
    elif sys.argv[1:2] == ["--instructions"]:
        instructions()
    else:
        times()
