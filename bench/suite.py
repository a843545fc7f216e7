"""The benchmark suite: c_sdk side by side with its floors and its peers, in one table.

    bench/run [--no-instructions] [--only NAME ...] [--rounds N]

Each comparison runs in a fresh process of its own (the parent only collects and prints):

  time          every case is a statement run in timeit's loop, so that its call site is the
                interpreter's own bytecode; each is calibrated to about 5 ms a sample, warmed
                up, then sampled round after round with the cases taking turns (rotated each
                round), so that the machine's drifts reach them all alike. Reported: the median
                time a call and the median over rounds of the ratio to the comparison's base,
                taken within each round.
  instructions  the same worker under valgrind's callgrind, counting only between the floor
                extension's client requests: N and 6N calls of each case, and
                (count(6N) - count(N)) / 5N instructions a call, free of the machine's noise
                (the hash seed is fixed so that dict probes repeat).

Events are timed per event: N queued events delivered inside one qvi_poll, the queueing not
counted. Every number includes the loop of the measurement itself (an empty statement costs
about 7 ns and 25 instructions): it is the same in every case of a comparison.
"""

import argparse
import gc
import glob
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time
import timeit

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "bench")
HOST = os.path.join(ROOT, "standin", "host")
for path in (os.path.join(ROOT, "tests"), os.path.join(ROOT, "bench", "peers"), BUILD, HOST):
    sys.path.insert(0, path)
if os.environ.get("BENCH_UNSTRIPPED"):
    # Profiles name c_sdk's functions: the build tree's module still has its symbols (the
    # installed one is stripped); it finds the installed stand-in SDK through LD_LIBRARY_PATH.
    sys.path.insert(0, os.path.join(ROOT, "build", "release"))

REQUEST = b"account=A1;symbols=SHSE.600000,SZSE.000001"  # 42 bytes
RESPONSE = 64
PAYLOAD = bytes(range(64)) * 2  # an event's payload, about a serialised tick
CONFIG = (b"2024-01-01", b"2024-12-31", 1e6, 0.0, 0.0003, 0.0, 0.0001, 0.1, 0.2, 1, 0, 1)
SAMPLE_SECONDS = 0.002


# ---- what a comparison is made of ----


class Stmt:
    """A statement, timed in timeit's loop over the comparison's namespace."""

    def __init__(self, label, stmt):
        self.label, self.stmt = label, stmt


class Events:
    """`make(n)` prepares n events (not timed) and returns what delivers them."""

    def __init__(self, label, make, n=5000):
        self.label, self.make, self.n = label, make, n


class Once:
    """One `import c_sdk` in a fresh interpreter, after the host package and `before`."""

    def __init__(self, label, before=""):
        self.label, self.before = label, before

    def sample(self):
        script = IMPORT_SCRIPT.format(host=HOST, before=self.before)
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                             check=True)
        return float(out.stdout)


class Sampled:
    """A case that measures itself: `take()` returns seconds a call (or a frame); a sample is
    the least of `best_of` takes."""

    def __init__(self, label, take, best_of=3):
        self.label, self.take, self.best_of = label, take, best_of

    def sample(self):
        return min(self.take() for _ in range(self.best_of))


class Group:
    """Cases measured side by side, with ratios to `base`; `targets` are (case, reference,
    limit) with the ratio case/reference expected at or below limit."""

    def __init__(self, title, base, cases, env=None, targets=(), calls=2000, prepare=None,
                 derived=(), rounds=1):
        self.title, self.base, self.cases, self.derived = title, base, cases, list(derived)
        self.rounds = rounds  # times the usual number of rounds
        self.env, self.targets, self.calls = env or {}, list(targets), calls
        self.prepare = prepare or (lambda: None)


COMPARISONS = {}


def comparison(fn):
    COMPARISONS[fn.__name__] = fn
    return fn


def standin(responses=(), size=RESPONSE, status=None):
    import qvsdk_standin as sdk

    sdk.reset()
    sdk.journal_enabled(False)
    for name in responses:
        sdk.set_response(name, b"x" * size)
        if status is not None:
            sdk.set_result(name, status)
    return sdk


def exchange_env():
    import _operator

    import c_sdk
    import cy_peer
    import floor
    import foreign
    import nb_peer
    import pb_peer
    import qvsdk_standin as sdk

    return {
        "req": REQUEST, "req_ba": bytearray(REQUEST), "text": REQUEST.decode("ascii"),
        "is_": _operator.is_, "noop": floor.noop, "R": floor.exchange,
        "plain": c_sdk.py_qvi_get_cash_pb_v2, "adapted": c_sdk.py_qvi_get_cash,
        "cy_plain": cy_peer.py_qvi_get_cash_pb_v2, "cy_adapted": cy_peer.py_qvi_get_cash,
        "ctypes_": foreign.via_ctypes(sdk.LIBRARY), "cffi_abi": foreign.via_cffi_abi(sdk.LIBRARY),
        "cffi_api": foreign.via_cffi_api(), "nanobind": nb_peer.py_qvi_get_cash_pb_v2,
        "pybind11": pb_peer.py_qvi_get_cash_pb_v2,
    }


