"""Hostile input, shared by the sweep, the property tests and the stress run: every public
callable of c_sdk with the kind of each of its parameters, a table of junk values, and what
each kind of parameter may raise.

The callables are enumerated from the module itself and each one's parameter kinds are taken
from the independent tables of the other test modules (members.py for the request/response
family, test_setup.FUNCTIONS for the value-taking wrappers), from the table below for the
lifecycle and bus wrappers and the helpers, and from the C signature that each directly exposed
SDK function states in its docstring. A callable found in the module but in none of these
fails the sweep, so a new function cannot slip past it.
"""

from __future__ import annotations

import inspect
import re
from dataclasses import dataclass, field

import c_sdk

import members
import test_setup

# ---- kinds of parameters --------------------------------------------------------------------
# text: byte string (NUL-terminated const char *); request: serialised request (bytes and
# len); int: 32-bit integer; mode: 32-bit integer passed as `!= 0`; real: double; flag: one-byte
# bool; any: any object (the helpers' and the bridge's parameters); record: a record instance
# (self of a record method); mapping: a record's backing object; key, value: record items.

VALID = {
    "text": b"text",
    "request": b"req",
    "int": 7,
    "mode": 2,
    "real": 1.5,
    "flag": True,
    "any": 0,
    "mapping": {"k": 1},
    "key": "k",
    "value": 2,
}


class JunkError(Exception):
    """Raised by the junk objects' own methods: it must come out unchanged, never be lost or
    turned into something else."""


# What a parameter of each kind may raise for a junk argument. JunkError stands for whatever
# the object's own conversion method raises, which propagates.
_NUMBER = (TypeError, OverflowError, ValueError, JunkError)
RAISES = {
    "text": (TypeError,),
    "request": (TypeError, OverflowError, ValueError, JunkError),
    "int": _NUMBER,
    "mode": _NUMBER,
    "real": (TypeError, OverflowError, JunkError),
    "flag": (TypeError, OverflowError, ValueError, JunkError),
    # c_status_ok/c_status_fail compare with ==, convert a failing status through
    # py_qvi_strerror and take the truth value of cfunname.
    "any": _NUMBER,
    "record": (TypeError,),
    "mapping": (),  # any object is accepted as the backing object
    "key": (TypeError, JunkError),  # unhashable, or a hash or comparison that raises
    "value": (),
}
# Through adapt_to_python3: a str that is not ASCII, or a str subclass whose encode raises.
ADAPTED_RAISES = (UnicodeEncodeError, JunkError)


# ---- the callables --------------------------------------------------------------------------


@dataclass(repr=False)
class Target:
    """One public callable: how to reach it, its parameters and their kinds."""

    name: str  # "py_qvi_get_orders", "BarLikeDict2.__contains__", "TickLikeDict2.price.fset"
    fn: object
    params: list  # [(name, kind)]
    adapted: bool = False  # bound through adapt_to_python3
    sdk: bool = False  # calls exactly one SDK function when its arguments convert
    # SDK functions it may have called before a Python step of its own raised.
    called_before_raising: set = field(default_factory=set)
    method: bool = False  # a record method: self is its first parameter, not a keyword
    optional: int = 0  # how many of the last parameters have a default

    def __repr__(self):
        return self.name

    def valid_args(self):
        return [valid(kind, self) for _, kind in self.params]


def _params(text):
    return [tuple(p.split(":")) for p in text.split()]


# The lifecycle, timer, error-text and bus wrappers: parameters and whether decorated.
RUNTIME = {
    "py_qvi_set_data_callback": ("pythonf:any", False),
    "py_qvi_schedule": ("date_rule:text time_rule:text", True),
    "py_qvi_strerror": ("errorno:int", False),
    "py_qvi_get_ext_errormsg": ("", False),
    "py_qvi_run": ("", False),
    "py_qvi_stop": ("", False),
    "py_qvi_set_timer": ("interval:int", False),
    "py_qvi_user_timer": ("period:int start_delay:int", True),
    "py_qvi_user_timer_stop": ("timer_id:int", True),
    "py_qvi_get_stop_error_code": ("", False),
    "py_qvi_set_bus_info": ("server_addr:text user_name:text password:text", True),
    "py_qvi_set_bus_secure": (
        "in_mode:int tlsca:text tlscert:text tlskey:text skip_verify:flag", True),
    "py_qvi_add_bus_topic": ("topic:text", True),
    "py_qvi_send_msg_to_bus": ("topic:text msg:text", True),
}

