"""The stand-in SDK itself, driven through ctypes: journal, outcomes and events."""

import ctypes

import pytest

import qvsdk_standin as standin
import qvsdk_standin.session as session
from conftest import run_python
from qvsdk_standin import _names

lib = ctypes.PyDLL(standin.LIBRARY)
CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.POINTER(ctypes.c_char), ctypes.c_int)


def exchange(name, req):
    res, res_len = ctypes.c_void_p(), ctypes.c_int(-7)
    status = getattr(lib, name)(req, len(req), ctypes.byref(res), ctypes.byref(res_len))
    return status, res.value, res_len.value


def payload(res, res_len):
    return ctypes.string_at(res, res_len)


def test_catalogue():
    names = standin.functions()
    assert len(names) == len(set(names)) == 187
    assert names == _names.FUNCTIONS  # the map of c_sdk's names knows the same catalogue
    assert sum(n.startswith("qvi_") for n in names) == 186 and "stk_get_ration" in names
    for name in names:
        assert getattr(lib, name)  # every function is exported


def test_exchange_default_answers_with_its_name_and_request():
    status, res, res_len = exchange("qvi_get_orders_pb", b"a\x00b")
    assert status == 0 and payload(res, res_len) == b"qvi_get_orders_pb:a\x00b"
    assert standin.calls() == [standin.Call("qvi_get_orders_pb", (b"a\x00b",))]


def test_programmed_outcomes():
    standin.set_result("qvi_get_orders_pb", -3)
    standin.set_response("qvi_get_orders_pb", b"xy", length=6)
    status, res, res_len = exchange("qvi_get_orders_pb", b"")
    assert (status, payload(res, res_len)) == (-3, b"xy\0\0\0\0")
    standin.set_response("qvi_get_orders_pb", b"xy", length=-1)
    assert exchange("qvi_get_orders_pb", b"")[2] == -1
    standin.set_response("qvi_get_orders_pb", None, length=4)
    assert exchange("qvi_get_orders_pb", b"")[1:] == (None, 4)
    standin.set_response("qvi_get_orders_pb", untouched=True)
    assert exchange("qvi_get_orders_pb", b"")[1:] == (None, -7)
    standin.reset()
    assert exchange("qvi_get_orders_pb", b"q")[0] == 0


def test_value_functions_record_c_types():
    f = lib.qvi_set_backtest_config
    f.argtypes = [ctypes.c_char_p] * 2 + [ctypes.c_double] * 7 + [ctypes.c_int] * 3
    standin.set_result("qvi_set_backtest_config", 12)
    assert f(b"s", None, 1, 2, 3, 4, 5, 6, 7.5, 8, 9, 10) == 12
    assert standin.calls() == [
        standin.Call("qvi_set_backtest_config",
                     (b"s", None, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.5, 8, 9, 10))
    ]
    lib.qvi_subscribe.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_bool]
    lib.qvi_subscribe(b"A", b"B", True)
    assert standin.calls("qvi_subscribe") == [standin.Call("qvi_subscribe", (b"A", b"B", True))]


def test_text_results():
    lib.qvi_strerror.restype = ctypes.c_char_p
    assert lib.qvi_strerror(5) == b"qvi_strerror:5"
    standin.set_text("qvi_strerror", b"no such order")
    assert lib.qvi_strerror(5) == b"no such order"
    standin.set_text("qvi_strerror", None)
    assert lib.qvi_strerror(5) is None
    lib.qvi_now.restype = ctypes.c_longlong
    standin.set_result("qvi_now", 2**40)
    assert lib.qvi_now() == 2**40
    lib.qvi_now_plus.restype = ctypes.c_double
    standin.set_result("qvi_now_plus", 1.5)
    assert lib.qvi_now_plus() == 1.5


def test_algo_batch_records_its_request_whole():
    res, res_len = ctypes.c_void_p(), ctypes.c_int()
    lib.qvi_algo_order_batch_pb(b"r\0q", 3, b"twap", b"p", ctypes.byref(res), ctypes.byref(res_len))
    assert standin.calls() == [standin.Call("qvi_algo_order_batch_pb", (b"r\0q", b"twap", b"p"))]
    assert payload(res.value, res_len.value) == b"qvi_algo_order_batch_pb:r\0q|twap|p"


@pytest.fixture
def events():
    seen = []

    @CALLBACK
    def on_event(event, data, length):
        seen.append((event, ctypes.string_at(data, max(length, 0)), length))
        if event == b"stop":
            lib.qvi_stop()

    lib.qvi_set_event_callback_pb(on_event)
    yield seen


def test_run_delivers_until_empty_or_stopped(events):
    standin.queue_event("a", b"1\x002")
    standin.queue_event(b"\xff\xfe", b"", length=-5)
    standin.queue_event("stop")
    standin.queue_event("later")
    lib.qvi_run()
    assert events == [(b"a", b"1\x002", 3), (b"\xff\xfe", b"", -5), (b"stop", b"", 0)]
    assert standin.queued_events() == 1
    lib.qvi_poll()
    assert events[-1] == (b"later", b"", 0) and standin.queued_events() == 0


