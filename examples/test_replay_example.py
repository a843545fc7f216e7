"""Record a session of the sample strategy (examples/strategy.py), read the recording, and
replay it: strictly against the same strategy, loosely against one that trades another size."""

import json
import os
import subprocess
import sys

import pytest

import qvsdk_standin as sdk
import strategy as sample  # examples/strategy.py
from qvsdk_standin import recording


@pytest.fixture(scope="module")
def session(tmp_path_factory: pytest.TempPathFactory) -> str:
    """One run of the sample strategy, recorded in a process of its own: the recorder must be
    in front of the SDK before c_sdk is imported, so it is set up in the child's environment."""
    if not os.path.exists(recording.RECORDER):
        pytest.skip("the recorder is not installed (build with QVSDK_RECORDER=ON)")
    path = str(tmp_path_factory.mktemp("recording") / "session.qvrec")
    env = recording.environment(path)  # the recorder in front of the stand-in library
    subprocess.run([sys.executable, sample.__file__], env=env, check=True, capture_output=True)
    return path


def test_the_recording_holds_the_session(session: str) -> None:
    rec = recording.read(session)
    assert rec.closed and rec.damage is None  # the process ended normally
    token = rec.calls()[0]
    assert token.function == "qvi_set_token"
    assert isinstance(token.args[0], recording.Redacted)  # secrets are left out by default
    assert {e.name for e in rec.events()} == {b"tick", b"bar", b"market_close"}


def test_the_same_strategy_replays_strictly(session: str, standin: sdk.Harness) -> None:
    with sdk.replay(session):  # the same calls with the same arguments, or ReplayDivergence
        sample.trade(sample.Strategy(), "the recorded session")
    placed = [json.loads(r) for r in sdk.requests("py_qvi_place_order")]
    assert placed and {order["volume"] for order in placed} == {100}


def test_another_order_size_diverges_strictly(session: str, standin: sdk.Harness) -> None:
    with pytest.raises(sdk.ReplayDivergence, match="qvi_place_order_pb"):
        with sdk.replay(session):  # the first order's request differs from the recorded one
            sample.trade(sample.Strategy(volume=200), "the recorded session, strictly")


def test_another_order_size_replays_loosely(session: str, standin: sdk.Harness) -> None:
    with sdk.replay(session, strict=False):  # the same functions, their arguments not compared
        sample.trade(sample.Strategy(volume=200), "the recorded session, loosely")
    placed = [json.loads(r) for r in sdk.requests("py_qvi_place_order")]
    assert placed and {order["volume"] for order in placed} == {200}
