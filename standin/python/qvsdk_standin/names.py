"""From the names strategy authors call to the SDK functions the stand-in records.

A c_sdk wrapper is named after the SDK function it calls, often without the `_pb` ending and
sometimes further apart (`py_qvi_cancel_order` calls `qvi_cancel_orders_pb`); the SDK
functions c_sdk exposes directly keep their own names. The map comes from the tables that
define c_sdk (tools/stubgen.py writes it into _names.py), so it cannot drift from the module.
The helpers call no SDK function of their own (c_status_fail calls py_qvi_strerror, that is
qvi_strerror, on a failing status).
"""

from __future__ import annotations

from ._names import FUNCTIONS, HELPERS, SDK_FUNCTIONS

__all__ = ["resolve", "sdk_function", "wrappers_of"]

_CATALOGUE = frozenset(FUNCTIONS)


def _unknown(name: str, whose: str) -> ValueError:
    if name in HELPERS:
        return ValueError(f"{whose}{name} is a c_sdk helper and calls no SDK function of its own")
    return ValueError(f"{whose}{name!r} names neither an SDK function nor a c_sdk function")


def sdk_function(name: str) -> str:
    """The SDK function that the c_sdk function `name` calls.

    `sdk_function("py_qvi_cancel_order") == "qvi_cancel_orders_pb"`; an SDK function that c_sdk
    exposes under its own name gives itself. ValueError for a helper and for a name c_sdk does
    not have.
    """
    try:
        return SDK_FUNCTIONS[name]
    except KeyError:
        raise _unknown(name, "") from None


def wrappers_of(function: str) -> tuple[str, ...]:
    """The c_sdk functions that call the SDK function `function`, in the order of binding
    (`wrappers_of("qvi_strerror") == ("py_qvi_strerror", "qvi_strerror")`). ValueError for a
    name that is not an SDK function."""
    if function not in _CATALOGUE:
        raise ValueError(f"the SDK has no function {function!r}")
    return tuple(w for w, f in SDK_FUNCTIONS.items() if f == function)


def resolve(name: str, control: str) -> str:
    """The SDK function that `name` means, in a control of the stand-in named `control`: an
    SDK function's own name or that of a c_sdk function calling it."""
    if name in _CATALOGUE:
        return name
    found = SDK_FUNCTIONS.get(name)
    if found is None:
        raise _unknown(name, f"{control}(): ")
    return found
