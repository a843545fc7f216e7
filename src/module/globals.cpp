// Looking up module globals at the moment of use.
//
// A lookup is a dictionary search in the module namespace and, failing that, in builtins. The
// hot paths (the success test of every call, the event bridge, the decorator) repeat the same
// few lookups millions of times, so their results are cached. The cache holds borrowed
// references and is emptied by a dictionary watcher whenever either namespace changes, before
// the change takes effect: a cached value is therefore always the value that a fresh lookup
// would find, and rebinding or deleting a global is seen by the very next use.
//
// A lookup itself may run Python code (the __eq__ of a key with the same hash as the name),
// which may change either namespace while the search goes on: the watcher then empties the
// cache before the lookup has found its value. What such a lookup finds is returned to its
// caller but not cached: only a lookup during which neither namespace changed (the watcher's
// count of changes is the same before and after) leaves its value in the cache.
#include "module/globals.h"

#include <algorithm>
#include <array>
#include <iterator>

#include "module/compat.h"
#include "module/guard.h"

namespace csdk::globals {
namespace {

constexpr const char *texts[count] = {
    "CSDK_OPERATE_SUCCESS", "qvsdklogger", "py_qvi_strerror", "IS_PY2", "platform", "f",
    "adapt_to_python3",
};

PyObject *module_dict = nullptr;    // owned
PyObject *builtins_dict = nullptr;  // owned
std::array<PyObject *, count> names{};
int watcher = -1;
unsigned long long changes = 0;  // changes the watcher has seen (wraps harmlessly)

void forget() {
    std::fill(std::begin(detail::cache), std::end(detail::cache), nullptr);
}

int on_change(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) {
    ++changes;
    forget();
    return 0;
}

}  // namespace

PyObject *detail::cache[count] = {};

bool attach(PyObject *mod_dict, PyObject *bi_dict) {
    for (int i = 0; i < count; ++i)
        if (names[i] == nullptr && !intern_to(names[i], texts[i])) return false;
    forget();
    Py_XSETREF(module_dict, Py_NewRef(mod_dict));
    Py_XSETREF(builtins_dict, Py_NewRef(bi_dict));
    // Without a watcher (all taken by others) every lookup simply goes to the dictionaries.
    if (watcher < 0) {
        watcher = PyDict_AddWatcher(on_change);
        if (watcher < 0) PyErr_Clear();
    }
    if (watcher >= 0 &&
        (PyDict_Watch(watcher, module_dict) < 0 || PyDict_Watch(watcher, builtins_dict) < 0)) {
        PyErr_Clear();
        PyDict_ClearWatcher(watcher);
        watcher = -1;
    }
    return true;
}

PyObject *detail::lookup(Name name) {
    PyObject *key = names[name];
    const unsigned long long before = changes;
    PyObject *v = PyDict_GetItemWithError(module_dict, key);
    if (v == nullptr && !PyErr_Occurred()) v = PyDict_GetItemWithError(builtins_dict, key);
    if (v == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
        return nullptr;
    }
    if (watcher >= 0 && changes == before) cache[name] = v;
    return v;
}

int detail::truth_slow(Name name) {
    PyObject *v = get(name);
    if (v == nullptr) return -1;
    if (v == Py_False || v == Py_None) return 0;
    if (v == Py_True) return 1;
    Ref keep = Ref::borrow(v);
    RecursionGuard guard;  // the value's __bool__ is whoever bound it
    return guard.entered() ? PyObject_IsTrue(v) : -1;
}

PyObject *name_of(Name name) {
    return names[name];
}

}  // namespace csdk::globals
