// Compiler and platform helpers. The only place where compiler-specific constructs appear.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define CSDK_LIKELY(x) __builtin_expect(!!(x), 1)
#define CSDK_UNLIKELY(x) __builtin_expect(!!(x), 0)
#define CSDK_NOINLINE __attribute__((noinline))
#define CSDK_INLINE inline __attribute__((always_inline))
#define CSDK_EXPORT __attribute__((visibility("default")))
#elif defined(_MSC_VER)
#define CSDK_LIKELY(x) (x)
#define CSDK_UNLIKELY(x) (x)
#define CSDK_NOINLINE __declspec(noinline)
#define CSDK_INLINE __forceinline
#define CSDK_EXPORT __declspec(dllexport)
#else
#define CSDK_LIKELY(x) (x)
#define CSDK_UNLIKELY(x) (x)
#define CSDK_NOINLINE
#define CSDK_INLINE inline
#define CSDK_EXPORT
#endif
