"""The wrappers taking individual values: connection and credentials, backtest configuration,
subscription and snapshots, smart re-ordering and algorithmic batches.

Every test runs over the table below, written from what each function must do, not from the
C++ rows: the Python parameters and their kinds, the SDK function, the C arguments in the order
of the C call, the kind of result, and whether it is bound through adapt_to_python3.
"""

import pytest

import c_sdk
import qvsdk_standin as standin
from conftest import LyingBytes, python_function
from leakcheck import assert_no_leak

NULL = "NULL"  # a C argument that is always a null pointer


class Fn:
    def __init__(self, name, params, sdk, result, decorated, c_args=None):
        self.name = name
        self.params = [tuple(p.split(":")) for p in params.split()]  # (name, kind)
        self.kinds = dict(self.params)
        self.sdk = sdk
        self.result = result  # none, int, text, reply (status, payload), serv (bytes or None)
        self.decorated = decorated
        self.c_args = c_args.split() if c_args else [p for p, _ in self.params]
        self.order = [a for a in self.c_args if a != NULL]  # the order of conversion

    def __repr__(self):
        return self.name

    @property
    def fn(self):
        return getattr(c_sdk, self.name)


# Kinds: text (byte string), int (32-bit), real (double), flag (one-byte bool), request
# (serialised request), mode (a 32-bit integer that the SDK receives as `!= 0`).
FUNCTIONS = [
    Fn("py_qvi_set_token", "token:text", "qvi_set_token", "int", True),
    Fn("py_qvi_set_apitoken", "token:text", "qvi_set_apitoken", "none", True),
    Fn("py_qvi_get_encrypted_token", "", "qvi_get_encrypted_token", "text", True),
    Fn("py_qvi_get_orgcode", "", "qvi_get_orgcode", "text", True),
    Fn("py_qvi_set_serv_addr", "addr:text", "qvi_set_serv_addr", "none", True),
    Fn("py_qvi_set_serv_addr_v5", "addr:text orgcode:text site_id:text",
       "qvi_set_serv_addr_v5", "none", False),
    Fn("py_qvi_get_serv_addr", "serv_id:text", "qvi_get_serv_addr", "serv", True),
    Fn("py_qvi_set_account_id", "account_ids:text", "qvi_set_account_id", "none", False),
    Fn("py_qvi_set_strategy_id", "strategy_id:text", "qvi_set_strategy_id", "none", True),
    Fn("py_qvi_set_mode_consistency", "mode:mode", "qvi_set_mode_consistency", "none", True),
    Fn("py_qvi_set_version", "sdk_version:text sdk_lang:text", "qvi_set_version", "none", True,
       c_args="sdk_version sdk_lang NULL NULL"),
    Fn("py_qvi_set_mfp", "mfp:text", "qvi_set_mfp", "none", True),
    Fn("py_qvi_set_ctp_md_info", "front_addresses:text user_name:text password:text",
       "qvi_set_ctp_md_info", "none", True),
    Fn("py_qvi_use_dsproxy", "", "qvi_use_dsproxy", "int", False),
    Fn("py_qvi_set_simtrade_only", "", "qvi_set_simtrade_only", "none", False),
    Fn("py_qvi_set_max_wait_time", "max_wait_time:int", "qvi_set_max_wait_time", "none", False),
    Fn("py_qvi_set_backtest_config",
       "start_time:text end_time:text initial_cash:real transaction_ratio:real "
       "commission_ratio:real commission_unit:real slippage_ratio:real "
       "option_float_margin_ratio1:real option_float_margin_ratio2:real adjust:int "
       "match_mode:int check_cache:int",
       "qvi_set_backtest_config", "int", True),
    Fn("py_qvi_set_backtest_intraday", "req:int", "qvi_set_backtest_intraday", "none", True),
    Fn("py_qvi_set_backtest_threadnum", "n:int", "qvi_set_backtest_threadnum", "none", False),
    Fn("py_qvi_subscribe", "symbols:text frequency:text unsubscribe_previous:flag",
       "qvi_subscribe", "int", True),
    Fn("py_qvi_unsubscribe", "symbols:text frequency:text", "qvi_unsubscribe", "int", True),
    Fn("py_qvi_current", "symbols:text fields:text include_call_auction:flag",
       "qvi_current_pb", "reply", True, c_args="symbols include_call_auction fields"),
    Fn("py_qvi_smart_reorder",
       "symbol:text price:real volume:int side:int order_type:int position_effect:int "
       "repeat_n:int max_price_offset:int time_out:int time_wait:int account:text",
       "qvi_smart_reorder", "int", True),
    Fn("py_qvi_smart_reorder_cancel", "reorder_id:int", "qvi_smart_reorder_cancel", "int", True),
    Fn("py_qvi_algo_order_batch", "req:request algo_name:text algo_params:text",
       "qvi_algo_order_batch_pb", "reply", True),
    Fn("py_qvi_get_child_orders", "account_id:text algo_id:text", "qvi_get_child_orders_pb",
       "reply", True),
]
PARAMS = [(f, p) for f in FUNCTIONS for p, _ in f.params]
WITH_PARAMS = [f for f in FUNCTIONS if f.params]


