"""A recorded session's statistics (session_stats) and its picture (session_plot, through
`python -m qvsdk_standin.recording plot`)."""

import math
import os
import random
import struct
import subprocess
import sys
import textwrap

import pytest

from qvsdk_standin import recording, session_plot, session_stats
from qvsdk_standin.recording import VOID, Call, Event, Note, Open, Text, Wide

import forged_recordings as fr
from conftest import HOST

S = 1_000_000_000
MS = 1_000_000
US = 1_000


class Records:
    """Hand-built records, numbered in the order they are added."""

    def __init__(self):
        self.records = []

    def call(self, t, function, result=0, duration=None, seq=None):
        n = len(self.records) + 1
        self.records.append(Call(n, seq or n, 0, 1, t, function, (), result, (),
                                 duration_ns=duration))

    def open(self, t, function, seq):
        self.records.append(Open(len(self.records) + 1, seq, 0, 1, t, function, ()))

    def event(self, t, name=b"tick"):
        n = len(self.records) + 1
        self.records.append(Event(n, n, 0, 2, t, name, b"", 0))

    def note(self, t):
        self.records.append(Note(len(self.records) + 1, t, recording.NOTE_CLOSED, 0, 0, 0, b""))


def nearest_rank(values, q):
    ordered = sorted(values)
    return ordered[max(1, math.ceil(q * len(ordered))) - 1]


