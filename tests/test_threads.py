"""Threads: Python threads calling wrappers and reading records while another one runs events
through qvi_poll, the stand-in delivering events from a thread of its own, and interpreter exit
while threads are inside the module."""

import sys
import textwrap
import threading

import c_sdk
import pytest
import qvsdk_standin as standin

from conftest import run_python


@pytest.fixture
def fast_switching():
    """Makes the interpreter hand the lock between threads as often as it can."""
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(saved)


def test_threads_call_and_read_while_one_polls(module_globals, fast_switching):
    # Each worker checks every answer against what its own request must give; the poller
    # checks that its events arrive whole and in order, and its handler calls the module too.
    errors, seen = [], []
    tick = c_sdk.TickLikeDict2({"price": 1.5, "symbol": "A"})

    def handler(event, data):
        seen.append((event, data))
        status, payload = c_sdk.py_qvi_get_cash(data)
        if payload != b"qvi_get_cash_pb:" + data or tick.symbol != "A":
            errors.append(("handler", event))

    def worker(k):
        request = bytearray(b"w%d\0" % k)
        for i in range(1500):
            request[-1] = i % 256
            status, payload = c_sdk.py_qvi_get_orders(request)
            bar = c_sdk.BarLikeDict2({"close": i})
            if (status, payload) != (0, b"qvi_get_orders_pb:" + request) or bar.close != i:
                errors.append((k, i))
            if tick.price != 1.5 or tick["symbol"] != "A" or "close" not in bar:
                errors.append((k, "record"))
            try:
                c_sdk.py_qvi_set_timer(2**40)
            except OverflowError:
                pass

    def poller():
        for i in range(1500):
            standin.queue_event(f"e{i}", b"%d" % i)
            c_sdk.qvi_poll()

    standin.journal_enabled(False)
    c_sdk.py_qvi_set_data_callback(handler)
    threads = [threading.Thread(target=worker, args=(k,)) for k in range(3)]
    threads.append(threading.Thread(target=poller))
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert seen == [(f"e{i}", b"%d" % i) for i in range(1500)]


def test_events_from_the_sdks_own_thread_while_main_works(module_globals):
    seen = []

    def handler(event, data):
        seen.append((threading.get_ident(), event, data))
        assert c_sdk.py_qvi_strerror(len(seen)) == b"qvi_strerror:%d" % len(seen)

    c_sdk.py_qvi_set_data_callback(handler)
    for i in range(3000):
        standin.queue_event(f"e{i}", bytes([i % 256]) * (i % 7))
    standin.deliver_from_thread()
    # Outside any SDK call meanwhile: the bridge takes the lock for each event.
    record = c_sdk.ObjectLikeDict2({"n": 0})
    while standin.queued_events():
        record.n += 1
        c_sdk.py_qvi_get_orders(b"main")
    standin.join_threads()
    assert [e for _, e, _ in seen] == [f"e{i}" for i in range(3000)]
    assert all(d == bytes([i % 256]) * (i % 7) for i, (_, _, d) in enumerate(seen))
    assert threading.get_ident() not in {t for t, _, _ in seen}


# Interpreter exit while a daemon thread is inside the module and gives the lock up in Python
# code it called: the interpreter ends such a thread by unwinding its stack without the lock.
# Nothing may be released then. Each scenario makes the module's own reference the last one
# (a staticmethod is called without self), so that releasing it would run __del__ unlocked.
EXIT_SETUP = """
    import sys, threading, time
    import c_sdk
    import qvsdk_standin as sdk

    started = threading.Event()

    def hold():
        started.set()
        while True:
            time.sleep(0.0001)

    class Owned:
        def __del__(self):
            print("released", file=sys.stderr)

    def daemon(fn, *args):
        threading.Thread(target=fn, args=args, daemon=True).start()
        started.wait()
"""

EXIT_SCENARIOS = {
    "record read": """
        def get(key):
            record.data = {}
            hold()
        record = c_sdk.TickLikeDict2(type("M", (Owned,), {"get": staticmethod(get)})())
        daemon(lambda: record["price"])
    """,
    "decorator flag": """
        def truth():
            c_sdk.IS_PY2 = False
            hold()
        c_sdk.IS_PY2 = type("F", (Owned,), {"__bool__": staticmethod(truth)})()
        daemon(c_sdk.py_qvi_get_orders, b"x")
    """,
    "success test": """
        def equal(other):
            c_sdk.CSDK_OPERATE_SUCCESS = 0
            hold()
        c_sdk.CSDK_OPERATE_SUCCESS = type("S", (Owned,), {"__eq__": staticmethod(equal),
                                                         "__hash__": None})()
        daemon(c_sdk.py_qvi_get_orders, b"x")
    """,
    "failure logging": """
        def debug(line):
            c_sdk.qvsdklogger = None
            hold()
        c_sdk.qvsdklogger = type("L", (Owned,), {"debug": staticmethod(debug)})()
        daemon(c_sdk.c_status_fail, 3, "fn")
    """,
    "pinned request during an event": """
        c_sdk.py_qvi_set_data_callback(lambda event, data: hold())
        sdk.deliver_in("qvi_current_pb", 1)
        sdk.queue_event("tick")
        daemon(c_sdk.py_qvi_current, bytearray(b"SHSE.600000"), b"price", True)
    """,
    "event callable": """
        class Handler(Owned):
            def on_event(self, event, data):
                c_sdk.py_qvi_set_data_callback(print)
                hold()
        c_sdk.py_qvi_set_data_callback(Handler().on_event)
        sdk.queue_event("tick", b"x")
        daemon(c_sdk.qvi_poll)
    """,
    "sdk thread never joined": """
        seen = []
        c_sdk.py_qvi_set_data_callback(lambda e, d: seen.append(e))
        for i in range(2000):
            sdk.queue_event(f"e{i}", b"x")
        sdk.deliver_from_thread()
        import atexit
        atexit.unregister(sdk.join_threads)  # the count is printed after the stand-in's join
        atexit.register(lambda: print(len(seen)))
        atexit.register(sdk.join_threads)
        started.set()
    """,
}


@pytest.mark.parametrize("scenario", list(EXIT_SCENARIOS))
def test_interpreter_exit_with_a_thread_inside_the_module(scenario):
    code = textwrap.dedent(EXIT_SETUP) + textwrap.dedent(EXIT_SCENARIOS[scenario])
    for _ in range(4):  # the unwinding races with the exit: repeat
        proc = run_python(code, env={"PYTHONFAULTHANDLER": "1"}, timeout=60)
        assert "released" not in proc.stderr and "Fatal" not in proc.stderr, proc.stderr
        if scenario == "sdk thread never joined":
            assert proc.stdout.split() == ["2000"]  # every event delivered before the exit
