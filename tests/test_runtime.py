"""The lifecycle, timer and error-text wrappers, the message bus, and the SDK functions exposed
under their own names."""

import inspect

import c_sdk
import pytest

from conftest import run_python
from leakcheck import assert_no_leak

# (function, arguments, the SDK function, its recorded C arguments, programmed result, returned)
CALLS = [
    ("py_qvi_run", (), "qvi_run", (), 3, 3),
    ("py_qvi_stop", (), "qvi_stop", (), -1, -1),
    ("py_qvi_get_stop_error_code", (), "qvi_get_stop_error_code", (), 1005, 1005),
    ("py_qvi_set_timer", (250,), "qvi_set_timer", (250,), None, None),
    ("py_qvi_set_timer", (2.9,), "qvi_set_timer", (2,), None, None),
    ("py_qvi_user_timer", (1000, 5), "qvi_user_timer", (1000, 5), 17, 17),
    ("py_qvi_user_timer_stop", (True,), "qvi_user_timer_stop", (1,), None, None),
    ("py_qvi_schedule", ("1d", b"09:31:00"), "qvi_schedule", (b"1d", b"09:31:00"), 2, 2),
    ("py_qvi_schedule", (bytearray(b"1w"), "x"), "qvi_schedule", (b"1w", b"x"), 0, 0),
    ("py_qvi_strerror", (-2**31,), "qvi_strerror", (-2**31,), b"bad\xffcode", b"bad\xffcode"),
    ("py_qvi_strerror", (7,), "qvi_strerror", (7,), None, b""),
    ("py_qvi_get_ext_errormsg", (), "qvi_get_ext_errormsg", (), b"timeout", b"timeout"),
    ("py_qvi_set_bus_info", ("tcp://bus:4222", b"u", "p"), "qvi_set_bus_info",
     (b"tcp://bus:4222", b"u", b"p"), None, None),
    ("py_qvi_set_bus_secure", (1, "ca", b"cert", "key", None), "qvi_set_bus_secure",
     (1, b"ca", b"cert", b"key", False), None, None),
    ("py_qvi_set_bus_secure", (0, "", "", "", [0]), "qvi_set_bus_secure",
     (0, b"", b"", b"", True), None, None),
    ("py_qvi_add_bus_topic", ("orders",), "qvi_add_bus_topic", (b"orders",), None, None),
    ("py_qvi_send_msg_to_bus", ("orders", b"a\0b"), "qvi_send_msg_to_bus", (b"orders", b"a"),
     9, 9),
    # the fourteen exposed under their own names
    ("qvi_add_bus_topic", (b"t",), "qvi_add_bus_topic", (b"t",), None, None),
    ("qvi_get_c_version", (), "qvi_get_c_version", (), b"3.0.1", b"3.0.1"),
    ("qvi_get_encrypted_token", (), "qvi_get_encrypted_token", (), None, b""),
    ("qvi_get_ext_errormsg", (), "qvi_get_ext_errormsg", (), b"e", b"e"),
    ("qvi_get_orgcode", (), "qvi_get_orgcode", (), b"org", b"org"),
    ("qvi_init", (), "qvi_init", (), -4, -4),
    ("qvi_now", (), "qvi_now", (), 2**40 + 3, 2**40 + 3),
    ("qvi_now", (), "qvi_now", (), -2**63, -2**63),
    ("qvi_now_plus", (), "qvi_now_plus", (), 1.25e9, 1.25e9),
    ("qvi_poll", (), "qvi_poll", (), 6, 6),
    ("qvi_send_msg_to_bus", (b"t", bytearray(b"m\0n")), "qvi_send_msg_to_bus", (b"t", b"m"),
     1, 1),
    ("qvi_set_bus_info", (b"a", b"b", bytearray(b"c")), "qvi_set_bus_info", (b"a", b"b", b"c"),
     None, None),
    ("qvi_set_bus_secure", (2, b"a", b"b", b"c", "yes"), "qvi_set_bus_secure",
     (2, b"a", b"b", b"c", True), None, None),
    ("qvi_set_mode", (True,), "qvi_set_mode", (1,), None, None),
    ("qvi_strerror", (-1,), "qvi_strerror", (-1,), b"oops", b"oops"),
]

# The parameter names, which callers may use as keywords.
PARAMS = {
    "py_qvi_set_timer": ["interval"],
    "py_qvi_user_timer": ["period", "start_delay"],
    "py_qvi_user_timer_stop": ["timer_id"],
    "py_qvi_schedule": ["date_rule", "time_rule"],
    "py_qvi_strerror": ["errorno"],
    "py_qvi_set_bus_info": ["server_addr", "user_name", "password"],
    "py_qvi_set_bus_secure": ["in_mode", "tlsca", "tlscert", "tlskey", "skip_verify"],
    "py_qvi_add_bus_topic": ["topic"],
    "py_qvi_send_msg_to_bus": ["topic", "msg"],
}
for _name in ("add_bus_topic", "strerror", "send_msg_to_bus", "set_bus_info", "set_bus_secure"):
    PARAMS["qvi_" + _name] = PARAMS["py_qvi_" + _name]
PARAMS["qvi_set_mode"] = ["mode"]


@pytest.mark.parametrize("name, args, sdk_name, c_args, programmed, returned", CALLS)
def test_calls_reach_the_sdk(sdk, name, args, sdk_name, c_args, programmed, returned):
    if programmed is not None or sdk_name in ("qvi_strerror", "qvi_get_encrypted_token"):
        sdk.set_result(sdk_name, programmed)
    result = getattr(c_sdk, name)(*args)
    assert result == returned and type(result) is type(returned)
    assert sdk.calls() == [sdk.Call(sdk_name, c_args)]
    if args:  # the same call by keyword
        sdk.clear_journal()
        getattr(c_sdk, name)(**dict(zip(PARAMS[name], args, strict=True)))
        assert sdk.calls() == [sdk.Call(sdk_name, c_args)]


