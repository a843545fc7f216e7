"""The recorder in front of the stand-in, its recordings read back, and replays of them."""

import contextlib
import json
import os
import random
import re
import subprocess
import sys
import textwrap

import pytest

import c_sdk
import qvsdk_standin as standin
from qvsdk_standin import recording

import forged_recordings
import recorded_session
import recorded_stress
from conftest import HOST, ROOT
from stress import call_key

pytestmark = pytest.mark.skipif(not os.path.exists(recording.RECORDER),
                                reason="the recorder is not installed (QVSDK_RECORDER=ON)")

SESSION = os.path.join(ROOT, "tests", "recorded_session.py")


def run_session(path, **env):
    """Runs the session of recorded_session.py with the recorder in front of the stand-in."""
    environ = recording.environment(str(path))
    environ.update(PYTHONPATH=HOST, **env)
    return subprocess.run([sys.executable, SESSION], capture_output=True, text=True,
                          env=environ, timeout=60)


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    """A recording of the session, made with the smallest buffer (the large response is one
    frame larger than it), and what the session saw."""
    path = tmp_path_factory.mktemp("recording") / "session.qvrec"
    proc = run_session(path, QVSDK_RECORD_BUFFER="1")
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr
    return path, proc.stdout.strip()


def journal():
    return [call_key(c.name, c.args) for c in standin.calls()]


def test_round_trip(recorded, module_globals):
    path, seen = recorded
    rec = recording.read(path)
    assert rec.closed and rec.damage is None
    assert "tail        complete" in recording.summary(rec)
    assert recording.summary(rec) == forged_recordings.reference_summary(rec)
    calls = rec.calls()
    assert rec.version == 2 and all(c.finished and c.duration_ns >= 0 for c in calls)
    assert [c.function for c in calls][:3] == ["qvi_set_event_callback_pb", "qvi_get_orders_pb",
                                               "qvi_get_cash_pb_v2"]
    inside = [e for e in rec.events() if e.parent == calls[1].seq]
    assert [(e.name, e.data) for e in inside] == [(b"tick", b"t1")]
    outside = [e for e in rec.events() if e.parent == 0]
    assert [(e.name, e.thread != calls[1].thread) for e in outside] == [(b"bar", True)]
    lines = [json.loads(line) for line in recording.jsonl(rec)]
    assert len(lines) == 1 + len(rec.records)
    assert all(line["duration_ns"] >= 0 for line in lines if line["frame"] == "call")
    # Replayed strictly, twice: the same results as recorded, the same journal both times,
    # and that journal is the recording's calls.
    journals = []
    for _ in range(2):
        standin.reset()
        with standin.replay(path) as replay:
            assert repr(recorded_session.drive()) == seen
        assert replay.remaining == 0
        journals.append(journal())
    assert journals[0] == journals[1] == [call_key(c.function, c.args) for c in calls]


def test_torn_tail(recorded):
    path, _ = recorded
    for impl in (dict(portable=True), dict(portable=False)):
        assert recording.crc32c(b"123456789", **impl) == 0xE3069283
    rng = random.Random(5)
    for n in (1, 7, 8, 9, 63, 64, 65, 1000):
        data = rng.randbytes(n)
        assert recording.crc32c(data) == recording.crc32c(data, portable=True) == \
            recording._crc32c_python(data)

    data = path.read_bytes()
    full = recording.parse(data)
    starts = [recording.HEADER_SIZE]
    for _ in full.records:
        starts.append(starts[-1] + 8 + int.from_bytes(data[starts[-1]:starts[-1] + 4], "little"))
    assert starts[-1] == len(data)
    # Cut at every byte of the last frames: the frames before the cut, and the damage
    # reported where the cut frame starts (none at a frame's boundary).
    for cut in range(starts[-5], len(data)):
        rec = recording.parse(data[:cut])
        kept = sum(1 for end in starts[1:] if end <= cut)
        assert rec.records == full.records[:kept], cut
        assert (rec.damage is None) == (cut in starts), cut
        assert rec.damage is None or rec.damage.offset == starts[kept]
    # A changed byte fails its frame's checksum: the frames before it are kept.
    for i in range(len(starts) - 5, len(starts) - 1):
        at = rng.randrange(starts[i], starts[i + 1])
        broken = bytearray(data)
        broken[at] ^= 0x20
        rec = recording.parse(bytes(broken))
        assert rec.records == full.records[:i] and rec.damage.offset == starts[i]
    with pytest.raises(recording.RecordingError):
        recording.parse(data[:recording.HEADER_SIZE - 1])


