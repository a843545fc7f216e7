// Binding call arguments onto a function's parameter list.
//
// Every function of the module takes its parameters positionally or by keyword. A call with
// exactly the positional arguments and no keywords (the usual case) uses the caller's array as
// it is; anything else is bound into a local array, with the interpreter's wording for a
// Python function call on failure.
#pragma once

#include <array>
#include <cstddef>
#include <string>

#include "module/compat.h"
#include "module/ref.h"

namespace csdk {

inline constexpr int max_params = 12;

// A parameter list and the name that messages give the callable.
struct Signature {
    const char *qualname;                           // "py_qvi_get_orders", "TickLikeDict2.__init__"
    std::array<const char *, max_params> params{};  // names, in order
    int count = 0;                                  // number of parameters
    int required = 0;                               // the first `required` have no default
    bool method = false;                            // messages count `self` as the first argument
    const char *const *default_texts = nullptr;     // the text signature's defaults, e.g. "''"
    // The names as interned str, made by the first call that binds a keyword (never released).
    mutable std::array<PyObject *, max_params> interned{};

    constexpr Signature(const char *name) : qualname(name) {}
    template <std::size_t N>
    constexpr Signature(const char *name, const char *const (&names)[N])
        : qualname(name), count(static_cast<int>(N)), required(static_cast<int>(N)) {
        static_assert(N <= max_params);
        for (std::size_t i = 0; i < N; ++i) params[i] = names[i];
    }

    // "name($module, /, a, b)\n--\n\n": the head of a docstring that gives inspect.signature.
    // `self_name` is "$module" for module functions and "$self" for methods, whose signature
    // reads like a Python method's, "(self, a, b)".
    std::string text_signature(const char *name, const char *self_name) const;
};

// Binds into `out` (count slots): positional arguments first, then keywords by name, then the
// defaults; returns false with TypeError as a Python function would raise it.
bool bind_slow(const Signature &sig, PyObject *const *defaults, PyObject *const *args,
               Py_ssize_t nargs, PyObject *kwnames, PyObject **out);

// The arguments of one call, bound onto N parameters. Borrowed references: the caller's
// array, or the defaults, own them for the duration of the call.
template <int N>
class Args {
public:
    CSDK_INLINE bool bind(const Signature &sig, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames, PyObject *const *defaults = nullptr) {
        if (CSDK_LIKELY(kwnames == nullptr && nargs == N)) {
            argv_ = args;
            return true;
        }
        argv_ = slots_.data();
        return bind_slow(sig, defaults, args, nargs, kwnames, slots_.data());
    }
    PyObject *operator[](int i) const { return argv_[i]; }
    PyObject *const *data() const { return argv_; }

private:
    PyObject *const *argv_ = nullptr;
    std::array<PyObject *, N == 0 ? 1 : N> slots_;
};

}  // namespace csdk
