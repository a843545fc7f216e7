# cython: language_level=3, binding=False, boundscheck=False, wraparound=False
# distutils: language = c++
"""A Cython peer: the handful of c_sdk functions the benchmarks time, written the way a careful
Cython author would, with the same behaviour, over the same stand-in SDK.

    py_qvi_get_cash_pb_v2(req)      an exchange call, bound as it is
    py_qvi_get_cash(req)            an exchange call, bound through adapt_to_python3
    py_qvi_set_backtest_config(...) twelve arguments, through adapt_to_python3
    py_qvi_current(...)             through adapt_to_python3
    py_qvi_set_data_callback(f)     the event bridge
    TickLikeDict2                   the tick record, an ordinary class over a dict

`binding=False` makes the module functions the interpreter's own builtin functions, whose call
sites the interpreter specializes (a cyfunction's are not): the fastest Cython has to offer.
Benchmark use only; never part of c_sdk.
"""

cimport cython
from cpython.buffer cimport PyObject_GetBuffer, PyBuffer_Release, PyBUF_SIMPLE
from cpython.bytearray cimport PyByteArray_Check
from cpython.bytes cimport PyBytes_AS_STRING, PyBytes_Check, PyBytes_FromStringAndSize
from cpython.object cimport PyObject
from cpython.unicode cimport PyUnicode_DecodeUTF8
from libc.limits cimport INT_MAX
from libc.string cimport strlen

from qv.constant import CSDK_OPERATE_SUCCESS

cdef extern from "qvsdk/qvsdk.h":
    ctypedef void (*qvi_event_callback)(const char *event, const char *data, int len)
    int qvi_get_cash_pb_v2(const char *req, int req_len, char **res, int *res_len)
    int qvi_get_cash_pb(const char *req, int req_len, char **res, int *res_len)
    int qvi_set_backtest_config(const char *start_time, const char *end_time,
                                double initial_cash, double transaction_ratio,
                                double commission_ratio, double commission_unit,
                                double slippage_ratio, double option_float_margin_ratio1,
                                double option_float_margin_ratio2, int adjust, int match_mode,
                                int check_cache)
    int qvi_current_pb(const char *symbols, bint include_call_auction, const char *fields,
                       char **res, int *res_len)
    void qvi_set_event_callback_pb(qvi_event_callback callback)

cdef extern from "Python.h":
    void PyErr_SetRaisedException(object exc)
    void PyErr_PrintEx(int set_sys_last_vars)
    void PyErr_WriteUnraisable(object obj)

ctypedef int (*exchange_fn)(const char *, int, char **, int *)

IS_PY2 = False
IS_PY3 = True


cdef inline object reply(int status, char *res, int res_len):
    cdef object st = status
    if st == CSDK_OPERATE_SUCCESS:
        return (st, PyBytes_FromStringAndSize(res, res_len))
    return (st, None)


cdef object exchange(exchange_fn fn, object req):
    cdef Py_ssize_t n = len(req)
    cdef char *res = NULL
    cdef int res_len = 0
    cdef int status
    cdef Py_buffer view
    if n > INT_MAX:
        raise OverflowError("request too long")
    if PyBytes_Check(req):
        status = fn(PyBytes_AS_STRING(req), <int>n, &res, &res_len)
    elif PyByteArray_Check(req):
        # Pinned while the SDK holds its address.
        PyObject_GetBuffer(req, &view, PyBUF_SIMPLE)
        try:
            status = fn(<const char *>view.buf, <int>n, &res, &res_len)
        finally:
            PyBuffer_Release(&view)
    else:
        raise TypeError(f"expected bytes, {type(req).__name__} found")
    return reply(status, res, res_len)


cdef const char *text(object o) except NULL:
    if PyBytes_Check(o):
        return PyBytes_AS_STRING(o)
    if PyByteArray_Check(o):
        return <bytearray>o
    raise TypeError(f"expected bytes, {type(o).__name__} found")


cdef int to_int32(object o) except? -1:
    return o  # Cython's conversion: int-like objects, OverflowError outside the C int


def adapt_to_python3(func):
    @cython.binding(True)
    def wrapper(*args, **kwargs):
        if IS_PY2:
            return func(*args, **kwargs)
        for a in args:
            if isinstance(a, str):
                args = tuple([x.encode("ascii") if isinstance(x, str) else x for x in args])
                break
        if kwargs:
            for k, v in kwargs.items():
                if isinstance(v, str):
                    kwargs[k] = v.encode("ascii")
        return func(*args, **kwargs)
    return wrapper


def py_qvi_get_cash_pb_v2(req):
    return exchange(qvi_get_cash_pb_v2, req)


def _py_qvi_get_cash(req):
    return exchange(qvi_get_cash_pb, req)


def _py_qvi_set_backtest_config(start_time, end_time, double initial_cash,
                                double transaction_ratio, double commission_ratio,
                                double commission_unit, double slippage_ratio,
                                double option_float_margin_ratio1,
                                double option_float_margin_ratio2, adjust, match_mode,
                                check_cache):
    return qvi_set_backtest_config(text(start_time), text(end_time), initial_cash,
                                   transaction_ratio, commission_ratio, commission_unit,
                                   slippage_ratio, option_float_margin_ratio1,
                                   option_float_margin_ratio2, to_int32(adjust),
                                   to_int32(match_mode), to_int32(check_cache))


def _py_qvi_current(symbols, fields, include_call_auction):
    cdef const char *s = text(symbols)
    cdef bint flag = include_call_auction
    cdef const char *fl = text(fields)
    cdef char *res = NULL
    cdef int res_len = 0
    cdef int status = qvi_current_pb(s, flag, fl, &res, &res_len)
    return reply(status, res, res_len)


py_qvi_get_cash = adapt_to_python3(_py_qvi_get_cash)
py_qvi_set_backtest_config = adapt_to_python3(_py_qvi_set_backtest_config)
py_qvi_current = adapt_to_python3(_py_qvi_current)


# ---- the event bridge ----

cdef void report(BaseException exc) noexcept:
    PyErr_SetRaisedException(exc)
    PyErr_PrintEx(0)
    PyErr_SetRaisedException(exc)
    PyErr_WriteUnraisable("cy_peer.callback_wrapper")


cdef void callback_wrapper(const char *event, const char *data, int length) noexcept with gil:
    try:
        if IS_PY2:
            name = PyBytes_FromStringAndSize(event, strlen(event))
        else:
            name = PyUnicode_DecodeUTF8(event, strlen(event), NULL)
        f(name, PyBytes_FromStringAndSize(data, length))
    except BaseException as exc:
        report(exc)


def py_qvi_set_data_callback(pythonf):
    global f
    f = pythonf
    qvi_set_event_callback_pb(callback_wrapper)


# ---- the tick record ----

@cython.binding(True)
class TickLikeDict2(object):
    __slots__ = ["data"]

    def __init__(self, data):
        self.data = data

    def __getitem__(self, item):
        return self.data.get(item)

    def __setitem__(self, item, value):
        self.data[item] = value

    def __getattr__(self, item):
        return self.data.get(item)

    def __setattr__(self, item, value):
        if item != "data":
            self.data[item] = value
        else:
            object.__setattr__(self, item, value)

    def __str__(self):
        return self.data.__str__()

    def __repr__(self):
        return self.data.__repr__()

    @property
    def price(self):
        return self.data.get("price")

    @price.setter
    def price(self, value):
        self.data["price"] = value

    @property
    def symbol(self):
        return self.data.get("symbol")

    @symbol.setter
    def symbol(self, value):
        self.data["symbol"] = value