EXCHANGED = ("qvi_get_cash_pb_v2", "qvi_get_cash_pb")


# ---- the comparisons ----


@comparison
def exchange():
    """The exchange call: every way to make it, against R."""
    env = exchange_env()
    ours = [
        ("c_sdk plain, bytes", "plain(req)", "cy_plain(req)"),
        ("c_sdk plain, bytearray", "plain(req_ba)", "cy_plain(req_ba)"),
        ("c_sdk plain, req=", "plain(req=req)", "cy_plain(req=req)"),
        ("c_sdk adapted, bytes", "adapted(req)", "cy_adapted(req)"),
        ("c_sdk adapted, bytearray", "adapted(req_ba)", "cy_adapted(req_ba)"),
        ("c_sdk adapted, str", "adapted(text)", "cy_adapted(text)"),
        ("c_sdk adapted, req=", "adapted(req=req)", "cy_adapted(req=req)"),
    ]
    cases = [
        Stmt("the measuring loop alone (pass)", "pass"),
        Stmt("floor: _operator.is_(a, b)", "is_(req, req)"),
        Stmt("floor: no-op METH_FASTCALL", "noop(req)"),
        Stmt("R: hand-written exchange", "R(req)"),
    ]
    targets = []
    for label, stmt, cy_stmt in ours:
        cy_label = label.replace("c_sdk", "Cython")
        cases += [Stmt(label, stmt), Stmt(cy_label, cy_stmt)]
        # R takes exact bytes only: it neither pins a bytearray nor encodes a str.
        if label.endswith(("bytes", "req=")):
            targets.append((label, "R: hand-written exchange", 1.10))
        targets.append((label, cy_label, 1.00))
    for peer in ("cffi_api", "cffi_abi", "ctypes_", "nanobind", "pybind11"):
        cases.append(Stmt(f"{peer.rstrip('_').replace('_', ' ')}, bytes", f"{peer}(req)"))
    targets.append(("c_sdk plain, bytes", "ctypes, bytes", 0.10))  # 10 times as fast
    return [Group("exchange call, 64-byte response", "R: hand-written exchange", cases, env,
                  targets, prepare=lambda: standin(EXCHANGED))]


@comparison
def shapes():
    """Command and fetch calls, and the error paths."""
    import c_sdk
    import cy_peer
    import floor

    env = {"req": REQUEST, "floor": floor, "c_sdk": c_sdk, "cy": cy_peer}
    commands = Group("command and fetch calls", "floor: hand-written command", [
        Stmt("floor: hand-written command", "floor.command(req)"),
        Stmt("c_sdk command, plain", "c_sdk.py_qvi_log(req)"),
        Stmt("c_sdk command, adapted", "c_sdk.py_qvi_cancel_order(req)"),
        Stmt("floor: hand-written fetch", "floor.fetch()"),
        Stmt("c_sdk fetch", "c_sdk.py_qvi_get_accounts()"),
    ], env, [("c_sdk command, plain", "floor: hand-written command", 1.10),
             ("c_sdk fetch", "floor: hand-written fetch", 1.10)],
        prepare=lambda: standin(("qvi_get_account_info_pb",)))
    rejected = "try:\n    {}(None)\nexcept TypeError:\n    pass"
    errors = Group("error paths", "R: failing status", [
        Stmt("R: failing status", "floor.exchange(req)"),
        Stmt("c_sdk plain, failing status", "c_sdk.py_qvi_get_cash_pb_v2(req)"),
        Stmt("Cython plain, failing status", "cy.py_qvi_get_cash_pb_v2(req)"),
        Stmt("c_sdk adapted, failing status", "c_sdk.py_qvi_get_cash(req)"),
        Stmt("Cython adapted, failing status", "cy.py_qvi_get_cash(req)"),
        Stmt("R: rejected argument (None)", rejected.format("floor.exchange")),
        Stmt("c_sdk plain, rejected argument", rejected.format("c_sdk.py_qvi_get_cash_pb_v2")),
        Stmt("Cython plain, rejected argument", rejected.format("cy.py_qvi_get_cash_pb_v2")),
    ], env, [("c_sdk plain, failing status", "R: failing status", 1.10),
             ("c_sdk plain, failing status", "Cython plain, failing status", 1.00),
             ("c_sdk adapted, failing status", "Cython adapted, failing status", 1.00),
             ("c_sdk plain, rejected argument", "Cython plain, rejected argument", 1.00)],
        prepare=lambda: standin(EXCHANGED, status=1))
    return [commands, errors]


