// The control API of the recording parser (reader.h): the Python reader of recordings
// (qvsdk_standin.recording) walks a file through it in batches of decoded frames, and has its
// summary computed here in one pass, so that both it and replay read the format through one
// parser. A file is read through a mapping; what has been read is given back to the system as
// the walk goes on, so that resident memory stays flat whatever the file's size.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "control.h"
#include "reader.h"
#include "secrets.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace qvrec {

#if defined(_WIN32)

bool Mapping::open(const char *path, std::string &error) {
    close();
    const int n = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
    std::wstring wide(n > 0 ? static_cast<std::size_t>(n) : 1u, L'\0');
    if (n <= 0 || MultiByteToWideChar(CP_UTF8, 0, path, -1, wide.data(), n) != n) {
        error = "not a valid file name";
        return false;
    }
    HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = "cannot open (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) {
        error = "cannot read its size";
        CloseHandle(file);
        return false;
    }
    size_ = static_cast<std::size_t>(size.QuadPart);
    if (size_ > 0) {
        mapping_ = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (mapping_ != nullptr)
            data_ =
                static_cast<const unsigned char *>(MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, 0));
        if (data_ == nullptr) {
            error = "cannot map (error " + std::to_string(GetLastError()) + ")";
            CloseHandle(file);
            close();
            return false;
        }
    }
    CloseHandle(file);
    return true;
}

void Mapping::close() {
    if (data_ != nullptr && owned_) UnmapViewOfFile(data_);
    if (mapping_ != nullptr) CloseHandle(mapping_);
    data_ = nullptr;
    mapping_ = nullptr;
    size_ = 0;
    owned_ = true;
}

void Mapping::release(std::size_t, std::size_t) const {}

#else

bool Mapping::open(const char *path, std::string &error) {
    close();
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        error = std::strerror(errno);
        ::close(fd);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = "not a regular file";
        ::close(fd);
        return false;
    }
    size_ = static_cast<std::size_t>(st.st_size);
    if (size_ > 0) {
        void *p = mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) {
            error = std::string("cannot map: ") + std::strerror(errno);
            ::close(fd);
            size_ = 0;
            return false;
        }
        data_ = static_cast<const unsigned char *>(p);
    }
    ::close(fd);
    return true;
}

void Mapping::close() {
    if (data_ != nullptr && owned_) munmap(const_cast<unsigned char *>(data_), size_);
    data_ = nullptr;
    size_ = 0;
    owned_ = true;
}

void Mapping::release(std::size_t from, std::size_t to) const {
    if (!owned_ || data_ == nullptr) return;
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    from = from / page * page;
    to = std::min(to, size_) / page * page;
    if (to > from) madvise(const_cast<unsigned char *>(data_) + from, to - from, MADV_DONTNEED);
}

#endif

}  // namespace qvrec

namespace {

// One frame as handed to Python (the layout of _FRAME in recording.py).
struct FrameOut {
    std::uint64_t offset, index, seq, parent;
    std::int64_t time;
    std::uint64_t frames, waits, writer_ns;
    std::int64_t duration;  // a call's, -1 when the format does not hold it
    std::uint32_t thread, first;
    std::int32_t length;
    std::uint16_t function, code;
    std::uint8_t kind, nargs, nouts, pad[5];
};
static_assert(sizeof(FrameOut) == 96);

// One value as handed to Python (the layout of _VALUE in recording.py): bytes and texts by the
// offset of their payload in the file.
struct ValueOut {
    std::uint64_t offset;
    std::int64_t integer;
    double real;
    std::uint32_t length;
    std::uint8_t tag, sub;
    std::uint16_t pad;
};
static_assert(sizeof(ValueOut) == 32);

// Values counted by their encoding, which the count owns (a view into the file would bring its
// page back each time the key is compared). Looked up without a copy.
struct ViewHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view v) const { return std::hash<std::string_view>()(v); }
};
using Tallies = std::unordered_map<std::string, std::uint64_t, ViewHash, std::equal_to<>>;