class Unsure:
    def __bool__(self):
        raise ZeroDivisionError


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: c_sdk.py_qvi_set_timer("5"), TypeError, "^an integer is required$"),
        (lambda: c_sdk.py_qvi_user_timer(2**31, 0), OverflowError, None),
        (lambda: c_sdk.py_qvi_user_timer(0, -2**31 - 1), OverflowError, None),
        (lambda: c_sdk.py_qvi_user_timer_stop("1"), TypeError, "^an integer is required$"),
        (lambda: c_sdk.py_qvi_schedule(1, 2), TypeError, "expected bytes, int found"),
        (lambda: c_sdk.py_qvi_schedule("每日", "x"), UnicodeEncodeError, None),
        (lambda: c_sdk.py_qvi_strerror(None), TypeError, "^an integer is required$"),
        (lambda: c_sdk.py_qvi_run(1), TypeError,
         r"^py_qvi_run\(\) takes 0 positional arguments but 1 was given$"),
        (lambda: c_sdk.py_qvi_set_bus_secure(1, "a", "b", 3, True), TypeError, "expected bytes"),
        (lambda: c_sdk.py_qvi_set_bus_secure(1, "a", "b", "c", Unsure()), ZeroDivisionError,
         None),
        (lambda: c_sdk.qvi_set_bus_info("a", "b", "c"), TypeError, "expected bytes, str found"),
        (lambda: c_sdk.qvi_set_mode(2**31), OverflowError, None),
        (lambda: c_sdk.qvi_set_mode(1.5j), TypeError, "^an integer is required$"),
        (lambda: c_sdk.qvi_poll(1), TypeError,
         r"^wrap\(\) takes 0 positional arguments but 1 was given$"),
        (lambda: c_sdk.qvi_strerror(errno=1), TypeError,
         r"^wrap\(\) got an unexpected keyword argument 'errno'$"),
        (lambda: c_sdk.qvi_send_msg_to_bus(b"t"), TypeError,
         r"^wrap\(\) missing 1 required positional argument: 'msg'$"),
        (lambda: c_sdk.qvi_set_bus_secure(1, b"", b"", b"", Unsure()), ZeroDivisionError, None),
    ],
)
def test_conversion_errors_stop_before_the_sdk(sdk, call, exc, message):
    with pytest.raises(exc, match=message):
        call()
    assert sdk.calls() == []


DIRECT = {
    "qvi_add_bus_topic": "wrap(topic: 'const char *') -> 'void'",
    "qvi_get_c_version": "wrap() -> 'const char *'",
    "qvi_get_encrypted_token": "wrap() -> 'const char *'",
    "qvi_get_ext_errormsg": "wrap() -> 'const char *'",
    "qvi_get_orgcode": "wrap() -> 'const char *'",
    "qvi_init": "wrap() -> 'int'",
    "qvi_now": "wrap() -> 'long long'",
    "qvi_now_plus": "wrap() -> float",
    "qvi_poll": "wrap() -> 'int'",
    "qvi_send_msg_to_bus": "wrap(topic: 'const char *', msg: 'const char *') -> 'int'",
    "qvi_set_bus_info": "wrap(server_addr: 'const char *', user_name: 'const char *', "
                        "password: 'const char *') -> 'void'",
    "qvi_set_bus_secure": "wrap(in_mode: 'int', tlsca: 'const char *', tlscert: 'const char *', "
                          "tlskey: 'const char *', skip_verify: 'bool') -> 'void'",
    "qvi_set_mode": "wrap(mode: 'int') -> 'void'",
    "qvi_strerror": "wrap(errorno: 'int') -> 'const char *'",
}


@pytest.mark.parametrize("name, doc", DIRECT.items())
def test_direct_callables_describe_their_c_signature(name, doc):
    fn = getattr(c_sdk, name)
    assert fn.__name__ == "wrap" and fn.__doc__ == doc and fn.__module__ == "c_sdk"
    assert list(inspect.signature(fn).parameters) == PARAMS.get(name, [])


def test_direct_callables_are_distinct_and_bound_last():
    objects = [getattr(c_sdk, name) for name in DIRECT]
    assert len({id(o) for o in objects}) == len(DIRECT)
    for name in ("add_bus_topic", "strerror", "get_ext_errormsg", "send_msg_to_bus",
                 "set_bus_info", "set_bus_secure"):
        assert getattr(c_sdk, "qvi_" + name) is not getattr(c_sdk, "py_qvi_" + name)
    proc = run_python("import c_sdk; print(*vars(c_sdk))")  # in the order of binding
    assert proc.stdout.split()[-len(DIRECT):] == list(DIRECT)


@pytest.mark.parametrize(
    "fn, args, expect",
    [(c_sdk.py_qvi_strerror, (3,), ()), (c_sdk.qvi_strerror, (3,), ()),
     (c_sdk.py_qvi_schedule, ("1d", bytearray(b"x")), ()),
     (c_sdk.qvi_set_bus_secure, (1, b"a", bytearray(b"b"), b"c", True), ()),
     (c_sdk.py_qvi_user_timer, (2**31, 0), OverflowError),
     (c_sdk.qvi_send_msg_to_bus, (b"t", "m"), TypeError)],
)
def test_no_leaks(sdk, fn, args, expect):
    sdk.journal_enabled(False)
    assert_no_leak(fn, *args, expect=expect)
