// The module definition and the import sequence.
//
// Two-phase initialisation: PyInit_c_sdk returns the definition; the interpreter then calls
// `create` and `exec`. The module exists once per process: a later import (also after its
// entry in sys.modules was deleted) gets the same object back and runs nothing again. If the
// statements fail, the import is forgotten and the next attempt starts afresh.
#include "module/module.h"

#include <frameobject.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "module/globals.h"
#include "module/registry.h"
#include "module/sdk_library.h"

namespace csdk {
namespace {

// Process-wide bookkeeping, read and written under the interpreter lock only.
std::int64_t main_interpreter_id = -1;
PyObject *module_instance = nullptr;  // owned once the execution step has begun
ImportState state;

bool copy_spec(PyObject *spec, PyObject *dict, const char *from, const char *to, bool allow_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (!allow_none && value.get() == Py_None) return true;
    return PyDict_SetItemString(dict, to, value.get()) == 0;
}

// A module built for the vendor's library refuses to run over the stand-in built for tests,
// which answers every call with success: the loader may find one first (LD_LIBRARY_PATH, a
// folder searched before the vendor's), and orders would go nowhere without a word.
bool sdk_is_usable() {
#if defined(CSDK_VENDOR_SDK)
    const SdkLibrary lib = sdk_library();
    if (lib.is_standin) {
        PyErr_Format(PyExc_ImportError,
                     "c_sdk was built for the vendor's qvsdk library but the loader found the "
                     "test stand-in at '%s'; %s",
                     lib.path.c_str(), vendor_library_advice);
        return false;
    }
#endif
    // Recording asked for, and the loader gave this module another library than the recorder.
    if (const std::string why = recorder_bypassed(); !why.empty()) {
        PyErr_Format(PyExc_ImportError, "c_sdk: %s", why.c_str());
        return false;
    }
    return true;
}

PyObject *create(PyObject *spec, PyModuleDef *) {
    PyInterpreterState *interp = PyInterpreterState_Get();
    std::int64_t current = PyInterpreterState_GetID(interp);
    if (current == -1) return nullptr;
    if (main_interpreter_id == -1) {
        // The module's state, the SDK's one event callback among it, is the process's, and a
        // sub-interpreter may end while the SDK still calls back: the main interpreter, which
        // lives as long as the process, is the only one that may hold the module.
        if (interp != PyInterpreterState_Main()) {
            PyErr_SetString(PyExc_ImportError,
                            "c_sdk can only be imported in the main interpreter, not in a "
                            "sub-interpreter: it keeps process-wide state (the SDK's one event "
                            "callback among it) that a sub-interpreter could not own");
            return nullptr;
        }
        main_interpreter_id = current;
    } else if (current != main_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (module_instance != nullptr) return Py_NewRef(module_instance);
    if (!sdk_is_usable()) return nullptr;

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject *dict = PyModule_GetDict(module.get());
    if (!copy_spec(spec, dict, "loader", "__loader__", true) ||
        !copy_spec(spec, dict, "origin", "__file__", true) ||
        !copy_spec(spec, dict, "parent", "__package__", true) ||
        !copy_spec(spec, dict, "submodule_search_locations", "__path__", false))
        return nullptr;
    return module.release();
}

// Warns when the running interpreter is not the version this module was compiled for.
bool check_version() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, "c_sdk", "does not match", major, minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0;
}

// Adds the traceback entry "init c_sdk" at `line` to the exception being raised.
void add_traceback(int line) {
    PyObject *exc = PyErr_GetRaisedException();
    PyCodeObject *code = PyCode_NewEmpty("c_sdk", "init c_sdk", line);
    PyFrameObject *frame =
        code ? PyFrame_New(PyThreadState_Get(), code, state.dict, nullptr) : nullptr;
    Py_XDECREF(code);
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

bool set_global(const char *name, PyObject *value) {
    // Interned as the module's own names always are; most are set once, so they are not kept.
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    return key && value != nullptr && PyDict_SetItem(state.dict, key.get(), value) == 0;
}

// `import name`, bound under the same name.
bool import_module(const char *name) {
    PyObject *key = intern(name);
    if (key == nullptr) return false;
    Ref module = Ref::steal(PyImport_ImportModuleLevelObject(key, state.dict, nullptr, nullptr, 0));
    return module && PyDict_SetItem(state.dict, key, module.get()) == 0;
}

// To a ModuleNotFoundError for the host package (or one of its modules) being raised: a note
// that says who needs it and, for tests, where the stand-in's package is. The exception keeps
// its type, message and traceback.
void explain_missing_host() {
    if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) return;
    PyObject *exc = PyErr_GetRaisedException();
    Ref name = Ref::steal(PyObject_GetAttrString(exc, "name"));
    bool host = false;
    if (name && PyUnicode_Check(name.get())) {
        const char *text = PyUnicode_AsUTF8(name.get());
        host =
            text != nullptr && (std::strcmp(text, "qv") == 0 || std::strncmp(text, "qv.", 3) == 0);
    }
    if (host) {
        Ref noted = Ref::steal(PyObject_CallMethod(
            exc, "add_note", "s",
            "c_sdk is imported by its host package qv, which must be importable (c_sdk imports "
            "qv.constant and qv.utils); for tests, the stand-in's qv is in the folder "
            "standin/host of the c_sdk sources: put that folder on sys.path or PYTHONPATH"));
    }
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

// `from package import name`, bound under the same name. A missing attribute is looked up as
// a submodule, under the name that the package's own __name__ gives, before ImportError
// "cannot import name %S"; as for the interpreter's own `from X import Y`, whatever the package
// is (a module without __name__, an object that is no module at all), a failure to find the
// name is that ImportError.
bool import_from(const char *package, const char *name) {
    PyObject *key = intern(name);
    Ref pkg_name = Ref::steal(PyUnicode_FromString(package));
    Ref fromlist = Ref::steal(key ? PyList_New(1) : nullptr);
    if (!pkg_name || !fromlist) return false;
    PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(key));
    Ref module = Ref::steal(
        PyImport_ImportModuleLevelObject(pkg_name.get(), state.dict, nullptr, fromlist.get(), 0));
    if (!module) {
        explain_missing_host();
        return false;
    }
    Ref value = Ref::steal(PyObject_GetAttr(module.get(), key));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        Ref modname = Ref::steal(PyObject_GetAttrString(module.get(), "__name__"));
        if (modname && PyUnicode_Check(modname.get())) {
            Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", modname.get(), key));
            if (!full) return false;
            value = Ref::steal(PyImport_GetModule(full.get()));
        }
        if (!value && (!modname || !PyErr_Occurred())) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name %S", key);
        }
    }
    return value && PyDict_SetItem(state.dict, key, value.get()) == 0;
}

