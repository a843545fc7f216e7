"""The record classes, compared operation by operation with plain-Python equivalents."""

import copy
import inspect
import os

import c_sdk
import pytest

import reference_records as ref
from conftest import run_python
from leakcheck import assert_no_leak

NAMES = ["QuoteItemLikeDict2", "TickLikeDict2", "BarLikeDict2", "ObjectLikeDict2"]
FIELDS = {
    "QuoteItemLikeDict2": ["bid_p", "bid_v", "ask_p", "ask_v"],
    "TickLikeDict2": ["quotes", "symbol", "created_at", "price", "open", "high", "low",
                      "cum_volume", "cum_amount", "cum_position", "last_amount", "last_volume",
                      "trade_type", "receive_local_time"],
    "BarLikeDict2": ["symbol", "eob", "bob", "open", "close", "high", "low", "volume", "amount",
                     "pre_close", "position", "frequency", "receive_local_time"],
    "ObjectLikeDict2": [],
}


def outcome(fn, *args):
    try:
        return ("ok", fn(*args))
    except Exception as e:  # the type and text are what is compared
        return ("raised", type(e), str(e))


class Mapping:
    """A backing object that is not a dict: get, item assignment, membership and text forms."""

    def __init__(self, **items):
        self.items = dict(items)

    def get(self, key):
        return self.items.get(key, "absent")

    def __setitem__(self, key, value):
        self.items[key] = value

    def __contains__(self, key):
        return key in self.items

    def __str__(self):
        return "M" + str(sorted(self.items))

    def __repr__(self):
        return 7  # not a str: repr() of the record must complain as it would for this object


class ReadOnly:
    def get(self, key):
        return key


# Each operation takes a record class and returns what it observes.
def op_fields(cls):
    rec = cls({"price": 1.5, "bid_p": 2, "close": None, "other": "x", 3: "three"})
    names = FIELDS[cls.__name__] + ["other", "missing", "data_entry", "__len__", "keys"]
    return [getattr(rec, n) for n in names if n != "data_entry"] + [rec["price"], rec[3]]


def op_writes(cls):
    backing = {}
    rec = cls(backing)
    for i, name in enumerate(FIELDS[cls.__name__] + ["other", "__doc__", "__init__"]):
        setattr(rec, name, i)
    rec["item"] = "v"
    rec["data"] = "entry"
    return backing, rec.data is backing, rec["data"], rec.__doc__, rec.__slots__


def op_data_attribute(cls):
    first, second = {"a": 1}, {"a": 2}
    rec = cls(first)
    rec.data = second
    return rec.a, rec.data is second, first


def op_text(cls):
    return str(cls({"a": 1})), repr(cls({"a": 1})), str(cls(Mapping(b=1)))


def op_repr_not_str(cls):
    return repr(cls(Mapping()))


def op_identity(cls):
    a, b = cls({}), cls({})
    return bool(a), a == b, a == a, hash(a) == hash(a)


def op_len(cls):
    return len(cls({}))


def op_other_mapping(cls):
    rec = cls(Mapping(price=3))
    rec.x = 1
    rec["y"] = 2
    return rec.price, rec.missing, rec["missing"], rec.data.items


def op_none_backing_read(cls):
    return cls(None).anything


def op_none_backing_item(cls):
    return cls(None)["a"]


def op_none_backing_field(cls):
    return cls(None).symbol if FIELDS[cls.__name__] else cls(None).x


def op_unhashable_read(cls):
    return cls({})[[1]]


def op_unhashable_write(cls):
    cls({})[[1]] = 2


def op_read_only_write(cls):
    cls(ReadOnly()).x = 1


def op_read_only_item(cls):
    cls(ReadOnly())["x"] = 1


def op_del_item(cls):
    rec = cls({"a": 1})
    del rec["a"]


def op_del_attribute(cls):
    rec = cls({"a": 1})
    del rec.a


def op_del_field(cls):
    rec = cls({"price": 1, "symbol": 2, "bid_p": 3})
    delattr(rec, "symbol" if cls.__name__ != "QuoteItemLikeDict2" else "bid_p")


def op_del_data_then_set(cls):
    rec = cls({"a": 1})
    del rec.data
    rec.data = {"a": 2}
    return rec.a


def op_no_arguments(cls):
    return cls()


def op_two_arguments(cls):
    return cls({}, {})


def op_keyword(cls):
    return cls(data={"a": 5}).a


def op_unknown_keyword(cls):
    return cls(mapping={})


def op_method_calls(cls):
    rec = cls({"a": 1})
    return (rec.__getitem__("a"), rec.__getattr__("a"), rec.__setitem__("b", 2),
            rec.__setattr__("c", 3), rec.__str__(), rec.__repr__(), rec.data)