constexpr std::int64_t ns_per_second = 1'000'000'000;

// Durations in buckets of geometrically growing width (each 2% wider than the last), so that
// any quantile is known within 1% of its value, in at most some two thousand buckets whatever
// the number of durations; exact count, minimum and maximum. The same sketch as
// session_stats.LatencySketch, to the bucket: both print the same figures.
class LatencySketch {
public:
    static constexpr double accuracy = 0.01;

    void add(std::int64_t ns) {
        if (count_ == 0 || ns < min_) min_ = ns;
        if (ns > max_) max_ = ns;
        ++count_;
        if (ns <= 0) {  // a clock too coarse to see the call
            ++zeros_;
            return;
        }
        ++buckets_[static_cast<int>(std::ceil(std::log(static_cast<double>(ns)) / log_gamma()))];
    }

    std::uint64_t count() const { return count_; }
    std::int64_t max() const { return max_; }

    // The value at rank ceil(q * count) (the nearest rank: the median of an even count is the
    // lower middle); -1 when empty.
    std::int64_t quantile(double q) const {
        if (count_ == 0) return -1;
        const double r = std::ceil(q * static_cast<double>(count_));
        const std::uint64_t rank = r < 1 ? 1 : static_cast<std::uint64_t>(r);
        if (rank >= count_) return max_;
        if (rank <= zeros_) return 0;
        std::uint64_t seen = zeros_;
        for (const auto &[i, n] : buckets_) {
            seen += n;
            if (seen < rank) continue;
            // The middle of the bucket (in relative terms): within `accuracy` of any value in
            // it; never outside what was seen.
            const double v = std::nearbyint(2 * std::pow(gamma(), i) / (gamma() + 1));
            const std::int64_t value =
                v >= 9223372036854775808.0 ? max_ : static_cast<std::int64_t>(std::max(v, 0.0));
            return std::min(std::max(value, min_), max_);
        }
        return max_;  // not reached: the buckets hold count - zeros values
    }

private:
    static double gamma() { return (1 + accuracy) / (1 - accuracy); }
    static double log_gamma() {
        static const double value = std::log(gamma());
        return value;
    }

    std::map<int, std::uint64_t> buckets_;
    std::uint64_t count_ = 0, zeros_ = 0;
    std::int64_t min_ = 0, max_ = 0;
};

// Per function: its calls (unfinished ones included), failing statuses and latency.
struct FunctionStats {
    std::uint16_t function = 0;
    std::uint64_t calls = 0, failing = 0, unfinished = 0;
    LatencySketch latency;  // of the calls whose frame holds their duration
};

// Per event text: its count and the most events of it within one second of the clock.
struct EventStats {
    std::uint64_t count = 0, peak = 0;
    std::int64_t peak_second = 0;  // the first second holding the peak
    std::uint64_t order = 0;       // texts in the order they first came
    // The latest seconds' counts: events come in time order but for microseconds between
    // threads, so the last two seconds are kept open and older ones settled.
    std::pair<std::int64_t, std::uint64_t> recent[5];
    unsigned nrecent = 0;

    void add(std::int64_t time) {
        ++count;
        std::int64_t second = time / ns_per_second;
        if (time % ns_per_second != 0 && time < 0) --second;  // floor, before the start too
        std::uint64_t n = 1;
        unsigned i = 0;
        while (i < nrecent && recent[i].first != second) ++i;
        if (i < nrecent)
            n = ++recent[i].second;
        else
            recent[nrecent++] = {second, 1};
        if (n > peak || (n == peak && second < peak_second)) {
            peak = n;
            peak_second = second;
        }
        if (nrecent > 4) {
            std::int64_t latest = recent[0].first;
            for (unsigned k = 1; k < nrecent; ++k) latest = std::max(latest, recent[k].first);
            unsigned kept = 0;
            for (unsigned k = 0; k < nrecent; ++k)
                if (recent[k].first >= latest - 1) recent[kept++] = recent[k];
            nrecent = kept;
        }
    }
};

