"""The request/response family: every member reaches its own SDK function with the request
whole, and the three call shapes behave alike for all their members."""

import builtins
import ctypes
import inspect

import c_sdk
import pytest
import qvsdk_standin as standin

from conftest import LyingBytes, python_function
from leakcheck import assert_no_leak
from members import COMMAND, EXCHANGE, FETCH, MEMBERS

WITH_REQ = [m for m in MEMBERS if m.shape != FETCH]
ANSWERING = [m for m in MEMBERS if m.shape != COMMAND]
COMMANDS = [m for m in MEMBERS if m.shape == COMMAND]
# One member of each kind, for what the mechanism does the same way for all of its members.
KINDS = [
    next(m for m in MEMBERS if (m.shape, m.adapted) == kind)
    for kind in [(EXCHANGE, True), (EXCHANGE, False), (COMMAND, True), (COMMAND, False),
                 (FETCH, False)]
]


def name(m):
    return m.name


def fn(m):
    return getattr(c_sdk, m.name)


def invoke(m, req=b"req"):
    return fn(m)() if m.shape == FETCH else fn(m)(req)


def answer(m, req=b""):
    """The stand-in's default response: the SDK function's name, a colon and the request."""
    return m.sdk.encode() + b":" + bytes(req)


def default_result(m, req):
    return 0 if m.shape == COMMAND else (0, answer(m, req))


def test_the_family_is_bound_in_order_one_member_per_sdk_function():
    names = [m.name for m in MEMBERS]
    assert [n for n in vars(c_sdk) if n in names] == names
    assert len(MEMBERS) == len({m.sdk for m in MEMBERS}) == 141
    assert set(m.sdk for m in MEMBERS) <= set(standin.functions())


@pytest.mark.parametrize("m", MEMBERS, ids=name)
def test_member_identity(m):
    f = fn(m)
    assert f.__module__ == "c_sdk" and f.__doc__ is None
    if m.adapted:
        assert f.__name__ == "wrapper"
        assert f.__qualname__ == "adapt_to_python3.<locals>.wrapper"
    else:
        assert type(f) is type(len) and f.__name__ == m.name
        assert str(inspect.signature(f)) == ("()" if m.shape == FETCH else "(req)")


@pytest.mark.parametrize("m", MEMBERS, ids=name)
def test_each_member_reaches_its_sdk_function_with_the_request_whole(m, sdk):
    if m.shape == FETCH:
        assert fn(m)() == (0, answer(m))
        assert sdk.calls() == [sdk.Call(m.sdk, ())]
        return
    # NUL bytes are data; an empty request still has an address (the journal records None
    # for a null pointer).
    for req in [b"ord\0er\0", bytearray(b"\0by\0tes"), b"", bytearray()]:
        for result in [fn(m)(req), fn(m)(req=req)]:
            assert result == default_result(m, req)
        assert sdk.calls() == [sdk.Call(m.sdk, (bytes(req),))] * 2
        sdk.clear_journal()


@pytest.mark.parametrize("m", WITH_REQ, ids=name)
def test_text_requests(m, sdk):
    f = fn(m)
    if m.adapted:
        assert invoke(m, "as\0cii") == default_result(m, b"as\0cii")
        assert sdk.calls() == [sdk.Call(m.sdk, (b"as\0cii",))]
        sdk.clear_journal()
        with pytest.raises(UnicodeEncodeError):
            f("caf\xe9")
        with pytest.raises(UnicodeEncodeError):
            f(req="\u4e2d")
    else:
        with pytest.raises(TypeError, match="^expected bytes, str found$"):
            f("ascii")
    assert sdk.calls() == []


