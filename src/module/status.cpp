// c_status_ok and c_status_fail.
#include "module/registry.h"

namespace csdk {

const Definitions &status_functions() {
    static const Definitions none;
    return none;
}

}  // namespace csdk
