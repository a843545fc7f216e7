"""Market replay: a recorded session's market, played to a strategy that may have changed.

    import qvsdk_standin as sdk

    sdk.set_result("qvi_place_order_pb", 1030)        # the programmed outcomes still hold
    with sdk.market("session.qvrec") as m:            # pace=10.0, start=, end=, events=...
        ...run the changed strategy...
    for call in m.calls(exclude="qvi_strerror"):
        print(call.name, call.recorded)                # answered from the recording or not

Where strict and loose replay (qvsdk_standin.replaying) answer "what happened in that
session?", a market replay answers "what would this strategy have done in it?":

- events come from the recording, every one (or those selected by `start`, `end` and
  `events`), as one stream in the order they arrived, wherever they were recorded (inside a
  run, inside another call, from one of the library's threads): qvi_run delivers the stream
  until it is exhausted or the run is stopped (qvi_stop, request_stop), and a later qvi_run
  goes on where it stopped; qvi_poll delivers the events due (with a pace, those whose time has
  come; without one, the rest of the stream);
- a call is answered from the recording when the recording holds an answer to the same question
  (the same function, the same arguments and request bytes; a redacted recorded argument
  matches any value of its kind), each recorded answer once, in the order recorded; every other
  call is answered by the stand-in's programmed outcomes (set_result, sequences, callables, the
  defaults). The journal records every call as usual; `calls()` tells which were answered from
  the recording;
- qvi_now and qvi_now_plus tell the recorded session's time at the current point of the stream
  (the time of the last event delivered; before the first, the selection's start), as
  nanoseconds since 1970-01-01 UTC (a long long) and as seconds (a double): the header's
  wall-clock start plus the frames' monotonic times;
- the pace is as fast as possible by default, or the recorded pace times `pace` (1.0 as
  recorded, 10.0 ten times faster), counted from the first event delivered;
- it is deterministic: the same recording, strategy and outcomes give the same journal.

Only close() (or the end of the `with` block) ends it; reset() or another replay inside it
raises RuntimeError, and a Harness entered inside it starts clean while the market goes on. An
event's values are checked when it is due: a malformed event frame ends the delivery there, and
close() raises the RecordingError that names it.
"""

from __future__ import annotations

import ctypes
import math
import os
import weakref
from collections.abc import Iterable
from types import TracebackType
from typing import Any, NamedTuple

from . import Arg, Call, _journal_args, _lib, _NAMES, _selected_calls
from . import replaying
from .recording import RecordingError

__all__ = ["Market", "MarketCall", "market"]


def _fn(name: str, restype: Any, *argtypes: Any) -> Any:
    fn = getattr(_lib, name)
    fn.restype = restype
    fn.argtypes = argtypes
    return fn


_load = _fn("standin_market_load", ctypes.c_int, ctypes.c_char_p, ctypes.c_double,
            ctypes.c_longlong, ctypes.c_longlong, ctypes.c_char_p, ctypes.c_int,
            ctypes.c_char_p, ctypes.c_int)
_info = _fn("standin_market_info", ctypes.c_longlong, ctypes.c_int)
_error = _fn("standin_market_error", ctypes.c_int, ctypes.c_char_p, ctypes.c_int)
_recorded = _fn("standin_journal_recorded", ctypes.c_int, ctypes.c_int)
_end = _fn("standin_replay_end", None)
# The size of the parts a large recording is loaded in, two threads walking them (0: the
# default); tests make it small to load small files in parts.
_part_bytes = _fn("standin_market_part_bytes", None, ctypes.c_longlong)

_EVENTS, _DELIVERED, _ANSWERED, _CLOCK, _UNUSED = 0, 1, 2, 3, 5


class MarketCall(NamedTuple):
    """A call in the journal, and whether the recording answered it (True) or the programmed
    outcomes did (False)."""

    name: str
    args: tuple[Arg, ...]
    recorded: bool

    @property
    def call(self) -> Call:
        """The call as sdk.calls() gives it."""
        return Call(self.name, self.args)


