// Asks the loader which file the SDK's functions were resolved from, and whether that file is
// the stand-in built for tests (it alone exports standin_reset).
#include "module/sdk_library.h"

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

}  // namespace csdk
