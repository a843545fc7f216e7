"""A sample strategy: a moving-average crossover on one-minute bars.

Run it with `scripts/demo`. It drives c_sdk the way a strategy package does, here against the
stand-in SDK, which plays a scripted session (ticks and bars of two instruments, then the
close), or, with `--replay FILE`, answers only from a recording of a session (made with
`scripts/demo --record FILE`, the recorder standing in front of the SDK), or, with `--market
FILE`, plays the recorded market to the strategy as changed by `--threshold` and `--volume`,
with the second order refused, and prints what it did differently (docs/market-replay.md):

  1. configure the SDK and register the callable that receives every event;
  2. subscribe, then run: inside py_qvi_run the SDK calls on_event once per event, on this
     thread, and on_event may call any c_sdk function; Ctrl-C stops the run;
  3. on each bar, buy when the fast average crosses above the slow one and sell when it crosses
     below; cancel orders that stay open too long; at the close, query the orders, cancel
     whatever is left and stop the run;
  4. print a summary.

Every SDK failure comes back as a status, never as an exception: c_status_fail(status, name)
tells whether a status is a failure and logs the SDK's text for it through qvsdklogger.
"""

import argparse
import difflib
import json
import logging
import signal
import sys
import time
from collections import Counter, defaultdict, deque
from typing import Any

import c_sdk
import qvsdk_standin as sdk
import qvsdk_standin.session as session
from qvsdk_standin import recording


FAST, SLOW = 3, 8  # moving-average windows, in bars
MAX_AGE = 30  # ticks an order may stay open before we cancel it
VOLUME = 100  # shares per order
THRESHOLD = 0.0  # how far (a fraction of the slow average) the fast one must cross it
ORDER_REFUSED = 1016  # what the market replay programs for the refused order
ORDER_FUNCTIONS = ("qvi_place_order_pb", "qvi_cancel_orders_pb", "qvi_cancel_all_orders_pb",
                   "qvi_get_orders_pb")


class Strategy:
    def __init__(self, threshold: float = THRESHOLD, volume: int = VOLUME) -> None:
        self.threshold, self.volume = threshold, volume
        # symbol -> last closes
        self.closes: defaultdict[Any, deque[float]] = defaultdict(lambda: deque(maxlen=SLOW))
        self.trend: dict[Any, int] = {}  # symbol -> +1 (fast above slow) or -1
        self.open_orders: dict[str, int] = {}  # client order id -> ticks seen since placed
        self.events: Counter[str] = Counter()
        self.orders: Counter[str] = Counter()
        self.statuses: Counter[tuple[str, int]] = Counter()  # (SDK function, status) -> how often

    # The one callable registered with the SDK: every event arrives here as (text, bytes).
    def on_event(self, event: str, data: bytes) -> None:
        self.events[event] += 1
        # The record classes give a payload's fields as attributes and as items.
        if event == "tick":
            self.on_tick(c_sdk.TickLikeDict2(json.loads(data)))
        elif event == "bar":
            self.on_bar(c_sdk.BarLikeDict2(json.loads(data)))
        elif event == "market_close":
            self.on_close()

    def on_tick(self, tick: c_sdk.TickLikeDict2) -> None:
        for order_id in list(self.open_orders):
            self.open_orders[order_id] += 1
            if self.open_orders[order_id] > MAX_AGE:
                request = json.dumps({"cl_ord_id": order_id}).encode()
                if self.ok(c_sdk.py_qvi_cancel_order(request), "qvi_cancel_orders_pb"):
                    del self.open_orders[order_id]
                    self.orders["cancelled"] += 1

    def on_bar(self, bar: c_sdk.BarLikeDict2) -> None:
        closes = self.closes[bar.symbol]
        closes.append(bar.close)
        if len(closes) < SLOW:
            return
        fast = sum(list(closes)[-FAST:]) / FAST
        slow = sum(closes) / SLOW
        trend = 1 if fast > slow else -1
        previous = self.trend.get(bar.symbol)
        if previous is not None and trend != previous and abs(fast - slow) < slow * self.threshold:
            return  # within the threshold: not a crossing yet
        self.trend[bar.symbol] = trend
        if previous is not None and trend != previous:
            self.place(bar.symbol, "buy" if trend > 0 else "sell", bar.close)

    def place(self, symbol: str, side: str, price: float) -> None:
        order_id = f"demo-{self.orders['placed'] + 1}"
        request = json.dumps({"cl_ord_id": order_id, "symbol": symbol, "side": side,
                              "volume": self.volume, "price": price, "order_type": "limit"}).encode()
        status, _response = c_sdk.py_qvi_place_order(request)
        if self.ok(status, "qvi_place_order_pb"):
            self.open_orders[order_id] = 0
            self.orders["placed"] += 1

    def on_close(self) -> None:
        status, response = c_sdk.py_qvi_get_orders(b'{"trading_day": "today"}')
        if self.ok(status, "qvi_get_orders_pb"):
            self.orders["queried"] += 1
        # Refused by the stand-in market after the close: c_status_fail logs the SDK's text.
        if self.ok(c_sdk.py_qvi_cancel_all_orders(b"{}"), "qvi_cancel_all_orders_pb"):
            self.open_orders.clear()
        c_sdk.py_qvi_stop()  # py_qvi_run returns once this event is handled

    def ok(self, status: int, function: str) -> bool:
        self.statuses[function, status] += 1
        return not c_sdk.c_status_fail(status, function)


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description="A moving-average crossover strategy.")
    source = parser.add_mutually_exclusive_group()
    source.add_argument("--replay", metavar="FILE",
                        help="answer from this recording instead of the scripted session")
    source.add_argument("--market", metavar="FILE",
                        help="play the market recorded in FILE, the second order refused")
    parser.add_argument("--threshold", type=float, default=THRESHOLD,
                        help=f"fraction by which the averages must cross (default {THRESHOLD})")
    parser.add_argument("--volume", type=int, default=VOLUME,
                        help=f"shares per order (default {VOLUME})")
    args = parser.parse_args(argv)
    # c_status_fail writes its lines at debug level through the host package's logger.
    logging.basicConfig(stream=sys.stdout, format="  %(levelname)s %(name)s: %(message)s")
    logging.getLogger("qvsdk").setLevel(logging.DEBUG)

    # The stand-in SDK plays a scripted session, or replays a recorded one; a real SDK connects
    # to its servers instead.
    sdk.reset()
    sdk.journal_enabled(False)
    strategy = Strategy(args.threshold, args.volume)
    if args.replay:
        with sdk.replay(args.replay):
            trade(strategy, f"replaying {args.replay}")
    elif args.market:
        market(strategy, args.market)
    else:
        queued = session.queue_session()
        session.program_outcomes()
        trade(strategy, f"a scripted session of {queued} events")


