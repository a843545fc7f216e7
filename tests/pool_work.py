"""The work of a multiprocessing pool's worker in the recorder's tests: SDK calls."""


def work(_item):
    import c_sdk

    for _ in range(3000):
        c_sdk.py_qvi_get_orders(b"w")
    return 3000
