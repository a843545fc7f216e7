// The recorder: a library that stands where the SDK stands and records a session at the SDK's
// boundary (the format: docs/recording-format.md).
//
// It exports the 187 functions of the catalogue, and nothing else. It loads the vendor's
// library named by QVSDK_RECORD_TARGET (a full path) and resolves all of its functions; each
// export forwards to the real function, then records the call with its arguments, result and
// outputs. The module's event callback is wrapped: every event is recorded on the delivering
// thread, then handed on to the module's callback, synchronously. A target that cannot be used
// stops the process at once with a message: a session never runs unrecorded by mistake, nor
// against nothing.
//
// Recording never changes what a call returns. The calling thread encodes a frame and appends
// it to a bounded buffer; the recorder's writer thread checksums and writes the frames. When
// the buffer is full the caller waits for the writer (the waits are counted and written at the
// end): nothing is dropped. A write error stops the recording (said on stderr, and in the file
// where it can still be written) while the calls go on. The recording is flushed by qvi_stop,
// and closed at exit and when the library is unloaded.
//
// Environment: QVSDK_RECORD_TARGET (required), QVSDK_RECORD_FILE (default qvsdk-<pid>.qvrec in
// the current folder), QVSDK_RECORD_BUFFER (bytes buffered before the caller waits, default
// 256 KiB, at least 4 KiB; the writer is woken at a quarter of it, and every 20 ms).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <type_traits>

#include "crc32c.h"
#include "qvsdk/qvsdk.h"
#include "recording.h"
#include "standin.h"
#include "ticks.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#endif

namespace recorder {
namespace {

using qvrec::Frame;
using standin::Id;

constexpr int function_count = standin::function_count;

[[noreturn]] void fail(const std::string &message) {
    std::fprintf(stderr, "qvsdk recorder: %s\n", message.c_str());
    std::fflush(stderr);
    std::_Exit(EXIT_FAILURE);
}

// ---- the platform: environment, the target library, the file ----

using Fn = void (*)();

#if defined(_WIN32)

std::wstring env(const wchar_t *name) {
    std::wstring value(32768, L'\0');
    const DWORD n = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    value.resize(n < value.size() ? n : 0);
    return value;
}

std::string utf8(const std::wstring &w) {
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                            nullptr);
    return s;
}

std::string last_error() {
    return std::system_category().message(static_cast<int>(GetLastError()));
}

struct Target {
    HMODULE module = nullptr;
    std::string path;

    static Target open() {
        Target t;
        const std::wstring wide = env(L"QVSDK_RECORD_TARGET");
        t.path = utf8(wide);
        if (wide.empty())
            fail(
                "QVSDK_RECORD_TARGET is not set: set it to the full path of the vendor's "
                "qvsdk.dll");
        // The altered search path: the vendor's own DLLs are looked for beside it.
        t.module = LoadLibraryExW(wide.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        if (t.module == nullptr)
            fail("cannot load QVSDK_RECORD_TARGET=" + t.path + ": " + last_error());
        return t;
    }
    Fn resolve(const char *name) const {
        return reinterpret_cast<Fn>(GetProcAddress(module, name));
    }
    std::string error() const { return last_error(); }
};

class File {
public:
    bool open(std::string &path, std::string &error) {
        std::wstring wide = env(L"QVSDK_RECORD_FILE");
        if (wide.empty()) wide = L"qvsdk-" + std::to_wstring(GetCurrentProcessId()) + L".qvrec";
        path = utf8(wide);
        handle_ = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE) error = last_error();
        return handle_ != INVALID_HANDLE_VALUE;
    }
    bool write(const char *p, std::size_t n, std::string &error) {
        while (n > 0) {
            DWORD done = 0;
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(n, 1u << 30));
            if (!WriteFile(handle_, p, chunk, &done, nullptr)) {
                error = last_error();
                return false;
            }
            p += done;
            n -= done;
        }
        return true;
    }
    void close() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

std::uint32_t process_id() {
    return static_cast<std::uint32_t>(GetCurrentProcessId());
}

#else

std::string env(const char *name) {
    const char *v = std::getenv(name);
    return v != nullptr ? v : "";
}

struct Target {
    void *handle = nullptr;
    std::string path;