@pytest.mark.parametrize(
    "req, message",
    [(None, "object of type 'NoneType' has no len()"), (7, "object of type 'int' has no len()"),
     (memoryview(b"ab"), "expected bytes, memoryview found"), ([b"a"], "expected bytes, list found")],
    ids=["None", "int", "memoryview", "list"],
)
@pytest.mark.parametrize("m", WITH_REQ, ids=name)
def test_requests_of_other_types_never_reach_the_sdk(m, req, message, sdk):
    with pytest.raises(TypeError) as info:
        fn(m)(req)
    assert str(info.value) == message
    assert sdk.calls() == []


ARGUMENT_ERRORS = [((), {}), ((b"a", b"b"), {}), ((), {"request": b"a"}), ((b"a",), {"req": b"a"}),
                   ((), {"req": b"a", "other": 1}), ((b"a",), {})]


@pytest.mark.parametrize("m", MEMBERS, ids=name)
def test_argument_errors_read_as_for_a_python_function(m, sdk):
    reference = python_function(m.name, [] if m.shape == FETCH else ["req"])
    for args, kwargs in ARGUMENT_ERRORS:
        try:
            reference(*args, **kwargs)
        except TypeError as e:
            with pytest.raises(TypeError) as info:
                fn(m)(*args, **kwargs)
            assert str(info.value) == str(e), (args, kwargs)
    assert sdk.calls() == []


@pytest.mark.parametrize("m", [m for m in KINDS if m.shape != FETCH], ids=name)
def test_req_by_a_keyword_that_is_not_interned(m, sdk):
    key = "".join(["r", "eq"])
    assert fn(m)(**{key: b"k"}) == default_result(m, b"k")
    assert sdk.calls() == [sdk.Call(m.sdk, (b"k",))]


class Bytes(bytes):
    pass


class ByteArray(bytearray):
    pass


@pytest.mark.parametrize("m", [m for m in KINDS if m.shape != FETCH], ids=name)
def test_length_comes_from_len_and_must_fit_the_storage(m, sdk):
    assert invoke(m, Bytes(b"sub")) == default_result(m, b"sub")
    assert invoke(m, ByteArray(b"arr")) == default_result(m, b"arr")
    assert invoke(m, LyingBytes(b"abcdef", 2)) == default_result(m, b"ab")
    assert [c.args for c in sdk.calls()] == [(b"sub",), (b"arr",), (b"ab",)]
    sdk.clear_journal()
    with pytest.raises(ValueError):
        invoke(m, LyingBytes(b"abc", 4))
    with pytest.raises(OverflowError):
        invoke(m, LyingBytes(b"abc", 2**31))
    assert sdk.calls() == []


# (status, response as programmed, expected result or exception)
RESPONSES = [
    (0, dict(data=b"pay\0load"), (0, b"pay\0load")),
    (0, dict(data=b"payload", length=3), (0, b"pay")),
    (0, dict(data=b"ab", length=4), (0, b"ab\0\0")),
    (0, dict(data=b""), (0, b"")),
    (0, dict(data=None), (0, b"")),
    (0, dict(untouched=True), (0, b"")),  # the SDK wrote nothing: the preset values
    (3, dict(data=b"payload"), (3, None)),
    (-1, dict(data=None, length=5), (-1, None)),  # failure: the out-parameters are not read
    (2**31 - 1, dict(data=b"x", length=-1), (2**31 - 1, None)),
    (0, dict(data=b"x", length=-1), SystemError),
    (0, dict(data=None, length=5), SystemError),
]


@pytest.mark.parametrize("m", ANSWERING, ids=name)
def test_results_of_members_that_answer(m, sdk):
    for status, response, expected in RESPONSES:
        sdk.set_result(m.sdk, status)
        sdk.set_response(m.sdk, **response)
        if isinstance(expected, tuple):
            result = invoke(m)
            assert result == expected, (status, response)
            assert type(result[0]) is int
        else:
            with pytest.raises(expected):
                invoke(m)
    assert len(sdk.calls()) == len(RESPONSES)


