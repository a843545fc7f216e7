"""The four record classes written in plain Python, as a reference for the native ones.

Tests compare the native classes' behaviour with these; the benchmarks time them side by side.
(Iterating one of these, or reading a fallen-through attribute of one whose `data` is empty,
never ends: the native classes refuse both instead.)
"""


def _field(cls_name, name, writable):
    def getter(self):
        return self.data.get(name)

    def setter(self, value):
        self.data[name] = value

    getter.__name__ = setter.__name__ = name
    getter.__qualname__ = setter.__qualname__ = f"{cls_name}.{name}"
    return property(getter, setter if writable else None)


def _methods(cls_name, with_contains=False):
    def __init__(self, data):
        self.data = data

    def __getitem__(self, item):
        return self.data.get(item)

    def __setitem__(self, item, value):
        self.data[item] = value

    def __contains__(self, key):
        return key in self.data

    def __getattr__(self, item):
        return self.data.get(item)

    def __setattr__(self, item, value):
        if item != "data":
            self.data[item] = value
        else:
            super(ns_class[0], self).__setattr__(item, value)

    def __str__(self):
        return self.data.__str__()

    def __repr__(self):
        return self.data.__repr__()

    ns_class = []
    methods = dict(__init__=__init__, __getitem__=__getitem__, __setitem__=__setitem__)
    if with_contains:
        methods["__contains__"] = __contains__
    methods.update(__getattr__=__getattr__, __setattr__=__setattr__, __str__=__str__,
                   __repr__=__repr__)
    for name, fn in methods.items():
        fn.__qualname__ = f"{cls_name}.{name}"
    return methods, ns_class


def _record_class(name, fields=(), writable=False, with_contains=False, generic_order=False):
    methods, holder = _methods(name, with_contains)
    if generic_order:  # ObjectLikeDict2 defines __getattr__ before __setitem__
        order = ["__init__", "__getitem__", "__getattr__", "__setitem__", "__setattr__",
                 "__str__", "__repr__"]
        methods = {k: methods[k] for k in order}
    ns = {"__module__": "c_sdk", "__qualname__": name, "__slots__": ["data"], **methods}
    for field in fields:
        ns[field] = _field(name, field, writable)
    cls = type(name, (object,), ns)
    holder.append(cls)
    return cls


QuoteItemLikeDict2 = _record_class("QuoteItemLikeDict2", ["bid_p", "bid_v", "ask_p", "ask_v"])
TickLikeDict2 = _record_class(
    "TickLikeDict2",
    ["quotes", "symbol", "created_at", "price", "open", "high", "low", "cum_volume", "cum_amount",
     "cum_position", "last_amount", "last_volume", "trade_type", "receive_local_time"],
    writable=True,
)
BarLikeDict2 = _record_class(
    "BarLikeDict2",
    ["symbol", "eob", "bob", "open", "close", "high", "low", "volume", "amount", "pre_close",
     "position", "frequency", "receive_local_time"],
    writable=True,
    with_contains=True,
)
ObjectLikeDict2 = _record_class("ObjectLikeDict2", generic_order=True)
