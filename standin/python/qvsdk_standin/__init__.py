"""Control of the stand-in qvsdk library.

The stand-in takes the place of the vendor's library in tests and in the demo. It implements
every SDK function, records each call with its C arguments in a journal, answers with outcomes
that a test programs, and delivers queued events through the registered callback.

Typical use in a test::

    import qvsdk_standin as sdk

    sdk.reset()
    sdk.set_result("qvi_get_orders_pb", 7)          # the status
    sdk.set_response("qvi_get_orders_pb", b"payload")
    ...call the binding...
    assert sdk.calls() == [sdk.Call("qvi_get_orders_pb", (b"request",))]

Defaults: status 0; a function that answers with a response or a text answers with its own
name, a colon and its arguments joined by "|" (b"qvi_get_orders_pb:request").

This module loads the very library file that c_sdk links against, so both see one state.
"""

from __future__ import annotations

import atexit
import ctypes
import os
import sys
from typing import NamedTuple

__all__ = [
    "Call",
    "LIBRARY",
    "calls",
    "clear_journal",
    "deliver",
    "deliver_from_thread",
    "deliver_in",
    "functions",
    "join_threads",
    "journal_enabled",
    "queue_event",
    "queued_events",
    "reset",
    "set_response",
    "set_result",
    "set_text",
]

_HERE = os.path.dirname(os.path.abspath(__file__))
# Beside this module on Linux (c_sdk's run path points here); on Windows beside c_sdk itself,
# where the loader looks for the DLLs of an extension module.
if sys.platform == "win32":
    LIBRARY = os.path.join(os.path.dirname(_HERE), "qvsdk.dll")
else:
    LIBRARY = os.path.join(_HERE, "libqvsdk.so")

# PyDLL keeps the interpreter lock during calls: the stand-in's state is guarded by it.
_lib = ctypes.PyDLL(LIBRARY)
# Joining the delivery threads must release the lock, which those threads need to deliver.
_lib_nogil = ctypes.CDLL(LIBRARY)

_c_int, _c_ll, _c_double, _c_char_p = ctypes.c_int, ctypes.c_longlong, ctypes.c_double, ctypes.c_char_p


def _declare(lib, name, restype, *argtypes):
    fn = getattr(lib, name)
    fn.restype = restype
    fn.argtypes = argtypes
    return fn


_reset = _declare(_lib, "standin_reset", None)
_function_count = _declare(_lib, "standin_function_count", _c_int)
_function_name = _declare(_lib, "standin_function_name", _c_char_p, _c_int)
_function_result = _declare(_lib, "standin_function_result", _c_int, _c_int)
_journal_enable = _declare(_lib, "standin_journal_enable", None, _c_int)
_journal_clear = _declare(_lib, "standin_journal_clear", None)
_journal_size = _declare(_lib, "standin_journal_size", _c_int)
_journal_function = _declare(_lib, "standin_journal_function", _c_int, _c_int)
_journal_argc = _declare(_lib, "standin_journal_argc", _c_int, _c_int)
_journal_arg = _declare(
    _lib,
    "standin_journal_arg",
    _c_int,
    _c_int,
    _c_int,
    ctypes.POINTER(ctypes.c_void_p),
    ctypes.POINTER(_c_ll),
    ctypes.POINTER(_c_double),
)
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

_NAMES = tuple(_function_name(i).decode("ascii") for i in range(_function_count()))
_IDS = {name: i for i, name in enumerate(_NAMES)}

# Result kinds, as the library reports them.
_NONE, _STATUS, _WIDE, _REAL, _TEXT = range(5)
# Response modes.
_RESPONSE_DEFAULT, _RESPONSE_DATA, _RESPONSE_NULL, _RESPONSE_UNTOUCHED = range(4)


class Call(NamedTuple):
    """One recorded SDK call: the function's name and its C arguments.

    Text arrives as bytes (None for a NULL pointer), a request as exactly its length in bytes,
    numbers and flags as int, float and bool. Out-parameters are not recorded.
    """

    name: str
    args: tuple


def _id(name: str) -> int:
    try:
        return _IDS[name]
    except KeyError:
        raise ValueError(f"the SDK has no function {name!r}") from None


def functions() -> tuple[str, ...]:
    """The names of all SDK functions, in the library's catalogue order."""
    return _NAMES


