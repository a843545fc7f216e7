"""Market replay: the recorded market played to a strategy that differs from the recorded one.
Recordings are built frame by frame (forged_recordings.py), with the times and threads wanted."""

import struct
import time

import pytest

import c_sdk
import qvsdk_standin as standin
from qvsdk_standin import market_replay
from qvsdk_standin.recording import RecordingError

import forged_recordings as f

# A market replay registers the strategy's callable: the module's globals are put back after.
pytestmark = pytest.mark.usefixtures("module_globals")

START_NS = 1_710_466_200_000_000_000  # the recording's wall-clock start
MS = 1_000_000
PLACE = f.FUNCTIONS.index("qvi_place_order_pb")
STOP = f.FUNCTIONS.index("qvi_stop")
ENCRYPTED = f.FUNCTIONS.index("qvi_get_encrypted_token")


def header(start_ns=START_NS):
    head = bytearray(f.header()[:44])
    head[24:32] = struct.pack("<q", start_ns)
    return bytes(head) + struct.pack("<I", f.crc(head))


class Session:
    """Frames numbered in the order given (the sequence numbers of a live session)."""

    def __init__(self):
        self.frames, self.seq = [], 0

    def call(self, function, args, result, outs=(), at=0, parent=0, thread=1):
        self.seq += 1
        body = f.values(*args) + result + f.values(*outs)
        self.frames.append(f.frame(f.CALL, body, function, self.seq, parent, thread, at * MS))
        return self.seq

    def event(self, name, data=b"", at=0, parent=0, thread=1):
        self.seq += 1
        body = f.blob(name, 2) + f.blob(data) + struct.pack("<i", len(data))
        self.frames.append(f.frame(f.EVENT, body, seq=self.seq, parent=parent, thread=thread,
                                   time=at * MS))

    def write(self, path):
        path.write_bytes(header() + b"".join(self.frames) + f.note())
        return path


def orders(*answers):
    """get_orders_pb(request) -> (status, response), recorded in this order."""
    s = Session()
    s.call(f.SET_CALLBACK, [f.raw(7, b"\1")], f.raw(9))
    for request, status, response in answers:
        outs = [f.blob(response), f.i32(len(response))] if status == 0 else [f.raw(8), f.i32(0)]
        s.call(f.GET_ORDERS, [f.blob(request)], f.i32(status), outs)
    return s


def market_session():
    """Events recorded inside a run, inside another call, from a thread of the library's own
    and between calls, at 0 to 40 ms; the run stopped by the strategy at "close"."""
    s = Session()
    s.call(f.SET_CALLBACK, [f.raw(7, b"\1")], f.raw(9))
    s.event(b"tick", b"1", at=0)  # between calls: before the run
    inside = s.seq = s.seq + 1
    s.event(b"bar", b"2", at=10, parent=inside)  # inside get_orders
    s.frames.append(f.frame(f.CALL, f.values(f.blob(b"r")) + f.i32(0) +
                            f.values(f.blob(b"R"), f.i32(1)), f.GET_ORDERS, inside, 0, 1, 5 * MS))
    s.event(b"tick", b"3", at=20, thread=2)  # from the library's thread
    run = s.seq = s.seq + 1
    s.event(b"tick", b"4", at=30, parent=run)
    s.event(b"close", b"5", at=40, parent=run)
    s.call(STOP, [], f.i32(0), at=40, parent=run)
    s.frames.append(f.frame(f.CALL, f.values() + f.i32(0) + f.values(), f.RUN, run, 0, 1, 25 * MS))
    return s


STREAM = [("tick", b"1"), ("bar", b"2"), ("tick", b"3"), ("tick", b"4"), ("close", b"5")]


def listen(seen, stop_at=None, clock=False):
    def on_event(event, data):
        seen.append((event, data) + ((c_sdk.qvi_now(), c_sdk.qvi_now_plus()) if clock else ()))
        if event == stop_at:
            c_sdk.py_qvi_stop()

    return c_sdk.py_qvi_set_data_callback(on_event)


