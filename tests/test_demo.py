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


def blocks(path):
    """The fenced code blocks of a Markdown file: (language, code), in order."""
    out, lines, language = [], None, None
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.startswith("```"):
                if lines is None:
                    language, lines = line[3:].strip(), []
                else:
                    out.append((language, "".join(lines)))
                    lines = None
            elif lines is not None:
                lines.append(line)
    return out


@pytest.mark.skipif(not os.path.exists(recording.RECORDER), reason="the recorder is not installed")
def test_market_replay_walk_through(tmp_path):
    """docs/market-replay.md, block by block: recorded with scripts/demo, the market replayed
    against the changed strategy (the document's own checks of the journal), the demo's
    --market, and the picture. Its files go to a folder of the test's own; the demo runs over
    the build under test."""
    doc = blocks(os.path.join(ROOT, "docs", "market-replay.md"))
    assert [lang for lang, _ in doc] == ["sh", "python", "python", "sh", "sh", "text"]
    env = dict(os.environ, CSDK_DEMO_PREBUILT="1",
               PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"])

    def local(code):
        for name in ("session.qvrec", "session.png"):
            code = code.replace(name, str(tmp_path / name))
        return code

    def sh(code):
        proc = subprocess.run(["bash", "-ec", local(code)], cwd=ROOT, env=env,
                              capture_output=True, text=True, timeout=180)
        assert proc.returncode == 0, proc.stdout + proc.stderr
        return proc.stdout

    out = sh(doc[0][1])
    assert "events handled   361" in out
    script = local(doc[1][1] + doc[2][1])
    proc = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, capture_output=True,
                          text=True, timeout=120,
                          env=dict(env, PYTHONPATH=os.pathsep.join([HOST, os.path.join(
                              ROOT, "examples")])))
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "asked by the changed strategy" in proc.stdout
    assert "qvi_cancel_orders_pb" in proc.stdout.split("answered from the recording:")[-1]
    market = sh(doc[3][1])
    assert "the second order refused" in market and "qvi_place_order_pb -> 1016 (1x)" in market
    assert "\n  + qvi_place_order_pb" in market and "\n  - qvi_place_order_pb" in market
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return
    sh(doc[4][1])
    assert (tmp_path / "session.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
