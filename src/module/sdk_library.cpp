// Asks the loader which file the SDK's functions were resolved from, and whether that file is
// the stand-in built for tests (it alone exports standin_reset).
#include "module/sdk_library.h"

#include <cstdlib>
#include <iterator>
#include <string>

#include "qvsdk/qvsdk.h"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN  // no COM headers: those of older SDKs fail under /permissive-
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace csdk {
namespace {

constexpr const char standin_marker[] = "standin_reset";

// An SDK function's address, as data: the loader maps it back to its library.
const void *sdk_address() {
    return reinterpret_cast<const void *>(&qvi_init);
}

}  // namespace

#if defined(_WIN32)

SdkLibrary sdk_library() {
    SdkLibrary lib;
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<LPCWSTR>(sdk_address()), &module))
        return lib;
    std::wstring wide(32768, L'\0');  // the longest path Windows allows
    const DWORD n = GetModuleFileNameW(module, wide.data(), static_cast<DWORD>(wide.size()));
    if (n > 0 && n < wide.size()) {
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(n), nullptr,
                                              0, nullptr, nullptr);
        if (bytes > 0) {
            lib.path.resize(static_cast<std::size_t>(bytes));
            WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(n), lib.path.data(),
                                bytes, nullptr, nullptr);
        }
    }
    lib.is_standin = GetProcAddress(module, standin_marker) != nullptr;
    return lib;
}

#else

SdkLibrary sdk_library() {
    SdkLibrary lib;
    Dl_info info{};
    if (dladdr(sdk_address(), &info) == 0 || info.dli_fname == nullptr) return lib;
    lib.path = info.dli_fname;
    // Already loaded: this only takes another reference, given back at once.
    if (void *handle = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD); handle != nullptr) {
        lib.is_standin = dlsym(handle, standin_marker) != nullptr;
        dlclose(handle);
    }
    return lib;
}

#endif

namespace {

std::string env(const char *name) {
#if defined(_WIN32)
    wchar_t wide_name[64] = {};
    for (std::size_t i = 0; name[i] != '\0' && i + 1 < std::size(wide_name); ++i)
        wide_name[i] = static_cast<wchar_t>(name[i]);
    std::wstring value(32768, L'\0');
    const DWORD n =
        GetEnvironmentVariableW(wide_name, value.data(), static_cast<DWORD>(value.size()));
    if (n == 0 || n >= value.size()) return {};
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, value.data(), static_cast<int>(n), nullptr, 0,
                                          nullptr, nullptr);
    std::string out(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, value.data(), static_cast<int>(n), out.data(), bytes,
                            nullptr, nullptr);
    return out;
#else
    const char *v = std::getenv(name);
    return v != nullptr ? v : "";
#endif
}

}  // namespace

std::string recorder_bypassed() {
    const std::string target = env("QVSDK_RECORD_TARGET"), file = env("QVSDK_RECORD_FILE");
    if (target.empty() && file.empty()) return {};
    const std::string recorder = env("QVSDK_RECORDER");
    const SdkLibrary lib = sdk_library();
    if (!recorder.empty() && lib.path == recorder) return {};
    return "recording was asked for (" +
           (target.empty() ? "QVSDK_RECORD_FILE=" + file : "QVSDK_RECORD_TARGET=" + target) +
           ") but c_sdk's SDK functions come from '" + (lib.path.empty() ? "?" : lib.path) +
           "', not from the recorder" +
           (recorder.empty() ? std::string(" (no recorder was loaded)")
                             : " (the recorder is at '" + recorder + "')") +
           ": another library of the SDK's name was loaded first (import c_sdk before "
           "anything that loads it, such as qvsdk_standin), or the recorder's folder is not "
           "first on the library search path; unset QVSDK_RECORD_TARGET and QVSDK_RECORD_FILE "
           "to run unrecorded";
}

}  // namespace csdk
