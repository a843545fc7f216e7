"""Control of the stand-in qvsdk library.

The stand-in takes the place of the vendor's library in tests and in the demo. It implements
every SDK function, records each call with its C arguments in a journal, answers with outcomes
that a test programs, and delivers queued events through the registered callback.

Typical use in a test::

    import qvsdk_standin as sdk

    sdk.reset()
    sdk.set_result("qvi_get_orders_pb", 7)          # the status
    sdk.set_response("qvi_get_orders_pb", b"payload")
    sdk.set_result("py_qvi_place_order", [0, 1030, 0])  # per call; c_sdk's names work as well
    ...call the binding...
    assert sdk.calls() == [sdk.Call("qvi_get_orders_pb", (b"request",))]

Defaults: status 0; a function that answers with a response or a text answers with its own
name, a colon and its arguments joined by "|" (b"qvi_get_orders_pb:request").

Wherever a control takes the name of a function, it takes the SDK function's name or the name
of the c_sdk function that calls it (`py_qvi_cancel_order` for `qvi_cancel_orders_pb`).
Every control refuses a value it cannot hand to the library as it is (TypeError, ValueError or
OverflowError, naming the argument) instead of converting it.

The harness for strategy tests (`Harness`, the pytest fixture `standin`, `stop_on_sigint`) is in
qvsdk_standin.harness and qvsdk_standin.pytest_plugin.

This module loads the very library file that c_sdk links against, so both see one state.
"""

from __future__ import annotations

import atexit
import ctypes
import operator
import os
import sys
import threading
from collections.abc import Buffer, Callable, Iterable
from typing import (TYPE_CHECKING, Any, Final, Literal, NamedTuple, SupportsIndex, TypeAlias,
                    cast)

from .names import resolve as _resolve
from .names import sdk_function, wrappers_of

__all__ = [
    "Arg",
    "Call",
    "DIVERGED",
    "Harness",
    "HarnessError",
    "LIBRARY",
    "Market",
    "MarketCall",
    "Replay",
    "ReplayDivergence",
    "SigintStop",
    "Stats",
    "calls",
    "clear_journal",
    "deliver",
    "deliver_from_thread",
    "deliver_in",
    "functions",
    "join_threads",
    "journal_enabled",
    "market",
    "queue_event",
    "queued_events",
    "raise_outcome_errors",
    "replay",
    "request_stop",
    "requests",
    "reset",
    "sdk_function",
    "set_response",
    "set_result",
    "set_text",
    "stats",
    "stop_on_sigint",
    "wrappers_of",
]

_HERE = os.path.dirname(os.path.abspath(__file__))
# Beside this module on Linux (c_sdk's run path points here); on Windows beside c_sdk itself,
# where the loader looks for the DLLs of an extension module.
LIBRARY: Final = (
    os.path.join(os.path.dirname(_HERE), "qvsdk.dll")
    if sys.platform == "win32"
    else os.path.join(_HERE, "libqvsdk.so")
)

# PyDLL keeps the interpreter lock during calls: the stand-in's state is guarded by it.
_lib = ctypes.PyDLL(LIBRARY)
# Joining the delivery threads must release the lock, which those threads need to deliver.
_lib_nogil = ctypes.CDLL(LIBRARY)

_c_int, _c_ll, _c_double, _c_char_p = ctypes.c_int, ctypes.c_longlong, ctypes.c_double, ctypes.c_char_p
_c_void_p = ctypes.c_void_p
_ARG_OUT = (ctypes.POINTER(_c_void_p), ctypes.POINTER(_c_ll), ctypes.POINTER(_c_double))


def _declare(lib: ctypes.CDLL, name: str, restype: Any, *argtypes: Any) -> Any:
    fn = getattr(lib, name)
    fn.restype = restype
    fn.argtypes = argtypes
    return fn