def test_events_inside_a_chosen_function(events):
    standin.deliver_in("qvi_get_cash_pb", 1)
    standin.queue_event("x")
    standin.queue_event("y")
    exchange("qvi_get_cash_pb", b"")
    assert [e[0] for e in events] == [b"x"]
    exchange("qvi_get_orders_pb", b"")
    assert len(events) == 1
    exchange("qvi_get_cash_pb", b"")
    assert [e[0] for e in events] == [b"x", b"y"]


def test_reset_forgets_everything(events):
    standin.set_result("qvi_run", 4)
    standin.queue_event("x")
    exchange("qvi_get_orders_pb", b"")
    standin.reset()
    assert standin.calls() == [] and standin.queued_events() == 0
    standin.queue_event("x")
    assert lib.qvi_run() == 0 and events == []  # no callback registered any more


def test_journal_can_be_turned_off():
    standin.journal_enabled(False)
    exchange("qvi_get_orders_pb", b"x")
    assert standin.calls() == []
    standin.journal_enabled(True)
    exchange("qvi_get_orders_pb", b"x")
    assert len(standin.calls()) == 1


def test_unknown_function_names_are_refused():
    with pytest.raises(ValueError):
        standin.set_result("qvi_nothing", 1)


@pytest.mark.parametrize("control, error, argument", [
    (lambda: standin.set_result("qvi_run", 2**40), OverflowError, "result of qvi_run"),
    (lambda: standin.set_result("qvi_run", -(2**31) - 1), OverflowError, "result of qvi_run"),
    (lambda: standin.set_result("qvi_now", 2**63), OverflowError, "result of qvi_now"),
    (lambda: standin.set_result("qvi_run", 1.5), TypeError, "result of qvi_run"),
    (lambda: standin.set_result("qvi_run", [0, "x"]), TypeError, "result of qvi_run"),
    (lambda: standin.set_result("qvi_set_mode", 0), ValueError, "returns nothing"),
    (lambda: standin.set_response("qvi_get_cash_pb", b"x", 2**32 + 2), OverflowError, "length"),
    (lambda: standin.set_response("qvi_get_cash_pb", 5), TypeError, "data"),
    (lambda: standin.set_response("qvi_get_cash_pb", [b"x"], 1), TypeError, "length"),
    (lambda: standin.set_text("qvi_strerror", 3), TypeError, "text"),
    (lambda: standin.deliver_in("qvi_get_cash_pb", 2**40), OverflowError, "count"),
    (lambda: standin.deliver_in("qvi_get_cash_pb", -2), ValueError, "count"),
    (lambda: standin.deliver(2**31), OverflowError, "count"),
    (lambda: standin.deliver_from_thread(-5), ValueError, "count"),
    (lambda: standin.queue_event("e", 4), TypeError, "data"),
    (lambda: standin.queue_event("e\0x"), ValueError, "event"),
    (lambda: standin.queue_event(7), TypeError, "event"),
    (lambda: standin.queue_event("e", b"", 2**31), OverflowError, "length"),
    (lambda: standin.calls("no_such_function"), ValueError, "no_such_function"),
    (lambda: standin.calls(exclude=["qvi_run", "qvi_rn"]), ValueError, "qvi_rn"),
    (lambda: standin.set_result("c_status_fail", 1), ValueError, "helper"),
    (lambda: session.queue_session(ticks_per_bar=0), ValueError, "ticks_per_bar"),
    (lambda: session.queue_session(ticks_per_bar=-1), ValueError, "ticks_per_bar"),
])
def test_controls_refuse_what_they_cannot_represent(control, error, argument):
    with pytest.raises(error, match=argument):
        control()
    assert standin.queued_events() == 0 and standin.calls() == []
    assert lib.qvi_run() == 0  # nothing was programmed


def test_delivery_threads_hold_against_handlers_and_exit():
    proc = run_python("""
        import atexit, threading

        def at_exit():  # runs after the stand-in's own join at exit
            import c_sdk, qvsdk_standin as sdk
            c_sdk.py_qvi_set_data_callback(lambda event, data: print(event))
            sdk.queue_event("delivered-at-exit")
            sdk.deliver_from_thread()

        atexit.register(at_exit)  # before the stand-in is imported

        import c_sdk, qvsdk_standin as sdk

        seen = []

        def handler(event, data):
            seen.append(event)
            if event == "reset":  # on a delivery thread: never joins itself
                sdk.reset()
            elif event == "spawn":  # starts a thread and joins it while others join this one
                sdk.queue_event("spawned")
                sdk.deliver_from_thread()
                sdk.join_threads()

        c_sdk.py_qvi_set_data_callback(handler)
        sdk.queue_event("reset")
        sdk.deliver_from_thread()
        sdk.join_threads()
        sdk.join_threads()
        c_sdk.py_qvi_set_data_callback(handler)
        for _ in range(200):
            sdk.queue_event("spawn")
        for _ in range(4):
            sdk.deliver_from_thread()
        joiners = [threading.Thread(target=sdk.join_threads) for _ in range(4)]
        for t in joiners:
            t.start()
        sdk.join_threads()
        for t in joiners:
            t.join()
        print(seen.count("reset"), seen.count("spawn"), seen.count("spawned"), sdk.queued_events())
    """)
    assert proc.stdout.split() == ["1", "200", "200", "0", "delivered-at-exit"]
