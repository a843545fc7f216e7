// Wrappers declared by their C signature.
//
// A wrapper is a row: the attribute it is bound under, its Python parameter list, and the C
// function it calls (an SDK function, one that answers through out-parameters named with
// fills<...>, or a small adapter lambda around one). The C parameter types pick the converters
// and the C return type picks the result:
//
//   const char *      byte string          void          None
//   int               32-bit integer       int           int
//   double            real number          long long     int
//   bool              flag                 double        float
//   RequestArg        serialised request   const char *  bytes (b"" for NULL)
//                                          Reply         (status, payload) or (status, None)
//                                          TextReply     bytes or None
//
// Arguments are converted left to right (in the order of the C parameters); the first failure
// raises and the C function is not called. Rows of one C signature share one implementation,
// `run`, which holds the function's address; each row gets its own builtin function.
#pragma once

#include <array>
#include <tuple>
#include <type_traits>
#include <utility>

#include "module/args.h"
#include "module/convert.h"
#include "module/registry.h"

namespace csdk {

// A serialised request as the C function receives it.
struct RequestArg {
    const char *data;
    int size;
};

// What an SDK function that fills a response reports: its status and the response buffer.
struct Reply {
    int status;
    char *res;  // preset to null, with res_len 0, before the call
    int res_len;
};

// What an SDK function that fills a text out-parameter reports: its status and the text.
struct TextReply {
    int status;
    char *text;
};

namespace detail {

template <typename T>
struct Converter;

// Constructors written out where a converter holds a Pin (see convert.h).
template <>
struct Converter<const char *> {
    Converter() {}
    convert::ByteString v;
    bool convert(PyObject *o) { return v.convert(o); }
    const char *get() const { return v.get(); }
};

template <>
struct Converter<int> {
    int v = 0;
    bool convert(PyObject *o) { return convert::to_int32(o, v); }
    int get() const { return v; }
};

template <>
struct Converter<double> {
    double v = 0.0;
    bool convert(PyObject *o) { return convert::to_real(o, v); }
    double get() const { return v; }
};

template <>
struct Converter<bool> {
    bool v = false;
    bool convert(PyObject *o) { return convert::to_flag(o, v); }
    bool get() const { return v; }
};

template <>
struct Converter<RequestArg> {
    Converter() {}
    convert::Request v;
    bool convert(PyObject *o) { return v.convert(o); }
    RequestArg get() const { return {v.data(), v.size()}; }
};

inline PyObject *result(int v) {
    return PyLong_FromLong(v);
}
inline PyObject *result(long long v) {
    return PyLong_FromLongLong(v);
}
inline PyObject *result(double v) {
    return PyFloat_FromDouble(v);
}
inline PyObject *result(const char *v) {
    return convert::from_text(v);
}
// (status, payload) when status == CSDK_OPERATE_SUCCESS
inline PyObject *result(const Reply &r) {
    return convert::reply(r.status, r.res, r.res_len);
}
// None when status != CSDK_OPERATE_SUCCESS, else bytes
inline PyObject *result(const TextReply &r) {
    return convert::text_reply(r.status, r.text);
}

}  // namespace detail

// How a row differs from a plain wrapper.
struct Options {
    const char *name = nullptr;  // __name__ when it is not the attribute's name
    const char *doc = nullptr;   // the docstring, if it has one
    bool check_pending = false;  // raise an exception left pending by the C function
    const int *order = nullptr;  // C parameter k takes Python parameter order[k]
};

// An SDK function that answers through two out-parameters (char **res, int *res_len) after its
// parameters A...: the wrapper passes its own (preset to null and 0) and reports a Reply. Named
// with its parameters: fills<const char *, bool, const char *>(qvi_current_pb).
template <typename... A>
struct Fills {
    int (*fn)(A..., char **res, int *res_len);
};

template <typename... A>
Fills<A...> fills(std::type_identity_t<int (*)(A..., char **, int *)> fn) {
    return {fn};
}

namespace detail {

template <typename R, typename... A, typename... V>
CSDK_INLINE R apply(R (*fn)(A...), V... v) {
    return fn(v...);
}

template <typename... A, typename... V>
CSDK_INLINE Reply apply(const Fills<A...> &f, V... v) {
    Reply r{0, nullptr, 0};
    r.status = f.fn(v..., &r.res, &r.res_len);
    return r;
}

}  // namespace detail

// A row whose C function is `Fn`: a function of signature R(A...), or Fills<A...> (R is Reply).
template <typename F, typename Fn = F *>
struct Wrapper;

template <typename R, typename... A, typename Fn>
struct Wrapper<R(A...), Fn> {
    template <std::size_t N>
    Wrapper(const char *attr_, const char *const (&params)[N], Fn fn_, Options o = {})
        : attr(attr_), sig(o.name ? o.name : attr_, params), fn(fn_), options(o) {
        static_assert(N == sizeof...(A), "one Python parameter per C parameter");
        for (std::size_t k = 0; k < N; ++k) source[k] = o.order ? o.order[k] : static_cast<int>(k);
    }
    Wrapper(const char *attr_, Fn fn_, Options o = {})
        : attr(attr_), sig(o.name ? o.name : attr_), fn(fn_), options(o) {
        static_assert(sizeof...(A) == 0, "parameters missing");
    }

    const char *attr;  // the module attribute it is bound under
    Signature sig;     // the Python parameters and the name messages give
    Fn fn;             // the C function
    Options options;

    const char *attribute() const { return attr; }
    const char *doc() const { return options.doc; }
    int adapted() const { return -1; }
    std::array<int, sizeof...(A)> source{};  // C parameter k takes Python parameter source[k]
};

template <typename R, typename... A, std::size_t N>
Wrapper(const char *, const char *const (&)[N], R (*)(A...), Options = {}) -> Wrapper<R(A...)>;
template <typename R, typename... A>
Wrapper(const char *, R (*)(A...), Options = {}) -> Wrapper<R(A...)>;
template <typename... A, std::size_t N>
Wrapper(const char *, const char *const (&)[N], Fills<A...>, Options = {})
    -> Wrapper<Reply(A...), Fills<A...>>;

// The one implementation of every wrapper of C signature R(A...).
template <typename R, typename... A, typename Fn>
PyObject *run(const Wrapper<R(A...), Fn> &w, PyObject *const *args, Py_ssize_t nargs,
              PyObject *kwnames) {
    constexpr int n = static_cast<int>(sizeof...(A));
    Args<n> bound;
    if (!bound.bind(w.sig, args, nargs, kwnames)) return nullptr;
    std::tuple<detail::Converter<std::remove_cv_t<A>>...> conv;
    const bool converted = [&]<std::size_t... I>(std::index_sequence<I...>) {
        return (std::get<I>(conv).convert(bound[w.source[I]]) && ...);
    }(std::index_sequence_for<A...>{});
    if (!converted) return nullptr;
    auto call = [&]<std::size_t... I>(std::index_sequence<I...>) {
        return detail::apply(w.fn, std::get<I>(conv).get()...);
    };
    if constexpr (std::is_void_v<R>) {
        call(std::index_sequence_for<A...>{});
        if (w.options.check_pending && PyErr_Occurred()) return nullptr;
        Py_RETURN_NONE;
    } else {
        R r = call(std::index_sequence_for<A...>{});
        if (w.options.check_pending && PyErr_Occurred()) return nullptr;
        return detail::result(r);
    }
}

}  // namespace csdk