def reset() -> None:
    """Start clean: empty journal (recording on), default outcomes, no events, no callback."""
    join_threads()
    _reset()


def journal_enabled(on: bool) -> None:
    """Turn recording of calls on or off (off for benchmarks)."""
    _journal_enable(1 if on else 0)


def clear_journal() -> None:
    _journal_clear()


def _arg(i: int, j: int):
    ptr, value, real = ctypes.c_void_p(), _c_ll(), _c_double()
    kind = _journal_arg(i, j, ctypes.byref(ptr), ctypes.byref(value), ctypes.byref(real))
    if kind == 0:
        return None
    if kind == 1:
        return ctypes.string_at(ptr.value, value.value) if value.value else b""
    if kind == 2:
        return value.value
    if kind == 3:
        return real.value
    return bool(value.value)


def calls(name: str | None = None) -> list[Call]:
    """The journal, oldest first; only the calls of `name` when given."""
    out = []
    for i in range(_journal_size()):
        fn = _NAMES[_journal_function(i)]
        if name is None or fn == name:
            out.append(Call(fn, tuple(_arg(i, j) for j in range(_journal_argc(i)))))
    return out


def set_result(name: str, value) -> None:
    """Program what `name` returns: its status or int, long long or double result."""
    i = _id(name)
    kind = _function_result(i)
    if kind == _STATUS:
        _set_status(i, value)
    elif kind == _WIDE:
        _set_wide(i, value)
    elif kind == _REAL:
        _set_real(i, value)
    elif kind == _TEXT:
        set_text(name, value)
    else:
        raise ValueError(f"{name} returns nothing")


def set_response(
    name: str,
    data: bytes | None = b"",
    length: int | None = None,
    *,
    untouched: bool = False,
) -> None:
    """Program the response that `name` writes to its out-parameters.

    `data` None points the response at NULL; `length` (default len(data)) is the reported
    length, which may differ from the bytes (beyond them the buffer is NUL-padded) or be
    negative; `untouched` leaves both out-parameters unwritten.
    """
    i = _id(name)
    if untouched:
        _set_response(i, None, 0, 0, _RESPONSE_UNTOUCHED)
    elif data is None:
        _set_response(i, None, 0, length or 0, _RESPONSE_NULL)
    else:
        data = bytes(data)
        _set_response(i, data, len(data), len(data) if length is None else length, _RESPONSE_DATA)


def set_text(name: str, text: bytes | None) -> None:
    """Program the text that `name` returns (or writes to its text out-parameter); None: NULL."""
    i = _id(name)
    if text is None:
        _set_text(i, None, 0, 1)
    else:
        text = bytes(text)
        _set_text(i, text, len(text), 0)


def deliver_in(name: str, count: int = -1) -> None:
    """Deliver up to `count` queued events (-1: all) inside every later call of `name`."""
    _deliver_in(_id(name), count)


def queue_event(event: bytes | str, data: bytes = b"", length: int | None = None) -> None:
    """Queue one event: its text (any bytes but NUL), payload and reported length."""
    if isinstance(event, str):
        event = event.encode("utf-8")
    data = bytes(data)
    _queue_event(event, len(event), data, len(data), len(data) if length is None else length)


def queued_events() -> int:
    return _queued_events()


def deliver(count: int = -1) -> int:
    """Deliver up to `count` queued events now, on this thread; returns how many are left."""
    return _deliver(count)


def deliver_from_thread(count: int = -1) -> None:
    """Deliver up to `count` queued events from a thread of the library's own."""
    _deliver_from_thread(count)


def join_threads() -> None:
    """Wait for the library's delivery threads (the interpreter lock is released meanwhile)."""
    _join_threads()


# A delivery thread still running at exit delivers its events before the interpreter goes.
atexit.register(join_threads)

# Replay of a recorded session (qvsdk_standin.replaying; recordings: qvsdk_standin.recording),
# imported when first used, so that `python -m qvsdk_standin.recording` finds the reader not
# yet imported.
_REPLAYING = ("DIVERGED", "Replay", "ReplayDivergence", "replay")
__all__ += _REPLAYING

import typing  # noqa: E402

if typing.TYPE_CHECKING:
    from .replaying import DIVERGED, Replay, ReplayDivergence, replay  # noqa: F401


def __getattr__(name: str) -> object:
    if name in _REPLAYING:
        from . import replaying

        return getattr(replaying, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