HELPERS = {
    "is_windows": "",
    "is_linux": "",
    "adapt_to_python3": "func:any",
    "c_status_ok": "status:any",
    "c_status_fail": "status:any cfunname:any",
}

RECORD_CLASSES = ["QuoteItemLikeDict2", "TickLikeDict2", "BarLikeDict2", "ObjectLikeDict2"]
_RECORD_PARAM_KINDS = {"self": "record", "data": "mapping", "item": "key", "key": "key",
                       "value": "value"}
_C_KINDS = {"int": "int", "const char *": "text", "bool": "flag"}


def _direct_params(doc):
    """The parameters of a directly exposed SDK function, from the C signature in its
    docstring: "wrap(topic: 'const char *', msg: 'const char *') -> 'int'"."""
    inner = re.match(r"wrap\((.*)\) ->", doc).group(1)
    return [(n, _C_KINDS[t]) for n, t in re.findall(r"(\w+): '([^']+)'", inner)]


def _record_targets(cls):
    name = cls.__name__
    out = [Target(name, cls, [("data", "mapping")])]
    for attr, value in vars(cls).items():
        if isinstance(value, property):
            for role in ("fget", "fset"):
                fn = getattr(value, role)
                if fn is not None:
                    out.append(_method_target(f"{name}.{attr}.{role}", fn))
        elif callable(value) and not isinstance(value, type):
            out.append(_method_target(f"{name}.{attr}", getattr(cls, attr)))
    return out


def _method_target(name, fn):
    params = [(p, _RECORD_PARAM_KINDS[p]) for p in inspect.signature(fn).parameters]
    return Target(name, fn, params, method=True)


def targets():
    """Every public callable of the module, in the order of its namespace, classes followed by
    their methods and property functions."""
    setup = {f.name: f for f in test_setup.FUNCTIONS}
    out = []
    for name, obj in vars(c_sdk).items():
        if name in RECORD_CLASSES:
            out.extend(_record_targets(obj))
        elif name in HELPERS:
            out.append(Target(name, obj, _params(HELPERS[name]),
                              called_before_raising={"qvi_strerror"},
                              optional=int(name == "c_status_fail")))
        elif name in members.BY_NAME:
            m = members.BY_NAME[name]
            params = [] if m.shape == members.FETCH else [("req", "request")]
            out.append(Target(name, obj, params, adapted=m.adapted, sdk=True))
        elif name in setup:
            f = setup[name]
            out.append(Target(name, obj, list(f.params), adapted=f.decorated, sdk=True))
        elif name in RUNTIME:
            text, decorated = RUNTIME[name]
            out.append(Target(name, obj, _params(text), adapted=decorated, sdk=True))
        elif name.startswith("qvi_"):
            out.append(Target(name, obj, _direct_params(obj.__doc__), sdk=True))
    return out


def public_names():
    """The module's public callables as the module itself shows them."""
    return [n for n, v in vars(c_sdk).items()
            if callable(v) and not n.startswith("_") and n != "f"
            and getattr(v, "__module__", None) == "c_sdk"]


def valid(kind, target=None):
    if kind == "record":
        cls = getattr(c_sdk, target.name.split(".")[0])
        return cls({"k": 1, "symbol": "A", "bid_p": 1.0})
    if kind == "mapping":
        return {"k": 1}
    return VALID[kind]


def raises_for(target, kind):
    allowed = RAISES[kind]
    if target.adapted:  # every str argument is encoded, whatever its parameter takes
        allowed += ADAPTED_RAISES
    return allowed


# ---- junk -----------------------------------------------------------------------------------


def _raise(*_):
    raise JunkError("junk")


def _junk_class(name, **methods):
    return type(name, (), methods)


class StrSub(str):
    pass


class SelfEncoding(str):
    """A str whose encode hands back the str itself: the wrapped function then refuses it."""

    def encode(self, *args, **kwargs):
        return self


class RaisingEncode(str):
    def encode(self, *args, **kwargs):
        raise JunkError("encode")


