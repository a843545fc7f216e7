"""A picture of a recorded session on one time axis: events per second by name, calls per
second by function with their failing statuses marked, and the calls' latencies.

    python -m qvsdk_standin.recording plot FILE -o session.png [--width PX --height PX]

    from qvsdk_standin import session_plot
    session_plot.plot(rec.records, "session.png", start_ns=rec.start_ns)

Drawing needs matplotlib (the `plot` extra: `pip install ".[plot]"`); reading the records into
a timeline does not. One pass, bounded memory: each series has at most BINS bins, and the bins
widen (by doubling) as the session gets longer, so a day of a session takes no more memory than
a minute of it.
"""

from __future__ import annotations

import datetime
import math
import os
import sys
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Final

from .recording import Call, Event, Record
from .session_stats import NS, SessionStats, duration, duration_of, is_failing

if TYPE_CHECKING:
    from matplotlib.axes import Axes

__all__ = ["BINS", "INSTALL", "Timeline", "command", "plot"]

BINS: Final = 600  # at most, per series
FIRST_WIDTH_NS: Final = 1_000  # bins start 1 us wide and double as needed
SHOWN: Final = 8  # series drawn one by one; the rest are drawn together as "others"
INSTALL: Final = ("the plot needs matplotlib: pip install matplotlib "
                  '(or, from the source tree, pip install ".[plot]")')


