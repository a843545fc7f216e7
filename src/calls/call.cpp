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

PyObject *call(const Member<Exchange> &m, PyObject *const *args, Py_ssize_t nargs,
               PyObject *kwnames) {
    Args<1> bound;
    if (!bound.bind(m.sig, args, nargs, kwnames)) return nullptr;
    convert::Request req;
    if (!req.convert(bound[0])) return nullptr;
    // Preset, so that an SDK reporting success without writing them yields empty bytes rather
    // than a read from an undefined address.
    char *res = nullptr;
    int res_len = 0;
    const int status = m.call.fn(req.data(), req.size(), &res, &res_len);
    // The response belongs to the SDK: reply() copies it (on success only) and never frees it.
    return convert::reply(status, res, res_len);
}

PyObject *call(const Member<Command> &m, PyObject *const *args, Py_ssize_t nargs,
               PyObject *kwnames) {
    Args<1> bound;
    if (!bound.bind(m.sig, args, nargs, kwnames)) return nullptr;
    convert::Request req;
    if (!req.convert(bound[0])) return nullptr;
    return PyLong_FromLong(m.call.fn(req.data(), req.size()));
}

PyObject *call(const Member<Fetch> &m, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Args<0> bound;
    if (!bound.bind(m.sig, args, nargs, kwnames)) return nullptr;
    char *res = nullptr;
    int res_len = 0;
    const int status = m.call.fn(&res, &res_len);
    return convert::reply(status, res, res_len);
}

}  // namespace csdk::calls
