#include "settings.h"

#include <cstdio>
#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace recorder {

void fail(const std::string &message) {
    std::fprintf(stderr, "qvsdk recorder: %s\n", message.c_str());
    std::fflush(stderr);
    std::_Exit(EXIT_FAILURE);
}

#if defined(_WIN32)

namespace {

std::wstring widen(const std::string &s) {
    if (s.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

std::string narrow(const std::wstring &w) {
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                            nullptr);
    return s;
}

}  // namespace

std::string env(const char *name) {
    std::wstring value(32768, L'\0');
    const DWORD n = GetEnvironmentVariableW(widen(name).c_str(), value.data(),
                                            static_cast<DWORD>(value.size()));
    value.resize(n < value.size() ? n : 0);
    return narrow(value);
}

void publish(const char *name, const std::string &value) {
    SetEnvironmentVariableW(widen(name).c_str(), widen(value).c_str());
}

std::uint32_t process_id() {
    return static_cast<std::uint32_t>(GetCurrentProcessId());
}

#else

std::string env(const char *name) {
    const char *v = std::getenv(name);
    return v != nullptr ? v : "";
}

void publish(const char *name, const std::string &value) {
    setenv(name, value.c_str(), 1);
}

std::uint32_t process_id() {
    return static_cast<std::uint32_t>(getpid());
}

#endif

std::string decimal(std::uint64_t v) {
    char digits[24];
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    std::string out(n, '0');
    for (std::size_t i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
    return out;
}

bool parse_size(const std::string &text, std::size_t least, std::size_t most, std::size_t &out) {
    if (text.empty()) return false;
    std::size_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<std::size_t>(c - '0');
        if (v > most) return false;
    }
    out = v < least ? least : v;
    return true;
}

Settings read_settings() {
    Settings s;
    s.target = env("QVSDK_RECORD_TARGET");
    if (s.target.empty())
        fail(
            "QVSDK_RECORD_TARGET is not set: set it to the full path of the vendor's "
#if defined(_WIN32)
            "qvsdk.dll"
#else
            "libqvsdk.so"
#endif
        );
    s.file = env("QVSDK_RECORD_FILE");
    const std::string buffer = env("QVSDK_RECORD_BUFFER");
    constexpr std::size_t least = 4096, most = std::size_t{1} << 30;
    if (!buffer.empty() && !parse_size(buffer, least, most, s.buffer))
        fail("QVSDK_RECORD_BUFFER=" + buffer +
             " is not a size: give a number of bytes in decimal digits, at most 1073741824 "
             "(less than 4096 is taken as 4096)");
    const std::string secrets = env("QVSDK_RECORD_SECRETS");
    if (secrets == "keep")
        s.keep_secrets = true;
    else if (!secrets.empty() && secrets != "redact")
        fail("QVSDK_RECORD_SECRETS=" + secrets +
             " is not understood: `keep` records secrets as they are, `redact` (the default) "
             "replaces them with their length");
    s.parent_file = env("QVSDK_RECORD_PARENT_FILE");
    return s;
}

}  // namespace recorder
