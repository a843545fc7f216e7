"""The recorder in front of the stand-in, its recordings read back, and replays of them."""

import json
import os
import random
import subprocess
import sys

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
    assert [c.function for c in calls][:3] == ["qvi_set_event_callback_pb", "qvi_get_orders_pb",
                                               "qvi_get_cash_pb_v2"]
    inside = [e for e in rec.events() if e.parent == calls[1].seq]
    assert [(e.name, e.data) for e in inside] == [(b"tick", b"t1")]
    outside = [e for e in rec.events() if e.parent == 0]
    assert [(e.name, e.thread != calls[1].thread) for e in outside] == [(b"bar", True)]
    lines = [json.loads(line) for line in recording.jsonl(rec)]
    assert len(lines) == 1 + len(rec.records)
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


def test_write_error_stops_recording_not_the_session(recorded):
    _, seen = recorded
    proc = run_session("/dev/full")
    assert proc.returncode == 0 and proc.stdout.strip() == seen
    assert ("qvsdk recorder: writing /dev/full failed (No space left on device): recording "
            "stopped") in proc.stderr


@pytest.mark.parametrize("target, file, message", [
    (None, None, "QVSDK_RECORD_TARGET is not set"),
    ("/nonexistent/libqvsdk.so", None,
     "cannot load QVSDK_RECORD_TARGET=/nonexistent/libqvsdk.so: "),
    ("libstdc++", None, "lacks the SDK function qvi_place_order_pb"),
    (recording.RECORDER, None, "is the recorder itself"),
    (standin.LIBRARY, "/nonexistent/session.qvrec",
     "cannot open QVSDK_RECORD_FILE=/nonexistent/session.qvrec: No such file or directory"),
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
