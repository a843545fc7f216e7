// Owned references to Python objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace csdk {

// Whether this thread is attached to the interpreter (holds its lock). At interpreter exit, a
// thread that tries to take the lock back (around a sleep or a write in Python code that one of
// our functions called, or on its way into an event) is ended by the interpreter with
// pthread_exit, which unwinds its C++ frames without the lock. Destructors that release
// objects check this first and, during such an unwinding, leave every object alone: the
// references are abandoned, the process being at its end.
inline bool attached() {
    return _PyThreadState_UncheckedGet() != nullptr;
}

// Whether this thread may release objects now: always while the interpreter runs (one cheap
// read of a process-wide flag), and during its finalization only when attached().
inline bool may_release() {
#if PY_VERSION_HEX >= 0x030D0000
    return !Py_IsFinalizing() || attached();
#else
    return !_Py_IsFinalizing() || attached();
#endif
}

// Owns one reference (or none). Moving transfers it; destruction releases it (unless the
// thread is being ended detached, see attached()).
class Ref {
public:
    Ref() = default;
    // Takes over a new reference (may be null, e.g. the result of a failed call).
    static Ref steal(PyObject *p) { return Ref(p); }
    // Takes a new reference to a borrowed object.
    static Ref borrow(PyObject *p) {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(Ref &&other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref &operator=(Ref &&other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() {
        if (p_ != nullptr && may_release()) Py_DECREF(p_);
    }

    PyObject *get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference to the caller.
    PyObject *release() { return std::exchange(p_, nullptr); }
    void reset(PyObject *stolen = nullptr) { Ref(stolen).swap(*this); }
    void swap(Ref &other) noexcept { std::swap(p_, other.p_); }

private:
    explicit Ref(PyObject *p) : p_(p) {}
    PyObject *p_ = nullptr;
};

// An interned str owned for the life of the process (never released, so no destructor runs
// at exit); null with an exception set on failure. Repeated calls with the same text return
// the same object.
PyObject *intern(const char *s);

}  // namespace csdk