_reset = _declare(_lib, "standin_reset", None)
_replay_end = _declare(_lib, "standin_replay_end", None)
_function_count = _declare(_lib, "standin_function_count", _c_int)
_function_name = _declare(_lib, "standin_function_name", _c_char_p, _c_int)
_function_result = _declare(_lib, "standin_function_result", _c_int, _c_int)
_journal_enable = _declare(_lib, "standin_journal_enable", None, _c_int)
_journal_clear = _declare(_lib, "standin_journal_clear", None)
_journal_size = _declare(_lib, "standin_journal_size", _c_int)
_journal_function = _declare(_lib, "standin_journal_function", _c_int, _c_int)
_journal_argc = _declare(_lib, "standin_journal_argc", _c_int, _c_int)
_journal_arg = _declare(_lib, "standin_journal_arg", _c_int, _c_int, _c_int, *_ARG_OUT)
_call_argc = _declare(_lib, "standin_call_argc", _c_int, _c_void_p)
_call_arg = _declare(_lib, "standin_call_arg", _c_int, _c_void_p, _c_int, *_ARG_OUT)
_call_count = _declare(_lib, "standin_call_count", _c_int, _c_int)
_OUTCOME_HOOK = ctypes.CFUNCTYPE(_c_int, _c_int, _c_int, _c_void_p)
_set_outcome_hook = _declare(_lib, "standin_set_outcome_hook", None, _c_int, _OUTCOME_HOOK)
_set_status = _declare(_lib, "standin_set_status", None, _c_int, _c_int)
_set_wide = _declare(_lib, "standin_set_wide", None, _c_int, _c_ll)
_set_real = _declare(_lib, "standin_set_real", None, _c_int, _c_double)
_set_response = _declare(
    _lib, "standin_set_response", None, _c_int, _c_char_p, _c_int, _c_int, _c_int
)
_set_text = _declare(_lib, "standin_set_text", None, _c_int, _c_char_p, _c_int, _c_int)
_deliver_in = _declare(_lib, "standin_deliver_in", None, _c_int, _c_int)
_queue_event = _declare(
    _lib, "standin_queue_event", None, _c_char_p, _c_int, _c_char_p, _c_int, _c_int
)
_queued_events = _declare(_lib, "standin_queued_events", _c_int)
_deliver = _declare(_lib, "standin_deliver", _c_int, _c_int)
_deliver_from_thread = _declare(_lib, "standin_deliver_from_thread", None, _c_int)
_join_threads = _declare(_lib_nogil, "standin_join_threads", None)
_request_stop = _declare(_lib, "standin_request_stop", None)
_counter = _declare(_lib, "standin_counter", _c_ll, _c_int)

_NAMES: Final = tuple(_function_name(i).decode("ascii") for i in range(_function_count()))
_IDS: Final = {name: i for i, name in enumerate(_NAMES)}

# Result kinds, as the library reports them.
_NONE, _STATUS, _WIDE, _REAL, _TEXT = range(5)
# Response modes.
_RESPONSE_DEFAULT, _RESPONSE_DATA, _RESPONSE_NULL, _RESPONSE_UNTOUCHED = range(4)

_INT: Final = (-(2**31), 2**31 - 1)
_LONG_LONG: Final = (-(2**63), 2**63 - 1)

#: One C argument as the journal gives it: text and requests as bytes (None for NULL), C ints
#: and long longs as int, doubles as float, flags as bool.
Arg: TypeAlias = bytes | int | float | bool | None
#: What set_result programs: a status or int or long long result, a double result, or the text
#: of a function that returns text (None: NULL).
Result: TypeAlias = int | float | bytes | None
#: A response (None: NULL).
Data: TypeAlias = bytes | bytearray | memoryview | None


class Call(NamedTuple):
    """One recorded SDK call: the function's name and its C arguments.

    Text arrives as bytes (None for a NULL pointer), a request as exactly its length in bytes,
    numbers and flags as int, float and bool. Out-parameters are not recorded.
    """

    name: str
    args: tuple[Arg, ...]


class Stats(NamedTuple):
    """What the library counted since it was loaded (reset() leaves these counts)."""

    delivered: int  # events handed to the registered callback
    dropped: int  # events taken from the queue while no callback was registered
    runs_stopped: int  # qvi_run calls that returned because qvi_stop was called
    runs_drained: int  # qvi_run calls that returned because the queue ran empty