def _seconds(value: object, what: str) -> int:
    """Seconds since the recording's start, as nanoseconds."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"market(): {what} must be a number of seconds, not "
                        f"{type(value).__name__}")
    if not math.isfinite(value) or value < 0:
        raise ValueError(f"market(): {what} must be a finite number of seconds from 0, not "
                         f"{value!r}")
    return min(round(value * 1e9), 2**63 - 1)


def _names(events: object) -> bytes:
    if isinstance(events, (str, bytes)) or not isinstance(events, Iterable):
        raise TypeError("market(): events must be an iterable of event names (str or bytes), "
                        f"not {type(events).__name__}")
    out = bytearray()
    for name in sorted({n.encode() if isinstance(n, str) else n
                        for n in _check_names(events)}):
        if b"\0" in name:
            raise ValueError(f"market(): the event name {name!r} contains a NUL byte")
        out += name + b"\0"
    return bytes(out)


def _check_names(events: Iterable[object]) -> Iterable[str | bytes]:
    for n in events:
        if not isinstance(n, (str, bytes)):
            raise TypeError(f"market(): an event name must be a str or bytes, not "
                            f"{type(n).__name__}")
        yield n


class Market:
    """A market replay in progress (see the module's docstring)."""

    def __init__(self, path: str | os.PathLike[str], *, pace: float | None = None,
                 start: float | None = None, end: float | None = None,
                 events: Iterable[str | bytes] | None = None) -> None:
        self.path = os.fspath(path)
        self._closed = True  # until it begins
        self._final: dict[int, int] = {}
        if pace is not None and (isinstance(pace, bool) or not isinstance(pace, (int, float))):
            raise TypeError(f"market(): pace must be a number, not {type(pace).__name__}")
        if pace is not None and not (math.isfinite(pace) and pace > 0):
            raise ValueError(f"market(): pace must be a finite factor above 0, not {pace!r} "
                             "(None: as fast as possible)")
        self.pace = None if pace is None else float(pace)
        first = 0 if start is None else _seconds(start, "start")
        last = -1 if end is None else _seconds(end, "end")
        if last >= 0 and last < first:
            raise ValueError(f"market(): end ({end}) is before start ({start})")
        names = None if events is None else _names(events)
        replaying.refuse_during_replay(f"market({self.path!r})")
        error = ctypes.create_string_buffer(512)
        if _load(os.fsencode(self.path), self.pace or 0.0, first, last, names,
                 len(names or b""), error, len(error)) != 0:
            raise RecordingError(f"{self.path}: "
                                 + error.value.decode("utf-8", "backslashreplace"))
        self.events = int(_info(_EVENTS))
        self._closed = False
        replaying._active = weakref.ref(self)

    @property
    def closed(self) -> bool:
        return self._closed

    def _get(self, which: int) -> int:
        return self._final.get(which, 0) if self._closed else int(_info(which))

    @property
    def delivered(self) -> int:
        """Events of the stream delivered so far (to the callback, or dropped without one)."""
        return self._get(_DELIVERED)

    @property
    def remaining(self) -> int:
        """Events of the stream not yet delivered."""
        return self.events - self.delivered

    @property
    def answered(self) -> int:
        """Calls answered from the recording (qvi_now and qvi_now_plus included)."""
        return self._get(_ANSWERED)

    @property
    def unused(self) -> int:
        """Recorded answers the strategy never asked for."""
        return self._get(_UNUSED)

    @property
    def clock_ns(self) -> int:
        """The stream's time: nanoseconds since the recording's start."""
        return self._get(_CLOCK)

    def calls(self, name: str | Iterable[str] | None = None, *,
              exclude: str | Iterable[str] = ()) -> list[MarketCall]:
        """The journal, as sdk.calls(name, exclude=...) gives it, each call marked with whether
        the recording answered it. Read from the stand-in's journal: valid after close() too,
        until the journal is cleared."""
        return [MarketCall(_NAMES[fn], _journal_args(i), _recorded(i) == 1)
                for i, fn in _selected_calls(name, exclude)]

    def close(self) -> None:
        """Ends the market replay: the stand-in answers as programmed again. Raises
        RecordingError when the delivery met a malformed event frame (it ended there)."""
        if self._closed:
            return
        self._final = {w: int(_info(w)) for w in (_DELIVERED, _ANSWERED, _UNUSED, _CLOCK)}
        error = ctypes.create_string_buffer(512)
        failed = _error(error, len(error)) > 0
        self._closed = True
        _end()
        if failed:
            raise RecordingError(f"{self.path}: "
                                 + error.value.decode("utf-8", "backslashreplace"))

    def __enter__(self) -> Market:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()


def market(path: str | os.PathLike[str], *, pace: float | None = None,
           start: float | None = None, end: float | None = None,
           events: Iterable[str | bytes] | None = None) -> Market:
    """Plays the market recorded at `path` to the strategy until the replay is closed.

    `pace`: None, as fast as possible; else the recorded pace times this factor. `start`,
    `end`: the part of the session to play, in seconds since the recording's start. `events`:
    only the events of these names.
    """
    return Market(path, pace=pace, start=start, end=end, events=events)
