"""The event bridge: py_qvi_set_data_callback and the callback through which the SDK delivers
events to the registered callable."""

import ctypes
import io
import re
import sys
import threading
import weakref

import c_sdk
import pytest

from conftest import run_python
from leakcheck import assert_no_leak


@pytest.fixture
def seen(module_globals):
    """Registers a callable that records each (event, payload) it receives."""
    received = []
    c_sdk.py_qvi_set_data_callback(lambda event, data: received.append((event, data)))
    return received


class Reports:
    """Records what the bridge reports: the printed tracebacks and the unraisable hook's calls.
    Installed inside a test body (pytest sets its own stderr and hook for each phase)."""

    def __init__(self):
        self.stderr = io.StringIO()
        self.hooked = []  # (exception, object, err_msg, what stderr held when the hook ran)

    def hook(self, args):
        self.hooked.append((args.exc_value, args.object, args.err_msg, self.stderr.getvalue()))

    def types(self):
        return [type(exc) for exc, *_ in self.hooked]

    def __enter__(self):
        self.saved = sys.stderr, sys.unraisablehook, getattr(sys, "last_exc", None)
        sys.stderr, sys.unraisablehook = self.stderr, self.hook
        sys.last_exc = None
        return self

    def __exit__(self, *exc_info):
        sys.stderr, sys.unraisablehook, sys.last_exc = self.saved


def test_registration(module_globals, sdk):
    marker = object()  # nothing checks that it is callable
    assert c_sdk.py_qvi_set_data_callback(marker) is None
    assert c_sdk.f is marker
    c_sdk.py_qvi_set_data_callback(pythonf=print)
    assert c_sdk.f is print
    calls = sdk.calls()
    assert [c.name for c in calls] == ["qvi_set_event_callback_pb"] * 2  # registered each time
    assert calls[0].args == calls[1].args


@pytest.mark.parametrize("py2", [False, True])
@pytest.mark.parametrize(
    "event, data, length, payload",
    [
        ("tick", b"a\0b\0", None, b"a\0b\0"),
        ("", b"", None, b""),
        ("行情.tick", b"\xff\x00", None, b"\xff\x00"),
        ("bar", b"abcdef", 2, b"ab"),
        ("bar", b"ab", 4, b"ab\0\0"),
        ("x" * 47, b"1", None, b"1"),
        ("y" * 48, b"2", None, b"2"),
        ("long.event." * 30, b"3", None, b"3"),
    ],
)
def test_events_reach_f(module_globals, seen, sdk, py2, event, data, length, payload):
    c_sdk.IS_PY2 = py2
    sdk.queue_event(event, data, length)
    sdk.queue_event(event, data, length)  # a second time: the name may come from a cache
    assert c_sdk.qvi_poll() == 0
    text = event.encode() if py2 else event
    assert seen == [(text, payload)] * 2
    assert all(type(e) is type(text) and type(d) is bytes for e, d in seen)


def test_many_names_keep_their_text(seen, sdk):
    # More names than any cache of recent ones holds, prefixes of one another, same lengths.
    names = [f"ev{i}" for i in range(70)] + ["tic", "tick", "tick2", "tock", "", "é", "e"]
    order = [names[(i * 7) % len(names)] for i in range(600)]
    # ...and one after another: each a prefix, an extension or a repetition of the one before.
    order += ["tick", "tick", "tic", "tick", "tick2", "tick", "", "", "e", "é", "é", "e", "tock"]
    for name in order:
        sdk.queue_event(name)
    c_sdk.qvi_poll()
    assert [e for e, _ in seen] == order


class Boom(Exception):
    pass


def raising(event, data):
    raise Boom(event)


class Unsure:
    def __bool__(self):
        raise ZeroDivisionError("truth")