SIZES = [0, 16, 512, 4096, 65536, 16 << 20]


@comparison
def sizes():
    """Responses of growing size: against R and, for the largest, a plain memcpy."""
    import c_sdk
    import cy_peer
    import floor

    env = {"req": REQUEST, "copy": floor.copy, "copy_new": floor.copy_new, "R": floor.exchange,
           "plain": c_sdk.py_qvi_get_cash_pb_v2, "cy": cy_peer.py_qvi_get_cash_pb_v2}
    groups = []
    for size in SIZES:
        big = size >= 1 << 20
        base = "memcpy, same size" if big else "R: hand-written exchange"
        label = f"{size >> 20} MiB" if big else f"{size} B"
        targets = [("c_sdk plain", base, 1.10)]
        if size <= 4096:  # beyond, the copy is all (the same copy for every binding)
            targets.append(("c_sdk plain", "Cython plain", 1.00))

        def prepare(size=size):
            standin(("qvi_get_cash_pb_v2",), size)
            floor.prepare(size)

        groups.append(Group(f"response of {label}", base, [
            Stmt("memcpy, same size", "copy()"),
            Stmt("new bytes, same size", "copy_new()"),
            Stmt("R: hand-written exchange", "R(req)"),
            Stmt("c_sdk plain", "plain(req)"),
            Stmt("Cython plain", "cy(req)"),
        ], env, targets, prepare=prepare,
            # Copies of 16 MiB contend for the memory bus with the machine's other work: many
            # more rounds, so that the median ratio settles.
            calls=10 if big else 2000, rounds=4 if big else 1))
    return groups


@comparison
def setup():
    """The 12-argument call and py_qvi_current, against hand-written equivalents."""
    import c_sdk
    import cy_peer
    import floor

    env = {f"a{i}": v for i, v in enumerate(CONFIG)}
    env.update(s=b"SHSE.600000,SZSE.000001", fl=b"price", t=True)
    callables = [
        ("floor: hand-written", floor.set_backtest_config, floor.current),
        ("c_sdk, as bound (adapted)", c_sdk.py_qvi_set_backtest_config, c_sdk.py_qvi_current),
        ("c_sdk, the function inside", inner(c_sdk.py_qvi_set_backtest_config),
         inner(c_sdk.py_qvi_current)),
        ("Cython, adapted", cy_peer.py_qvi_set_backtest_config, cy_peer.py_qvi_current),
    ]
    args = ", ".join(f"a{i}" for i in range(len(CONFIG)))
    config, current = [], []
    for i, (label, config_fn, current_fn) in enumerate(callables):
        env[f"config{i}"], env[f"current{i}"] = config_fn, current_fn
        config.append(Stmt(label, f"config{i}({args})"))
        current.append(Stmt(label, f"current{i}(s, fl, t)"))
    targets = [("c_sdk, as bound (adapted)", "floor: hand-written", 1.15),
               ("c_sdk, as bound (adapted)", "Cython, adapted", 1.00)]
    return [Group("py_qvi_set_backtest_config, 12 arguments", "floor: hand-written", config, env,
                  targets, prepare=standin),
            Group("py_qvi_current", "floor: hand-written", current, env, targets,
                  prepare=lambda: standin(("qvi_current_pb",)))]


def inner(fn):
    """The function an adapt_to_python3 callable wraps."""
    return next(r for r in gc.get_referents(fn) if type(r).__name__ == "builtin_function_or_method")


@comparison
def bridge():
    """Events through the bridge, against a loop that calls the same callable."""
    from collections import deque

    import c_sdk
    import cy_peer
    import floor
    import nb_peer
    import pb_peer

    def nothing(event, data):
        pass

    def through(register, distinct):
        def make(n):
            register(nothing)
            floor.queue(b"tick", PAYLOAD, n, distinct)
            return c_sdk.qvi_poll

        return make

    def alone(distinct):
        def make(n):
            floor.silence()
            floor.queue(b"tick", PAYLOAD, n, distinct)
            return c_sdk.qvi_poll

        return make

    def deque_map(n):
        names, payloads = ["tick"] * n, [PAYLOAD] * n
        return lambda: deque(map(nothing, names, payloads), maxlen=0)

    def c_loop(n):
        return lambda: floor.call(nothing, "tick", PAYLOAD, n)

    def least(distinct):
        return through(floor.bridge, distinct)

    base = "floor: deque(map(cb, A, B), maxlen=0)"
    cases = [Events(base, deque_map), Events("floor: C loop, prebuilt arguments", c_loop)]
    peers = [("c_sdk", c_sdk), ("Cython", cy_peer), ("nanobind", nb_peer), ("pybind11", pb_peer)]
    for names, distinct in (("repeated names", False), ("distinct names", True)):
        cases.append(Events(f"floor: the least bridge, {names}", least(distinct)))
        for label, module in peers:
            cases.append(Events(f"{label}, {names}", through(module.py_qvi_set_data_callback,
                                                              distinct)))
        cases.append(Events(f"stand-in alone, {names}", alone(distinct)))
    # What a bridge adds to the SDK's own delivery: the stand-in's share (its queue, its
    # strings) taken out, round by round.
    derived = [(f"{label}, {names}, less the stand-in's own", f"{label}, {names}",
                f"stand-in alone, {names}")
               for names in ("repeated names", "distinct names")
               for label in ["floor: the least bridge"] + [label for label, _ in peers]]
    own = ", less the stand-in's own"
    return [Group(f"events through the bridge ({len(PAYLOAD)}-byte payload), per event", base,
                  cases, derived=derived, prepare=standin,
                  targets=[(f"c_sdk, repeated names{own}", base, 1.50),
                           ("c_sdk, repeated names", "Cython, repeated names", 1.00),
                           ("c_sdk, distinct names", "Cython, distinct names", 1.00)])]


