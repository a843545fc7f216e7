"""A session that reaches every kind of SDK function, for the recorder's tests: programmed in the
stand-in and recorded through the recorder in a subprocess, then replayed in the test's own
process, where the same driver must see the same results.

    python tests/recorded_session.py     (with the recorder in front: prints what drive() saw)
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "standin", "host"))

import c_sdk  # noqa: E402
import qvsdk_standin as sdk  # noqa: E402

BIG = bytes(range(256)) * 300  # larger than the smallest buffer the recorder takes


def program():
    sdk.reset()
    sdk.set_result("qvi_cancel_all_orders_pb", 1030)
    sdk.set_response("qvi_get_positions_pb", BIG)
    sdk.set_result("qvi_get_cash_pb", 7)  # a failing status: its response is not read
    sdk.set_response("qvi_get_account_info_pb", b"acct", length=8)  # NUL-padded
    sdk.set_result("qvi_now", 2**40)
    sdk.set_result("qvi_now_plus", 1.5)
    sdk.set_text("qvi_get_ext_errormsg", None)
    sdk.queue_event("tick", b"t1")
    sdk.queue_event("bar", b"\0b2")
    sdk.queue_event("tick", b"")
    sdk.deliver_in("qvi_get_orders_pb", 1)  # one event inside an exchange call, then "bar"


def drive(request=b"req\0uest", function=None):
    """Calls of every shape; events handled by a callable that calls the SDK itself. Returns
    what came back."""
    seen = []

    def on_event(event, data):
        seen.append((event, data, c_sdk.py_qvi_get_cash_pb_v2(data) if event != "bar" else None))

    out = [c_sdk.py_qvi_set_data_callback(on_event)]
    out.append((function or c_sdk.py_qvi_get_orders)(request))
    # An event from a thread of the SDK's own, outside any call: replayed by the next qvi_poll.
    sdk.deliver_from_thread(1)
    sdk.join_threads()
    out.append(c_sdk.py_qvi_get_positions(b"p"))
    out.append(c_sdk.py_qvi_get_cash(b"c"))
    out.append(c_sdk.py_qvi_cancel_all_orders(b"{}"))
    out.append(c_sdk.py_qvi_get_accounts())
    out.append(c_sdk.py_qvi_set_backtest_config("2024-01-01", "2024-02-01", 1e6, 0.25, 0, 0, 0,
                                                0, 0, 1, -2, True))
    out.append(c_sdk.py_qvi_current("A,B", b"price", True))
    out.append(c_sdk.py_qvi_algo_order_batch(b"o\0rders", "twap", "{}"))
    out.append(c_sdk.py_qvi_get_serv_addr("s1"))
    out.append(c_sdk.qvi_strerror(1030))
    out.append(c_sdk.py_qvi_get_ext_errormsg())
    out.append(c_sdk.qvi_now())
    out.append(c_sdk.qvi_now_plus())
    out.append(c_sdk.py_qvi_set_version("1.0", "python"))
    out.append(c_sdk.qvi_poll())
    return out, seen


if __name__ == "__main__":
    program()
    print(repr(drive()))
