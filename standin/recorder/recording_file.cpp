#include "recording_file.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "crc32c.h"

namespace recorder {
namespace {

using qvrec::Frame;

std::uint64_t align_down(std::uint64_t v, std::uint64_t to) {
    return v - v % to;
}

std::uint64_t align_up(std::uint64_t v, std::uint64_t to) {
    return align_down(v + to - 1, to);
}

// A child's own file: its process id before the extension (session.qvrec: session.4242.qvrec).
std::string child_name(const std::string &path, std::uint32_t pid) {
    const std::size_t slash = path.find_last_of("/\\");
    const std::size_t dot = path.rfind('.');
    std::string id(1, '.');
    id += decimal(pid);
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) ||
        dot == (slash == std::string::npos ? 0 : slash + 1))
        return path + id;
    std::string out = path.substr(0, dot);
    out += id;
    out += path.substr(dot);
    return out;
}

// A note's frame: size, body and checksum, at most `room` bytes (the message is cut to fit).
std::string encode_note(qvrec::Note code, std::string message, std::int64_t time,
                        std::uint64_t frames, std::uint64_t waits, std::int64_t writer_ns,
                        std::size_t room) {
    constexpr std::size_t fixed = 4 + qvrec::frame_head + 2 + 24 + 5 + 4;
    if (fixed + message.size() > room) message.resize(room > fixed ? room - fixed : 0);
    std::string out;
    qvrec::Encoder e(out);
    e.u32(0);
    e.u8(static_cast<std::uint8_t>(Frame::note));
    e.u8(0);
    e.u16(qvrec::no_function);
    e.u32(0);
    e.u64(0);
    e.u64(0);
    e.i64(time);
    e.u16(static_cast<std::uint16_t>(code));
    e.u64(frames);
    e.u64(waits);
    e.u64(static_cast<std::uint64_t>(writer_ns));
    e.value(message.c_str());
    const auto size = static_cast<std::uint32_t>(out.size() - 4);
    std::memcpy(out.data(), &size, 4);
    e.u32(crc32c::compute(out.data(), out.size()));
    return out;
}

}  // namespace

void RecordingFile::open(const Settings &s) {
    const std::uint32_t pid = process_id();
    bool exists = false;
    std::string error;
    if (s.file.empty()) {
        path_ = "qvsdk-" + decimal(pid) + ".qvrec";
    } else if (s.file == s.parent_file) {
        // Started by a recorded process, whose recording QVSDK_RECORD_FILE is.
        path_ = child_name(s.file, pid);
    } else {
        path_ = s.file;
    }
    bool created = file_.create(path_, error, exists);
    if (!created && exists && !s.file.empty() && s.file != s.parent_file) {
        // Started with a copy of the parent's environment made before the parent loaded the
        // recorder: the file is the parent's recording when its header says so.
        const std::uint32_t parent = parent_process_id();
        if (parent != 0 && recording_owner(path_) == parent) {
            path_ = child_name(s.file, pid);
            created = file_.create(path_, error, exists);
        }
    }
    if (!created) {
        const char *variable =
            s.file.empty() ? "the default recording file " : "QVSDK_RECORD_FILE=";
        fail("cannot create " + std::string(variable) + path_ + ": " + error +
             (exists ? " (the recorder creates a new file: it never truncates an existing one "
                       "nor follows a link; remove it or name another)"
                     : ""));
    }
    publish("QVSDK_RECORD_PARENT_FILE", s.file);

    const std::size_t grain = MappedFile::granularity();
    window_size_ = static_cast<std::size_t>(align_up(2 * s.buffer, grain));
    if (!remap(qvrec::header_size, error))
        fail("cannot map the recording file " + path_ + ": " + error);

    // Ticks to nanoseconds: a first rate measured now, refined by the writer as time goes.
    start_ns_ = ticks::monotonic_ns();
    start_ticks_ = ticks::now();
    while (ticks::monotonic_ns() - start_ns_ < 200'000) {
    }
    refresh_rate();

    char *h = window_;
    std::string header;
    qvrec::Encoder e(header);
    e.raw(qvrec::magic, sizeof qvrec::magic);
    e.u16(qvrec::version);
    e.u16(static_cast<std::uint16_t>(qvrec::header_size));
    e.u32(static_cast<std::uint32_t>(standin::function_count));
    e.u64(qvrec::catalogue_hash);
    e.i64(std::chrono::duration_cast<std::chrono::nanoseconds>(
              std::chrono::system_clock::now().time_since_epoch())
              .count());
    e.i64(start_ns_);
    e.u32(pid);
    e.u32(crc32c::compute(header.data(), header.size()));
    std::memcpy(h, header.data(), header.size());
    end_ = header.size();
    active_.store(true);
    try {
        writer_ = std::thread([this] { write_loop(); });
    } catch (const std::exception &x) {
        fail(std::string("cannot start the recorder's writer thread: ") + x.what());
    }
}

