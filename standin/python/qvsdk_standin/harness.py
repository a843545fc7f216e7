"""A harness for testing a strategy against the stand-in SDK.

c_sdk reports an exception raised by the event callable and clears it, so that the SDK never
sees it: the run goes on and returns as if nothing happened. A test of a strategy must not pass
that way. Within a Harness (or the pytest fixture `standin`, which wraps one around each test
that asks for it):

- the stand-in starts clean (reset(); inside a replay, the replay goes on);
- every exception that the event callable raised fails the test at the end, raised with its
  own traceback (the first one; the count of the others is noted); `strict` also ends the run
  at the first one, so that the journal stops at the event that caused it. Events still being
  delivered by the library's threads are waited for first, so a late one is not missed. A
  test that expects an exception takes it out of `errors` before the end;
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

from . import _start_clean, join_threads, raise_outcome_errors, request_stop, stats

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

    Entering the same harness again while it is active (`with standin:` in a test that has the
    fixture) is counted: the inner entry changes nothing, its exit checks what went wrong so
    far, and the outermost exit checks the rest and restores sys.unraisablehook.
    """

    def __init__(self, *, strict: bool = False, expect_stop: bool = False) -> None:
        self.strict = strict
        self.expect_stop = expect_stop
        #: The exceptions of the event callable not yet raised by check(), oldest first. A test
        #: that expects one takes it out of this list.
        self.errors: list[BaseException] = []
        self._previous_hook: Any = None
        self._depth = 0
        self._start = stats()  # at entry
        self._seen = self._start  # at the last check
        self._ran_checked = False  # `expect_stop`'s "never called" was checked

    def __enter__(self) -> Harness:
        self._depth += 1
        if self._depth > 1:
            return self
        try:
            _start_clean(keep_replay=True)
        except BaseException:
            self._depth -= 1
            raise
        self.errors.clear()
        self._start = self._seen = stats()
        self._ran_checked = False
        self._previous_hook = sys.unraisablehook
        sys.unraisablehook = self._unraisable
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        __tracebackhide__ = True
        if self._depth > 1:
            self._depth -= 1
            self.check()
            return
        try:
            join_threads()  # a late event's exception still reaches this harness
        finally:
            self._depth = 0
            # Restored whatever happens; if another hook was installed over this one and left
            # there, this one now passes everything on (see _unraisable).
            if sys.unraisablehook == self._unraisable:
                sys.unraisablehook = self._previous_hook
        self.check(final=True)

    def _unraisable(self, args: sys.UnraisableHookArgs) -> None:
        if (self._depth > 0 and isinstance(args.object, str)
                and args.object == CALLBACK_CONTEXT):
            if args.exc_value is not None:  # c_sdk has printed its traceback already
                self.errors.append(args.exc_value)
                if self.strict:
                    request_stop()
            return
        self._previous_hook(args)

    def check(self, *, final: bool = False) -> None:
        """Raises what went wrong since the last check (or entry), once the library's delivery
        threads have ended: the first exception of the event callable, else that of an outcome
        callable, else a HarnessError for dropped events or a run that the strategy did not
        stop. What else went wrong is added as notes. What goes wrong later is raised by a later
        check (the harness's exit checks). `final`: also require, under `expect_stop`, that
        py_qvi_run was called at all since entry."""
        __tracebackhide__ = True  # pytest: the failure is the test's, not the harness's
        join_threads()
        problems: list[BaseException] = []
        if self.errors:
            first = self.errors[0]
            first.add_note(f"raised by the event callable, reported by {CALLBACK_CONTEXT}"
                           + (f"; {len(self.errors) - 1} more after it"
                              if len(self.errors) > 1 else ""))
            problems.append(first)
            self.errors.clear()
        try:
            raise_outcome_errors()
        except BaseException as e:
            problems.append(e)
        now, seen = stats(), self._seen
        self._seen = now
        dropped = now.dropped - seen.dropped
        if dropped:
            problems.append(HarnessError(
                f"{dropped} event(s) dropped: the stand-in delivered them while no event "
                "callable was registered (py_qvi_set_data_callback)"))
        drained = now.runs_drained - seen.runs_drained
        if self.expect_stop and drained:
            problems.append(HarnessError(
                f"{drained} py_qvi_run call(s) returned because the stand-in ran out of events, "
                "not because the strategy called py_qvi_stop"))
        elif (self.expect_stop and final and not self._ran_checked
              and now.runs_stopped == self._start.runs_stopped
              and now.runs_drained == self._start.runs_drained):
            problems.append(HarnessError("py_qvi_run was never called (expect_stop)"))
        if final:
            self._ran_checked = True
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
