// The request/response family.
#include "module/registry.h"

namespace csdk {

const Definitions &request_functions() {
    static const Definitions none;
    return none;
}

}  // namespace csdk
