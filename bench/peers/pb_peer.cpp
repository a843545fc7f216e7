// A pybind11 peer: the exchange call and the event bridge over the same stand-in SDK, written as
// pybind11's documentation suggests, with c_sdk's behaviour (the success status looked up as a
// module global at call time; the event text as str, the payload as bytes). Benchmark use only.
#include <pybind11/pybind11.h>

#include <climits>

#include "qvsdk/qvsdk.h"

namespace py = pybind11;
using namespace py::literals;

namespace {

PyObject *globals = nullptr;  // the module's namespace (borrowed from the module)
py::object *callback = nullptr;

py::object global(const char *name) {
    PyObject *v = PyDict_GetItemString(globals, name);
    if (v == nullptr) throw py::attribute_error(name);
    return py::reinterpret_borrow<py::object>(v);
}

py::tuple get_cash(py::bytes req) {
    char *data = nullptr;
    Py_ssize_t size = 0;
    PyBytes_AsStringAndSize(req.ptr(), &data, &size);
    if (size > INT_MAX) throw std::overflow_error("request too long");
    char *res = nullptr;
    int res_len = 0;
    int status = qvi_get_cash_pb_v2(data, static_cast<int>(size), &res, &res_len);
    py::int_ st(status);
    if (st.equal(global("CSDK_OPERATE_SUCCESS")))
        return py::make_tuple(st, py::bytes(res, static_cast<size_t>(res_len)));
    return py::make_tuple(st, py::none());
}

void callback_wrapper(const char *event, const char *data, int len) {
    py::gil_scoped_acquire gil;
    try {
        py::object name =
            py::bool_(global("IS_PY2")) ? py::object(py::bytes(event)) : py::object(py::str(event));
        (*callback)(name, py::bytes(data, static_cast<size_t>(len)));
    } catch (py::error_already_set &e) {
        e.restore();
        PyErr_PrintEx(0);
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        PyErr_WriteUnraisable(nullptr);
    }
}

void set_data_callback(py::object f) {
    *callback = std::move(f);
    qvi_set_event_callback_pb(callback_wrapper);
}

}  // namespace

PYBIND11_MODULE(pb_peer, m) {
    globals = PyModule_GetDict(m.ptr());
    callback = new py::object();  // kept for the life of the process
    m.attr("CSDK_OPERATE_SUCCESS") =
        py::module_::import("qv.constant").attr("CSDK_OPERATE_SUCCESS");
    m.attr("IS_PY2") = false;
    m.def("py_qvi_get_cash_pb_v2", get_cash, "req"_a);
    m.def("py_qvi_set_data_callback", set_data_callback, "pythonf"_a);
}
