// The interpreter's recursion guard for C paths that call back into objects a caller supplied.
//
// The interpreter checks the depth of its own calls of Python code, but a C slot that calls
// another C slot (a record backed by itself, a decorator wrapping its own kind) never passes
// through such a call: each of those paths passes this guard instead, as the interpreter's own
// slot wrappers do, and a loop or a very deep chain ends in RecursionError, not at the end of
// the stack. The guard is refused as well near the end of the thread's C stack (stack.h), which
// the interpreter's count of calls does not see.
#pragma once

#include "module/ref.h"
#include "module/stack.h"

namespace csdk {

class RecursionGuard {
public:
    // Entered, or RecursionError set when the depth is exhausted (then test with `entered()`).
    RecursionGuard() : entered_(enter()) {}
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
    ~RecursionGuard() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    bool entered() const { return entered_; }

private:
    // RecursionError, as the interpreter words it at its depth limit.
    CSDK_NOINLINE static void refuse() {
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded while calling a Python object");
    }

    static bool enter() {
        if (CSDK_UNLIKELY(stack::exhausted())) {
            refuse();
            return false;
        }
        return Py_EnterRecursiveCall(" while calling a Python object") == 0;
    }

    bool entered_;
};

}  // namespace csdk
