// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78), the checksum of the recording format.
//
// Portable: slicing by eight over tables built at compile time. On x86-64 the SSE4.2 crc32
// instruction is used instead when the processor has it (checked once at run time); the
// compiler-specific parts of that are kept to this header.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(_M_X64)
#define QVSDK_CRC32C_X86 1
#include <nmmintrin.h>
#if defined(_MSC_VER)
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

namespace crc32c {

namespace detail {

using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr Tables make_tables() {
    Tables t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ ((c & 1u) ? 0x82F63B78u : 0u);
        t[0][i] = c;
    }
    for (std::size_t i = 0; i < 256; ++i)
        for (std::size_t s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    return t;
}

inline constexpr Tables tables = make_tables();

inline std::uint32_t portable(std::uint32_t crc, const unsigned char *p, std::size_t n) {
    while (n >= 8) {
        std::uint32_t lo;
        std::uint32_t hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + 4, 4);
        lo ^= crc;  // little-endian order, as the format is
        crc = tables[7][lo & 0xFF] ^ tables[6][(lo >> 8) & 0xFF] ^ tables[5][(lo >> 16) & 0xFF] ^
              tables[4][lo >> 24] ^ tables[3][hi & 0xFF] ^ tables[2][(hi >> 8) & 0xFF] ^
              tables[1][(hi >> 16) & 0xFF] ^ tables[0][hi >> 24];
        p += 8;
        n -= 8;
    }
    while (n-- > 0) crc = (crc >> 8) ^ tables[0][(crc ^ *p++) & 0xFF];
    return crc;
}

#if defined(QVSDK_CRC32C_X86)

#if defined(_MSC_VER)
inline bool has_sse42() {
    int info[4];
    __cpuid(info, 1);
    return (info[2] & (1 << 20)) != 0;
}
#define QVSDK_CRC32C_TARGET
#else
inline bool has_sse42() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    return __get_cpuid(1, &a, &b, &c, &d) != 0 && (c & bit_SSE4_2) != 0;
}
#define QVSDK_CRC32C_TARGET __attribute__((target("sse4.2")))
#endif

QVSDK_CRC32C_TARGET inline std::uint32_t hardware(std::uint32_t crc, const unsigned char *p,
                                                  std::size_t n) {
    std::uint64_t c = crc;
    while (n >= 8) {
        std::uint64_t v;
        std::memcpy(&v, p, 8);
        c = _mm_crc32_u64(c, v);
        p += 8;
        n -= 8;
    }
    auto c32 = static_cast<std::uint32_t>(c);
    if (n >= 4) {
        std::uint32_t v;
        std::memcpy(&v, p, 4);
        c32 = _mm_crc32_u32(c32, v);
        p += 4;
        n -= 4;
    }
    while (n-- > 0) c32 = _mm_crc32_u8(c32, *p++);
    return c32;
}

// Three computations at once: the instruction takes three cycles to give its result but starts
// one a cycle, so three independent chains run in the time of one.
QVSDK_CRC32C_TARGET inline void hardware3(const unsigned char *const p[3], const std::size_t n[3],
                                          std::uint32_t out[3]) {
    std::uint64_t c0 = 0xFFFFFFFFu, c1 = 0xFFFFFFFFu, c2 = 0xFFFFFFFFu;
    const std::size_t words = std::min(n[0], std::min(n[1], n[2])) / 8;
    const unsigned char *a = p[0], *b = p[1], *c = p[2];
    for (std::size_t i = 0; i < words; ++i) {
        std::uint64_t x, y, z;
        std::memcpy(&x, a, 8);
        std::memcpy(&y, b, 8);
        std::memcpy(&z, c, 8);
        c0 = _mm_crc32_u64(c0, x);
        c1 = _mm_crc32_u64(c1, y);
        c2 = _mm_crc32_u64(c2, z);
        a += 8;
        b += 8;
        c += 8;
    }
    const std::size_t done = words * 8;
    out[0] = ~hardware(static_cast<std::uint32_t>(c0), a, n[0] - done);
    out[1] = ~hardware(static_cast<std::uint32_t>(c1), b, n[1] - done);
    out[2] = ~hardware(static_cast<std::uint32_t>(c2), c, n[2] - done);
}

#undef QVSDK_CRC32C_TARGET

#endif

}  // namespace detail

// The CRC-32C of n bytes (initial value and final complement included).
inline std::uint32_t compute(const void *data, std::size_t n) {
    const auto *p = static_cast<const unsigned char *>(data);
#if defined(QVSDK_CRC32C_X86)
    static const bool hw = detail::has_sse42();
    if (hw) return ~detail::hardware(0xFFFFFFFFu, p, n);
#endif
    return ~detail::portable(0xFFFFFFFFu, p, n);
}

// The CRC-32C of `count` (at most 3) pieces of data: out[i] of n[i] bytes at p[i].
inline void compute_some(const unsigned char *const p[3], const std::size_t n[3], int count,
                         std::uint32_t out[3]) {
#if defined(QVSDK_CRC32C_X86)
    static const bool hw = detail::has_sse42();
    if (hw && count == 3) {
        detail::hardware3(p, n, out);
        return;
    }
#endif
    for (int i = 0; i < count; ++i) out[i] = compute(p[i], n[i]);
}

// The portable computation alone (to check the two against each other).
inline std::uint32_t compute_portable(const void *data, std::size_t n) {
    return ~detail::portable(0xFFFFFFFFu, static_cast<const unsigned char *>(data), n);
}

}  // namespace crc32c
