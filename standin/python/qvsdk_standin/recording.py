"""Reading a recording made by the recorder (docs/recording-format.md gives the format).

    from qvsdk_standin import recording

    rec = recording.read("session.qvrec")
    for r in rec:                    # Call, Open, Event and Note records, in file order,
        ...                          # streamed from the file (rec.records: all of them, held)
    rec.session()                    # calls (and calls left open) in the order they were made
    print(recording.summary(rec))    # span, calls and events per name, statuses, waits, damage,
                                     # then failing statuses, latency, peak rates and gaps
    recording.statistics(rec)        # those statistics as figures (session_stats.Figures)
    recording.write_jsonl(rec, sys.stdout)

    python -m qvsdk_standin.recording summary FILE
    python -m qvsdk_standin.recording jsonl FILE
    python -m qvsdk_standin.recording plot FILE -o session.png [--width PX --height PX]
                            # a picture of the session (session_plot.py; needs matplotlib)
    python -m qvsdk_standin.recording env FILE [--target LIBRARY]
                            # for sh: the variables that put the installed recorder in front of
                            # LIBRARY (default: the stand-in), recording to FILE

A damaged tail (a frame cut short or failing its checksum) ends the records: everything before
it is kept, and `rec.damage` says where and why. A file that is not a recording, one recorded
against another SDK catalogue (unless read with foreign=True), and a frame that passes its
checksum but is malformed raise RecordingError naming the offset and the reason. The format is
parsed by the stand-in library's parser, the one replay uses (standin/src/reader.h).

Values as read: None (a NULL pointer), bytes, Text (a C text, a bytes subclass), int (a C int),
Wide (a long long, an int subclass), float, bool (a flag), Callback (whether the event callback
was set), and the markers UNREAD (an output not read, the status having said failure) and VOID
(the result of a function returning nothing), and Redacted(kind, length) for a secret the
recorder left out.

By default the recorder records no secret: SECRETS lists the arguments (and results) it
redacts, and the summary says whether a file holds any in clear.
"""

from __future__ import annotations

import argparse
import ctypes
import enum
import json
import math
import os
import struct
import sys
from collections import Counter
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from typing import IO, TYPE_CHECKING, Any, Final, Union

if TYPE_CHECKING:
    from . import session_stats

__all__ = [
    "Call",
    "Callback",
    "Damage",
    "Event",
    "Marker",
    "Note",
    "Open",
    "Recording",
    "RecordingError",
    "Redacted",
    "SECRETS",
    "Text",
    "UNREAD",
    "VOID",
    "Value",
    "Wide",
    "crc32c",
    "environment",
    "read",
    "statistics",
    "summary",
    "write_jsonl",
]

MAGIC: Final = b"QVSDKREC"
VERSION: Final = 2  # written by the recorder; versions 1 and 2 are read
HEADER_SIZE: Final = 48
NO_FUNCTION: Final = 0xFFFF
CALL, EVENT, OPEN, NOTE = 1, 2, 3, 4
NOTE_CLOSED, NOTE_WRITE_FAILED, NOTE_LEFT_OUT = 1, 2, 3
MAX_FRAME: Final = 1 << 31

# Where `pip install . -Ccmake.define.QVSDK_RECORDER=ON` puts the recorder: a folder beside this
# package holding it under the SDK's own file name.
_SITE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RECORDER_DIR: Final = os.path.join(_SITE, "qvsdk_recorder")
RECORDER: Final = os.path.join(RECORDER_DIR, "qvsdk.dll" if sys.platform == "win32" else "libqvsdk.so")


class Text(bytes):
    """A C text (NUL-terminated), without its NUL."""


class Wide(int):
    """A long long."""


class Callback(int):
    """The event callback passed to the SDK: 1 when set, 0 for NULL."""


class Marker(enum.Enum):
    UNREAD = "unread"
    VOID = "void"


UNREAD: Final = Marker.UNREAD
VOID: Final = Marker.VOID

Value = Union[None, bool, int, float, bytes, Marker, "Redacted"]

