"""Recordings written frame by frame, valid or forged, for the tests of the reader and replay.

    python tests/forged_recordings.py check FILE...   reads, summarises, exports and replays each
                                                      FILE, printing one outcome a line

The `check` command is the part of the tests that may crash: the tests run it in a subprocess
(under an address-space limit, or under the sanitizers).
"""

import io
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(os.path.dirname(HERE), "standin", "host")]

import qvsdk_standin as standin  # noqa: E402
from qvsdk_standin import market_replay, recording, session_stats  # noqa: E402

CALL, EVENT, OPEN, NOTE = 1, 2, 3, 4
FUNCTIONS = standin.functions()
GET_ORDERS = FUNCTIONS.index("qvi_get_orders_pb")  # (req, req_len, &res, &res_len)
SET_TOKEN = FUNCTIONS.index("qvi_set_token")  # (const char *token)
RUN = FUNCTIONS.index("qvi_run")
SET_CALLBACK = FUNCTIONS.index("qvi_set_event_callback_pb")


def crc(data):
    return recording.crc32c(bytes(data))


def header(functions=len(FUNCTIONS), catalogue=None, version=1, size=48):
    if catalogue is None:
        catalogue = recording._catalogue_hash()
    head = struct.pack("<8sHHIQqqI", b"QVSDKREC", version, size, functions, catalogue, 0, 0, 1)
    return head + struct.pack("<I", crc(head))


def frame(kind, body, function=0xFFFF, seq=0, parent=0, thread=1, time=0):
    sized = struct.pack("<IBBHIQQq", 32 + len(body), kind, 0, function, thread, seq, parent,
                        time) + body
    return sized + struct.pack("<I", crc(sized))


def raw(tag, payload=b""):
    return bytes([tag]) + payload


def blob(data, tag=1, length=None):
    """bytes (1) or text (2), with a length that may lie."""
    return raw(tag, struct.pack("<I", len(data) if length is None else length) + data)


def i32(n):
    return raw(3, struct.pack("<i", n))


def redacted(kind, length):
    return raw(10, struct.pack("<BI", kind, length))


def values(*vs):
    return bytes([len(vs)]) + b"".join(vs)


def call(function, args, result, outs=(), seq=1, parent=0, kind=CALL, version=1, duration=0):
    """A call frame (or an open frame) of format `version`: from version 2, a call frame ends
    with its duration."""
    body = values(*args)
    if kind == CALL:
        body += result + values(*outs)
        if version >= 2:
            body += struct.pack("<q", duration)
    return frame(kind, body, function, seq, parent)


def event(name, data, length=None, seq=2, parent=0):
    body = (blob(name, 2) if name is not None else raw(0)) + \
        (blob(data) if data is not None else raw(0))
    return frame(EVENT, body + struct.pack("<i", len(data or b"") if length is None else length),
                 seq=seq, parent=parent)


def note(code=1, message=b"closed"):
    return frame(NOTE, struct.pack("<HQQQ", code, 3, 0, 0) + blob(message, 2))


def session(version=1):
    """A valid recording (what drive() does) of format `version`: the callback registered, a
    token set, orders fetched with an event inside the call, an event between calls (delivered
    by the run), a run, and the closing note. From version 2, call number `seq` took
    DURATIONS[seq] nanoseconds."""
    v = {"version": version}
    return header(version=version) + b"".join([
        call(SET_CALLBACK, [raw(7, b"\1")], raw(9), seq=1, duration=DURATIONS[1], **v),
        call(SET_TOKEN, [blob(b"secret", 2)], i32(0), seq=2, duration=DURATIONS[2], **v),
        call(GET_ORDERS, [blob(b"r")], i32(0), [blob(b"ab"), i32(2)], seq=3, kind=OPEN, **v),
        event(b"tick", b"t1", seq=4, parent=3),
        call(GET_ORDERS, [blob(b"r")], i32(0), [blob(b"ab"), i32(2)], seq=3,
             duration=DURATIONS[3], **v),
        event(b"bar", b"\0b", seq=5),
        call(RUN, [], i32(0), seq=6, duration=DURATIONS[6], **v),
        note(),
    ])