@comparison
def records():
    """Record reads and writes, against a plain dict."""
    import c_sdk
    import cy_peer
    import reference_records

    env = {"d": {"price": 1.5, "symbol": "SHSE.600000", "other": 7}}
    for label, module in (("c_sdk", c_sdk), ("Cython", cy_peer), ("Python", reference_records)):
        env[f"{label}_tick"] = module.TickLikeDict2(dict(env["d"]))
    env["c_sdk_obj"] = c_sdk.ObjectLikeDict2(dict(env["d"]))
    reads = [Stmt('d["price"]', 'd["price"]'), Stmt('d.get("price")', 'd.get("price")')]
    writes = [Stmt('d["price"] = v', 'd["price"] = 1.0')]
    targets = []
    for label in ("c_sdk", "Cython", "Python"):
        tick = f"{label}_tick"
        reads += [
            Stmt(f"{label} tick.price (property)", f"{tick}.price"),
            Stmt(f"{label} tick.other (fallback, hit)", f"{tick}.other"),
            Stmt(f"{label} tick.missing (fallback, miss)", f"{tick}.missing"),
            Stmt(f"{label} tick['price'] (item)", f"{tick}['price']"),
        ]
        writes += [
            Stmt(f"{label} tick.price = v", f"{tick}.price = 1.0"),
            Stmt(f"{label} tick.other = v", f"{tick}.other = 1.0"),
            Stmt(f"{label} tick['price'] = v", f"{tick}['price'] = 1.0"),
        ]
    reads.insert(6, Stmt("c_sdk obj.price (fallback, hit)", "c_sdk_obj.price"))
    for case in ("tick.price (property)", "tick.other (fallback, hit)",
                 "tick.missing (fallback, miss)", "tick['price'] (item)"):
        targets.append((f"c_sdk {case}", 'd["price"]', 1.40))
    targets.append(("c_sdk obj.price (fallback, hit)", 'd["price"]', 1.40))
    return [Group("record reads", 'd["price"]', reads, env, targets),
            Group("record writes", 'd["price"] = v', writes, env)]


def recorder_bench():
    """The benchmark library, with the stand-in and the recorder in front of it loaded."""
    import ctypes

    import qvsdk_standin
    from qvsdk_standin import recording

    os.environ["QVSDK_RECORD_TARGET"] = qvsdk_standin.LIBRARY
    # Room for many samples: the caller's cost is measured, not waits for the writer (which
    # has its own row; a session at a normal pace never fills the buffer).
    os.environ.setdefault("QVSDK_RECORD_BUFFER", str(64 << 20))
    if "QVSDK_RECORD_FILE" not in os.environ:
        import atexit
        import shutil

        tmp = tempfile.mkdtemp()
        atexit.register(shutil.rmtree, tmp, True)
        os.environ["QVSDK_RECORD_FILE"] = os.path.join(tmp, "bench.qvrec")
    lib = ctypes.CDLL(os.path.join(BUILD, "librecorder_bench.so"))
    lib.bench_exchange.restype = lib.bench_events.restype = ctypes.c_double
    if lib.bench_open(qvsdk_standin.LIBRARY.encode(), recording.RECORDER.encode()) != 0:
        sys.exit("the recorder bench cannot load the stand-in and the recorder")
    return lib