# The secrets the recorder redacts (unless QVSDK_RECORD_SECRETS=keep): per function, the
# indices of its recorded arguments, and "result" for a secret it returns. tests/test_recorder
# checks this table against the parameter names of include/qvsdk/qvsdk.h; the recorder's own
# table (standin/recorder/redaction.h) is checked against the catalogue when it is built.
SECRETS: Final[dict[str, tuple[int | str, ...]]] = {
    "qvi_set_token": (0,),
    "qvi_set_apitoken": (0,),
    "qvi_get_encrypted_token": ("result",),
    "qvi_set_ctp_md_info": (2,),
    "qvi_set_bus_info": (2,),
    "qvi_set_bus_secure": (3,),
}


class RecordingError(ValueError):
    """The file is not a recording this reader reads: its header is wrong or unknown, it was
    recorded against another SDK catalogue, or a frame that passed its checksum is malformed.
    The message names the offset and the reason."""


@dataclass(frozen=True, slots=True)
class Redacted:
    """A value the recorder left out (a secret): its kind ("bytes" or "text") and length."""

    kind: str
    length: int


@dataclass(frozen=True, slots=True)
class Call:
    """A call, written when it returned: arguments, result and outputs."""

    index: int  # frame number in the file, from 0
    seq: int  # order of entry, shared with events
    parent: int  # the call this one was made inside (from an event), 0 for none
    thread: int
    time_ns: int  # at entry, since the recording's start
    function: str
    args: tuple[Value, ...]
    result: Value
    outputs: tuple[Value, ...]
    finished: bool = True
    duration_ns: int | None = None  # how long the SDK took; None where the format (1) lacks it


@dataclass(frozen=True, slots=True)
class Open:
    """A call still running when an event arrived inside it; its Call follows when it returns."""

    index: int
    seq: int
    parent: int
    thread: int
    time_ns: int
    function: str
    args: tuple[Value, ...]


@dataclass(frozen=True, slots=True)
class Event:
    index: int
    seq: int
    parent: int  # the call that delivered it, 0 for none
    thread: int
    time_ns: int
    name: bytes | None
    data: bytes | None
    length: int  # as reported; data holds exactly this many bytes unless it is None


@dataclass(frozen=True, slots=True)
class Note:
    index: int
    time_ns: int
    code: int  # NOTE_CLOSED, NOTE_WRITE_FAILED, NOTE_LEFT_OUT
    frames: int
    waits: int
    writer_ns: int
    message: bytes


Record = Union[Call, Open, Event, Note]


@dataclass(frozen=True, slots=True)
class Damage:
    offset: int  # of the first byte not read
    reason: str


class Recording:
    """A recording's header, and its records read from the file as they are asked for:
    iterating over it streams them (in file order) without holding them; `records` holds them
    all. A damaged tail ends the records: `damage` says where and why. A frame that passed its
    checksum but is malformed raises RecordingError where the walk reaches it."""

    def __init__(self, source: str | bytes, path: str, foreign: bool = False) -> None:
        self._source = source
        self.path = path
        with _Handle(source, path) as h:
            head = _Head()
            _rec_header(h.handle, ctypes.byref(head))
        self.version = int(head.version)
        self.functions = int(head.functions)
        self.catalogue_hash = int(head.catalogue_hash)
        self.start_ns = int(head.start_ns)
        self.pid = int(head.pid)
        self.size = int(head.size)  # bytes in the file
        self.own_catalogue = bool(head.own_catalogue)
        if not self.own_catalogue and not foreign:
            raise RecordingError(f"{path}: {self.catalogue()}")
        self._records: list[Record] | None = None
        self._damage: Damage | None = None
        self._walked = False

    def catalogue(self) -> str:
        """Which catalogue the recording was made against, said plainly."""
        if self.own_catalogue:
            return f"this SDK catalogue ({self.functions} functions, {self.catalogue_hash:016x})"
        return (f"recorded against another SDK catalogue ({self.functions} functions, hash "
                f"{self.catalogue_hash:016x}; this reader's: {len(_names())} functions, "
                f"{_catalogue_hash():016x}): functions are named by their index (#N)")

    def __iter__(self) -> Iterator[Record]:
        if self._records is not None:
            return iter(self._records)
        return self._walk()

    def _walk(self) -> Iterator[Record]:
        names = _names() if self.own_catalogue else None
        with _Handle(self._source, self.path) as h:
            yield from h.records(names)
            self._damage = h.damage()
            self._walked = True

    @property
    def records(self) -> list[Record]:
        if self._records is None:
            self._records = list(self._walk())
        return self._records

    @property
    def damage(self) -> Damage | None:
        if not self._walked:
            with _Handle(self._source, self.path) as h:
                h.totals()
                self._damage = h.damage()
            self._walked = True
        return self._damage

    @property
    def good_size(self) -> int:
        """Bytes of the good prefix."""
        damage = self.damage
        return damage.offset if damage is not None else self.size

    @property
    def closed(self) -> bool:
        """Whether the recording ends with its closing note."""
        last = self.records[-1] if self.records else None
        return isinstance(last, Note) and last.code == NOTE_CLOSED and self.damage is None

    def calls(self) -> list[Call]:
        """Calls in the order they were made, those that never returned within the recording
        included (finished False, result and outputs unknown)."""
        return [r for r in self.session() if isinstance(r, Call)]

    def events(self) -> list[Event]:
        return [r for r in self.records if isinstance(r, Event)]

    def session(self) -> list[Call | Event]:
        """Calls and events in the order they happened (by sequence number)."""
        calls: dict[int, Call] = {}
        opened: dict[int, Open] = {}
        out: list[Call | Event] = []
        for r in self.records:
            if isinstance(r, Call):
                calls[r.seq] = r
            elif isinstance(r, Open):
                opened[r.seq] = r
            elif isinstance(r, Event):
                out.append(r)
        for seq, o in opened.items():
            if seq not in calls:
                calls[seq] = _unfinished(o)
        out.extend(calls.values())
        out.sort(key=lambda r: r.seq)
        return out