DURATIONS = {1: 0, 2: 1500, 3: 2**40, 6: 2**63 - 1}  # the largest a duration can be


def frames(data):
    """(offset, size) of every frame of a well-formed file."""
    at, out = 48, []
    while at + 4 <= len(data):
        n = int.from_bytes(data[at:at + 4], "little")
        out.append((at, n))
        at += 8 + n
    return out


def reseal(data):
    """The file with every frame's checksum recomputed (as far as its declared size allows)."""
    data = bytearray(data)
    at = 48
    while at + 8 <= len(data):
        n = int.from_bytes(data[at:at + 4], "little")
        if at + 8 + n > len(data):
            break
        data[at + 4 + n:at + 8 + n] = struct.pack("<I", crc(data[at:at + 4 + n]))
        at += 8 + n
    return bytes(data)


def drive():
    """What a strategy would call while replaying session(): whatever the file says."""
    import c_sdk

    seen = []
    c_sdk.py_qvi_set_data_callback(lambda e, d: seen.append((e, d)))
    out = [c_sdk.py_qvi_set_token(b"other"), c_sdk.py_qvi_get_orders(b"r"), c_sdk.py_qvi_run()]
    return out, seen


def reference_summary(rec):
    """The summary computed in Python from the records (as the reader computed it before its
    parser counted in C++): the parser's one pass must say the same, wherever the calls' sequence
    numbers are unique (the summary counts frames; calls() keeps one call a number)."""
    from collections import Counter

    calls, events = rec.calls(), rec.events()
    notes = [r for r in rec.records if isinstance(r, recording.Note)]
    times = [r.time_ns for r in rec.records]
    span = (max(times) - min(times)) / 1e9 if times else 0.0
    lines = [
        f"recording   {rec.path} (format {rec.version}, {rec.size} bytes, process {rec.pid})",
        f"span        {span:.3f} s from {recording._start(rec)}",
        f"frames      {len(rec.records)}: {len(calls)} calls, {len(events)} events",
    ]
    if not rec.own_catalogue:
        lines.append(f"catalogue   {rec.catalogue()}")
    statuses = {}
    for c in calls:
        shown = ("unfinished" if not c.finished else "void" if c.result is recording.VOID
                 else repr(c.result))
        statuses.setdefault(c.function, Counter())[shown] += 1
    lines.append("calls")
    for name, n in sorted(((k, sum(v.values())) for k, v in statuses.items()),
                          key=lambda kv: (-kv[1], kv[0])):
        shown = ", ".join(f"{s} x{k}" for s, k in sorted(statuses[name].items()))
        lines.append(f"  {name:<44} {n:>8}  results: {shown}")
    lines.append("events")
    for ev, n in sorted(Counter(e.name for e in events).items(),
                        key=lambda kv: (-kv[1], kv[0] or b"")):
        label = "NULL" if ev is None else ev.decode("utf-8", "backslashreplace")
        lines.append(f"  {label:<44} {n:>8}")
    lines.append(f"waits       {sum(n.waits for n in notes)} (callers that mapped the next "
                 "window themselves)")
    for n in notes:
        if n.code in (2, 3):
            label = "stopped    " if n.code == 2 else "left out   "
            lines.append(f"{label} {n.message.decode('utf-8', 'backslashreplace')}")
    redacted, clear = 0, []
    own = rec.own_catalogue
    for c in calls:
        if not c.finished:
            continue
        where = recording.SECRETS.get(c.function, ()) if own else ()
        for i, v in [*enumerate(c.args), ("result", c.result)]:
            if isinstance(v, recording.Redacted):
                redacted += 1
            elif i in where and isinstance(v, bytes) and v:
                clear.append(f"{c.function} {'result' if i == 'result' else f'argument {i}'}")
    if clear:
        lines.append(f"secrets     HELD IN CLEAR ({len(clear)}: {', '.join(sorted(set(clear)))}): "
                     "recorded with QVSDK_RECORD_SECRETS=keep or by an older recorder; do not "
                     "share this file")
    else:
        lines.append(f"secrets     none ({redacted} redacted)")
    if rec.damage is not None:
        lines.append(f"tail        damaged at byte {rec.damage.offset}: {rec.damage.reason}; "
                     f"{rec.size - rec.damage.offset} bytes ignored")
    else:
        lines.append("tail        " + ("complete (closing note)" if rec.closed
                                       else "intact, but no closing note"))
    unfinished = [c.function for c in calls if not c.finished]
    if unfinished:
        lines.append(f"unfinished  {', '.join(unfinished)}")
    lines.append(session_stats.report(reference_statistics(rec), start_ns=rec.start_ns))
    return "\n".join(lines)


