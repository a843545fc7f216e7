// Benchmark-only extension: the floor of the event bridge, and helpers to feed the stand-in.
//
//   events_floor.call(f, name, payload, n)   calls f(name, payload) n times from a C loop, with
//                                            the arguments built once: what any bridge must pay
//   events_floor.queue(name, payload, n, distinct)
//                                            queues n events in the stand-in (names suffixed
//                                            with a running number when `distinct`)
//   events_floor.silence()                   registers a C callback that only reads the event
//                                            text and copies the payload: the stand-in's own
//                                            cost of delivering an event
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "qvsdk/qvsdk.h"

extern "C" void standin_queue_event(const char *event, int event_size, const char *data,
                                    int data_size, int reported_len);

namespace {

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
void nothing(const char *event, const char *data, int len) {
    sink_sum += std::strlen(event);
    if (len > 0 && static_cast<std::size_t>(len) <= sizeof sink) std::memcpy(sink, data, len);
}

PyObject *silence(PyObject *, PyObject *) {
    qvi_set_event_callback_pb(nothing);
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"call", call, METH_VARARGS, nullptr},
    {"queue", queue, METH_VARARGS, nullptr},
    {"silence", silence, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {PyModuleDef_HEAD_INIT,
                          "events_floor",
                          nullptr,
                          -1,
                          methods,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_events_floor(void) {
    return PyModule_Create(&definition);
}
