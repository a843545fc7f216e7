"""The mixed stress run (tests/stress.py) with the recorder in front of the stand-in, then
replayed from its recording.

    python tests/recorded_stress.py [operations] [file]

Checks that every call the stand-in received and every event the run handled is in the
recording, once each and in order (counted, and digested the same way as the run digests the
stand-in's journal), that the recording is complete, and that a strict replay of it reproduces
the run's journal and events. Prints one line of figures. Environment: QVSDK_RECORD_BUFFER
(default here 64 KiB, small enough that callers map the next window themselves now and then).
"""

import hashlib
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(os.path.dirname(HERE), "standin", "host")]

from qvsdk_standin import recording  # noqa: E402

from stress import call_key  # noqa: E402

STRESS = os.path.join(HERE, "stress.py")


def figures(env, *args):
    proc = subprocess.run([sys.executable, STRESS, *args], capture_output=True, text=True,
                          env=env)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    line = proc.stdout.strip().splitlines()[-1]
    return dict(re.findall(r"(\w+)=(\S+)", line))


def check(operations, path, rss_slack_kib=None):
    base = dict(os.environ, STRESS_DIGEST="1",
                PYTHONPATH=os.pathsep.join([os.path.join(os.path.dirname(HERE), "standin",
                                                         "host")]))
    base.setdefault("QVSDK_RECORD_BUFFER", str(64 << 10))
    if rss_slack_kib is not None:
        base["STRESS_RSS_SLACK_KIB"] = str(rss_slack_kib)
    ran = figures(recording.environment(path, base=base.items()), str(operations))

    rec = recording.read(path)
    assert rec.damage is None and rec.closed, recording.summary(rec)
    calls, events = rec.calls(), rec.events()
    seqs = [r.seq for r in calls] + [e.seq for e in events]
    assert len(set(seqs)) == len(seqs), "a sequence number recorded twice"
    assert all(c.finished for c in calls)
    digest = hashlib.sha256()
    for c in calls:
        digest.update(repr(call_key(c.function, c.args)).encode())
    assert len(calls) == int(ran["journal_calls"]), (len(calls), ran)
    assert digest.hexdigest() == ran["calls_digest"], "the recorded calls differ from the journal"
    digest = hashlib.sha256()
    for e in events:
        digest.update(repr((bytes(e.name or b""), e.data)).encode())
    assert len(events) == int(ran["events"]), (len(events), ran)
    assert digest.hexdigest() == ran["events_digest"], "the recorded events differ"

    replayed = figures(base, str(operations), "--replay", path)
    for key in ("journal_calls", "calls_digest", "events", "events_digest", "sdk_calls"):
        assert replayed[key] == ran[key], (key, ran[key], replayed[key])
    waits = sum(n.waits for n in rec.records if isinstance(n, recording.Note))
    return (f"operations={operations} recorded_calls={len(calls)} recorded_events={len(events)} "
            f"bytes={rec.size} waits={waits} rss_kib_tenth={ran['rss_kib_tenth']} "
            f"rss_kib_end={ran['rss_kib_end']} replayed=identical")


def main():
    operations = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    if len(sys.argv) > 2:
        print(check(operations, sys.argv[2]))
        return
    with tempfile.TemporaryDirectory() as tmp:
        print(check(operations, os.path.join(tmp, "stress.qvrec")))


if __name__ == "__main__":
    main()
