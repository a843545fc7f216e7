"""pytest plugin of the stand-in: the callback check of every test, and the fixture `standin`.

Installing c_sdk with the stand-in registers this plugin (entry point "qvsdk_standin"; `-p
no:qvsdk_standin` turns it off).

Every test of the session fails when c_sdk's event callable raised during it (in its set-up,
its call or its tear-down), with the callable's own traceback; delivery threads of the stand-in
are waited for at the end of the test's call, so a late event is not missed. A test that raises
in its callable on purpose opts out with the marker `allow_callback_errors` (the exceptions are
then only reported, as pytest reports any unraisable exception), or takes the exceptions it
expects out of `standin.errors`.

A test that asks for `standin` runs inside a Harness: the stand-in is reset before it, and the
test fails with the event callable's own traceback if the callable raised, with the exception of
an outcome callable, or when events were dropped for want of a registered callable;
`standin.strict = True` ends the run at the first exception, `standin.expect_stop = True`
requires that the strategy stopped every run::

    def test_my_strategy(standin):
        standin.expect_stop = True
        sdk.queue_event("tick", b"...")
        run_my_strategy()
        assert sdk.calls("py_qvi_place_order") == [...]
"""

from __future__ import annotations

import sys
from collections.abc import Callable, Generator, Iterator
from typing import Any

import pytest

from . import join_threads
from .harness import CALLBACK_CONTEXT, Harness

__all__ = [
    "pytest_configure",
    "pytest_runtest_call",
    "pytest_runtest_setup",
    "pytest_runtest_teardown",
    "pytest_unconfigure",
    "standin",
]

MARKER = "allow_callback_errors"

_HARNESS = pytest.StashKey[Harness]()


class _CallbackCheck:
    """The session's unraisable hook: keeps the exceptions of c_sdk's event callable raised
    while a test's phase runs (`errors` is a list then); passes on everything else."""

    def __init__(self, previous: Callable[[sys.UnraisableHookArgs], Any]) -> None:
        self.previous = previous
        self.errors: list[BaseException] | None = None

    def hook(self, args: sys.UnraisableHookArgs) -> None:
        errors = self.errors
        if (errors is not None and isinstance(args.object, str)
                and args.object == CALLBACK_CONTEXT and args.exc_value is not None):
            errors.append(args.exc_value)  # c_sdk has printed its traceback already
            return
        self.previous(args)


_CHECK = pytest.StashKey[_CallbackCheck]()


# After pytest's own unraisable-exception plugin, which keeps every exception it is handed: this
# hook goes over it, and hands it what it does not keep.
@pytest.hookimpl(trylast=True)
def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        f"{MARKER}: exceptions raised by c_sdk's event callable do not fail this test (the "
        "stand-in's plugin fails every other test in which they are raised)")
    check = _CallbackCheck(sys.unraisablehook)
    config.stash[_CHECK] = check
    sys.unraisablehook = check.hook


@pytest.hookimpl(tryfirst=True)
def pytest_unconfigure(config: pytest.Config) -> None:
    check = config.stash.get(_CHECK, None)
    if check is None:
        return
    check.errors = None  # passes everything on, should the hook stay installed
    if sys.unraisablehook == check.hook:
        sys.unraisablehook = check.previous


@pytest.fixture
def standin(request: pytest.FixtureRequest) -> Iterator[Harness]:
    """The stand-in SDK, reset, inside a Harness whose checks fail the test."""
    harness = Harness()
    request.node.stash[_HARNESS] = harness
    with harness:
        yield harness


def _checked_phase(item: pytest.Item, *, call: bool) -> Generator[None, object, object]:
    __tracebackhide__ = True
    check = item.config.stash.get(_CHECK, None)
    collecting = check is not None and item.get_closest_marker(MARKER) is None
    if collecting:
        assert check is not None
        check.errors = []
    try:
        return (yield)
    finally:
        try:
            if call:
                # Checked as part of the test's call, so that a failure is the test's own, not
                # an error of the fixture's teardown.
                harness = item.stash.get(_HARNESS, None)
                if harness is not None:
                    harness.check(final=True)
                elif collecting:
                    join_threads()  # events still arriving from the library's threads
        finally:
            errors = check.errors if collecting and check is not None else None
            if check is not None:
                check.errors = None
            if errors:
                first = errors[0]
                first.add_note(
                    f"raised by the event callable, reported by {CALLBACK_CONTEXT}"
                    + (f"; {len(errors) - 1} more after it" if len(errors) > 1 else "")
                    + f" (mark the test with @pytest.mark.{MARKER} if it is expected)")
                raise first


@pytest.hookimpl(wrapper=True)
def pytest_runtest_setup(item: pytest.Item) -> Generator[None, object, object]:
    __tracebackhide__ = True
    return (yield from _checked_phase(item, call=False))


@pytest.hookimpl(wrapper=True)
def pytest_runtest_call(item: pytest.Item) -> Generator[None, object, object]:
    __tracebackhide__ = True
    return (yield from _checked_phase(item, call=True))


@pytest.hookimpl(wrapper=True)
def pytest_runtest_teardown(item: pytest.Item) -> Generator[None, object, object]:
    __tracebackhide__ = True
    return (yield from _checked_phase(item, call=False))
