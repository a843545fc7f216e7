// Links against qvsdk.dll through its import library, as c_sdk does on Windows: every function
// of the catalogue, declared dllimport, must resolve to an export of the library. Run on
// Windows, it also reports which library the loader took and whether it is the stand-in.
#include <cstdio>
#include <iterator>

#include "module/sdk_library.h"
#include "qvsdk/qvsdk.h"

namespace {

#define LINK_CHECK_ADDRESS_(name) reinterpret_cast<const void *>(&name),
#define LINK_CHECK_VALUE_ADDRESS_(ret, name, params, args) LINK_CHECK_ADDRESS_(name)

const void *const functions[] = {QVSDK_EXCHANGE_FUNCTIONS(LINK_CHECK_ADDRESS_)
                                     QVSDK_COMMAND_FUNCTIONS(LINK_CHECK_ADDRESS_)
                                         QVSDK_FETCH_FUNCTIONS(LINK_CHECK_ADDRESS_)
                                             QVSDK_VALUE_FUNCTIONS(LINK_CHECK_VALUE_ADDRESS_)};

}  // namespace

int main() {
    for (const void *f : functions)
        if (f == nullptr) return 2;
    const csdk::SdkLibrary lib = csdk::sdk_library();
    std::printf("%zu SDK functions from %s%s\n", std::size(functions), lib.path.c_str(),
                lib.is_standin ? " (the stand-in)" : "");
    return std::size(functions) == 187 && lib.is_standin ? 0 : 1;
}
