// The benchmark-only floor extension: the least a binding could do for each case of the suite,
// built with the flags of c_sdk and linked against the same installed stand-in SDK. Never part
// of c_sdk.
//
//   noop(*args)                      METH_FASTCALL, returns None: the price of any call
//   exchange(req)                    R: qvi_get_cash_pb_v2 called by hand; an exact bytes
//                                    request, the status compared with 0 in C, (status,
//                                    payload) or (status, None)
//   command(req)                     qvi_log_pb called by hand: the status
//   fetch()                          qvi_get_account_info_pb called by hand: (status, payload)
//   set_backtest_config(12 args)     qvi_set_backtest_config, positional exact types
//   current(symbols, fields, flag)   qvi_current_pb, positional exact types
//   prepare(n)                       n bytes to copy, and a buffer to copy them into
//   copy()                           memcpy of the n prepared bytes into the kept buffer
//   copy_new()                       the same n bytes into a new bytes object, dropped at once
//   call(f, name, payload, n)        f(name, payload) n times from a C loop, the arguments
//                                    built once: what any event bridge must pay
//   queue(name, payload, n, distinct)
//                                    queues n events in the stand-in (names suffixed with a
//                                    running number when `distinct`)
//   silence()                        registers a C callback that only reads the event text and
//                                    copies the payload: the stand-in's own cost of an event
//   bridge(f)                        registers the least bridge to f: the name as str (kept
//                                    while it repeats), the payload as new bytes, one call
//   cg_start() / cg_stop(label)      under valgrind's callgrind: start counting instructions,
//                                    stop and write the count since cg_start under `label`
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#if defined(__has_include)
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define FLOOR_CALLGRIND 1
#endif
#endif

#include "qvsdk/qvsdk.h"

extern "C" void standin_queue_event(const char *event, int event_size, const char *data,
                                    int data_size, int reported_len);

