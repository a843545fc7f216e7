// Argument converters: the slow paths and the exact exception texts; the results of calls that
// compare a status.
//
// Invariant: no Python code runs between an SDK call's return and the copy of its outputs.
// A status compared with an exact int runs none; any other CSDK_OPERATE_SUCCESS is compared
// only once the response (or text) has been copied, since its comparison may call the SDK
// again, which may reuse or free the buffer.
#include "module/convert.h"

#include <utility>

#include "module/globals.h"
#include "module/guard.h"

namespace csdk::convert {
namespace {

bool long_to_int32(PyObject *v, int &out) {
    int overflow = 0;
    long x = PyLong_AsLongAndOverflow(v, &overflow);
    if (x == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || x < INT_MIN || x > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    out = static_cast<int>(x);
    return true;
}

}  // namespace

bool to_int32_slow(PyObject *o, int &out) {
    if (PyLong_Check(o)) return long_to_int32(o, out);
    PyNumberMethods *nb = Py_TYPE(o)->tp_as_number;
    if (nb == nullptr || nb->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    Ref v;
    if (PyFloat_CheckExact(o)) {
        v = Ref::steal(nb->nb_int(o));
    } else {
        RecursionGuard guard;  // __int__ is the caller's
        if (!guard.entered()) return false;
        v = Ref::steal(nb->nb_int(o));
    }
    if (!v) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    if (!PyLong_CheckExact(v.get())) {
        if (!PyLong_Check(v.get())) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                         Py_TYPE(v.get())->tp_name);
            return false;
        }
        // As the interpreter's own int() does for a strict subclass of int.
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return "
                             "an instance of a strict subclass of int is deprecated, and may "
                             "be removed in a future version of Python.",
                             Py_TYPE(v.get())->tp_name) < 0)
            return false;
    }
    return long_to_int32(v.get(), out);
}

void Pin::hold(PyObject *bytearray) {
    // bytearray's own getbuffer cannot fail for a simple request with a view to fill.
    PyByteArray_Type.tp_as_buffer->bf_getbuffer(bytearray, &view_, PyBUF_SIMPLE);
    pinned_ = view_.obj;
}

void Pin::release() {
    PyObject *obj = pinned_;
    PyByteArray_Type.tp_as_buffer->bf_releasebuffer(obj, &view_);
    pinned_ = nullptr;
    Py_DECREF(obj);
}

bool ByteString::convert_slow(PyObject *o) {
    if (PyByteArray_Check(o)) {
        pin_.hold(o);
        ptr_ = PyByteArray_AS_STRING(o);
        return true;
    }
    ptr_ = PyBytes_AsString(o);  // raises "expected bytes, %.200s found"
    return ptr_ != nullptr;
}

bool to_real_slow(PyObject *o, double &out) {
    if (PyLong_CheckExact(o)) {
        out = PyLong_AsDouble(o);
    } else {
        RecursionGuard guard;  // __float__ or __index__ is the caller's
        if (!guard.entered()) return false;
        out = PyFloat_AsDouble(o);
    }
    return !(out == -1.0 && PyErr_Occurred());
}

bool to_flag_slow(PyObject *o, bool &out) {
    RecursionGuard guard;  // __bool__ or __len__ is the caller's
    if (!guard.entered()) return false;
    int t = PyObject_IsTrue(o);
    out = t > 0;
    return t >= 0;
}

namespace {

// len(o): an exact bytes or bytearray measures itself; anything else may run the caller's
// __len__, past the recursion guard.
Py_ssize_t request_length(PyObject *o) {
    if (PyBytes_CheckExact(o)) return PyBytes_GET_SIZE(o);
    if (PyByteArray_CheckExact(o)) return PyByteArray_GET_SIZE(o);
    RecursionGuard guard;
    return guard.entered() ? PyObject_Size(o) : -1;
}

}  // namespace

bool Request::convert_slow(PyObject *o) {
    // The length first, as len() reports it (a subclass may say otherwise than its storage).
    Py_ssize_t n = request_length(o);
    if (n < 0) return false;
    Py_ssize_t held;
    if (PyByteArray_Check(o)) {
        pin_.hold(o);
        ptr_ = PyByteArray_AS_STRING(o);
        held = PyByteArray_GET_SIZE(o);
    } else {
        char *p = PyBytes_AsString(o);  // raises "expected bytes, %.200s found"
        if (p == nullptr) return false;
        ptr_ = p;
        held = PyBytes_GET_SIZE(o);
    }
    if (n > INT_MAX) {
        PyErr_Format(PyExc_OverflowError,
                     "request of %zd bytes is longer than the SDK accepts (%d at most)", n,
                     INT_MAX);
        return false;
    }
    if (n > held) {
        PyErr_Format(PyExc_ValueError, "request reports a length of %zd but holds %zd bytes", n,
                     held);
        return false;
    }
    len_ = static_cast<int>(n);
    return true;
}

PyObject *from_text(const char *text) {
    return text != nullptr ? PyBytes_FromString(text) : PyBytes_FromStringAndSize(nullptr, 0);
}

