"""Recordings as untrusted input: forged lengths, kinds, tags, sizes and headers end in a clear
refusal naming the offset and the reason, never in heap bytes handed out, a crash or an
allocation beyond the file's size; redacted values; the fuzz test (in a subprocess)."""

import json
import os
import struct
import subprocess
import sys

import pytest

import c_sdk
import qvsdk_standin as standin
from qvsdk_standin import recording

import forged_recordings as fr
from conftest import HOST, ROOT

FORGED = os.path.join(ROOT, "tests", "forged_recordings.py")
FUZZ = os.path.join(ROOT, "tests", "fuzz_recording.py")
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


def body_frames(version):
    """Frames of format `version` that pass their checksum but lie, and what the refusal
    says."""
    orders = fr.GET_ORDERS
    duration = struct.pack("<q", 0) if version >= 2 else b""

    def call(*args, **kwargs):
        return fr.call(*args, version=version, **kwargs)

    frames = {
        "response text claims 64 KiB in 2 bytes": (
            call(orders, [fr.blob(b"r")], fr.i32(0), [fr.blob(b"ab", tag=2), fr.i32(65536)]),
            "a response whose reported length exceeds the bytes it holds"),
        "response bytes claim 100 MB": (
            call(orders, [fr.blob(b"r")], fr.i32(0), [fr.blob(b"ab"), fr.i32(100 << 20)]),
            "a response whose reported length exceeds the bytes it holds"),
        "request claims 2**31-1 bytes": (
            call(orders, [fr.blob(b"r", length=2**31 - 1)], fr.i32(0)),
            "a value runs past the end of its frame"),
        "response claims 2**32-1 bytes": (
            call(orders, [fr.blob(b"r")], fr.i32(0),
                    [fr.blob(b"ab", length=2**32 - 1), fr.i32(2)]),
            "a value runs past the end of its frame"),
        "event payload claims more than it holds": (
            fr.event(b"tick", b"x", length=2**31 - 1), "an event whose reported length exceeds the payload it holds"),
        "event text of another kind": (
            fr.frame(fr.EVENT, fr.i32(1) + fr.raw(0) + b"\0\0\0\0"), "an event whose text is not a text"),
        "unknown value tag": (call(orders, [fr.raw(11)], fr.i32(0)), "an unknown value tag"),
        "unknown frame kind": (fr.frame(9, b""), "an unknown frame kind"),
        "function beyond the catalogue": (
            call(len(fr.FUNCTIONS), [], fr.i32(0)), "a function index beyond the catalogue"),
        "argument count beyond the values": (
            fr.frame(fr.CALL, b"\x05" + fr.i32(1), orders), "a value runs past the end of its frame"),
        "flag of 2": (call(orders, [fr.raw(6, b"\x02")], fr.i32(0)),
                       "a flag or callback value other than 0 or 1"),
        "redacted of kind i32": (
            call(orders, [fr.redacted(3, 4)], fr.i32(0)), "a redacted value of a kind"),
        "redacted result": (call(orders, [], fr.redacted(1, 4)),
                            "a redacted result that is not a text"),
        "bytes left over": (
            fr.frame(fr.CALL, fr.values() + fr.i32(0) + fr.values() + duration + b"!", orders),
            "bytes left over in a frame"),
    }
    if version >= 2:
        frames["call without its duration"] = (
            fr.call(orders, [], fr.i32(0), version=1), "a value runs past the end of its frame")
        frames["duration cut short"] = (
            fr.frame(fr.CALL, fr.values() + fr.i32(0) + fr.values() + duration[:7], orders),
            "a value runs past the end of its frame")
        frames["negative duration"] = (call(orders, [], fr.i32(0), duration=-1),
                                       "a negative call duration")
    else:
        frames["version 1 call with a duration"] = (
            fr.call(orders, [], fr.i32(0), version=2), "bytes left over in a frame")
    return frames


HEADERS = {
    "not a recording": (b"NOTAREC!" + bytes(40), "offset 0: not a recording"),
    "cut inside the header": (fr.header()[:20], "offset 20: the file ends inside its header"),
    "a later version": (fr.header(version=3),
                        "offset 8: format version 3, this reader reads versions 1 to 2"),
    "version 0": (fr.header(version=0),
                  "offset 8: format version 0, this reader reads versions 1 to 2"),
    "another header size": (fr.header(size=40),
                            "offset 10: a header size of 40 bytes, format 1 has 48"),
    "header checksum": (fr.header()[:-1] + b"\0", "offset 44: the header fails its checksum"),
    "another catalogue": (fr.header(functions=200, catalogue=1), "another SDK catalogue"),
}


def refusal(call):
    with pytest.raises(recording.RecordingError) as caught:
        call()
    return str(caught.value)


