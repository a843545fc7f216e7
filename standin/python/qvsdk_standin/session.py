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

import ctypes
import datetime
import json
import random

from . import LIBRARY, queue_event, set_result, set_text

__all__ = ["SYMBOLS", "interim_functions", "program_outcomes", "queue_session"]

SYMBOLS = ("SHSE.600000", "SZSE.000001")
TRADING_DAY = datetime.date(2024, 3, 15)
OPEN = datetime.datetime.combine(TRADING_DAY, datetime.time(9, 30))

# Cancelling after the close is refused by this stand-in market.
MARKET_CLOSED = 1030


def _stamp(t: datetime.datetime) -> str:
    return t.isoformat(timespec="seconds") + "+08:00"


def queue_session(minutes: int = 30, ticks_per_bar: int = 5, seed: int = 4) -> int:
    """Queues `minutes` one-minute bars per symbol, each after `ticks_per_bar` ticks, then
    "market_close" and three after-hours ticks. Returns the number of events queued."""
    rng = random.Random(seed)
    price = {"SHSE.600000": 10.0, "SZSE.000001": 12.5}
    volume = dict.fromkeys(SYMBOLS, 0)
    count = 0

    def send(event, payload):
        nonlocal count
        queue_event(event, json.dumps(payload).encode())
        count += 1

    def tick(symbol, at):
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


def interim_functions() -> dict:
    """Interim, for the demo until c_sdk has its subscription and request/response wrappers:
    stand-ins for py_qvi_subscribe, py_qvi_place_order, py_qvi_get_orders, py_qvi_cancel_order
    and py_qvi_cancel_all_orders that call the stand-in SDK directly and answer as those
    wrappers will. Remove once c_sdk has them."""
    import c_sdk

    lib = ctypes.PyDLL(LIBRARY)
    out_res, out_len = ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_int)

    def text(value):
        return value.encode("ascii") if isinstance(value, str) else bytes(value)

    def declare(name, *argtypes):
        fn = getattr(lib, name)
        fn.restype, fn.argtypes = ctypes.c_int, argtypes
        return fn

    def exchange(name):  # int f(req, req_len, &res, &res_len) -> (status, payload or None)
        fn = declare(name, ctypes.c_char_p, ctypes.c_int, out_res, out_len)

        def call(req):
            res, res_len = ctypes.c_void_p(), ctypes.c_int()
            status = fn(text(req), len(req), ctypes.byref(res), ctypes.byref(res_len))
            if not c_sdk.c_status_ok(status):
                return status, None
            return status, ctypes.string_at(res.value, res_len.value) if res_len.value else b""

        return call

    def command(name):  # int f(req, req_len) -> status
        fn = declare(name, ctypes.c_char_p, ctypes.c_int)
        return lambda req: fn(text(req), len(req))

    subscribe = declare("qvi_subscribe", ctypes.c_char_p, ctypes.c_char_p, ctypes.c_bool)
    return {
        "py_qvi_subscribe": lambda symbols, frequency, unsubscribe_previous: subscribe(
            text(symbols), text(frequency), bool(unsubscribe_previous)),
        "py_qvi_place_order": exchange("qvi_place_order_pb"),
        "py_qvi_get_orders": exchange("qvi_get_orders_pb"),
        "py_qvi_cancel_order": command("qvi_cancel_orders_pb"),
        "py_qvi_cancel_all_orders": command("qvi_cancel_all_orders_pb"),
    }
