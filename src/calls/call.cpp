// The three call shapes of the request/response family.
//
// A member moves bytes and the status, nothing else: the request goes to the SDK as the address
// of the object's own storage (bytes as they are; a bytearray pinned for the duration of the
// call) with len(req) as a C int, and the response is copied once, with exactly the length
// that the SDK reports, straight into the payload. Nothing beyond the status, the payload and
// the tuple is allocated on the way.
#include "calls/call.h"

#include "module/convert.h"

namespace csdk::calls {
namespace {

PyObject *req_keyword = nullptr;  // the interned "req", once a call has needed it

bool is_req_keyword(PyObject *kwnames) {
    if (CSDK_UNLIKELY(req_keyword == nullptr)) {
        req_keyword = intern("req");
        if (req_keyword == nullptr) {
            PyErr_Clear();  // the general binding below reports it
            return false;
        }
    }
    return PyTuple_GET_SIZE(kwnames) == 1 && PyTuple_GET_ITEM(kwnames, 0) == req_keyword;
}

// The request of f(req) or f(req=...) at once; any other call is bound by the general rules,
// with their messages.
CSDK_INLINE PyObject *bind_req(const Signature &sig, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames) {
    if (CSDK_LIKELY(kwnames == nullptr && nargs == 1)) return args[0];
    if (kwnames != nullptr && nargs == 0 && is_req_keyword(kwnames)) return args[0];
    Args<1> bound;
    return bound.bind(sig, args, nargs, kwnames) ? bound[0] : nullptr;
}

}  // namespace

PyObject *run(const Member<Exchange> &m, PyObject *const *args, Py_ssize_t nargs,
              PyObject *kwnames) {
    PyObject *arg = bind_req(m.sig, args, nargs, kwnames);
    if (arg == nullptr) return nullptr;
    convert::Request req;
    if (!req.convert(arg)) return nullptr;
    // Preset, so that an SDK reporting success without writing them yields empty bytes rather
    // than a read from an undefined address.
    char *res = nullptr;
    int res_len = 0;
    const int status = m.sdk.fn(req.data(), req.size(), &res, &res_len);
    // The response belongs to the SDK: reply() copies it (on success only) and never frees it.
    return convert::reply(status, res, res_len);
}

PyObject *run(const Member<Command> &m, PyObject *const *args, Py_ssize_t nargs,
              PyObject *kwnames) {
    PyObject *arg = bind_req(m.sig, args, nargs, kwnames);
    if (arg == nullptr) return nullptr;
    convert::Request req;
    if (!req.convert(arg)) return nullptr;
    return PyLong_FromLong(m.sdk.fn(req.data(), req.size()));
}

PyObject *run(const Member<Fetch> &m, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Args<0> bound;
    if (!bound.bind(m.sig, args, nargs, kwnames)) return nullptr;
    char *res = nullptr;
    int res_len = 0;
    const int status = m.sdk.fn(&res, &res_len);
    return convert::reply(status, res, res_len);
}

}  // namespace csdk::calls
