// What each part of the module contributes to the import, and the order of binding.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "module/args.h"

namespace csdk {

// The C signature of every function of the module (METH_FASTCALL | METH_KEYWORDS).
using FastFunction = PyObject *(*)(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                   PyObject *kwnames);

// A function of the module: the attribute it is bound under, its method definition, and, where
// its table says so, whether it is bound through adapt_to_python3 (1) or not (0). The import
// refuses a table that disagrees with the order of binding.
struct Definition {
    const char *attr;
    PyMethodDef *def;
    int adapted = -1;
};
using Definitions = std::vector<Definition>;

// A method definition kept for the life of the process, its docstring headed by the text
// signature of `sig` (so __text_signature__ works while __doc__ stays None without `doc`).
PyMethodDef *method_def(const char *name, FastFunction impl, const Signature &sig,
                        const char *doc = nullptr, const char *self_name = "$module");

// The builtin function of row I of a table (a std::tuple of rows with static storage): it hands
// its row to the implementation shared by that kind of row, run(row, args, nargs, kwnames),
// found by argument-dependent lookup.
template <auto &Table, std::size_t I>
PyObject *table_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return run(std::get<I>(Table), args, nargs, kwnames);
}

// The definitions of a table of rows; a row provides sig, attribute(), doc() and adapted().
template <auto &Table>
Definitions definitions() {
    constexpr std::size_t n = std::tuple_size_v<std::remove_cvref_t<decltype(Table)>>;
    return []<std::size_t... I>(std::index_sequence<I...>) {
        return Definitions{
            Definition{std::get<I>(Table).attribute(),
                       method_def(std::get<I>(Table).sig.qualname, &table_entry<Table, I>,
                                  std::get<I>(Table).sig, std::get<I>(Table).doc()),
                       std::get<I>(Table).adapted()}...};
    }(std::make_index_sequence<n>{});
}

// Module functions by part, each list built once.
const Definitions &platform_functions();  // is_windows, is_linux, adapt_to_python3
const Definitions &status_functions();    // c_status_ok, c_status_fail
const Definitions &request_functions();   // the request/response family
const Definitions &setup_functions();     // connection, backtest, subscription, re-ordering
const Definitions &runtime_functions();   // event bridge, lifecycle, message bus
const Definitions &direct_callables();    // SDK functions exposed under their own names

// Creates the record classes and binds each in the module as soon as it exists.
bool create_record_classes(PyObject *module);

// The order of binding.
struct Binding {
    const char *name;
    bool decorated;  // bound as adapt_to_python3(function)
};
extern const std::span<const Binding> wrapper_bindings;  // the 181 SDK wrappers
extern const std::span<const char *const> helper_order;
extern const std::span<const char *const> direct_order;

}  // namespace csdk