class BytesSub(bytes):
    pass


class ByteArraySub(bytearray):
    pass


def _lying_len(length):
    return type(f"BytesLen{length}", (bytes,), {"__len__": lambda self: length})(b"ab\0c")


class EqRaisingStr(str):
    """A keyword name whose comparison raises."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        raise JunkError("eq")


class NoHash:
    __hash__ = None


HUGE = b"\0huge\0" * 200_000  # 1.2 MB, NULs throughout

# (id, value): each is used in every argument position of every callable.
JUNK = [
    ("None", None),
    ("object", object()),
    ("2**31", 2**31),
    ("-2**31-1", -(2**31) - 1),
    ("2**63", 2**63),
    ("2**64", 2**64),
    ("-2**64", -(2**64)),
    ("2**1024", 2**1024),
    ("nan", float("nan")),
    ("inf", float("inf")),
    ("-inf", float("-inf")),
    ("complex", 1j),
    ("huge-bytes", HUGE),
    ("huge-bytearray", bytearray(HUGE)),
    ("empty-bytes", b""),
    ("empty-bytearray", bytearray()),
    ("lone-surrogate", "\ud800"),
    ("non-ascii", "снег"),
    ("ascii-str", "abc"),
    ("str-with-nul", "a\0b"),
    ("str-subclass", StrSub("abc")),
    ("str-subclass-non-ascii", StrSub("é")),
    ("str-encoding-to-itself", SelfEncoding("abc")),
    ("str-encode-raises", RaisingEncode("abc")),
    ("bytes-subclass", BytesSub(b"x\0y")),
    ("bytearray-subclass", ByteArraySub(b"x\0y")),
    ("bytes-len-longer", _lying_len(10)),
    ("bytes-len-huge", _lying_len(2**31)),
    ("bytes-len-shorter", _lying_len(1)),
    ("memoryview", memoryview(b"abc")),
    ("list", [b"a", "b", 1]),
    ("dict", {"a": 1}),
    ("tuple", (1, 2)),
    ("int-raises", _junk_class("IntRaises", __int__=_raise)()),
    ("int-returns-str", _junk_class("IntStr", __int__=lambda s: "1")()),
    ("int-returns-float", _junk_class("IntFloat", __int__=lambda s: 1.5)()),
    ("index-raises", _junk_class("IndexRaises", __index__=_raise)()),
    ("index-returns-float", _junk_class("IndexFloat", __index__=lambda s: 1.5)()),
    ("float-raises", _junk_class("FloatRaises", __float__=_raise)()),
    ("float-returns-str", _junk_class("FloatStr", __float__=lambda s: "1.5")()),
    ("bool-raises", _junk_class("BoolRaises", __bool__=_raise)()),
    ("bool-returns-int", _junk_class("BoolInt", __bool__=lambda s: 1)()),
    ("len-raises", _junk_class("LenRaises", __len__=_raise)()),
    ("len-returns-str", _junk_class("LenStr", __len__=lambda s: "3")()),
    ("len-negative", _junk_class("LenNegative", __len__=lambda s: -1)()),
    ("len-huge", _junk_class("LenHuge", __len__=lambda s: 2**70)()),
    ("eq-raises", _junk_class("EqRaises", __eq__=_raise, __ne__=_raise, __hash__=lambda s: 0)()),
    ("hash-raises", _junk_class("HashRaises", __hash__=_raise)()),
    ("unhashable", NoHash()),
    ("getattr-raises", _junk_class("GetattrRaises", __getattr__=_raise)()),
    ("type", int),
    ("function", lambda *a: None),
]
JUNK_IDS = [j for j, _ in JUNK]


def keyword_junk(target):
    """Calls whose argument count or keywords are wrong: (args, kwargs)."""
    args = target.valid_args()
    names = [p for p, _ in target.params]
    cases = [(args + [b"extra"], {}), (args, {"bogus": 1}),
             (args, {StrSub("bogus"): 1}), (args, {EqRaisingStr("bogus"): 1})]
    if names:
        cases += [(args[:-1 - target.optional], {}), ((), {}),
                  (args, {names[-1]: args[-1]})]
        if not target.method:
            cases.append(((), dict(zip(names, args), bogus=1)))
    return cases