@pytest.mark.parametrize("m", COMMANDS, ids=name)
def test_command_members_return_the_bare_status_without_a_success_test(m, sdk, module_globals):
    del c_sdk.CSDK_OPERATE_SUCCESS
    for status in (0, 7, -(2**31), 2**31 - 1):
        sdk.set_result(m.sdk, status)
        result = invoke(m)
        assert result == status and type(result) is int


def test_a_large_response_is_copied_exactly(sdk):
    data = bytes(range(256)) * (1 << 16)  # 16 MiB
    sdk.set_response("qvi_get_cash_pb_v2", data)
    status, payload = c_sdk.py_qvi_get_cash_pb_v2(b"r")
    assert status == 0 and payload == data


class IntSub(int):
    pass


class Equal:
    """Equal to everything, as the reflected side of the comparison."""

    def __eq__(self, other):
        return True

    __hash__ = None


@pytest.mark.parametrize(
    "value",
    [5, 2**30 + 1, -(2**31), 2**32, 0.0, True, Equal(), object(), None],
    ids=repr,
)
@pytest.mark.parametrize("m", [m for m in KINDS if m.shape != COMMAND], ids=name)
def test_the_success_test_follows_the_global_at_the_time_of_the_call(m, value, sdk, module_globals):
    for status in (0, 1, 5, 2**30 + 1, -(2**31)):
        sdk.set_result(m.sdk, status)
        sdk.set_response(m.sdk, b"payload")
        expected = (status, b"payload" if status == value else None)
        for success in ([value, IntSub(value)] if type(value) is int else [value]):
            c_sdk.CSDK_OPERATE_SUCCESS = success
            result = invoke(m)
            assert result == expected and type(result[0]) is int, (status, success)


class Raises:
    def __eq__(self, other):
        raise ValueError("no comparison")

    __hash__ = None


class Unsure:
    def __eq__(self, other):
        return self

    def __bool__(self):
        raise ZeroDivisionError("no truth")

    __hash__ = None


@pytest.mark.parametrize("m", [m for m in KINDS if m.shape != COMMAND], ids=name)
def test_errors_of_the_success_test_come_after_the_sdk_call(m, sdk, module_globals):
    for value, error in [(Raises(), ValueError), (Unsure(), ZeroDivisionError)]:
        c_sdk.CSDK_OPERATE_SUCCESS = value
        with pytest.raises(error):
            invoke(m)
    del c_sdk.CSDK_OPERATE_SUCCESS
    with pytest.raises(NameError, match="^name 'CSDK_OPERATE_SUCCESS' is not defined$"):
        invoke(m)
    assert [c.name for c in sdk.calls()] == [m.sdk] * 3  # the SDK was called every time
    builtins.CSDK_OPERATE_SUCCESS = 4  # found in builtins when the module has none
    try:
        sdk.set_result(m.sdk, 4)
        assert invoke(m)[1] is not None
    finally:
        del builtins.CSDK_OPERATE_SUCCESS


# Calls of every shape that copies an SDK output after a success test: (wrapper, arguments).
COPYING = [(m.name, () if m.shape == FETCH else (b"req",)) for m in KINDS if m.shape != COMMAND] + [
    ("py_qvi_current", (b"SHSE.600000", b"price", True)),
    ("py_qvi_get_child_orders", (b"account", b"algo")),
    ("py_qvi_algo_order_batch", (b"req", b"name", b"params")),
    ("py_qvi_get_serv_addr", (b"serv",)),
]


@pytest.mark.parametrize("wrapper, args", COPYING, ids=[c[0] for c in COPYING])
def test_outputs_are_copied_before_a_success_test_runs_python_code(wrapper, args, module_globals):
    # Comparing with a success value whose __eq__ calls the same SDK function again, often
    # enough for the stand-in to reuse the buffers of its earlier answers: the outer call must
    # still hand back what the SDK answered it.
    call = getattr(c_sdk, wrapper)
    expected = call(*args)

    class CallsAgain:
        inside = False

        def __eq__(self, other):
            if not CallsAgain.inside:
                CallsAgain.inside = True
                for i in range(100):
                    call(*(b"%d" % i + arg.upper() if type(arg) is bytes else arg for arg in args))
                CallsAgain.inside = False
            return other == 0

        __hash__ = None

    c_sdk.CSDK_OPERATE_SUCCESS = CallsAgain()
    assert call(*args) == expected


