// The recording file: its header and frames, stored by the calling threads straight into a
// window of the file mapped shared (a frame is in the file, in the kernel's hands, as soon as
// its caller has stored it: a crash, SIGKILL included, keeps every frame completed before it).
// The writer thread only maps the next window ahead of the callers.
//
// Frames are stored whole under one lock, in order, with their checksums: the file is always a
// header and complete frames, then at most one frame being stored, then the zeros of the
// window's unused room. Closing writes the closing note and cuts the file at its last frame.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "mapped_file.h"
#include "recording.h"
#include "settings.h"
#include "ticks.h"

namespace recorder {

class RecordingFile {
public:
    // Creates the file, stores the header, maps the first window and starts the writer; fails
    // the process, saying why, when any of it cannot be done (this runs while loading).
    void open(const Settings &settings);

    bool active() const { return active_.load(std::memory_order_relaxed); }

    // A time taken with ticks::now() as the format's nanoseconds since the start.
    std::int64_t since_start(std::uint64_t ticks) const {
        const std::uint64_t d = ticks > start_ticks_ ? ticks - start_ticks_ : 0;
        return static_cast<std::int64_t>(static_cast<double>(d) *
                                         rate_.load(std::memory_order_relaxed));
    }

    // The nanoseconds between two times taken with ticks::now(), none when `to` is not later
    // (the counters of two processors need not agree).
    std::int64_t span(std::uint64_t from, std::uint64_t to) const {
        return to > from ? static_cast<std::int64_t>(static_cast<double>(to - from) *
                                                     rate_.load(std::memory_order_relaxed))
                         : 0;
    }

    // Stores one frame of `size` bytes (size field, body, checksum), written in place by
    // fill(at). A frame the file cannot take is left out, and a note says so, naming `what`.
    template <typename Fill>
    void append(std::size_t size, const Fill &fill, const char *what, std::uint64_t seq) {
        if (!active()) return;
        std::lock_guard<std::mutex> lock(mu_);
        if (!active()) return;
        if (end_ + size > limit_ && !room(size, what, seq)) return;
        fill(window_ + (end_ - window_at_));
        end_ += size;
        ++frames_;
        if (window_len_ > window_size_) shrink();
        if (end_ >= advance_at_ && !kicked_) {
            kicked_ = true;
            wake_.notify_one();
        }
    }

    // A frame that cannot be recorded at all (larger than the format allows, or what the
    // process could not hold): a note says what was left out.
    void left_out(const std::string &what);

    // In a forked child: the recording is the parent's; nothing is recorded here.
    void forked() {
        forked_.store(true);
        active_.store(false);
    }
    // A call made while not recording: a forked child says so once.
    void unrecorded_call();

    // Stores the closing note and closes the file (at exit and unload). Calls after this are
    // forwarded unrecorded.
    void close();

    const std::string &path() const { return path_; }

private:
    bool room(std::size_t size, const char *what, std::uint64_t seq);
    bool remap(std::size_t need, std::string &error);
    void shrink();
    void store_note(qvrec::Note code, const std::string &message);
    void stop(const std::string &error);
    void write_loop();
    std::unique_lock<std::mutex> lock_at_close();
    void refresh_rate();

    // Room kept at the end of every window for a note, so that the recording can always say
    // why it stopped or what it left out.
    static constexpr std::size_t note_room = 1024;

    MappedFile file_;
    std::string path_;
    std::size_t window_size_ = 0;
    std::int64_t start_ns_ = 0;
    std::uint64_t start_ticks_ = 0;
    std::atomic<double> rate_{1.0};  // nanoseconds a tick

    std::mutex mu_;    // the window and the counts
    std::mutex grow_;  // the file's size and the mapping calls
    std::condition_variable wake_;
    char *window_ = nullptr;
    std::uint64_t window_at_ = 0;  // the file offset of window_
    std::size_t window_len_ = 0;
    std::uint64_t end_ = 0;         // the end of the last frame stored
    std::uint64_t limit_ = 0;       // frames end at most here (the window less note_room)
    std::uint64_t advance_at_ = 0;  // where the writer maps the next window
    std::uint64_t frames_ = 0, waits_ = 0, left_out_ = 0;
    std::int64_t writer_ns_ = 0;
    bool kicked_ = false, stopping_ = false, closed_ = false;
    std::atomic<bool> active_{false};
    std::atomic<bool> forked_{false}, said_forked_{false};
    std::thread writer_;
};

}  // namespace recorder