# --- Checks of the values handed to the library -----------------------------------------------


def _int(value: object, what: str, bounds: tuple[int, int] = _INT) -> int:
    if not isinstance(value, SupportsIndex):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    number = operator.index(value)
    low, high = bounds
    if not low <= number <= high:
        raise OverflowError(f"{what} must be within {low}..{high}, not {number}")
    return number


def _count(value: object, what: str) -> int:
    number = _int(value, what)
    if number < -1:
        raise ValueError(f"{what} must be -1 (all) or a count from 0, not {number}")
    return _int(number, what, (-1, _INT[1]))


def _bytes(value: object, what: str) -> bytes:
    if not isinstance(value, Buffer):
        raise TypeError(f"{what} must be bytes, not {type(value).__name__}")
    data = bytes(value)
    _int(len(data), f"the length of {what}")
    return data


def _text(value: object, what: str) -> bytes:
    data = _bytes(value, what)
    if b"\0" in data:
        raise ValueError(f"{what} contains a NUL byte, where a C text ends")
    return data


def _id(name: object, control: str) -> int:
    if not isinstance(name, str):
        raise TypeError(f"{control}(): name must be a str, not {type(name).__name__}")
    return _IDS[_resolve(name, control)]


def _real(value: object, what: str) -> float:
    if not isinstance(value, (int, float)):
        raise TypeError(f"{what} must be a float, not {type(value).__name__}")
    try:
        return float(value)
    except OverflowError:
        raise OverflowError(f"{what} is too large for a C double") from None


# --- The catalogue and the journal -------------------------------------------------------------


def functions() -> tuple[str, ...]:
    """The names of all SDK functions, in the library's catalogue order."""
    return _NAMES


def reset() -> None:
    """Start clean: empty journal (recording on), default outcomes, no events, no callback.

    Raises, once everything is reset, what an outcome callable raised since the last reset
    (raise_outcome_errors), so that no such failure goes unnoticed. Inside a replay it raises
    RuntimeError at once and changes nothing: default outcomes would end the replay while its
    `with` block still claims to replay (a Harness entered there starts clean and keeps it).
    """
    _start_clean(keep_replay=False)


def _start_clean(*, keep_replay: bool) -> None:
    replaying = sys.modules.get(f"{__name__}.replaying")
    if not keep_replay and replaying is not None:
        replaying.refuse_during_replay("reset()")
    join_threads()
    _reset()
    if not keep_replay:
        _replay_end()  # a replay no longer referenced (never closed) ends here
    _programs.clear()
    raise_outcome_errors()


def journal_enabled(on: bool) -> None:
    """Turn recording of calls on or off (off for benchmarks)."""
    _journal_enable(1 if on else 0)


def clear_journal() -> None:
    _journal_clear()


def _read_args(count: Any, read: Any, where: object) -> tuple[Arg, ...]:
    """The `count(where)` arguments that `read(where, j, ...)` reports, one C argument each."""
    out: list[Arg] = []
    for j in range(count(where)):
        ptr, value, real = ctypes.c_void_p(), _c_ll(), _c_double()
        kind = read(where, j, ctypes.byref(ptr), ctypes.byref(value), ctypes.byref(real))
        if kind == 0:
            out.append(None)
        elif kind == 1:
            out.append(ctypes.string_at(ptr.value or 0, value.value) if value.value else b"")
        elif kind == 2:
            out.append(value.value)
        elif kind == 3:
            out.append(real.value)
        else:
            out.append(bool(value.value))
    return tuple(out)


def _journal_args(i: int) -> tuple[Arg, ...]:
    return _read_args(_journal_argc, _journal_arg, i)


def _call_args(call: int | None) -> tuple[Arg, ...]:
    return _read_args(_call_argc, _call_arg, call)


