// c_status_ok and c_status_fail: the host package's tests of an SDK status.
//
// Invariant: c_status_fail calls what the caller can replace (the comparison's outcome,
// py_qvi_strerror, the logger, the text's decode) past the recursion guard; a wrapper entered
// directly by adapt_to_python3 passes no other. The comparisons themselves are the
// interpreter's, which checks their depth.
#include "module/globals.h"
#include "module/guard.h"
#include "module/module.h"
#include "module/registry.h"

namespace csdk {
namespace {

const Signature ok_sig{"c_status_ok", {"status"}};

constexpr const char *fail_default_texts[] = {"''"};
const Signature fail_sig = [] {
    Signature s{"c_status_fail", {"status", "cfunname"}};
    s.required = 1;
    s.default_texts = fail_default_texts;
    return s;
}();

constexpr const char ok_doc[] = "\n    c api 调用返回值status是否ok\n    ";
constexpr const char fail_doc[] = "\n    c api 调用返回值status是否fail\n    ";

// `status <op> CSDK_OPERATE_SUCCESS`, as the comparison returns it, the global looked up now.
PyObject *compare(PyObject *status, int op) {
    Ref ok = Ref::borrow(globals::get(globals::CSDK_OPERATE_SUCCESS));
    if (!ok) return nullptr;
    return PyObject_RichCompare(status, ok.get(), op);
}

PyObject *status_ok(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Args<1> a;
    if (!a.bind(ok_sig, args, nargs, kwnames)) return nullptr;
    return compare(a[0], Py_EQ);
}

// py_qvi_strerror(status).decode("utf8"), the global looked up now.
Ref error_text(PyObject *status) {
    Ref strerror = Ref::borrow(globals::get(globals::py_qvi_strerror));
    if (!strerror) return {};
    Ref text = Ref::steal(PyObject_CallOneArg(strerror.get(), status));
    if (!text) return {};
    if (PyBytes_CheckExact(text.get()))
        return Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(text.get()),
                                               PyBytes_GET_SIZE(text.get()), nullptr));
    PyObject *s_decode = intern("decode");
    PyObject *s_utf8 = intern("utf8");
    if (s_decode == nullptr || s_utf8 == nullptr) return {};
    return Ref::steal(PyObject_CallMethodOneArg(text.get(), s_decode, s_utf8));
}

// When the status is not CSDK_OPERATE_SUCCESS, writes one line through qvsdklogger.debug:
// "invoke c fun={} error code={}, error info={}" with a name, or the same without "={}" after
// "fun" when `cfunname` is false, filled by str.format.
PyObject *status_fail(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Args<2> a;
    if (!a.bind(fail_sig, args, nargs, kwnames, &PyTuple_GET_ITEM(import_state().fail_defaults, 0)))
        return nullptr;
    PyObject *status = a[0];
    PyObject *cfunname = a[1];
    Ref isfail = Ref::steal(compare(status, Py_NE));
    if (!isfail) return nullptr;
    if (isfail.get() == Py_False) return isfail.release();
    RecursionGuard guard;  // from the outcome's __bool__ on, everything is the caller's
    if (!guard.entered()) return nullptr;
    int failed = PyObject_IsTrue(isfail.get());
    if (failed <= 0) return failed < 0 ? nullptr : isfail.release();

    Ref text = error_text(status);
    if (!text) return nullptr;
    int named = PyObject_IsTrue(cfunname);
    if (named < 0) return nullptr;
    PyObject *s_debug = intern("debug");
    PyObject *s_format = intern("format");
    PyObject *with_name = intern("invoke c fun={} error code={}, error info={}");
    PyObject *without_name = intern("invoke c fun error code={}, error info={}");
    if (!s_debug || !s_format || !with_name || !without_name) return nullptr;
    Ref logger = Ref::borrow(globals::get(globals::qvsdklogger));
    if (!logger) return nullptr;
    Ref debug = Ref::steal(PyObject_GetAttr(logger.get(), s_debug));
    if (!debug) return nullptr;
    Ref message;
    if (named) {
        PyObject *argv[] = {with_name, cfunname, status, text.get()};
        message = Ref::steal(PyObject_VectorcallMethod(s_format, argv, 4, nullptr));
    } else {
        PyObject *argv[] = {without_name, status, text.get()};
        message = Ref::steal(PyObject_VectorcallMethod(s_format, argv, 3, nullptr));
    }
    if (!message) return nullptr;
    Ref logged = Ref::steal(PyObject_CallOneArg(debug.get(), message.get()));
    if (!logged) return nullptr;
    return isfail.release();
}

}  // namespace

const Definitions &status_functions() {
    static const Definitions defs = {
        {"c_status_ok", method_def("c_status_ok", status_ok, ok_sig, ok_doc)},
        {"c_status_fail", method_def("c_status_fail", status_fail, fail_sig, fail_doc)},
    };
    return defs;
}

}  // namespace csdk
