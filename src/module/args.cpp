// Argument binding with the interpreter's own messages for a Python function call.
#include "module/args.h"

#include <string>
#include <unordered_map>

namespace csdk {

PyObject *intern(const char *s) {
    // Keyed by text; the strings are never released (see ref.h).
    static std::unordered_map<std::string, PyObject *> *table =
        new std::unordered_map<std::string, PyObject *>();
    auto it = table->find(s);
    if (it != table->end()) return it->second;
    PyObject *str = PyUnicode_InternFromString(s);
    if (str != nullptr) table->emplace(s, str);
    return str;
}

std::string Signature::text_signature(const char *name, const char *self_name) const {
    std::string out = name;
    out += '(';
    out += self_name;
    if (count > 0 && !method) out += ", /";
    for (int i = 0; i < count; ++i) {
        out += ", ";
        out += params[i];
        if (i >= required && default_texts != nullptr) {
            out += '=';
            out += default_texts[i - required];
        }
    }
    out += ")\n--\n\n";
    return out;
}

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
std::string name_list(const Signature &sig, const std::array<int, max_params> &missing, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) {
        if (i > 0) out += n == 2 ? " and " : (i == n - 1 ? ", and " : ", ");
        out += '\'';
        out += sig.params[missing[i]];
        out += '\'';
    }
    return out;
}

bool too_many_positional(const Signature &sig, Py_ssize_t nargs) {
    const int self = sig.method ? 1 : 0;
    const Py_ssize_t given = nargs + self;
    const int total = sig.count + self;
    if (sig.required < sig.count) {
        PyErr_Format(PyExc_TypeError,
                     "%s() takes from %d to %d positional arguments but %zd %s given", sig.qualname,
                     sig.required + self, total, given, given == 1 ? "was" : "were");
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given",
                     sig.qualname, total, total == 1 ? "" : "s", given,
                     given == 1 ? "was" : "were");
    }
    return false;
}

// The index of the parameter named `key`, -1 if none, -2 on error.
int find_param(const Signature &sig, PyObject *key, PyObject **interned) {
    for (int i = 0; i < sig.count; ++i)
        if (interned[i] == key) return i;
    for (int i = 0; i < sig.count; ++i) {
        int eq = PyObject_RichCompareBool(interned[i], key, Py_EQ);
        if (eq < 0) return -2;
        if (eq) return i;
    }
    return -1;
}

}  // namespace

bool bind_slow(const Signature &sig, PyObject *const *defaults, PyObject *const *args,
               Py_ssize_t nargs, PyObject *kwnames, PyObject **out) {
    for (int i = 0; i < sig.count; ++i) out[i] = i < nargs ? args[i] : nullptr;

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw > 0) {
        PyObject **interned = sig.interned.data();
        if (sig.count > 0 && interned[sig.count - 1] == nullptr) {
            for (int i = 0; i < sig.count; ++i)
                if (!intern_to(interned[i], sig.params[i])) return false;
        }
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            int i = find_param(sig, key, interned);
            if (i == -2) return false;
            if (i < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                             sig.qualname, key);
                return false;
            }
            if (out[i] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                             sig.qualname, sig.params[i]);
                return false;
            }
            out[i] = args[nargs + k];
        }
    }
    if (nargs > sig.count) return too_many_positional(sig, nargs);

    std::array<int, max_params> missing{};
    int nmissing = 0;
    for (int i = 0; i < sig.count; ++i) {
        if (out[i] != nullptr) continue;
        if (i >= sig.required) {
            out[i] = defaults[i - sig.required];
        } else {
            missing[nmissing++] = i;
        }
    }
    if (nmissing > 0) {
        PyErr_Format(PyExc_TypeError, "%s() missing %d required positional argument%s: %s",
                     sig.qualname, nmissing, nmissing == 1 ? "" : "s",
                     name_list(sig, missing, nmissing).c_str());
        return false;
    }
    return true;
}

}  // namespace csdk