def _id_set(names: object, control: str, what: str) -> set[int]:
    if isinstance(names, str):
        return {_id(names, control)}
    if not isinstance(names, Iterable):
        raise TypeError(f"{control}(): {what} must be a str or an iterable of str, "
                        f"not {type(names).__name__}")
    return {_id(n, control) for n in cast("Iterable[object]", names)}


def calls(name: str | Iterable[str] | None = None, *, exclude: str | Iterable[str] = ()) -> list[Call]:
    """The journal, oldest first.

    `name`: only the calls of this function (or of any of these); `exclude`: without the calls
    of these, e.g. the qvi_strerror calls that c_status_fail makes. Each name is an SDK
    function's or that of the c_sdk function calling it (`py_qvi_cancel_order` selects the
    calls of qvi_cancel_orders_pb); an unknown name raises ValueError.
    """
    return [Call(_NAMES[fn], _journal_args(i)) for i, fn in _selected_calls(name, exclude)]


def _selected_calls(name: str | Iterable[str] | None,
                    exclude: str | Iterable[str]) -> list[tuple[int, int]]:
    """(journal index, function id) of the calls that calls(name, exclude=...) selects."""
    only = None if name is None else _id_set(name, "calls", "name")
    without = _id_set(exclude, "calls", "exclude")
    return [(i, fn) for i, fn in ((i, _journal_function(i)) for i in range(_journal_size()))
            if (only is None or fn in only) and fn not in without]


def requests(name: str | Iterable[str]) -> list[bytes]:
    """The request, as the SDK received it, of each call of `name` (as in calls()), oldest
    first: `[json.loads(r) for r in sdk.requests("py_qvi_place_order")]`. ValueError for a
    call whose first argument is not a request."""
    out: list[bytes] = []
    for call in calls(name):
        request = call.args[0] if call.args else None
        if not isinstance(request, bytes):
            raise ValueError(f"requests(): {call.name} was called without a request")
        out.append(request)
    return out


def stats() -> Stats:
    """Events delivered and dropped, and how the runs ended, since the library was loaded."""
    return Stats(*(int(_counter(i)) for i in range(4)))


# --- Outcomes ----------------------------------------------------------------------------------

_Kind = Literal["result", "response", "text"]


class _Program:
    """An outcome decided per call: a sequence (the last value repeating) or a callable."""

    def __init__(self, control: str, base: int, values: tuple[Any, ...] | None,
                 compute: Callable[..., Any] | None, check: Callable[[Any], Any]) -> None:
        self.control, self.base, self.values, self.compute, self.check = (
            control, base, values, compute, check)

    def value(self, index: int, call: int | None) -> Any:
        if self.values is not None:
            return self.values[min(max(index - self.base, 0), len(self.values) - 1)]
        assert self.compute is not None
        return self.check(self.compute(*_call_args(call)))


# Function id -> kind -> its program; the outcome hook runs them for each call of the function.
_programs: dict[int, dict[_Kind, _Program]] = {}
# What outcome callables raised, with the call it was raised in, until raise_outcome_errors().
_errors: list[BaseException] = []


def _decide(i: int, index: int, call: int | None) -> int:
    """The outcome hook: runs the programs of function `i` for its call number `index`."""
    for kind, program in list(_programs.get(i, {}).items()):
        try:
            _APPLY[kind](i, program.value(index, call))
        except BaseException as e:  # kept, and raised by raise_outcome_errors()
            e.add_note(f"raised deciding the outcome of call {index} of {_NAMES[i]} (programmed "
                       f"by {program.control}); that call kept its previous outcome")
            _errors.append(e)
            return 1  # the library ends a run in progress
    return 0


_HOOK: Final = _OUTCOME_HOOK(_decide)