@pytest.mark.parametrize(
    "setup, event, length, exc, message, f_works",
    [
        (None, b"\xff\xfebad", None, UnicodeDecodeError, "invalid start byte", True),
        (None, "neg", -1, SystemError, "Negative size", True),
        (lambda: delattr(c_sdk, "f"), "x", None, NameError, "^name 'f' is not defined$", False),
        (lambda: c_sdk.py_qvi_set_data_callback(None), "x", None, TypeError, "not callable",
         False),
        (lambda: c_sdk.py_qvi_set_data_callback(raising), "x", None, Boom, "^(x|ok)$", False),
        (lambda: delattr(c_sdk, "IS_PY2"), "x", None, NameError,
         "^name 'IS_PY2' is not defined$", False),
        (lambda: setattr(c_sdk, "IS_PY2", Unsure()), "x", None, ZeroDivisionError, "^truth$",
         False),
    ],
)
def test_failures_are_reported_in_two_steps_and_the_run_goes_on(
        module_globals, seen, sdk, setup, event, length, exc, message, f_works):
    if setup:
        setup()
    sdk.set_result("qvi_run", 5)
    sdk.queue_event(event, b"payload", length)
    sdk.queue_event("ok", b"next")
    with Reports() as reports:
        assert c_sdk.py_qvi_run() == 5  # nothing reached the SDK or its caller
        last_exc = sys.last_exc
    assert sdk.queued_events() == 0
    if f_works:  # the next event was handled afresh
        assert seen == [("ok", b"next")] and reports.types() == [exc]
    else:
        assert seen == [] and reports.types() == [exc, exc]
    for error, obj, err_msg, printed in reports.hooked:
        assert re.search(message, str(error))
        assert obj == "c_sdk.callback_wrapper" and err_msg is None
        # step one printed the traceback before step two ran
        assert printed.rstrip().endswith(f"{exc.__name__}: {error}")
    assert last_exc is None  # and did not record it as the last exception


def test_exit_inside_f_is_reported_not_obeyed():
    proc = run_python(
        """
        import sys
        import c_sdk
        import qvsdk_standin as sdk

        hooked = []
        sys.unraisablehook = lambda args: hooked.append(type(args.exc_value).__name__)
        def f(event, data):
            if event == "quit":
                sys.exit(3)
            print("handled", event)
        c_sdk.py_qvi_set_data_callback(f)
        sdk.queue_event("quit")
        sdk.queue_event("after")
        print("run returned", c_sdk.py_qvi_run(), hooked)
        """
    )
    assert proc.stdout.splitlines() == ["handled after", "run returned 0 ['SystemExit']"]
    assert "SystemExit: 3" in proc.stderr


def test_f_may_call_the_module_and_stop_the_run(module_globals, sdk):
    trail = []

    def f(event, data):
        trail.append(event)
        if event == "nested":
            c_sdk.qvi_poll()  # delivers the next events inside this one
        elif event == "query":
            trail.append(c_sdk.py_qvi_strerror(7))
        elif event == "stop":
            trail.append(c_sdk.py_qvi_stop())
        trail.append("/" + event)

    c_sdk.py_qvi_set_data_callback(f)
    sdk.set_text("qvi_strerror", b"seven")
    sdk.set_result("qvi_stop", 11)
    for name in ("first", "nested", "query", "second", "stop", "after"):
        sdk.queue_event(name)
    c_sdk.py_qvi_run()
    assert trail == ["first", "/first", "nested", "query", b"seven", "/query", "second",
                     "/second", "stop", 11, "/stop", "after", "/after", "/nested"]

    sdk.queue_event("stop")
    sdk.queue_event("left")
    c_sdk.py_qvi_run()
    assert sdk.queued_events() == 1  # the run ended when f stopped it
    assert [c.name for c in sdk.calls()][-2:] == ["qvi_run", "qvi_stop"]


def test_re_registration_inside_f_keeps_the_running_callable_alive(module_globals, sdk):
    log = []

    class Handler:
        def on_event(self, event, data):
            c_sdk.py_qvi_set_data_callback(lambda e, d: log.append(("new", e)))
            # the bound method that is running has no other owner left than the bridge
            log.append(("old", event, running() is not None))

    method = Handler().on_event
    running = weakref.ref(method)
    c_sdk.py_qvi_set_data_callback(method)
    del method
    sdk.queue_event("a")
    sdk.queue_event("b")
    c_sdk.qvi_poll()
    assert log == [("old", "a", True), ("new", "b")]
    assert running() is None  # released once it returned


