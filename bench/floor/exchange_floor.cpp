// Floors for the request/response family: the least a binding of an exchange call could do.
// Benchmark-only; never part of c_sdk.
//
//   prepare(n)      keep a source buffer of n bytes for reply()
//   reply(req)      a new (0, payload) with a copy of the n prepared bytes; req is ignored
//   exchange(req)   qvi_get_cash_pb_v2 called by hand: an exact bytes request, the status
//                   compared with 0 in C, (status, payload) or (status, None)
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <climits>
#include <cstring>
#include <vector>

#include "qvsdk/qvsdk.h"

namespace {

std::vector<char> source;

PyObject *pair(PyObject *status, PyObject *payload) {
    if (status == nullptr || payload == nullptr) {
        Py_XDECREF(status);
        Py_XDECREF(payload);
        return nullptr;
    }
    PyObject *tuple = PyTuple_New(2);
    if (tuple == nullptr) {
        Py_DECREF(status);
        Py_DECREF(payload);
        return nullptr;
    }
    PyTuple_SET_ITEM(tuple, 0, status);
    PyTuple_SET_ITEM(tuple, 1, payload);
    return tuple;
}

PyObject *prepare(PyObject *, PyObject *arg) {
    Py_ssize_t n = PyLong_AsSsize_t(arg);
    if (n < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "negative size");
        return nullptr;
    }
    source.assign(static_cast<size_t>(n), 'x');
    Py_RETURN_NONE;
}

PyObject *reply(PyObject *, PyObject *) {
    return pair(PyLong_FromLong(0),
                PyBytes_FromStringAndSize(source.data(), static_cast<Py_ssize_t>(source.size())));
}

PyObject *exchange(PyObject *, PyObject *req) {
    if (!PyBytes_CheckExact(req) || PyBytes_GET_SIZE(req) > INT_MAX) {
        PyErr_SetString(PyExc_TypeError, "an exact bytes request is required");
        return nullptr;
    }
    char *res = nullptr;
    int res_len = 0;
    int status = qvi_get_cash_pb_v2(PyBytes_AS_STRING(req), static_cast<int>(PyBytes_GET_SIZE(req)),
                                    &res, &res_len);
    PyObject *payload = status == 0 ? PyBytes_FromStringAndSize(res, res_len) : Py_NewRef(Py_None);
    return pair(PyLong_FromLong(status), payload);
}

PyMethodDef methods[] = {
    {"prepare", prepare, METH_O, nullptr},
    {"reply", reply, METH_O, nullptr},
    {"exchange", exchange, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "exchange_floor",
    nullptr,
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_exchange_floor(void) {
    return PyModule_Create(&definition);
}