namespace {

template <typename F>
PyCFunction as_method(F *f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// (status, payload), taking both references; null when either is.
PyObject *pair(PyObject *status, PyObject *payload) {
    PyObject *tuple = status && payload ? PyTuple_New(2) : nullptr;
    if (tuple == nullptr) {
        Py_XDECREF(status);
        Py_XDECREF(payload);
        return nullptr;
    }
    PyTuple_SET_ITEM(tuple, 0, status);
    PyTuple_SET_ITEM(tuple, 1, payload);
    return tuple;
}

PyObject *reply(int status, const char *res, int res_len) {
    PyObject *payload = status == 0 ? PyBytes_FromStringAndSize(res, res_len) : Py_NewRef(Py_None);
    return pair(PyLong_FromLong(status), payload);
}

PyObject *noop(PyObject *, PyObject *const *, Py_ssize_t) {
    Py_RETURN_NONE;
}

bool exact_request(PyObject *req) {
    if (PyBytes_CheckExact(req) && PyBytes_GET_SIZE(req) <= INT_MAX) return true;
    PyErr_SetString(PyExc_TypeError, "an exact bytes request is required");
    return false;
}

PyObject *exchange(PyObject *, PyObject *req) {
    if (!exact_request(req)) return nullptr;
    char *res = nullptr;
    int res_len = 0;
    int status = qvi_get_cash_pb_v2(PyBytes_AS_STRING(req), static_cast<int>(PyBytes_GET_SIZE(req)),
                                    &res, &res_len);
    return reply(status, res, res_len);
}

PyObject *command(PyObject *, PyObject *req) {
    if (!exact_request(req)) return nullptr;
    return PyLong_FromLong(
        qvi_log_pb(PyBytes_AS_STRING(req), static_cast<int>(PyBytes_GET_SIZE(req))));
}

PyObject *fetch(PyObject *, PyObject *) {
    char *res = nullptr;
    int res_len = 0;
    int status = qvi_get_account_info_pb(&res, &res_len);
    return reply(status, res, res_len);
}

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

bool as_text(PyObject *o, const char *&out) {
    if (!PyBytes_CheckExact(o)) {
        PyErr_SetString(PyExc_TypeError, "exact bytes required");
        return false;
    }
    out = PyBytes_AS_STRING(o);
    return true;
}

bool as_real(PyObject *o, double &out) {
    if (!PyFloat_CheckExact(o)) {
        PyErr_SetString(PyExc_TypeError, "exact float required");
        return false;
    }
    out = PyFloat_AS_DOUBLE(o);
    return true;
}

PyObject *set_backtest_config(PyObject *, PyObject *const *a, Py_ssize_t n) {
    if (n != 12) return PyErr_Format(PyExc_TypeError, "12 arguments");
    const char *start, *end;
    double r[7];
    int v[3];
    if (!as_text(a[0], start) || !as_text(a[1], end)) return nullptr;
    for (int i = 0; i < 7; ++i)
        if (!as_real(a[2 + i], r[i])) return nullptr;
    for (int i = 0; i < 3; ++i)
        if (!as_int(a[9 + i], v[i])) return nullptr;
    return PyLong_FromLong(qvi_set_backtest_config(start, end, r[0], r[1], r[2], r[3], r[4], r[5],
                                                   r[6], v[0], v[1], v[2]));
}

PyObject *current(PyObject *, PyObject *const *a, Py_ssize_t n) {
    if (n != 3) return PyErr_Format(PyExc_TypeError, "3 arguments");
    const char *symbols, *fields;
    if (!as_text(a[0], symbols)) return nullptr;
    int flag = PyObject_IsTrue(a[2]);
    if (flag < 0 || !as_text(a[1], fields)) return nullptr;
    char *res = nullptr;
    int res_len = 0;
    int status = qvi_current_pb(symbols, flag != 0, fields, &res, &res_len);
    return reply(status, res, res_len);
}

// The copy's two buffers, both 64-byte aligned and half a page apart modulo the page size: some
// processors copy far slower when the destination trails the source by a few bytes modulo
// 4096, which would make the floor a fluke of where the allocator put them.
std::vector<char> source_store, target_store;
char *source = nullptr, *target = nullptr;
std::size_t size = 0;

char *aligned(std::vector<char> &store, std::size_t n) {
    store.assign(n + 8192, '\0');
    auto at = reinterpret_cast<std::uintptr_t>(store.data());
    return store.data() + ((64 - at % 64) % 64);
}

PyObject *prepare(PyObject *, PyObject *arg) {
    Py_ssize_t n = PyLong_AsSsize_t(arg);
    if (n < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "negative size");
        return nullptr;
    }
    size = static_cast<std::size_t>(n);
    source = aligned(source_store, size);
    std::memset(source, 'x', size);
    target = aligned(target_store, size);
    auto gap = reinterpret_cast<std::uintptr_t>(target) - reinterpret_cast<std::uintptr_t>(source);
    target += (2048 - gap % 4096 + 4096) % 4096;
    Py_RETURN_NONE;
}

PyObject *copy(PyObject *, PyObject *) {
    std::memcpy(target, source, size);
    Py_RETURN_NONE;
}

PyObject *copy_new(PyObject *, PyObject *) {
    PyObject *b = PyBytes_FromStringAndSize(source, static_cast<Py_ssize_t>(size));
    if (b == nullptr) return nullptr;
    Py_DECREF(b);
    Py_RETURN_NONE;
}

PyObject *call(PyObject *, PyObject *args) {
    PyObject *f, *name, *payload;
    Py_ssize_t n;
    if (!PyArg_ParseTuple(args, "OUSn", &f, &name, &payload, &n)) return nullptr;
    PyObject *argv[3] = {nullptr, name, payload};
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *r = PyObject_Vectorcall(f, argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        if (r == nullptr) return nullptr;
        Py_DECREF(r);
    }
    Py_RETURN_NONE;
}

PyObject *queue(PyObject *, PyObject *args) {
    const char *name, *payload;
    Py_ssize_t name_len, payload_len, n;
    int distinct;
    if (!PyArg_ParseTuple(args, "y#y#np", &name, &name_len, &payload, &payload_len, &n, &distinct))
        return nullptr;
    std::string text(name, static_cast<size_t>(name_len));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (distinct) {
            char suffix[24];
            std::snprintf(suffix, sizeof suffix, "%zd", i);
            text.assign(name, static_cast<size_t>(name_len)).append(suffix);
        }
        standin_queue_event(text.data(), static_cast<int>(text.size()), payload,
                            static_cast<int>(payload_len), static_cast<int>(payload_len));
    }
    Py_RETURN_NONE;
}

