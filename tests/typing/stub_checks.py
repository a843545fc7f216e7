"""What type checkers see of c_sdk through its stubs: checked by mypy and pyright in
scripts/test, never run. Each assert_type fails when the stubs are not found (the names are
then unknown), and each ignore comment must silence an error, or the unused ignore fails."""

from collections.abc import Callable
from typing import Any, assert_type

import c_sdk

# The request/response family: exchange, command and fetch calls.
assert_type(c_sdk.py_qvi_get_orders(b"{}"), tuple[int, bytes | None])
assert_type(c_sdk.py_qvi_get_orders("{}"), tuple[int, bytes | None])  # adapted: str too
assert_type(c_sdk.py_qvi_get_cash_pb_v2(bytearray(b"{}")), tuple[int, bytes | None])
c_sdk.py_qvi_get_cash_pb_v2("{}")  # type: ignore[arg-type]  # not adapted: bytes only
assert_type(c_sdk.py_qvi_cancel_order(req=b"{}"), int)
assert_type(c_sdk.py_qvi_get_accounts(), tuple[int, bytes | None])
c_sdk.py_qvi_get_accounts(b"")  # type: ignore[call-arg]

# Wrappers taking individual values.
assert_type(c_sdk.py_qvi_get_serv_addr("trade"), bytes | None)
assert_type(c_sdk.py_qvi_smart_reorder("A", 9.5, 100, 1, 1, 1, 3, 1, 10, 2, "acct"), int)
assert_type(c_sdk.py_qvi_current(symbols="A", fields="price", include_call_auction=None),
            tuple[int, bytes | None])
assert_type(c_sdk.py_qvi_set_backtest_threadnum(4), None)
c_sdk.py_qvi_set_timer("1s")  # type: ignore[arg-type]  # a C int
assert_type(c_sdk.py_qvi_strerror(1), bytes)

# The event bridge and the helpers.
def on_event(event: str, data: bytes) -> None: ...
def on_text_only(event: str) -> None: ...
c_sdk.py_qvi_set_data_callback(on_event)
c_sdk.py_qvi_set_data_callback(on_text_only)  # type: ignore[arg-type]
assert_type(c_sdk.c_status_fail(1, "qvi_get_orders_pb"), bool)
assert_type(c_sdk.adapt_to_python3(len), Callable[..., int])

# The SDK functions under their own names.
assert_type(c_sdk.qvi_now(), int)
assert_type(c_sdk.qvi_now_plus(), float)
assert_type(c_sdk.qvi_get_c_version(), bytes)
c_sdk.qvi_set_bus_info("a", "b", "c")  # type: ignore[arg-type]  # bytes only

# The record classes.
bar = c_sdk.BarLikeDict2({"close": 10.5})
assert_type(bar.close, Any)
assert_type("close" in bar, bool)
bar.close = 11.0
quote = c_sdk.QuoteItemLikeDict2({})
assert_type(quote.bid_p, Any)
quote.bid_p = 1.0  # type: ignore[misc]  # a read-only property (stored all the same at run time)
assert_type(c_sdk.TickLikeDict2({}).anything_else, Any)
assert_type(c_sdk.IS_PY2, bool)
