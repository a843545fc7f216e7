// Conversion of Python arguments to C values, one converter per argument kind, and of C
// results back to Python. Every wrapper converts through these and nothing else.
//
// Invariant: the exact types (int, float, bool, None, bytes) convert inline without running
// any code; every conversion that may call into the argument (__len__, __int__, __index__,
// __float__, __bool__) passes the recursion guard, since adapt_to_python3 enters the module's
// functions without the interpreter's own check.
#pragma once

#include <climits>

#include "module/compat.h"
#include "module/ref.h"

namespace csdk::convert {

bool to_int32_slow(PyObject *o, int &out);

// 32-bit integer (C int): an int or bool, or any object whose type offers __int__ (a float is
// truncated toward zero). TypeError "an integer is required" without one, TypeError
// "__int__ returned non-int (type %.200s)" when it returns something else, OverflowError
// outside the signed 32-bit range.
CSDK_INLINE bool to_int32(PyObject *o, int &out) {
    if (CSDK_LIKELY(PyLong_CheckExact(o) && PyUnstable_Long_IsCompact((PyLongObject *)o))) {
        // A compact int holds at most 30 bits: it always fits.
        out = static_cast<int>(PyUnstable_Long_CompactValue((PyLongObject *)o));
        return true;
    }
    return to_int32_slow(o, out);
}

// Real number (C double): an exact float directly, anything else through the interpreter's
// conversion (__float__ or __index__); TypeError otherwise.
bool to_real_slow(PyObject *o, double &out);
CSDK_INLINE bool to_real(PyObject *o, double &out) {
    if (CSDK_LIKELY(PyFloat_CheckExact(o))) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    return to_real_slow(o, out);
}

// Flag (one-byte bool): the truth value of any object; an exception of its truth test
// propagates.
bool to_flag_slow(PyObject *o, bool &out);
CSDK_INLINE bool to_flag(PyObject *o, bool &out) {
    if (CSDK_LIKELY(o == Py_True || o == Py_False || o == Py_None)) {
        out = o == Py_True;
        return true;
    }
    return to_flag_slow(o, out);
}

// Keeps a bytearray from being resized while the SDK holds the address of its storage:
// an attempt to resize it meanwhile raises BufferError instead of leaving the SDK with a
// dangling pointer. Uses bytearray's own buffer slots, whatever a subclass defines.
//
// Converters are made on every call: their constructors are written out (not defaulted) so
// that value-initialising one, as std::tuple does, does not zero the unused view first.
class Pin {
public:
    Pin() {}
    Pin(const Pin &) = delete;
    Pin &operator=(const Pin &) = delete;
    ~Pin() {
        if (pinned_ != nullptr) release();
    }
    void hold(PyObject *bytearray);

private:
    void release();
    // The view is filled, and read, only while pinned_ is set: left uninitialised otherwise, so
    // that a converter costs nothing until it meets a bytearray.
    PyObject *pinned_ = nullptr;
    Py_buffer view_;
};

// Byte string (NUL-terminated const char *): a bytes or bytearray object (subclasses
// included), passed as the address of its own storage; anything else raises the interpreter's
// TypeError "expected bytes, %.200s found".
class ByteString {
public:
    ByteString() {}
    CSDK_INLINE bool convert(PyObject *o) {
        if (CSDK_LIKELY(PyBytes_Check(o))) {
            ptr_ = PyBytes_AS_STRING(o);
            return true;
        }
        return convert_slow(o);
    }
    const char *get() const { return ptr_; }

private:
    bool convert_slow(PyObject *o);
    const char *ptr_ = nullptr;
    Pin pin_;
};

// Serialised request (address and C int length): the length is len(req), taken first; then
// the address of a bytes or bytearray object's own storage (no copy; NUL bytes are data).
// A length that the C int cannot carry raises OverflowError, one beyond the object's storage
// ValueError, both before the SDK sees the request.
class Request {
public:
    Request() {}
    CSDK_INLINE bool convert(PyObject *o) {
        if (CSDK_LIKELY(PyBytes_CheckExact(o))) {
            Py_ssize_t n = PyBytes_GET_SIZE(o);
            if (CSDK_LIKELY(n <= INT_MAX)) {
                ptr_ = PyBytes_AS_STRING(o);
                len_ = static_cast<int>(n);
                return true;
            }
        }
        return convert_slow(o);
    }
    const char *data() const { return ptr_; }
    int size() const { return len_; }

private:
    bool convert_slow(PyObject *o);
    const char *ptr_ = nullptr;
    int len_ = 0;
    Pin pin_;
};

// A text returned by the SDK, copied up to its NUL; a null pointer gives empty bytes (the SDK
// owns the string; it is never dereferenced when null and never freed).
PyObject *from_text(const char *text);

// A response buffer of the SDK, copied with exactly the reported length. A negative length
// raises the interpreter's SystemError; a null buffer with a positive length raises
// SystemError instead of reading from nowhere.
CSDK_INLINE PyObject *from_response(const char *res, int len) {
    if (CSDK_UNLIKELY(res == nullptr && len > 0)) {
        PyErr_Format(PyExc_SystemError, "the SDK reported a response of %d bytes at a null address",
                     len);
        return nullptr;
    }
    return PyBytes_FromStringAndSize(res, len);
}

// The result of a call that fills a response: (status, payload) when the status equals
// CSDK_OPERATE_SUCCESS (looked up now), else (status, None). The response is copied before
// any Python code can run and kept only on success.
PyObject *reply(int status, const char *res, int res_len);

// The result of a call that fills a text: None when `status != CSDK_OPERATE_SUCCESS` (looked up
// now) is true, else bytes copied from `text`; copied, as a response is, before any Python code can
// run.
PyObject *text_reply(int status, const char *text);

}  // namespace csdk::convert
