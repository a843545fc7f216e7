#include "mapped_file.h"

#include <cstring>
#include <system_error>

#include "recording.h"

#if defined(_WIN32)
#include <windows.h>

#include "windows_text.h"
#else
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>
#include <cerrno>
#endif

namespace recorder {

#if defined(_WIN32)

namespace {

bool set_end(HANDLE h, std::uint64_t size) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(size);
    return SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && SetEndOfFile(h);
}

}  // namespace

bool MappedFile::create(const std::string &path, std::string &error, bool &exists) {
    // CREATE_NEW fails on any existing name, a link included; the ACL is the folder's default.
    HANDLE h =
        CreateFileW(widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        exists = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
        error = std::system_category().message(static_cast<int>(code));
        return false;
    }
    handle_ = h;
    return true;
}

bool MappedFile::reserve(std::uint64_t size, std::string &error) {
    if (size <= size_) return true;
    if (!set_end(static_cast<HANDLE>(handle_), size)) {
        error = last_error();
        return false;
    }
    size_ = size;
    return true;
}

char *MappedFile::map(std::uint64_t offset, std::size_t length, std::string &error) {
    const std::uint64_t end = offset + length;
    HANDLE m = CreateFileMappingW(static_cast<HANDLE>(handle_), nullptr, PAGE_READWRITE,
                                  static_cast<DWORD>(end >> 32), static_cast<DWORD>(end), nullptr);
    if (m == nullptr) {
        error = last_error();
        return nullptr;
    }
    void *view = MapViewOfFile(m, FILE_MAP_WRITE, static_cast<DWORD>(offset >> 32),
                               static_cast<DWORD>(offset), length);
    if (view == nullptr) error = last_error();
    CloseHandle(m);  // the view keeps the mapping
    return static_cast<char *>(view);
}

void MappedFile::unmap(char *base, std::size_t) {
    if (base != nullptr) UnmapViewOfFile(base);
}

void MappedFile::populate(char *, std::size_t) {}

void MappedFile::finish(std::uint64_t size) {
    if (handle_ == nullptr) return;
    set_end(static_cast<HANDLE>(handle_), size);
    CloseHandle(static_cast<HANDLE>(handle_));
    handle_ = nullptr;
}

std::size_t MappedFile::granularity() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwAllocationGranularity;
}

std::uint32_t recording_owner(const std::string &path) {
    HANDLE h = CreateFileW(widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    char header[qvrec::header_size];
    DWORD got = 0;
    const bool ok = ReadFile(h, header, sizeof header, &got, nullptr) && got == sizeof header;
    CloseHandle(h);
    std::uint32_t pid = 0;
    if (ok && std::memcmp(header, qvrec::magic, sizeof qvrec::magic) == 0)
        std::memcpy(&pid, header + 40, 4);
    return pid;
}

std::uint32_t parent_process_id() {
    return 0;
}

void on_fork_child(void (*)()) {}

#else

namespace {

std::string message(int code) {
    return std::generic_category().message(code);
}

}  // namespace

bool MappedFile::create(const std::string &path, std::string &error, bool &exists) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        exists = errno == EEXIST;
        error = message(errno);
        return false;
    }
    return true;
}

bool MappedFile::reserve(std::uint64_t size, std::string &error) {
    if (size <= size_) return true;
    int code;
    do {
        code = posix_fallocate(fd_, static_cast<off_t>(size_), static_cast<off_t>(size - size_));
    } while (code == EINTR);
    if (code != 0) {
        error = message(code);
        return false;
    }
    size_ = size;
    return true;
}

char *MappedFile::map(std::uint64_t offset, std::size_t length, std::string &error) {
    void *p =
        mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, static_cast<off_t>(offset));
    if (p == MAP_FAILED) {
        error = message(errno);
        return nullptr;
    }
    // A forked child does not inherit the window: it never writes into this recording.
    madvise(p, length, MADV_DONTFORK);
    return static_cast<char *>(p);
}

void MappedFile::unmap(char *base, std::size_t length) {
    if (base != nullptr) munmap(base, length);
}

void MappedFile::populate(char *base, std::size_t length) {
#if defined(MADV_POPULATE_WRITE)
    madvise(base, length, MADV_POPULATE_WRITE);
#else
    madvise(base, length, 23);  // MADV_POPULATE_WRITE (Linux 5.14); refused where unknown
#endif
}

void MappedFile::finish(std::uint64_t size) {
    if (fd_ < 0) return;
    if (ftruncate(fd_, static_cast<off_t>(size)) == 0) size_ = size;
    ::close(fd_);
    fd_ = -1;
}

std::size_t MappedFile::granularity() {
    const long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<std::size_t>(page) : 4096;
}

std::uint32_t recording_owner(const std::string &path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return 0;
    char header[qvrec::header_size];
    const ssize_t got = ::read(fd, header, sizeof header);
    ::close(fd);
    std::uint32_t pid = 0;
    if (got == static_cast<ssize_t>(sizeof header) &&
        std::memcmp(header, qvrec::magic, sizeof qvrec::magic) == 0)
        std::memcpy(&pid, header + 40, 4);
    return pid;
}

std::uint32_t parent_process_id() {
    return static_cast<std::uint32_t>(getppid());
}

void on_fork_child(void (*child)()) {
    pthread_atfork(nullptr, nullptr, child);
}

#endif

}  // namespace recorder
