"""Replay a recorded session through the stand-in.

    import qvsdk_standin as sdk

    with sdk.replay("session.qvrec"):       # strict: same functions, same arguments
        ...run the strategy...               # each SDK call answered as it was recorded

Each SDK call is matched with the next recorded call (in the order the calls were made) and
answered with its recorded result and outputs; the events that arrived inside it are delivered
inside it, in the same order; events recorded between calls are delivered by the next qvi_run
or qvi_poll. Strict mode also requires equal arguments, request bytes included; loose mode
(strict=False) matches by function only.

A divergence (another function, other arguments, a call beyond the recording's end, or a call
whose outcome the recording lost with its tail) cannot be raised inside the SDK's call: the
stand-in is called by c_sdk, not by Python. It is kept instead: that call and every later one
answer with the failure status DIVERGED (-1; a NULL response, a NULL text), no more events are
delivered, so a qvi_run in progress returns as after qvi_stop, and the first divergence is
raised as ReplayDivergence by check(), and by close() and the end of the `with` block. In
strict mode, recorded calls that were never made, and recorded events that were never delivered
(events between calls wait for a qvi_run or qvi_poll), are a divergence at close() too.

Nothing ends a replay but close() (or the end of the `with` block): a second replay started
inside it, or qvsdk_standin.reset(), raises RuntimeError at once. A Harness entered inside a
replay starts clean (journal, queue, callback) and the replay goes on.
"""

from __future__ import annotations

import ctypes
import difflib
import os
import struct
import weakref
from types import TracebackType
from typing import TYPE_CHECKING, Any

from . import _NAMES, _lib
from .recording import (
    Call,
    Callback,
    Marker,
    Open,
    Recording,
    RecordingError,
    Redacted,
    Text,
    Value,
    Wide,
    decode_values,
    read,
    record_at,
)

if TYPE_CHECKING:
    from .market_replay import Market

__all__ = ["DIVERGED", "Replay", "ReplayDivergence", "replay"]

DIVERGED = -1

_REASONS = {
    1: "another function was called",
    2: "the arguments differ",
    3: "the recording has no more calls",
    4: "the recording ends inside this call: its outcome was not recorded",
}

_c_int, _c_ll, _c_char_p = ctypes.c_int, ctypes.c_longlong, ctypes.c_char_p


def _fn(name: str, restype: Any, *argtypes: Any) -> Any:
    fn = getattr(_lib, name)
    fn.restype = restype
    fn.argtypes = argtypes
    return fn


_catalogue_hash = _fn("standin_catalogue_hash", ctypes.c_ulonglong)
_load = _fn("standin_replay_load", _c_int, _c_char_p, _c_int, _c_char_p, _c_int)
_size = _fn("standin_replay_size", _c_int)
_planned = _fn("standin_replay_planned", _c_int, _c_int, ctypes.POINTER(ctypes.c_ulonglong))
_end = _fn("standin_replay_end", None)
_position = _fn("standin_replay_position", _c_int)
_remaining = _fn("standin_replay_remaining", _c_int)
_undelivered = _fn("standin_replay_undelivered", _c_int)
_divergence = _fn("standin_replay_divergence", _c_int, ctypes.POINTER(_c_int),
                  ctypes.POINTER(_c_int), ctypes.POINTER(_c_int), ctypes.POINTER(_c_int),
                  ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(_c_int))

# Value tags of the format.
_NULL, _BYTES, _TEXT, _I32, _I64, _REAL, _FLAG, _CALLBACK, _UNREAD, _NONE, _REDACTED = range(11)


class ReplayDivergence(AssertionError):
    """The session replayed did not do what the recorded one did."""

    def __init__(self, reason: str, position: int, expected: Call | None, function: str | None,
                 args: tuple[Value, ...] | None, path: str) -> None:
        self.reason, self.position, self.expected = reason, position, expected
        self.got, self.got_args, self.path = function, args, path
        self.index = expected.index if expected is not None else None
        lines = [f"replay of {path} diverged at call {position}"
                 + (f" (record {self.index})" if self.index is not None else "") + f": {reason}"]
        if expected is not None:
            lines.append(f"  expected {expected.function}{_show(expected.args)}")
        if function is not None and args is not None:
            lines.append(f"  got      {function}{_show(args)}")
            if expected is not None and expected.function == function:
                lines += ["  " + line for line in difference(expected.args, args)]
        self.diff = "\n".join(lines[3:])
        super().__init__("\n".join(lines))


