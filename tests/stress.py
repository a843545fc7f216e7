"""A long mixed run: wrapper calls of every shape, events whose handler calls the module, reads
and writes records, raises and re-registers itself, junk arguments that fail in between, and
rebound globals. Checks every result, and that memory stays flat from the first tenth of the
run to its end.

    python tests/stress.py [operations] [--replay FILE]
                                            (scripts/stress runs it in several set-ups)

Prints one line of figures: operations, SDK calls, events, and the resident memory (current and
peak, in KiB) at the first tenth and at the end. With STRESS_DIGEST set, the stand-in's journal
is kept (emptied every thousand operations) and the line also gives the number of calls the
stand-in received and digests of them and of the events handled, to compare a recording or a
replay of the run with it (tests/recorded_stress.py). With --replay FILE no events are queued:
the stand-in answers from the recording FILE.
"""

import contextlib
import hashlib
import io
import os
import resource
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(os.path.dirname(HERE), "standin", "host")]

import c_sdk  # noqa: E402
import qvsdk_standin as sdk  # noqa: E402

from hostile import JUNK  # noqa: E402


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def peak_kib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


class Counter:
    calls = 0
    events = 0
    errors = 0


class Digest:
    """The calls the stand-in received (from its journal) and the events handled, in order."""

    def __init__(self):
        self.calls = hashlib.sha256()
        self.events = hashlib.sha256()
        self.count = 0

    def journal(self):
        for call in sdk.calls():
            self.calls.update(repr(call_key(call.name, call.args)).encode())
            self.count += 1
        sdk.clear_journal()


def call_key(name, args):
    """A call as digested: the callback by whether it is set, as a recording keeps it."""
    if name == "qvi_set_event_callback_pb":
        args = tuple(bool(a) for a in args)
    return name, tuple(bytes(a) if isinstance(a, bytes) else a for a in args)


