// The platform helpers is_windows and is_linux, and the list of module/ helpers.
//
// Invariant: the global `platform` and what it returns are called past the recursion guard.
#include "module/globals.h"
#include "module/guard.h"
#include "module/module.h"
#include "module/registry.h"

namespace csdk {
namespace {

// platform.uname()[0].lower() == system, the global `platform` looked up now.
PyObject *system_is(const char *system) {
    PyObject *s_uname = intern("uname");
    PyObject *s_lower = intern("lower");
    if (s_uname == nullptr || s_lower == nullptr) return nullptr;
    Ref platform = Ref::borrow(globals::get(globals::platform));
    if (!platform) return nullptr;
    RecursionGuard guard;
    if (!guard.entered()) return nullptr;
    Ref uname = Ref::steal(PyObject_CallMethodNoArgs(platform.get(), s_uname));
    if (!uname) return nullptr;
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return nullptr;
    Ref name = Ref::steal(PyObject_GetItem(uname.get(), zero.get()));
    if (!name) return nullptr;
    Ref lowered = Ref::steal(PyObject_CallMethodNoArgs(name.get(), s_lower));
    if (!lowered) return nullptr;
    PyObject *expected = intern(system);
    if (expected == nullptr) return nullptr;
    return PyObject_RichCompare(lowered.get(), expected, Py_EQ);
}

const Signature is_windows_sig{"is_windows"};
const Signature is_linux_sig{"is_linux"};

PyObject *is_windows(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Args<0> a;
    if (!a.bind(is_windows_sig, args, nargs, kwnames)) return nullptr;
    return system_is("windows");
}

PyObject *is_linux(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Args<0> a;
    if (!a.bind(is_linux_sig, args, nargs, kwnames)) return nullptr;
    return system_is("linux");
}

}  // namespace

const Definitions &platform_functions() {
    static const Definitions defs = {
        {"is_windows", method_def("is_windows", is_windows, is_windows_sig)},
        {"is_linux", method_def("is_linux", is_linux, is_linux_sig)},
        {"adapt_to_python3", adapt_def()},
    };
    return defs;
}

}  // namespace csdk