def _show(args: tuple[Value, ...]) -> str:
    return "(" + ", ".join(_short(a) for a in args) + ")"


def _short(v: Value, limit: int = 60) -> str:
    text = repr(bytes(v)) if isinstance(v, bytes) else repr(v)
    return text if len(text) <= limit else text[:limit - 3] + "..."


def difference(expected: tuple[Value, ...], got: tuple[Value, ...]) -> list[str]:
    """Where two argument lists differ: per argument, and inside byte strings, each changed
    span with its offset."""
    out: list[str] = []
    for i in range(max(len(expected), len(got))):
        a = expected[i] if i < len(expected) else None
        b = got[i] if i < len(got) else None
        if isinstance(a, Redacted):
            out.append(f"argument {i}: a secret, redacted in the recording: matched as any value")
            continue
        if a == b and type(a) is type(b):
            continue
        if isinstance(a, bytes) and isinstance(b, bytes):
            out.append(f"argument {i}: {len(a)} bytes expected, {len(b)} came")
            ops = difflib.SequenceMatcher(None, a, b, autojunk=False).get_opcodes()
            changes = [op for op in ops if op[0] != "equal"]
            for tag, i1, i2, j1, j2 in changes[:8]:
                out.append(f"  at byte {i1}: {tag} {bytes(a[i1:i2])!r} -> {bytes(b[j1:j2])!r}")
            if len(changes) > 8:
                out.append(f"  ... {len(changes) - 8} more changes")
        else:
            out.append(f"argument {i}: expected {_short(a)}, came {_short(b)}")
    return out


def _tag(v: Value) -> int:
    if v is None:
        return _NULL
    if isinstance(v, Marker):
        return _UNREAD if v is Marker.UNREAD else _NONE
    if isinstance(v, Redacted):
        return _REDACTED
    if isinstance(v, Text):
        return _TEXT
    if isinstance(v, bytes):
        return _BYTES
    if isinstance(v, bool):
        return _FLAG
    if isinstance(v, Callback):
        return _CALLBACK
    if isinstance(v, Wide):
        return _I64
    if isinstance(v, int):
        return _I32
    return _REAL


def encode_args(args: tuple[Value, ...]) -> bytes:
    """Arguments as the format encodes them (as the stand-in encodes the calls it receives)."""
    out = bytearray([len(args)])
    for v in args:
        tag = _tag(v)
        out.append(tag)
        if isinstance(v, Redacted):
            out += bytes([_TEXT if v.kind == "text" else _BYTES]) + v.length.to_bytes(4, "little")
        elif isinstance(v, bytes):
            out += len(v).to_bytes(4, "little") + v
        elif isinstance(v, bool):
            out.append(1 if v else 0)
        elif isinstance(v, Callback):
            out.append(1 if v else 0)
        elif isinstance(v, int):
            out += int(v).to_bytes(8 if tag == _I64 else 4, "little", signed=True)
        elif isinstance(v, float):
            out += struct.pack("<d", v)
    return bytes(out)


# The replay in progress (strict, loose, or a market replay: qvsdk_standin.market_replay). Held
# weakly: one that nothing refers to any more (never closed, its `with` block long gone) is no
# longer claimed, and the next reset() ends it.
_active: weakref.ref[Replay | Market] | None = None


def in_progress() -> Replay | Market | None:
    """The replay in progress, if any."""
    found = _active() if _active is not None else None
    return found if found is not None and not found._closed else None


def refuse_during_replay(what: str) -> None:
    """Raises RuntimeError, naming `what`, while a replay is in progress."""
    found = in_progress()
    if found is not None:
        raise RuntimeError(f"{what} inside the replay of {found.path}: it would end the replay "
                           "and answer the calls as programmed; close the replay first (leave "
                           "its `with` block)")


