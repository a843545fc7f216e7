#include "module/stack.h"

#include <algorithm>

#if defined(_WIN32)
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0602  // GetCurrentThreadStackLimits: Windows 8 and later
#endif
#include <windows.h>
#elif defined(__APPLE__)
#include <pthread.h>
#elif defined(__linux__)
#include <pthread.h>
#endif

namespace csdk::stack {
namespace {

Bounds find() {
    std::uintptr_t low = 0, high = 0;
#if defined(_WIN32)
    ULONG_PTR lo = 0, hi = 0;
    GetCurrentThreadStackLimits(&lo, &hi);
    low = lo;
    high = hi;
#elif defined(__APPLE__)
    pthread_t self = pthread_self();
    high = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self));
    low = high - pthread_get_stacksize_np(self);
#elif defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void *addr = nullptr;
        std::size_t size = 0;
        if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
            low = reinterpret_cast<std::uintptr_t>(addr);
            high = low + size;
        }
        pthread_attr_destroy(&attr);
    }
#endif
    Bounds b;
    if (high <= low) return b;
    // A quarter of the stack, at least 64 KiB and at most 512 KiB, and never more than half:
    // room for the deepest excursion between two guards (reporting an error through the
    // interpreter's hooks and their Python code) and for the interpreter's own frames.
    const std::size_t size = high - low;
    const std::size_t margin =
        std::min<std::size_t>(std::clamp<std::size_t>(size / 4, 64 << 10, 512 << 10), size / 2);
    b.low = low;
    b.high = high;
    b.soft = low + margin;
    return b;
}

}  // namespace

const Bounds &bounds() {
    // Constant-initialised: the first use on a thread finds its stack (a thread lives on one).
    static thread_local Bounds b;
    static thread_local bool found = false;
    if (!found) {
        b = find();
        found = true;
    }
    return b;
}

}  // namespace csdk::stack