def op_getattr_called_directly(cls):
    class Alias(cls):
        def __getattr__(self, item):
            return super().__getattr__({"d": "data"}.get(item, item))

    rec = cls({"data": 1, "x": 2})
    return rec.__getattr__("data"), rec.__getattr__("x"), Alias({"data": 3}).d


def op_backed_by_a_record(cls):
    rec = cls(cls(cls({"price": 1, "get": dict.get})))
    return [outcome(op) for op in (lambda: rec.price, lambda: rec["x"], lambda: str(rec),
                                   lambda: setattr(rec, "x", 1), lambda: rec.data.data.data)]


def op_method_argument_errors(cls):
    return outcome(cls({}).__getitem__), outcome(cls({}).__setattr__, "a")


def op_getattr_default(cls):
    rec = cls({})
    return getattr(rec, "nothing", "default"), hasattr(rec, "__iter__"), hasattr(rec, "x")


def op_properties_through_the_class(cls):
    fields = FIELDS[cls.__name__]
    if not fields:
        return None
    backing = {}
    rec = cls(backing)
    prop = getattr(cls, fields[0])
    setter = outcome(prop.fset, rec, 9) if prop.fset else None
    object.__setattr__(rec, fields[-1], 10) if prop.fset else None
    return (prop.fget(rec), setter, backing, prop.fget.__name__, prop.fget.__qualname__,
            prop.fdel)


def op_contains(cls):
    if not hasattr(cls, "__contains__") or cls.__contains__ is object.__contains__:
        return None
    rec = cls({"close": None, "a": 1})
    return ("close" in rec, "open" in rec, 1 in rec, rec.__contains__("a"),
            outcome(rec.__contains__, [1]), outcome(lambda: [] in rec))


def op_str_subclass_data_name(cls):
    class Name(str):
        pass

    rec = cls({})
    setattr(rec, Name("data"), {"z": 1})
    return rec.z


OPERATIONS = [v for k, v in globals().items() if k.startswith("op_")]


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("operation", OPERATIONS, ids=lambda f: f.__name__[3:])
def test_behaves_as_the_plain_python_class(name, operation):
    native, plain = getattr(c_sdk, name), getattr(ref, name)
    assert outcome(operation, native) == outcome(operation, plain)


@pytest.mark.parametrize("name", NAMES)
def test_class_shape(name):
    native, plain = getattr(c_sdk, name), getattr(ref, name)
    assert type(native) is type and native.__bases__ == (object,)
    assert native.__module__ == "c_sdk" and native.__qualname__ == name
    assert native.__doc__ is None and native.__slots__ == ["data"]
    assert list(vars(native)) == list(vars(plain))
    for attr, value in vars(native).items():
        if callable(value):
            assert value.__qualname__ == f"{name}.{attr}" and value.__doc__ is None
            # (a builtin method's self is positional-only)
            assert list(inspect.signature(value).parameters) == list(
                inspect.signature(vars(plain)[attr]).parameters)
        elif isinstance(value, property):
            assert type(value) is property
            for fn in (value.fget, value.fset):
                if fn is not None:
                    assert (fn.__name__, fn.__qualname__) == (attr, f"{name}.{attr}")
            assert (value.fset is None) == (vars(plain)[attr].fset is None)
    assert list(c_sdk.__dict__).index("QuoteItemLikeDict2") + 3 == list(c_sdk.__dict__).index(
        "ObjectLikeDict2")


def make_subclass(base):
    class Sub(base):
        __slots__ = ("extra",)
        kind = "sub"

        def __getitem__(self, item):
            return ("sub", super().__getitem__(item))

        @property
        def double(self):
            return self.data.get("x", 0) * 2

    return Sub


@pytest.mark.parametrize("name", NAMES)
def test_subclass_defined_in_python(name):
    def observe(cls):
        sub = make_subclass(cls)
        rec = sub({"x": 2})
        rec.extra_key = 1
        rec["y"] = 3
        return (rec["x"], rec.x, rec.double, rec.kind, rec.missing, rec.data, str(rec),
                outcome(lambda: sub({}).__init__()), isinstance(rec, cls))

    assert observe(getattr(c_sdk, name)) == observe(getattr(ref, name))