def _unfinished(o: Open) -> Call:
    return Call(o.index, o.seq, o.parent, o.thread, o.time_ns, o.function, o.args, None, (),
                finished=False)


# ---- CRC-32C ----


def _table() -> list[int]:
    table = []
    for i in range(256):
        c = i
        for _ in range(8):
            c = (c >> 1) ^ (0x82F63B78 if c & 1 else 0)
        table.append(c)
    return table


_TABLE: Final = _table()


def _crc32c_python(data: bytes | memoryview) -> int:
    crc = 0xFFFFFFFF
    table = _TABLE
    for b in bytes(data):
        crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8)
    return crc ^ 0xFFFFFFFF


def _native_crc() -> object:
    try:
        from . import LIBRARY
    except Exception:  # noqa: BLE001 - the stand-in library is optional for reading
        return None
    try:
        fn = ctypes.CDLL(LIBRARY).standin_crc32c
    except (OSError, AttributeError):
        return None
    fn.restype = ctypes.c_uint32
    fn.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int]
    return fn


_NATIVE: Final = _native_crc()


def crc32c(data: bytes, *, portable: bool = False) -> int:
    """The CRC-32C of `data`: through the stand-in library where it is at hand (its fastest
    implementation, or its portable one), else in Python."""
    if _NATIVE is None:
        return _crc32c_python(data)
    return int(_NATIVE(data, len(data), 1 if portable else 0))  # type: ignore[operator]


# ---- decoding, by the stand-in library's parser (standin/src/reader.h) ----


def _lib() -> ctypes.CDLL:
    # Without the interpreter lock: the parser's handles share nothing with the stand-in's
    # state, and a long walk lets other threads run.
    from . import _lib_nogil as lib

    return lib


class _Head(ctypes.Structure):
    _fields_ = [("catalogue_hash", ctypes.c_uint64), ("start_ns", ctypes.c_int64),
                ("monotonic_ns", ctypes.c_int64), ("size", ctypes.c_uint64),
                ("functions", ctypes.c_uint32), ("pid", ctypes.c_uint32),
                ("version", ctypes.c_uint16), ("header_size", ctypes.c_uint16),
                ("own_catalogue", ctypes.c_int32)]


class _Totals(ctypes.Structure):
    _fields_ = [(name, ctypes.c_uint64) for name in ("frames", "calls", "events", "waits")] + [
        ("min_time", ctypes.c_int64), ("max_time", ctypes.c_int64)] + [
        (name, ctypes.c_uint64) for name in ("results", "names", "failures", "unfinished",
                                             "redacted", "clear", "functions", "gaps")] + [
        ("closed", ctypes.c_int32), ("timed", ctypes.c_int32)]


def _declare(name: str, restype: object, *argtypes: object) -> Any:
    fn = getattr(_lib(), name)
    fn.restype = restype
    fn.argtypes = argtypes
    return fn