def test_recorded_answers_in_order_then_programmed(tmp_path):
    """The same question is answered from the recording, each answer once and in order, then by
    the programmed outcomes; another question by the programmed outcomes at once; a recorded
    answer wins over a programmed one. The journal tells which was which."""
    path = orders((b"a", 0, b"A1"), (b"b", 1030, b""), (b"a", 0, b"A2")).write(tmp_path / "o")
    # For the questions the recording lacks.
    standin.set_result("qvi_get_orders_pb", lambda request: 7 if request == b"c" else 8)
    with standin.market(path) as m:
        got = [c_sdk.py_qvi_get_orders(r) for r in (b"b", b"a", b"c", b"a", b"a", b"b")]
    assert got == [(1030, None), (0, b"A1"), (7, None), (0, b"A2"), (8, None), (8, None)]
    assert [(c.args, c.recorded) for c in m.calls()] == [
        ((b"b",), True), ((b"a",), True), ((b"c",), False), ((b"a",), True), ((b"a",), False),
        ((b"b",), False)]
    assert [c.call for c in m.calls()] == standin.calls()
    assert (m.answered, m.unused) == (3, 1)  # the recorded qvi_set_event_callback_pb unused
    # Closed: the programmed outcomes only.
    assert c_sdk.py_qvi_get_orders(b"a") == (8, None)


def test_an_order_refused_by_the_programmed_outcome(tmp_path):
    """The changed strategy's order (another volume) is not in the recording: the programmed
    refusal answers it, while the recorded order is answered as recorded."""
    s = Session()
    s.call(PLACE, [f.blob(b'{"volume": 100}')], f.i32(0), [f.blob(b"ok"), f.i32(2)])
    path = s.write(tmp_path / "p")
    standin.set_result("qvi_place_order_pb", 1016)
    with standin.market(path) as m:
        assert c_sdk.py_qvi_place_order(b'{"volume": 200}') == (1016, None)
        assert c_sdk.py_qvi_place_order(b'{"volume": 100}') == (0, b"ok")
    assert [c.recorded for c in m.calls()] == [False, True]


def test_the_stream_is_delivered_in_runs_whatever_the_calls(tmp_path):
    """Every event, in the recorded order, inside the runs: whether recorded inside a run,
    another call, between calls or from a thread. A stop ends the run after its event; the next
    run goes on from there; the run's status comes from the recording where it matches."""
    path = market_session().write(tmp_path / "m")
    seen = []
    with standin.market(path) as m:
        listen(seen, stop_at="bar")
        assert c_sdk.py_qvi_get_orders(b"other") == (0, b"qvi_get_orders_pb:other")
        assert seen == []  # events are the runs' only
        assert c_sdk.py_qvi_run() == 0
        assert (seen, m.delivered, m.remaining) == (STREAM[:2], 2, 3)
        assert c_sdk.py_qvi_run() == 0  # exhausted: the run returns
        assert journal(m) == [("qvi_set_event_callback_pb", True), ("qvi_get_orders_pb", False),
                                ("qvi_run", True), ("qvi_stop", True), ("qvi_run", False)]
    assert seen == STREAM
    assert standin.stats().runs_stopped >= 1


def journal(m):
    return [(c.name, c.recorded) for c in m.calls()]


def test_poll_delivers_the_stream_and_request_stop_ends_a_run(tmp_path):
    path = market_session().write(tmp_path / "m")
    seen = []

    def on_event(event, data):
        seen.append(event)
        if len(seen) == 3:
            standin.request_stop()

    with standin.market(path) as m:
        c_sdk.py_qvi_set_data_callback(on_event)
        c_sdk.py_qvi_run()
        assert m.delivered == 3
        assert c_sdk.qvi_poll() == 0
        assert m.remaining == 0
    assert seen == [name for name, _ in STREAM]


def test_the_clock_is_the_recorded_sessions(tmp_path):
    """qvi_now (ns since 1970) and qvi_now_plus (s) at the last event delivered: the header's
    start plus the frame's time; before any event, the selection's start."""
    path = market_session().write(tmp_path / "m")
    seen = []
    with standin.market(path, start=0.005) as m:
        assert c_sdk.qvi_now() == START_NS + 5 * MS
        listen(seen, clock=True)
        c_sdk.py_qvi_run()
        assert m.clock_ns == 40 * MS
    assert [(ns, plus) for _, _, ns, plus in seen] == [
        (START_NS + t * MS, (START_NS + t * MS) / 1e9) for t in (10, 20, 30, 40)]
    assert all(c.recorded for c in m.calls(["qvi_now", "qvi_now_plus"]))