def sample(f):
    """Distinct valid arguments, by parameter name."""
    values = {}
    for i, (p, kind) in enumerate(f.params):
        values[p] = {
            "text": p.encode(),
            "int": 100 + i,
            "mode": 2,
            "real": i + 0.25,
            "flag": True,
            "request": b"r\0" + p.encode(),
        }[kind]
    return values


def c_value(kind, value):
    """What the SDK receives for a valid argument (as the journal records it)."""
    if kind in ("text", "request"):
        return bytes(value)
    if kind == "int":
        return int(value)
    if kind == "real":
        return float(value)
    return bool(int(value) != 0) if kind == "mode" else bool(value)


def expected_call(f, values):
    args = tuple(None if a == NULL else c_value(f.kinds[a], values[a]) for a in f.c_args)
    return standin.Call(f.sdk, args)


def call(f, values):
    return f.fn(*[values[p] for p, _ in f.params])


@pytest.mark.parametrize("f", FUNCTIONS, ids=repr)
def test_reaches_its_sdk_function_with_the_c_arguments_in_order(f):
    values = sample(f)
    result = call(f, values)
    assert standin.calls() == [expected_call(f, values)]
    if f.result == "none":
        assert result is None


@pytest.mark.parametrize("f", WITH_PARAMS, ids=repr)
def test_keywords_in_any_order(f):
    values = sample(f)
    f.fn(**dict(reversed(values.items())))
    f.fn(**values)
    assert standin.calls() == [expected_call(f, values)] * 2


@pytest.mark.parametrize("f", FUNCTIONS, ids=repr)
def test_bound_through_the_decorator_or_not(f):
    assert f.fn.__name__ == ("wrapper" if f.decorated else f.name)
    texts = [p for p, kind in f.params if kind in ("text", "request")]
    if not texts:
        return
    values = sample(f)
    as_str = dict(values, **{p: values[p].decode() for p in texts})
    if f.decorated:
        call(f, as_str)
        assert standin.calls() == [expected_call(f, values)]
        with pytest.raises(UnicodeEncodeError):
            call(f, dict(values, **{texts[0]: "\u00e9"}))
    else:
        with pytest.raises(TypeError, match="^expected bytes, str found$"):
            call(f, as_str)
    assert len(standin.calls()) == int(f.decorated)


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class FloatLike:
    def __float__(self):
        return 2.5


class IndexLike:
    def __index__(self):
        return 4


class Truth:
    def __init__(self, value, error=None):
        self.value, self.error = value, error

    def __bool__(self):
        if self.error is not None:
            raise self.error(self.value)  # a new exception each time (a reused one grows)
        return self.value


