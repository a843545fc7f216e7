"""c_status_ok and c_status_fail."""

import inspect

import c_sdk
import pytest

from leakcheck import assert_no_leak
from conftest import python_function


class Logger:
    def __init__(self):
        self.lines = []

    def debug(self, *args, **kwargs):
        self.lines.append((args, kwargs))
        return "ignored"


@pytest.fixture
def logger(module_globals):
    log = Logger()
    c_sdk.qvsdklogger = log
    return log


class Loose:
    """Equal to everything; its comparisons answer with non-bool objects."""

    def __eq__(self, other):
        return "equal"

    def __ne__(self, other):
        return ""


def test_docstrings_and_signatures():
    assert c_sdk.c_status_ok.__doc__ == "\n    c api 调用返回值status是否ok\n    "
    assert c_sdk.c_status_fail.__doc__ == "\n    c api 调用返回值status是否fail\n    "
    assert str(inspect.signature(c_sdk.c_status_ok)) == "(status)"
    assert str(inspect.signature(c_sdk.c_status_fail)) == "(status, cfunname='')"
    assert c_sdk.c_status_ok.__module__ == c_sdk.c_status_fail.__module__ == "c_sdk"


@pytest.mark.parametrize("status, expected", [(0, True), (1, False), (-1, False), (2**40, False),
                                              (0.0, True), ("0", False), (None, False)])
def test_status_ok(status, expected):
    assert c_sdk.c_status_ok(status) is expected
    assert c_sdk.c_status_ok(status=status) is expected


def test_results_are_the_comparisons_own(logger, sdk):
    assert c_sdk.c_status_ok(Loose()) == "equal"
    assert c_sdk.c_status_fail(Loose(), "fn") == ""  # false: nothing logged
    assert logger.lines == [] and sdk.calls() == []


def test_success_global_is_looked_up_at_each_call(module_globals, logger):
    c_sdk.CSDK_OPERATE_SUCCESS = 7
    assert c_sdk.c_status_ok(7) is True and c_sdk.c_status_ok(0) is False
    assert c_sdk.c_status_fail(7) is False and c_sdk.c_status_fail(0) is True
    assert len(logger.lines) == 1


@pytest.mark.parametrize(
    "args, kwargs, line",
    [
        ((5,), {}, "invoke c fun error code=5, error info=no such order"),
        ((5, ""), {}, "invoke c fun error code=5, error info=no such order"),
        ((5, None), {}, "invoke c fun error code=5, error info=no such order"),
        ((5, 0), {}, "invoke c fun error code=5, error info=no such order"),
        ((5, "qvi_place_order_pb"), {},
         "invoke c fun=qvi_place_order_pb error code=5, error info=no such order"),
        ((), {"cfunname": b"qvi_x", "status": -2},
         "invoke c fun=b'qvi_x' error code=-2, error info=no such order"),
        ((True,), {}, "invoke c fun error code=True, error info=no such order"),
    ],
)
def test_failure_logs_one_debug_line(logger, sdk, args, kwargs, line):
    sdk.set_text("qvi_strerror", "no such order".encode())
    assert c_sdk.c_status_fail(*args, **kwargs) is True
    assert logger.lines == [((line,), {})]
    status = kwargs.get("status", args[0] if args else None)
    assert sdk.calls() == [sdk.Call("qvi_strerror", (int(status),))]


def test_error_text_is_decoded_as_utf8(logger, sdk):
    sdk.set_text("qvi_strerror", "委托不存在".encode())
    c_sdk.c_status_fail(3, "下单")
    assert logger.lines[0][0] == ("invoke c fun=下单 error code=3, error info=委托不存在",)


def test_success_never_reaches_the_sdk_or_logger(logger, sdk):
    assert c_sdk.c_status_fail(0) is False
    assert c_sdk.c_status_fail(0.0, "fn") is False  # any status equal to the success value
    assert logger.lines == [] and sdk.calls() == []


@pytest.mark.parametrize(
    "status, text, exc",
    [
        (2**31, b"x", OverflowError),  # converted for the SDK only when failing
        (object(), b"x", TypeError),
        (3, b"\xff\xfe", UnicodeDecodeError),
    ],
)
def test_failures_propagate_before_logging(logger, sdk, status, text, exc):
    sdk.set_text("qvi_strerror", text)
    with pytest.raises(exc):
        c_sdk.c_status_fail(status, "fn")
    assert logger.lines == []


