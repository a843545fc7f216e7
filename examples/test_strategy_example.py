import json

import c_sdk
import qvsdk_standin as sdk


class BuyTwice:
    """Buys on every tick until two orders are accepted, then stops the run."""

    def __init__(self) -> None:
        self.accepted = 0

    def on_event(self, event: str, data: bytes) -> None:
        if event != "tick":
            return
        tick = c_sdk.TickLikeDict2(json.loads(data))
        request = json.dumps({"symbol": tick.symbol, "price": tick.price, "volume": 100})
        status, _response = c_sdk.py_qvi_place_order(request)
        if c_sdk.c_status_fail(status, "qvi_place_order_pb"):  # logs the SDK's text
            return
        self.accepted += 1
        if self.accepted == 2:
            c_sdk.py_qvi_stop()


def test_buys_until_two_orders_are_accepted(standin: sdk.Harness) -> None:
    standin.expect_stop = True  # fail unless the strategy stops the run itself
    for price in (10.0, 10.1, 10.2, 10.3):
        tick = {"symbol": "SHSE.600000", "price": price}
        sdk.queue_event("tick", json.dumps(tick).encode())
    sdk.set_result("py_qvi_place_order", [0, 1030, 0])  # accept, refuse, accept

    strategy = BuyTwice()
    c_sdk.py_qvi_set_data_callback(strategy.on_event)
    assert c_sdk.py_qvi_run() == 0

    prices = [json.loads(r)["price"] for r in sdk.requests("py_qvi_place_order")]
    assert prices == [10.0, 10.1, 10.2]  # the refused order was not placed again
    assert sdk.queued_events() == 1  # stopped before the last tick
    assert [c.name for c in sdk.calls()] == [
        "qvi_set_event_callback_pb", "qvi_run",
        "qvi_place_order_pb", "qvi_place_order_pb", "qvi_strerror",  # from c_status_fail
        "qvi_place_order_pb", "qvi_stop",
    ]
