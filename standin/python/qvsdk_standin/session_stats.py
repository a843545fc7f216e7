"""What a recorded session did, in one pass over its records: per SDK function the calls, the
failing statuses and the latency; per event name the count and the peak rate; the span and the
longest stretches without an event.

    from qvsdk_standin import recording, session_stats

    rec = recording.read("session.qvrec")
    stats = session_stats.collect(rec.records)     # any iterable of records, in file order
    print(session_stats.report(stats, start_ns=rec.start_ns))

Memory stays bounded whatever the number of records: a day of a busy session has millions of
calls, and exact medians would need every duration kept. Latencies go into a log-scale sketch
instead (`LatencySketch`): a median or 99th percentile comes out within 1% of the true one (the
maximum and the minimum are exact), in at most some two thousand buckets per function.

A call's duration is the recording's `duration_ns` when its format holds one, None otherwise:
latency then shows as "n/a", the other figures are the same.

`recording.summary` and `recording.statistics` compute the same figures in the parser's one pass
over a file (in C++, at the speed of the file's bytes); this module computes them from records
(the picture of a session walks its records anyway, and hand-built records have no file). Both
give a `Figures`, which `report` prints. They differ in one respect only: a stream settles an
open frame by a later call frame (the recorder writes them in that order), while the parser
counts a call unfinished only when no frame of it returned anywhere in the file.
"""

from __future__ import annotations

import datetime
import heapq
import math
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Final

from .recording import Call, Callback, Event, Note, Open, Record, Wide

__all__ = [
    "EventFigures",
    "EventStats",
    "Figures",
    "FunctionFigures",
    "FunctionStats",
    "Gap",
    "LatencySketch",
    "SessionStats",
    "collect",
    "duration",
    "duration_of",
    "is_failing",
    "report",
    "sort_functions",
]

NS: Final = 1_000_000_000

# Functions that return an int that is not a status: a timer's id, the code a stop was asked
# with. Their results are never counted as failing.
NOT_STATUS: Final = frozenset({"qvi_user_timer", "qvi_get_stop_error_code"})

# How many of the longest gaps the statistics keep.
GAPS_KEPT: Final = 3


def duration_of(call: Call) -> int | None:
    """How long the SDK took over `call`, in nanoseconds; None when the recording's format
    does not hold durations."""
    d = call.duration_ns
    return d if d is not None and d >= 0 else None


def is_failing(call: Call) -> bool:
    """Whether `call` returned a failing status: a C int result other than 0 from a function
    whose int result is a status. Calls that never returned are not failing, they are
    unfinished."""
    r = call.result
    if not call.finished or call.function in NOT_STATUS:
        return False
    # A status is recorded as a C int; long longs, flags and the callback marker are ints too.
    if not isinstance(r, int) or isinstance(r, (bool, Wide, Callback)):
        return False
    return r != 0


class LatencySketch:
    """Durations in buckets of geometrically growing width (each 2% wider than the last), so
    that any quantile is known within 1% of its value; exact count, minimum and maximum."""

    ACCURACY: Final = 0.01
    _GAMMA: Final = (1 + ACCURACY) / (1 - ACCURACY)
    _LOG_GAMMA: Final = math.log(_GAMMA)

    __slots__ = ("buckets", "zeros", "count", "min", "max")

    def __init__(self) -> None:
        self.buckets: dict[int, int] = {}
        self.zeros = 0  # durations of 0 ns: a clock too coarse to see the call
        self.count = 0
        self.min = 0
        self.max = 0

    def add(self, ns: int) -> None:
        if self.count == 0 or ns < self.min:
            self.min = ns
        if ns > self.max:
            self.max = ns
        self.count += 1
        if ns <= 0:
            self.zeros += 1
            return
        i = math.ceil(math.log(ns) / self._LOG_GAMMA)
        self.buckets[i] = self.buckets.get(i, 0) + 1

    def quantile(self, q: float) -> int | None:
        """The value at rank ceil(q * count) (the nearest rank; the median of an even count is
        the lower middle), None when empty."""
        if self.count == 0:
            return None
        rank = max(1, math.ceil(q * self.count))
        if rank >= self.count:
            return self.max
        if rank <= self.zeros:
            return 0
        seen = self.zeros
        for i in sorted(self.buckets):
            seen += self.buckets[i]
            if seen >= rank:
                # The middle of the bucket (in relative terms): within ACCURACY of any value
                # in it; never outside what was seen.
                value = round(2 * self._GAMMA ** i / (self._GAMMA + 1))
                return min(max(value, self.min), self.max)
        return self.max  # not reached: the buckets hold count - zeros values