// A stretch without an event: from `start` for `length` ns (a length that an int64 may not
// hold, between times at the ends of its range).
struct Gap {
    std::int64_t start = 0;
    std::uint64_t length = 0;
    // Longer first; of equal ones the earlier.
    bool before(const Gap &o) const {
        return length != o.length ? length > o.length : start < o.start;
    }
};
constexpr unsigned gaps_kept = 3;

using Names = std::unordered_map<std::string, EventStats, ViewHash, std::equal_to<>>;

struct Summary {
    std::uint64_t frames = 0, calls = 0, events = 0, waits = 0;
    std::int64_t min_time = 0, max_time = 0;
    bool closed = false;
    std::unordered_map<std::uint32_t, Tallies> results;  // per function, per result
    Names names;                                         // per event text
    std::vector<FunctionStats> functions;                // in the order first called
    std::vector<std::uint32_t> slots;  // by function index: 1 + its place in `functions`, or 0
    bool timed = false;                // whether any call frame held its duration
    bool any_event = false;
    std::int64_t first_event = 0, last_event = 0;
    Gap gaps[gaps_kept];  // the longest so far, in no order
    unsigned ngaps = 0;
    std::vector<std::pair<std::uint16_t, std::string>> notes;      // write failures, left out
    std::uint64_t redacted = 0;                                    // secrets recorded redacted
    std::map<std::pair<std::uint16_t, int>, std::uint64_t> clear;  // secrets held in clear
    std::vector<std::uint16_t> unfinished;                         // in the order they were entered
    std::vector<const std::string *> rows[3];  // the values of the last rows asked
};

// The secrets of a call frame: counted as redacted, or as held in clear (a recorder told to
// keep them, or one that predates redaction).
void secrets(Summary &s, const qvrec::Decoded &d) {
    const auto id = static_cast<standin::Id>(d.function);
    for (std::size_t i = 0; i <= d.nargs; ++i) {
        const qvrec::Value &v = d.values[i];
        if (v.tag == qvrec::redacted_tag) {
            ++s.redacted;
            continue;
        }
        const int arg = i == d.nargs ? standin::secret_result : static_cast<int>(i);
        if (standin::is_secret(id, arg) && v.length > 0 &&
            (v.tag == static_cast<std::uint8_t>(qvrec::Tag::bytes) ||
             v.tag == static_cast<std::uint8_t>(qvrec::Tag::text)))
            ++s.clear[{d.function, arg}];
    }
}

void count(Tallies &t, std::string_view raw) {
    auto it = t.find(raw);
    if (it == t.end()) it = t.emplace(std::string(raw), 0).first;
    ++it->second;
}

FunctionStats &function_stats(Summary &s, std::uint16_t function) {
    if (function >= s.slots.size()) s.slots.resize(function + std::size_t{1}, 0);
    std::uint32_t &slot = s.slots[function];
    if (slot == 0) {
        s.functions.emplace_back().function = function;
        slot = static_cast<std::uint32_t>(s.functions.size());
    }
    return s.functions[slot - 1];
}

void gap(Summary &s, std::int64_t start, std::int64_t end) {
    if (end <= start) return;
    const Gap g{start, static_cast<std::uint64_t>(end) - static_cast<std::uint64_t>(start)};
    if (s.ngaps < gaps_kept) {
        s.gaps[s.ngaps++] = g;
        return;
    }
    Gap *least = &s.gaps[0];
    for (Gap &k : s.gaps)
        if (least->before(k)) least = &k;
    if (g.before(*least)) *least = g;
}

// Functions whose int result is not a status (a timer's id, the code a stop was asked with):
// never counted as failing.
bool not_status(std::uint16_t function) {
    return function == static_cast<std::uint16_t>(standin::Id::qvi_user_timer) ||
           function == static_cast<std::uint16_t>(standin::Id::qvi_get_stop_error_code);
}