def market_refusal(path):
    """A market replay of `path` to a strategy: refused at the load, or (an event frame, whose
    values are checked when it is due) by the `with` block once the run reached it. The events
    delivered are returned with the refusal."""
    seen = []
    c_sdk.py_qvi_set_data_callback(lambda event, data: seen.append((event, data)))

    def play():
        with standin.market(path):
            c_sdk.py_qvi_run()
            c_sdk.py_qvi_run()  # a later run delivers nothing more

    return refusal(play), seen


@pytest.mark.parametrize("version, name",
                         [(v, name) for v in (1, 2) for name in sorted(body_frames(v))])
@pytest.mark.usefixtures("module_globals")  # the market's strategy callable
def test_a_lying_frame_is_refused_where_it_is(tmp_path, version, name):
    """Every reader refuses the file, naming the frame's offset and the true reason; the frames
    before it were read. Replay refuses it whole: nothing of it is handed out."""
    forged, reason = body_frames(version)[name]
    path = tmp_path / "forged.qvrec"
    good = fr.header(version=version) + fr.call(fr.RUN, [], fr.i32(0), seq=9, version=version)
    path.write_bytes(good + forged + fr.note())
    where = f"offset {len(good)} (frame 1): a malformed frame: {reason}"
    rec = recording.read(path)
    records = iter(rec)
    assert next(records).function == "qvi_run"
    for message in (refusal(lambda: list(records)), refusal(lambda: recording.summary(rec)),
                    refusal(lambda: list(recording.jsonl(recording.read(path)))),
                    refusal(lambda: standin.replay(path)), market_refusal(path)[0]):
        assert where in message, message
    assert standin.replaying._size() == 0
    proc = subprocess.run([sys.executable, "-m", "qvsdk_standin.recording", "summary", str(path)],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 1 and where in proc.stderr and "Traceback" not in proc.stderr


@pytest.mark.usefixtures("module_globals")
def test_market_replay_stops_at_a_lying_event_and_says_where(tmp_path):
    """The events before a malformed event frame are delivered, none after it; closing the
    market names the frame as the load would have."""
    path = tmp_path / "forged.qvrec"
    good = fr.header(version=2) + fr.event(b"tick", b"1", seq=1)
    forged = fr.event(b"tick", b"x", length=9, seq=2)
    path.write_bytes(good + forged + fr.event(b"tick", b"3", seq=3) + fr.note())
    message, seen = market_refusal(path)
    assert seen == [("tick", b"1")]
    assert (f"offset {len(good)} (frame 1): a malformed frame: an event whose reported length "
            "exceeds the payload it holds") in message, message
    assert standin.replaying.in_progress() is None


@pytest.mark.parametrize("name", sorted(HEADERS))
def test_a_bad_header_is_refused_for_its_true_reason(tmp_path, name):
    data, reason = HEADERS[name]
    path = tmp_path / "bad.qvrec"
    path.write_bytes(data)
    for message in (refusal(lambda: recording.read(path)), refusal(lambda: standin.replay(path)),
                    refusal(lambda: recording.parse(data))):
        assert reason in message, message


def test_another_catalogue_is_named_as_such(tmp_path):
    """Read on purpose (foreign=True, and by the command line), a recording of another SDK
    catalogue names its functions by index, and says why."""
    path = tmp_path / "foreign.qvrec"
    path.write_bytes(fr.header(functions=200, catalogue=1)
                     + fr.call(fr.GET_ORDERS, [fr.blob(b"r")], fr.i32(0)) + fr.note())
    rec = recording.read(path, foreign=True)
    assert [r.function for r in rec.calls()] == [f"#{fr.GET_ORDERS}"]
    text = recording.summary(rec)
    assert "recorded against another SDK catalogue (200 functions" in text
    assert "qvi_get_orders_pb" not in text and f"#{fr.GET_ORDERS}" in text


@pytest.mark.parametrize("version", [1, 2])
def test_the_reader_and_replay_agree_on_a_valid_session(tmp_path, version, module_globals):
    """The written session of either format read back, summarised and replayed: a redacted
    token matches any token, every output is the file's bytes, events go where they were
    recorded; calls have their durations from format 2 on, and none before."""
    path = tmp_path / "session.qvrec"
    path.write_bytes(fr.session(version))
    rec = recording.read(path)
    calls = rec.calls()
    assert [c.function for c in calls] == ["qvi_set_event_callback_pb", "qvi_set_token", "qvi_get_orders_pb", "qvi_run"]
    durations = [fr.DURATIONS[c.seq] if version >= 2 else None for c in calls]
    assert [c.duration_ns for c in calls] == durations
    exported = [json.loads(line) for line in recording.jsonl(rec)]
    assert [d.get("duration_ns") for d in exported if d["frame"] == "call"] == durations
    assert exported[0]["version"] == rec.version == version
    assert rec.closed and rec.damage is None
    text = recording.summary(rec)
    assert "frames      8: 4 calls, 2 events" in text and "tail        complete" in text

    redacted_path = tmp_path / "redacted.qvrec"
    token = {"seq": 2, "version": version, "duration": fr.DURATIONS[2]}
    data = fr.session(version).replace(
        fr.call(fr.SET_TOKEN, [fr.blob(b"secret", 2)], fr.i32(0), **token),
        fr.call(fr.SET_TOKEN, [fr.redacted(2, 6)], fr.i32(0), **token))
    redacted_path.write_bytes(data)
    token = recording.read(redacted_path).calls()[1].args[0]
    assert token == recording.Redacted("text", 6)
    assert '{"redacted": "text", "length": 6}' in "".join(recording.jsonl(
        recording.read(redacted_path)))
    with standin.replay(redacted_path):  # strict: any text matches the redacted token
        out, seen = fr.drive()
    assert out == [0, (0, b"ab"), 0] and seen == [("tick", b"t1"), ("bar", b"\0b")]
    with pytest.raises(standin.ReplayDivergence, match="the arguments differ"):
        with standin.replay(path):  # the real token recorded: "other" differs
            fr.drive()


def run_checks(paths, *prefix, timeout=300):
    proc = subprocess.run([sys.executable, FORGED, *prefix, "check", *map(str, paths)],
                          capture_output=True, text=True, timeout=timeout,
                          env=dict(os.environ, PYTHONPATH=HOST))
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout.splitlines()


@pytest.mark.skipif(SANITIZED, reason="the sanitizers reserve more address space than 1 GiB")
def test_claimed_sizes_allocate_nothing_beyond_the_file(tmp_path):
    """Files of about a hundred bytes claiming 2**31-1 bytes somewhere, read, summarised,
    exported and replayed under a 1 GiB address-space limit: refused or read, never aborted."""
    paths = []
    for i, forged in enumerate([
            fr.call(fr.GET_ORDERS, [fr.blob(b"r", length=2**31 - 1)], fr.i32(0)),
            fr.call(fr.GET_ORDERS, [fr.blob(b"r")], fr.i32(0), [fr.blob(b"ab"), fr.i32(2**31 - 1)]),
            fr.event(b"t", b"x", length=2**31 - 1),
            fr.frame(fr.NOTE, b"\1\0" + bytes(24) + fr.blob(b"", 2, length=2**31 - 1)),
            (2**31 - 1).to_bytes(4, "little") + bytes(40)]):
        paths.append(tmp_path / f"claim{i}.qvrec")
        paths[-1].write_bytes(fr.header() + forged)
    assert max(p.stat().st_size for p in paths) < 200
    lines = run_checks(paths, "limit", "1")
    assert len(lines) == len(paths)
    for line in lines:
        assert "MemoryError" not in line, line


def test_fuzz_mutated_recordings():
    """The fuzz test of tests/fuzz_recording.py (CSDK_EXAMPLES examples), in a subprocess: a
    crash or an over-read ends that process, not the test session."""
    proc = subprocess.run([sys.executable, FUZZ], capture_output=True, text=True, timeout=900,
                          env=dict(os.environ, PYTHONPATH=HOST))
    assert proc.returncode == 0, proc.stdout[-4000:] + proc.stderr[-4000:]


def test_only_regular_files_are_read(tmp_path):
    """A device or a pipe named as a recording is refused at once, not read without end."""
    for path in ("/dev/zero", tmp_path):
        assert "not a regular file" in refusal(lambda: recording.read(path))
        assert "not a regular file" in refusal(lambda: standin.replay(path))


@pytest.mark.parametrize("tail, reason", [
    (b"\x05\0", "the file ends inside a frame's size"),
    ((5).to_bytes(4, "little") + bytes(12), "a frame size of 5 bytes"),
    ((2**32 - 1).to_bytes(4, "little") + bytes(12), "a frame size of 4294967295 bytes"),
    (fr.note()[:-3], "the file ends inside a frame (74 of 77 bytes)"),
    (fr.note()[:-1] + b"\0", "a frame fails its checksum"),
])
def test_a_damaged_tail_is_kept_apart_and_said(tmp_path, tail, reason):
    """A torn or corrupt tail is damage, not a refusal: every frame before it is read, and
    the reason and offset are the true ones."""
    good = fr.session()[:-len(fr.note())]
    path = tmp_path / "torn.qvrec"
    path.write_bytes(good + tail)
    rec = recording.read(path)
    assert len(rec.records) == 7 and rec.damage == recording.Damage(len(good), reason)
    assert f"damaged at byte {len(good)}: {reason}" in recording.summary(recording.read(path))