def market(strategy: Strategy, path: str) -> None:
    """The recorded market against this strategy, its second order refused; then what it did
    differently, from the journal."""
    sdk.journal_enabled(True)
    session.program_outcomes()  # what the recording cannot answer is answered as scripted
    sdk.set_result("qvi_place_order_pb", [0, ORDER_REFUSED, 0])
    sdk.set_text("qvi_strerror", lambda errorno: b"order refused: not enough cash"
                 if errorno == ORDER_REFUSED else b"market closed, request refused")
    with sdk.market(path) as m:
        trade(strategy, f"the market recorded in {path} ({m.events} events), threshold "
              f"{strategy.threshold}, {strategy.volume} shares per order, the second order "
              "refused")
    calls = m.calls()
    print(f"journal          {len(calls)} calls: {sum(c.recorded for c in calls)} answered from "
          f"the recording, {sum(not c.recorded for c in calls)} by the programmed outcomes; "
          f"{m.unused} recorded answers not asked for")
    for line in differences(recording.read(path).calls(), m.calls(ORDER_FUNCTIONS)):
        print(line)


def differences(recorded: list[recording.Call], replayed: list[sdk.MarketCall]) -> list[str]:
    """The order calls of the recording against those of the replay: what the changed strategy
    asked that the recorded one did not (+), and the reverse (-)."""
    def request(args: tuple[object, ...]) -> bytes:
        return args[0] if args and isinstance(args[0], bytes) else b""

    before = [(c.function, request(c.args)) for c in recorded if c.function in ORDER_FUNCTIONS]
    after = [(c.name, request(c.args)) for c in replayed]
    answers = {i: c.recorded for i, c in enumerate(replayed)}
    lines = []
    matcher = difflib.SequenceMatcher(None, before, after, autojunk=False)
    for tag, i1, i2, j1, j2 in matcher.get_opcodes():
        if tag == "equal":
            continue
        lines += [f"  - {name} {request.decode()}" for name, request in before[i1:i2]]
        lines += [f"  + {name} {request.decode()}"
                  + ("" if answers[j] else " (programmed)")
                  for j, (name, request) in zip(range(j1, j2), after[j1:j2])]
    kept = sum(size for _, _, size in matcher.get_matching_blocks())
    return [f"order calls      {len(before)} recorded, {len(after)} in this replay, {kept} the "
            f"same; - recorded only, + this replay only:"] + lines


def trade(strategy: Strategy, source: str) -> None:
    # 1. configure and register
    c_sdk.py_qvi_set_token("demo-token")
    c_sdk.qvi_set_mode(1)
    c_sdk.py_qvi_set_data_callback(strategy.on_event)

    # 2. subscribe and run: events are handled inside this call until on_close stops it
    c_sdk.py_qvi_subscribe(",".join(session.SYMBOLS), "tick,60s", False)
    print(f"moving-average crossover on {', '.join(session.SYMBOLS)}, against the stand-in SDK: "
          f"{source}")
    # Ctrl-C: a KeyboardInterrupt raised inside an event is reported and cleared like any
    # exception of on_event, and the run would go on. Ask the SDK to stop instead; that takes
    # effect at the next event, when Python runs this handler.
    previous = signal.signal(signal.SIGINT, lambda signum, frame: c_sdk.py_qvi_stop())
    start = time.perf_counter()
    try:
        code = c_sdk.py_qvi_run()
    finally:
        signal.signal(signal.SIGINT, previous)
    elapsed = time.perf_counter() - start

    # 4. summary
    handled = sum(strategy.events.values())
    print(f"run returned {code}, stop error code {c_sdk.py_qvi_get_stop_error_code()}")
    print(f"events handled   {handled}: "
          + ", ".join(f"{n} {name}" for name, n in strategy.events.items()))
    print(f"orders           placed {strategy.orders['placed']}, "
          f"cancelled {strategy.orders['cancelled']}, queried {strategy.orders['queried']} time(s), "
          f"{len(strategy.open_orders)} still open at the close")
    print("statuses         " + ", ".join(
        f"{function} -> {status} ({n}x)" for (function, status), n in strategy.statuses.items()))
    print(f"time per event   {elapsed / max(handled, 1) * 1e6:.1f} us, strategy included "
          f"({elapsed * 1e3:.1f} ms in all)")


if __name__ == "__main__":
    main()
