"""A harness for testing a strategy against the stand-in SDK.

c_sdk reports an exception raised by the event callable and clears it, so that the SDK never
sees it: the run goes on and returns as if nothing happened. A test of a strategy must not pass
that way. Within a Harness (or the pytest fixture `standin`, which wraps one around each test
that asks for it):

- the stand-in starts clean (reset());
- every exception that the event callable raised fails the test at the end, raised with its
  own traceback (the first one; the count of the others is noted); `strict` also ends the run
  at the first one, so that the journal stops at the event that caused it;
- so does an exception that an outcome callable of set_result, set_response or set_text raised;
- events that the stand-in dropped because no event callable was registered fail the test;
- `expect_stop` fails the test unless every py_qvi_run returned because the strategy called
  py_qvi_stop (the stand-in returns from a run when its queue is empty; a real SDK would not).

    with Harness(expect_stop=True):
        sdk.queue_event("tick", payload)
        run_my_strategy()

`stop_on_sigint()` makes Ctrl-C stop a run (see its docstring).
"""

from __future__ import annotations

import signal
import sys
from types import FrameType, TracebackType
from typing import Any

from . import raise_outcome_errors, request_stop, reset, stats

__all__ = ["Harness", "HarnessError", "SigintStop", "stop_on_sigint"]

# The context with which c_sdk reports an exception of the event callable.
CALLBACK_CONTEXT = "c_sdk.callback_wrapper"


class HarnessError(AssertionError):
    """A set-up the harness refuses: dropped events, or a run the strategy did not stop."""


class Harness:
    """Resets the stand-in on entry; on exit (or at check()) raises what went wrong meanwhile.

    `strict`: end the run (as py_qvi_stop does) at the first exception of the event callable.
    `expect_stop`: require that py_qvi_run was called and that every run ended because the
    strategy called py_qvi_stop. Both may also be set on the harness before the run.
    """

    def __init__(self, *, strict: bool = False, expect_stop: bool = False) -> None:
        self.strict = strict
        self.expect_stop = expect_stop
        #: The exceptions of the event callable so far, oldest first.
        self.errors: list[BaseException] = []
        self._previous_hook: Any = None
        self._start = stats()
        self._checked = False

    def __enter__(self) -> Harness:
        reset()
        self.errors.clear()
        self._checked = False
        self._start = stats()
        self._previous_hook = sys.unraisablehook
        sys.unraisablehook = self._unraisable
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        if sys.unraisablehook == self._unraisable:
            sys.unraisablehook = self._previous_hook
        self.check()

    def _unraisable(self, args: sys.UnraisableHookArgs) -> None:
        if isinstance(args.object, str) and args.object == CALLBACK_CONTEXT:
            if args.exc_value is not None:  # c_sdk has printed its traceback already
                self.errors.append(args.exc_value)
                if self.strict:
                    request_stop()
            return
        self._previous_hook(args)

    def check(self) -> None:
        """Raises what went wrong since entry (once): the first exception of the event
        callable, else that of an outcome callable, else a HarnessError for dropped events or a
        run that the strategy did not stop. What else went wrong is added as notes."""
        __tracebackhide__ = True  # pytest: the failure is the test's, not the harness's
        if self._checked:
            return
        self._checked = True
        problems: list[BaseException] = []
        if self.errors:
            first = self.errors[0]
            first.add_note(f"raised by the event callable, reported by {CALLBACK_CONTEXT}"
                           + (f"; {len(self.errors) - 1} more after it"
                              if len(self.errors) > 1 else ""))
            problems.append(first)
        try:
            raise_outcome_errors()
        except BaseException as e:
            problems.append(e)
        now = stats()
        dropped = now.dropped - self._start.dropped
        if dropped:
            problems.append(HarnessError(
                f"{dropped} event(s) dropped: the stand-in delivered them while no event "
                "callable was registered (py_qvi_set_data_callback)"))
        drained = now.runs_drained - self._start.runs_drained
        stopped = now.runs_stopped - self._start.runs_stopped
        if self.expect_stop and drained:
            problems.append(HarnessError(
                f"{drained} py_qvi_run call(s) returned because the stand-in ran out of events, "
                "not because the strategy called py_qvi_stop"))
        elif self.expect_stop and not stopped:
            problems.append(HarnessError("py_qvi_run was never called (expect_stop)"))
        if problems:
            for other in problems[1:]:
                problems[0].add_note(f"also: {type(other).__name__}: {other}")
            raise problems[0]


class SigintStop:
    """While active, SIGINT (Ctrl-C) asks the SDK to stop the run (c_sdk.py_qvi_stop).

    A KeyboardInterrupt raised inside an event is reported and cleared by c_sdk like any other
    exception of the event callable, so Ctrl-C alone never ends a run. This handler instead
    calls py_qvi_stop, which takes effect at the next event: Python runs a signal handler only
    between its own instructions, so an SDK waiting for events sees it when the next one
    arrives. `received` counts the signals. Install it from the main thread.
    """

    def __init__(self) -> None:
        self.received = 0
        self._previous: Any = None

    def __enter__(self) -> SigintStop:
        self._previous = signal.signal(signal.SIGINT, self._handle)
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        signal.signal(signal.SIGINT,
                      signal.SIG_DFL if self._previous is None else self._previous)

    def _handle(self, signum: int, frame: FrameType | None) -> None:
        self.received += 1
        import c_sdk

        c_sdk.py_qvi_stop()


def stop_on_sigint() -> SigintStop:
    """`with stop_on_sigint() as sigint: c_sdk.py_qvi_run()`: Ctrl-C stops the run."""
    return SigintStop()