def test_request_pinned_while_an_event_runs(sdk, module_globals):
    symbols = bytearray(b"SHSE.600000")

    def f(event, data):
        symbols.extend(b",SZSE.000001")  # resizing would leave the SDK a dangling pointer

    c_sdk.py_qvi_set_data_callback(f)
    sdk.deliver_in("qvi_current_pb", 1)
    sdk.queue_event("tick")
    with Reports() as reports:
        status, _ = c_sdk.py_qvi_current(symbols, "price", True)
    assert status == 0 and reports.types() == [BufferError]
    assert sdk.calls("qvi_current_pb")[0].args[0] == b"SHSE.600000"
    symbols.extend(b",X")  # free again after the call
    assert symbols == b"SHSE.600000,X"


def test_events_from_a_thread_of_the_sdk(module_globals, sdk):
    threads = []
    c_sdk.py_qvi_set_data_callback(lambda e, d: threads.append((threading.get_ident(), e)))
    for i in range(200):
        sdk.queue_event(f"e{i}", b"x" * i)
    sdk.deliver_from_thread()
    sdk.join_threads()  # gives up the lock: the SDK's thread takes it for each event
    assert [e for _, e in threads] == [f"e{i}" for i in range(200)]
    assert {t for t, _ in threads} != {threading.get_ident()}


@pytest.mark.parametrize("prototype", [ctypes.CFUNCTYPE, ctypes.PYFUNCTYPE],
                         ids=["lock-released", "lock-held"])
def test_null_pointers_from_the_sdk(seen, sdk, prototype):
    # callback_wrapper called directly, as an SDK would, at the address it was registered with
    # (through CFUNCTYPE the caller does not hold the interpreter lock: the bridge takes it).
    address = sdk.calls("qvi_set_event_callback_pb")[0].args[0]
    callback = prototype(None, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_int)(address)
    with Reports() as reports:
        callback(None, None, 0)  # no text: the empty name
        callback(b"tick", None, 3)  # a payload of 3 bytes at no address is refused
        callback(b"bar", b"xyz", 2)
    assert seen == [("", b""), ("bar", b"xy")]
    assert reports.types() == [SystemError]


def test_thread_ended_at_exit_touches_nothing():
    # A daemon thread inside f gives the lock up and takes it back while the interpreter
    # finalizes: the interpreter ends it by unwinding its stack. The bridge must not release
    # the objects it holds then (the lock is not held): that crashed the interpreter.
    for _ in range(3):
        run_python(
            """
            import threading, time
            import c_sdk
            import qvsdk_standin as sdk

            class Handler:
                def on_event(self, event, data):
                    c_sdk.py_qvi_set_data_callback(print)  # the bridge owns this method now
                    started.set()
                    while True:
                        time.sleep(0.0001)

            started = threading.Event()
            c_sdk.py_qvi_set_data_callback(Handler().on_event)
            sdk.queue_event("tick", b"x")
            threading.Thread(target=c_sdk.qvi_poll, daemon=True).start()
            started.wait()
            """
        )


def test_events_after_the_interpreter_is_gone_are_dropped():
    # A library that delivers a last event from an exit handler of its own, run after the
    # interpreter has been finalised (here: the stand-in's qvi_poll as such a handler).
    proc = run_python(
        """
        import ctypes
        import c_sdk
        import qvsdk_standin as sdk

        c_sdk.py_qvi_set_data_callback(lambda event, data: print(event))
        sdk.queue_event("late", b"x")
        handler = ctypes.cast(ctypes.PyDLL(sdk.LIBRARY).qvi_poll, ctypes.c_void_p)
        ctypes.pythonapi.Py_AtExit.argtypes = [ctypes.c_void_p]
        assert ctypes.pythonapi.Py_AtExit(handler) == 0
        print("exiting")
        """
    )
    assert proc.stdout.split() == ["exiting"] and proc.stderr == ""


class Quiet:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


@pytest.mark.parametrize(
    "f, event",
    [(lambda e, d: None, "tick"), (raising, "tick"), (None, b"\xff"), ("unset", "tick")],
    ids=["handled", "f-raises", "not-utf8", "f-unset"],
)
def test_no_leak_over_ten_thousand_events(module_globals, sdk, f, event):
    c_sdk.py_qvi_set_data_callback(f)
    if f == "unset":
        del c_sdk.f
    sdk.journal_enabled(False)
    payload = bytes(range(256)) * 4

    def one_event():
        sdk.queue_event(event, payload)
        c_sdk.qvi_poll()

    with Reports() as reports:
        reports.stderr, reports.hook = Quiet(), lambda args: None
        sys.stderr, sys.unraisablehook = reports.stderr, reports.hook
        assert_no_leak(one_event, calls=10_000)


