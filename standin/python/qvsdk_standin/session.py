"""A scripted trading session for the demo: market data queued in the stand-in, and outcomes.

    import qvsdk_standin.session as session

    session.queue_session()        # ticks and bars of two instruments, then "market_close"
    session.program_outcomes()     # how the stand-in answers the orders of the session

Payloads are JSON (a real SDK sends its own serialised messages). Events, in order:

    "tick"          {"symbol", "created_at", "price", "last_volume", "cum_volume", "quotes": [
                     {"bid_p", "bid_v", "ask_p", "ask_v"}]}
    "bar"           {"symbol", "frequency", "bob", "eob", "open", "high", "low", "close",
                     "volume", "amount"}
    "market_close"  {"trading_day"}
    "tick"          ... a few after-hours ticks, which a strategy that stops at the close never
                     sees
"""

from __future__ import annotations

import datetime
import json
import random
from typing import Any

from . import queue_event, set_result, set_text

__all__ = ["SYMBOLS", "program_outcomes", "queue_session"]

SYMBOLS: tuple[str, ...] = ("SHSE.600000", "SZSE.000001")
TRADING_DAY = datetime.date(2024, 3, 15)
OPEN = datetime.datetime.combine(TRADING_DAY, datetime.time(9, 30))

# Cancelling after the close is refused by this stand-in market.
MARKET_CLOSED = 1030


def _stamp(t: datetime.datetime) -> str:
    return t.isoformat(timespec="seconds") + "+08:00"


def queue_session(minutes: int = 30, ticks_per_bar: int = 5, seed: int = 4) -> int:
    """Queues `minutes` one-minute bars per symbol, each after `ticks_per_bar` ticks, then
    "market_close" and three after-hours ticks. Returns the number of events queued."""
    if minutes < 0:
        raise ValueError(f"queue_session(): minutes must be 0 or more, not {minutes}")
    if ticks_per_bar < 1:  # a bar is made of its ticks
        raise ValueError(f"queue_session(): ticks_per_bar must be 1 or more, not {ticks_per_bar}")
    rng = random.Random(seed)
    price: dict[str, float] = {"SHSE.600000": 10.0, "SZSE.000001": 12.5}
    volume: dict[str, int] = dict.fromkeys(SYMBOLS, 0)
    count = 0

    def send(event: str, payload: dict[str, Any]) -> None:
        nonlocal count
        queue_event(event, json.dumps(payload).encode())
        count += 1

    def tick(symbol: str, at: datetime.datetime) -> tuple[float, int]:
        p = price[symbol] = round(max(0.01, price[symbol] * (1 + rng.gauss(0, 0.002))), 2)
        last = rng.randrange(100, 5000, 100)
        volume[symbol] += last
        send("tick", {
            "symbol": symbol, "created_at": _stamp(at), "price": p, "last_volume": last,
            "cum_volume": volume[symbol],
            "quotes": [{"bid_p": round(p - 0.01, 2), "bid_v": rng.randrange(100, 9000, 100),
                        "ask_p": round(p + 0.01, 2), "ask_v": rng.randrange(100, 9000, 100)}],
        })
        return p, last

    for minute in range(minutes):
        bob = OPEN + datetime.timedelta(minutes=minute)
        for symbol in SYMBOLS:
            trades = [tick(symbol, bob + datetime.timedelta(seconds=10 * (i + 1)))
                      for i in range(ticks_per_bar)]
            prices = [p for p, _ in trades]
            send("bar", {
                "symbol": symbol, "frequency": "60s", "bob": _stamp(bob),
                "eob": _stamp(bob + datetime.timedelta(minutes=1)), "open": prices[0],
                "high": max(prices), "low": min(prices), "close": prices[-1],
                "volume": sum(v for _, v in trades),
                "amount": round(sum(p * v for p, v in trades), 2),
            })
    send("market_close", {"trading_day": TRADING_DAY.isoformat()})
    for i in range(3):
        tick(SYMBOLS[0], datetime.datetime.combine(TRADING_DAY, datetime.time(15, 5, i)))
    return count


def program_outcomes() -> None:
    """Orders are accepted and cancelled; cancelling everything after the close is refused."""
    set_result("qvi_cancel_all_orders_pb", MARKET_CLOSED)
    set_text("qvi_strerror", b"market closed, request refused")
