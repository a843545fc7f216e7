// Module globals looked up at the moment of use: first in the module's namespace, then in
// builtins; a name found in neither raises NameError "name '%U' is not defined".
#pragma once

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

// The current value of a global, borrowed: valid until Python code next runs (take a Ref
// before calling anything that may run Python code). Null with NameError if unbound.
PyObject *get(Name name);

// The truth value of a global: 1, 0, or -1 with an exception set.
int truth(Name name);

// The interned name of a global.
PyObject *name_of(Name name);

}  // namespace csdk::globals