namespace {

// ok == status for an exact int `ok`, by value (no Python code runs).
bool equal_by_value(PyObject *ok, int status) {
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(ok)))
        return PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(ok)) == status;
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(ok, &overflow);
    return overflow == 0 && v == status;
}

// status_obj <op> ok, the comparison's truth value: 1, 0, or -1 with an exception set.
int compare(PyObject *status_obj, PyObject *ok, int op) {
    Ref keep = Ref::borrow(ok);  // the comparison may run code that rebinds the global
    Ref r = Ref::steal(PyObject_RichCompare(status_obj, ok, op));
    if (!r) return -1;
    if (r.get() == Py_True) return 1;
    if (r.get() == Py_False) return 0;
    RecursionGuard guard;  // the outcome's __bool__ is the caller's
    return guard.entered() ? PyObject_IsTrue(r.get()) : -1;
}

// A copy of an SDK output made before a comparison that may run Python code: the copy, or what
// making it raised (held, not set) until the comparison says whether it is wanted.
class Copy {
public:
    explicit Copy(PyObject *copy) : copy_(Ref::steal(copy)) {
        if (!copy_) error_ = Ref::steal(PyErr_GetRaisedException());
    }
    // The copy, or null with its exception set again.
    Ref take() {
        if (error_) PyErr_SetRaisedException(error_.release());
        return std::move(copy_);
    }

private:
    Ref copy_;
    Ref error_;
};

// The status as an int in `status_obj`, and in `output` what `copy_output` copies from the SDK
// on success, else None; false with an exception set. Success is `status == ok` for Py_EQ and
// `not (status != ok)` for Py_NE, ok being CSDK_OPERATE_SUCCESS looked up now: the two differ
// for a value whose == and != are not each other's negation. Known to be an exact int, the
// global compares by value and the output is copied on success only; anything else (a look-up
// included) may run Python code, so the output is copied first.
template <typename CopyOutput>
bool output_on_success(int status, int op, CopyOutput copy_output, Ref &status_obj, Ref &output) {
    if (PyObject *ok = globals::cached(globals::CSDK_OPERATE_SUCCESS);
        ok != nullptr && PyLong_CheckExact(ok)) {
        output = equal_by_value(ok, status) ? Ref::steal(copy_output()) : Ref::borrow(Py_None);
        status_obj = Ref::steal(output ? PyLong_FromLong(status) : nullptr);
        return static_cast<bool>(status_obj);
    }
    Copy copy(copy_output());
    status_obj = Ref::steal(PyLong_FromLong(status));
    if (!status_obj) return false;
    PyObject *ok = globals::get(globals::CSDK_OPERATE_SUCCESS);
    if (ok == nullptr) return false;
    int success;
    if (PyLong_CheckExact(ok)) {
        success = equal_by_value(ok, status);
    } else {
        success = compare(status_obj.get(), ok, op);
        if (op == Py_NE && success >= 0) success = !success;
    }
    if (success < 0) return false;
    output = success ? copy.take() : Ref::borrow(Py_None);
    return static_cast<bool>(output);
}

// (status, payload), taking the payload (null: fail) and the status as an int object (null:
// made here from `status`).
CSDK_INLINE PyObject *pair(Ref status_obj, Ref payload, int status) {
    if (!payload) return nullptr;
    if (!status_obj) {
        status_obj = Ref::steal(PyLong_FromLong(status));
        if (!status_obj) return nullptr;
    }
    PyObject *tuple = PyTuple_New(2);
    if (tuple == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple, 0, status_obj.release());
    PyTuple_SET_ITEM(tuple, 1, payload.release());
    return tuple;
}

CSDK_NOINLINE PyObject *reply_slow(int status, const char *res, int res_len) {
    Ref status_obj, payload;
    if (!output_on_success(
            status, Py_EQ, [&] { return from_response(res, res_len); }, status_obj, payload))
        return nullptr;
    return pair(std::move(status_obj), std::move(payload), status);
}

}  // namespace

PyObject *reply(int status, const char *res, int res_len) {
    // The usual case in one pass: CSDK_OPERATE_SUCCESS known, unchanged since it was looked up,
    // and an exact int (which compares by value and runs no Python code).
    PyObject *ok = globals::cached(globals::CSDK_OPERATE_SUCCESS);
    if (CSDK_LIKELY(ok != nullptr && PyLong_CheckExact(ok) &&
                    PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(ok)))) {
        const bool success =
            PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(ok)) == status;
        Ref payload = success ? Ref::steal(from_response(res, res_len)) : Ref::borrow(Py_None);
        return pair(Ref(), std::move(payload), status);
    }
    return reply_slow(status, res, res_len);
}

PyObject *text_reply(int status, const char *text) {
    Ref status_obj, copy;
    // The text is returned unless the status differs from CSDK_OPERATE_SUCCESS (`!=`).
    if (!output_on_success(status, Py_NE, [&] { return from_text(text); }, status_obj, copy))
        return nullptr;
    return copy.release();
}

}  // namespace csdk::convert
