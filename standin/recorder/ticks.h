// The recorder's clock for timestamps: the processor's time-stamp counter on x86-64 (a third of
// the cost of the system's monotonic clock here), converted to nanoseconds by the writer
// against the monotonic clock; the monotonic clock itself elsewhere. The compiler-specific
// parts are kept to this header.
#pragma once

#include <chrono>
#include <cstdint>

#if defined(__x86_64__) || defined(_M_X64)
#if defined(_MSC_VER)
#include <intrin.h>
#else
#include <x86intrin.h>
#endif
#endif

namespace ticks {

inline std::int64_t monotonic_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

#if defined(__x86_64__) || defined(_M_X64)
inline std::uint64_t now() {
    return __rdtsc();
}
#else
inline std::uint64_t now() {
    return static_cast<std::uint64_t>(monotonic_ns());
}
#endif

}  // namespace ticks