@dataclass(slots=True)
class Timeline:
    """Counts per bin of time for each event name, each function's calls and failing statuses,
    and the slowest call per bin; fed record by record.

    The bins start where the first record falls and widen (doubling, on a grid of their width)
    when a record falls past the last one; a record before the first bin (a call's frame is
    written when it returns, with the time it was made) adds bins in front."""

    width_ns: int = FIRST_WIDTH_NS
    origin_ns: int | None = None  # where bin 0 starts, since the recording's start
    used: int = 0  # bins in use: the last one holding anything, plus one
    events: dict[bytes | None, list[int]] = field(default_factory=dict)
    calls: dict[str, list[int]] = field(default_factory=dict)
    failing: dict[str, list[int]] = field(default_factory=dict)
    slowest: dict[str, list[int]] = field(default_factory=dict)  # -1: no timed call in the bin

    def _all(self) -> Iterable[tuple[list[int], int]]:
        for counts in (self.events, self.calls, self.failing):
            for series in counts.values():
                yield series, 0
        for series in self.slowest.values():
            yield series, -1

    def _bin(self, time_ns: int) -> int:
        origin = self.origin_ns
        if origin is not None and time_ns >= origin:
            i = (time_ns - origin) // self.width_ns
            if i < BINS:
                if i >= self.used:
                    self.used = i + 1
                return i
        return self._fit(time_ns)

    def _fit(self, time_ns: int) -> int:
        """The bin of a time before the first bin or past the last: bins added in front, or
        widened, until it has one."""
        if self.origin_ns is None:
            self.origin_ns = time_ns - time_ns % self.width_ns
        while True:
            w, origin = self.width_ns, self.origin_ns
            if time_ns < origin:
                k = -((time_ns - origin) // w)  # bins to add in front
                if self.used + k > BINS:
                    self._widen()
                    continue
                for series, empty in self._all():
                    series[:] = [empty] * k + series[:BINS - k]
                self.origin_ns = origin - k * w
                self.used += k
                continue
            i = (time_ns - origin) // w
            if i < BINS:
                self.used = max(self.used, i + 1)
                return i
            self._widen()

    def _widen(self) -> None:
        assert self.origin_ns is not None
        w = self.width_ns
        front = (self.origin_ns // w) % 2  # a bin in front, to start on the wider grid
        for series, empty in self._all():
            s = [empty] * front + series + [empty]
            pairs = zip(s[0::2], s[1::2])
            merged = [max(a, b) for a, b in pairs] if empty < 0 else [a + b for a, b in pairs]
            series[:] = (merged + [empty] * BINS)[:BINS]
        self.origin_ns -= front * w
        self.used = (self.used + front + 1) // 2
        self.width_ns = 2 * w

    def add(self, r: Record) -> None:
        if isinstance(r, Event):
            i = self._bin(r.time_ns)
            counts = self.events.get(r.name)
            if counts is None:
                counts = self.events[r.name] = [0] * BINS
            counts[i] += 1
        elif isinstance(r, Call):
            i = self._bin(r.time_ns)
            counts = self.calls.get(r.function)
            if counts is None:
                counts = self.calls[r.function] = [0] * BINS
            counts[i] += 1
            if is_failing(r):
                counts = self.failing.get(r.function)
                if counts is None:
                    counts = self.failing[r.function] = [0] * BINS
                counts[i] += 1
            d = duration_of(r)
            if d is not None:
                slowest = self.slowest.get(r.function)
                if slowest is None:
                    slowest = self.slowest[r.function] = [-1] * BINS
                if d > slowest[i]:
                    slowest[i] = d
        else:
            self._bin(r.time_ns)  # the axis covers the whole session, to its closing note


def _top[K](series: dict[K, list[int]], n: int) -> tuple[list[K], list[K]]:
    """The keys of the n series with the most in them (the rest, when there are more than n+1,
    are drawn together)."""
    order = sorted(series, key=lambda k: (-sum(series[k]), str(k)))
    if len(order) <= n + 1:
        return order, []
    return order[:n], order[n:]


def _plain(text: str) -> str:
    """Text that matplotlib shows as it is: a $ would start mathematics."""
    return text.replace("$", r"\$")


def _label(name: bytes | None) -> str:
    return "NULL" if name is None else _plain(name.decode("utf-8", "backslashreplace"))


def plot(records: Iterable[Record], path: str | os.PathLike[str], *, width: int = 1600,
         height: int = 1000, title: str | None = None, start_ns: int | None = None) -> SessionStats:
    """Draws the session of `records` into the PNG `path`, `width` x `height` pixels; returns the
    session's statistics, gathered in the same pass. ImportError without matplotlib."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    timeline = Timeline()
    stats = SessionStats()
    for r in records:
        stats.add(r)
        timeline.add(r)
    stats.finish()

    dpi = 100
    fig = Figure(figsize=(width / dpi, height / dpi), dpi=dpi, layout="constrained")
    FigureCanvasAgg(fig)
    ax_events, ax_calls, ax_latency = fig.subplots(3, 1, sharex=True)

    w, origin, n = timeline.width_ns, timeline.origin_ns or 0, max(timeline.used, 1)
    unit, unit_ns = _time_unit(n * w)
    axis = _Axis([(origin + i * w) / unit_ns for i in range(n + 1)],
                 [(origin + (i + 0.5) * w) / unit_ns for i in range(n)], NS / w)

    axis.rates(ax_events, timeline.events, {},
               lambda k: f"{_label(k)} ({stats.events[k].count})", "names")
    if not timeline.events:
        _note(ax_events, "no events in this recording")
    if stats.gaps and stats.gaps[0].length_ns * 20 >= n * w:
        gap = stats.gaps[0]
        ax_events.axvspan(gap.start_ns / unit_ns, (gap.start_ns + gap.length_ns) / unit_ns,
                          color="0.85", zorder=0,
                          label=f"the longest time without an event ({duration(gap.length_ns)})")
    ax_events.set_ylabel("events / s")
    ax_events.set_title("events per second, by name", loc="left", fontsize="medium")

    def call_label(name: str) -> str:
        f = stats.functions[name]
        return f"{name} ({f.calls}" + (f", {f.failing} failing)" if f.failing else ")")

    axis.rates(ax_calls, timeline.calls, timeline.failing, call_label, "functions")
    if not timeline.calls:
        _note(ax_calls, "no calls in this recording")
    ax_calls.set_ylabel("calls / s")
    ax_calls.set_title("calls per second, by SDK function (X: where a status failed)",
                       loc="left", fontsize="medium")

    ax_latency.set_title("latency: the slowest call in each interval, by SDK function",
                         loc="left", fontsize="medium")
    if stats.timed:
        timed, _ = _top({k: timeline.calls[k] for k in timeline.slowest}, SHOWN)
        lat_unit, lat_ns = _latency_unit(max(stats.functions[k].latency.max for k in timed))
        for colour, key in zip(COLOURS, timed):
            series = timeline.slowest[key]
            # NaN where no call was timed: the line breaks there rather than bridging a gap.
            ys = [max(series[i], 1) / lat_ns if series[i] >= 0 else math.nan for i in range(n)]
            f = stats.functions[key]
            ax_latency.plot(axis.centres, ys, marker="o", markersize=2.5, linewidth=0.9,
                            color=colour,
                            label=f"{key} (median {duration(f.median_ns)}, "
                                  f"p99 {duration(f.p99_ns)}, max {duration(f.max_ns)})")
        ax_latency.set_yscale("log")
        ax_latency.set_ylabel(f"latency ({lat_unit})")
    else:
        _note(ax_latency, "no call durations in this recording\n(its format does not hold them)")
        ax_latency.set_yticks([])

    for ax in (ax_events, ax_calls, ax_latency):
        ax.grid(True, alpha=0.3)
        ax.set_xlim(axis.edges[0], axis.edges[-1])
        if ax is not ax_latency:
            ax.set_ylim(bottom=0)
        if ax.get_legend_handles_labels()[0]:
            ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), frameon=False,
                      fontsize="small" if width >= 1200 else "x-small")
    ax_latency.set_xlabel(f"time since the recording started ({unit}); "
                          f"rates over intervals of {duration(w)}")
    calls = sum(f.calls for f in stats.functions.values())
    failing = sum(f.failing for f in stats.functions.values())
    count = sum(e.count for e in stats.events.values())
    heading = (f"{_plain(title or 'session')}: {duration(stats.span_ns)}, {calls} calls "
               f"({failing} failing), {count} events")
    if start_ns is not None:
        wall = datetime.datetime.fromtimestamp(start_ns / 1e9, datetime.timezone.utc)
        heading += f"\nrecording started {wall.isoformat(timespec='seconds')}"
    fig.suptitle(heading, fontsize="large")
    fig.savefig(os.fspath(path), format="png", dpi=dpi)
    return stats


# Series drawn one by one take these; the rest, drawn together, are grey.
COLOURS: Final = ("tab:blue", "tab:orange", "tab:green", "tab:red", "tab:purple", "tab:brown",
                  "tab:pink", "tab:olive", "tab:cyan")
OTHERS: Final = "0.55"
SPARSE: Final = 40  # a series in this many bins or fewer gets a dot on each, to be seen


@dataclass(frozen=True, slots=True)
class _Axis:
    edges: list[float]  # of the bins, in the axis' unit
    centres: list[float]
    per_second: float  # a count per bin times this is a rate per second

    def rates[K](self, ax: Axes, series: dict[K, list[int]], failing: dict[K, list[int]],
                 label: Callable[[K], str], what: str) -> None:
        """Per second, a step line for each of the busiest series and one for the others, and
        an X on a line where its `failing` counts are not 0."""
        n = len(self.centres)
        shown, rest = _top(series, SHOWN)
        groups = [(label(k), [k], c) for k, c in zip(shown, COLOURS)]
        if rest:
            groups.append((f"{len(rest)} other {what} ({sum(sum(series[k]) for k in rest)})",
                           rest, OTHERS))
        marked = False
        for text, keys, colour in groups:
            counts = [sum(series[k][i] for k in keys) for i in range(n)]
            values = [c * self.per_second for c in counts]
            ax.stairs(values, self.edges, label=text, color=colour, linewidth=1.5)
            busy = [i for i in range(n) if counts[i]]
            if len(busy) <= SPARSE:
                ax.scatter([self.centres[i] for i in busy], [values[i] for i in busy], s=16,
                           color=colour, zorder=4)
            fails = [i for i in range(n) if any(failing[k][i] for k in keys if k in failing)]
            if fails:
                ax.scatter([self.centres[i] for i in fails], [values[i] for i in fails],
                           marker="X", s=120, color=colour, edgecolors="black", linewidths=1.0,
                           zorder=5)
                marked = True
        if marked:
            ax.scatter([], [], marker="X", s=120, color="white", edgecolors="black",
                       label="a failing status")


def _time_unit(ns: int) -> tuple[str, int]:
    if ns < 2 * NS:
        return "ms", 1_000_000
    if ns < 300 * NS:
        return "s", NS
    if ns < 3 * 3600 * NS:
        return "min", 60 * NS
    return "h", 3600 * NS


def _note(ax: Axes, text: str) -> None:
    ax.text(0.5, 0.5, text, transform=ax.transAxes, ha="center", va="center", color="0.35",
            fontsize="medium")


def _latency_unit(most: int) -> tuple[str, int]:
    for unit, ns in (("s", NS), ("ms", 1_000_000), ("us", 1_000)):
        if most >= 10 * ns:
            return unit, ns
    return "ns", 1


def command(path: str, output: str, width: int, height: int) -> int:
    """`python -m qvsdk_standin.recording plot`: 0 when drawn, 1 when the file cannot be read,
    2 without matplotlib."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        print(INSTALL, file=sys.stderr)
        return 2
    from .recording import RecordingError, read

    try:
        rec = read(path)
    except (OSError, RecordingError) as e:
        print(e, file=sys.stderr)
        return 1
    title = os.path.basename(path)
    if rec.damage is not None:
        title += f" (damaged from byte {rec.damage.offset}: {rec.damage.reason})"
    try:
        plot(rec.records, output, width=width, height=height, title=title,
             start_ns=rec.start_ns)
    except OSError as e:
        print(f"cannot write {output}: {e}", file=sys.stderr)
        return 1
    return 0