_vp, _sz, _int, _ull = ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_ulonglong
_rec_open = _declare("standin_rec_open", _vp, ctypes.c_char_p, ctypes.c_char_p, _int)
_rec_open_memory = _declare("standin_rec_open_memory", _vp, _vp, _sz, ctypes.c_char_p, _int)
_rec_close = _declare("standin_rec_close", None, _vp)
_rec_seek = _declare("standin_rec_seek", None, _vp, _ull, _ull)
_rec_header = _declare("standin_rec_header", None, _vp, ctypes.POINTER(_Head))
_rec_base = _declare("standin_rec_base", _vp, _vp)
_rec_batch = _declare("standin_rec_batch", _int, _vp, _vp, _int, _vp, _int)
_rec_state = _declare("standin_rec_state", _int, _vp, ctypes.POINTER(_ull), ctypes.c_char_p, _int)
_rec_value = _declare("standin_rec_value", _int, _vp, _ull, _vp)
_rec_values = _declare("standin_rec_values", _int, _vp, _sz, _vp, _int)
_rec_summarise = _declare("standin_rec_summarise", _int, _vp, ctypes.POINTER(_Totals))
_rec_rows = _declare("standin_rec_summary_rows", _int, _vp, _int, _vp, _int)
_rec_row_value = _declare("standin_rec_row_value", _int, _vp, _int, _int, _vp)
_rec_stats = _declare("standin_rec_summary_stats", _int, _vp, _int, _vp, _int)
_rec_sketch = _declare("standin_rec_sketch", None, _vp, _sz, _vp, _int, _vp)
_catalogue_hash = _declare("standin_catalogue_hash", ctypes.c_ulonglong)

# The layouts of FrameOut and ValueOut in reader.cpp.
_FRAME = struct.Struct("<QQQQqQQQqIIiHHBBB5x")
_VALUE = struct.Struct("<QqdIBB2x")
_FRAMES, _VALUES = 1024, 65536
_KINDS = {1: "bytes", 2: "text"}


def _value(base: int, offset: int, integer: int, real: float, length: int, tag: int,
           sub: int) -> Value:
    if tag == 0:
        return None
    if tag == 1:
        return ctypes.string_at(base + offset, length) if length else b""
    if tag == 2:
        return Text(ctypes.string_at(base + offset, length) if length else b"")
    if tag == 3:
        return integer
    if tag == 4:
        return Wide(integer)
    if tag == 5:
        return real
    if tag == 6:
        return integer != 0
    if tag == 7:
        return Callback(integer)
    if tag == 8:
        return UNREAD
    if tag == 9:
        return VOID
    return Redacted(_KINDS[sub], length)


