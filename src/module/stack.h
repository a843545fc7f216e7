// The end of the C stack, for the recursion guard.
//
// The interpreter's depth limit counts nested calls, not bytes. A loop through C alone can spend
// more stack per counted call than that limit allows for (CPython 3.13 lets 10000 of them nest;
// a thread may have a small stack), and would end at the end of the stack. So the guard also
// compares the stack pointer with the thread's stack: within a margin of its end, the guard is
// refused as at the depth limit. Where the thread's stack is unknown (or the pointer lies outside
// it: a stack of another kind, switched to by a coroutine library), only the depth limit holds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "module/compat.h"

namespace csdk::stack {

struct Bounds {
    std::uintptr_t low = 0;   // the stack's lowest address (it grows down)
    std::uintptr_t high = 0;  // one past its highest
    std::uintptr_t soft = 0;  // the guard is refused below this; 0 where the stack is unknown
};

// The current thread's bounds, found once per thread.
const Bounds &bounds();

// True within the margin of the end of this thread's stack, or within `reserve` bytes above it.
CSDK_INLINE bool exhausted(std::size_t reserve = 0) {
    const auto sp = reinterpret_cast<std::uintptr_t>(CSDK_FRAME_ADDRESS());
    const Bounds &b = bounds();
    return b.soft != 0 && sp >= b.low && sp < b.high && sp < b.soft + reserve;
}

}  // namespace csdk::stack