@pytest.mark.parametrize("name", ["CSDK_OPERATE_SUCCESS", "py_qvi_strerror", "qvsdklogger"])
def test_missing_globals_raise_name_error(module_globals, name):
    delattr(c_sdk, name)
    with pytest.raises(NameError, match=f"^name '{name}' is not defined$"):
        c_sdk.c_status_fail(1)


def test_logger_without_debug_and_raising_debug(module_globals):
    c_sdk.qvsdklogger = object()
    with pytest.raises(AttributeError):
        c_sdk.c_status_fail(1)

    class Raising:
        def debug(self, line):
            raise RuntimeError(line)

    c_sdk.qvsdklogger = Raising()
    with pytest.raises(RuntimeError, match="error code=1"):
        c_sdk.c_status_fail(1)


def test_rebound_strerror_is_used(module_globals, logger):
    c_sdk.py_qvi_strerror = lambda status: bytearray(b"from the host %d" % status)
    c_sdk.c_status_fail(4)
    assert logger.lines[0][0] == ("invoke c fun error code=4, error info=from the host 4",)


@pytest.mark.parametrize(
    "fn, params",
    [(c_sdk.c_status_ok, ["status"]), (c_sdk.c_status_fail, ["status", "cfunname=''"])],
)
@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((1, 2, 3), {}), ((1,), {"status": 1}), ((), {"other": 1}),
     ((), {"cfunname": "x"})],
)
def test_argument_errors_read_as_for_a_python_function(fn, params, args, kwargs):
    reference = python_function(fn.__name__, params)
    with pytest.raises(TypeError) as expected:
        reference(*args, **kwargs)
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    assert str(info.value) == str(expected.value)


@pytest.mark.parametrize("args, expect", [((1, "fn"), ()), ((0,), ()), ((2**31,), OverflowError)])
def test_no_leaks(module_globals, args, expect):
    c_sdk.qvsdklogger = type("Quiet", (), {"debug": staticmethod(lambda line: None)})
    assert_no_leak(c_sdk.c_status_fail, *args, expect=expect)
    assert_no_leak(c_sdk.c_status_ok, args[0])


class EqualAndUnequal:
    """A success value whose `==` and `!=` both give `outcome`: a path that compares with `==`
    and one that compares with `!=` see opposite verdicts, where an int lets them agree."""

    def __init__(self, outcome):
        self.outcome = outcome

    def __eq__(self, other):
        return self.outcome

    def __ne__(self, other):
        return self.outcome

    __hash__ = None


def comparing_paths():
    """Every path that compares a status with CSDK_OPERATE_SUCCESS: its id, the comparison it
    makes, and a call that tells whether it took the status for success."""
    from members import COMMAND, FETCH, MEMBERS
    from test_setup import FUNCTIONS, call, sample

    for m in MEMBERS:
        if m.shape == COMMAND:
            continue  # returns the status without comparing it
        f = getattr(c_sdk, m.name)
        yield m.name, "==", (lambda f=f, m=m: (f() if m.shape == FETCH else f(b"r"))[1] is not None)
    for f in FUNCTIONS:
        if f.result == "reply":
            yield f.name, "==", (lambda f=f: call(f, sample(f))[1] is not None)
        elif f.result == "serv":  # None when the status differs, else the address
            yield f.name, "!=", (lambda f=f: call(f, sample(f)) is not None)
    yield "c_status_ok", "==", lambda: c_sdk.c_status_ok(0) is True
    yield "c_status_fail", "!=", lambda: c_sdk.c_status_fail(0, "fn") is False


PATHS = list(comparing_paths())


@pytest.mark.parametrize("outcome", [False, True])
@pytest.mark.parametrize("name, op, succeeded", PATHS, ids=[p[0] for p in PATHS])
def test_each_path_compares_with_its_own_operator(module_globals, logger, name, op, succeeded,
                                                  outcome):
    c_sdk.CSDK_OPERATE_SUCCESS = EqualAndUnequal(outcome)
    assert succeeded() is (outcome if op == "==" else not outcome)