// A call's statistics: a failing status is a C int other than 0 from a function whose int
// result is a status.
void call_stats(Summary &s, const qvrec::Decoded &d, bool own_catalogue) {
    FunctionStats &f = function_stats(s, d.function);
    ++f.calls;
    const qvrec::Value &result = d.values[d.nargs];
    if (result.tag == static_cast<std::uint8_t>(qvrec::Tag::i32) && result.integer != 0 &&
        !(own_catalogue && not_status(d.function)))
        ++f.failing;
    if (d.duration >= 0) {
        f.latency.add(d.duration);
        s.timed = true;
    }
}

void event_stats(Summary &s, const qvrec::Decoded &d) {
    auto it = s.names.find(d.values[0].raw());
    if (it == s.names.end()) {
        it = s.names.emplace(std::string(d.values[0].raw()), EventStats{}).first;
        it->second.order = s.names.size() - 1;
    }
    it->second.add(d.time);
    if (!s.any_event) {
        s.any_event = true;
        s.first_event = s.last_event = d.time;
    } else if (d.time > s.last_event) {
        gap(s, s.last_event, d.time);
        s.last_event = d.time;
    } else if (d.time < s.first_event) {
        s.first_event = d.time;
    }
}

struct Handle {
    qvrec::Mapping map;
    qvrec::Header header;
    qvrec::Scanner scanner{nullptr, 0, qvrec::version, true};
    qvrec::Decoded frame;
    std::size_t released = qvrec::header_size;
    Summary summary;

    // A walk from the first frame.
    void rewind() {
        scanner = qvrec::Scanner(map.data(), map.size(), header.version, header.own_catalogue());
    }
};

void copy_error(const std::string &message, char *out, int size) {
    if (out == nullptr || size <= 0) return;
    const std::size_t n = std::min(message.size(), static_cast<std::size_t>(size - 1));
    std::memcpy(out, message.data(), n);
    out[n] = '\0';
}

void *refuse(Handle *h, const std::string &message, char *error, int error_size) {
    copy_error(message, error, error_size);
    delete h;
    return nullptr;
}

// The handle, its header read and its walk at the first frame; or nullptr with the reason.
void *start(Handle *h, char *error, int error_size) {
    std::string message;
    if (!qvrec::read_header(h->map.data(), h->map.size(), h->header, message))
        return refuse(h, message, error, error_size);
    h->rewind();
    return h;
}

void put(const qvrec::Value &v, const unsigned char *base, ValueOut &o) {
    o = ValueOut{};
    o.tag = v.tag;
    o.sub = v.sub;
    o.length = v.length;
    o.integer = v.integer;
    o.real = v.real;
    o.offset = v.bytes == nullptr ? 0
               : base == nullptr  ? reinterpret_cast<std::uintptr_t>(v.bytes)
                                  : static_cast<std::uint64_t>(v.bytes - base);
}

// Gives back the pages read so far once enough have piled up.
void release(Handle &h, std::size_t upto) {
    constexpr std::size_t step = 4u << 20;
    if (upto >= h.released + step) {
        h.map.release(h.released, upto);
        h.released = upto;
    }
}

}  // namespace