class _Handle:
    """The parser's handle on one file (or on bytes held by the caller)."""

    def __init__(self, source: str | bytes, path: str) -> None:
        error = ctypes.create_string_buffer(512)
        self._keep = source
        if isinstance(source, bytes):
            self.handle = _rec_open_memory(source, len(source), error, len(error))
        else:
            self.handle = _rec_open(os.fsencode(source), error, len(error))
        if not self.handle:
            raise RecordingError(f"{path}: {error.value.decode('utf-8', 'backslashreplace')}")
        self.path = path
        self.base = int(_rec_base(self.handle) or 0)
        self._value_out = ctypes.create_string_buffer(_VALUE.size)

    def __enter__(self) -> _Handle:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        if self.handle:
            _rec_close(self.handle)
            self.handle = None

    def state(self) -> tuple[int, int, str]:
        offset = _ull()
        reason = ctypes.create_string_buffer(512)
        kind = int(_rec_state(self.handle, ctypes.byref(offset), reason, len(reason)))
        return kind, int(offset.value), reason.value.decode("utf-8", "backslashreplace")

    def damage(self) -> Damage | None:
        kind, offset, reason = self.state()
        if kind == 2:
            raise RecordingError(f"{self.path}: {reason}")
        return Damage(offset, reason) if kind == 1 else None

    def records(self, names: tuple[str, ...] | None) -> Iterator[Record]:
        frames = ctypes.create_string_buffer(_FRAMES * _FRAME.size)
        values = ctypes.create_string_buffer(_VALUES * _VALUE.size)
        base = self.base

        def function(index: int) -> str:
            return names[index] if names is not None else f"#{index}"

        while True:
            n = int(_rec_batch(self.handle, frames, _FRAMES, values, _VALUES))
            if n == 0:
                self.damage()  # raises at a malformed frame
                return
            raw = memoryview(values).cast("B")
            for f in _FRAME.iter_unpack(memoryview(frames).cast("B")[:n * _FRAME.size]):
                (_offset, index, seq, parent, time_ns, nframes, waits, writer_ns, duration, thread,
                 first, length, fn, code, kind, nargs, nouts) = f
                count = nargs + 1 + nouts if kind == CALL else nargs if kind == OPEN else \
                    2 if kind == EVENT else 1
                vals = [_value(base, *_VALUE.unpack_from(raw, (first + i) * _VALUE.size))
                        for i in range(count)]
                record: Record
                if kind == CALL:
                    record = Call(index, seq, parent, thread, time_ns, function(fn),
                                  tuple(vals[:nargs]), vals[nargs], tuple(vals[nargs + 1:]),
                                  duration_ns=None if duration < 0 else duration)
                elif kind == OPEN:
                    record = Open(index, seq, parent, thread, time_ns, function(fn), tuple(vals))
                elif kind == EVENT:
                    name, data = vals
                    record = Event(index, seq, parent, thread, time_ns,
                                   None if name is None else bytes(name),  # type: ignore[arg-type]
                                   data, length)  # type: ignore[arg-type]
                else:
                    message = vals[0]
                    record = Note(index, time_ns, code, nframes, waits, writer_ns,
                                  bytes(message) if isinstance(message, bytes) else b"")
                yield record

    def value_at(self, offset: int) -> Value:
        out = self._value_out
        if _rec_value(self.handle, offset, out) != 0:
            raise RecordingError(f"{self.path}: offset {offset}: no value there")
        return _value(self.base, *_VALUE.unpack(out.raw))

    def row_value(self, which: int, row: int) -> Value:
        """The value of a row of the summary (held by the parser, not read from the file)."""
        out = self._value_out
        if _rec_row_value(self.handle, which, row, out) != 0:
            raise RecordingError(f"{self.path}: no such row")
        return _value(0, *_VALUE.unpack(out.raw))

    def totals(self) -> _Totals:
        totals = _Totals()
        if _rec_summarise(self.handle, ctypes.byref(totals)) != 0:
            self.damage()
        return totals

    def rows(self, which: int, count: int, width: int) -> list[tuple[int, ...]]:
        out = (ctypes.c_uint64 * max(1, count * width))()
        n = int(_rec_rows(self.handle, which, out, count))
        return [tuple(out[i * width:(i + 1) * width]) for i in range(n)]

    def stats(self, which: int, count: int, width: int) -> list[tuple[int, ...]]:
        """Rows of the summary's statistics (signed)."""
        out = (ctypes.c_int64 * max(1, count * width))()
        n = int(_rec_stats(self.handle, which, out, count))
        return [tuple(out[i * width:(i + 1) * width]) for i in range(n)]


def decode_values(raw: bytes) -> tuple[Value, ...]:
    """An argument list encoded as the format encodes it (a count, then the values)."""
    out = ctypes.create_string_buffer(256 * _VALUE.size)
    n = int(_rec_values(raw, len(raw), out, 256))
    if n < 0:
        raise RecordingError("a malformed argument list")
    base = ctypes.cast(ctypes.c_char_p(raw), ctypes.c_void_p).value or 0
    return tuple(_value(base, *_VALUE.unpack_from(out.raw, i * _VALUE.size)) for i in range(n))


def _names() -> tuple[str, ...]:
    from . import functions

    return functions()


def parse(data: bytes, path: str = "<bytes>", *, foreign: bool = False) -> Recording:
    """A recording from the bytes of its file (records read at once)."""
    rec = Recording(bytes(data), path, foreign)
    rec.records  # noqa: B018 - read while the bytes are at hand
    rec.damage  # noqa: B018
    return rec


def read(path: str | os.PathLike[str], *, foreign: bool = False) -> Recording:
    """The recording at `path`: its header now, its records as they are asked for (iterate
    over it to stream them). A recording of another SDK catalogue is refused (RecordingError)
    unless `foreign`, which reads it with functions named by their index."""
    return Recording(os.fspath(path), os.fspath(path), foreign)


