// The recorder: a library that stands where the SDK stands and records a session at the SDK's
// boundary (the format: docs/recording-format.md). This file holds the loading, the encoding of
// frames and the forwarding exports; recording_file.* stores the frames, mapped_file.* is the
// platform's file and mapping, settings.* the environment, target.* the vendor's library,
// redaction.h the secrets.
//
// It exports the 187 functions of the catalogue, and nothing else. Each export forwards to the
// real function, then records the call with its arguments, result and outputs. The module's
// event callback is wrapped: every event is recorded on the delivering thread, then handed on
// to the module's callback, synchronously. What cannot be set up (the target, the file, the
// settings, the writer thread) stops the process at load with a message: a session never runs
// unrecorded by mistake, nor against nothing. Once running, recording never changes what a
// call returns and never ends the process: a frame the file cannot take is left out, and a
// note says so.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <tuple>
#include <type_traits>

#include "crc32c.h"
#include "qvsdk/qvsdk.h"
#include "recording.h"
#include "recording_file.h"
#include "redaction.h"
#include "settings.h"
#include "standin.h"
#include "target.h"
#include "ticks.h"

namespace recorder {

bool keep_secrets = false;

namespace {

using qvrec::Frame;

constexpr int function_count = standin::function_count;
// The largest body the format allows (readers refuse larger frames).
constexpr std::size_t max_body = std::size_t{1} << 31;

// ---- loading ----

Fn targets[function_count];
RecordingFile *the_recording = nullptr;
std::atomic<bool> ready{false};
std::mutex load_mu;

void forked_child() {
    if (the_recording != nullptr) the_recording->forked();
}

void load() {
    std::lock_guard<std::mutex> lock(load_mu);
    if (ready.load()) return;
    const Settings settings = read_settings();
    load_target(settings.target, targets);
    keep_secrets = settings.keep_secrets;
    auto *recording = new (std::nothrow) RecordingFile();  // never freed: calls may come at exit
    if (recording == nullptr) fail("no memory for the recording");
    recording->open(settings);
    the_recording = recording;
    on_fork_child(&forked_child);
    ready.store(true);
}

inline void ensure_loaded() {
    if (!ready.load(std::memory_order_acquire)) load();
}

// c_sdk checks that its SDK functions come from this file when recording is asked for: said
// as the library is loaded, on Windows too (where the target is loaded later).
const bool published = (publish("QVSDK_RECORDER", own_path()), true);

#if !defined(_WIN32)
// Loaded at once on Linux. Windows forbids loading another library while the loader loads this
// one, so there the target is loaded by the first call.
const bool loaded_at_start = (load(), true);
#endif

// Closes the recording at exit and when the library is unloaded.
struct Closer {
    ~Closer() {
        if (the_recording != nullptr) the_recording->close();
    }
} closer;

// ---- frames ----

std::atomic<std::uint64_t> next_seq{1};
std::atomic<std::uint32_t> next_thread{1};
std::atomic<qvi_event_callback> module_callback{nullptr};

// Counts the bytes of a frame's body, then writes it in place.
struct Sizer {
    std::size_t n = 0;
    void push_back(char) { ++n; }
    void append(const char *, std::size_t k) { n += k; }
};

struct Cursor {
    char *p;
    void push_back(char c) { *p++ = c; }
    void append(const char *from, std::size_t k) {
        std::memcpy(p, from, k);
        p += k;
    }
};

using SizeArgs = void (*)(qvrec::BasicEncoder<Sizer> &, const void *);
using WriteArgs = void (*)(qvrec::BasicEncoder<Cursor> &, const void *);

// A call in progress on this thread. An event that arrives inside it first writes an open
// frame (function, arguments) so that the events stay attached to their call even when the
// call itself never returns within the recording (a crash, a cut).
struct Scope {
    Id id;
    std::uint64_t seq;
    std::uint64_t parent;
    std::uint64_t time;  // in ticks, at entry: the last thing before the forwarded call
    SizeArgs size_args;
    WriteArgs write_args;
    const void *args;
    Scope *prev;
    bool opened;
};

// What the recorder keeps per thread: trivially destructible, so that it does not keep the
// library loaded.
struct PerThread {
    Scope *current = nullptr;
    std::uint32_t number = 0;
};
thread_local PerThread this_thread;

std::uint32_t thread_number(PerThread &t) {
    if (t.number == 0) t.number = next_thread.fetch_add(1);
    return t.number;
}

const char *frame_name(Frame type, std::uint16_t function) {
    if (type == Frame::event) return "an event";
    return function < function_count ? qvrec::catalogue[function].name : "a call";
}

// Stores a frame whose body after the common part is written by body(encoder), a generic
// callable run twice: once to count, once to write in place in the file, followed by the
// frame's checksum.
template <typename Body>
void write_frame(Frame type, std::uint16_t function, std::uint32_t thread, std::uint64_t seq,
                 std::uint64_t parent, std::uint64_t ticks, const Body &body) {
    Sizer sizer;
    qvrec::BasicEncoder<Sizer> sizing(sizer);
    body(sizing);
    const std::size_t size = qvrec::frame_head + sizer.n;
    if (size > max_body) {
        the_recording->left_out(std::string(frame_name(type, function)) + " (sequence " +
                                decimal(seq) + "): its frame of " + decimal(size) +
                                " bytes is left out: larger than the format allows");
        return;
    }
    const std::int64_t time = the_recording->since_start(ticks);
    the_recording->append(
        4 + size + 4,
        [&](char *at) {
            Cursor cursor{at};
            qvrec::BasicEncoder<Cursor> e(cursor);
            e.u32(static_cast<std::uint32_t>(size));
            e.u8(static_cast<std::uint8_t>(type));
            e.u8(0);
            e.u16(function);
            e.u32(thread);
            e.u64(seq);
            e.u64(parent);
            e.i64(time);
            body(e);
            const std::uint32_t crc = crc32c::compute(at, 4 + size);
            std::memcpy(at + 4 + size, &crc, 4);
        },
        frame_name(type, function), seq);
}

template <Id id, bool request, typename E, typename... A>
void encode_tuple(E &e, const void *args) {
    std::apply([&e](A... a) { recorder::encode_args<id, request>(e, a...); },
               *static_cast<const std::tuple<A...> *>(args));
}

void open_frame(Scope &s, std::uint32_t thread) {
    s.opened = true;
    write_frame(Frame::open, static_cast<std::uint16_t>(s.id), thread, s.seq, s.parent, s.time,
                [&](auto &e) {
                    using E = std::remove_reference_t<decltype(e)>;
                    if constexpr (std::is_same_v<E, qvrec::BasicEncoder<Cursor>>)
                        s.write_args(e, s.args);
                    else
                        s.size_args(e, s.args);
                });
}

// The callback registered with the real library.
void on_event(const char *event, const char *data, int len) {
    if (the_recording->active()) {
        try {
            PerThread &t = this_thread;
            const std::uint32_t thread = thread_number(t);
            Scope *s = t.current;
            if (s != nullptr && !s->opened) open_frame(*s, thread);
            const std::uint64_t time = ticks::now();
            write_frame(Frame::event, qvrec::no_function, thread, next_seq.fetch_add(1),
                        s != nullptr ? s->seq : 0, time, [&](auto &e) {
                            e.value(event);
                            // A NULL payload is recorded as such, whatever length comes with it.
                            e.bytes(data, data != nullptr ? len : 0);
                            e.raw(&len, 4);
                        });
        } catch (...) {
            // Only a note's text can fail to be made: the event goes on unrecorded.
        }
    }
    if (qvi_event_callback cb = module_callback.load(std::memory_order_acquire))
        cb(event, data, len);
}

// The result and the outputs of a call. A response or text output is read only when the status
// says success (0), as the caller reads it.
template <Id id, typename R, typename E, typename... A>
void encode_outcome(E &e, const R *result, A... a) {
    if constexpr (std::is_void_v<R>) {
        e.tag(qvrec::Tag::none);
    } else if constexpr (std::is_same_v<R, const char *> && is_secret(id, recorder::result)) {
        if (keep_secrets)
            e.value(*result);
        else
            redact(e, *result);
    } else {
        e.value(*result);
    }
    if constexpr (qvrec::ends_with_response<A...>()) {
        auto args = std::make_tuple(a...);
        char **res = std::get<sizeof...(A) - 2>(args);
        int *res_len = std::get<sizeof...(A) - 1>(args);
        const int len = res_len != nullptr ? *res_len : 0;
        e.u8(2);
        if (res == nullptr || *res == nullptr)
            e.null();
        else if (*result != 0)
            e.tag(qvrec::Tag::unread);
        else
            e.bytes(*res, len);
        e.value(len);
    } else if constexpr (qvrec::ends_with_text_out<A...>()) {
        char **out = std::get<sizeof...(A) - 1>(std::make_tuple(a...));
        e.u8(1);
        if (out == nullptr || *out == nullptr)
            e.null();
        else if (*result != 0)
            e.tag(qvrec::Tag::unread);
        else
            e.value(static_cast<const char *>(*out));
    } else {
        e.u8(0);
    }
}

// Makes the call through `call` and records it.
template <Id id, bool request, typename R, typename Call, typename... A>
R recorded(Call call, A... a) {
    const std::tuple<A...> args{a...};
    PerThread &t = this_thread;
    Scope *const outer = t.current;
    Scope scope{id,
                next_seq.fetch_add(1, std::memory_order_relaxed),
                outer != nullptr ? outer->seq : 0,
                0,
                &encode_tuple<id, request, qvrec::BasicEncoder<Sizer>, A...>,
                &encode_tuple<id, request, qvrec::BasicEncoder<Cursor>, A...>,
                &args,
                outer,
                false};
    t.current = &scope;
    // The call's duration is the forwarded call alone: from its entry time, taken last before
    // it, to the time taken first after it. Events delivered inside it are in it, as is the
    // module's handling of them.
    auto write = [&](const R *result, std::uint64_t returned) {
        t.current = outer;
        try {
            const std::int64_t duration = the_recording->span(scope.time, returned);
            write_frame(Frame::call, static_cast<std::uint16_t>(id), thread_number(t), scope.seq,
                        scope.parent, scope.time, [&](auto &e) {
                            recorder::encode_args<id, request>(e, a...);
                            encode_outcome<id, R>(e, result, a...);
                            e.i64(duration);
                        });
        } catch (...) {
            // Only a note's text can fail to be made: the call's result stands.
        }
    };
    if constexpr (std::is_void_v<R>) {
        scope.time = ticks::now();
        call();
        write(nullptr, ticks::now());
    } else {
        scope.time = ticks::now();
        const R result = call();
        write(&result, ticks::now());
        return result;
    }
}

// Every export: forward to the real function; record the call unless recording has stopped.
template <Id id, bool request, typename R, typename... A>
R forward(A... a) {
    ensure_loaded();
    const auto fn = reinterpret_cast<R (*)(A...)>(targets[static_cast<int>(id)]);
    if constexpr (id == Id::qvi_set_event_callback_pb) {
        // The module's callback is reached through ours; NULL stays NULL.
        const qvi_event_callback cb = std::get<0>(std::make_tuple(a...));
        module_callback.store(cb, std::memory_order_release);
        auto call = [&] { fn(cb != nullptr ? &on_event : nullptr); };
        if (!the_recording->active()) {
            the_recording->unrecorded_call();
            return call();
        }
        return recorded<id, request, R>(call, a...);
    } else {
        if (!the_recording->active()) {
            the_recording->unrecorded_call();
            return fn(a...);
        }
        return recorded<id, request, R>([&] { return fn(a...); }, a...);
    }
}

}  // namespace
}  // namespace recorder