@pytest.mark.parametrize("strict, change", [
    (True, "request"), (False, "request"), (False, "function")])
def test_divergence(recorded, strict, change, module_globals):
    path, seen = recorded
    kwargs = ({"request": b"req\0uesT!"} if change == "request"
              else {"function": c_sdk.py_qvi_get_unfinished_orders})
    if not strict and change == "request":
        # Loose: matched by function only, answered as recorded.
        with standin.replay(path, strict=False):
            assert repr(recorded_session.drive(**kwargs)) == seen
        return
    with pytest.raises(standin.ReplayDivergence) as caught:
        with standin.replay(path, strict=strict) as replay:
            out, events = recorded_session.drive(**kwargs)
            with pytest.raises(standin.ReplayDivergence):
                replay.check()
    # From the divergence on, every call fails and no event arrives.
    assert out[1] == (standin.DIVERGED, None) and out[-1] == standin.DIVERGED and events == []
    error = caught.value
    expected = recording.read(path).calls()[1]
    assert (error.position, error.index, error.expected) == (1, expected.index, expected)
    message = str(error)
    if change == "request":
        assert "the arguments differ" in message
        assert "expected qvi_get_orders_pb(b'req\\x00uest')" in message
        assert "got      qvi_get_orders_pb(b'req\\x00uesT!')" in message
        assert "at byte 7: replace b't' -> b'T!'" in message
    else:
        assert "another function was called" in message
        assert "got      qvi_get_unfinished_orders_pb(b'req\\x00uest')" in message


@pytest.mark.parametrize("target, file, message", [
    (None, None, "QVSDK_RECORD_TARGET is not set"),
    ("/nonexistent/libqvsdk.so", None,
     "cannot load QVSDK_RECORD_TARGET=/nonexistent/libqvsdk.so: "),
    ("libstdc++", None, "lacks the SDK function qvi_place_order_pb"),
    (recording.RECORDER, None, "is the recorder itself"),
    (standin.LIBRARY, "/nonexistent/session.qvrec",
     "cannot create QVSDK_RECORD_FILE=/nonexistent/session.qvrec: No such file or directory"),
])
def test_unusable_target_stops_the_process(tmp_path, target, file, message):
    if target == "libstdc++":  # a library without the SDK's functions
        with open("/proc/self/maps") as maps:
            target = next(line.split()[-1] for line in maps if "libstdc++" in line)
    env = recording.environment(file or str(tmp_path / "x.qvrec"), target=target or "")
    env.update(PYTHONPATH=HOST)
    if target is None:
        del env["QVSDK_RECORD_TARGET"]
    proc = subprocess.run([sys.executable, "-c", "import c_sdk; print('ran')"],
                          capture_output=True, text=True, env=env, timeout=60)
    assert proc.returncode != 0 and proc.stdout == ""
    assert proc.stderr.startswith("qvsdk recorder: ") and message in proc.stderr
    if target and file is None:
        assert f"QVSDK_RECORD_TARGET={target}" in proc.stderr


def test_recorded_stress_run(tmp_path):
    """Every call and event of a short mixed run in its recording, once; its replay identical."""
    # Flatness of memory is judged by the long run (scripts/stress); a short one warms caches.
    print(recorded_stress.check(20000, str(tmp_path / "stress.qvrec"), rss_slack_kib=1000000))