@dataclass(slots=True)
class FunctionStats:
    function: str
    calls: int = 0  # unfinished ones included
    failing: int = 0
    unfinished: int = 0
    latency: LatencySketch = field(default_factory=LatencySketch)  # of the calls timed

    @property
    def median_ns(self) -> int | None:
        return self.latency.quantile(0.5)

    @property
    def p99_ns(self) -> int | None:
        return self.latency.quantile(0.99)

    @property
    def max_ns(self) -> int | None:
        return self.latency.max if self.latency.count else None


@dataclass(slots=True)
class EventStats:
    name: bytes | None
    count: int = 0
    peak_per_second: int = 0  # the most events of this name within one second of the clock
    peak_second: int = 0  # which second (from the recording's start) that was, the first such
    # The latest seconds' counts; older seconds are settled and dropped.
    _recent: dict[int, int] = field(default_factory=dict, repr=False)

    def add(self, time_ns: int) -> None:
        self.count += 1
        second = time_ns // NS
        n = self._recent.get(second, 0) + 1
        self._recent[second] = n
        if n > self.peak_per_second or (n == self.peak_per_second and second < self.peak_second):
            self.peak_per_second, self.peak_second = n, second
        if len(self._recent) > 4:
            # Events arrive in time order but for microseconds between threads: keep the
            # last two seconds open, settle the others.
            latest = max(self._recent)
            for s in [s for s in self._recent if s < latest - 1]:
                del self._recent[s]


@dataclass(frozen=True, slots=True)
class Gap:
    """A stretch of the session without an event: from `start_ns` (since the recording's
    start) for `length_ns`."""

    start_ns: int
    length_ns: int


@dataclass(frozen=True, slots=True)
class FunctionFigures:
    function: str
    calls: int  # unfinished ones included
    failing: int
    unfinished: int
    timed: int  # calls whose duration is known
    median_ns: int | None
    p99_ns: int | None
    max_ns: int | None


@dataclass(frozen=True, slots=True)
class EventFigures:
    name: bytes | None
    count: int
    peak_per_second: int
    peak_second: int  # the first second (of the recording's clock) holding the peak


@dataclass(frozen=True, slots=True)
class Figures:
    """A session's statistics as figures: functions by calls (most first) then name, events in
    the order their names first came, the longest gaps longest first."""

    timed: bool
    functions: tuple[FunctionFigures, ...]
    events: tuple[EventFigures, ...]
    first_ns: int | None
    last_ns: int | None
    gaps: tuple[Gap, ...]

    @property
    def span_ns(self) -> int:
        if self.first_ns is None or self.last_ns is None:
            return 0
        return self.last_ns - self.first_ns


def sort_functions(functions: Iterable[FunctionFigures]) -> tuple[FunctionFigures, ...]:
    return tuple(sorted(functions, key=lambda f: (-f.calls, f.function)))


@dataclass(slots=True)
class SessionStats:
    """Statistics fed one record at a time (`add`), in file order; `finish` settles them."""

    functions: dict[str, FunctionStats] = field(default_factory=dict)
    events: dict[bytes | None, EventStats] = field(default_factory=dict)
    records: int = 0
    first_ns: int | None = None  # the earliest time of any record
    last_ns: int | None = None  # the latest
    gaps: list[Gap] = field(default_factory=list)  # the longest, longest first (after finish)
    timed: bool = False  # whether any call carried its duration
    _open: dict[int, Open] = field(default_factory=dict, repr=False)
    _first_event: int | None = field(default=None, repr=False)
    _last_event: int | None = field(default=None, repr=False)
    _gaps: list[tuple[int, int]] = field(default_factory=list, repr=False)  # a min-heap
    _finished: bool = field(default=False, repr=False)

    @property
    def span_ns(self) -> int:
        if self.first_ns is None or self.last_ns is None:
            return 0
        return self.last_ns - self.first_ns

    def _function(self, name: str) -> FunctionStats:
        f = self.functions.get(name)
        if f is None:
            f = self.functions[name] = FunctionStats(name)
        return f

    def _gap(self, start: int, end: int) -> None:
        if end <= start:
            return
        item = (end - start, -start)  # equal lengths: the earlier one is kept
        if len(self._gaps) < GAPS_KEPT:
            heapq.heappush(self._gaps, item)
        elif item > self._gaps[0]:
            heapq.heapreplace(self._gaps, item)

    def add(self, r: Record) -> None:
        self.records += 1
        t = r.time_ns
        if self.first_ns is None or t < self.first_ns:
            self.first_ns = t
        if self.last_ns is None or t > self.last_ns:
            self.last_ns = t
        if isinstance(r, Event):
            e = self.events.get(r.name)
            if e is None:
                e = self.events[r.name] = EventStats(r.name)
            e.add(t)
            if self._last_event is None:
                self._first_event = self._last_event = t
            elif t > self._last_event:
                self._gap(self._last_event, t)
                self._last_event = t
            elif self._first_event is not None and t < self._first_event:
                self._first_event = t
        elif isinstance(r, Call):
            # An open frame comes before its call's own frame, which settles it.
            self._open.pop(r.seq, None)
            f = self._function(r.function)
            f.calls += 1
            if not r.finished:
                f.unfinished += 1
            elif is_failing(r):
                f.failing += 1
            d = duration_of(r)
            if d is not None:
                f.latency.add(d)
                self.timed = True
        elif isinstance(r, Open):
            # Open calls are as many as the calls running at once: few.
            self._open[r.seq] = r
        elif not isinstance(r, Note):
            raise TypeError(f"not a record of a recording: {r!r}")

    def finish(self) -> SessionStats:
        """Counts the calls that never returned and settles the gaps. Returns self."""
        if self._finished:
            return self
        self._finished = True
        for o in self._open.values():
            f = self._function(o.function)
            f.calls += 1
            f.unfinished += 1
        self._open.clear()
        if self.first_ns is not None and self.last_ns is not None:
            if self._first_event is None or self._last_event is None:
                self._gap(self.first_ns, self.last_ns)
            else:
                self._gap(self.first_ns, self._first_event)
                self._gap(self._last_event, self.last_ns)
        self.gaps = [Gap(-start, length) for length, start in sorted(self._gaps, reverse=True)]
        return self

    def figures(self) -> Figures:
        self.finish()
        functions = sort_functions(
            FunctionFigures(f.function, f.calls, f.failing, f.unfinished, f.latency.count,
                            f.median_ns, f.p99_ns, f.max_ns) for f in self.functions.values())
        events = tuple(EventFigures(e.name, e.count, e.peak_per_second, e.peak_second)
                       for e in self.events.values())
        return Figures(self.timed, functions, events, self.first_ns, self.last_ns,
                       tuple(self.gaps))


