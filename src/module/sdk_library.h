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

}  // namespace csdk
