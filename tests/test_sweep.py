"""Every public callable of the module, with junk in every argument position, with wrong argument
counts and unknown keywords: only the exceptions its parameters may raise come out, nothing
crashes, and a call whose arguments fail to convert never reaches the SDK."""

import gc
import sys

import c_sdk
import pytest
import qvsdk_standin as standin

from hostile import (JUNK, RAISES, JunkError, keyword_junk, public_names, raises_for, targets,
                     valid)

TARGETS = targets()


def attempt(target, args, kwargs):
    """Calls the target on a clean journal: (exception or None, names of the SDK calls made).
    The exception is returned without its traceback, which would keep the arguments alive."""
    standin.reset()
    try:
        target.fn(*args, **kwargs)
        raised = None
    except BaseException as exc:  # noqa: BLE001 - anything unexpected is the finding
        raised = exc.with_traceback(None)
        exc.__context__ = None
    return raised, [c.name for c in standin.calls()]


def check(target, raised, called, allowed, what):
    """The failures of one call, as text (empty when it behaved)."""
    if raised is not None:
        if not isinstance(raised, allowed):
            return [f"{what}: {type(raised).__name__}: {raised}"]
        if not set(called) <= target.called_before_raising:
            return [f"{what}: raised {type(raised).__name__} after calling {called}"]
    elif target.sdk and len(called) != 1:
        return [f"{what}: made {len(called)} SDK calls"]
    elif not target.sdk and not set(called) <= target.called_before_raising:
        return [f"{what}: called {called}"]
    return []


def test_the_sweep_reaches_every_public_callable():
    swept = {t.name.split(".")[0] for t in TARGETS}
    assert swept == set(public_names())
    assert len([t for t in TARGETS if t.sdk]) == 181 + 14


@pytest.mark.parametrize("target", TARGETS, ids=repr)
def test_junk_in_every_argument_position(target, module_globals):
    c_sdk.f = None  # py_qvi_set_data_callback keeps the last one
    refs = [sys.getrefcount(junk) for _, junk in JUNK]
    failures = []
    for i, (name, kind) in enumerate(target.params):
        allowed = raises_for(target, kind)
        for n, (junk_id, junk) in enumerate(JUNK):
            args, kwargs = target.valid_args(), {}
            if n % 2 and not target.method:
                kwargs = {p: a for (p, _), a in zip(target.params, args)}
                kwargs[name] = junk
                args = []
            else:
                args[i] = junk
            raised, called = attempt(target, args, kwargs)
            failures += check(target, raised, called, allowed, f"{name}={junk_id}")
            del raised
    c_sdk.f = None  # py_qvi_set_data_callback keeps the last one
    gc.collect()
    for (junk_id, junk), before in zip(JUNK, refs):
        if junk_id not in ("function", "type") and sys.getrefcount(junk) != before:
            failures.append(f"{junk_id}: {sys.getrefcount(junk) - before} references leaked")
    assert not failures, "\n".join(failures)


@pytest.mark.parametrize("target", TARGETS, ids=repr)
def test_wrong_counts_and_keywords(target, module_globals):
    failures = []
    for args, kwargs in keyword_junk(target):
        raised, called = attempt(target, args, kwargs)
        what = f"args={len(args)} kwargs={list(kwargs)}"
        if raised is None:
            failures.append(f"{what}: accepted")
        failures += check(target, raised, called, (TypeError, JunkError), what)
    assert not failures, "\n".join(failures)


@pytest.mark.parametrize("cls", ["QuoteItemLikeDict2", "TickLikeDict2", "BarLikeDict2",
                                 "ObjectLikeDict2"])
def test_records_over_junk_backing_objects(cls):
    cls = getattr(c_sdk, cls)
    operations = [
        lambda r: r["k"], lambda r: r.k, lambda r: r.symbol, lambda r: r.bid_p,
        lambda r: r.__setitem__("k", 1), lambda r: setattr(r, "k", 1), str, repr,
        lambda r: getattr(r, "data"), lambda r: cls.__contains__(r, "k"),
    ]
    allowed = (AttributeError, TypeError, JunkError) + RAISES["key"]
    failures = []
    for junk_id, junk in JUNK:
        record = cls(junk)
        for k, op in enumerate(operations):
            try:
                op(record)
            except allowed:
                pass
            except BaseException as exc:  # noqa: BLE001
                failures.append(f"{junk_id} op{k}: {type(exc).__name__}: {exc}")
        assert record.data is junk
    assert not failures, "\n".join(failures)


def test_valid_arguments_are_accepted_by_every_callable(module_globals):
    # The baseline of the sweep: with no junk, every callable runs.
    for target in TARGETS:
        raised, called = attempt(target, target.valid_args(), {})
        assert raised is None, (target, raised)
        assert len(called) == int(target.sdk), (target, called)
    assert valid("int") == 7