# Arguments each kind accepts, and what the SDK receives for them.
ACCEPTED = {
    "text": [(bytearray(b"ba"), b"ba"), (bytearray(), b""), (type("B", (bytes,), {})(b"s"), b"s"),
             (b"", b"")],
    "int": [(1.9, 1), (-1.9, -1), (True, 1), (2**31 - 1, 2**31 - 1), (-(2**31), -(2**31)),
            (IntLike(-5), -5)],
    "real": [(3, 3.0), (True, 1.0), (FloatLike(), 2.5), (IndexLike(), 4.0), (-0.5, -0.5)],
    "flag": [(None, False), (0, False), (2, True), ([], False), ([0], True), (Truth(True), True)],
    "mode": [(2, True), (0, False), (1.9, True), (0.5, False), (-1, True), (2**31 - 1, True)],
    "request": [(b"", b""), (bytearray(b"a\0b"), b"a\0b"), (bytearray(), b""),
                (LyingBytes(b"abc", 2), b"ab")],
}

# Arguments each kind refuses: the exception and its exact text (None: any text).
REJECTED = {
    "text": [(1, TypeError, "expected bytes, int found"),
             (None, TypeError, "expected bytes, NoneType found"),
             (["a"], TypeError, "expected bytes, list found"),
             (memoryview(b"a"), TypeError, "expected bytes, memoryview found")],
    "int": [(None, TypeError, "an integer is required"),
            (b"1", TypeError, "an integer is required"),
            ("1", TypeError, "an integer is required"),
            (IntLike(1.5), TypeError, "__int__ returned non-int (type float)"),
            (2**31, OverflowError, None), (-(2**31) - 1, OverflowError, None),
            (1e10, OverflowError, None), (float("nan"), ValueError, None)],
    "real": [(None, TypeError, "must be real number, not NoneType"),
             (b"1", TypeError, "must be real number, not bytes"),
             (2**1024, OverflowError, None)],
    "flag": [(Truth("no truth", ZeroDivisionError), ZeroDivisionError, "no truth")],
    "request": [(None, TypeError, "object of type 'NoneType' has no len()"),
                ([b"a"], TypeError, "expected bytes, list found"),
                (memoryview(b"a"), TypeError, "expected bytes, memoryview found"),
                # A length the C int cannot carry, or one beyond the storage, never reaches it.
                (LyingBytes(b"ab", 2**31), OverflowError, None), (LyingBytes(b"ab", 3), ValueError, None)],
}
REJECTED["mode"] = REJECTED["int"]


@pytest.mark.parametrize("f, param", PARAMS, ids=repr)
def test_each_argument_converts_as_its_kind(f, param):
    kind = f.kinds[param]
    for value, received in ACCEPTED[kind]:
        standin.reset()
        values = dict(sample(f), **{param: value})
        call(f, values)
        (got,) = standin.calls()
        assert got == expected_call(f, dict(values, **{param: received}))
        assert [type(a) for a in got.args] == [type(a) for a in expected_call(f, sample(f)).args]
    standin.reset()
    for value, exc, text in REJECTED[kind]:
        with pytest.raises(exc) as info:
            call(f, dict(sample(f), **{param: value}))
        if text is not None:
            assert str(info.value) == text
    assert standin.calls() == []


def failing(kind, name):
    """An argument of `kind` that fails to convert with an error naming `name`."""
    named = type(name, (), {})
    if kind in ("text", "real", "request"):
        return named()
    if kind in ("int", "mode"):
        return IntLike(named())
    return Truth(name, TypeError)


@pytest.mark.parametrize("f", WITH_PARAMS, ids=repr)
def test_first_failure_in_conversion_order_wins(f):
    # Every argument from the k-th converted on fails: the k-th one's error must come out.
    for k, first_bad in enumerate(f.order):
        values = dict(sample(f))
        for p in f.order[k:]:
            values[p] = failing(f.kinds[p], f"bad_{p}")
        with pytest.raises(TypeError, match=rf"\bbad_{first_bad}\b"):
            call(f, values)
    assert standin.calls() == []