using Index = std::unordered_map<std::string_view, const Definition *>;

Index index_definitions() {
    Index index;
    for (const Definitions *part :
         {&platform_functions(), &status_functions(), &request_functions(), &setup_functions(),
          &runtime_functions(), &direct_callables()})
        for (const Definition &d : *part) index.emplace(d.attr, &d);
    return index;
}

// Creates the function of `name` (if it is defined yet) and binds it, through the decorator
// when `decorated`.
bool bind_function(const Index &index, const char *name, bool decorated) {
    auto it = index.find(name);
    if (it == index.end()) return true;
    const Definition &d = *it->second;
    if (d.adapted >= 0 && d.adapted != static_cast<int>(decorated)) {
        PyErr_Format(PyExc_SystemError,
                     "%s: its table and the order of binding disagree on "
                     "adapt_to_python3",
                     name);
        return false;
    }
    Ref fn = Ref::steal(PyCFunction_NewEx(d.def, state.module, module_name()));
    if (!fn) return false;
    if (decorated) {
        Ref adapt = Ref::borrow(globals::get(globals::adapt_to_python3));
        if (!adapt) return false;
        fn = Ref::steal(PyObject_CallOneArg(adapt.get(), fn.get()));
        if (!fn) return false;
    }
    return set_global(name, fn.get());
}

