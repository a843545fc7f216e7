// The event bridge, lifecycle and message bus wrappers.
#include "module/registry.h"

namespace csdk {

const Definitions &runtime_functions() {
    static const Definitions none;
    return none;
}

}  // namespace csdk
