// The request/response family: wrappers that hand one serialised request to one SDK function
// and bring back its status and, for most, a copy of its serialised response.
//
// The mechanism exists once per call shape (call.cpp); every member is one row of a table:
//
//   Member{"py_qvi_get_orders", exchange(qvi_get_orders_pb), adapted}
//
// The shape is a type, so an SDK function of another C signature does not compile in that
// row. The SDK function's address is data read at call time, never a template argument or a
// constant expression: on Windows the SDK's functions are imported from its DLL. Each row gets
// its own builtin function (entry<Table, I>), which passes its row to the shared
// implementation of its shape.
#pragma once

#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "module/args.h"
#include "module/registry.h"

namespace csdk::calls {

// int f(const char *req, int req_len, char **res, int *res_len): (status, payload)
struct Exchange {
    int (*fn)(const char *req, int req_len, char **res, int *res_len);
};
// int f(const char *req, int req_len): the status
struct Command {
    int (*fn)(const char *req, int req_len);
};
// int f(char **res, int *res_len): (status, payload), no parameters
struct Fetch {
    int (*fn)(char **res, int *res_len);
};

inline Exchange exchange(decltype(Exchange::fn) fn) {
    return {fn};
}
inline Command command(decltype(Command::fn) fn) {
    return {fn};
}
inline Fetch fetch(decltype(Fetch::fn) fn) {
    return {fn};
}

// Whether the import binds the member through adapt_to_python3 (a str request is then encoded
// as ASCII before the member runs).
enum Adapted : int { plain = 0, adapted = 1 };

inline constexpr const char *req_param[] = {"req"};

// One member: its Python name (also the name its messages give), the SDK function it calls
// with its call shape, and its binding.
template <typename Shape>
struct Member {
    Member(const char *name, Shape sdk_, Adapted binding_)
        : sig(make_signature(name)), sdk(sdk_), binding(binding_) {}

    Signature sig;    // the Python name and parameters
    Shape sdk;        // the SDK function
    Adapted binding;  // through adapt_to_python3 or not

private:
    static Signature make_signature(const char *name) {
        if constexpr (std::is_same_v<Shape, Fetch>) {
            return Signature(name);
        } else {
            return Signature(name, req_param);
        }
    }
};

// The implementation of each shape, shared by all its members.
PyObject *call(const Member<Exchange> &m, PyObject *const *args, Py_ssize_t nargs,
               PyObject *kwnames);
PyObject *call(const Member<Command> &m, PyObject *const *args, Py_ssize_t nargs,
               PyObject *kwnames);
PyObject *call(const Member<Fetch> &m, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

template <auto &Table, std::size_t I>
PyObject *entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return call(std::get<I>(Table), args, nargs, kwnames);
}

// The definitions of a member table (a std::tuple of Member rows with static storage).
template <auto &Table>
Definitions definitions() {
    constexpr std::size_t n = std::tuple_size_v<std::remove_cvref_t<decltype(Table)>>;
    return []<std::size_t... I>(std::index_sequence<I...>) {
        return Definitions{Definition{
            std::get<I>(Table).sig.qualname,
            method_def(std::get<I>(Table).sig.qualname, &entry<Table, I>, std::get<I>(Table).sig),
            static_cast<int>(std::get<I>(Table).binding)}...};
    }(std::make_index_sequence<n>{});
}

// The member tables, one per domain.
Definitions trading();           // orders, cash, positions, accounts, option combinations
Definitions market_data();       // prices, ticks, bars, level-2 history
Definitions reference_data();    // instruments, symbols, sessions, calendars, classifications
Definitions fundamentals();      // stock fundamentals and corporate data
Definitions derivatives();       // futures, funds, bonds and options
Definitions credit_and_pools();  // credit, IPO, strategy parameters, pools, log

}  // namespace csdk::calls
