// The record classes.
#include "module/registry.h"

namespace csdk {

bool create_record_classes(PyObject *) {
    return true;
}

}  // namespace csdk