def _program(i: int, kind: _Kind, control: str, value: object,
             check: Callable[[Any], Any]) -> tuple[bool, Any]:
    """Installs `value` as the program of `kind` for function `i` when it is a sequence or a
    callable: (True, None). Otherwise drops that program and returns (False, the value as
    checked). Nothing changes when a value is refused."""
    program, single = None, None
    if isinstance(value, (list, tuple)):
        if not value:
            raise ValueError(f"{control}(): the sequence of outcomes is empty")
        values = tuple(check(v) for v in cast("list[object] | tuple[object, ...]", value))
        program = _Program(control, int(_call_count(i)), values, None, check)
    elif callable(value):
        program = _Program(control, 0, None, value, check)
    else:
        single = check(value)
    programs = _programs.setdefault(i, {})
    programs.pop(kind, None)
    if program is not None:
        programs[kind] = program
        _set_outcome_hook(i, _HOOK)
    elif not programs:
        del _programs[i]
        _set_outcome_hook(i, _OUTCOME_HOOK())  # NULL: no hook
    return program is not None, single


def raise_outcome_errors() -> None:
    """Raises the first exception an outcome callable raised (or an invalid value it returned)
    since the last call, with a note on how many more there were; forgets them all."""
    if not _errors:
        return
    first, more = _errors[0], len(_errors) - 1
    _errors.clear()
    if more:
        first.add_note(f"and {more} more exception(s) from outcome callables")
    raise first


def _result_check(i: int, name: str) -> Callable[[Any], Any]:
    kind = _function_result(i)
    what = f"set_result(): the result of {name}"
    if kind == _STATUS:
        return lambda v: _int(v, what)
    if kind == _WIDE:
        return lambda v: _int(v, what, _LONG_LONG)
    if kind == _REAL:
        return lambda v: _real(v, what)
    raise ValueError(f"set_result(): {name} returns nothing")


def _apply_result(i: int, value: Any) -> None:
    kind = _function_result(i)
    if kind == _STATUS:
        _set_status(i, value)
    elif kind == _WIDE:
        _set_wide(i, value)
    elif kind == _REAL:
        _set_real(i, value)
    else:
        _apply_text(i, value)


def _apply_response(i: int, value: tuple[bytes | None, int | None]) -> None:
    data, length = value
    if data is None:
        _set_response(i, None, 0, length or 0, _RESPONSE_NULL)
    else:
        _set_response(i, data, len(data), len(data) if length is None else length, _RESPONSE_DATA)


def _apply_text(i: int, text: bytes | None) -> None:
    if text is None:
        _set_text(i, None, 0, 1)
    else:
        _set_text(i, text, len(text), 0)


_APPLY: Final[dict[_Kind, Callable[[int, Any], None]]] = {
    "result": _apply_result,
    "response": _apply_response,
    "text": _apply_text,
}


def set_result(
    name: str,
    value: Result | list[Result] | tuple[Result, ...] | Callable[..., Result],
) -> None:
    """Program what `name` returns: its status or int, long long or double result (or the
    text of a function returning text, as set_text).

    A list or tuple gives the outcome of each later call in turn, the last one repeating
    (`[0, 1030, 0]`: accept, refuse, accept); a callable computes it from each call's C
    arguments (`lambda req: 1030 if b"600000" in req else 0`). What the callable raises is
    kept: raise_outcome_errors() and reset() raise it, and the harness fails the test with it.
    """
    i = _id(name, "set_result")
    if _function_result(i) == _TEXT:
        set_text(name, value)  # type: ignore[arg-type]
        return
    programmed, single = _program(i, "result", "set_result", value, _result_check(i, _NAMES[i]))
    if not programmed:
        _apply_result(i, single)


def set_response(
    name: str,
    data: Data | list[Data] | tuple[Data, ...] | Callable[..., Data] = b"",
    length: int | None = None,
    *,
    untouched: bool = False,
) -> None:
    """Program the response that `name` writes to its out-parameters.

    `data` None points the response at NULL; `length` (default len(data)) is the reported
    length, which may differ from the bytes (beyond them the buffer is NUL-padded) or be
    negative; `untouched` leaves both out-parameters unwritten. A list or tuple of responses,
    or a callable computing one from the call's C arguments, decides per call as in set_result
    (each response then reports its own length).
    """
    i = _id(name, "set_response")
    if untouched:
        _program(i, "response", "set_response", None, lambda v: v)
        _set_response(i, None, 0, 0, _RESPONSE_UNTOUCHED)
        return
    if length is not None:
        if isinstance(data, (list, tuple)) or callable(data):
            raise TypeError("set_response(): length goes only with a single response")
        length = _int(length, "set_response(): length")

    def check(value: object) -> tuple[bytes | None, int | None]:
        return (None if value is None else _bytes(value, "set_response(): data"), length)

    programmed, single = _program(i, "response", "set_response", data, check)
    if not programmed:
        _apply_response(i, single)


