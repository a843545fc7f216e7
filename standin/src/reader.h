// Reading the recording format (docs/recording-format.md): the one parser behind every reader
// of recordings, the Python reader (through the control API of reader.cpp) and replay alike.
//
// A recording is untrusted input. Every length read from it is checked against what its frame
// holds before anything is read; nothing is allocated in proportion to a length the file
// claims; a value never reaches past its frame. The file is read through a read-only mapping:
// values are views into it, never copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "crc32c.h"
#include "recording.h"

namespace qvrec {

// The tag of a value whose content the recorder left out (a secret): its payload is the
// original tag (bytes or text) and the original length.
inline constexpr std::uint8_t redacted_tag = 10;
inline constexpr std::uint32_t max_frame = 1u << 31;

// A read-only mapping of a whole file (empty for an empty file).
class Mapping {
public:
    Mapping() = default;
    Mapping(const Mapping &) = delete;
    Mapping &operator=(const Mapping &) = delete;
    ~Mapping() { close(); }

    // Maps `path` (UTF-8); false with `error` set when it cannot.
    bool open(const char *path, std::string &error);
    // Reads `size` bytes at `data`, which the caller keeps alive, instead of a file.
    void borrow(const unsigned char *data, std::size_t size) {
        close();
        data_ = data;
        size_ = size;
        owned_ = false;
    }
    void close();
    // Gives back to the system the pages of [from, to) (read already): a scan of a large file
    // keeps its resident memory flat. They stay readable: read again, they come from the file.
    void release(std::size_t from, std::size_t to) const;

