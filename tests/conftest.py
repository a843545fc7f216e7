"""Shared set-up: the stand-in host package on sys.path, a clean stand-in SDK for every test,
and helpers for subprocess scenarios and leak checks."""

import os
import subprocess
import sys
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST = os.path.join(ROOT, "standin", "host")
if HOST not in sys.path:
    sys.path.insert(0, HOST)

import c_sdk  # noqa: E402
import qvsdk_standin as standin  # noqa: E402

# A fresh pytest in a folder of its own, for the stand-in's pytest plugin (test_harness.py).
pytest_plugins = ["pytester"]


@pytest.fixture(autouse=True)
def sdk():
    """The stand-in SDK, reset before and after each test; and c_sdk's globals as they were
    before it: a test that leaves one rebound (the event callable `f` of an in-process replay)
    fails, and the globals are put back so that later tests do not inherit it."""
    saved = dict(vars(c_sdk))
    standin.reset()
    yield standin
    standin.reset()
    current = vars(c_sdk)
    changed = sorted(n for n in set(saved) | set(current)
                     if current.get(n, saved) is not saved.get(n, saved))
    if changed:
        for name in [n for n in current if n not in saved]:
            del current[name]
        current.update(saved)
        pytest.fail(f"the test left c_sdk's globals changed: {', '.join(changed)} (use the "
                    "module_globals fixture)", pytrace=False)


@pytest.fixture
def module_globals():
    """Restores every global of c_sdk that a test rebinds or deletes."""
    saved = dict(vars(c_sdk))
    yield c_sdk
    current = vars(c_sdk)
    for name in [n for n in current if n not in saved]:
        del current[name]
    for name, value in saved.items():
        if current.get(name, object()) is not value:
            setattr(c_sdk, name, value)


def run_python(code, *, host=True, env=None, timeout=60, check=True):
    """Runs `code` in a fresh interpreter (this one's executable) and returns the completed
    process. The stand-in host package is on its path unless `host` is false."""
    environ = dict(os.environ)
    path = [p for p in environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    if host:
        path.insert(0, HOST)
    environ["PYTHONPATH"] = os.pathsep.join(path)
    environ.update(env or {})
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=environ,
        timeout=timeout,
    )
    if check and proc.returncode != 0:
        raise AssertionError(
            f"subprocess failed ({proc.returncode})\n--- stdout\n{proc.stdout}\n--- stderr\n{proc.stderr}"
        )
    return proc


def python_function(name, params):
    """A Python function of the same name and parameters, whose TypeErrors for a wrong call are
    the messages the module's functions must give."""
    namespace = {}
    exec(f"def {name}({', '.join(params)}): pass", namespace)
    return namespace[name]


class LyingBytes(bytes):
    """bytes whose len() reports whatever length the test gives."""

    def __new__(cls, data, length):
        self = super().__new__(cls, data)
        self.length = length
        return self

    def __len__(self):
        return self.length