EVENT_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_int)


@pytest.mark.parametrize("m", [m for m in KINDS if m.shape != FETCH], ids=name)
def test_a_bytearray_request_stays_put_while_the_sdk_holds_it(m, sdk):
    req = bytearray(b"pinned request")
    seen = []

    @EVENT_CALLBACK
    def on_event(event, data, length):
        try:
            req.extend(b" and more")
        except BufferError:
            seen.append("BufferError")
        req[0:1] = b"P"  # same size: allowed
        seen.append(c_sdk.py_qvi_get_cash_pb_v2(b"nested"))

    ctypes.PyDLL(standin.LIBRARY).qvi_set_event_callback_pb(on_event)
    sdk.clear_journal()
    sdk.queue_event("tick")
    sdk.deliver_in(m.sdk, 1)
    invoke(m, req)
    assert seen == ["BufferError", (0, b"qvi_get_cash_pb_v2:nested")]
    assert sdk.calls() == [sdk.Call(m.sdk, (b"pinned request",)),
                           sdk.Call("qvi_get_cash_pb_v2", (b"nested",))]
    req.extend(b"!")  # released after the call
    assert req == b"Pinned request!"


def test_no_leaks_on_any_path(sdk, module_globals):
    sdk.journal_enabled(False)
    exchange, adapted = c_sdk.py_qvi_get_cash_pb_v2, c_sdk.py_qvi_get_cash
    command, fetch = c_sdk.py_qvi_log, c_sdk.py_qvi_get_accounts
    for f in ("qvi_get_cash_pb_v2", "qvi_get_cash_pb", "qvi_get_account_info_pb"):
        sdk.set_response(f, b"x" * 100)
    for f, args, kwargs, expect in [
        (exchange, (b"req",), {}, ()),
        (exchange, (bytearray(b"req"),), {}, ()),
        (exchange, (), {"req": b"req"}, ()),
        (adapted, ("text",), {}, ()),
        (adapted, ("caf\xe9",), {}, UnicodeEncodeError),
        (exchange, (None,), {}, TypeError),
        (exchange, ("text",), {}, TypeError),
        (exchange, (b"a", b"b"), {}, TypeError),
        (exchange, (), {"request": b"a"}, TypeError),
        (exchange, (LyingBytes(b"a", 2),), {}, ValueError),
        (command, (b"req",), {}, ()),
        (command, (bytearray(b"req"),), {}, ()),
        (command, ([],), {}, TypeError),
        (fetch, (), {}, ()),
        (fetch, (b"a",), {}, TypeError),
    ]:
        assert_no_leak(f, *args, expect=expect, **kwargs)

    sdk.set_result("qvi_get_cash_pb_v2", 1000)  # a status that is not a cached small int
    assert_no_leak(exchange, b"req")  # failure
    c_sdk.CSDK_OPERATE_SUCCESS = 1000
    assert_no_leak(exchange, b"req")  # success
    sdk.set_response("qvi_get_cash_pb_v2", b"x", length=-1)
    assert_no_leak(exchange, b"req", expect=SystemError)
    for value, error in [(Raises(), ValueError), (Unsure(), ZeroDivisionError)]:
        c_sdk.CSDK_OPERATE_SUCCESS = value
        assert_no_leak(exchange, b"req", expect=error)
        assert_no_leak(fetch, expect=error)
    del c_sdk.CSDK_OPERATE_SUCCESS
    assert_no_leak(exchange, b"req", expect=NameError)