WRITER_FRAMES = 1_000_000
WRITER_SCRIPT = """
import os, sys
sys.path[:0] = [{here!r}]
os.environ["QVSDK_RECORD_FILE"] = {path!r}
os.environ["QVSDK_RECORD_BUFFER"] = str(256 << 10)  # the default
import suite
lib = suite.recorder_bench()
lib.bench_exchange(1, {n})
lib.bench_close()
data = open({path!r}, "rb").read()
at, frames = 48, 0
while at < len(data):  # to the closing note, the last frame
    size = int.from_bytes(data[at:at + 4], "little")
    last, at, frames = at, at + 8 + size, frames + 1
import struct
writer_ns, = struct.unpack_from("<Q", data, last + 4 + 32 + 2 + 16)
print(writer_ns / 1e9 / (frames - 1))
"""


def writer_sample():
    """Seconds the recorder's writer spends on one frame (growing and mapping the file ahead), over a session of
    a million exchange frames written to a file."""
    with tempfile.TemporaryDirectory() as tmp:
        script = WRITER_SCRIPT.format(here=os.path.dirname(os.path.abspath(__file__)),
                                      path=os.path.join(tmp, "writer.qvrec"), n=WRITER_FRAMES)
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                             check=True)
        return float(out.stdout)


@comparison
def recorder():
    """The recorder in front of the stand-in, against the stand-in called directly."""
    lib = recorder_bench()
    exchange = lambda which: lambda: lib.bench_exchange(which, 5000)  # noqa: E731
    events = lambda which: lambda: lib.bench_events(which, 2000)  # noqa: E731
    base = "exchange, direct"
    added = [("exchange: added by the recorder", "exchange, through the recorder", base),
             ("event: added by the recorder", "event, through the recorder", "event, direct")]
    return [
        Group("recorder, 64-byte request and response, 128-byte event payload", base, [
            Sampled(base, exchange(0)),
            Sampled("exchange, through the recorder", exchange(1)),
            Sampled("event, direct", events(0)),
            Sampled("event, through the recorder", events(1)),
        ], derived=added, targets=[(label, None, 150e-9) for label, _, _ in added]),
        Group("recorder's writer, seconds a frame", "writer: growing and mapping the file, a frame",
              [Sampled("writer: growing and mapping the file, a frame", writer_sample, best_of=1)],
              targets=[("writer: growing and mapping the file, a frame", None, 1e-6)]),
    ]


IMPORT_SCRIPT = """
import sys, time
sys.path[:0] = [{host!r}]
import qv.constant, qv.utils  # the host package
{before}
t0 = time.perf_counter()
import c_sdk
print(time.perf_counter() - t0)
"""

# What an import may find done already: the standard modules c_sdk imports, and the SDK library
# loaded with what it needs (here the stand-in, a C++ library, and so the C++ runtime).
PLATFORM = "import functools, platform"
SDK_LIBRARY = "import ctypes, qvsdk_standin; ctypes.CDLL(qvsdk_standin.LIBRARY)"


@comparison
def imports():
    """`import c_sdk` in a fresh interpreter whose host package is imported already."""
    cases = [
        Once("import c_sdk beyond the host package"),
        Once("... platform imported already", PLATFORM),
        Once("... platform imported and the SDK library loaded already (c_sdk's own)",
             f"{PLATFORM}; {SDK_LIBRARY}"),
    ]
    return [Group("import, ms a fresh process", cases[0].label, cases,
                  targets=[(cases[0].label, None, 0.002), (cases[2].label, None, 0.002)])]


# The hot paths that CI watches (scripts/test runs `suite.py --check`): instructions a call,
# each as a ratio to its floor at most the agreed limit. Needs the floor extension only.
CHECKS = {}


def check_case(fn):
    CHECKS[fn.__name__] = fn
    return fn


@check_case
def hot():
    """The exchange call, the bridge and record reads, against their floors."""
    from collections import deque

    import c_sdk
    import floor

    def nothing(event, data):
        pass

    def bridge(n):
        c_sdk.py_qvi_set_data_callback(nothing)
        floor.queue(b"tick", PAYLOAD, n, False)
        return c_sdk.qvi_poll

    def alone(n):
        floor.silence()
        floor.queue(b"tick", PAYLOAD, n, False)
        return c_sdk.qvi_poll

    def deque_map(n):
        names, payloads = ["tick"] * n, [PAYLOAD] * n
        return lambda: deque(map(nothing, names, payloads), maxlen=0)

    env = {"req": REQUEST, "R": floor.exchange, "plain": c_sdk.py_qvi_get_cash_pb_v2,
           "adapted": c_sdk.py_qvi_get_cash, "d": {"price": 1.5, "other": 7},
           "tick": c_sdk.TickLikeDict2({"price": 1.5, "other": 7})}
    less = "c_sdk bridge, less the stand-in's own"
    return [
        Group("exchange call", "R", [Stmt("R", "R(req)"), Stmt("c_sdk plain", "plain(req)"),
                                     Stmt("c_sdk adapted", "adapted(req)")], env,
              [("c_sdk plain", "R", 1.10), ("c_sdk adapted", "R", 1.25)], calls=1000,
              prepare=lambda: standin(EXCHANGED)),
        Group("bridge", "deque(map(...))", [Events("deque(map(...))", deque_map),
                                            Events("c_sdk bridge", bridge),
                                            Events("stand-in alone", alone)],
              targets=[(less, "deque(map(...))", 1.50)], calls=1000, prepare=standin,
              derived=[(less, "c_sdk bridge", "stand-in alone")]),
        Group("record reads", 'd["price"]', [
            Stmt('d["price"]', 'd["price"]'), Stmt("tick.price", "tick.price"),
            Stmt("tick.other", "tick.other"), Stmt("tick.missing", "tick.missing"),
            Stmt("tick['price']", "tick['price']")], env,
              [(label, 'd["price"]', 1.40) for label in
               ("tick.price", "tick.other", "tick.missing", "tick['price']")], calls=1000),
    ]