def test_statistics_of_a_session():
    rng = random.Random(3)
    r = Records()
    durations = [k * US for k in range(1, 101)]
    rng.shuffle(durations)
    # Calls: timed ones, one function untimed, failing statuses among results of every kind.
    for i, d in enumerate(durations):
        r.call(S // 2 + i * MS, "qvi_get_orders_pb", result=7 if i % 10 == 0 else 0, duration=d)
    for function, result in [("qvi_get_cash_pb", 1030), ("qvi_get_cash_pb", 0),
                             ("qvi_get_cash_pb", -1), ("qvi_now", Wide(12345)),
                             ("qvi_now_plus", 2.5), ("qvi_strerror", Text(b"no")),
                             ("qvi_set_version", VOID), ("qvi_get_serv_addr", 0),
                             ("qvi_user_timer", 4), ("qvi_get_stop_error_code", 9)]:
        r.call(S, function, result)
    # A run that delivered events and returned (its open frame comes first), and one that never
    # returned.
    r.open(S // 4, "qvi_run", seq=9001)
    r.open(S // 4, "qvi_poll", seq=9002)
    # Events: 2 in second 1, 4 in second 2, 1 in second 10; the longest gap 2.9 -> 10.0 s.
    for ms in (1200, 1500, 2000, 2100, 2500, 2900, 10_000):
        r.event(ms * MS)
    r.event(2050 * MS, name=None)  # a NULL name, late by a thread's race
    r.event(10_500 * MS, name=b"bar")  # peaks of 1 in seconds 10 and 11: the first is shown
    r.event(11_500 * MS, name=b"bar")
    r.call(S // 4, "qvi_run", seq=9001)
    r.note(12 * S)

    stats = session_stats.collect(r.records)
    orders = stats.functions["qvi_get_orders_pb"]
    assert (orders.calls, orders.failing, orders.unfinished) == (100, 10, 0)
    for q, got in [(0.5, orders.median_ns), (0.99, orders.p99_ns)]:
        assert got == pytest.approx(nearest_rank(durations, q), rel=0.01)
    assert orders.max_ns == 100 * US and orders.latency.min == US
    assert {name: (f.calls, f.failing, f.unfinished, f.median_ns)
            for name, f in stats.functions.items() if name != "qvi_get_orders_pb"} == {
        "qvi_get_cash_pb": (3, 2, 0, None), "qvi_now": (1, 0, 0, None),
        "qvi_now_plus": (1, 0, 0, None), "qvi_strerror": (1, 0, 0, None),
        "qvi_set_version": (1, 0, 0, None), "qvi_get_serv_addr": (1, 0, 0, None),
        "qvi_user_timer": (1, 0, 0, None), "qvi_get_stop_error_code": (1, 0, 0, None),
        "qvi_run": (1, 0, 0, None), "qvi_poll": (1, 0, 1, None)}
    assert stats.timed
    assert {name: (e.count, e.peak_per_second, e.peak_second)
            for name, e in stats.events.items()} == {b"tick": (7, 4, 2), None: (1, 1, 2),
                                                     b"bar": (2, 1, 10)}
    assert (stats.first_ns, stats.last_ns, stats.span_ns) == (S // 4, 12 * S, 12 * S - S // 4)
    assert [(g.start_ns, g.length_ns) for g in stats.gaps] == [
        (2900 * MS, 7100 * MS), (10_500 * MS, S), (250 * MS, 950 * MS)]

    text = session_stats.report(stats, start_ns=0)
    assert "qvi_get_cash_pb" in text and "n/a" in text and "100 us" in text
    assert "7.100 s from +2.900 s (1970-01-01T00:00:02.900+00:00)" in text


def test_a_session_without_events_or_durations():
    r = Records()
    r.call(S, "qvi_get_cash_pb", 5)
    r.note(4 * S)
    stats = session_stats.collect(r.records)
    assert not stats.timed and stats.events == {}
    assert [(g.start_ns, g.length_ns) for g in stats.gaps] == [(S, 3 * S)]
    assert "latency     n/a" in session_stats.report(stats)
    assert session_stats.collect([]).gaps == []


@pytest.mark.parametrize("spread", [1.0, 4.0])
def test_latency_sketch_is_bounded_and_within_its_accuracy(spread):
    rng = random.Random(int(spread))
    sketch = session_stats.LatencySketch()
    values = [int(rng.lognormvariate(12, spread)) for _ in range(20_000)] + [0, 0, 1]
    for v in values:
        sketch.add(v)
    for q in (0.001, 0.25, 0.5, 0.9, 0.99, 0.999, 1.0):
        assert sketch.quantile(q) == pytest.approx(nearest_rank(values, q), rel=0.01, abs=1), q
    # Any duration up to 2**63 ns falls in one of some two thousand buckets.
    sketch.add(2**63 - 1)
    assert len(sketch.buckets) < 2300 and sketch.max == 2**63 - 1


@pytest.mark.parametrize("spread", [1.0, 4.0])
def test_parser_latency_sketch_is_the_python_one(spread):
    """The summary's latencies (computed by the parser) are the sketch's, to the nanosecond."""
    rng = random.Random(int(spread))
    values = [int(rng.lognormvariate(12, spread)) for _ in range(5_000)] + [0, 0, 1, 2**63 - 1]
    for n in (0, 1, 2, 7, 100, len(values) - 1, len(values)):
        sketch = session_stats.LatencySketch()
        for v in values[:n]:
            sketch.add(v)
        qs = [0.001, 0.25, 0.5, 0.9, 0.99, 0.999, 1.0]
        expected = [sketch.quantile(q) for q in qs] + [sketch.max if sketch.count else None]
        assert recording._latency_sketch(values[:n], qs) == expected, n


def timed_frame(kind, body, function=0xFFFF, seq=0, time=0):
    return fr.frame(kind, body, function, seq, time=time)


def forged_call(t, function, result=fr.i32(0), seq=1):
    return timed_frame(fr.CALL, fr.values() + result + fr.values(), fr.FUNCTIONS.index(function),
                       seq, t)


def forged_event(t, name=b"tick", seq=2):
    body = (fr.blob(name, 2) if name is not None else fr.raw(0)) + fr.raw(0)
    return timed_frame(fr.EVENT, body + b"\0\0\0\0", seq=seq, time=t)


def forged_open(t, function, seq):
    return timed_frame(fr.OPEN, fr.values(), fr.FUNCTIONS.index(function), seq, t)


def forged_note(t):
    return timed_frame(fr.NOTE, struct.pack("<HQQQ", 1, 3, 0, 0) + fr.blob(b"closed", 2), time=t)


# Hand-built sessions, each a list of frames: what the parser's statistics must count as the
# records' do.
FORGED = {
    "empty": [],
    "calls only": [forged_call(S, "qvi_get_cash_pb", fr.i32(5)), forged_note(4 * S)],
    "results of every kind": [
        forged_call(S, f, r, seq=i) for i, (f, r) in enumerate([
            ("qvi_get_cash_pb", fr.i32(1030)), ("qvi_get_cash_pb", fr.i32(0)),
            ("qvi_get_cash_pb", fr.i32(-1)), ("qvi_now", fr.raw(4, struct.pack("<q", 5))),
            ("qvi_now_plus", fr.raw(5, struct.pack("<d", 2.5))),
            ("qvi_strerror", fr.blob(b"no", 2)), ("qvi_set_version", fr.raw(9)),
            ("qvi_user_timer", fr.i32(4)), ("qvi_get_stop_error_code", fr.i32(9)),
            ("qvi_set_event_callback_pb", fr.raw(7, b"\1"))], 1)],
    "opened, returned and never returned": [
        forged_open(S // 4, "qvi_run", 9001), forged_open(S // 4, "qvi_poll", 9002),
        forged_event(S // 2, seq=9003), forged_call(S, "qvi_run", seq=9001)],
    # Peaks per second with ties (the first second shown), a NULL name, an event late by a
    # thread's race, seconds revisited after others were settled, times before the start.
    "rates": [forged_event(ms * MS, name, seq=i) for i, (ms, name) in enumerate([
        (-1500, b"tick"), (1200, b"tick"), (1500, b"tick"), (2000, b"tick"), (2100, b"tick"),
        (2050, None), (2500, b"tick"), (10_500, b"bar"), (11_500, b"bar"), (2900, b"tick"),
        (3100, b"tick"), (4100, b"tick"), (5100, b"tick"), (6100, b"tick"), (2200, b"tick"),
        (2300, b"tick"), (2400, b"tick"), (20_000, b""), (20_100, None)], 1)]
    + [forged_note(30 * S)],
    # Gaps of equal lengths (the earliest kept), more of them than are kept, one before the
    # first event and one after the last.
    "gaps": [forged_call(0, "qvi_poll")] + [forged_event(t * S, seq=t) for t in (2, 4, 6, 7, 9)]
    + [forged_note(11 * S)],
}


@pytest.mark.parametrize("name", FORGED)
def test_parser_statistics_are_the_records_statistics(tmp_path, name):
    """The summary's statistics, computed by the parser in its one pass, are those that
    session_stats computes from the records, and the summary prints them."""
    path = tmp_path / "forged.qvrec"
    path.write_bytes(fr.header() + b"".join(FORGED[name]))
    rec = recording.read(path)
    figures = recording.statistics(rec)
    assert figures == session_stats.collect(rec).figures()
    assert recording.summary(rec).endswith(session_stats.report(figures, start_ns=rec.start_ns))


def test_timeline_bins_every_record_where_it_happened():
    """Records in any order and over any span: the bins widen and grow in front as needed,
    stay on the grid of their width, and hold each record where its time falls."""
    rng = random.Random(7)
    r = Records()
    times = [rng.randrange(5 * S, 6 * S) for _ in range(300)] + [30 * S, 2 * S, 90 * S, 0]
    for t in times:
        if rng.random() < 0.5:
            r.event(t, name=rng.choice([b"tick", b"bar"]))
        else:
            r.call(t, "qvi_get_cash_pb", result=rng.choice([0, 7]), duration=t % 1000)
    timeline = session_plot.Timeline()
    for rec in r.records:
        timeline.add(rec)
    w, origin = timeline.width_ns, timeline.origin_ns
    assert origin % w == 0 and 0 < timeline.used <= session_plot.BINS
    expected = {}
    for rec in r.records:
        i = (rec.time_ns - origin) // w
        assert 0 <= i < timeline.used
        if isinstance(rec, Event):
            expected.setdefault(("events", rec.name), [0] * session_plot.BINS)[i] += 1
        else:
            expected.setdefault(("calls", rec.function), [0] * session_plot.BINS)[i] += 1
            if rec.result:
                expected.setdefault(("failing", rec.function), [0] * session_plot.BINS)[i] += 1
            slow = expected.setdefault(("slowest", rec.function), [-1] * session_plot.BINS)
            slow[i] = max(slow[i], rec.duration_ns)
    got = {(kind, key): series for kind in ("events", "calls", "failing", "slowest")
           for key, series in getattr(timeline, kind).items()}
    assert got == expected


def assert_picture(path, width, height):
    """The PNG decodes, has the size asked for, and draws something: many colours, a good
    share of the pixels not white."""
    image = pytest.importorskip("PIL.Image")
    with image.open(path) as png:
        assert png.format == "PNG" and png.size == (width, height)
        pixels = png.convert("RGB")
        colours = pixels.getcolors(maxcolors=width * height)
    assert len(colours) >= 20
    drawn = sum(n for n, rgb in colours if rgb != (255, 255, 255))
    assert drawn > 0.03 * width * height
    # The series' own colours are there, not only the black of text and axes.
    saturated = sum(n for n, (r, g, b) in colours if max(r, g, b) - min(r, g, b) > 80)
    assert saturated > 200


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    """A recording of the sample session (tests/recorded_session.py) through the recorder."""
    if not os.path.exists(recording.RECORDER):
        pytest.skip("the recorder is not installed (QVSDK_RECORDER=ON)")
    from test_recording import run_session

    path = tmp_path_factory.mktemp("picture") / "session.qvrec"
    proc = run_session(path)
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr
    return path


def cli(*args, blocked=False):
    """`python -m qvsdk_standin.recording ARGS`; `blocked`: as if matplotlib were not
    installed."""
    code = "import runpy, sys\n"
    if blocked:
        code += textwrap.dedent("""\
            class Block:
                def find_spec(self, name, path=None, target=None):
                    if name.partition(".")[0] == "matplotlib":
                        raise ModuleNotFoundError(f"No module named {name!r}", name=name)
            sys.meta_path.insert(0, Block())
            """)
    code += "runpy.run_module('qvsdk_standin.recording', run_name='__main__', alter_sys=True)\n"
    env = dict(os.environ, PYTHONPATH=HOST)
    return subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True,
                          env=env, timeout=120)


def test_picture_and_summary_of_the_sample_session(sample, tmp_path):
    pytest.importorskip("matplotlib")
    out = tmp_path / "session.png"
    proc = cli("plot", str(sample), "-o", str(out), "--width", "900", "--height", "700")
    assert proc.returncode == 0 and proc.stdout == proc.stderr == "", proc.stderr
    assert_picture(out, 900, 700)

    stats = session_stats.collect(recording.read(sample).records)
    assert recording.statistics(recording.read(sample)) == stats.figures()
    failing = {name: f.failing for name, f in stats.functions.items() if f.failing}
    assert failing == {"qvi_cancel_all_orders_pb": 1, "qvi_get_cash_pb": 1}
    assert {name: e.count for name, e in stats.events.items()} == {b"tick": 2, b"bar": 1}
    proc = cli("summary", str(sample))
    assert proc.returncode == 0, proc.stderr
    assert "tail        complete" in proc.stdout
    # Recorded by the recorder, every call carries its duration.
    assert stats.timed and all(f.max_ns is not None for f in stats.functions.values())
    assert "latency     median, 99th percentile and maximum" in proc.stdout


def test_picture_of_a_timed_session(tmp_path):
    """Latency drawn where calls carry their durations; a long session, in minutes."""
    pytest.importorskip("matplotlib")
    rng = random.Random(11)
    r = Records()
    t = 0
    while t < 20 * 60 * S:
        t += int(rng.expovariate(20) * S)
        if rng.random() < 0.6:
            # Names are shown as they are: a $ does not start mathematics in matplotlib.
            r.event(t, name=rng.choice([b"tick", b"bar", rb"fill $\frac$ at 5%"]))
        else:
            r.call(t, rng.choice(["qvi_place_order_pb", "qvi_get_orders_pb", "qvi_poll"]),
                   result=1030 if rng.random() < 0.01 else 0,
                   duration=int(rng.lognormvariate(11, 1)))
    out = tmp_path / "timed.png"
    stats = session_plot.plot(r.records, out, width=1200, height=800)
    assert stats.timed
    assert_picture(out, 1200, 800)


@pytest.mark.parametrize("args, status, message", [
    (["plot", "no-such.qvrec", "-o", "x.png"], 2, session_plot.INSTALL),
    (["plot", "no-such.qvrec"], 2, "plot needs -o PNG"),
    (["plot", "no-such.qvrec", "-o", "x.png", "--height", "499"], 2, "--height 500 to 20000"),
])
def test_plot_command_says_what_is_missing(tmp_path, args, status, message):
    """Without matplotlib, one line saying what to install, before the file is even read;
    nothing written."""
    result = cli(*[str(tmp_path / a) if a.endswith((".qvrec", ".png")) else a for a in args],
                 blocked=True)
    assert result.returncode == status and result.stdout == ""
    lines = result.stderr.splitlines()
    assert message in lines[-1]
    if message == session_plot.INSTALL:
        assert lines == [message]
    assert not (tmp_path / "x.png").exists()
