"""The type stubs against the module's behaviour, and what introspection shows of it.

stubtest (scripts/test) compares the stubs' names and parameter lists with the module's
signatures; it cannot see behind adapt_to_python3, nor what a function returns. Here every
function the stubs declare is called with arguments of the declared types, by the declared
names, and must return what the stubs say and reach the SDK function its docstring names.
"""

import ast
import inspect
import os
import pathlib
import pydoc
import re
import sys

import c_sdk
import pytest

from conftest import ROOT

STUBS = pathlib.Path(ROOT, "stubs", "c_sdk.pyi")


def _stub_functions():
    tree = ast.parse(STUBS.read_text())
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            params = [(a.arg, ast.unparse(a.annotation)) for a in node.args.args]
            yield node.name, params, ast.unparse(node.returns), ast.get_docstring(node)


FUNCTIONS = {name: (params, result, doc) for name, params, result, doc in _stub_functions()}

# An argument of each declared type (str where text may be str: the stubs promise it works).
SAMPLES = {
    "bytes | bytearray": b"x",
    "str | bytes | bytearray": "x",
    "SupportsInt": 7,
    "SupportsFloat | SupportsIndex": 1.5,
    "object": True,
    "Callable[[str, bytes], object]": lambda event, data: None,
}

RESULTS = {
    "tuple[int, bytes | None]": lambda r: type(r) is tuple and len(r) == 2
    and type(r[0]) is int and type(r[1]) in (bytes, type(None)),
    "int": lambda r: type(r) is int,
    "bytes": lambda r: type(r) is bytes,
    "bytes | None": lambda r: type(r) in (bytes, type(None)),
    "float": lambda r: type(r) is float,
    "None": lambda r: r is None,
}

# The functions that call one SDK function, named by the C prototype in their docstring.
SDK_CALLERS = sorted(n for n, (_, _, doc) in FUNCTIONS.items() if doc)


def test_stubs_cover_every_function_of_the_module():
    public = {n for n, v in vars(c_sdk).items() if callable(v) and not isinstance(v, type)}
    assert public == set(FUNCTIONS)
    assert len(SDK_CALLERS) == 181 + 14


@pytest.mark.parametrize("name", SDK_CALLERS)
def test_called_as_the_stubs_declare(name, sdk, module_globals):
    params, result, doc = FUNCTIONS[name]
    kwargs = {p: SAMPLES[annotation] for p, annotation in params}
    value = getattr(c_sdk, name)(**kwargs)
    assert RESULTS[result](value), f"{name} returned {value!r}, declared {result}"
    sdk_function = re.search(r"(\w+)\(", doc).group(1)
    assert [c.name for c in sdk.calls()][-1:] == [sdk_function] == [sdk.sdk_function(name)]


BYTES_ONLY = [(n, p) for n in SDK_CALLERS for p, a in FUNCTIONS[n][0] if a == "bytes | bytearray"]


@pytest.mark.parametrize("name, param", BYTES_ONLY)
def test_text_declared_bytes_only_refuses_str(name, param, sdk, module_globals):
    params, _, _ = FUNCTIONS[name]
    kwargs = {p: SAMPLES[a] for p, a in params}
    kwargs[param] = "x"
    with pytest.raises(TypeError):
        getattr(c_sdk, name)(**kwargs)
    assert sdk.calls() == []


def _adapted(fn):
    return fn.__name__ == "wrapper"


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_signature_introspects(name):
    fn = getattr(c_sdk, name)
    sig = inspect.signature(fn)
    if _adapted(fn):
        assert str(sig) == "(*args, **kwargs)"
    else:
        assert list(sig.parameters) == [p for p, _ in FUNCTIONS[name][0]]
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())


def test_only_the_documented_functions_have_docstrings():
    documented = {n for n in FUNCTIONS if getattr(c_sdk, n).__doc__ is not None}
    assert documented == {"adapt_to_python3", "c_status_ok", "c_status_fail"} | {
        n for n in FUNCTIONS if n.startswith("qvi_")}


def test_help_shows_every_function_with_its_parameters():
    text = pydoc.render_doc(c_sdk, renderer=pydoc.plaintext)
    for name in FUNCTIONS:
        fn = getattr(c_sdk, name)
        shown = f"{name}{inspect.signature(fn)}"
        if fn.__name__ != name:  # bound under another name: "wrapper" or "wrap"
            shown = f"{name} = {fn.__name__}{inspect.signature(fn)}"
        assert f"\n    {shown}\n" in text, shown
    for cls in ("ObjectLikeDict2", "QuoteItemLikeDict2", "TickLikeDict2", "BarLikeDict2"):
        try:
            sig = inspect.signature(getattr(c_sdk, cls))
        except TypeError:
            # inspect of CPython 3.13 binds a class's __init__ to the class itself to read its
            # signature, which a C method descriptor refuses; help() then leaves the line out.
            assert sys.version_info[:2] == (3, 13)
            continue
        assert f"class {cls}(builtins.object)\n     |  {cls}{sig}\n" in text
        assert str(sig) == "(data)"


def test_installed_stubs_are_the_committed_ones():
    installed = pathlib.Path(os.path.dirname(c_sdk.__file__), "c_sdk-stubs", "__init__.pyi")
    assert installed.read_text() == STUBS.read_text()