// Steps 3 to 8: what the statements need.
bool prepare(PyObject *module, bool &aliased) {
    state.module = module;
    state.dict = PyModule_GetDict(module);
    PyObject *builtins = PyImport_AddModule("builtins");  // borrowed
    if (builtins == nullptr) return false;
    state.builtins = Py_NewRef(builtins);
    if (PyObject_SetAttrString(module, "__builtins__", builtins) < 0) return false;
    if (!check_version()) return false;
    if (module_name() == nullptr || !init_adapt() ||
        !globals::attach(state.dict, PyModule_GetDict(builtins)))
        return false;

    PyObject *modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, module_name());
    if (present < 0) return false;
    if (!present) {
        if (PyDict_SetItem(modules, module_name(), module) < 0) return false;
        aliased = true;
    }

    state.object = PyObject_GetAttrString(builtins, "object");
    state.property = state.object ? PyObject_GetAttrString(builtins, "property") : nullptr;
    state.super = state.property ? PyObject_GetAttrString(builtins, "super") : nullptr;
    state.bases = state.super ? PyTuple_Pack(1, state.object) : nullptr;
    Ref empty = Ref::steal(PyUnicode_FromStringAndSize(nullptr, 0));
    state.fail_defaults = state.bases && empty ? PyTuple_Pack(1, empty.get()) : nullptr;
    return state.fail_defaults != nullptr;
}

// Steps 9 to 20: the module's own statements. On failure, the number of the failing one.
int statements() {
    if (!import_module("functools")) return 9;
    if (!import_module("platform")) return 10;
    if (!import_from("qv.constant", "CSDK_OPERATE_SUCCESS")) return 11;
    if (!import_from("qv.utils", "qvsdklogger")) return 12;
    if (!set_global("IS_PY2", Py_False)) return 13;
    if (!set_global("IS_PY3", Py_True)) return 14;
    if (!create_record_classes(state.module)) return 15;
    const Index index = index_definitions();
    for (const char *name : helper_order)
        if (!bind_function(index, name, false)) return 16;
    for (const Binding &b : wrapper_bindings)
        if (!bind_function(index, b.name, b.decorated)) return 17;
    Ref test = Ref::steal(PyDict_New());
    if (!set_global("__test__", test.get())) return 19;
    for (const char *name : direct_order)
        if (!bind_function(index, name, false)) return 20;
    return 0;
}

void forget_state() {
    Py_CLEAR(state.builtins);
    Py_CLEAR(state.object);
    Py_CLEAR(state.property);
    Py_CLEAR(state.super);
    Py_CLEAR(state.bases);
    Py_CLEAR(state.fail_defaults);
    state.module = state.dict = nullptr;
}

int exec(PyObject *module) {
    if (module_instance != nullptr) {
        if (module_instance == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'c_sdk' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    module_instance = Py_NewRef(module);
    bool aliased = false;
    bool ok = prepare(module, aliased);
    if (ok) {
        if (int failed = statements(); failed != 0) {
            add_traceback(failed);
            ok = false;
        }
    }
    if (ok) return 0;

    // Failed: the next import starts afresh on a new module object. An alias that this
    // attempt added to sys.modules goes too, so that nobody finds the half-built module.
    if (aliased) {
        PyObject *exc = PyErr_GetRaisedException();
        PyObject *modules = PyImport_GetModuleDict();
        if (PyDict_GetItemWithError(modules, module_name()) == module)
            PyDict_DelItem(modules, module_name());
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
    }
    forget_state();
    Py_CLEAR(module_instance);
    return -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(create)},
    {Py_mod_exec, reinterpret_cast<void *>(exec)},
    {0, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "c_sdk", nullptr, 0, no_methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyObject *module_name() {
    static PyObject *name = nullptr;  // asked for by every function the import makes
    if (name == nullptr) name = intern("c_sdk");
    return name;
}

const ImportState &import_state() {
    return state;
}

}  // namespace csdk

PyMODINIT_FUNC PyInit_c_sdk(void) {
    return PyModuleDef_Init(&csdk::definition);
}
