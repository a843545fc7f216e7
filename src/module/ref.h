// Owned references to Python objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace csdk {

// Owns one reference (or none). Moving transfers it; destruction releases it.
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
    ~Ref() { Py_XDECREF(p_); }

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

// Stores intern(s) in `slot`: false, with an exception set, on failure.
inline bool intern_to(PyObject *&slot, const char *s) {
    slot = intern(s);
    return slot != nullptr;
}

}  // namespace csdk
