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


def test_a_scenario_inside_a_subinterpreter_is_refused_at_import():
    # The module lives in the main interpreter only: inside a sub-interpreter the stateful test
    # ends at its `import c_sdk` with the ImportError that says so. (Its rule
    # deliver_from_subinterpreter covers events that threads of a sub-interpreter raise.)
    script = os.path.join(ROOT, "tests", "hostile_graphs.py")
    code = f"""
import _testcapi
_testcapi.run_in_subinterp('''
import sys
sys.argv = [{script!r}, "3"]
try:
    exec(compile(open({script!r}).read(), {script!r}, "exec"),
         {{"__name__": "__main__", "__file__": {script!r}}})
except ImportError as e:
    print("refused:", e)
''')
"""
    env = dict(os.environ, PYTHONFAULTHANDLER="1", PYTHONPATH=HOST)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                          timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.startswith("refused: c_sdk can only be imported in the main interpreter")
