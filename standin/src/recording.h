// The recording format (docs/recording-format.md), shared by the recorder, which writes it, and
// the stand-in's replay, which encodes the arguments of the calls it receives the same way so
// that they compare byte for byte with the recorded ones.
//
// All numbers are little-endian. A value is a one-byte tag and its payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>

#include "qvsdk/qvsdk.h"
#include "standin.h"

namespace qvrec {

inline constexpr char magic[8] = {'Q', 'V', 'S', 'D', 'K', 'R', 'E', 'C'};
// The version the recorder writes; readers read every version from first_version on (2 added
// each call's duration at the end of its frame).
inline constexpr std::uint16_t version = 2;
inline constexpr std::uint16_t first_version = 1;
inline constexpr std::size_t header_size = 48;
inline constexpr std::size_t frame_head = 32;  // the body's common part
inline constexpr std::uint16_t no_function = 0xFFFF;

enum class Frame : std::uint8_t { call = 1, event = 2, open = 3, note = 4 };

enum class Tag : std::uint8_t {
    null = 0,       // a NULL pointer
    bytes = 1,      // u32 length, the bytes
    text = 2,       // u32 length, the text without its NUL
    i32 = 3,        // int
    i64 = 4,        // long long
    real = 5,       // double, IEEE 754
    flag = 6,       // bool, one byte 0 or 1
    callback = 7,   // a callback pointer: one byte, 0 for NULL, 1 for set
    unread = 8,     // a non-NULL output left unread, since the status said failure
    none = 9,       // the result of a function returning void
    redacted = 10,  // a secret left out: u8 its tag (bytes or text), u32 its length, no bytes
};

enum class Note : std::uint16_t { closed = 1, write_failed = 2, left_out = 3 };

// ---- the catalogue and its hash ----

struct Entry {
    const char *name;
    const char *signature;
};

inline constexpr Entry catalogue[] = {
#define RECORDING_EXCHANGE_(name) {#name, "exchange"},
#define RECORDING_COMMAND_(name) {#name, "command"},
#define RECORDING_FETCH_(name) {#name, "fetch"},
#define RECORDING_VALUE_(ret, name, params, args) {#name, #ret " " #params},
    QVSDK_EXCHANGE_FUNCTIONS(RECORDING_EXCHANGE_) QVSDK_COMMAND_FUNCTIONS(RECORDING_COMMAND_)
        QVSDK_FETCH_FUNCTIONS(RECORDING_FETCH_) QVSDK_VALUE_FUNCTIONS(RECORDING_VALUE_)
#undef RECORDING_EXCHANGE_
#undef RECORDING_COMMAND_
#undef RECORDING_FETCH_
#undef RECORDING_VALUE_
};
static_assert(std::size(catalogue) == static_cast<std::size_t>(standin::function_count));

// FNV-1a (64 bits) over every function's name, a NUL, its signature and a newline, in
// catalogue order: recordings made against another catalogue are told apart.
constexpr std::uint64_t hash_catalogue() {
    std::uint64_t h = 14695981039346656037ull;
    auto mix = [&h](std::string_view s) {
        for (char c : s) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    };
    for (const Entry &e : catalogue) {
        mix(e.name);
        mix(std::string_view("\0", 1));
        mix(e.signature);
        mix("\n");
    }
    return h;
}
inline constexpr std::uint64_t catalogue_hash = hash_catalogue();

// ---- encoding ----

// Appends values to `Out` (std::string, or anything with push_back, append(p, n), size() and
// data()).
template <typename Out>
class BasicEncoder {
public:
    explicit BasicEncoder(Out &out) : out_(out) {}

    void u8(std::uint8_t v) { out_.push_back(static_cast<char>(v)); }
    void u16(std::uint16_t v) { raw(&v, 2); }
    void u32(std::uint32_t v) { raw(&v, 4); }
    void u64(std::uint64_t v) { raw(&v, 8); }
    void i64(std::int64_t v) { raw(&v, 8); }
    void raw(const void *p, std::size_t n) { out_.append(static_cast<const char *>(p), n); }

    void tag(Tag t) { u8(static_cast<std::uint8_t>(t)); }
    void null() { tag(Tag::null); }
    void bytes(const char *p, long long n) {
        if (p == nullptr) return null();
        const auto size = static_cast<std::uint32_t>(n > 0 ? n : 0);
        tag(Tag::bytes);
        u32(size);
        raw(p, size);
    }
    void value(const char *text) {
        if (text == nullptr) return null();
        const std::size_t n = std::strlen(text);
        tag(Tag::text);
        u32(static_cast<std::uint32_t>(n));
        raw(text, n);
    }
    void value(int v) {
        tag(Tag::i32);
        raw(&v, 4);
    }
    void value(long long v) {
        tag(Tag::i64);
        raw(&v, 8);
    }
    void value(double v) {
        tag(Tag::real);
        raw(&v, 8);
    }
    void value(bool v) {
        tag(Tag::flag);
        u8(v ? 1 : 0);
    }
    void value(qvi_event_callback cb) {
        tag(Tag::callback);
        u8(cb != nullptr ? 1 : 0);
    }
    // Out-parameters are not arguments.
    void value(char **) {}
    void value(int *) {}

    std::size_t size() const { return out_.size(); }

private:
    Out &out_;
};

using Encoder = BasicEncoder<std::string>;

template <typename T>
inline constexpr bool is_output_v = std::is_same_v<T, char **> || std::is_same_v<T, int *>;

template <typename... A>
inline constexpr int value_count_v = (0 + ... + (is_output_v<A> ? 0 : 1));

// The arguments of one call: a count, then the values. With `request`, the first two
// parameters (const char *req, int req_len) are one byte string.
template <bool request, typename E, typename... A>
void encode_args(E &e, A... a) {
    if constexpr (request) {
        [&e](const char *req, int req_len, auto... rest) {
            e.u8(static_cast<std::uint8_t>(1 + value_count_v<decltype(rest)...>));
            e.bytes(req, req_len);
            (e.value(rest), ...);
        }(a...);
    } else {
        e.u8(static_cast<std::uint8_t>(value_count_v<A...>));
        (e.value(a), ...);
    }
}

// Which functions take a request first, as (const char *req, int req_len).
template <standin::Id id>
inline constexpr bool takes_request_v = id == standin::Id::qvi_algo_order_batch_pb;

// Functions that answer through (char **res, int *res_len), or through one text out-parameter.
template <typename... A>
constexpr bool ends_with_response() {
    if constexpr (sizeof...(A) < 2) {
        return false;
    } else {
        using Args = std::tuple<A...>;
        return std::is_same_v<std::tuple_element_t<sizeof...(A) - 2, Args>, char **> &&
               std::is_same_v<std::tuple_element_t<sizeof...(A) - 1, Args>, int *>;
    }
}

template <typename... A>
constexpr bool ends_with_text_out() {
    if constexpr (sizeof...(A) < 1) {
        return false;
    } else {
        return std::is_same_v<std::tuple_element_t<sizeof...(A) - 1, std::tuple<A...>>, char **>;
    }
}

}  // namespace qvrec
