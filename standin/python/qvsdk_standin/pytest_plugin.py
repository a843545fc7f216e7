"""pytest plugin of the stand-in: the fixture `standin`.

Installing c_sdk with the stand-in registers this plugin (entry point "qvsdk_standin"; `-p
no:qvsdk_standin` turns it off). A test that asks for `standin` runs inside a Harness: the
stand-in is reset before it, and the test fails with the event callable's own traceback if the
callable raised, with the exception of an outcome callable, or when events were dropped for
want of a registered callable; `standin.strict = True` ends the run at the first exception,
`standin.expect_stop = True` requires that the strategy stopped every run::

    def test_my_strategy(standin):
        standin.expect_stop = True
        sdk.queue_event("tick", b"...")
        run_my_strategy()
        assert sdk.calls("py_qvi_place_order") == [...]
"""

from __future__ import annotations

from collections.abc import Generator, Iterator

import pytest

from .harness import Harness

__all__ = ["pytest_runtest_call", "standin"]

_HARNESS = pytest.StashKey[Harness]()


@pytest.fixture
def standin(request: pytest.FixtureRequest) -> Iterator[Harness]:
    """The stand-in SDK, reset, inside a Harness whose checks fail the test."""
    harness = Harness()
    request.node.stash[_HARNESS] = harness
    with harness:
        yield harness


@pytest.hookimpl(wrapper=True)
def pytest_runtest_call(item: pytest.Item) -> Generator[None, object, object]:
    # Checked as part of the test's call, so that a failure is the test's own, not an error of
    # the fixture's teardown.
    __tracebackhide__ = True
    try:
        return (yield)
    finally:
        harness = item.stash.get(_HARNESS, None)
        if harness is not None:
            harness.check()
