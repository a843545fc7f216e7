"""The platform helpers, the decorator adapt_to_python3 and its wrapper."""

import copy
import inspect
import pickle
import re
import sys
import textwrap

import c_sdk
import pytest

from conftest import python_function, run_python
from leakcheck import assert_no_leak


def recorder():
    seen = []

    def func(*args, **kwargs):
        seen.append((args, kwargs))
        return "result"

    return func, seen


@pytest.mark.parametrize(
    "system, windows, linux",
    [("Windows", True, False), ("WINDOWS", True, False), ("Linux", False, True),
     ("Darwin", False, False)],
)
def test_platform_helpers_follow_the_platform_global(module_globals, system, windows, linux):
    class Platform:
        @staticmethod
        def uname():
            return (system, "node")

    c_sdk.platform = Platform
    assert c_sdk.is_windows() is windows
    assert c_sdk.is_linux() is linux


def test_platform_helpers_on_this_machine():
    assert c_sdk.is_linux() is sys.platform.startswith("linux")
    assert c_sdk.is_windows() is (sys.platform == "win32")


def test_platform_errors_propagate(module_globals):
    class Platform:
        @staticmethod
        def uname():
            return ()

    c_sdk.platform = Platform
    with pytest.raises(IndexError):
        c_sdk.is_windows()



@pytest.mark.parametrize(
    "fn, params",
    [(c_sdk.is_windows, []), (c_sdk.is_linux, []), (c_sdk.adapt_to_python3, ["func"])],
)
@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((1,), {}), ((1, 2), {}), ((), {"func": 1}), ((1,), {"func": 1}),
     ((), {"other": 1}), ((1, 2), {"other": 1})],
)
def test_argument_errors_read_as_for_a_python_function(fn, params, args, kwargs):
    reference = python_function(fn.__name__, params)
    try:
        reference(*args, **kwargs)
    except TypeError as e:
        expected = str(e)
    else:
        return
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    assert str(info.value) == expected


def test_helpers_introspect():
    assert str(inspect.signature(c_sdk.adapt_to_python3)) == "(func)"
    assert str(inspect.signature(c_sdk.is_windows)) == "()"
    assert c_sdk.is_windows.__doc__ is None and c_sdk.is_linux.__doc__ is None
    assert c_sdk.adapt_to_python3.__doc__.startswith("\n     ")
    assert c_sdk.adapt_to_python3.__doc__.endswith("\n     ")
    for fn in (c_sdk.is_windows, c_sdk.is_linux, c_sdk.adapt_to_python3):
        assert fn.__module__ == "c_sdk" and fn.__qualname__ == fn.__name__


def test_wrapper_identity():
    func, _ = recorder()
    w = c_sdk.adapt_to_python3(func)
    assert w.__name__ == "wrapper"
    assert w.__qualname__ == "adapt_to_python3.<locals>.wrapper"
    assert w.__module__ == "c_sdk" and w.__doc__ is None
    assert not hasattr(w, "__wrapped__")
    assert c_sdk.adapt_to_python3(func) is not w  # a new one every time
    assert str(inspect.signature(w)) == "(*args, **kwargs)"
    assert repr(w).startswith("<function adapt_to_python3.<locals>.wrapper at 0x")
    w.extra = 1  # functions take attributes
    assert w.__dict__ == {"extra": 1}


def test_wrapper_encodes_top_level_str():
    func, seen = recorder()
    w = c_sdk.adapt_to_python3(func)
    items = ["a", "b"]
    assert w("abc", b"raw", 3, items, key="v", other=None) == "result"
    assert seen == [((b"abc", b"raw", 3, items), {"key": b"v", "other": None})]
    assert seen[0][0][3] is items and items == ["a", "b"]


def test_wrapper_uses_the_encode_method_of_a_str_subclass():
    class Text(str):
        def encode(self, codec):
            return b"<" + str.encode(self, codec) + b">"

    func, seen = recorder()
    c_sdk.adapt_to_python3(func)(Text("x"), k=Text("y"))
    assert seen == [((b"<x>",), {"k": b"<y>"})]


