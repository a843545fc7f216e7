"""The stateful test of hostile object graphs (tests/hostile_graphs.py), run apart: a fault
ends that process, not the test session. CSDK_EXAMPLES sets the number of examples
(scripts/stress runs ten times as many)."""

import os
import subprocess
import sys

from conftest import HOST, ROOT


def test_hostile_object_graphs():
    examples = os.environ.get("CSDK_EXAMPLES", "150")
    env = dict(os.environ, PYTHONFAULTHANDLER="1", PYTHONPATH=HOST)
    proc = subprocess.run([sys.executable, os.path.join(ROOT, "tests", "hostile_graphs.py"),
                           examples], capture_output=True, text=True, env=env, timeout=1800)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert f"examples={examples}" in proc.stdout
