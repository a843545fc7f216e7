// State of the import, shared by the parts of the module.
#pragma once

#include "module/ref.h"

namespace csdk {

// "c_sdk", the __module__ of every function and class of the module.
PyObject *module_name();

// Objects the import looks up or builds once before the module's statements run, kept for the
// life of the process.
struct ImportState {
    PyObject *module = nullptr;         // the module being imported
    PyObject *dict = nullptr;           // its namespace
    PyObject *builtins = nullptr;       // the builtins module
    PyObject *object = nullptr;         // builtins.object
    PyObject *property = nullptr;       // builtins.property
    PyObject *super = nullptr;          // builtins.super
    PyObject *bases = nullptr;          // (object,): the bases of each record class
    PyObject *fail_defaults = nullptr;  // (''): the defaults of c_status_fail
};
const ImportState &import_state();

// Set-up of the parts that keep objects of their own, run before the module's statements.
bool init_adapt();
PyMethodDef *adapt_def();

}  // namespace csdk
