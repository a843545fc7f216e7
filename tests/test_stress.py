"""The quick version of the mixed stress run (scripts/stress runs the long ones): every result
checked, in a fresh interpreter, also under `python -X dev -W error`."""

import os
import subprocess
import sys

import pytest

from conftest import HOST, ROOT


@pytest.mark.parametrize("flags", [[], ["-X", "dev", "-W", "error"]], ids=["plain", "dev-mode"])
def test_mixed_run(flags):
    env = dict(os.environ, PYTHONFAULTHANDLER="1", PYTHONPATH=HOST,
               # flatness is judged by the long run; a short one still warms its caches
               STRESS_RSS_SLACK_KIB="1000000")
    proc = subprocess.run([sys.executable, *flags, os.path.join(ROOT, "tests", "stress.py"),
                           "20000"], capture_output=True, text=True, env=env, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert "operations=20000" in proc.stdout
