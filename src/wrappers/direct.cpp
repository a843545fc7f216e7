// SDK functions exposed under their own names.
#include "module/registry.h"

namespace csdk {

const Definitions &direct_callables() {
    static const Definitions none;
    return none;
}

}  // namespace csdk
