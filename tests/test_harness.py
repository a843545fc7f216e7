"""The stand-in as a harness for strategy tests: the pytest plugin, broken set-ups, outcomes
decided per call, the journal in the names strategies call, and Ctrl-C."""

import pathlib
import re
import sys
import time

import c_sdk
import pytest

import qvsdk_standin as standin
from conftest import HOST, ROOT, run_python
from qvsdk_standin import Harness, HarnessError

EXAMPLE = pathlib.Path(ROOT, "examples", "test_strategy_example.py")

BROKEN = """
import c_sdk
import qvsdk_standin as sdk


def on_event(event, data):
    if None > 10:
        pass


def test_raises_in_its_callback(standin):
    c_sdk.py_qvi_set_data_callback(on_event)
    sdk.queue_event("tick")
    assert c_sdk.py_qvi_run() == 0
"""


def test_plugin_fails_a_strategy_that_raises_and_passes_the_guide_example(pytester, monkeypatch):
    example = EXAMPLE.read_text()
    guide = pathlib.Path(ROOT, "docs", "strategy-authors.md")
    assert f"```python\n{example}```" in guide.read_text()
    pytester.makepyfile(test_example=example, test_broken=BROKEN)
    monkeypatch.setenv("PYTHONPATH", HOST)
    # A fresh pytest finds the plugin through the installed distribution's entry point.
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider")
    result.assert_outcomes(passed=1, failed=1)  # the test's failure, not an error of teardown
    result.stdout.fnmatch_lines([
        "*_ test_raises_in_its_callback _*",
        "*def on_event(event, data):",
        ">*if None > 10:",
        "E*TypeError: '>' not supported between instances of 'NoneType' and 'int'",
        "*raised by the event callable, reported by c_sdk.callback_wrapper",
    ])


# A test file of a strategy author's: every test whose event callable raised fails, with or
# without the fixture, late or nested, unless it opts out or takes the exception it expects.
EVERY_TEST = """
import time

import c_sdk
import pytest
import qvsdk_standin as sdk


def raising(event, data):
    raise KeyError(event)


def late(event, data):
    time.sleep(0.2)  # after the test's own code has finished
    raise KeyError(event)


def run(callable, event):
    c_sdk.py_qvi_set_data_callback(callable)
    sdk.queue_event(event)
    c_sdk.py_qvi_run()


def test_without_the_fixture():
    run(raising, "plain")


def test_late_without_the_fixture():
    c_sdk.py_qvi_set_data_callback(late)
    sdk.queue_event("late")
    sdk.deliver_from_thread()


def test_late_with_the_fixture(standin):
    c_sdk.py_qvi_set_data_callback(late)
    sdk.queue_event("late-fixture")
    sdk.deliver_from_thread()


def test_after_entering_the_fixture_again(standin):
    with standin:
        pass
    run(raising, "nested")


@pytest.mark.allow_callback_errors
def test_opted_out():
    run(raising, "allowed")


def test_expected_through_the_fixture(standin):
    run(raising, "expected")
    assert [repr(e) for e in standin.errors] == ["KeyError('expected')"]
    standin.errors.clear()
"""


def test_plugin_fails_every_test_whose_callable_raised(pytester, monkeypatch):
    pytester.makepyfile(test_every=EVERY_TEST)
    monkeypatch.setenv("PYTHONPATH", HOST)
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", "-rf")
    result.assert_outcomes(passed=2, failed=4)
    for test, event in [("test_without_the_fixture", "plain"),
                        ("test_late_without_the_fixture", "late"),
                        ("test_late_with_the_fixture", "late-fixture"),
                        ("test_after_entering_the_fixture_again", "nested")]:
        result.stdout.fnmatch_lines([f"FAILED test_every.py::{test} - KeyError: '{event}'"])


def _raise_in_callback(event="x"):
    def raising(e, d):
        raise KeyError(e)

    c_sdk.py_qvi_set_data_callback(raising)
    standin.queue_event(event)
    c_sdk.py_qvi_run()


def _late(harness):
    def late(e, d):
        time.sleep(0.2)  # after the block's own code has finished
        raise KeyError(e)

    with harness:
        c_sdk.py_qvi_set_data_callback(late)
        standin.queue_event("x")
        standin.deliver_from_thread()


def _after_inner_block(harness):
    with harness:
        with harness:
            pass
        _raise_in_callback()


def _inside_inner_block(harness):
    with harness:
        with harness:
            _raise_in_callback()
        raise AssertionError("the inner block's exit raises")


def _after_a_check(harness):
    with harness:
        harness.check()
        _raise_in_callback()


def _block_raises_too(harness):
    with harness:
        _raise_in_callback()
        raise ValueError("the block's own")


@pytest.mark.parametrize("block", [_late, _after_inner_block, _inside_inner_block,
                                   _after_a_check, _block_raises_too])
def test_harness_fails_every_late_or_nested_failure(module_globals, block):
    hook = sys.unraisablehook
    with pytest.raises(KeyError):
        block(Harness())
    assert sys.unraisablehook == hook  # restored, whatever happened