def set_text(
    name: str,
    text: bytes | None | list[bytes | None] | tuple[bytes | None, ...] | Callable[..., bytes | None],
) -> None:
    """Program the text that `name` returns (or writes to its text out-parameter); None: NULL.
    A list or tuple, or a callable, decides per call as in set_result."""
    i = _id(name, "set_text")

    def check(value: object) -> bytes | None:
        # A NUL inside stays: the SDK's memory holds what follows it, a C reader stops there.
        return None if value is None else _bytes(value, "set_text(): text")

    programmed, single = _program(i, "text", "set_text", text, check)
    if not programmed:
        _apply_text(i, single)


# --- Events ------------------------------------------------------------------------------------


def deliver_in(name: str, count: int = -1) -> None:
    """Deliver up to `count` queued events (-1: all) inside every later call of `name`."""
    _deliver_in(_id(name, "deliver_in"), _count(count, "deliver_in(): count"))


def queue_event(event: bytes | str, data: bytes = b"", length: int | None = None) -> None:
    """Queue one event: its text (any bytes but NUL), payload and reported length."""
    if isinstance(event, str):
        event = event.encode("utf-8")
    text = _text(event, "queue_event(): event")
    payload = _bytes(data, "queue_event(): data")
    reported = len(payload) if length is None else _int(length, "queue_event(): length")
    _queue_event(text, len(text), payload, len(payload), reported)


def queued_events() -> int:
    return int(_queued_events())


def deliver(count: int = -1) -> int:
    """Deliver up to `count` queued events now, on this thread; returns how many are left."""
    return int(_deliver(_count(count, "deliver(): count")))


def deliver_from_thread(count: int = -1) -> None:
    """Deliver up to `count` queued events from a thread of the library's own."""
    _deliver_from_thread(_count(count, "deliver_from_thread(): count"))
    if not threading.main_thread().is_alive():
        # The interpreter is exiting, and the join registered at import may have run already
        # (an exit handler registered before this package was imported runs after it): wait
        # here, so that the events are delivered before the interpreter goes.
        join_threads()


def join_threads() -> None:
    """Wait for the library's delivery threads (the interpreter lock is released meanwhile).

    Safe from any thread and from several at once; on a delivery thread (from an event
    handler) it waits for the delivery threads started after that one.
    """
    _join_threads()


def request_stop() -> None:
    """End a run in progress after the current event, as qvi_stop does, without recording a
    call of qvi_stop."""
    _request_stop()


# A delivery thread still running at exit delivers its events before the interpreter goes.
atexit.register(join_threads)

from .harness import Harness, HarnessError, SigintStop, stop_on_sigint  # noqa: E402

# Replay of a recorded session (qvsdk_standin.replaying; recordings: qvsdk_standin.recording),
# imported when first used, so that `python -m qvsdk_standin.recording` finds the reader not
# yet imported.
_REPLAYING = ("DIVERGED", "Replay", "ReplayDivergence", "replay")
_MARKET = ("Market", "MarketCall", "market")  # qvsdk_standin.market_replay

if TYPE_CHECKING:
    from .replaying import DIVERGED as DIVERGED
    from .replaying import Replay as Replay
    from .replaying import ReplayDivergence as ReplayDivergence
    from .replaying import replay as replay
    from .market_replay import Market as Market
    from .market_replay import MarketCall as MarketCall
    from .market_replay import market as market


def __getattr__(name: str) -> object:
    if name in _REPLAYING:
        from . import replaying

        return getattr(replaying, name)
    if name in _MARKET:
        from . import market_replay

        return getattr(market_replay, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