    static Target open() {
        Target t;
        t.path = env("QVSDK_RECORD_TARGET");
        if (t.path.empty())
            fail(
                "QVSDK_RECORD_TARGET is not set: set it to the full path of the vendor's "
                "libqvsdk.so");
        t.handle = dlopen(t.path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (t.handle == nullptr) {
            const char *why = dlerror();
            fail("cannot load QVSDK_RECORD_TARGET=" + t.path + ": " +
                 (why ? why : "unknown error"));
        }
        return t;
    }
    Fn resolve(const char *name) const {
        dlerror();
        return reinterpret_cast<Fn>(dlsym(handle, name));
    }
    std::string error() const {
        const char *why = dlerror();
        return why ? why : "no such symbol";
    }
};

class File {
public:
    bool open(std::string &path, std::string &error) {
        path = env("QVSDK_RECORD_FILE");
        if (path.empty()) {
            char name[64];
            std::snprintf(name, sizeof name, "qvsdk-%ld.qvrec", static_cast<long>(getpid()));
            path = name;
        }
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd_ < 0) error = std::generic_category().message(errno);
        return fd_ >= 0;
    }
    bool write(const char *p, std::size_t n, std::string &error) {
        while (n > 0) {
            const ssize_t done = ::write(fd_, p, n);
            if (done < 0 && errno == EINTR) continue;
            if (done <= 0) {
                error = std::generic_category().message(done < 0 ? errno : ENOSPC);
                return false;
            }
            p += done;
            n -= static_cast<std::size_t>(done);
        }
        return true;
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

std::uint32_t process_id() {
    return static_cast<std::uint32_t>(getpid());
}

#endif

// ---- the recording: a bounded buffer of frames and the thread that writes them ----

using ticks::monotonic_ns;

// A growable byte buffer whose new bytes are not initialised (they are written at once).
class Chunk {
public:
    // Room for n bytes, touched at once: the pages are faulted in now, not by a caller while
    // it records (a page fault costs more than recording a frame).
    void reserve(std::size_t n) {
        if (n <= capacity_) return;
        regrow(n);
        std::memset(data_.get() + size_, 0, capacity_ - size_);
    }
    bool empty() const { return size_ == 0; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    char *data() { return data_.get(); }
    void clear() { size_ = 0; }
    void swap(Chunk &other) noexcept {
        data_.swap(other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }
    char *extend(std::size_t n) {
        if (size_ + n > capacity_) regrow(std::max(size_ + n, 2 * capacity_));
        char *at = data_.get() + size_;
        size_ += n;
        return at;
    }
    void push_back(char c) { *extend(1) = c; }
    void append(const char *p, std::size_t n) { std::memcpy(extend(n), p, n); }

private:
    void regrow(std::size_t n) {
        std::unique_ptr<char[]> grown(new char[n]);
        if (size_ > 0) std::memcpy(grown.get(), data_.get(), size_);
        data_ = std::move(grown);
        capacity_ = n;
    }

    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

class Recording {
public:
    Recording() {
        std::string error;
        if (!file_.open(path_, error))
            fail("cannot open QVSDK_RECORD_FILE=" + path_ + ": " + error);
        const std::string size = env_buffer();
        if (!size.empty())
            capacity_ = std::max<std::size_t>(std::strtoull(size.c_str(), nullptr, 10), 4096);
        pending_.reserve(capacity_);
        spare_.reserve(capacity_);
        start_ = monotonic_ns();
        start_ticks_ = ticks::now();
        // The header is the first thing the writer writes.
        Chunk &h = pending_;
        qvrec::BasicEncoder<Chunk> e(h);
        e.raw(qvrec::magic, sizeof qvrec::magic);
        e.u16(qvrec::version);
        e.u16(static_cast<std::uint16_t>(qvrec::header_size));
        e.u32(static_cast<std::uint32_t>(function_count));
        e.u64(qvrec::catalogue_hash);
        e.i64(std::chrono::duration_cast<std::chrono::nanoseconds>(
                  std::chrono::system_clock::now().time_since_epoch())
                  .count());
        e.i64(start_);
        e.u32(process_id());
        e.u32(crc32c::compute(h.data(), h.size()));
        header_pending_ = true;
    }

    std::int64_t elapsed() const { return monotonic_ns() - start_; }
    // A frame's time as the caller takes it: in ticks, made nanoseconds by the writer.
    static std::uint64_t now() { return ticks::now(); }
    bool active() const { return active_.load(std::memory_order_relaxed); }

    // Appends one frame of `size` bytes (its size, body and room for its checksum), written in
    // place by fill(at). Waits while the buffer is full.
    template <typename Fill>
    void append(std::size_t size, const Fill &fill) {
        std::unique_lock<std::mutex> lock(mu_);
        if (!active_.load(std::memory_order_relaxed)) return;
        if (!writer_.joinable()) writer_ = std::thread([this] { write_loop(); });
        if (!pending_.empty() && pending_.size() + size > capacity_) {
            ++waits_;
            do {
                kicked_ = true;
                wake_writer_.notify_one();
                space_.wait(lock);
                if (!active_.load(std::memory_order_relaxed)) return;
            } while (!pending_.empty() && pending_.size() + size > capacity_);
        }
        fill(pending_.extend(size));
        appended_ += size;
        ++frames_;
        if (!kicked_ && pending_.size() >= capacity_ / 4) {
            kicked_ = true;
            wake_writer_.notify_one();
        }
    }

    // Returns once everything appended so far is written (or recording has stopped).
    void flush() {
        std::unique_lock<std::mutex> lock(mu_);
        if (!writer_.joinable()) return;
        const std::uint64_t target = appended_;
        kicked_ = true;
        wake_writer_.notify_one();
        written_cv_.wait(lock, [&] { return written_ >= target || !active_.load(); });
    }

    // Writes what is left and the closing note, and closes the file. Calls after this are
    // forwarded unrecorded.
    void close() {
        std::thread writer;
        {
            std::unique_lock<std::mutex> lock = lock_at_close();
            if (!lock.owns_lock() || closed_) return;
            closed_ = true;
            stopping_ = true;
            wake_writer_.notify_one();
            writer.swap(writer_);
        }
        if (writer.joinable()) writer.join();
        std::unique_lock<std::mutex> lock = lock_at_close();
        if (!lock.owns_lock()) return;
        if (active_.load()) {
            if (!pending_.empty()) write_out(pending_);  // the writer never started
            if (active_.load()) write_note(qvrec::Note::closed, "recording closed");
        }
        active_.store(false);
        file_.close();
        space_.notify_all();
        written_cv_.notify_all();
    }

private:
    // The lock, or after a while none: at process exit on Windows the writer thread has been
    // ended before the library's destructors run, possibly while it held the lock. (For the
    // same reason the recorder must not be unloaded with FreeLibrary while the process goes
    // on: the writer could not be joined under the loader lock. Python never unloads it.)
    std::unique_lock<std::mutex> lock_at_close() {
        std::unique_lock<std::mutex> lock(mu_, std::try_to_lock);
        const std::int64_t until = monotonic_ns() + 200'000'000;
        while (!lock.owns_lock() && monotonic_ns() < until) {
            std::this_thread::yield();
            lock.try_lock();
        }
        return lock;
    }

    static std::string env_buffer() {
#if defined(_WIN32)
        return utf8(env(L"QVSDK_RECORD_BUFFER"));
#else
        return env("QVSDK_RECORD_BUFFER");
#endif
    }

    void write_loop() {
        std::unique_lock<std::mutex> lock(mu_);
        for (;;) {
            wake_writer_.wait_for(lock, std::chrono::milliseconds(20),
                                  [&] { return kicked_ || stopping_; });
            if (pending_.empty()) {
                kicked_ = false;
                if (stopping_) return;
                continue;
            }
            pending_.swap(spare_);
            kicked_ = false;
            const std::uint64_t upto = appended_;
            space_.notify_all();
            lock.unlock();
            const bool ok = write_out(spare_);
            spare_.clear();
            if (spare_.capacity() > 2 * capacity_) {  // after a frame larger than the buffer
                Chunk fresh;
                fresh.reserve(capacity_);
                spare_.swap(fresh);
            }
            lock.lock();
            written_ = upto;
            written_cv_.notify_all();
            if (!ok) return;
        }
    }

    // Checksums the frames of a chunk and writes it; on failure stops the recording.
    bool write_out(Chunk &chunk) {
        const std::int64_t t0 = monotonic_ns();
        // Ticks to nanoseconds since the start, at the rate seen since the start.
        const std::uint64_t ticks_now = ticks::now();
        const double rate =
            ticks_now > start_ticks_
                ? static_cast<double>(t0 - start_) / static_cast<double>(ticks_now - start_ticks_)
                : 1.0;
        std::size_t at = 0;
        if (header_pending_) {
            at = qvrec::header_size;
            header_pending_ = false;
        }
        while (at + 4 <= chunk.size()) {
            std::uint32_t size;
            std::memcpy(&size, chunk.data() + at, 4);
            char *time = chunk.data() + at + 4 + 24;
            std::uint64_t taken;
            std::memcpy(&taken, time, 8);
            const std::uint64_t since = taken > start_ticks_ ? taken - start_ticks_ : 0;
            const auto ns = static_cast<std::int64_t>(static_cast<double>(since) * rate);
            std::memcpy(time, &ns, 8);
            const std::uint32_t crc = crc32c::compute(chunk.data() + at, 4 + std::size_t{size});
            std::memcpy(chunk.data() + at + 4 + size, &crc, 4);
            at += 8 + std::size_t{size};
        }
        std::string error;
        const bool ok = file_.write(chunk.data(), chunk.size(), error);
        writer_ns_ += monotonic_ns() - t0;
        if (!ok) stop(error);
        return ok;
    }

    void stop(const std::string &error) {
        active_.store(false);
        std::fprintf(stderr,
                     "qvsdk recorder: writing %s failed (%s): recording stopped after %llu frames; "
                     "the SDK calls go on unrecorded\n",
                     path_.c_str(), error.c_str(), static_cast<unsigned long long>(frames_));
        std::fflush(stderr);
        // The marker, where the file still takes it.
        std::string note;
        encode_note(note, qvrec::Note::write_failed, "write failed: " + error);
        std::string ignored;
        file_.write(note.data(), note.size(), ignored);
        space_.notify_all();
    }

    void write_note(qvrec::Note code, const std::string &message) {
        std::string note;
        encode_note(note, code, message);
        std::string error;
        if (!file_.write(note.data(), note.size(), error)) stop(error);
    }

    void encode_note(std::string &out, qvrec::Note code, const std::string &message) {
        qvrec::Encoder e(out);
        e.u32(0);
        e.u8(static_cast<std::uint8_t>(Frame::note));
        e.u8(0);
        e.u16(qvrec::no_function);
        e.u32(0);
        e.u64(0);
        e.u64(0);
        e.i64(elapsed());
        e.u16(static_cast<std::uint16_t>(code));
        e.u64(frames_);
        e.u64(waits_);
        e.u64(static_cast<std::uint64_t>(writer_ns_));
        e.value(message.c_str());
        const auto size = static_cast<std::uint32_t>(out.size() - 4);
        std::memcpy(out.data(), &size, 4);
        const std::uint32_t crc = crc32c::compute(out.data(), out.size());
        e.u32(crc);
    }

    File file_;
    std::string path_;
    std::size_t capacity_ = 256u << 10;
    std::int64_t start_ = 0;
    std::uint64_t start_ticks_ = 0;

    std::mutex mu_;
    std::condition_variable wake_writer_, space_, written_cv_;
    Chunk pending_, spare_;  // frames not yet written; the chunk being written
    bool header_pending_ = false;
    bool kicked_ = false, stopping_ = false, closed_ = false;
    std::atomic<bool> active_{true};
    std::uint64_t appended_ = 0, written_ = 0, frames_ = 0, waits_ = 0;
    std::int64_t writer_ns_ = 0;
    std::thread writer_;
};

// ---- loading ----

Fn targets[function_count];
Recording *the_recording = nullptr;
std::atomic<bool> ready{false};
std::mutex load_mu;

void load() {
    std::lock_guard<std::mutex> lock(load_mu);
    if (ready.load()) return;
    Target target = Target::open();
    for (int i = 0; i < function_count; ++i) {
        const char *name = qvrec::catalogue[i].name;
        targets[i] = target.resolve(name);
        if (targets[i] == nullptr)
            fail("QVSDK_RECORD_TARGET=" + target.path + " lacks the SDK function " + name + ": " +
                 target.error());
    }
    if (targets[static_cast<int>(Id::qvi_init)] == reinterpret_cast<Fn>(&::qvi_init))
        fail("QVSDK_RECORD_TARGET=" + target.path +
             " is the recorder itself: name the vendor's library");
    the_recording = new Recording();  // never freed: calls may still come in at exit
    ready.store(true);
}

inline void ensure_loaded() {
    if (!ready.load(std::memory_order_acquire)) load();
}

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

// One frame being encoded: on the caller's stack, on the heap only when it is large. (No
// thread_local buffer: an object with a destructor in thread storage would keep the library
// from being unloaded, and with it from closing its recording.)
class FrameBuffer {
public:
    FrameBuffer() = default;
    FrameBuffer(const FrameBuffer &) = delete;
    FrameBuffer &operator=(const FrameBuffer &) = delete;

    void push_back(char c) { append(&c, 1); }
    void append(const char *p, std::size_t n) {
        if (size_ + n > capacity_) grow(n);
        std::memcpy(data_ + size_, p, n);
        size_ += n;
    }
    std::size_t size() const { return size_; }
    char *data() { return data_; }

private:
    void grow(std::size_t n) {
        const std::size_t capacity = std::max(2 * capacity_, size_ + n);
        std::unique_ptr<char[]> heap(new char[capacity]);
        std::memcpy(heap.get(), data_, size_);
        heap_ = std::move(heap);
        data_ = heap_.get();
        capacity_ = capacity;
    }

    char small_[512];
    char *data_ = small_;
    std::size_t size_ = 0;
    std::size_t capacity_ = sizeof small_;
    std::unique_ptr<char[]> heap_;
};

using Encoder = qvrec::BasicEncoder<FrameBuffer>;

std::atomic<std::uint64_t> next_seq{1};
std::atomic<std::uint32_t> next_thread{1};
std::atomic<qvi_event_callback> module_callback{nullptr};

// A call in progress on this thread. An event that arrives inside it first writes an open
// frame (function, arguments) so that the events stay attached to their call even when the
// call itself never returns within the recording (a crash, a cut).
struct Scope {
    Id id;
    std::uint64_t seq;
    std::uint64_t parent;
    std::uint64_t time;  // in ticks, at entry
    void (*encode_args)(Encoder &, const void *);
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

// The frame's size (set by finish()) and the body's common part.
void head(FrameBuffer &frame, Frame type, std::uint16_t function, std::uint32_t thread,
          std::uint64_t seq, std::uint64_t parent, std::uint64_t time) {
    char h[4 + qvrec::frame_head] = {};
    h[4] = static_cast<char>(type);
    std::memcpy(h + 6, &function, 2);
    std::memcpy(h + 8, &thread, 4);
    std::memcpy(h + 12, &seq, 8);
    std::memcpy(h + 20, &parent, 8);
    std::memcpy(h + 28, &time, 8);
    frame.append(h, sizeof h);
}

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

// Appends a frame whose body after the common part is written by body(encoder), a generic
// callable run twice: once to count, once to write into the buffer.
template <typename Body>
void write_frame(Frame type, std::uint16_t function, std::uint32_t thread, std::uint64_t seq,
                 std::uint64_t parent, std::uint64_t time, const Body &body) {
    Sizer sizer;
    qvrec::BasicEncoder<Sizer> sizing(sizer);
    body(sizing);
    const std::size_t size = qvrec::frame_head + sizer.n;
    the_recording->append(4 + size + 4, [&](char *at) {
        Cursor cursor{at};
        qvrec::BasicEncoder<Cursor> e(cursor);
        e.u32(static_cast<std::uint32_t>(size));
        e.u8(static_cast<std::uint8_t>(type));
        e.u8(0);
        e.u16(function);
        e.u32(thread);
        e.u64(seq);
        e.u64(parent);
        e.u64(time);  // ticks until the writer makes it nanoseconds
        body(e);
        e.u32(0);  // the checksum, computed by the writer
    });
}

void finish(FrameBuffer &frame) {
    const auto size = static_cast<std::uint32_t>(frame.size() - 4);
    std::memcpy(frame.data(), &size, 4);
    const char checksum[4] = {};  // computed by the writer
    frame.append(checksum, 4);
}

template <bool request, typename... A>
void encode_tuple(Encoder &e, const void *args) {
    std::apply([&e](A... a) { qvrec::encode_args<request>(e, a...); },
               *static_cast<const std::tuple<A...> *>(args));
}

void open_frame(Scope &s, std::uint32_t thread) {
    s.opened = true;
    FrameBuffer frame;
    Encoder e(frame);
    head(frame, Frame::open, static_cast<std::uint16_t>(s.id), thread, s.seq, s.parent, s.time);
    s.encode_args(e, s.args);
    finish(frame);
    the_recording->append(frame.size(),
                          [&](char *at) { std::memcpy(at, frame.data(), frame.size()); });
}

// The callback registered with the real library.
void on_event(const char *event, const char *data, int len) {
    if (the_recording->active()) {
        PerThread &t = this_thread;
        const std::uint32_t thread = thread_number(t);
        Scope *s = t.current;
        if (s != nullptr && !s->opened) open_frame(*s, thread);
        const std::uint64_t time = Recording::now();
        write_frame(Frame::event, qvrec::no_function, thread, next_seq.fetch_add(1),
                    s != nullptr ? s->seq : 0, time, [&](auto &e) {
                        e.value(event);
                        // A NULL payload is recorded as such, whatever length comes with it.
                        e.bytes(data, data != nullptr ? len : 0);
                        e.raw(&len, 4);
                    });
    }
    if (qvi_event_callback cb = module_callback.load(std::memory_order_acquire))
        cb(event, data, len);
}

// The result and the outputs of a call. A response or text output is read only when the status
// says success (0), as the caller reads it.
template <typename R, typename E, typename... A>
void encode_outcome(E &e, const R *result, A... a) {
    if constexpr (std::is_void_v<R>) {
        e.tag(qvrec::Tag::none);
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
                Recording::now(),
                &encode_tuple<request, A...>,
                &args,
                outer,
                false};
    t.current = &scope;
    auto write = [&](const R *result) {
        t.current = outer;
        write_frame(Frame::call, static_cast<std::uint16_t>(id), thread_number(t), scope.seq,
                    scope.parent, scope.time, [&](auto &e) {
                        qvrec::encode_args<request>(e, a...);
                        encode_outcome<R>(e, result, a...);
                    });
        if constexpr (id == Id::qvi_stop) the_recording->flush();
    };
    if constexpr (std::is_void_v<R>) {
        call();
        write(nullptr);
    } else {
        const R result = call();
        write(&result);
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
        if (!the_recording->active()) return call();
        return recorded<id, request, R>(call, a...);
    } else {
        if (!the_recording->active()) return fn(a...);
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