def check():
    """Counts the hot paths under callgrind; false when one exceeds its limit."""
    groups, counts = count_worker("hot")
    table, targets = report([("hot", groups, counts)])
    print(table)
    return all(t[4] == "yes" for t in targets)


# ---- measuring ----


def calibrate(timer):
    number = 1
    while True:
        if timer.timeit(number) >= SAMPLE_SECONDS or number >= 1 << 24:
            return number
        number *= 2


def sampler(case, env):
    """A zero-argument function taking one sample of `case`, in seconds a call or an event:
    the least of three measurements, each about SAMPLE_SECONDS long (the least is the one
    that the machine's other work disturbed least)."""
    if isinstance(case, Stmt):
        timer = timeit.Timer(case.stmt, globals=env)
        number = calibrate(timer)
        return lambda: min(timer.repeat(3, number)) / number
    if isinstance(case, Events):
        def once():
            deliver = case.make(case.n)
            gc.disable()  # as timeit does
            try:
                t0 = time.perf_counter()
                deliver()
                return (time.perf_counter() - t0) / case.n
            finally:
                gc.enable()

        return lambda: min(once() for _ in range(3))
    return case.sample


def time_group(group, rounds):
    """Samples of every case, and each as a ratio to the base: round after round, every case
    (in an order rotated from round to round) is sampled between two samples of the base, and
    its ratio taken to their mean, so that the machine's drifts cancel in each ratio."""
    rounds *= group.rounds
    group.prepare()
    samplers = [sampler(case, group.env) for case in group.cases]
    base = [case.label for case in group.cases].index(group.base)
    once = isinstance(group.cases[0], Once)
    if not once:
        for take in samplers:  # warm-up
            take()
    rounds = max(rounds, 15 if once else 3)
    others = [i for i in range(len(samplers)) if i != base]
    samples, ratios = [[] for _ in samplers], [[] for _ in samplers]
    for r in range(rounds):
        before = samplers[base]()
        samples[base].append(before)
        ratios[base].append(1.0)
        for k in range(len(others)):
            i = others[(k + r) % len(others)]
            t = samplers[i]()
            after = samplers[base]()
            samples[i].append(t)
            ratios[i].append(2 * t / (before + after))
            before = after
    return samples, ratios


def count_group(group, gi, only=None):
    """Under callgrind: N and 6N calls of each case between the floor's client requests."""
    import floor

    group.prepare()
    for ci, case in enumerate(group.cases):
        if only is not None and case.label != only:
            continue
        n = group.calls
        if isinstance(case, Stmt):
            timer = timeit.Timer(case.stmt, globals=group.env)
            timer.timeit(200)  # specialised and warm
            for k in (1, 6):
                floor.cg_start()
                timer.timeit(k * n)
                floor.cg_stop(f"{gi}|{ci}|{k}")
        elif isinstance(case, Events):
            case.make(200)()
            for k in (1, 6):
                deliver = case.make(k * n)
                floor.cg_start()
                deliver()
                floor.cg_stop(f"{gi}|{ci}|{k}")


def count_import(group, gi, only):
    """Under callgrind: the instructions of one `import c_sdk` (the case labelled `only`)."""
    import floor
    import qv.constant  # noqa: F401
    import qv.utils  # noqa: F401

    ci = [case.label for case in group.cases].index(only)
    exec(group.cases[ci].before, {})
    floor.cg_start()
    import c_sdk  # noqa: F401

    floor.cg_stop(f"{gi}|{ci}|1")


def worker(name, instructions, rounds, only=None):
    groups = {**COMPARISONS, **CHECKS}[name]()
    out = []
    for gi, group in enumerate(groups):
        if instructions:
            if isinstance(group.cases[0], Once):
                count_import(group, gi, only)
            else:
                count_group(group, gi, only)
            samples = ratios = None
        else:
            samples, ratios = time_group(group, rounds)
        out.append({"title": group.title, "base": group.base, "calls": group.calls,
                    "labels": [c.label for c in group.cases], "samples": samples,
                    "ratios": ratios,
                    "targets": group.targets, "derived": group.derived,
                    "once": isinstance(group.cases[0], Once)})
    print(json.dumps(out))


