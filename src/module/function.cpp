// Results of the wrappers declared by C signature that compare a status.
#include "module/function.h"

namespace csdk::detail {

PyObject *result(const TextReply &r) {
    Ref status = Ref::steal(PyLong_FromLong(r.status));
    if (!status) return nullptr;
    int failed = convert::test_status(status.get(), r.status, Py_NE);
    if (failed < 0) return nullptr;
    if (failed) Py_RETURN_NONE;
    return convert::from_text(r.text);
}

}  // namespace csdk::detail
