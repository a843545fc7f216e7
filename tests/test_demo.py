"""The sample strategy runs end to end against the stand-in SDK, and replays from a recording
of its session."""

import os
import subprocess
import sys

import pytest

from qvsdk_standin import recording

from conftest import HOST, ROOT, run_python

STRATEGY = os.path.join(ROOT, "examples", "strategy.py")


def test_sample_strategy():
    proc = run_python(f"import runpy; runpy.run_path({STRATEGY!r}, run_name='__main__')")
    out = proc.stdout
    assert "a scripted session of 364 events" in out
    assert "events handled   361: 300 tick, 60 bar, 1 market_close" in out
    assert "qvi_cancel_all_orders_pb error code=1030, error info=market closed" in out
    assert "qvi_cancel_all_orders_pb -> 1030 (1x)" in out
    assert proc.stderr == ""


def strategy(*args, env=None):
    environ = dict(env or os.environ, PYTHONPATH=HOST)
    return subprocess.run([sys.executable, STRATEGY, *args], capture_output=True, text=True,
                          env=environ, timeout=120)


def summary(out):
    """The summary the strategy prints after its run, less its timing."""
    lines = out.splitlines()
    return [line for line in lines[lines.index(next(x for x in lines if x.startswith("run "))):]
            if not line.startswith("time per event")]


@pytest.mark.skipif(not os.path.exists(recording.RECORDER), reason="the recorder is not installed")
def test_record_then_replay(tmp_path):
    """Recorded with the recorder in front of the stand-in, replayed with no session script:
    the same summary. A recording cut inside its qvi_run (as by a crash there) still replays
    every event; the replay then reports that the run's outcome is missing."""
    path = tmp_path / "demo.qvrec"
    live = strategy(env=recording.environment(str(path)))
    assert live.returncode == 0 and live.stderr == "", live.stderr
    replayed = strategy("--replay", str(path))
    assert replayed.returncode == 0 and replayed.stderr == "", replayed.stderr
    assert summary(replayed.stdout) == summary(live.stdout)
    assert f"replaying {path}" in replayed.stdout

    rec = recording.read(path)
    run = next(c for c in rec.records if isinstance(c, recording.Call) and c.function == "qvi_run")
    cut = tmp_path / "cut.qvrec"
    data = path.read_bytes()
    at = recording.HEADER_SIZE  # walk the frames up to qvi_run's, and cut inside it
    for _ in range(run.index):
        at += 8 + int.from_bytes(data[at:at + 4], "little")
    cut.write_bytes(data[:at + 20])
    torn = strategy("--replay", str(cut))
    assert torn.returncode != 0
    expected = summary(live.stdout)
    expected[0] = "run returned -1, stop error code -1"  # what a diverged replay answers
    assert summary(torn.stdout) == expected
    assert "the recording ends inside this call: its outcome was not recorded" in torn.stderr
    assert "expected qvi_run()" in torn.stderr