@pytest.mark.parametrize("selection, expected", [
    ({}, STREAM),
    ({"start": 0.010}, STREAM[1:]),
    ({"end": 0.030}, STREAM[:3]),
    ({"start": 0.010, "end": 0.030}, STREAM[1:3]),
    ({"events": ["tick"]}, [e for e in STREAM if e[0] == "tick"]),
    ({"events": [b"close", "bar"], "start": 0.015}, STREAM[4:]),
    ({"events": []}, []),
])
def test_selection(tmp_path, selection, expected):
    path = market_session().write(tmp_path / "m")
    seen = []
    with standin.market(path, **selection) as m:
        listen(seen)
        c_sdk.py_qvi_run()
    assert seen == expected and m.events == len(expected)


def test_pace(tmp_path):
    """At the recorded pace scaled by the factor, from the first event: lower bounds (a loaded
    machine only delays), and an upper bound far above the recorded span."""
    s = Session()
    for i in range(5):
        s.event(b"tick", bytes([i]), at=100 * i)  # 0.4 s recorded
    path = s.write(tmp_path / "t")
    elapsed = {}
    for pace in (None, 1.0, 4.0):
        seen = []
        with standin.market(path, pace=pace):
            listen(seen)
            begin = time.perf_counter()
            c_sdk.py_qvi_run()
            elapsed[pace] = time.perf_counter() - begin
        assert len(seen) == 5
    assert elapsed[1.0] >= 0.4 * 0.95
    assert elapsed[4.0] >= 0.1 * 0.95
    assert elapsed[None] < elapsed[1.0] and elapsed[4.0] < 0.4 + 5


def test_a_paced_poll_delivers_only_what_is_due(tmp_path):
    s = Session()
    s.event(b"now", at=0)
    s.event(b"later", at=60_000)  # a minute on
    path = s.write(tmp_path / "t")
    seen = []
    with standin.market(path, pace=1.0) as m:
        listen(seen)
        c_sdk.qvi_poll()
        c_sdk.qvi_poll()
        assert (seen, m.remaining) == ([("now", b"")], 1)


def test_deterministic(tmp_path):
    """Two market replays of the same recording, strategy and outcomes: the same journal."""
    path = market_session().write(tmp_path / "m")
    journals = []
    for _ in range(2):
        standin.reset()
        standin.set_result("qvi_place_order_pb", [0, 1016])
        seen = []

        def on_event(event, data):
            seen.append(event)
            c_sdk.py_qvi_place_order(data)
            c_sdk.py_qvi_get_orders(b"r")
            c_sdk.qvi_now()

        with standin.market(path) as m:
            c_sdk.py_qvi_set_data_callback(on_event)
            c_sdk.py_qvi_run()
        journals.append(repr(m.calls()).encode())
    assert journals[0] == journals[1] and b"True" in journals[0] and b"False" in journals[0]


def test_redacted_secrets(tmp_path):
    """A redacted token matches any token; a redacted result is answered with as many '*'; a
    redacted output (no answer possible) is left to the programmed outcome."""
    s = Session()
    s.call(f.SET_TOKEN, [f.redacted(2, 6)], f.i32(0))
    s.call(f.SET_TOKEN, [f.redacted(2, 6)], f.i32(3))
    s.call(ENCRYPTED, [], f.redacted(2, 4))
    s.call(f.GET_ORDERS, [f.blob(b"r")], f.i32(0), [f.redacted(1, 2), f.i32(2)])
    s.event(b"tick", b"x")
    path = s.write(tmp_path / "r")
    seen = []
    with standin.market(path) as m:
        listen(seen)
        assert [c_sdk.py_qvi_set_token(t) for t in ("abcdef", "other-token", "x")] == [0, 3, 0]
        assert c_sdk.qvi_get_encrypted_token() == b"****"
        assert c_sdk.py_qvi_get_orders(b"r") == (0, b"qvi_get_orders_pb:r")
        c_sdk.py_qvi_run()
    assert seen == [("tick", b"x")]
    assert [c.recorded for c in m.calls()][1:] == [True, True, False, True, False, False]