def test_wrapper_leaves_the_callers_mapping_alone():
    func, seen = recorder()
    kwargs = {"a": "text", "b": 1}
    c_sdk.adapt_to_python3(func)(**kwargs)
    assert kwargs == {"a": "text", "b": 1}
    assert seen == [((), {"a": b"text", "b": 1})]


@pytest.mark.parametrize(
    "args, kwargs", [(("é",), {}), (("ok", "ü"), {}), ((), {"k": "ñ"}), (("ok",), {"k": "ñ"})]
)
def test_non_ascii_text_raises_before_the_call(args, kwargs):
    func, seen = recorder()
    with pytest.raises(UnicodeEncodeError):
        c_sdk.adapt_to_python3(func)(*args, **kwargs)
    assert seen == []


def test_positional_text_is_encoded_before_keyword_values():
    calls = []

    class Loud(str):
        def encode(self, codec):
            calls.append(str(self))
            return str.encode(self, codec)

    func, _ = recorder()
    c_sdk.adapt_to_python3(func)(Loud("p1"), Loud("p2"), k1=Loud("k1"), k2=Loud("k2"))
    assert calls == ["p1", "p2", "k1", "k2"]


def test_is_py2_selects_pass_through(module_globals):
    func, seen = recorder()
    w = c_sdk.adapt_to_python3(func)
    c_sdk.IS_PY2 = True
    w("é", k="x")
    assert seen == [(("é",), {"k": "x"})]
    del c_sdk.IS_PY2
    with pytest.raises(NameError, match="^name 'IS_PY2' is not defined$"):
        w("x")


def test_is_py2_truth_errors_propagate(module_globals):
    class Bad:
        def __bool__(self):
            raise ZeroDivisionError

    c_sdk.IS_PY2 = Bad()
    with pytest.raises(ZeroDivisionError):
        c_sdk.adapt_to_python3(print)("x")


def test_wrapper_errors_and_results_pass_through():
    def boom(*a):
        raise LookupError(a)

    with pytest.raises(LookupError) as info:
        c_sdk.adapt_to_python3(boom)("x", 1)
    assert info.value.args == ((b"x", 1),)
    with pytest.raises(TypeError):
        c_sdk.adapt_to_python3(42)("x")  # not callable: the call raises
    with pytest.raises(TypeError):
        c_sdk.adapt_to_python3(print)(**{1: 2})


@pytest.mark.parametrize(
    "func, args, kwargs, expected",
    [
        (c_sdk.is_linux, (), {}, sys.platform.startswith("linux")),  # the module's own kind
        (sorted, ("cba",), {"reverse": True}, [b"c"[0], b"b"[0], b"a"[0]]),  # fastcall, keywords
        (max, ("ab", "b"), {"key": len}, b"ab"),  # a tuple and a dict
        (len, ("abc",), {}, 3),  # one argument
        ("-".join, (["a", "b"],), {}, "a-b"),  # bound to an object; the list is not top level
        (b"x".__add__, ("y",), {}, b"xy"),  # a method wrapper
        (dict.fromkeys, ("ab",), {}, {97: None, 98: None}),  # bound to a class
    ],
    ids=["c_sdk", "fastcall-keywords", "varargs-keywords", "one-arg", "bound", "wrapper", "class"],
)
def test_wrapper_calls_builtins_of_every_convention(func, args, kwargs, expected):
    # The wrapper enters builtins of the module's own convention directly and calls any other
    # through the general protocol: the same arguments arrive, encoded, either way.
    w = c_sdk.adapt_to_python3(func)
    for _ in range(3):
        assert w(*args, **kwargs) == expected
    with pytest.raises(TypeError):
        w(*args, unexpected=1)


def test_wrapper_binds_like_a_function():
    func, seen = recorder()

    class Host:
        method = c_sdk.adapt_to_python3(func)

    h = Host()
    h.method("x")
    assert seen == [((h, b"x"), {})]
    assert Host.method is Host.__dict__["method"]