# ---- the parent: one process a comparison, one table ----


def run_worker(name, rounds):
    cmd = [sys.executable, __file__, "--worker", name, "--rounds", str(rounds)]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        sys.exit(f"{name} failed:\n{proc.stderr}")
    return json.loads(proc.stdout.splitlines()[-1])


def count_worker(name, only=None, profile=None):
    """Instruction counts a call, per group and case, from one run under callgrind (one a case
    for imports, which happen once a process). With `profile`, the counts a call of each
    function for the case labelled `only` are written there."""
    if name == "imports" and only is None:
        runs = [count_worker(name, case.label) for case in imports()[0].cases]
        # Each run counted its own case: take every case from its run.
        return runs[0][0], [[counts[0][i] for i, (_, counts) in enumerate(runs)]]
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        cmd = ["valgrind", "--tool=callgrind", "--collect-atstart=no", f"--callgrind-out-file={out}",
               sys.executable, __file__, "--worker", name, "--instructions"]
        env = dict(os.environ, PYTHONHASHSEED="0")
        if only is not None:
            cmd += ["--case", only]
        if profile is not None:
            import qvsdk_standin

            env["BENCH_UNSTRIPPED"] = "1"
            env["LD_LIBRARY_PATH"] = os.path.dirname(qvsdk_standin.LIBRARY)
        proc = subprocess.run(cmd, capture_output=True, text=True, env=env)
        if proc.returncode != 0:
            sys.exit(f"{name} failed under callgrind:\n{proc.stderr[-3000:]}")
        # One dump a client request: "desc: Trigger: Client Request: <label>" and its total.
        groups = json.loads(proc.stdout.splitlines()[-1])
        counts = {}
        for path in glob.glob(out + ".*"):
            text = open(path).read()
            label = re.search(r"^desc: Trigger: Client Request: (\S+)", text, re.M)
            total = re.search(r"^(?:summary|totals): (\d+)", text, re.M)
            if label and total:
                counts[label.group(1)] = int(total.group(1))
                if profile is not None:
                    profile[label.group(1)] = functions(path)
    result = []
    for gi, group in enumerate(groups):
        per = []
        for ci in range(len(group["labels"])):
            one, six = counts.get(f"{gi}|{ci}|1"), counts.get(f"{gi}|{ci}|6")
            if group["once"]:
                per.append(one)
            elif one is None or six is None:
                per.append(None)
            else:
                per.append((six - one) / (5 * group["calls"]))
        result.append(per)
    return groups, result


def functions(path):
    """Instructions by function in one callgrind dump (self cost)."""
    text = subprocess.run(["callgrind_annotate", "--threshold=100", path], capture_output=True,
                          text=True, check=True).stdout
    out = {}
    for m in re.finditer(r"^\s*([\d,]+) \([^)]*\)\s+(\S.*?)(?: \[.*\])?$", text, re.M):
        name = m.group(2).split(":", 1)[-1]
        out[name] = out.get(name, 0) + int(m.group(1).replace(",", ""))
    return out


def profile(name, label):
    """Prints where one case's instructions go, function by function, a call."""
    per_label = {}
    groups, _ = count_worker(name, label, per_label)
    for gi, group in enumerate(groups):
        if label not in group["labels"]:
            continue
        ci = group["labels"].index(label)
        one, six = per_label[f"{gi}|{ci}|1"], per_label[f"{gi}|{ci}|6"]
        n = 5 * group["calls"]
        rows = sorted(((six.get(f, 0) - one.get(f, 0)) / n, f) for f in set(one) | set(six))
        print(f"{label}: instructions a call, by function")
        total = sum(c for c, f in rows if f == "PROGRAM TOTALS")
        for count, fn in reversed(rows):
            if abs(count) >= 0.5 and count < total and fn != "(below main)":
                print(f"  {count:8.1f}  {fn}")
        print(f"  {total:8.1f}  in all")


def verdict(value, limit):
    return "" if value is None else ("yes" if value <= limit else "NO")


def fmt(v, digits):
    return "" if v is None else f"{v:,.{digits}f}"


def with_derived(group, counts):
    """Labels, time samples, ratios to the base (round by round) and instruction counts of a
    group, its derived rows (a case less another) appended."""
    labels, samples, ratios = list(group["labels"]), group["samples"], group.get("ratios")
    samples = [list(s) for s in samples] if samples else None
    ratios = [list(r) for r in ratios] if ratios else None
    instr = list(counts) if counts else [None] * len(labels)
    for label, a, b in group.get("derived", []):
        ia, ib = labels.index(a), labels.index(b)
        labels.append(label)
        if samples:
            samples.append([x - y for x, y in zip(samples[ia], samples[ib])])
            ratios.append([x - y for x, y in zip(ratios[ia], ratios[ib])])
        instr.append(instr[ia] - instr[ib] if instr[ia] is not None and instr[ib] else None)
    return labels, samples, ratios, instr