@pytest.mark.parametrize("command", ["summary", "jsonl"])
def test_reader_is_quiet_in_a_closed_pipe(recorded, command):
    """`... | head -1`: the reader goes away after one line; the tool ends without a traceback
    and with the same status every time (SIGPIPE's, or 0 when all was written first)."""
    path, _ = recorded
    for _ in range(5):
        proc = subprocess.Popen([sys.executable, "-m", "qvsdk_standin.recording", command,
                                 str(path)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        assert proc.stdout.readline()
        proc.stdout.close()
        err = proc.stderr.read()
        proc.wait(timeout=60)
        assert err == b"" and proc.returncode in (0, -13), (proc.returncode, err)


# Small sessions, recorded in a subprocess with the recorder in front of the stand-in and then
# replayed here by the same code (`replaying` set: nothing programmed, nothing queued).
SESSIONS = {
    # Events from a thread of the SDK's own between calls, and no qvi_run or qvi_poll after them.
    "thread_events": """
        c_sdk.py_qvi_set_data_callback(lambda event, data: handled.append(event))
        if not replaying:
            sdk.queue_event("a")
            sdk.queue_event("b")
            sdk.deliver_from_thread()
            sdk.join_threads()
        c_sdk.py_qvi_get_cash(b"c")
    """,
    "raises": """
        def on_event(event, data):
            handled.append(event)
            raise KeyError(event)
        c_sdk.py_qvi_set_data_callback(on_event)
        for name in ("a", "b", "c"):
            replaying or sdk.queue_event(name)
        c_sdk.py_qvi_run()
    """,
    "stops": """
        def on_event(event, data):
            handled.append(event)
            if len(handled) == 2:
                c_sdk.py_qvi_stop()
        c_sdk.py_qvi_set_data_callback(on_event)
        for name in ("a", "b", "c"):
            replaying or sdk.queue_event(name)
        c_sdk.py_qvi_run()
    """,
}
SESSIONS["drains"] = SESSIONS["stops"].replace("len(handled) == 2", "False")


def record_session(tmp_path, name):
    path = tmp_path / f"{name}.qvrec"
    code = "import c_sdk, qvsdk_standin as sdk\nhandled, replaying = [], False\n"
    env = recording.environment(str(path))
    env.update(PYTHONPATH=HOST)
    proc = subprocess.run([sys.executable, "-c", code + textwrap.dedent(SESSIONS[name])],
                          capture_output=True, text=True, env=env, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return path


def replay_session(name):
    """Runs the session under the replay in progress; returns the events it handled."""
    namespace = {"c_sdk": c_sdk, "sdk": standin, "handled": [], "replaying": True}
    exec(textwrap.dedent(SESSIONS[name]), namespace)
    return namespace["handled"]


@pytest.mark.parametrize("end", ["reset", "nested replay", "harness inside", "abandoned",
                                 "events never delivered"])
def test_a_replay_never_ends_silently_nor_loses_an_event(recorded, tmp_path, end,
                                                         module_globals):
    """Whatever would end a replay while its block still runs raises at once (reset, another
    replay) or keeps replaying (a Harness entered inside it); a recorded event that never came is
    a divergence in strict mode, like a recorded call never made."""
    path, seen = recorded
    if end == "events never delivered":
        short = record_session(tmp_path, "thread_events")
        with pytest.raises(standin.ReplayDivergence,
                           match=re.escape("ended with 2 recorded event(s) not delivered")):
            with standin.replay(short):
                assert replay_session("thread_events") == []
        with standin.replay(short, strict=False):
            replay_session("thread_events")
        return
    if end == "abandoned":  # a replay nothing refers to is no longer claimed: reset() ends it
        standin.replay(path)
        standin.reset()
        assert c_sdk.py_qvi_get_orders(b"q") == (0, b"qvi_get_orders_pb:q")
        return
    with standin.replay(path) as replay:
        if end == "reset":
            with pytest.raises(RuntimeError, match=re.escape("reset() inside the replay of")):
                standin.reset()
        elif end == "nested replay":
            with pytest.raises(RuntimeError, match="inside the replay of"):
                standin.replay(path)
        with standin.Harness() if end == "harness inside" else contextlib.nullcontext():
            assert repr(recorded_session.drive()) == seen
    assert replay.remaining == 0


@pytest.mark.parametrize("session, options, raised, handled", [
    ("raises", {"strict": True}, KeyError("a"), ["a"]),
    ("stops", {"expect_stop": True}, None, ["a", "b"]),
    ("drains", {"expect_stop": True},
     standin.HarnessError("1 py_qvi_run call(s) returned because the stand-in ran out"),
     ["a", "b", "c"]),
])
def test_harness_options_hold_under_replay(tmp_path, session, options, raised, handled,
                                           module_globals):
    """`strict` ends a replayed run at the first exception; `expect_stop` sees how a replayed
    run ended, from the counters the stand-in keeps for runs of its own."""
    path = record_session(tmp_path, session)
    seen = []
    with pytest.raises(type(raised)) if raised else contextlib.nullcontext() as caught:
        with standin.replay(path), standin.Harness(**options):
            seen = replay_session(session)
    assert seen == handled
    if raised:
        assert str(raised).strip("'") in str(caught.value)
