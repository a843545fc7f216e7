// A nanobind peer: the exchange call and the event bridge over the same stand-in SDK, written as
// nanobind's documentation suggests, with c_sdk's behaviour (the success status looked up as a
// module global at call time; the event text as str, the payload as bytes). Benchmark use only.
#include <nanobind/nanobind.h>

#include <climits>

#include "qvsdk/qvsdk.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

PyObject *globals = nullptr;  // the module's namespace (borrowed from the module)
nb::object *callback = nullptr;

nb::object global(const char *name) {
    PyObject *v = PyDict_GetItemString(globals, name);
    if (v == nullptr) throw nb::attribute_error(name);
    return nb::borrow(v);
}

nb::tuple get_cash(nb::bytes req) {
    if (req.size() > INT_MAX) throw std::overflow_error("request too long");
    char *res = nullptr;
    int res_len = 0;
    int status = qvi_get_cash_pb_v2(req.c_str(), static_cast<int>(req.size()), &res, &res_len);
    nb::int_ st(status);
    if (st.equal(global("CSDK_OPERATE_SUCCESS")))
        return nb::make_tuple(st, nb::bytes(res, static_cast<size_t>(res_len)));
    return nb::make_tuple(st, nb::none());
}

void callback_wrapper(const char *event, const char *data, int len) {
    nb::gil_scoped_acquire gil;
    try {
        nb::object name =
            nb::bool_(global("IS_PY2")) ? nb::object(nb::bytes(event)) : nb::object(nb::str(event));
        (*callback)(name, nb::bytes(data, static_cast<size_t>(len)));
    } catch (nb::python_error &e) {
        e.restore();
        PyErr_PrintEx(0);
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        PyErr_WriteUnraisable(nullptr);
    }
}

void set_data_callback(nb::object f) {
    *callback = std::move(f);
    qvi_set_event_callback_pb(callback_wrapper);
}

}  // namespace

NB_MODULE(nb_peer, m) {
    globals = PyModule_GetDict(m.ptr());
    callback = new nb::object();  // kept for the life of the process
    m.attr("CSDK_OPERATE_SUCCESS") =
        nb::module_::import_("qv.constant").attr("CSDK_OPERATE_SUCCESS");
    m.attr("IS_PY2") = false;
    m.def("py_qvi_get_cash_pb_v2", get_cash, "req"_a);
    m.def("py_qvi_set_data_callback", set_data_callback, "pythonf"_a);
}
