// The interpreter's recursion guard for C paths that call back into objects a caller supplied.
//
// The interpreter checks the depth of its own calls of Python code, but a C slot that calls
// another C slot (a record backed by itself, a decorator wrapping its own kind) never passes
// through such a call: each of those paths passes this guard instead, as the interpreter's own
// slot wrappers do, and a loop or a very deep chain ends in RecursionError, not at the end of
// the stack.
#pragma once

#include "module/ref.h"

namespace csdk {

class RecursionGuard {
public:
    // Entered, or RecursionError set when the depth is exhausted (then test with `entered()`).
    RecursionGuard() : entered_(Py_EnterRecursiveCall(" while calling a Python object") == 0) {}
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
    ~RecursionGuard() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    bool entered() const { return entered_; }

private:
    bool entered_;
};

}  // namespace csdk