def test_many_arguments_are_encoded():
    func, seen = recorder()
    c_sdk.adapt_to_python3(func)(*[str(i) for i in range(20)], **{f"k{i}": "v" for i in range(5)})
    assert seen[0][0] == tuple(str(i).encode() for i in range(20))
    assert seen[0][1] == {f"k{i}": b"v" for i in range(5)}


def test_wrapper_is_copied_and_pickled_as_a_nested_function_is():
    def adapt(func):
        def wrapper(*args, **kwargs):
            return func(*args, **kwargs)

        return wrapper

    nested = adapt(len)
    nested.__module__, nested.__qualname__ = "c_sdk", "adapt_to_python3.<locals>.wrapper"
    with pytest.raises(AttributeError) as refused:
        pickle.dumps(nested)
    for w in (c_sdk.py_qvi_get_orders, c_sdk.adapt_to_python3(len), nested):
        assert copy.copy(w) is w and copy.deepcopy({"f": [w]})["f"][0] is w
        with pytest.raises(AttributeError, match=f"^{re.escape(str(refused.value))}$"):
            pickle.dumps(w)


def test_wrappers_that_lead_back_to_themselves_end_in_recursion_error():
    # Run apart: a regression ends the process. A wrapper enters the module's own builtins
    # directly, so each loop below runs through C alone: a long chain of wrappers, a str whose
    # encode is a wrapper, and the module's functions calling wrappers of themselves through
    # the globals they look up (py_qvi_strerror, platform) or through the events of the SDK.
    proc = run_python(
        """
        import types
        import c_sdk
        import qvsdk_standin as sdk

        adapt = c_sdk.adapt_to_python3
        w = len
        for _ in range(300000):
            w = adapt(w)

        class Text(str):
            encode = adapt(len)

        def loops():
            yield lambda: w("abc")
            yield lambda: adapt(len)(Text("x"))
            c_sdk.py_qvi_strerror = adapt(c_sdk.c_status_fail)
            yield lambda: c_sdk.c_status_fail(1)
            c_sdk.platform = types.SimpleNamespace(uname=adapt(c_sdk.is_linux))
            yield c_sdk.is_linux

        for loop in loops():
            try:
                loop()
            except RecursionError:
                print("RecursionError")
        del w
        print("freed")

        # Each event delivered inside the call that f makes: reported, at the depth where it
        # fails, as well as the exhausted depth allows; then the next event goes on.
        c_sdk.py_qvi_set_data_callback(adapt(c_sdk.py_qvi_send_msg_to_bus))
        sdk.deliver_in("qvi_send_msg_to_bus", 1)
        for _ in range(12000):  # deeper than the C recursion limit of 3.12 and 3.13
            sdk.queue_event("e", b"x")
        print(c_sdk.qvi_poll(), sdk.queued_events())
        """,
        timeout=60,
    )
    assert proc.stdout.split() == ["RecursionError"] * 4 + ["freed", "0", "0"]
    assert "RecursionError" in proc.stderr


