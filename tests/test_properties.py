"""Property tests for each kind of argument, checked against what the stand-in SDK recorded:
any value of a kind reaches the SDK as the C value it stands for, or is refused before the SDK
is called. Fixed seeds and bounded examples, so that CI runs the same cases every time."""

import math
import os

import c_sdk
import qvsdk_standin as standin
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from hostile import targets

settings.register_profile(
    "c_sdk", derandomize=True, max_examples=int(os.environ.get("CSDK_EXAMPLES", "150")),
    deadline=None, database=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)
PROFILE = settings.get_profile("c_sdk")

# Every parameter of every SDK wrapper and direct callable, by kind: (target, index).
BY_KIND = {}
for _t in targets():
    if _t.sdk:
        for _i, (_, _kind) in enumerate(_t.params):
            BY_KIND.setdefault(_kind, []).append((_t, _i))


def recorded(target, index, value):
    """Calls `target` with `value` at parameter `index` (valid values elsewhere): the C value
    the SDK received there, or the exception raised (then the SDK must not have been called)."""
    standin.reset()
    args = target.valid_args()
    args[index] = value
    try:
        result = target.fn(*args)
    except Exception as exc:  # noqa: BLE001
        assert standin.calls() == [], (target, value)
        return exc
    (call,) = standin.calls()
    # The C argument of this parameter: its position among the C arguments.
    return call.args[c_position(target, index)], result


def c_position(target, index):
    name = target.params[index][0]
    c_args = getattr(target, "c_args", None)
    if target.name == "py_qvi_current":
        return {"symbols": 0, "include_call_auction": 1, "fields": 2}[name]
    if target.name == "py_qvi_algo_order_batch":
        return index
    return index if c_args is None else c_args.index(name)


def place(kind):
    return st.sampled_from(BY_KIND[kind])


@PROFILE
@given(place("int"), st.one_of(st.integers(-(2**40), 2**40), st.booleans(),
                                st.floats(allow_nan=True, allow_infinity=True)))
def test_32_bit_integers(where, value):
    target, index = where
    got = recorded(target, index, value)
    if isinstance(value, float) and math.isnan(value):
        assert isinstance(got, ValueError)
    elif isinstance(value, float) and math.isinf(value):
        assert isinstance(got, OverflowError)
    elif -(2**31) <= int(value) < 2**31:
        assert got[0] == int(value) and type(got[0]) is int  # floats truncate toward zero
    else:
        assert isinstance(got, OverflowError)


@PROFILE
@given(place("mode"), st.integers(-(2**33), 2**33))
def test_mode_is_a_checked_integer_passed_as_a_flag(where, value):
    got = recorded(*where, value)
    if -(2**31) <= value < 2**31:
        assert got[0] is (value != 0)
    else:
        assert isinstance(got, OverflowError)


@PROFILE
@given(place("real"), st.one_of(st.floats(), st.integers(-(2**1100), 2**1100)))
def test_real_numbers(where, value):
    got = recorded(*where, value)
    try:
        expected = float(value)
    except OverflowError:
        assert isinstance(got, OverflowError)
        return
    assert type(got[0]) is float
    assert got[0] == expected or (math.isnan(expected) and math.isnan(got[0]))


@PROFILE
@given(place("flag"), st.one_of(st.none(), st.booleans(), st.integers(), st.floats(),
                                 st.text("ab\x00", max_size=3), st.lists(st.integers(), max_size=2)))
def test_flags_are_truth_values(where, value):
    assert recorded(*where, value)[0] is bool(value)


@PROFILE
@given(place("text"), st.binary(max_size=64), st.booleans())
def test_byte_strings_reach_the_sdk_up_to_their_first_nul(where, data, as_bytearray):
    target, index = where
    got = recorded(target, index, bytearray(data) if as_bytearray else data)
    assert got[0] == data.split(b"\0")[0]


@PROFILE
@given(place("text"), st.text(max_size=16))
def test_text_is_encoded_as_ascii_only_where_the_decorator_stands(where, text):
    target, index = where
    got = recorded(target, index, text)
    if not target.adapted:
        assert isinstance(got, TypeError)
    elif text.isascii():
        assert got[0] == text.encode().split(b"\0")[0]
    else:
        assert isinstance(got, UnicodeEncodeError)


@PROFILE
@given(place("request"), st.binary(max_size=512), st.booleans(), st.binary(max_size=256))
def test_requests_of_any_content_and_length_and_their_responses(where, req, as_bytearray,
                                                                response):
    target, index = where
    sdk_name = None
    got = recorded(target, index, bytearray(req) if as_bytearray else req)
    assert got[0] == req  # whole, NULs included: the length travels
    (call,) = standin.calls()
    sdk_name = call.name
    standin.set_response(sdk_name, response)
    args = target.valid_args()
    args[index] = req
    result = target.fn(*args)
    assert result == (0, response) or result == 0  # exchange or command


@PROFILE
@given(st.integers(-5, 2**32), st.binary(min_size=4, max_size=4))
def test_a_request_length_is_what_len_reports_if_the_storage_holds_it(length, data):
    claims = type("Claims", (bytes,), {"__len__": lambda self: length})(data)
    standin.reset()
    try:
        result = c_sdk.py_qvi_get_orders(claims)
    except (ValueError, OverflowError) as exc:
        assert standin.calls() == []
        assert length < 0 or length > len(data)
        assert isinstance(exc, OverflowError) == (length >= 2**31)
        return
    assert 0 <= length <= len(data)
    assert result == (0, b"qvi_get_orders_pb:" + data[:length])


@PROFILE
@given(st.binary(max_size=40).filter(lambda b: b"\0" not in b), st.binary(max_size=300))
def test_events_arrive_whole(module_globals, event, payload):
    seen, reported = [], []
    c_sdk.py_qvi_set_data_callback(lambda e, d: seen.append((e, d)))
    import sys

    saved = sys.unraisablehook, sys.stderr
    sys.unraisablehook = lambda args: reported.append(args.exc_type)
    sys.stderr = type("Sink", (), {"write": lambda s, t: len(t), "flush": lambda s: None})()
    try:
        standin.queue_event(event, payload)
        c_sdk.qvi_poll()
    finally:
        sys.unraisablehook, sys.stderr = saved
    try:
        text = event.decode("utf-8")
    except UnicodeDecodeError:
        assert seen == [] and reported == [UnicodeDecodeError]
    else:
        assert seen == [(text, payload)] and reported == []


KEYS = st.one_of(st.text(max_size=8), st.integers(), st.sampled_from(["price", "data", "close",
                                                                      "symbol", "__doc__"]))


@PROFILE
@given(st.sampled_from(["QuoteItemLikeDict2", "TickLikeDict2", "BarLikeDict2",
                        "ObjectLikeDict2"]),
       st.dictionaries(KEYS, st.integers(), max_size=6), KEYS)
def test_records_read_what_the_mapping_holds(name, mapping, key):
    record = getattr(c_sdk, name)(mapping)
    assert record[key] == mapping.get(key)
    if isinstance(key, str) and key.isidentifier() and not hasattr(type(record), key):
        assert getattr(record, key) == mapping.get(key)
    record[key] = "written"
    assert mapping[key] == "written" and record.data is mapping
