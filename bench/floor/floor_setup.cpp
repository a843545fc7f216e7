// The least a binding of the value-taking wrappers could do: positional arguments only, exact
// types only, no keyword binding, the success status fixed at 0. Benchmark use only.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <climits>

#include "qvsdk/qvsdk.h"

namespace {

bool as_int(PyObject *o, int &out) {
    long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < INT_MIN || v > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

bool as_real(PyObject *o, double &out) {
    out = PyFloat_AsDouble(o);
    return !(out == -1.0 && PyErr_Occurred());
}

PyObject *reply(int status, const char *res, int res_len) {
    if (status != 0) return Py_BuildValue("(iO)", status, Py_None);
    return Py_BuildValue("(iy#)", status, res, static_cast<Py_ssize_t>(res_len));
}

PyObject *smart_reorder(PyObject *, PyObject *const *a, Py_ssize_t n) {
    if (n != 11) return PyErr_Format(PyExc_TypeError, "11 arguments");
    const char *symbol = PyBytes_AsString(a[0]);
    double price;
    int v[8];
    if (symbol == nullptr || !as_real(a[1], price)) return nullptr;
    for (int i = 0; i < 8; ++i)
        if (!as_int(a[2 + i], v[i])) return nullptr;
    const char *account = PyBytes_AsString(a[10]);
    if (account == nullptr) return nullptr;
    return PyLong_FromLong(
        qvi_smart_reorder(symbol, price, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], account));
}

PyObject *set_backtest_config(PyObject *, PyObject *const *a, Py_ssize_t n) {
    if (n != 12) return PyErr_Format(PyExc_TypeError, "12 arguments");
    const char *start = PyBytes_AsString(a[0]);
    const char *end = start ? PyBytes_AsString(a[1]) : nullptr;
    if (end == nullptr) return nullptr;
    double r[7];
    for (int i = 0; i < 7; ++i)
        if (!as_real(a[2 + i], r[i])) return nullptr;
    int v[3];
    for (int i = 0; i < 3; ++i)
        if (!as_int(a[9 + i], v[i])) return nullptr;
    return PyLong_FromLong(qvi_set_backtest_config(start, end, r[0], r[1], r[2], r[3], r[4], r[5],
                                                   r[6], v[0], v[1], v[2]));
}

PyObject *current(PyObject *, PyObject *const *a, Py_ssize_t n) {
    if (n != 3) return PyErr_Format(PyExc_TypeError, "3 arguments");
    const char *symbols = PyBytes_AsString(a[0]);
    if (symbols == nullptr) return nullptr;
    int flag = PyObject_IsTrue(a[2]);
    if (flag < 0) return nullptr;
    const char *fields = PyBytes_AsString(a[1]);
    if (fields == nullptr) return nullptr;
    char *res = nullptr;
    int res_len = 0;
    int status = qvi_current_pb(symbols, flag != 0, fields, &res, &res_len);
    return reply(status, res, res_len);
}

PyObject *algo_order_batch(PyObject *, PyObject *const *a, Py_ssize_t n) {
    if (n != 3) return PyErr_Format(PyExc_TypeError, "3 arguments");
    char *req;
    Py_ssize_t len;
    if (PyBytes_AsStringAndSize(a[0], &req, &len) < 0) return nullptr;
    const char *name = PyBytes_AsString(a[1]);
    const char *params = name ? PyBytes_AsString(a[2]) : nullptr;
    if (params == nullptr) return nullptr;
    char *res = nullptr;
    int res_len = 0;
    int status = qvi_algo_order_batch_pb(req, static_cast<int>(len), name, params, &res, &res_len);
    return reply(status, res, res_len);
}

PyObject *set_serv_addr_v5(PyObject *, PyObject *const *a, Py_ssize_t n) {
    if (n != 3) return PyErr_Format(PyExc_TypeError, "3 arguments");
    const char *s[3];
    for (int i = 0; i < 3; ++i)
        if ((s[i] = PyBytes_AsString(a[i])) == nullptr) return nullptr;
    qvi_set_serv_addr_v5(s[0], s[1], s[2]);
    Py_RETURN_NONE;
}

PyObject *set_max_wait_time(PyObject *, PyObject *const *a, Py_ssize_t n) {
    if (n != 1) return PyErr_Format(PyExc_TypeError, "1 argument");
    int v;
    if (!as_int(a[0], v)) return nullptr;
    qvi_set_max_wait_time(v);
    Py_RETURN_NONE;
}

PyObject *use_dsproxy(PyObject *, PyObject *) {
    return PyLong_FromLong(qvi_use_dsproxy());
}

PyMethodDef methods[] = {
    {"py_qvi_smart_reorder",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(smart_reorder)), METH_FASTCALL,
     nullptr},
    {"py_qvi_set_backtest_config",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_backtest_config)),
     METH_FASTCALL, nullptr},
    {"py_qvi_current", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(current)),
     METH_FASTCALL, nullptr},
    {"py_qvi_algo_order_batch",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(algo_order_batch)), METH_FASTCALL,
     nullptr},
    {"py_qvi_set_serv_addr_v5",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_serv_addr_v5)), METH_FASTCALL,
     nullptr},
    {"py_qvi_set_max_wait_time",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_max_wait_time)), METH_FASTCALL,
     nullptr},
    {"py_qvi_use_dsproxy", use_dsproxy, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "floor_setup", nullptr, 0, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_floor_setup() {
    return PyModule_Create(&module);
}