    const unsigned char *data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    const unsigned char *data_ = nullptr;
    std::size_t size_ = 0;
    bool owned_ = true;
#if defined(_WIN32)
    void *mapping_ = nullptr;
#endif
};

inline std::uint16_t load16(const unsigned char *p) {
    std::uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}
inline std::uint32_t load32(const unsigned char *p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
inline std::uint64_t load64(const unsigned char *p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

struct Header {
    std::uint16_t version = 0;
    std::uint16_t size = 0;
    std::uint32_t functions = 0;
    std::uint64_t catalogue_hash = 0;
    std::int64_t start_ns = 0;
    std::int64_t monotonic_ns = 0;
    std::uint32_t pid = 0;
    // Recorded against this library's catalogue: function indexes name its functions.
    bool own_catalogue() const {
        return catalogue_hash == qvrec::catalogue_hash &&
               functions == static_cast<std::uint32_t>(standin::function_count);
    }
};

// Reads the header; false with `error` naming the offset and the reason when the file is not a
// recording this parser reads.
inline bool read_header(const unsigned char *p, std::size_t size, Header &h, std::string &error) {
    if (size < 8 || std::memcmp(p, magic, 8) != 0) {
        error = "offset 0: not a recording (no QVSDKREC header)";
        return false;
    }
    if (size < 12) {
        error = "offset " + std::to_string(size) + ": the file ends inside its header";
        return false;
    }
    h.version = load16(p + 8);
    h.size = load16(p + 10);
    if (h.version < first_version || h.version > version) {
        error = "offset 8: format version " + std::to_string(h.version) +
                ", this reader reads versions " + std::to_string(first_version) + " to " +
                std::to_string(version);
        return false;
    }
    if (h.size != header_size) {
        error = "offset 10: a header size of " + std::to_string(h.size) + " bytes, format " +
                std::to_string(h.version) + " has " + std::to_string(header_size);
        return false;
    }
    if (size < header_size) {
        error = "offset " + std::to_string(size) + ": the file ends inside its header (" +
                std::to_string(size) + " of " + std::to_string(header_size) + " bytes)";
        return false;
    }
    if (crc32c::compute(p, header_size - 4) != load32(p + header_size - 4)) {
        error = "offset 44: the header fails its checksum";
        return false;
    }
    h.functions = load32(p + 12);
    h.catalogue_hash = load64(p + 16);
    h.start_ns = static_cast<std::int64_t>(load64(p + 24));
    h.monotonic_ns = static_cast<std::int64_t>(load64(p + 32));
    h.pid = load32(p + 40);
    return true;
}

// One value, as a view into the file.
struct Value {
    std::uint8_t tag = 0;
    std::uint8_t sub = 0;      // redacted: the original tag; flag and callback: the byte
    std::uint32_t length = 0;  // bytes and text: the payload's; redacted: the original's
    std::int64_t integer = 0;  // i32, i64, flag, callback
    double real = 0.0;
    const unsigned char *bytes = nullptr;  // bytes and text: the payload
    const unsigned char *start = nullptr;  // the value's first byte (its tag)
    const unsigned char *end = nullptr;    // one past its last byte

    std::string_view raw() const {
        return {reinterpret_cast<const char *>(start), static_cast<std::size_t>(end - start)};
    }
    std::string_view view() const { return {reinterpret_cast<const char *>(bytes), length}; }
};

// Reads values from [at, end), never beyond `end`; the first failure is kept in `error`.
class ValueReader {
public:
    ValueReader(const unsigned char *at, const unsigned char *end) : at_(at), end_(end) {}

    const char *error = nullptr;

    std::size_t left() const { return static_cast<std::size_t>(end_ - at_); }
    const unsigned char *at() const { return at_; }

    bool take(std::size_t n, const unsigned char *&p) {
        if (n > left()) return fail("a value runs past the end of its frame");
        p = at_;
        at_ += n;
        return true;
    }
    bool u8(std::uint8_t &v) {
        const unsigned char *p;
        if (!take(1, p)) return false;
        v = *p;
        return true;
    }
    bool u16(std::uint16_t &v) {
        const unsigned char *p;
        if (!take(2, p)) return false;
        v = load16(p);
        return true;
    }
    bool u32(std::uint32_t &v) {
        const unsigned char *p;
        if (!take(4, p)) return false;
        v = load32(p);
        return true;
    }
    bool u64(std::uint64_t &v) {
        const unsigned char *p;
        if (!take(8, p)) return false;
        v = load64(p);
        return true;
    }

    bool value(Value &v) {
        v = Value{};
        v.start = at_;
        if (!u8(v.tag)) return false;
        const unsigned char *p;
        switch (v.tag) {
            case static_cast<std::uint8_t>(Tag::null):
            case static_cast<std::uint8_t>(Tag::unread):
            case static_cast<std::uint8_t>(Tag::none):
                break;
            case static_cast<std::uint8_t>(Tag::bytes):
            case static_cast<std::uint8_t>(Tag::text):
                if (!u32(v.length) || !take(v.length, v.bytes)) return false;
                break;
            case static_cast<std::uint8_t>(Tag::i32):
                if (!take(4, p)) return false;
                v.integer = static_cast<std::int32_t>(load32(p));
                break;
            case static_cast<std::uint8_t>(Tag::i64):
                if (!take(8, p)) return false;
                v.integer = static_cast<std::int64_t>(load64(p));
                break;
            case static_cast<std::uint8_t>(Tag::real): {
                if (!take(8, p)) return false;
                std::memcpy(&v.real, p, 8);
                break;
            }
            case static_cast<std::uint8_t>(Tag::flag):
            case static_cast<std::uint8_t>(Tag::callback):
                if (!u8(v.sub)) return false;
                if (v.sub > 1) return fail("a flag or callback value other than 0 or 1");
                v.integer = v.sub;
                break;
            case redacted_tag:
                if (!u8(v.sub) || !u32(v.length)) return false;
                if (v.sub != static_cast<std::uint8_t>(Tag::bytes) &&
                    v.sub != static_cast<std::uint8_t>(Tag::text))
                    return fail("a redacted value of a kind other than bytes or text");
                break;
            default:
                return fail("an unknown value tag");
        }
        v.end = at_;
        return true;
    }

private:
    bool fail(const char *why) {
        if (error == nullptr) error = why;
        return false;
    }

    const unsigned char *at_;
    const unsigned char *end_;
};

// One frame, checked and decoded: its values are views into the file.
struct Decoded {
    Frame kind = Frame::call;
    std::uint16_t function = no_function;
    std::uint32_t thread = 0;
    std::uint64_t seq = 0;
    std::uint64_t parent = 0;
    std::int64_t time = 0;
    std::int64_t duration = -1;  // ns the SDK took; -1 when the format does not hold it
    std::size_t offset = 0;      // of the frame (its size field) in the file
    std::size_t index = 0;       // frame number, from 0
    const unsigned char *body = nullptr;
    std::uint32_t size = 0;  // of the body
    std::uint8_t nargs = 0;
    std::uint8_t nouts = 0;
    // args: values[0, nargs); a call's result: values[nargs]; its outputs follow. An event's
    // text and payload: values[0, 2), its reported length in `length`. A note's message:
    // values[0].
    Value values[256 + 1 + 256];
    std::size_t nvalues = 0;
    std::int32_t length = 0;
    std::uint16_t code = 0;  // notes
    std::uint64_t frames = 0, waits = 0, writer_ns = 0;
    const unsigned char *args_start = nullptr, *args_end = nullptr;  // the encoded arguments
    bool redacted_args = false;

    std::string_view args() const {
        return {reinterpret_cast<const char *>(args_start),
                static_cast<std::size_t>(args_end - args_start)};
    }
};

// The text that refuses a file for the malformed frame at `offset`, frame number `index`.
inline std::string malformed_text(std::size_t offset, std::size_t index, const char *why) {
    return "offset " + std::to_string(offset) + " (frame " + std::to_string(index) +
           "): a malformed frame: " + why;
}

// Reads the common part of a frame's body (`size` >= frame_head): kind, function, thread,
// sequence number, parent and time; no value.
inline void decode_head(const unsigned char *body, std::uint32_t size, Decoded &d) {
    d.body = body;
    d.size = size;
    d.kind = static_cast<Frame>(body[0]);
    d.function = load16(body + 2);
    d.thread = load32(body + 4);
    d.seq = load64(body + 8);
    d.parent = load64(body + 16);
    d.time = static_cast<std::int64_t>(load64(body + 24));
    d.nvalues = d.nargs = d.nouts = 0;
}

// Decodes a frame's body (its checksum passed) of a file of format `version`; false with
// `error` when it is malformed.
inline bool decode_body(const unsigned char *body, std::uint32_t size, std::uint16_t version,
                        bool own_catalogue, Decoded &d, const char *&error) {
    if (size < frame_head) {
        error = "a frame shorter than its common part";
        return false;
    }
    decode_head(body, size, d);
    d.duration = -1;
    d.redacted_args = false;
    ValueReader r(body + frame_head, body + size);
    auto values = [&](std::uint8_t &count) {
        if (!r.u8(count)) return false;
        for (unsigned i = 0; i < count; ++i)
            if (!r.value(d.values[d.nvalues++])) return false;
        return true;
    };
    switch (d.kind) {
        case Frame::call:
        case Frame::open: {
            if (d.function == no_function ||
                (own_catalogue && d.function >= static_cast<unsigned>(standin::function_count))) {
                error = "a function index beyond the catalogue";
                return false;
            }
            d.args_start = r.at();
            if (!values(d.nargs)) break;
            d.args_end = r.at();
            for (std::size_t i = 0; i < d.nargs; ++i)
                if (d.values[i].tag == redacted_tag) d.redacted_args = true;
            if (d.kind == Frame::open) break;
            if (!r.value(d.values[d.nvalues++])) break;
            // A redacted result (a secret the SDK returned) stands for a text: replay answers
            // it with a placeholder of its length.
            if (d.values[d.nargs].tag == redacted_tag &&
                d.values[d.nargs].sub != static_cast<std::uint8_t>(Tag::text)) {
                error = "a redacted result that is not a text";
                return false;
            }
            if (!values(d.nouts)) break;
            // A response and its reported length: the length never exceeds what is held.
            if (d.nouts == 2) {
                const Value &out = d.values[d.nargs + 1], &len = d.values[d.nargs + 2];
                if (out.tag != static_cast<std::uint8_t>(Tag::null) &&
                    out.tag != static_cast<std::uint8_t>(Tag::unread) &&
                    out.tag != static_cast<std::uint8_t>(Tag::bytes) &&
                    out.tag != static_cast<std::uint8_t>(Tag::text) && out.tag != redacted_tag) {
                    error = "a response that is not a byte string";
                    return false;
                }
                if (len.tag != static_cast<std::uint8_t>(Tag::i32)) {
                    error = "a response length that is not an i32";
                    return false;
                }
                if ((out.tag == static_cast<std::uint8_t>(Tag::bytes) ||
                     out.tag == static_cast<std::uint8_t>(Tag::text)) &&
                    len.integer > static_cast<std::int64_t>(out.length)) {
                    error = "a response whose reported length exceeds the bytes it holds";
                    return false;
                }
            }
            // From version 2, the call's duration ends its frame.
            if (version >= 2) {
                std::uint64_t ns;
                if (!r.u64(ns)) break;
                d.duration = static_cast<std::int64_t>(ns);
                if (d.duration < 0) {
                    error = "a negative call duration";
                    return false;
                }
            }
            break;
        }
        case Frame::event: {
            if (!r.value(d.values[0]) || !r.value(d.values[1])) break;
            d.nvalues = 2;
            const Value &name = d.values[0], &data = d.values[1];
            if (name.tag != static_cast<std::uint8_t>(Tag::null) &&
                name.tag != static_cast<std::uint8_t>(Tag::text)) {
                error = "an event whose text is not a text";
                return false;
            }
            if (data.tag != static_cast<std::uint8_t>(Tag::null) &&
                data.tag != static_cast<std::uint8_t>(Tag::bytes)) {
                error = "an event whose payload is not a byte string";
                return false;
            }
            const unsigned char *p;
            if (!r.take(4, p)) break;
            d.length = static_cast<std::int32_t>(load32(p));
            if (data.tag == static_cast<std::uint8_t>(Tag::bytes) &&
                d.length > static_cast<std::int64_t>(data.length)) {
                error = "an event whose reported length exceeds the payload it holds";
                return false;
            }
            break;
        }
        case Frame::note: {
            if (!r.u16(d.code) || !r.u64(d.frames) || !r.u64(d.waits) || !r.u64(d.writer_ns)) break;
            if (!r.value(d.values[0])) break;
            d.nvalues = 1;
            if (d.values[0].tag != static_cast<std::uint8_t>(Tag::text) &&
                d.values[0].tag != static_cast<std::uint8_t>(Tag::bytes) &&
                d.values[0].tag != static_cast<std::uint8_t>(Tag::null)) {
                error = "a note whose message is not a text";
                return false;
            }
            break;
        }
        default:
            error = "an unknown frame kind";
            return false;
    }
    if (r.error != nullptr) {
        error = r.error;
        return false;
    }
    if (r.left() != 0) {
        error = "bytes left over in a frame";
        return false;
    }
    return true;
}

// Decodes an event frame's body as decode_body does, with less work for the frame a market
// replay delivers by the million: true when the body is a well-formed event (its text and
// payload, each a value or null, then the length reported, and nothing more), decoded into `d`.
// False for anything else, left to decode_body to decode or to refuse for its reason.
inline bool decode_event(const unsigned char *body, std::uint32_t size, Decoded &d) {
    if (size < frame_head || body[0] != static_cast<unsigned char>(Frame::event)) return false;
    const unsigned char *at = body + frame_head;
    const unsigned char *const end = body + size;
    // A null, or a value of tag `tag` (bytes or text) whose payload is within the frame.
    auto payload = [&](Value &v, Tag tag) {
        v = Value{};
        v.start = at;
        if (at == end) return false;
        v.tag = *at;
        if (v.tag == static_cast<std::uint8_t>(Tag::null)) {
            v.end = ++at;
            return true;
        }
        if (v.tag != static_cast<std::uint8_t>(tag) || end - at < 5) return false;
        v.length = load32(at + 1);
        if (v.length > static_cast<std::size_t>(end - at - 5)) return false;
        v.bytes = at + 5;
        v.end = at = v.bytes + v.length;
        return true;
    };
    decode_head(body, size, d);
    if (!payload(d.values[0], Tag::text) || !payload(d.values[1], Tag::bytes) || end - at != 4)
        return false;
    d.length = static_cast<std::int32_t>(load32(at));
    if (d.values[1].tag == static_cast<std::uint8_t>(Tag::bytes) &&
        d.length > static_cast<std::int64_t>(d.values[1].length))
        return false;
    d.nvalues = 2;
    d.duration = -1;
    d.redacted_args = false;
    return true;
}

// Walks the frames of a mapped recording. A damaged tail (a frame cut short, an impossible
// size, a failed checksum) ends the walk: `damage` says where and why. A frame that passes its
// checksum but cannot be decoded is malformed, not damaged: the walk ends with `error`.
class Scanner {
public:
    Scanner(const unsigned char *data, std::size_t size, std::uint16_t version, bool own_catalogue)
        : data_(data), size_(size), version_(version), own_(own_catalogue) {}

    std::size_t at = header_size;
    std::size_t index = 0;
    std::size_t damage = 0;  // offset of the damage, 0 for none
    std::string damage_reason;
    std::size_t error_at = 0;
    std::string error;  // a malformed frame: the file is refused
    // Event frames are checked against their checksum and their common part read, their values
    // left to be decoded (and checked) by whoever reads them later.
    bool light_events = false;

    // The next frame into `d`; false at the end, at damage, or at a malformed frame.
    bool next(Decoded &d) {
        if (at >= size_ || damage != 0 || !error.empty()) return false;
        const std::size_t left = size_ - at;
        if (left < 4) return damaged("the file ends inside a frame's size");
        const std::uint32_t n = load32(data_ + at);
        if (n < frame_head || n > max_frame) {
            if (zeros_to_end())
                return damaged(
                    "zeros to the end: room the recorder had mapped ahead, left as it "
                    "was when the process ended");
            return damaged("a frame size of " + std::to_string(n) + " bytes");
        }
        if (left - 4 < 4 || left - 8 < n)
            return damaged("the file ends inside a frame (" + std::to_string(left) + " of " +
                           std::to_string(8 + static_cast<std::size_t>(n)) + " bytes)");
        if (!checksum_passes(n)) return damaged("a frame fails its checksum");
        const unsigned char *body = data_ + at + 4;
        const char *why = nullptr;
        if (light_events && n >= frame_head && body[0] == static_cast<unsigned char>(Frame::event))
            decode_head(body, n, d);
        else if (!decode_body(body, n, version_, own_, d, why)) {
            error_at = at;
            error = malformed_text(at, index, why);
            return false;
        }
        d.offset = at;
        d.index = index++;
        at += 8 + static_cast<std::size_t>(n);
        return true;
    }

    const std::string &damage_text() const { return damage_reason; }

private:
    // Whether the frame at `at` (of body size `n`, within the file) passes its checksum. The
    // checksums are computed three frames at a time (this one and the two after it, when their
    // sizes are plausible and they are within the file), the two after kept for when the walk
    // reaches them.
    bool checksum_passes(std::uint32_t n) {
        if (ahead_next_ < ahead_count_ && ahead_at_[ahead_next_] == at)
            return ahead_ok_[ahead_next_++];
        const unsigned char *p[3];
        std::size_t len[3];
        std::size_t from[3];
        int count = 0;
        for (std::size_t pos = at; count < 3;) {
            const std::uint32_t m = count == 0 ? n : load32(data_ + pos);
            if (m < frame_head || m > max_frame || size_ - pos < 8 || size_ - pos - 8 < m) break;
            from[count] = pos;
            p[count] = data_ + pos;
            len[count] = 4 + static_cast<std::size_t>(m);
            ++count;
            pos += 8 + static_cast<std::size_t>(m);
            if (pos > size_ - 4) break;
        }
        std::uint32_t crc[3];
        crc32c::compute_some(p, len, count, crc);
        for (int i = 0; i < count; ++i) {
            ahead_at_[i] = from[i];
            ahead_ok_[i] = crc[i] == load32(p[i] + len[i]);
        }
        ahead_count_ = count;
        ahead_next_ = 1;
        return ahead_ok_[0];
    }

    // The recorder grows its file ahead of the frames: a process that ended without closing
    // leaves zeros after its last frame.
    bool zeros_to_end() const {
        for (std::size_t i = at; i < size_; ++i)
            if (data_[i] != 0) return false;
        return true;
    }

    bool damaged(std::string why) {
        damage = at;
        damage_reason = std::move(why);
        return false;
    }

    const unsigned char *data_;
    std::size_t size_;
    std::uint16_t version_;
    bool own_;
    std::size_t ahead_at_[3] = {};
    bool ahead_ok_[3] = {};
    int ahead_count_ = 0, ahead_next_ = 0;
};

// Whether the arguments a call came with (encoded as the recording encodes them) match the
// recorded ones: byte for byte, except that a redacted recorded value matches any value of its
// kind.
inline bool args_match(std::string_view recorded, std::string_view got, bool redacted) {
    if (!redacted) return recorded == got;
    auto p = [](std::string_view s) { return reinterpret_cast<const unsigned char *>(s.data()); };
    ValueReader a(p(recorded), p(recorded) + recorded.size());
    ValueReader b(p(got), p(got) + got.size());
    std::uint8_t na, nb;
    if (!a.u8(na) || !b.u8(nb) || na != nb) return false;
    Value x, y;
    for (unsigned i = 0; i < na; ++i) {
        if (!a.value(x) || !b.value(y)) return false;
        if (x.tag == redacted_tag ? x.sub != y.tag : x.raw() != y.raw()) return false;
    }
    return a.left() == 0 && b.left() == 0;
}

}  // namespace qvrec