@pytest.mark.parametrize("strict", [False, True])
def test_exceptions_of_the_event_callable_fail_with_their_own_traceback(module_globals, strict):
    handled = []

    def on_event(event, data):
        handled.append(event)
        raise KeyError(event)

    with pytest.raises(KeyError) as raised:
        with Harness(strict=strict):
            c_sdk.py_qvi_set_data_callback(on_event)
            for i in range(4):
                standin.queue_event(f"e{i}")
            assert c_sdk.py_qvi_run() == 0
    assert raised.value.args == ("e0",) and raised.traceback[-1].name == "on_event"
    assert handled == (["e0"] if strict else ["e0", "e1", "e2", "e3"])
    assert ("3 more after it" in "".join(raised.value.__notes__)) is not strict


def _no_callable():
    standin.queue_event("a")
    standin.queue_event("b")
    c_sdk.py_qvi_run()


def _never_stops():
    c_sdk.py_qvi_set_data_callback(lambda event, data: None)
    standin.queue_event("a")
    c_sdk.py_qvi_run()


@pytest.mark.parametrize("run, message", [
    (_no_callable, "2 event(s) dropped"),
    (_never_stops, "1 py_qvi_run call(s) returned because the stand-in ran out of events"),
    (lambda: None, "py_qvi_run was never called"),
])
def test_broken_set_ups_are_reported(module_globals, run, message):
    with pytest.raises(HarnessError, match=re.escape(message)):
        with Harness(expect_stop=True):
            run()


def test_outcomes_per_call_drive_a_strategy(module_globals):
    replies, cancels = [], []

    def on_event(event, data):
        status, response = c_sdk.py_qvi_place_order(data)
        replies.append((status, response))
        if status != 0:
            cancels.append(c_sdk.py_qvi_cancel_order(data))

    c_sdk.py_qvi_place_order(b"before")  # a sequence starts with the next call
    standin.set_result("py_qvi_place_order", [0, 1030, 0])  # accept, refuse, accept...
    standin.set_response("qvi_place_order_pb", lambda request: b"id-" + request)
    standin.set_result("qvi_cancel_orders_pb", lambda request: 1 if request == b"b" else 0)
    c_sdk.py_qvi_set_data_callback(on_event)
    for name in (b"a", b"b", b"c", b"d"):
        standin.queue_event("tick", name)
    c_sdk.py_qvi_run()
    assert replies == [(0, b"id-a"), (1030, None), (0, b"id-c"), (0, b"id-d")]
    assert cancels == [1]

    # A callable that raises: the call keeps its previous outcome, the run ends, and the
    # exception is raised afterwards with the call it was raised in.
    standin.set_result("py_qvi_place_order", lambda request: 1 / len(request))
    standin.queue_event("tick", b"")
    standin.queue_event("tick", b"e")
    c_sdk.py_qvi_run()
    assert replies[4:] == [(0, b"id-")] and standin.queued_events() == 1
    with pytest.raises(ZeroDivisionError) as raised:
        standin.raise_outcome_errors()
    assert "call 5 of qvi_place_order_pb" in raised.value.__notes__[0]
    standin.raise_outcome_errors()  # raised once


def test_journal_in_the_names_strategies_call(module_globals):
    standin.set_result("py_qvi_cancel_order", 1030)
    assert c_sdk.c_status_fail(c_sdk.py_qvi_cancel_order(b"o1"), "qvi_cancel_orders_pb")
    c_sdk.py_qvi_get_orders(b"q")
    assert standin.calls("py_qvi_cancel_order") == [standin.Call("qvi_cancel_orders_pb", (b"o1",))]
    assert [c.name for c in standin.calls(exclude="py_qvi_strerror")] == [
        "qvi_cancel_orders_pb", "qvi_get_orders_pb"]
    assert standin.requests(["py_qvi_get_orders", "qvi_cancel_orders_pb"]) == [b"o1", b"q"]
    assert standin.sdk_function("py_qvi_cancel_order") == "qvi_cancel_orders_pb"
    assert standin.wrappers_of("qvi_strerror") == ("py_qvi_strerror", "qvi_strerror")


def test_sigint_ends_a_run_with_the_helper():
    proc = run_python("""
        import os, signal
        import c_sdk
        import qvsdk_standin as sdk

        seen = []

        def on_event(event, data):
            seen.append(event)
            if len(seen) == 3:
                os.kill(os.getpid(), signal.SIGINT)

        c_sdk.py_qvi_set_data_callback(on_event)
        for i in range(10):
            sdk.queue_event("tick")
        with sdk.stop_on_sigint() as sigint:
            print(c_sdk.py_qvi_run(), len(seen), sigint.received, sdk.queued_events())
        print(signal.getsignal(signal.SIGINT) is signal.default_int_handler)
    """)
    assert proc.stdout.split() == ["0", "3", "1", "7", "True"]