class Replay:
    """A replay in progress (see the module's docstring)."""

    def __init__(self, path: str | os.PathLike[str], strict: bool = True) -> None:
        global _active
        self.path = os.fspath(path)
        self.strict = strict
        self._closed = True  # until it begins
        refuse_during_replay(f"replay({self.path!r})")
        # The stand-in maps the file and plans the replay from it with the recording parser;
        # a file it cannot read whole (another catalogue, a malformed frame) is refused.
        error = ctypes.create_string_buffer(512)
        if _load(os.fsencode(self.path), 1 if strict else 0, error, len(error)) != 0:
            raise RecordingError(f"{self.path}: "
                                 + error.value.decode("utf-8", "backslashreplace"))
        self._size = int(_size())
        self._recording: Recording | None = None
        self._closed = False
        _active = weakref.ref(self)

    @property
    def recording(self) -> Recording:
        """The recording's header (its records read from the file when they are asked for)."""
        if self._recording is None:
            self._recording = read(self.path)
        return self._recording

    def _expected(self, position: int) -> Call | None:
        """The recorded call at `position` in the plan."""
        offset = ctypes.c_ulonglong()
        index = int(_planned(position, ctypes.byref(offset)))
        if index < 0:
            return None
        r = record_at(self.path, offset.value, index)
        if isinstance(r, Open):
            return Call(r.index, r.seq, r.parent, r.thread, r.time_ns, r.function, r.args, None,
                        (), finished=False)
        return r if isinstance(r, Call) else None

    @property
    def matched(self) -> int:
        """Recorded calls answered so far."""
        return int(_position())

    @property
    def remaining(self) -> int:
        """Recorded calls not yet made."""
        return int(_remaining())

    def divergence(self) -> ReplayDivergence | None:
        """The first divergence, if any."""
        reason, position, record, got = _c_int(), _c_int(), _c_int(), _c_int()
        args, args_len = ctypes.c_void_p(), _c_int()
        if self._closed or not _divergence(ctypes.byref(reason), ctypes.byref(position),
                                           ctypes.byref(record), ctypes.byref(got),
                                           ctypes.byref(args), ctypes.byref(args_len)):
            return None
        raw = ctypes.string_at(args.value or 0, args_len.value) if args_len.value else b""
        expected = self._expected(position.value)
        return ReplayDivergence(_REASONS.get(reason.value, "unknown"), position.value, expected,
                                _NAMES[got.value], decode_values(raw), self.path)

    def check(self) -> None:
        """Raises the first divergence, if any."""
        found = self.divergence()
        if found is not None:
            raise found

    def close(self) -> None:
        """Ends the replay (the stand-in answers as programmed again); raises the first
        divergence and, in strict mode, recorded calls that were never made."""
        if self._closed:
            return
        found = self.divergence()
        left, undelivered = self.remaining, int(_undelivered())
        nxt = self._expected(self._size - left) if self.strict and left and found is None \
            else None
        self._closed = True
        _end()
        if found is not None:
            raise found
        events = (f"{undelivered} recorded event(s) not delivered (events recorded between "
                  "calls wait for a qvi_run or qvi_poll)")
        if self.strict and left:
            raise ReplayDivergence(f"the session ended with {left} recorded call(s) not made"
                                   + (f" and {events}" if undelivered else ""),
                                   self._size - left, nxt, None, None, self.path)
        if self.strict and undelivered:
            raise ReplayDivergence(f"the session ended with {events}", self._size, None,
                                   None, None, self.path)

    def __enter__(self) -> Replay:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        if exc_type is None:
            self.close()
            return
        # Already failing: a divergence is the likelier cause (raised with the failure as its
        # context); unmade calls are not worth reporting over it.
        found = self.divergence()
        self._closed = True
        _end()
        if found is not None:
            raise found


def replay(path: str | os.PathLike[str], strict: bool = True) -> Replay:
    """Makes the stand-in answer from the recording at `path` until the replay is closed."""
    return Replay(path, strict)
