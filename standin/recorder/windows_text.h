// Windows only: file names for the wide-character API, and the text of the last error.
#pragma once

#if defined(_WIN32)
#include <string>
#include <system_error>

#include <windows.h>

namespace recorder {

// A UTF-8 path as the wide-character API takes it.
inline std::wstring widen(const std::string &s) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

inline std::string last_error() {
    return std::system_category().message(static_cast<int>(GetLastError()));
}

}  // namespace recorder
#endif