def test_events_on_threads_of_a_subinterpreter_reach_the_main_one():
    # Run apart: a regression ends the process. A sub-interpreter sharing the main lock starts
    # a thread that calls the SDK itself, through ctypes: with the lock released (no thread state
    # at all on the callback) and with its own interpreter's lock held. Each event still runs f
    # in the main interpreter, the module's, where re-registering inside f is seen by the next
    # event (the dictionary watchers are the main interpreter's).
    proc = run_python(
        """
        import _testcapi, textwrap
        try:
            import _interpreters as interpreters
        except ImportError:  # its name in 3.12
            import _xxsubinterpreters as interpreters
        import c_sdk
        import qvsdk_standin as sdk

        seen = []

        def first(event, data):
            seen.append((event, interpreters.get_current()))
            c_sdk.py_qvi_set_data_callback(second)

        def second(event, data):
            seen.append((event, interpreters.get_current()))
            c_sdk.py_qvi_set_data_callback(first)

        c_sdk.py_qvi_set_data_callback(first)
        for kind in ("CDLL", "PyDLL"):
            for i in range(4):
                sdk.queue_event(f"{kind}{i}", b"x")
            _testcapi.run_in_subinterp(textwrap.dedent(f'''
                import ctypes, threading
                lib = ctypes.{kind}({sdk.LIBRARY!r})
                polls = threading.Thread(target=lambda: [lib.qvi_poll() for _ in range(4)])
                polls.start()
                polls.join()
                '''))
        print(seen == [(f"{k}{i}", interpreters.get_main()) for k in ("CDLL", "PyDLL")
                       for i in range(4)], seen)
        """,
        timeout=60,
    )
    assert proc.stdout.startswith("True"), proc.stdout + proc.stderr


def test_a_report_that_leads_back_to_the_bridge_ends_at_the_recursion_limit():
    # Run apart: a regression ends the process. The unraisable hook is a wrapper of a module
    # function inside which the SDK delivers the next event, whose f fails again: a loop through
    # C alone, reports within reports. Each report passes the recursion check; at the end of the
    # depth the report is dropped and the events go on to the last.
    proc = run_python(
        """
        import io, sys
        import c_sdk
        import qvsdk_standin as sdk

        sys.stderr = io.StringIO()
        sys.unraisablehook = c_sdk.adapt_to_python3(c_sdk.py_qvi_set_data_callback)
        c_sdk.py_qvi_set_data_callback(None)
        sdk.deliver_in("qvi_set_event_callback_pb", 1)
        for _ in range(20000):
            sdk.queue_event("e", b"x")
        print(c_sdk.qvi_poll(), sdk.queued_events())
        """,
        timeout=120,
    )
    assert proc.stdout.split() == ["0", "0"]


@pytest.mark.parametrize("stack_kib", [256, 1024, 0])
def test_events_nested_to_the_end_of_a_threads_stack_end_in_a_reported_recursion_error(stack_kib):
    # Run apart: a regression ends the process. Each event's f is a wrapper of a module function
    # inside which the SDK delivers the next event: a loop through C alone, run on a thread of
    # the given stack size (0: the default), which may run out before the interpreter's count
    # of nested calls does. The innermost failure is reported, once there is room for it.
    proc = run_python(
        f"""
        import threading
        import c_sdk
        import qvsdk_standin as sdk

        def run():
            c_sdk.py_qvi_set_data_callback(c_sdk.adapt_to_python3(c_sdk.py_qvi_send_msg_to_bus))
            sdk.deliver_in("qvi_send_msg_to_bus", 1)
            for _ in range(30000):
                sdk.queue_event("e", b"x")
            print(c_sdk.qvi_poll(), sdk.queued_events(), sdk.stats().delivered)

        threading.stack_size({stack_kib} << 10)
        t = threading.Thread(target=run)
        t.start()
        t.join()
        """,
        timeout=120,
    )
    assert proc.stdout.split() == ["0", "0", "30000"]
    reports = proc.stderr.count("Exception ignored in: 'c_sdk.callback_wrapper'")
    assert reports >= 1 and 2 * reports == proc.stderr.count("RecursionError: maximum recursion depth")