def record_at(path: str | os.PathLike[str], offset: int, index: int) -> Record:
    """The record of the frame at `offset` (found by an earlier walk), numbered `index`."""
    rec = read(path, foreign=True)
    with _Handle(rec.path, rec.path) as h:
        _rec_seek(h.handle, offset, index)
        for r in h.records(_names() if rec.own_catalogue else None):
            return r
    raise RecordingError(f"{rec.path}: offset {offset}: no frame there")


# ---- summary and export ----


def _status(call: Call) -> str:
    if not call.finished:
        return "unfinished"
    if call.result is VOID:
        return "void"
    return repr(call.result)


def summary(rec: Recording) -> str:
    """Span, calls and events per name, statuses, waits, the state of the tail, and the
    session's statistics (session_stats.report: failing statuses, latency, peak rates, gaps):
    computed by the parser in one pass over the file, in memory that does not grow with it."""
    from . import session_stats

    text, figures = _summarise(rec)
    return text + "\n" + session_stats.report(figures, start_ns=rec.start_ns)


def statistics(rec: Recording) -> session_stats.Figures:
    """The session's statistics (as session_stats computes them from records), by the parser in
    one pass over the file."""
    return _summarise(rec)[1]


def _summarise(rec: Recording) -> tuple[str, session_stats.Figures]:
    from . import session_stats

    names = _names() if rec.own_catalogue else None

    def function(index: int) -> str:
        return names[index] if names is not None else f"#{index}"

    with _Handle(rec._source, rec.path) as h:
        t = h.totals()
        damage = h.damage()
        statuses: dict[str, Counter[str]] = {}
        for count, row, fn in h.rows(0, int(t.results), 3):
            result = h.row_value(0, row)
            shown = "void" if result is VOID else repr(result)
            statuses.setdefault(function(fn), Counter())[shown] += count
        unfinished = [function(fn) for _, _, fn in h.rows(3, int(t.unfinished), 3)]
        for name in unfinished:
            statuses.setdefault(name, Counter())["unfinished"] += 1
        per_event: Counter[bytes | None] = Counter()
        events = []
        for count, peak, second, row in h.stats(1, int(t.names), 4):
            text = h.row_value(1, row)
            event = bytes(text) if isinstance(text, bytes) else None
            per_event[event] += count
            events.append(session_stats.EventFigures(event, count, peak, second))
        functions = session_stats.sort_functions(
            session_stats.FunctionFigures(function(fn), calls, failing, unfinished, timed,
                                          *(None if v < 0 else v for v in (median, p99, most)))
            for fn, calls, failing, unfinished, timed, median, p99, most
            in h.stats(0, int(t.functions), 8))
        gaps = tuple(session_stats.Gap(start, length % 2**64)
                     for start, length in h.stats(2, int(t.gaps), 2))
        notes = [(code, h.row_value(2, row)) for code, row, _ in h.rows(2, int(t.failures), 3)]
        clear = [(count, f"{function(fn)} {f'argument {arg - 1}' if arg else 'result'}")
                 for count, arg, fn in h.rows(4, int(t.clear), 3)]
    if clear:
        shown = ", ".join(sorted(where for _, where in clear))
        secrets = (f"HELD IN CLEAR ({sum(n for n, _ in clear)}: {shown}): recorded with "
                   "QVSDK_RECORD_SECRETS=keep or by an older recorder; do not share this file")
    else:
        secrets = f"none ({t.redacted} redacted)"
    rec._damage, rec._walked = damage, True
    span = (t.max_time - t.min_time) / 1e9
    lines = [
        f"recording   {rec.path} (format {rec.version}, {rec.size} bytes, process {rec.pid})",
        f"span        {span:.3f} s from {_start(rec)}",
        f"frames      {t.frames}: {t.calls} calls, {t.events} events",
    ]
    if not rec.own_catalogue:
        lines.append(f"catalogue   {rec.catalogue()}")
    lines.append("calls")
    per_call = {name: sum(c.values()) for name, c in statuses.items()}
    for name, n in sorted(per_call.items(), key=lambda kv: (-kv[1], kv[0])):
        shown = ", ".join(f"{s} x{k}" for s, k in sorted(statuses[name].items()))
        lines.append(f"  {name:<44} {n:>8}  results: {shown}")
    lines.append("events")
    for ev, n in sorted(per_event.items(), key=lambda kv: (-kv[1], kv[0] or b"")):
        label = "NULL" if ev is None else ev.decode("utf-8", "backslashreplace")
        lines.append(f"  {label:<44} {n:>8}")
    lines.append(f"waits       {t.waits} (callers that mapped the next window themselves)")
    for code, message in notes:
        text = bytes(message) if isinstance(message, bytes) else b""
        label = "left out   " if code == NOTE_LEFT_OUT else "stopped    "
        lines.append(f"{label} {text.decode('utf-8', 'backslashreplace')}")
    lines.append("secrets     " + secrets)
    if damage is not None:
        lines.append(f"tail        damaged at byte {damage.offset}: {damage.reason}; "
                     f"{rec.size - damage.offset} bytes ignored")
    else:
        lines.append("tail        " + ("complete (closing note)" if t.closed
                                       else "intact, but no closing note"))
    if unfinished:
        lines.append(f"unfinished  {', '.join(unfinished)}")
    figures = session_stats.Figures(
        bool(t.timed), functions, tuple(events), int(t.min_time) if t.frames else None,
        int(t.max_time) if t.frames else None, gaps)
    return "\n".join(lines), figures