void RecordingFile::refresh_rate() {
    const std::uint64_t t = ticks::now();
    const std::int64_t ns = ticks::monotonic_ns();
    if (t > start_ticks_ && ns > start_ns_)
        rate_.store(static_cast<double>(ns - start_ns_) / static_cast<double>(t - start_ticks_),
                    std::memory_order_relaxed);
}

// Maps a window from the last frame's page on, holding at least `need` more bytes and the
// room for a note. Under mu_.
bool RecordingFile::remap(std::size_t need, std::string &error) {
    std::lock_guard<std::mutex> lock(grow_);
    const std::size_t grain = MappedFile::granularity();
    const std::uint64_t at = align_down(end_, grain);
    const std::uint64_t len =
        std::max<std::uint64_t>(window_size_, align_up(end_ - at + need + note_room, grain));
    if (len > SIZE_MAX) {
        error = "larger than this process can map";
        return false;
    }
    if (!file_.reserve(at + len, error)) return false;
    char *fresh = file_.map(at, static_cast<std::size_t>(len), error);
    if (fresh == nullptr) return false;
    MappedFile::populate(fresh, static_cast<std::size_t>(len));
    MappedFile::unmap(window_, window_len_);
    window_ = fresh;
    window_at_ = at;
    window_len_ = static_cast<std::size_t>(len);
    limit_ = at + len - note_room;
    advance_at_ = at + len / 2;
    return true;
}

// A frame beyond the window: the writer has not mapped the next one in time (the caller maps
// it, counted as a wait), or the frame is larger than a window. A large frame the file cannot
// take is left out, with a note; when even an ordinary one cannot be, the recording stops.
// Under mu_.
bool RecordingFile::room(std::size_t size, const char *what, std::uint64_t seq) {
    ++waits_;
    std::string error;
    if (remap(size, error)) return true;
    if (size <= window_size_ / 2) {
        // Not even an ordinary frame fits: the file cannot grow.
        stop(error);
        return false;
    }
    ++left_out_;
    store_note(qvrec::Note::left_out,
               std::string(what) + " (sequence " + decimal(seq) + "): its frame of " +
                   decimal(size) + " bytes is left out: the file cannot take it (" + error + ")");
    return false;
}

// After a frame larger than a window: the large window is given back before the caller
// returns, so that the address space it took is the process's again. Under mu_.
void RecordingFile::shrink() {
    std::string error;
    remap(0, error);  // on failure the large window stays, and takes the next frames
}

void RecordingFile::left_out(const std::string &what) {
    if (!active()) return;
    std::lock_guard<std::mutex> lock(mu_);
    if (!active()) return;
    ++left_out_;
    store_note(qvrec::Note::left_out, what);
}

// Stores a note in the window's room (always there: frames stop note_room short of its end).
void RecordingFile::store_note(qvrec::Note code, const std::string &message) {
    try {
        const std::uint64_t room = window_at_ + window_len_ - end_;
        const std::string note =
            encode_note(code, message, since_start(ticks::now()), frames_, waits_, writer_ns_,
                        room < note_room ? static_cast<std::size_t>(room) : note_room);
        if (note.size() > room) return;
        std::memcpy(window_ + (end_ - window_at_), note.data(), note.size());
        end_ += note.size();
    } catch (...) {
        // No memory even for the note: the frame is left out unsaid.
    }
}