// Reads what it is given, as any bridge must (the queued events are not in the cache).
char sink[1 << 16];
std::size_t sink_sum = 0;
void read_only(const char *event, const char *data, int len) {
    sink_sum += std::strlen(event);
    if (len > 0 && static_cast<std::size_t>(len) <= sizeof sink) std::memcpy(sink, data, len);
}

PyObject *silence(PyObject *, PyObject *) {
    qvi_set_event_callback_pb(read_only);
    Py_RETURN_NONE;
}

// The least a bridge can do: the name as str (the last one kept while names repeat), the
// payload as new bytes, one call; no look-up, no lock, errors only reported.
PyObject *bridge_f = nullptr;
PyObject *last_name = nullptr;
std::string last_text;

void least_bridge(const char *event, const char *data, int len) {
    if (last_name == nullptr || last_text != event) {
        Py_XDECREF(last_name);
        last_name =
            PyUnicode_DecodeUTF8(event, static_cast<Py_ssize_t>(std::strlen(event)), nullptr);
        last_text = event;
    }
    PyObject *payload = PyBytes_FromStringAndSize(data, len);
    PyObject *argv[3] = {nullptr, last_name, payload};
    PyObject *r =
        last_name && payload
            ? PyObject_Vectorcall(bridge_f, argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)
            : nullptr;
    if (r == nullptr) PyErr_WriteUnraisable(nullptr);
    Py_XDECREF(r);
    Py_XDECREF(payload);
}

PyObject *bridge(PyObject *, PyObject *f) {
    Py_XSETREF(bridge_f, Py_NewRef(f));
    qvi_set_event_callback_pb(least_bridge);
    Py_RETURN_NONE;
}

PyObject *cg_available(PyObject *, PyObject *) {
#ifdef FLOOR_CALLGRIND
    return PyBool_FromLong(RUNNING_ON_VALGRIND != 0);
#else
    Py_RETURN_FALSE;
#endif
}

PyObject *cg_start(PyObject *, PyObject *) {
#ifdef FLOOR_CALLGRIND
    CALLGRIND_ZERO_STATS;
    CALLGRIND_TOGGLE_COLLECT;
#endif
    Py_RETURN_NONE;
}

PyObject *cg_stop(PyObject *, PyObject *label) {
    const char *text = PyUnicode_AsUTF8(label);
    if (text == nullptr) return nullptr;
#ifdef FLOOR_CALLGRIND
    CALLGRIND_TOGGLE_COLLECT;
    CALLGRIND_DUMP_STATS_AT(text);
#endif
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"noop", as_method(noop), METH_FASTCALL, nullptr},
    {"exchange", exchange, METH_O, nullptr},
    {"command", command, METH_O, nullptr},
    {"fetch", fetch, METH_NOARGS, nullptr},
    {"set_backtest_config", as_method(set_backtest_config), METH_FASTCALL, nullptr},
    {"current", as_method(current), METH_FASTCALL, nullptr},
    {"prepare", prepare, METH_O, nullptr},
    {"copy", copy, METH_NOARGS, nullptr},
    {"copy_new", copy_new, METH_NOARGS, nullptr},
    {"call", call, METH_VARARGS, nullptr},
    {"queue", queue, METH_VARARGS, nullptr},
    {"silence", silence, METH_NOARGS, nullptr},
    {"bridge", bridge, METH_O, nullptr},
    {"cg_available", cg_available, METH_NOARGS, nullptr},
    {"cg_start", cg_start, METH_NOARGS, nullptr},
    {"cg_stop", cg_stop, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "floor", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_floor(void) {
    return PyModule_Create(&definition);
}