extern "C" {

struct standin_rec_head {
    std::uint64_t catalogue_hash;
    std::int64_t start_ns;
    std::int64_t monotonic_ns;
    std::uint64_t size;
    std::uint32_t functions;
    std::uint32_t pid;
    std::uint16_t version;
    std::uint16_t header_size;
    std::int32_t own_catalogue;
};

struct standin_rec_totals {
    std::uint64_t frames, calls, events, waits;
    std::int64_t min_time, max_time;
    std::uint64_t results, names, failures, unfinished, redacted, clear;
    std::uint64_t functions, gaps;  // the rows of standin_rec_summary_stats 0 and 2
    std::int32_t closed, timed;
};

STANDIN_CONTROL_API void *standin_rec_open(const char *path, char *error, int error_size);
STANDIN_CONTROL_API void *standin_rec_open_memory(const void *data, size_t size, char *error,
                                                  int error_size);
STANDIN_CONTROL_API void standin_rec_close(void *handle);
STANDIN_CONTROL_API void standin_rec_seek(void *handle, unsigned long long offset,
                                          unsigned long long index);
STANDIN_CONTROL_API int standin_rec_values(const void *data, size_t size, void *values, int cap);
STANDIN_CONTROL_API void standin_rec_header(void *handle, standin_rec_head *out);
STANDIN_CONTROL_API const void *standin_rec_base(void *handle);
STANDIN_CONTROL_API int standin_rec_batch(void *handle, void *frames, int frame_cap, void *values,
                                          int value_cap);
STANDIN_CONTROL_API int standin_rec_state(void *handle, unsigned long long *offset, char *reason,
                                          int reason_size);
STANDIN_CONTROL_API int standin_rec_value(void *handle, unsigned long long offset, void *value);
STANDIN_CONTROL_API int standin_rec_summarise(void *handle, standin_rec_totals *out);
STANDIN_CONTROL_API int standin_rec_summary_rows(void *handle, int which, void *out, int cap);
STANDIN_CONTROL_API int standin_rec_row_value(void *handle, int which, int i, void *value);
STANDIN_CONTROL_API int standin_rec_summary_stats(void *handle, int which, long long *out, int cap);
STANDIN_CONTROL_API void standin_rec_sketch(const long long *ns, size_t n, const double *q, int nq,
                                            long long *out);

void *standin_rec_open(const char *path, char *error, int error_size) {
    auto *h = new Handle;
    std::string message;
    if (!h->map.open(path, message)) return refuse(h, message, error, error_size);
    return start(h, error, error_size);
}

void *standin_rec_open_memory(const void *data, size_t size, char *error, int error_size) {
    auto *h = new Handle;
    h->map.borrow(static_cast<const unsigned char *>(data), size);
    return start(h, error, error_size);
}

// Goes on from the frame at `offset` (one found by an earlier walk), numbered `index`.
void standin_rec_seek(void *handle, unsigned long long offset, unsigned long long index) {
    Handle &h = *static_cast<Handle *>(handle);
    h.rewind();
    h.scanner.at = offset;
    h.scanner.index = index;
}

// Decodes an argument list (a count, then the values) held at `data`: the number of values,
// or -1 when it is malformed. Bytes are given by their offset from `data`.
int standin_rec_values(const void *data, size_t size, void *values, int cap) {
    const auto *base = static_cast<const unsigned char *>(data);
    qvrec::ValueReader r(base, base + size);
    std::uint8_t n = 0;
    if (!r.u8(n) || n > cap) return -1;
    qvrec::Value v;
    for (int i = 0; i < n; ++i) {
        if (!r.value(v)) return -1;
        put(v, base, static_cast<ValueOut *>(values)[i]);
    }
    return r.left() == 0 ? n : -1;
}

void standin_rec_close(void *handle) {
    delete static_cast<Handle *>(handle);
}

void standin_rec_header(void *handle, standin_rec_head *out) {
    const Handle &h = *static_cast<Handle *>(handle);
    *out = standin_rec_head{h.header.catalogue_hash,
                            h.header.start_ns,
                            h.header.monotonic_ns,
                            h.map.size(),
                            h.header.functions,
                            h.header.pid,
                            h.header.version,
                            h.header.size,
                            0};
    out->own_catalogue = h.header.own_catalogue() ? 1 : 0;
}

const void *standin_rec_base(void *handle) {
    return static_cast<Handle *>(handle)->map.data();
}

// Decodes the next frames into `frames` (FrameOut) and their values into `values` (ValueOut):
// the number of frames, 0 at the end (standin_rec_state says how it ended). The pages before
// the previous batch are given back: Python has read what it needed of them.
int standin_rec_batch(void *handle, void *frames, int frame_cap, void *values, int value_cap) {
    Handle &h = *static_cast<Handle *>(handle);
    release(h, h.scanner.at);
    auto *fo = static_cast<FrameOut *>(frames);
    auto *vo = static_cast<ValueOut *>(values);
    int n = 0;
    std::size_t nv = 0;
    constexpr std::size_t most = 256 + 1 + 256;
    while (n < frame_cap && nv + most <= static_cast<std::size_t>(value_cap) &&
           h.scanner.next(h.frame)) {
        const qvrec::Decoded &d = h.frame;
        FrameOut &f = fo[n++];
        f = FrameOut{};
        f.offset = d.offset;
        f.index = d.index;
        f.seq = d.seq;
        f.parent = d.parent;
        f.time = d.time;
        f.frames = d.frames;
        f.waits = d.waits;
        f.writer_ns = d.writer_ns;
        f.duration = d.duration;
        f.thread = d.thread;
        f.first = static_cast<std::uint32_t>(nv);
        f.length = d.length;
        f.function = d.function;
        f.code = d.code;
        f.kind = static_cast<std::uint8_t>(d.kind);
        f.nargs = d.nargs;
        f.nouts = d.nouts;
        for (std::size_t i = 0; i < d.nvalues; ++i) put(d.values[i], h.map.data(), vo[nv++]);
    }
    return n;
}

// How the walk ended: 0 not ended or ended cleanly, 1 a damaged tail, 2 a malformed frame (the
// file is refused); the offset and the reason.
int standin_rec_state(void *handle, unsigned long long *offset, char *reason, int reason_size) {
    const Handle &h = *static_cast<Handle *>(handle);
    if (!h.scanner.error.empty()) {
        *offset = h.scanner.error_at;
        copy_error(h.scanner.error, reason, reason_size);
        return 2;
    }
    if (h.scanner.damage != 0) {
        *offset = h.scanner.damage;
        copy_error(h.scanner.damage_text(), reason, reason_size);
        return 1;
    }
    return 0;
}

// The value whose tag is at `offset` (one found by the walk).
int standin_rec_value(void *handle, unsigned long long offset, void *value) {
    const Handle &h = *static_cast<Handle *>(handle);
    if (offset >= h.map.size()) return -1;
    qvrec::ValueReader r(h.map.data() + offset, h.map.data() + h.map.size());
    qvrec::Value v;
    if (!r.value(v)) return -1;
    put(v, h.map.data(), *static_cast<ValueOut *>(value));
    return 0;
}

// The summary's figures in one pass over the rest of the file: 0, or -1 at a malformed frame.
int standin_rec_summarise(void *handle, standin_rec_totals *out) {
    Handle &h = *static_cast<Handle *>(handle);
    Summary &s = h.summary;
    s = Summary{};
    std::unordered_set<std::uint64_t> open;  // calls opened, not yet returned
    std::vector<std::pair<std::uint64_t, std::uint16_t>> opened;
    bool last_closed = false, any = false;
    while (h.scanner.next(h.frame)) {
        const qvrec::Decoded &d = h.frame;
        ++s.frames;
        if (!any || d.time < s.min_time) s.min_time = d.time;
        if (!any || d.time > s.max_time) s.max_time = d.time;
        any = true;
        last_closed = false;
        switch (d.kind) {
            case qvrec::Frame::call:
                ++s.calls;
                open.erase(d.seq);
                count(s.results[d.function], d.values[d.nargs].raw());
                call_stats(s, d, h.header.own_catalogue());
                if (h.header.own_catalogue()) secrets(s, d);
                break;
            case qvrec::Frame::open:
                if (open.insert(d.seq).second) opened.emplace_back(d.seq, d.function);
                break;
            case qvrec::Frame::event:
                ++s.events;
                event_stats(s, d);
                break;
            case qvrec::Frame::note:
                s.waits += d.waits;
                if (d.code == static_cast<std::uint16_t>(qvrec::Note::write_failed) ||
                    d.code == static_cast<std::uint16_t>(qvrec::Note::left_out))
                    s.notes.emplace_back(d.code, d.values[0].raw());
                last_closed = d.code == static_cast<std::uint16_t>(qvrec::Note::closed);
                break;
        }
        release(h, h.scanner.at);
    }
    h.map.release(h.released, h.scanner.at);
    h.released = h.scanner.at;
    if (!h.scanner.error.empty()) return -1;
    if (!open.empty()) {
        // A call's frame normally follows its open frame; one that came before it (a file
        // written otherwise) is found by a second walk, which only such files need.
        qvrec::Scanner again(h.map.data(), h.scanner.at, h.header.version,
                             h.header.own_catalogue());
        std::size_t released = qvrec::header_size;
        while (!open.empty() && again.next(h.frame)) {
            if (h.frame.kind == qvrec::Frame::call) open.erase(h.frame.seq);
            if (again.at - released >= (4u << 20)) {
                h.map.release(released, again.at);
                released = again.at;
            }
        }
        h.map.release(released, again.at);
    }
    std::uint64_t results = 0;
    for (const auto &[function, t] : s.results) results += t.size();
    std::sort(opened.begin(), opened.end());
    for (const auto &[seq, function] : opened)
        if (open.count(seq) != 0) s.unfinished.push_back(function);
    s.calls += s.unfinished.size();
    s.closed = last_closed && h.scanner.damage == 0;
    for (std::uint16_t function : s.unfinished) {
        FunctionStats &f = function_stats(s, function);
        ++f.calls;
        ++f.unfinished;
    }
    if (any) {
        if (!s.any_event) {
            gap(s, s.min_time, s.max_time);
        } else {
            gap(s, s.min_time, s.first_event);
            gap(s, s.last_event, s.max_time);
        }
    }
    std::sort(s.gaps, s.gaps + s.ngaps, [](const Gap &a, const Gap &b) { return a.before(b); });
    const std::uint64_t functions = s.functions.size();
    *out = standin_rec_totals{
        s.frames,       s.calls,        s.events,       s.waits,        s.min_time,
        s.max_time,     results,        s.names.size(), s.notes.size(), s.unfinished.size(),
        s.redacted,     s.clear.size(), functions,      s.ngaps,        s.closed ? 1 : 0,
        s.timed ? 1 : 0};
    return 0;
}

// The rows of the last summary: 0 results (u64 count, u64 row, u64 function), 1 event texts
// (u64 count, u64 row, 0), 2 the messages of notes of write failures and of frames left out
// (note code, row, 0), 3 unfinished calls (1, 0, function), in the order they were entered,
// 4 secrets held in clear (count, argument index + 1 or 0 for the result, function).
// (1, 0, function), in the order they were entered. At most `cap` rows; standin_rec_row_value
// gives the value of a row.
int standin_rec_summary_rows(void *handle, int which, void *out, int cap) {
    Summary &s = static_cast<Handle *>(handle)->summary;
    auto *o = static_cast<std::uint64_t *>(out);
    int n = 0;
    auto row = [&](std::uint64_t count, const std::string *value, std::uint64_t function) {
        if (n >= cap) return;
        o[3 * n] = count;
        o[3 * n + 1] = value != nullptr ? s.rows[which].size() : 0;
        o[3 * n + 2] = function;
        if (value != nullptr) s.rows[which].push_back(value);
        ++n;
    };
    if (which < 0 || which > 4) return 0;
    if (which < 3) s.rows[which].clear();
    if (which == 0)
        for (const auto &[function, t] : s.results)
            for (const auto &[raw, count] : t) row(count, &raw, function);
    if (which == 1)
        for (const auto &[raw, e] : s.names) row(e.count, &raw, 0);
    if (which == 2)
        for (const auto &[code, message] : s.notes) row(code, &message, 0);
    if (which == 3)
        for (std::uint16_t function : s.unfinished) row(1, nullptr, function);
    if (which == 4)
        for (const auto &[where, count] : s.clear) {
            if (n >= cap) break;
            o[3 * n] = count;
            o[3 * n + 1] = static_cast<std::uint64_t>(where.second + 1);
            o[3 * n + 2] = where.first;
            ++n;
        }
    return n;
}

// The value of row `i` of the last rows asked of kind `which` (0 to 2): bytes and texts by
// their address (the offset from 0).
int standin_rec_row_value(void *handle, int which, int i, void *value) {
    const Summary &s = static_cast<Handle *>(handle)->summary;
    if (which < 0 || which > 2 || i < 0 || static_cast<std::size_t>(i) >= s.rows[which].size())
        return -1;
    const std::string &raw = *s.rows[which][static_cast<std::size_t>(i)];
    const auto *p = reinterpret_cast<const unsigned char *>(raw.data());
    qvrec::ValueReader r(p, p + raw.size());
    qvrec::Value v;
    if (!r.value(v)) return -1;
    put(v, nullptr, *static_cast<ValueOut *>(value));
    return 0;
}

// The statistics of the last summary, in rows of int64. 0: per function called (calls, unfinished
// ones included), 8 a row: function, calls, failing, unfinished, calls timed, median, 99th
// percentile and maximum of their durations (-1 for none), by calls (most first) then index.
// 1: per event text, 4 a row: count, peak per second, the first second of the peak, and the
// row for standin_rec_row_value(1, ...), in the order the texts first came. 2: the longest
// gaps between events (before the first and after the last included), 2 a row: start and
// length (a uint64), longest first, of equal ones the earliest. At most `cap` rows.
int standin_rec_summary_stats(void *handle, int which, long long *out, int cap) {
    Summary &s = static_cast<Handle *>(handle)->summary;
    int n = 0;
    if (which == 0) {
        std::vector<const FunctionStats *> order;
        for (const FunctionStats &f : s.functions) order.push_back(&f);
        std::sort(order.begin(), order.end(), [](const FunctionStats *a, const FunctionStats *b) {
            return a->calls != b->calls ? a->calls > b->calls : a->function < b->function;
        });
        for (const FunctionStats *p : order) {
            if (n >= cap) break;
            const FunctionStats &f = *p;
            long long *o = out + 8 * n++;
            const bool timed = f.latency.count() != 0;
            o[0] = f.function;
            o[1] = static_cast<long long>(f.calls);
            o[2] = static_cast<long long>(f.failing);
            o[3] = static_cast<long long>(f.unfinished);
            o[4] = static_cast<long long>(f.latency.count());
            o[5] = f.latency.quantile(0.5);
            o[6] = f.latency.quantile(0.99);
            o[7] = timed ? f.latency.max() : -1;
        }
    } else if (which == 1) {
        std::vector<const std::pair<const std::string, EventStats> *> order;
        order.reserve(s.names.size());
        for (const auto &e : s.names) order.push_back(&e);
        std::sort(order.begin(), order.end(),
                  [](const auto *a, const auto *b) { return a->second.order < b->second.order; });
        s.rows[1].clear();
        for (const auto *e : order) {
            if (n >= cap) break;
            long long *o = out + 4 * n++;
            o[0] = static_cast<long long>(e->second.count);
            o[1] = static_cast<long long>(e->second.peak);
            o[2] = e->second.peak_second;
            o[3] = static_cast<long long>(s.rows[1].size());
            s.rows[1].push_back(&e->first);
        }
    } else if (which == 2) {
        for (unsigned i = 0; i < s.ngaps && n < cap; ++i) {
            long long *o = out + 2 * n++;
            o[0] = s.gaps[i].start;
            o[1] = static_cast<long long>(s.gaps[i].length);
        }
    }
    return n;
}

// The latency sketch's quantiles `q[0, nq)` of the durations `ns[0, n)` into `out`, then its
// maximum (-1 when n is 0): the summary's latencies, for tests to hold against others.
void standin_rec_sketch(const long long *ns, size_t n, const double *q, int nq, long long *out) {
    LatencySketch sketch;
    for (std::size_t i = 0; i < n; ++i) sketch.add(ns[i]);
    for (int i = 0; i < nq; ++i) out[i] = sketch.quantile(q[i]);
    out[nq] = sketch.count() != 0 ? sketch.max() : -1;
}

}  // extern "C"
