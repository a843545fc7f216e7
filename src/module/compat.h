// Compiler and platform helpers. The only place where compiler-specific constructs appear.
#pragma once

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>  // _AddressOfReturnAddress
#endif

// CSDK_FRAME_ADDRESS() is an address in the current function's frame on the machine's stack
// (not in a sanitizer's stand-in for it), or null where the compiler offers none.
//
// CSDK_INLINE marks the small functions of the hot paths, which must be inlined. GCC and clang
// fail the build where they cannot inline one. MSVC declines __forceinline silently in a build
// without inlining (/Ob0: the Debug configuration), and with warning C4714, an error under /WX
// (CSDK_WERROR), where the function is called through its address, is recursive or variadic, or
// uses another exception-handling model than its caller. None of that applies to a CSDK_INLINE
// function, so C4714 stays on: it would name a hot-path function that lost its inlining.
#if defined(__GNUC__) || defined(__clang__)
#define CSDK_LIKELY(x) __builtin_expect(!!(x), 1)
#define CSDK_UNLIKELY(x) __builtin_expect(!!(x), 0)
#define CSDK_NOINLINE __attribute__((noinline))
#define CSDK_INLINE inline __attribute__((always_inline))
#define CSDK_FRAME_ADDRESS() __builtin_frame_address(0)
#elif defined(_MSC_VER)
#define CSDK_LIKELY(x) (x)
#define CSDK_UNLIKELY(x) (x)
#define CSDK_NOINLINE __declspec(noinline)
#define CSDK_INLINE __forceinline
#define CSDK_FRAME_ADDRESS() _AddressOfReturnAddress()
#else
#define CSDK_LIKELY(x) (x)
#define CSDK_UNLIKELY(x) (x)
#define CSDK_NOINLINE
#define CSDK_INLINE inline
#define CSDK_FRAME_ADDRESS() static_cast<void *>(nullptr)
#endif

// Interpreter versions: what differs between the CPython versions the module builds for.
#include <patchlevel.h>

// The current thread state, or null when the thread holds none, without the fatal error of
// PyThreadState_Get. Public from 3.13 on; the same function under a private name in 3.12.
#if PY_VERSION_HEX >= 0x030D0000
#define CSDK_THREAD_STATE_UNCHECKED() PyThreadState_GetUnchecked()
#else
#define CSDK_THREAD_STATE_UNCHECKED() _PyThreadState_UncheckedGet()
#endif

// Whether the interpreter has begun to finalise. Public from 3.13 on; private in 3.12.
#if PY_VERSION_HEX >= 0x030D0000
#define CSDK_IS_FINALIZING() Py_IsFinalizing()
#else
#define CSDK_IS_FINALIZING() _Py_IsFinalizing()
#endif