extern "C" {

#define RECORDER_EXCHANGE_(name)                                                            \
    QVSDK_API int name(const char *req, int req_len, char **res, int *res_len) {            \
        return recorder::forward<standin::Id::name, true, int>(req, req_len, res, res_len); \
    }
#define RECORDER_COMMAND_(name)                                               \
    QVSDK_API int name(const char *req, int req_len) {                        \
        return recorder::forward<standin::Id::name, true, int>(req, req_len); \
    }
#define RECORDER_FETCH_(name)                                                  \
    QVSDK_API int name(char **res, int *res_len) {                             \
        return recorder::forward<standin::Id::name, false, int>(res, res_len); \
    }
#define RECORDER_VALUE_(ret, name, params, args)                                               \
    QVSDK_API ret name params {                                                                \
        return recorder::forward<standin::Id::name, qvrec::takes_request_v<standin::Id::name>, \
                                 ret>                                                          \
            args;                                                                              \
    }

QVSDK_EXCHANGE_FUNCTIONS(RECORDER_EXCHANGE_)
QVSDK_COMMAND_FUNCTIONS(RECORDER_COMMAND_)
QVSDK_FETCH_FUNCTIONS(RECORDER_FETCH_)
QVSDK_VALUE_FUNCTIONS(RECORDER_VALUE_)

}  // extern "C"
