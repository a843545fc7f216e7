"""The documents hold what runs: the guide for strategy authors embeds the example tests as they
are and they pass, every other Python block and every reader command of the guide runs, and
every link of the README and of docs/ leads to a file and a heading that exist."""

import os
import pathlib
import re
import shlex
import subprocess
import sys
import textwrap

import pytest

from qvsdk_standin import recording

from conftest import HOST, ROOT

GUIDE = pathlib.Path(ROOT, "docs", "strategy-authors.md")
EXAMPLES = pathlib.Path(ROOT, "examples")
DOCUMENTS = [pathlib.Path(ROOT, "README.md"), *sorted(pathlib.Path(ROOT, "docs").glob("*.md"))]
# Written on another branch at the same time as the guide that links to it.
PENDING = {pathlib.Path(ROOT, "docs", "market-replay.md")}


def blocks(text, language):
    return re.findall(rf"^```{language}\n(.*?)^```$", text, re.S | re.M)


def environ(**extra):
    """The environment of the guide's commands: the stand-in's host package, and the sample
    strategy importable as `strategy`."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([HOST, str(EXAMPLES)]))
    env.update(extra)
    return env


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    """A folder holding session.qvrec, a recording of the sample strategy's session."""
    if not os.path.exists(recording.RECORDER):
        pytest.skip("the recorder is not installed")
    folder = tmp_path_factory.mktemp("guide")
    path = folder / "session.qvrec"
    subprocess.run([sys.executable, str(EXAMPLES / "strategy.py")], check=True,
                   capture_output=True, env=environ(**recording.environment(str(path))),
                   timeout=120)
    return folder


def example_files():
    return sorted(EXAMPLES.glob("test_*.py"))


@pytest.mark.parametrize("example", example_files(), ids=lambda p: p.name)
def test_the_guide_embeds_each_example_test_as_it_is_and_it_passes(example):
    assert f"```python\n{example.read_text()}```" in GUIDE.read_text()
    proc = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                           "-rs", str(example)], capture_output=True, text=True,
                          env=dict(os.environ, PYTHONPATH=HOST),  # as the guide runs them
                          cwd=ROOT, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert " failed" not in proc.stdout, proc.stdout
    if os.path.exists(recording.RECORDER):
        assert " passed" in proc.stdout and " skipped" not in proc.stdout, proc.stdout
    else:  # an example that records skips itself where the recorder is not installed
        assert " passed" in proc.stdout or "the recorder is not installed" in proc.stdout, \
            proc.stdout


# What the guide's snippets take as given: a strategy to run, the names they use.
PRELUDE = """
import signal

import c_sdk
import qvsdk_standin as sdk
import strategy as sample


def run_strategy():
    sample.trade(sample.Strategy(), "the recorded session")
"""


def snippets():
    examples = {p.read_text() for p in example_files()}
    return [b for b in blocks(GUIDE.read_text(), "python") if b not in examples]


@pytest.mark.parametrize("snippet", snippets(), ids=lambda s: s.splitlines()[0][:40])
def test_each_python_snippet_of_the_guide_runs(snippet, tmp_path, request):
    cwd = request.getfixturevalue("recorded") if "session.qvrec" in snippet else tmp_path
    code = PRELUDE + "\n" + textwrap.dedent(snippet)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=environ(), cwd=cwd, timeout=120)
    assert proc.returncode == 0, proc.stderr


def reader_commands():
    lines = [line.split("#")[0].strip() for block in blocks(GUIDE.read_text(), "sh")
             for line in block.splitlines()]
    return [line for line in lines if line.startswith("python -m qvsdk_standin.recording ")]


def test_the_guide_shows_the_three_reader_commands():
    assert [c.split()[3] for c in reader_commands()] == ["summary", "jsonl", "plot"]


@pytest.mark.parametrize("command", reader_commands(), ids=lambda c: c.split()[3])
def test_each_reader_command_of_the_guide_runs(command, recorded):
    argv = shlex.split(command)
    if argv[3] == "plot":
        pytest.importorskip("matplotlib")
    proc = subprocess.run([sys.executable, *argv[1:]], capture_output=True, text=True,
                          env=environ(), cwd=recorded, timeout=120)
    assert proc.returncode == 0 and proc.stdout or argv[3] == "plot", proc.stderr
    if argv[3] == "plot":
        assert proc.returncode == 0, proc.stderr
        assert (recorded / argv[argv.index("-o") + 1]).stat().st_size > 10_000


def slug(heading):
    """The anchor a heading gets on the project's host: lower case, punctuation dropped,
    spaces as hyphens."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


def anchors(path):
    text = re.sub(r"^```.*?^```$", "", path.read_text(), flags=re.S | re.M)
    return {slug(h) for h in re.findall(r"^#+ (.*)$", text, re.M)}


@pytest.mark.parametrize("document", DOCUMENTS, ids=lambda p: p.name)
def test_every_link_leads_to_a_file_and_a_heading(document):
    text = re.sub(r"^```.*?^```$", "", document.read_text(), flags=re.S | re.M)
    links = re.findall(r"\]\(([^)\s]+)\)", text)
    for link in links:
        if re.match(r"\w+://", link):
            continue
        target, _, anchor = link.partition("#")
        path = (document.parent / target).resolve() if target else document
        if path in PENDING and not path.exists():
            continue
        assert path.exists(), f"{document.name}: {link}"
        if anchor:
            assert anchor in anchors(path), f"{document.name}: {link}"
