"""Record reads and writes: the native classes against a plain dict and plain-Python classes.

    .venv/bin/python bench/records.py

Ratios are to `d["name"]` on a plain dict, measured in the same run.
"""

import os
import sys

from harness import ROOT, per_call, table

sys.path.insert(0, os.path.join(ROOT, "tests"))

import c_sdk  # noqa: E402
import reference_records as plain  # noqa: E402


def cases(module, label):
    d = {"price": 1.5, "symbol": "SHSE.600000", "other": 7}
    tick = module.TickLikeDict2(dict(d))
    bar = module.BarLikeDict2({"close": 2.5})
    obj = module.ObjectLikeDict2(dict(d))
    rows = [
        (f"{label} tick.price (property)", lambda: tick.price),
        (f"{label} obj.price (fallback, hit)", lambda: obj.price),
        (f"{label} tick.other (fallback, hit)", lambda: tick.other),
        (f"{label} tick.missing (fallback, miss)", lambda: tick.missing),
        (f"{label} tick['price'] (item)", lambda: tick["price"]),
        (f"{label} 'close' in bar", lambda: "close" in bar),
    ]
    writes = [
        (f"{label} tick.price = v", lambda: setattr(tick, "price", 1.0)),
        (f"{label} tick['price'] = v", lambda: tick.__setitem__("price", 1.0)),
        (f"{label} TickLikeDict2(d)", lambda: module.TickLikeDict2(d)),
    ]
    return rows, writes


def main():
    d = {"price": 1.5}
    # Statement strings, so that the attribute read itself is what is timed.
    env = {"d": d}
    for label, module in (("native", c_sdk), ("python", plain)):
        env[f"{label}_tick"] = module.TickLikeDict2({"price": 1.5, "other": 7})
        env[f"{label}_obj"] = module.ObjectLikeDict2({"price": 1.5})
        env[f"{label}_bar"] = module.BarLikeDict2({"close": 2.5})
        env[f"{label}_cls"] = module.TickLikeDict2
    import timeit
    import statistics

    def t(stmt):
        timer = timeit.Timer(stmt, globals=env)
        n, _ = timer.autorange()
        for _ in range(3):
            timer.timeit(n)
        return statistics.median(timer.repeat(21, n)) / n

    reads = [('d["price"]', 'd["price"]'), ('d.get("price")', 'd.get("price")')]
    writes = [('d["price"] = v', 'd["price"] = 1.0')]
    for label in ("native", "python"):
        reads += [
            (f"{label} tick.price (property)", f"{label}_tick.price"),
            (f"{label} obj.price (fallback hit)", f"{label}_obj.price"),
            (f"{label} tick.other (fallback hit)", f"{label}_tick.other"),
            (f"{label} tick.missing (fallback miss)", f"{label}_tick.missing"),
            (f"{label} tick['price'] (item)", f"{label}_tick['price']"),
            (f"{label} 'close' in bar", f"'close' in {label}_bar"),
        ]
        writes += [
            (f"{label} tick.price = v", f"{label}_tick.price = 1.0"),
            (f"{label} tick.other = v", f"{label}_tick.other = 1.0"),
            (f"{label} tick['price'] = v", f"{label}_tick['price'] = 1.0"),
            (f"{label} TickLikeDict2(d)", f"{label}_cls(d)"),
        ]
    table("reads", [(name, t(stmt)) for name, stmt in reads], 'd["price"]')
    table("writes", [(name, t(stmt)) for name, stmt in writes], 'd["price"] = v')


if __name__ == "__main__":
    main()
