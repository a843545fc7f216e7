"""Reading a recording made by the recorder (docs/recording-format.md gives the format).

    from qvsdk_standin import recording

    rec = recording.read("session.qvrec")
    for r in rec.records:            # Call, Open, Event and Note records, in file order
        ...
    rec.session()                    # calls (and calls left open) in the order they were made
    print(recording.summary(rec))    # span, calls and events per name, statuses, waits, damage
    recording.write_jsonl(rec, sys.stdout)

    python -m qvsdk_standin.recording summary FILE
    python -m qvsdk_standin.recording jsonl FILE
    python -m qvsdk_standin.recording plot FILE -o session.png [--width PX --height PX]
                            # a picture of the session (session_plot.py; needs matplotlib)
    python -m qvsdk_standin.recording env FILE [--target LIBRARY]
                            # for sh: the variables that put the installed recorder in front of
                            # LIBRARY (default: the stand-in), recording to FILE

A damaged tail (a frame cut short or failing its checksum) ends the records: everything before
it is kept, and `rec.damage` says where and why.

Values as read: None (a NULL pointer), bytes, Text (a C text, a bytes subclass), int (a C int),
Wide (a long long, an int subclass), float, bool (a flag), Callback (whether the event callback
was set), and the markers UNREAD (an output not read, the status having said failure) and VOID
(the result of a function returning nothing).
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
from dataclasses import dataclass, field
from typing import IO, Final, Union

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
    "Text",
    "UNREAD",
    "VOID",
    "Value",
    "Wide",
    "crc32c",
    "environment",
    "read",
    "summary",
    "write_jsonl",
]

MAGIC: Final = b"QVSDKREC"
VERSION: Final = 1
HEADER_SIZE: Final = 48
NO_FUNCTION: Final = 0xFFFF
CALL, EVENT, OPEN, NOTE = 1, 2, 3, 4
NOTE_CLOSED, NOTE_WRITE_FAILED = 1, 2
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

Value = Union[None, bool, int, float, bytes, Marker]


class RecordingError(Exception):
    """The file is not a recording this reader can read (its header is wrong or unknown)."""


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
    code: int  # NOTE_CLOSED, NOTE_WRITE_FAILED
    frames: int
    waits: int
    writer_ns: int
    message: bytes


Record = Union[Call, Open, Event, Note]


@dataclass(frozen=True, slots=True)
class Damage:
    offset: int  # of the first byte not read
    reason: str


@dataclass(slots=True)
class Recording:
    path: str
    version: int
    functions: int
    catalogue_hash: int
    start_ns: int  # wall clock, nanoseconds since the epoch
    pid: int
    size: int  # bytes in the file
    records: list[Record] = field(default_factory=list)
    damage: Damage | None = None

    @property
    def good_size(self) -> int:
        """Bytes of the good prefix."""
        return self.damage.offset if self.damage is not None else self.size

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
                calls[seq] = Call(o.index, o.seq, o.parent, o.thread, o.time_ns, o.function,
                                  o.args, None, (), finished=False)
        out.extend(calls.values())
        out.sort(key=lambda r: r.seq)
        return out


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


# ---- decoding ----


class _Bad(Exception):
    pass


_U8 = struct.Struct("<B")
_U16 = struct.Struct("<H")
_U32 = struct.Struct("<I")
_I32 = struct.Struct("<i")
_I64 = struct.Struct("<q")
_U64 = struct.Struct("<Q")
_F64 = struct.Struct("<d")
_HEAD = struct.Struct("<BBHIQQq")
_HEADER = struct.Struct("<8sHHIQqqII")
_NOTE = struct.Struct("<HQQQ")


class _Reader:
    __slots__ = ("buf", "at", "end")

    def __init__(self, buf: bytes, at: int, end: int) -> None:
        self.buf, self.at, self.end = buf, at, end

    def take(self, n: int) -> int:
        at = self.at
        if at + n > self.end:
            raise _Bad("a value runs past the end of its frame")
        self.at = at + n
        return at

    def u8(self) -> int:
        return int(_U8.unpack_from(self.buf, self.take(1))[0])

    def i32(self) -> int:
        return int(_I32.unpack_from(self.buf, self.take(4))[0])

    def value(self) -> Value:
        tag = self.u8()
        if tag == 0:
            return None
        if tag in (1, 2):
            n = int(_U32.unpack_from(self.buf, self.take(4))[0])
            at = self.take(n)
            raw = self.buf[at:at + n]
            return Text(raw) if tag == 2 else raw
        if tag == 3:
            return self.i32()
        if tag == 4:
            return Wide(_I64.unpack_from(self.buf, self.take(8))[0])
        if tag == 5:
            return float(_F64.unpack_from(self.buf, self.take(8))[0])
        if tag == 6:
            return self.u8() != 0
        if tag == 7:
            return Callback(self.u8())
        if tag == 8:
            return UNREAD
        if tag == 9:
            return VOID
        raise _Bad(f"unknown value tag {tag}")

    def values(self) -> tuple[Value, ...]:
        return tuple(self.value() for _ in range(self.u8()))


def _function(names: tuple[str, ...], index: int) -> str:
    if index >= len(names):
        raise _Bad(f"function index {index} beyond the catalogue")
    return names[index]


def _decode(names: tuple[str, ...], buf: bytes, at: int, end: int, index: int) -> Record:
    kind, _flags, fn, thread, seq, parent, time_ns = _HEAD.unpack_from(buf, at)
    r = _Reader(buf, at + _HEAD.size, end)
    record: Record
    if kind in (CALL, OPEN):
        function = _function(names, fn)
        args = r.values()
        if kind == OPEN:
            record = Open(index, seq, parent, thread, time_ns, function, args)
        else:
            record = Call(index, seq, parent, thread, time_ns, function, args, r.value(),
                          r.values())
    elif kind == EVENT:
        name, data = r.value(), r.value()
        if not (name is None or isinstance(name, bytes)) or not (
                data is None or isinstance(data, bytes)):
            raise _Bad("an event's text or payload is not bytes")
        record = Event(index, seq, parent, thread, time_ns, name, data, r.i32())
    elif kind == NOTE:
        code, frames, waits, writer_ns = _NOTE.unpack_from(buf, r.take(_NOTE.size))
        message = r.value()
        record = Note(index, time_ns, code, frames, waits, writer_ns,
                      message if isinstance(message, bytes) else b"")
    else:
        raise _Bad(f"unknown frame kind {kind}")
    if r.at != end:
        raise _Bad("bytes left over in a frame")
    return record


def _names() -> tuple[str, ...]:
    from . import functions

    return functions()


def parse(data: bytes, path: str = "<bytes>") -> Recording:
    """A recording from the bytes of its file."""
    if len(data) < HEADER_SIZE or data[:8] != MAGIC:
        raise RecordingError(f"{path}: not a recording (no {MAGIC.decode()} header)")
    magic, version, header_size, functions, chash, start_ns, _mono, pid, crc = \
        _HEADER.unpack_from(data)
    if crc32c(data[:HEADER_SIZE - 4]) != crc:
        raise RecordingError(f"{path}: the header fails its checksum")
    if version != VERSION or header_size != HEADER_SIZE:
        raise RecordingError(f"{path}: format version {version}, this reader reads {VERSION}")
    rec = Recording(path, version, functions, chash, start_ns, pid, len(data))
    names = _names()
    at, size, index = HEADER_SIZE, len(data), 0
    while at < size:
        if at + 4 > size:
            rec.damage = Damage(at, "the file ends inside a frame's size")
            break
        n = int(_U32.unpack_from(data, at)[0])
        if n < _HEAD.size or n > MAX_FRAME:
            rec.damage = Damage(at, f"a frame size of {n} bytes")
            break
        if at + 8 + n > size:
            rec.damage = Damage(at, "the file ends inside a frame")
            break
        if crc32c(data[at:at + 4 + n]) != _U32.unpack_from(data, at + 4 + n)[0]:
            rec.damage = Damage(at, "a frame fails its checksum")
            break
        try:
            rec.records.append(_decode(names, data, at + 4, at + 4 + n, index))
        except (_Bad, struct.error) as e:
            rec.damage = Damage(at, f"a frame that cannot be decoded: {e}")
            break
        at += 8 + n
        index += 1
    return rec


def read(path: str | os.PathLike[str]) -> Recording:
    """Reads the recording at `path`, keeping the good prefix of a damaged one."""
    with open(path, "rb") as f:
        return parse(f.read(), os.fspath(path))


# ---- summary and export ----


def _status(call: Call) -> str:
    if not call.finished:
        return "unfinished"
    if call.result is VOID:
        return "void"
    return repr(call.result)


def summary(rec: Recording) -> str:
    """Span, calls and events per name, statuses, waits and the state of the tail."""
    calls = rec.calls()
    events = rec.events()
    notes = [r for r in rec.records if isinstance(r, Note)]
    times = [r.time_ns for r in rec.records]
    span = (max(times) - min(times)) / 1e9 if times else 0.0
    lines = [
        f"recording   {rec.path} (format {rec.version}, {rec.size} bytes, process {rec.pid})",
        f"span        {span:.3f} s from {_start(rec)}",
        f"frames      {len(rec.records)}: {len(calls)} calls, {len(events)} events",
    ]
    per_call = Counter(c.function for c in calls)
    statuses: dict[str, Counter[str]] = {}
    for c in calls:
        statuses.setdefault(c.function, Counter())[_status(c)] += 1
    lines.append("calls")
    for name, n in sorted(per_call.items(), key=lambda kv: (-kv[1], kv[0])):
        shown = ", ".join(f"{s} x{k}" for s, k in sorted(statuses[name].items()))
        lines.append(f"  {name:<44} {n:>8}  results: {shown}")
    lines.append("events")
    for ev, n in sorted(Counter(e.name for e in events).items(),
                        key=lambda kv: (-kv[1], kv[0] or b"")):
        label = "NULL" if ev is None else ev.decode("utf-8", "backslashreplace")
        lines.append(f"  {label:<44} {n:>8}")
    waits = sum(note.waits for note in notes)
    lines.append(f"waits       {waits} (callers that waited for the writer)")
    for note in notes:
        if note.code == NOTE_WRITE_FAILED:
            lines.append(f"stopped     {note.message.decode('utf-8', 'backslashreplace')}")
    if rec.damage is not None:
        lines.append(f"tail        damaged at byte {rec.damage.offset}: {rec.damage.reason}; "
                     f"{rec.size - rec.damage.offset} bytes ignored")
    else:
        lines.append("tail        " + ("complete (closing note)" if rec.closed
                                       else "intact, but no closing note"))
    unfinished = [c.function for c in calls if not c.finished]
    if unfinished:
        lines.append(f"unfinished  {', '.join(unfinished)}")
    return "\n".join(lines)


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
                      "start_ns": rec.start_ns, "pid": rec.pid})
    for r in rec.records:
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

        env = environment(args.file, args.target, base=())
        for key in ("LD_LIBRARY_PATH", "QVSDK_RECORD_TARGET", "QVSDK_RECORD_FILE"):
            print(f"export {key}={shlex.quote(env[key])}")
        return 0
    try:
        rec = read(args.file)
    except (OSError, RecordingError) as e:
        print(e, file=sys.stderr)
        return 1
    if args.command == "summary":
        from . import session_stats

        print(summary(rec))
        print(session_stats.report(session_stats.collect(rec.records), start_ns=rec.start_ns))
    else:
        write_jsonl(rec, sys.stdout)
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
