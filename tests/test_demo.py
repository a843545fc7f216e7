"""The sample strategy runs end to end against the stand-in SDK."""

import os

from conftest import ROOT, run_python


def test_sample_strategy():
    path = os.path.join(ROOT, "examples", "strategy.py")
    proc = run_python(f"import runpy; runpy.run_path({path!r}, run_name='__main__')")
    out = proc.stdout
    assert "events handled   361 of 364 queued: 300 tick, 60 bar, 1 market_close" in out
    assert "qvi_cancel_all_orders_pb error code=1030, error info=market closed" in out
    assert "qvi_cancel_all_orders_pb -> 1030 (1x)" in out
    assert proc.stderr == ""