def collect(records: Iterable[Record]) -> SessionStats:
    """The statistics of a session's records (in file order), in one pass."""
    stats = SessionStats()
    for r in records:
        stats.add(r)
    return stats.finish()


# ---- text ----


def duration(ns: int | None) -> str:
    """A duration for people: 'n/a', '850 ns', '12.3 us', '4.56 ms', '7.89 s'."""
    if ns is None:
        return "n/a"
    if ns < 1_000:
        return f"{ns} ns"
    if ns < 1_000_000:
        return f"{ns / 1e3:.3g} us"
    if ns < NS:
        return f"{ns / 1e6:.3g} ms"
    return f"{ns / 1e9:.3f} s"


def _name(name: bytes | None) -> str:
    return "NULL" if name is None else name.decode("utf-8", "backslashreplace")


def _at(ns: int, start_ns: int | None) -> str:
    shown = f"+{ns / 1e9:.3f} s"
    if start_ns is not None:
        wall = datetime.datetime.fromtimestamp((start_ns + ns) / 1e9, datetime.timezone.utc)
        shown += f" ({wall.isoformat(timespec='milliseconds')})"
    return shown


def report(stats: SessionStats | Figures, start_ns: int | None = None) -> str:
    """The statistics as text; `start_ns` (the recording's start, wall clock since the epoch)
    puts wall-clock times beside the offsets."""
    if isinstance(stats, SessionStats):
        stats = stats.figures()
    lines = ["latency     " + ("median, 99th percentile and maximum of each function's calls"
                             if stats.timed else "n/a: this recording holds no call durations")]
    lines.append(f"  {'function':<44} {'calls':>8} {'failing':>8} {'median':>10} {'p99':>10} "
                 f"{'max':>10}")
    for f in sort_functions(stats.functions):
        lines.append(f"  {f.function:<44} {f.calls:>8} {f.failing:>8} "
                     f"{duration(f.median_ns):>10} {duration(f.p99_ns):>10} "
                     f"{duration(f.max_ns):>10}")
    lines.append("event rates (peak: the most events within one second of the recording)")
    lines.append(f"  {'event':<44} {'count':>8} {'peak/s':>8}  at")
    for e in sorted(stats.events, key=lambda e: (-e.count, e.name or b"")):
        lines.append(f"  {_name(e.name):<44} {e.count:>8} {e.peak_per_second:>8}  "
                     f"{_at(e.peak_second * NS, start_ns)}")
    if stats.first_ns is not None:
        # The span as offsets: where the first and the last record fall.
        lines.append(f"records     from {_at(stats.first_ns, start_ns)} to "
                     f"{_at(stats.span_ns + stats.first_ns, start_ns)}: {duration(stats.span_ns)}")
    if stats.gaps:
        lines.append("longest times without an event")
    for g in stats.gaps:
        lines.append(f"  {duration(g.length_ns):>10} from {_at(g.start_ns, start_ns)}")
    return "\n".join(lines)