# Results by kind: (status, what the SDK hands back, expected result).
RESULTS = {
    "int": [(-7, None, -7), (2**31 - 1, None, 2**31 - 1), (-(2**31), None, -(2**31))],
    "text": [(None, b"text", b"text"), (None, b"cut\0off", b"cut"), (None, None, b"")],
    "reply": [(0, b"a\0b", (0, b"a\0b")), (0, b"", (0, b"")), (0, None, (0, b"")),
              (3, b"ignored", (3, None)), (-1, None, (-1, None))],
    "serv": [(0, b"host:1", b"host:1"), (0, None, b""), (0, b"", b""), (2, b"ignored", None)],
}
RESULT_CASES = [(f, case) for f in FUNCTIONS for case in RESULTS.get(f.result, [])]


@pytest.mark.parametrize("f, case", RESULT_CASES, ids=repr)
def test_results_pass_the_sdk_values_through(f, case):
    status, answer, expected = case
    if status is not None:
        standin.set_result(f.sdk, status)
    if f.result == "reply":
        standin.set_response(f.sdk, answer)
    elif f.result in ("text", "serv"):
        standin.set_text(f.sdk, answer)
    result = call(f, sample(f))
    assert result == expected
    if isinstance(result, tuple):
        assert type(result[0]) is int


@pytest.mark.parametrize("f", [f for f in FUNCTIONS if f.result in ("reply", "serv")], ids=repr)
def test_success_follows_the_global_at_call_time(f, module_globals):
    c_sdk.CSDK_OPERATE_SUCCESS = 5
    payloads = []
    for status in (5, 0):
        standin.set_result(f.sdk, status)
        result = call(f, sample(f))
        payloads.append(result[1] if f.result == "reply" else result)
    assert isinstance(payloads[0], bytes) and payloads[1] is None
    del c_sdk.CSDK_OPERATE_SUCCESS
    with pytest.raises(NameError, match="^name 'CSDK_OPERATE_SUCCESS' is not defined$"):
        call(f, sample(f))
    assert len(standin.calls()) == 3  # the SDK was called every time


@pytest.mark.parametrize("f", [f for f in FUNCTIONS if f.result == "int"], ids=repr)
def test_statuses_are_returned_without_a_comparison(f, module_globals):
    del c_sdk.CSDK_OPERATE_SUCCESS
    standin.set_result(f.sdk, 4)
    assert call(f, sample(f)) == 4


def reference(f):
    return python_function(f.name, [p for p, _ in f.params])


def count_errors(f):
    values = list(sample(f).values())
    names = [p for p, _ in f.params]
    cases = [(values + [1], {}), (values, {"other": 1})]
    if names:
        cases += [(values[:-1], {}), ((), {}), (values, {names[0]: values[0]}),
                  ((), dict(zip(names[1:], values[1:])))]
    return cases


@pytest.mark.parametrize("f", FUNCTIONS, ids=repr)
def test_argument_count_errors_read_as_for_a_python_function(f):
    for args, kwargs in count_errors(f):
        with pytest.raises(TypeError) as expected:
            reference(f)(*args, **kwargs)
        with pytest.raises(TypeError) as info:
            f.fn(*args, **kwargs)
        assert str(info.value) == str(expected.value)
    assert standin.calls() == []


@pytest.mark.parametrize("f", FUNCTIONS, ids=repr)
def test_no_leak_on_success_or_failure(f):
    standin.journal_enabled(False)
    values = {p: bytearray(v) if isinstance(v, bytes) else v for p, v in sample(f).items()}
    assert_no_leak(f.fn, **values)
    if f.params:
        last = f.order[-1]
        assert_no_leak(f.fn, expect=TypeError,
                       **dict(values, **{last: failing(f.kinds[last], "bad")}))
    else:
        assert_no_leak(f.fn, 1, expect=TypeError)
    if f.result in ("reply", "serv"):
        standin.set_result(f.sdk, 1)
        assert_no_leak(f.fn, **values)