def _latency_sketch(ns: list[int], quantiles: list[float]) -> list[int | None]:
    """The quantiles and the maximum of durations by the parser's latency sketch (for tests)."""
    values = (ctypes.c_longlong * max(1, len(ns)))(*ns)
    qs = (ctypes.c_double * max(1, len(quantiles)))(*quantiles)
    out = (ctypes.c_longlong * (len(quantiles) + 1))()
    _rec_sketch(values, len(ns), qs, len(quantiles), out)
    return [None if v < 0 else int(v) for v in out]


def _secrets(rec: Recording) -> str:
    """Whether the recording holds secrets in clear, by the table of secrets."""
    redacted, clear = 0, []
    for c in rec.calls():
        where = SECRETS.get(c.function, ())
        values: list[tuple[str, Value]] = [
            (f"argument {i}", c.args[i]) for i in where if isinstance(i, int) and i < len(c.args)]
        if "result" in where:
            values.append(("result", c.result))
        for what, v in values:
            if isinstance(v, Redacted):
                redacted += 1
            elif isinstance(v, bytes) and v:
                clear.append(f"{c.function} {what}")
    if clear:
        shown = ", ".join(sorted(set(clear)))
        return (f"HELD IN CLEAR ({len(clear)}: {shown}): recorded with QVSDK_RECORD_SECRETS=keep "
                "or by an older recorder; do not share this file")
    return f"none ({redacted} redacted)"


def _start(rec: Recording) -> str:
    import datetime

    t = datetime.datetime.fromtimestamp(rec.start_ns / 1e9, datetime.timezone.utc)
    return t.isoformat(timespec="milliseconds")


def to_json(v: Value) -> object:
    """A value as JSON: texts and byte strings as objects naming their kind."""
    if v is None or isinstance(v, bool):
        return v
    if isinstance(v, Marker):
        return {v.value: True}
    if isinstance(v, Redacted):
        return {"redacted": v.kind, "length": v.length}
    if isinstance(v, Callback):
        return {"callback": "set" if v else "null"}
    if isinstance(v, Wide):
        return {"i64": int(v)}
    if isinstance(v, int):
        return v
    if isinstance(v, float):
        return v if math.isfinite(v) else {"f64": repr(v)}
    if isinstance(v, Text):
        return {"text": v.decode("utf-8", "backslashreplace")}
    try:
        return {"bytes": v.decode("utf-8")}
    except UnicodeDecodeError:
        return {"hex": v.hex()}


def _json_record(r: Record) -> dict[str, object]:
    if isinstance(r, (Call, Open)):
        d: dict[str, object] = {
            "frame": "call" if isinstance(r, Call) else "open", "index": r.index, "seq": r.seq,
            "parent": r.parent, "thread": r.thread, "time_ns": r.time_ns,
            "function": r.function, "args": [to_json(a) for a in r.args]}
        if isinstance(r, Call):
            d["result"] = to_json(r.result)
            d["outputs"] = [to_json(o) for o in r.outputs]
            if r.duration_ns is not None:
                d["duration_ns"] = r.duration_ns
        return d
    if isinstance(r, Event):
        return {"frame": "event", "index": r.index, "seq": r.seq, "parent": r.parent,
                "thread": r.thread, "time_ns": r.time_ns,
                "name": to_json(None if r.name is None else Text(r.name)),
                "data": to_json(r.data), "length": r.length}
    return {"frame": "note", "index": r.index, "time_ns": r.time_ns, "code": r.code,
            "frames": r.frames, "waits": r.waits, "writer_ns": r.writer_ns,
            "message": r.message.decode("utf-8", "backslashreplace")}