def run(total, replaying=False, digest=None):
    n = Counter()
    tick = c_sdk.TickLikeDict2({"price": 1.5, "symbol": "SHSE.600000"})
    bar = c_sdk.BarLikeDict2({"close": 2.0})
    # Large junk would fill the stand-in's ring of default answers (64 slots) and hide the
    # measurement under its growth; the sweep covers it.
    junk = [v for _, v in JUNK if not (isinstance(v, (bytes, bytearray)) and len(v) > 1000)]
    lines = []

    class Logger:
        def debug(self, line):
            lines.append(line)
            del lines[:-2]

    class Handler:
        def __init__(self, k):
            self.k = k

        def on_event(self, event, data):
            n.events += 1
            if digest is not None:
                digest.events.update(repr((event.encode(), data)).encode())
            if data[:1] == b"!":
                raise ValueError("handler fails now and then")
            status, payload = c_sdk.py_qvi_get_cash(data)
            n.calls += 1
            assert payload == b"qvi_get_cash_pb:" + data
            tick["last"] = data
            assert tick.price == 1.5 and bar.close == 2.0
            if n.events % 97 == 0:  # re-registered mid-run, by itself
                c_sdk.py_qvi_set_data_callback(Handler(self.k + 1).on_event)
                n.calls += 1

    reported = []
    sys.unraisablehook = lambda args: reported.append(args.exc_type)
    sys.stderr = io.StringIO()
    c_sdk.qvsdklogger = Logger()
    c_sdk.py_qvi_set_data_callback(Handler(0).on_event)
    sdk.journal_enabled(digest is not None)
    request = bytearray(b"req\0")
    first_tenth = None

    for i in range(total):
        k = i % 16
        if k == 0:
            for j in range(3 if not replaying else 0):
                sdk.queue_event(f"tick{j}", (b"!" if i % 160 == 0 else b"") + b"%d" % i)
            n.calls += 1
            assert c_sdk.qvi_poll() == 0
        elif k == 1:
            request[-1] = i % 256
            n.calls += 1
            assert c_sdk.py_qvi_get_orders(request) == (0, b"qvi_get_orders_pb:" + request)
        elif k == 2:
            n.calls += 1
            assert c_sdk.py_qvi_get_cash("acct") == (0, b"qvi_get_cash_pb:acct")
        elif k == 3:
            n.calls += 1
            assert c_sdk.py_qvi_cancel_order(b"o") == 0
        elif k == 4:
            n.calls += 1
            assert c_sdk.py_qvi_get_accounts()[0] == 0
        elif k == 5:
            n.calls += 1
            c_sdk.py_qvi_set_backtest_config("2024-01-01", b"2024-02-01", 1e6, 0, 0, 0, 0, 0,
                                             0, 1, 2, True)
        elif k == 6:
            n.calls += 1
            assert c_sdk.py_qvi_current("SHSE.600000", b"price", i % 2)[0] == 0
        elif k == 7:  # junk in between: refused before the SDK
            value = junk[i % len(junk)]
            try:
                c_sdk.py_qvi_set_timer(value)
                n.calls += 1
            except Exception:  # noqa: BLE001
                n.errors += 1
        elif k == 8:
            try:
                c_sdk.py_qvi_get_orders(junk[(i // 16) % len(junk)])
                n.calls += 1
            except Exception:  # noqa: BLE001
                n.errors += 1
        elif k == 9:
            n.calls += 1
            assert c_sdk.c_status_fail(3, "qvi_get_orders_pb") is True
        elif k == 10:
            record = c_sdk.ObjectLikeDict2({"a": i})
            record.b = record.a
            assert record["b"] == i and str(record) == repr(record.data)
        elif k == 11:  # the success value rebound and restored
            c_sdk.CSDK_OPERATE_SUCCESS = 1
            assert c_sdk.py_qvi_get_orders(b"x") == (0, None)
            c_sdk.CSDK_OPERATE_SUCCESS = 0
            n.calls += 1
        elif k == 12:
            n.calls += 1
            assert c_sdk.qvi_strerror(i) == b"qvi_strerror:%d" % i
        elif k == 13:
            try:
                tick.__class__.price.fset(tick, bar)
                tick.price = 1.5
                "close" in c_sdk.BarLikeDict2(None)
            except TypeError:
                n.errors += 1
        elif k == 14:
            wrapped = c_sdk.adapt_to_python3(c_sdk.py_qvi_schedule)
            n.calls += 1
            assert wrapped("1d", "09:30") == 0
        else:
            try:
                c_sdk.py_qvi_smart_reorder("A", 1.0, 1, 1, 1, 1, 1, 1, 1, 1, "é")
            except UnicodeEncodeError:
                n.errors += 1
        if digest is not None and i % 1000 == 999:
            digest.journal()
        if i == total // 10:
            first_tenth = (rss_kib(), peak_kib())
        if len(reported) > 100:
            assert set(reported) == {ValueError}
            del reported[:]
            sys.stderr = io.StringIO()

    if digest is not None:
        digest.journal()
    end = (rss_kib(), peak_kib())
    sys.stderr = sys.__stderr__
    return n, first_tenth, end


def main():
    args = sys.argv[1:]
    replay = None
    if "--replay" in args:
        at = args.index("--replay")
        replay = args[at + 1]
        del args[at:at + 2]
    total = int(args[0]) if args else 1_000_000
    digest = Digest() if os.environ.get("STRESS_DIGEST") else None
    try:
        with sdk.replay(replay) if replay else contextlib.nullcontext():
            n, tenth, end = run(total, replay is not None, digest)
    finally:
        sys.stderr = sys.__stderr__
    extra = ""
    if digest is not None:
        extra = (f" journal_calls={digest.count} calls_digest={digest.calls.hexdigest()}"
                 f" events_digest={digest.events.hexdigest()}")
    print(f"operations={total} sdk_calls={n.calls} events={n.events} refused={n.errors} "
          f"rss_kib_tenth={tenth[0]} rss_kib_end={end[0]} "
          f"peak_kib_tenth={tenth[1]} peak_kib_end={end[1]}{extra}")
    # Flat: what the run holds at its end is what it held after its first tenth, give or take
    # allocator noise (a leak of even a few bytes per operation would show as megabytes).
    limit = int(os.environ.get("STRESS_RSS_SLACK_KIB", "4096"))
    assert end[0] - tenth[0] < limit, f"resident memory grew by {end[0] - tenth[0]} KiB"


if __name__ == "__main__":
    main()
