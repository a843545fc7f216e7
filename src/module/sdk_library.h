// Which library the SDK's functions come from. Plain C++ (no Python), so that it also builds
// with the Windows cross-compiler where the interpreter's Windows headers are not at hand.
#pragma once

#include <string>

namespace csdk {

struct SdkLibrary {
    std::string path;         // the library file, UTF-8; empty if the loader cannot tell
    bool is_standin = false;  // it exports the stand-in's control API
};

// The library that provides qvi_init, as the loader resolved it for this module.
SdkLibrary sdk_library();

// When recording is asked for (QVSDK_RECORD_TARGET or QVSDK_RECORD_FILE set), why the SDK's
// functions do not come from the recorder (it publishes its own file as QVSDK_RECORDER when
// it loads); empty when they do, or when recording is not asked for.
std::string recorder_bypassed();

// What makes the loader take the vendor's library instead of a stand-in it found first, in the
// terms of this platform's loader. Windows looks for an extension module's DLLs in the module's
// folder, then in the folders given to os.add_dll_directory(), never on PATH.
#if defined(_WIN32)
inline constexpr const char vendor_library_advice[] =
    "replace it with the vendor's qvsdk.dll beside c_sdk.pyd, or remove it and add the folder "
    "of the vendor's qvsdk.dll with os.add_dll_directory() before importing c_sdk";
#else
inline constexpr const char vendor_library_advice[] = "take it off the library search path";
#endif

}  // namespace csdk