def reference_statistics(rec):
    """The statistics computed in Python from the records (session_stats). A stream settles an
    open frame by a later call frame only; the summary, by a call frame anywhere in the file (as
    calls() does): an open frame whose call came before it is given to the stream as a note of
    its time, which counts for the span and nothing else."""
    returned = {r.seq for r in rec.records if isinstance(r, recording.Call)}
    stats = session_stats.SessionStats()
    for r in rec.records:
        if isinstance(r, recording.Open) and r.seq in returned:
            r = recording.Note(r.index, r.time_ns, 0, 0, 0, 0, b"")
        stats.add(r)
    return stats.figures()


def unique_calls(rec):
    seqs = [r.seq for r in rec.records if isinstance(r, recording.Call)]
    opened = {r.seq for r in rec.records if isinstance(r, recording.Open)}
    return len(set(seqs)) == len(seqs) and len(opened) == sum(
        isinstance(r, recording.Open) for r in rec.records)


def check(path):
    """Reads, summarises, exports, replays and market-replays `path`: 'ok ...' or the error's
    type and message. Whatever the file holds, every output handed out must be bytes the file
    holds."""
    outcome = []
    for what in ("read", "summary", "jsonl", "replay", "market", "market in parts"):
        try:
            if what == "read":
                rec = recording.read(path, foreign=True)
                for r in rec:
                    if isinstance(r, recording.Event) and r.data is not None:
                        assert r.length <= len(r.data), r
                result = f"{len(rec.records)} records"
            elif what == "summary":
                rec = recording.read(path, foreign=True)
                text = recording.summary(rec)
                if unique_calls(rec):
                    assert text == reference_summary(rec), (text, reference_summary(rec))
                result = str(len(text))
            elif what == "jsonl":
                out = io.StringIO()
                recording.write_jsonl(recording.read(path, foreign=True), out)
                result = str(len(out.getvalue()))
            else:
                standin.reset()
                # A large file is loaded in parts, by two threads: parts of a few bytes load
                # this one so, which must change nothing.
                market_replay._part_bytes(7 if what == "market in parts" else 0)
                try:
                    with (standin.replay(path, strict=False) if what == "replay"
                          else standin.market(path)):
                        out, seen = drive()
                except standin.ReplayDivergence as e:
                    result = f"divergence: {e.reason}"
                except SystemError as e:  # c_sdk's refusal of an answer, as from a live SDK
                    result = f"c_sdk refused an answer: {e}"
                else:
                    data = open(path, "rb").read()
                    # Market replay answers what the file does not with the stand-in's
                    # programmed outcomes: only its events come from the file.
                    answers = [o[1] for o in out if isinstance(o, tuple)] if what == "replay" else []
                    for value in answers + [d for _, d in seen]:
                        assert value is None or isinstance(value, str) or value in data, value
                    result = f"replayed {out!r} {seen!r}"
            outcome.append(f"{what}: ok {result}")
        except (recording.RecordingError, OSError) as e:
            outcome.append(f"{what}: {type(e).__name__} {e}")
        finally:
            market_replay._part_bytes(0)
    whole, parts = (o.split(": ", 1)[1] for o in outcome[-2:])
    assert whole == parts, (whole, parts)
    return "; ".join(outcome)


if __name__ == "__main__":
    if sys.argv[1:2] == ["limit"]:  # limit GIB check FILE...: under an address-space limit
        import resource

        limit = int(sys.argv[2]) << 30
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        del sys.argv[1:3]
    for p in sys.argv[2:]:
        print(check(p), flush=True)