def test_refusals(tmp_path):
    path = market_session().write(tmp_path / "m")
    for kwargs, error in [({"pace": 0}, ValueError), ({"pace": "fast"}, TypeError),
                          ({"start": -1}, ValueError), ({"start": 2, "end": 1}, ValueError),
                          ({"events": "tick"}, TypeError), ({"events": [1]}, TypeError)]:
        with pytest.raises(error):
            standin.market(path, **kwargs)
    bad = tmp_path / "bad"
    bad.write_bytes(b"not a recording")
    with pytest.raises(RecordingError, match="not a recording"):
        standin.market(bad)
    with standin.market(path):
        with pytest.raises(RuntimeError, match="inside the replay"):
            standin.reset()
        with pytest.raises(RuntimeError, match="inside the replay"):
            standin.replay(path)
        with standin.Harness():  # starts clean; the market goes on
            seen = []
            listen(seen)
            c_sdk.py_qvi_run()
        assert len(seen) == 5


def test_events_written_out_of_order_arrive_in_order(tmp_path):
    """Two threads may write their events in another order than they arrived: the stream is in
    the order of arrival (sequence numbers)."""
    s = Session()
    for seq, name in [(2, b"second"), (1, b"first"), (3, b"third")]:
        s.frames.append(f.frame(f.EVENT, f.blob(name, 2) + f.blob(b"") + struct.pack("<i", 0),
                                seq=seq, thread=seq))
    seen = []
    with standin.market(s.write(tmp_path / "o")):
        listen(seen)
        c_sdk.py_qvi_run()
    assert [name for name, _ in seen] == ["first", "second", "third"]


def in_parts_files():
    """Recordings whose parts may begin anywhere: frames hidden in payloads (a part that seems to
    begin at one is not joined), out of order, a malformed call late, a damaged frame midway."""
    hidden = Session()
    hidden.call(f.SET_CALLBACK, [f.raw(7, b"\1")], f.raw(9))
    for i in range(6):
        fake = f.event(b"fake", b"x" * i, seq=100 + i)  # a whole event frame as a payload
        hidden.event(b"tick", fake, at=i)
        hidden.call(f.GET_ORDERS, [f.blob(b"r")], f.i32(0),
                    [f.blob(f.call(f.GET_ORDERS, [f.blob(b"r")], f.i32(0))), f.i32(3)], at=i)
    disorder = Session()
    for seq in (5, 2, 9, 1, 7, 3):
        disorder.frames.append(f.frame(f.EVENT, f.blob(b"n%d" % seq, 2) + f.blob(b"") +
                                       struct.pack("<i", 0), seq=seq, time=seq * MS))
        disorder.call(STOP, [], f.i32(seq), at=seq)
    lying = market_session()
    lying.frames.insert(-2, f.frame(f.CALL, f.values(f.raw(99)), f.GET_ORDERS, 50))
    damaged = market_session()
    damaged.frames[3] = damaged.frames[3][:-1] + b"\0"
    return {"session": market_session(), "frames in payloads": hidden, "out of order": disorder,
            "a malformed call": lying, "a damaged frame": damaged}


def play(path, **selection):
    seen = []
    try:
        with standin.market(path, **selection) as m:
            listen(seen, clock=True)
            answers = [c_sdk.py_qvi_get_orders(b"r") for _ in range(3)]
            c_sdk.py_qvi_run()
    except RecordingError as e:
        return seen, str(e)
    return seen, answers, m.events, m.answered, m.unused


@pytest.mark.parametrize("name", sorted(in_parts_files()))
@pytest.mark.parametrize("selection", [{}, {"events": ["tick", "n3", "n9"]},
                                       {"start": 0.002, "end": 0.03}])
def test_loading_in_parts_changes_nothing(tmp_path, name, selection):
    """A large recording is loaded in parts by two threads: parts of a few bytes give the
    stream, the answers and the refusals (the frame's number included) of one walk."""
    path = in_parts_files()[name].write(tmp_path / "p")
    outcomes = []
    for size in (0, 1, 7, 60):
        market_replay._part_bytes(size)
        try:
            outcomes.append(play(path, **selection))
        finally:
            market_replay._part_bytes(0)
    assert outcomes[1:] == outcomes[:1] * 3