REASSIGNMENTS = [
    ("__getitem__", lambda self, item: ("patched", item)),
    ("__getattr__", lambda self, item: ("patched", item)),
    ("__setitem__", lambda self, item, value: self.data.__setitem__(item, ("patched", value))),
    ("__setattr__", lambda self, item, value: object.__setattr__(self, "data", {"only": value})),
    ("__str__", lambda self: "patched"),
    ("__repr__", lambda self: "patched"),
    ("__init__", lambda self, data, extra=0: object.__setattr__(self, "data", dict(data, e=extra))),
    ("__iter__", lambda self: iter(["patched"])),
    ("__getattribute__", lambda self, name: ("patched", name)),
    ("price", property(lambda self: "patched")),
    ("symbol", "patched"),
]


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("attr, value", REASSIGNMENTS, ids=[r[0] for r in REASSIGNMENTS])
def test_methods_reassigned_on_the_class(name, attr, value):
    def observe(cls):
        saved = vars(cls).get(attr)
        setattr(cls, attr, value)
        try:
            rec = cls({"price": 1, "symbol": 2, "a": 3})
            steps = [lambda: setattr(rec, "b", 4), lambda: rec.__setitem__("c", 5),
                     lambda: rec.price, lambda: rec.symbol, lambda: rec.a, lambda: rec["a"],
                     lambda: str(rec), lambda: repr(rec),
                     lambda: object.__getattribute__(rec, "data")]
            if attr == "__iter__":  # otherwise iterating the plain class would never end
                steps.append(lambda: list(rec))
            return [outcome(step) for step in steps]
        finally:
            if saved is None:
                delattr(cls, attr)
            else:
                setattr(cls, attr, saved)

    assert observe(getattr(c_sdk, name)) == observe(getattr(ref, name))


def test_deleted_methods():
    # Run apart: the classes stay changed, and iterating may then never end.
    proc = run_python(
        """
        import c_sdk
        bar = c_sdk.BarLikeDict2({"close": 1})
        del c_sdk.BarLikeDict2.__contains__
        try:
            "close" in bar
        except TypeError:
            print("refused")
        del c_sdk.TickLikeDict2.__getattr__
        try:
            c_sdk.TickLikeDict2({}).missing
        except AttributeError as e:
            print(e)
        """,
        timeout=30,
    )
    assert proc.stdout.splitlines() == ["refused", "'TickLikeDict2' object has no attribute 'missing'"]


@pytest.mark.parametrize("name", NAMES)
def test_iteration_and_membership_are_refused(name):
    # Run apart: a regression would loop forever.
    proc = run_python(
        f"""
        import c_sdk
        rec = c_sdk.{name}({{"a": 1}})
        for attempt in (lambda: iter(rec), lambda: list(rec), lambda: "a" in rec,
                        lambda: [*rec]):
            try:
                attempt()
            except TypeError as e:
                print("TypeError")
            else:
                print("ok")
        """,
        timeout=30,
    )
    has_contains = name == "BarLikeDict2"
    assert proc.stdout.split() == ["TypeError", "TypeError"] + (
        ["ok"] if has_contains else ["TypeError"]) + ["TypeError"]


@pytest.mark.parametrize("name", NAMES)
def test_empty_data_slot_raises_attribute_error(name):
    # Run apart: a regression would recurse.
    proc = run_python(
        f"""
        import c_sdk, copy
        cls = c_sdk.{name}
        rec = cls.__new__(cls)
        for attempt in (lambda: rec.anything, lambda: rec.data, lambda: rec["x"],
                        lambda: getattr(rec, "{(FIELDS[name] or ['x'])[0]}"), lambda: str(rec)):
            try:
                attempt()
            except AttributeError as e:
                print(e.args[0].endswith("'data'"))
        class Sub(cls):
            pass
        sub = Sub.__new__(Sub)
        for attempt in (lambda: sub.anything, lambda: sub.data):
            try:
                attempt()
            except AttributeError as e:
                print(e.args[0].endswith("'data'"))
        rec = cls({{"k": 1}})
        clone = copy.copy(rec)
        print(clone.k, clone.data is rec.data)
        """,
        timeout=30,
    )
    assert proc.stdout.split() == ["True"] * 7 + ["1", "True"]


def test_records_backed_by_records():
    # Run apart: a regression ends the process. A record backed by itself, by a loop of two, or
    # by a chain deeper than any stack, ends every operation in RecursionError as the plain-Python
    # class does (`in` is refused first by the classes without __contains__).
    proc = run_python(
        f"""
        import c_sdk
        for name in {NAMES!r}:
            cls = getattr(c_sdk, name)
            a, b = cls(None), cls(None)
            a.data, b.data = a, a
            deep = cls({{"price": 1}})
            for _ in range(100000):
                deep = cls(deep)
            for rec in (a, b, deep):
                for op in (lambda: rec.price, lambda: rec.missing, lambda: rec["x"],
                           lambda: rec.__getattr__("x"), lambda: setattr(rec, "x", 1),
                           lambda: rec.__setitem__("x", 1), lambda: "x" in rec,
                           lambda: str(rec), lambda: repr(rec)):
                    try:
                        op()
                    except (RecursionError, TypeError) as e:
                        print(type(e).__name__)
        """,
        timeout=60,
    )
    lines = proc.stdout.splitlines()
    assert len(lines) == 4 * 3 * 9 and lines.count("TypeError") == 3 * 3


