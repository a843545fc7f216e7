#include "target.h"

#include "recording.h"
#include "settings.h"
#include "standin.h"

#if defined(_WIN32)
#include <windows.h>

#include "windows_text.h"
#else
#include <dlfcn.h>
#endif

namespace recorder {

void load_target(const std::string &path, Fn *out) {
#if defined(_WIN32)
    // The altered search path: the vendor's own DLLs are looked for beside it.
    HMODULE module = LoadLibraryExW(widen(path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) fail("cannot load QVSDK_RECORD_TARGET=" + path + ": " + last_error());
#else
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *why = dlerror();
        fail("cannot load QVSDK_RECORD_TARGET=" + path + ": " + (why ? why : "unknown error"));
    }
#endif
    for (int i = 0; i < standin::function_count; ++i) {
        const char *name = qvrec::catalogue[i].name;
#if defined(_WIN32)
        out[i] = reinterpret_cast<Fn>(GetProcAddress(module, name));
        if (out[i] == nullptr)
            fail("QVSDK_RECORD_TARGET=" + path + " lacks the SDK function " + name + ": " +
                 last_error());
#else
        dlerror();
        out[i] = reinterpret_cast<Fn>(dlsym(handle, name));
        if (out[i] == nullptr) {
            const char *why = dlerror();
            fail("QVSDK_RECORD_TARGET=" + path + " lacks the SDK function " + name + ": " +
                 (why ? why : "no such symbol"));
        }
#endif
    }
    if (out[static_cast<int>(standin::Id::qvi_init)] == reinterpret_cast<Fn>(&::qvi_init))
        fail("QVSDK_RECORD_TARGET=" + path + " is the recorder itself: name the vendor's library");
}

std::string own_path() {
#if defined(_WIN32)
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(&own_path), &self))
        return {};
    std::wstring wide(32768, L'\0');
    const DWORD n = GetModuleFileNameW(self, wide.data(), static_cast<DWORD>(wide.size()));
    if (n == 0 || n >= wide.size()) return {};
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(n), nullptr, 0,
                                          nullptr, nullptr);
    std::string s(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(n), s.data(), bytes, nullptr,
                            nullptr);
    return s;
#else
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void *>(&own_path), &info) == 0 || info.dli_fname == nullptr)
        return {};
    return info.dli_fname;
#endif
}

}  // namespace recorder
