// Module globals looked up at the moment of use: first in the module's namespace, then in
// builtins; a name found in neither raises NameError "name '%U' is not defined".
#pragma once

#include "module/compat.h"
#include "module/ref.h"

namespace csdk::globals {

enum Name : int {
    CSDK_OPERATE_SUCCESS,
    qvsdklogger,
    py_qvi_strerror,
    IS_PY2,
    platform,
    f,
    adapt_to_python3,
    count
};

// Called by the import with the namespace being filled and the builtins' namespace.
bool attach(PyObject *module_dict, PyObject *builtins_dict);

namespace detail {
// Values found by earlier look-ups (borrowed), null where none is known; emptied whenever
// either namespace changes.
extern PyObject *cache[count];
PyObject *lookup(Name name);
int truth_slow(Name name);
}  // namespace detail

// The current value of a global, borrowed: valid until Python code next runs (take a Ref
// before calling anything that may run Python code). Null with NameError if unbound.
CSDK_INLINE PyObject *get(Name name) {
    if (PyObject *v = detail::cache[name]; CSDK_LIKELY(v != nullptr)) return v;
    return detail::lookup(name);
}

// The value of a global when an earlier look-up has found it and nothing has changed since
// (borrowed), else null without an exception: what get() would return, minus the look-up.
CSDK_INLINE PyObject *cached(Name name) {
    return detail::cache[name];
}

// The truth value of a global: 1, 0, or -1 with an exception set.
CSDK_INLINE int truth(Name name) {
    PyObject *v = detail::cache[name];
    if (CSDK_LIKELY(v == Py_False)) return 0;
    if (v == Py_True) return 1;
    return detail::truth_slow(name);
}

// The interned name of a global.
PyObject *name_of(Name name);

}  // namespace csdk::globals