def report(results):
    """One table of every comparison, then the targets."""
    lines, targets = [], []
    head = f"| {'case':<66} | {'ns/call':>11} | {'ratio':>6} | {'instr/call':>10} | {'ratio':>6} |"
    rule = "|" + "|".join("-" * (len(c) - 2) + ("-:" if i else "--")
                          for i, c in enumerate(head.split("|")[1:-1])) + "|"
    for name, groups, counts in results:
        for gi, group in enumerate(groups):
            labels, samples, ratios, instr = with_derived(group, counts[gi] if counts else None)
            once = group["once"]
            b = labels.index(group["base"])
            lines += ["", f"**{group['title']}** (`{name}`; ratios to {group['base']})", ""]
            lines += [head.replace("ns/call", "ms     ") if once else head, rule]
            by_label = {}
            for i, label in enumerate(labels):
                t = statistics.median(samples[i]) if samples else None
                r = statistics.median(ratios[i]) if samples else None
                c = instr[i]
                cr = c / instr[b] if c is not None and instr[b] else None
                by_label[label] = (samples[i] if samples else None,
                                   ratios[i] if samples else None, c)
                shown = fmt(t and t * (1e3 if once else 1e9), 2 if once else 1)
                lines.append(f"| {label:<66} | {shown:>11} | {fmt(r, 2):>6} | {fmt(c, 0):>10} | "
                             f"{fmt(cr, 2):>6} |")
            for case, ref, limit in group["targets"]:
                s, r, c = by_label[case]
                if ref is None:  # a limit in seconds
                    t = statistics.median(s) if s else None
                    unit, scale, digits = ("ns", 1e9, 1) if limit < 1e-3 else ("ms", 1e3, 2)
                    targets.append((f"{group['title']}: {case} <= {limit * scale:g} {unit}",
                                    fmt(t and t * scale, digits) + f" {unit}" if s else "",
                                    verdict(t, limit), "", ""))
                    continue
                _, rr, rc = by_label[ref]
                tr = statistics.median(x / y for x, y in zip(r, rr)) if r else None
                cr = c / rc if c is not None and rc else None
                targets.append((f"{group['title']}: {case} / {ref} <= {limit:.2f}", fmt(tr, 2),
                                verdict(tr, limit), fmt(cr, 2), verdict(cr, limit)))
    width = max(len(t[0]) for t in targets)
    lines += ["", "**Targets** (ratio in time, in instructions; met or not)", "",
              f"| {'target':<{width}} | {'time':>8} | met | {'instr':>6} | met |",
              "|" + "-" * (width + 2) + "|---------:|:---:|-------:|:---:|"]
    for t in targets:
        lines.append(f"| {t[0]:<{width}} | {t[1]:>8} | {t[2]:^3} | {t[3]:>6} | {t[4]:^3} |")
    return "\n".join(lines), targets


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--only", nargs="*", choices=sorted(COMPARISONS), default=None)
    parser.add_argument("--rounds", type=int, default=25)
    parser.add_argument("--no-instructions", action="store_true")
    parser.add_argument("--no-time", action="store_true")
    parser.add_argument("--check", action="store_true",
                        help="count the hot paths under callgrind; fail beyond the agreed ratios")
    parser.add_argument("--profile", nargs=2, metavar=("COMPARISON", "CASE"),
                        help="where the instructions of one case go, function by function")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--case", help=argparse.SUPPRESS)
    parser.add_argument("--instructions", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        return worker(args.worker, args.instructions, args.rounds, args.case)
    if args.profile:
        return profile(*args.profile)
    if args.check:
        sys.exit(0 if check() else 1)

    results = []
    for name in args.only or COMPARISONS:
        print(f"{name} ...", file=sys.stderr, flush=True)
        groups = counts = None
        if not args.no_time:
            groups = run_worker(name, args.rounds)
        if not args.no_instructions:
            groups_counted, counts = count_worker(name)
            groups = groups or groups_counted
        results.append((name, groups, counts))
    print(report(results)[0])
    print(f"\nPython {sys.version.split()[0]}; {os.cpu_count()} CPUs; "
          f"rounds {args.rounds}; {time.strftime('%Y-%m-%d')}")


if __name__ == "__main__":
    import signal

    # Quiet in a closed pipe (`... | head`): end by SIGPIPE as Unix tools do, no traceback.
    if hasattr(signal, "SIGPIPE"):
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    main()
