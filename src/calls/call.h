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
// its own builtin function (table_entry<Table, I>), which passes its row to the shared
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

    const char *attribute() const { return sig.qualname; }
    const char *doc() const { return nullptr; }
    int adapted() const { return static_cast<int>(binding); }

private:
    static Signature make_signature(const char *name) {
        if constexpr (std::is_same_v<Shape, Fetch>) {
            return Signature(name);
        } else {
            return Signature(name, req_param);
        }
    }
};

// The implementation of each shape, shared by all its members (see definitions<Table>() in
// module/registry.h for the builtin function each member gets).
PyObject *run(const Member<Exchange> &m, PyObject *const *args, Py_ssize_t nargs,
              PyObject *kwnames);
PyObject *run(const Member<Command> &m, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *run(const Member<Fetch> &m, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

// The member tables, one per domain.
Definitions trading();           // orders, cash, positions, accounts, option combinations
Definitions market_data();       // prices, ticks, bars, level-2 history
Definitions reference_data();    // instruments, symbols, sessions, calendars, classifications
Definitions fundamentals();      // stock fundamentals and corporate data
Definitions derivatives();       // futures, funds, bonds and options
Definitions credit_and_pools();  // credit, IPO, strategy parameters, pools, log

}  // namespace csdk::calls
