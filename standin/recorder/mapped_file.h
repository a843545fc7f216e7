// The platform's side of a recording: the file, created exclusively and owner-only, grown with
// its space allocated, and mapped in windows shared with the file (the kernel holds what is
// written there, whatever becomes of the process).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace recorder {

class MappedFile {
public:
    MappedFile() = default;
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;

    // Creates `path`: exclusively (an existing file is never truncated), never through a
    // symbolic link, readable and writable by its owner only (0600; on Windows the default
    // ACL of the folder). On failure says why in `error`; `exists` tells a name already taken.
    bool create(const std::string &path, std::string &error, bool &exists);
    // Makes the file at least `size` bytes, its space allocated now: a full disk or a
    // file-size limit is found here, never by a store into the mapping.
    bool reserve(std::uint64_t size, std::string &error);
    // Maps bytes [offset, offset + length) of the file for writing; offset is a multiple of
    // granularity() and the file already holds them (reserve). Null on failure.
    char *map(std::uint64_t offset, std::size_t length, std::string &error);
    static void unmap(char *base, std::size_t length);
    // Faults a window's pages in for writing ahead of the callers (where the system can).
    static void populate(char *base, std::size_t length);
    // Cuts the file to `size` (the recording's end) and closes it.
    void finish(std::uint64_t size);

    std::uint64_t size() const { return size_; }
    static std::size_t granularity();

private:
#if defined(_WIN32)
    void *handle_ = nullptr;
#else
    int fd_ = -1;
#endif
    std::uint64_t size_ = 0;
};

// The process id in the header of the recording at `path`; 0 if it is not a recording.
std::uint32_t recording_owner(const std::string &path);
// This process's parent; 0 where the system does not say.
std::uint32_t parent_process_id();
// Runs `child` in the child of every fork of this process (nothing on Windows).
void on_fork_child(void (*child)());

}  // namespace recorder