@pytest.mark.parametrize("name", NAMES)
def test_data_taken_from_the_class(name):
    # Run apart: a regression ends the process. Once the class's `data` no longer finds the
    # slot (deleted, or a property that raises AttributeError), reading it falls back to
    # `self.data.get("data")`, which reads it again: RecursionError, as the plain-Python class
    # gives, on the class and on a subclass.
    code = f"""
        import sys
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        import c_sdk, reference_records
        for cls in (c_sdk.{name}, reference_records.{name}):
            sub = type("Sub", (cls,), {{}})
            for replacement in (None, property(lambda self: object().gone)):
                recs = [cls({{"x": 1}}), sub({{"x": 1}})]
                slot = vars(cls)["data"]
                if replacement is None:
                    del cls.data
                else:
                    cls.data = replacement
                for rec in recs:
                    for op in (lambda: rec.x, lambda: rec["x"], lambda: rec.__getattr__("x"),
                               lambda: rec.__setitem__("x", 2), lambda: setattr(rec, "y", 2),
                               lambda: str(rec)):
                        try:
                            print(op())
                        except Exception as e:
                            print(type(e).__name__)
                cls.data = slot
                print(recs[0].x)
        """
    lines = run_python(code, timeout=60).stdout.splitlines()
    assert len(lines) == 2 * 2 * (2 * 6 + 1)
    assert lines[:len(lines) // 2] == lines[len(lines) // 2:]
    assert lines.count("RecursionError") == 2 * 2 * 2 * 6


def test_fields_replaced_on_the_class_run_what_the_class_holds():
    # Run apart: the classes stay changed. Each property is freed as the next one is made, so a
    # new property may take the address of an old one; every read must still run the property
    # that the class holds now, and a property put back must read its field again.
    proc = run_python(
        f"""
        import c_sdk
        for name, fields in {FIELDS!r}.items():
            cls = getattr(c_sdk, name)
            rec = cls({{f: f for f in fields}})
            getters = {{f: vars(cls)[f].fget for f in fields}}
            for f in fields:
                setattr(cls, f, property(lambda self, f=f: f.upper()))
            print(all(getattr(rec, f) == f.upper() for f in fields))
            for f in fields:
                setattr(cls, f, property(getters[f]))
            print(all(getattr(rec, f) == f for f in fields))
        """,
        timeout=60,
    )
    assert proc.stdout.split() == ["True"] * 8


def test_fields_reinitialised_in_place_run_their_new_getter():
    # Run apart: the classes stay changed. property.__init__ gives the class's own property
    # object another getter (neither its address nor the class changes): reads, the cached one
    # included, run the new getter as property.__get__ does, and the old getter put back reads
    # the field again.
    proc = run_python(
        f"""
        import c_sdk
        for name, fields in {FIELDS!r}.items():
            cls = getattr(c_sdk, name)
            rec = cls({{f: f for f in fields}})
            props = {{f: vars(cls)[f] for f in fields}}
            saved = {{f: (p.fget, p.fset) for f, p in props.items()}}
            [getattr(rec, f) for f in fields]  # known to the class's cache
            for f, p in props.items():
                p.__init__(lambda self, f=f: f.upper(), saved[f][1])
            print(all(getattr(rec, f) == f.upper() == p.__get__(rec) for f, p in props.items()))
            for f, p in props.items():
                p.__init__(*saved[f])
            print(all(getattr(rec, f) == f for f in fields))
        """,
        timeout=60,
    )
    assert proc.stdout.split() == ["True"] * 8


def test_record_reads_and_writes_leak_nothing():
    tick = c_sdk.TickLikeDict2({"price": 1.0, "other": 2})
    bar = c_sdk.BarLikeDict2({"close": 1.0})
    assert_no_leak(lambda: (tick.price, tick.other, tick.missing, tick["price"], "close" in bar))
    assert_no_leak(lambda: (setattr(tick, "price", 2.0), tick.__setitem__("x", 1)))
    assert_no_leak(c_sdk.TickLikeDict2, {"a": 1})
    assert_no_leak(lambda: c_sdk.ObjectLikeDict2(None).x, expect=AttributeError)
    assert_no_leak(lambda: tick[[1]], expect=TypeError)