// The file cannot grow: the recording ends here, with a note saying why. Under mu_.
void RecordingFile::stop(const std::string &error) {
    store_note(qvrec::Note::write_failed, "growing the file failed: " + error);
    active_.store(false);
    std::fprintf(stderr,
                 "qvsdk recorder: growing %s failed (%s): recording stopped; the file holds %llu "
                 "frames (%llu bytes), the SDK calls go on unrecorded\n",
                 path_.c_str(), error.c_str(), static_cast<unsigned long long>(frames_),
                 static_cast<unsigned long long>(end_));
    std::fflush(stderr);
}

void RecordingFile::unrecorded_call() {
    if (!forked_.load(std::memory_order_relaxed) || said_forked_.exchange(true)) return;
    std::fprintf(stderr,
                 "qvsdk recorder: process %lu is a fork of the process recording to %s: its SDK "
                 "calls are not recorded\n",
                 static_cast<unsigned long>(process_id()), path_.c_str());
    std::fflush(stderr);
}

// Maps the next window while the callers fill this one.
void RecordingFile::write_loop() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        wake_.wait_for(lock, std::chrono::milliseconds(20), [&] { return kicked_ || stopping_; });
        if (stopping_) return;
        kicked_ = false;
        refresh_rate();
        if (!active() || end_ < advance_at_) continue;
        const std::int64_t t0 = ticks::monotonic_ns();
        std::string error;
        const std::size_t grain = MappedFile::granularity();
        const std::uint64_t at = align_down(end_, grain);
        const std::uint64_t len = window_size_;
        lock.unlock();
        char *fresh = nullptr;
        {
            std::lock_guard<std::mutex> g(grow_);
            if (file_.reserve(at + len, error)) fresh = file_.map(at, len, error);
        }
        if (fresh != nullptr) MappedFile::populate(fresh, len);
        lock.lock();
        writer_ns_ += ticks::monotonic_ns() - t0;
        if (fresh == nullptr) {
            if (active()) stop(error);
            continue;
        }
        // Taken unless a caller has moved on beyond it meanwhile.
        char *old = fresh;
        std::size_t old_len = len;
        if (active() && at >= window_at_ && end_ + note_room < at + len &&
            at + len > window_at_ + window_len_) {
            old = window_;
            old_len = window_len_;
            window_ = fresh;
            window_at_ = at;
            window_len_ = len;
            limit_ = at + len - note_room;
            advance_at_ = at + len / 2;
        }
        lock.unlock();
        {
            std::lock_guard<std::mutex> g(grow_);
            MappedFile::unmap(old, old_len);
        }
        lock.lock();
    }
}

// The lock, or after a while none: at process exit on Windows the writer thread has been
// ended before the library's destructors run, possibly while it held the lock. (For the same
// reason the recorder must not be unloaded with FreeLibrary while the process goes on: the
// writer could not be joined under the loader lock. Python never unloads it.)
std::unique_lock<std::mutex> RecordingFile::lock_at_close() {
    std::unique_lock<std::mutex> lock(mu_, std::try_to_lock);
    const std::int64_t until = ticks::monotonic_ns() + 200'000'000;
    while (!lock.owns_lock() && ticks::monotonic_ns() < until) {
        std::this_thread::yield();
        lock.try_lock();
    }
    return lock;
}

void RecordingFile::close() {
    if (forked_.load()) return;  // the parent's recording: never touched here
    std::thread writer;
    {
        std::unique_lock<std::mutex> lock = lock_at_close();
        if (!lock.owns_lock() || closed_) return;
        closed_ = true;
        stopping_ = true;
        wake_.notify_one();
        writer.swap(writer_);
    }
    if (writer.joinable()) writer.join();
    std::unique_lock<std::mutex> lock = lock_at_close();
    if (!lock.owns_lock()) return;
    if (window_ == nullptr) return;
    if (active()) {
        std::string message = "recording closed";
        if (left_out_ > 0) message += "; " + decimal(left_out_) + " frames left out";
        store_note(qvrec::Note::closed, message);
    }
    active_.store(false);
    std::lock_guard<std::mutex> g(grow_);
    MappedFile::unmap(window_, window_len_);
    window_ = nullptr;
    file_.finish(end_);
}

}  // namespace recorder