def jsonl(rec: Recording) -> Iterator[str]:
    """The recording as JSON Lines: the header, every record in file order, and the damage."""
    yield json.dumps({"frame": "header", "path": rec.path, "version": rec.version,
                      "functions": rec.functions, "catalogue_hash": f"{rec.catalogue_hash:016x}",
                      "start_ns": rec.start_ns, "pid": rec.pid,
                      "own_catalogue": rec.own_catalogue})
    for r in rec:
        yield json.dumps(_json_record(r))
    if rec.damage is not None:
        yield json.dumps({"frame": "damage", "offset": rec.damage.offset,
                          "reason": rec.damage.reason})


def write_jsonl(rec: Recording, out: IO[str]) -> None:
    for line in jsonl(rec):
        out.write(line + "\n")


def environment(path: str, target: str | None = None,
                base: Iterable[tuple[str, str]] | None = None) -> dict[str, str]:
    """The environment that puts the installed recorder in front of `target` (default: the
    stand-in library) and records to `path`. Linux: the recorder's folder goes first on
    LD_LIBRARY_PATH, before the module's own run path."""
    if not os.path.exists(RECORDER):
        raise FileNotFoundError(f"the recorder is not installed ({RECORDER} is missing): build "
                                "with -Ccmake.define.QVSDK_RECORDER=ON")
    if target is None:
        from . import LIBRARY

        target = LIBRARY
    env = dict(os.environ.items() if base is None else base)
    before = env.get("LD_LIBRARY_PATH", os.environ.get("LD_LIBRARY_PATH"))
    env["LD_LIBRARY_PATH"] = RECORDER_DIR + (os.pathsep + before if before else "")
    env["QVSDK_RECORD_TARGET"] = target
    env["QVSDK_RECORD_FILE"] = os.path.abspath(path)
    return env


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m qvsdk_standin.recording",
                                     description="Read a recording of an SDK session.")
    parser.add_argument("command", choices=["summary", "jsonl", "env", "plot"])
    parser.add_argument("file")
    parser.add_argument("--target", help="env: the library the recorder stands in front of")
    parser.add_argument("-o", "--output", metavar="PNG", help="plot: the picture to write")
    parser.add_argument("--width", type=int, default=1600, help="plot: pixels (default 1600)")
    parser.add_argument("--height", type=int, default=1000, help="plot: pixels (default 1000)")
    args = parser.parse_args(argv)
    if args.command == "plot":
        if args.output is None:
            parser.error("plot needs -o PNG, the picture to write")
        if not (800 <= args.width <= 20000 and 500 <= args.height <= 20000):
            parser.error("--width is 800 to 20000 pixels, --height 500 to 20000")
        from . import session_plot

        return session_plot.command(args.file, args.output, args.width, args.height)
    if args.command == "env":
        import shlex

        try:
            env = environment(args.file, args.target, base=())
        except FileNotFoundError as e:
            print(e, file=sys.stderr)
            return 1
        for key in ("LD_LIBRARY_PATH", "QVSDK_RECORD_TARGET", "QVSDK_RECORD_FILE"):
            print(f"export {key}={shlex.quote(env[key])}")
        return 0
    try:
        rec = read(args.file, foreign=True)
        if args.command == "summary":
            print(summary(rec))
        else:
            write_jsonl(rec, sys.stdout)
    except (OSError, RecordingError) as e:
        sys.stdout.flush()
        print(e, file=sys.stderr)
        return 1
    return 0


def quiet_in_closed_pipe() -> None:
    """A command-line tool whose reader goes away (`... | head -1`) ends as Unix tools do: at
    once, quietly, by SIGPIPE (status 141 in the shell), never with a traceback. Where there is
    no SIGPIPE (Windows), a closed pipe ends it with status 1 and no message."""
    import signal

    if hasattr(signal, "SIGPIPE"):
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)


if __name__ == "__main__":
    # The package's own module, not this copy run as __main__: its records are the classes that
    # the other modules (session_stats) know.
    from qvsdk_standin import recording as _package

    quiet_in_closed_pipe()
    try:
        sys.exit(_package.main())
    except BrokenPipeError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(1)