# Loops through C alone that pass through an object the caller supplied: a slot of an
# argument or of a record key bound to a wrapper, or a wrapper of someone else's builtin. Each
# snippet ends in the loop's call.
CALLER_LOOPS = {
    "len of a request": """
        class Req(bytes):
            __len__ = c_sdk.py_qvi_get_orders
        c_sdk.py_qvi_get_orders(Req(b"x"))""",
    "__int__ of an integer": """
        class N:
            __int__ = c_sdk.py_qvi_smart_reorder_cancel
        c_sdk.py_qvi_smart_reorder_cancel(N())""",
    "__float__ of a real": """
        class R(bytes):
            __float__ = c_sdk.adapt_to_python3(functools.partial(
                c_sdk.py_qvi_smart_reorder, b"s", volume=1, side=1, order_type=1,
                position_effect=1, repeat_n=1, max_price_offset=1, time_out=1, time_wait=1,
                account=b"a"))
        R.__float__(R(b"x"))""",
    "truth of IS_PY2": """
        class B:
            __bool__ = c_sdk.py_qvi_get_orders
        c_sdk.IS_PY2 = B()
        c_sdk.py_qvi_get_orders(b"x")""",
    "encode of a str": """
        class S(str):
            encode = c_sdk.py_qvi_get_orders
        c_sdk.py_qvi_get_orders(S("x"))""",
    "hash of a record key": """
        rec = c_sdk.TickLikeDict2({})
        class K:
            __hash__ = c_sdk.adapt_to_python3(rec.__getitem__)
        rec[K()]""",
    "hash of a record key, written": """
        rec = c_sdk.BarLikeDict2({})
        class K:
            __hash__ = c_sdk.adapt_to_python3(functools.partial(rec.__setitem__, value=1))
        rec[K()] = 1""",
    "hash of a record key, tested": """
        rec = c_sdk.BarLikeDict2({})
        class K:
            __hash__ = c_sdk.adapt_to_python3(rec.__contains__)
        K() in rec""",
    "operator.call over a partial of itself": """
        w = c_sdk.adapt_to_python3(operator.call)
        p = functools.partial(w)
        p.__setstate__((w, (p,), {}, None))
        w(p)""",
    "a bound method of a record": """
        rec = c_sdk.ObjectLikeDict2(None)
        rec.data = rec
        c_sdk.adapt_to_python3(rec.__getitem__)("x")""",
}


@pytest.mark.parametrize("loop", CALLER_LOOPS.values(), ids=list(CALLER_LOOPS))
def test_loops_through_objects_the_caller_supplied_end_in_recursion_error(loop):
    # Run apart: a regression ends the process.
    proc = run_python(
        "import functools, operator\nimport c_sdk\ntry:"
        + textwrap.indent(textwrap.dedent(loop), "    ")
        + "\nexcept RecursionError:\n    print('RecursionError')\n",
        timeout=60,
        check=False,
    )
    assert proc.stdout.split() == ["RecursionError"], proc.stderr[-2000:]


def test_wrapper_and_helpers_leak_nothing():
    w = c_sdk.adapt_to_python3(lambda *a, **k: None)
    assert_no_leak(w, "text", b"raw", key="value")
    assert_no_leak(w, "é", expect=UnicodeEncodeError)
    assert_no_leak(c_sdk.is_linux)
    assert_no_leak(c_sdk.adapt_to_python3, print)
    assert_no_leak(c_sdk.is_linux, 1, expect=TypeError)


@pytest.mark.parametrize(
    "name, found, bound, observe",
    [("IS_PY2", False, True, lambda: c_sdk.adapt_to_python3(lambda text: text)("s")),
     ("CSDK_OPERATE_SUCCESS", 0, 1, lambda: c_sdk.py_qvi_get_orders(b"r")[1])],
    ids=["IS_PY2", "CSDK_OPERATE_SUCCESS"],
)
def test_a_global_bound_while_its_lookup_runs_is_seen_next_time(module_globals, name, found,
                                                                 bound, observe):
    # Missing from the module, the name is found in builtins, behind a key of the same hash
    # whose __eq__ binds it in the module during the search: that search's value may be used
    # once, but the next call must see the module's new binding.
    import builtins

    armed = []

    class Collides(str):
        def __hash__(self):
            return hash(name)

        def __eq__(self, other):
            if armed:
                armed.clear()
                setattr(c_sdk, name, bound)
            return False

    key = Collides("collides")
    space = vars(builtins)
    had, saved = name in space, space.pop(name, None)
    delattr(c_sdk, name)
    space[key] = None
    space[name] = found  # behind the key: the search meets the key first
    try:
        from_builtins = observe()
        c_sdk.poke = None  # any change to the module forgets what was found
        armed.append(True)
        observe()
        assert not armed and getattr(c_sdk, name) == bound
        assert observe() != from_builtins
    finally:
        del space[key], space[name]
        if had:
            space[name] = saved
