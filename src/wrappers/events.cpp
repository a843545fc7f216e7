// The event bridge.
//
// py_qvi_set_data_callback stores the host's callable as the module global `f` and registers
// callback_wrapper with the SDK. For every event the SDK calls callback_wrapper, which calls
// f(event, payload): the event text as str (as bytes while IS_PY2 is true) and the payload as
// bytes of exactly the reported length. Whatever goes wrong with one event (a missing global,
// text that is not UTF-8, f raising) is printed, handed to sys.unraisablehook with the context
// "c_sdk.callback_wrapper" and cleared: the SDK never sees it and the next event starts afresh.
//
// This is the second hottest path of the module (millions of events): per event two cached
// global look-ups, the text (usually from a small cache of recent names), one copy of the
// payload and one vectorcall.
#include "wrappers/events.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "module/compat.h"
#include "module/convert.h"
#include "module/globals.h"
#include "module/module.h"
#include "qvsdk/qvsdk.h"

namespace csdk {
namespace {

PyObject *s_context = nullptr;  // "c_sdk.callback_wrapper": what the unraisable hook is told

// The str objects of recently seen event names. Names repeat (a handful of kinds, millions of
// events), and a str is immutable, so a name seen before is handed out again instead of being
// decoded again. Only text that decoded is kept: text that is not UTF-8 fails every time.
// Used under the interpreter lock only; never freed (no destructor runs after finalization).
class NameCache {
public:
    // The name as str (UTF-8, strict errors); null with UnicodeDecodeError.
    Ref get(const char *text) {
        // Most often the name of the event before: compared up to its end, without a hash.
        if (const Slot *last = last_; last != nullptr) {
            std::size_t i = 0;
            while (i < last->len && text[i] == last->text[i]) ++i;
            if (i == last->len && text[i] == '\0') return Ref::borrow(last->str.get());
        }
        std::uint32_t hash = 2166136261u;  // FNV-1a, taken while looking for the end
        std::size_t n = 0;
        for (; n < max_len && text[n] != '\0'; ++n)
            hash = (hash ^ static_cast<unsigned char>(text[n])) * 16777619u;
        if (text[n] != '\0')  // too long to be kept
            return Ref::steal(PyUnicode_DecodeUTF8(
                text, static_cast<Py_ssize_t>(n + std::strlen(text + n)), nullptr));
        Slot &slot = slots_[hash % slots_.size()];
        if (slot.str && slot.len == n && std::memcmp(slot.text, text, n) == 0) {
            last_ = &slot;
            return Ref::borrow(slot.str.get());
        }
        Ref str = Ref::steal(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(n), nullptr));
        if (!str) return str;
        std::memcpy(slot.text, text, n);
        slot.len = n;
        slot.str = Ref::borrow(str.get());
        last_ = &slot;
        return str;
    }

private:
    static constexpr std::size_t max_len = 47;
    struct Slot {
        Ref str;
        std::size_t len = 0;
        char text[max_len];
    };
    std::array<Slot, 32> slots_;
    const Slot *last_ = nullptr;  // the slot of the name handed out last
};

NameCache &names() {
    static NameCache *cache = new NameCache();
    return *cache;
}

// At interpreter exit, a thread that tries to take the lock (also when Python code called from
// f gives the lock up and takes it back, e.g. around a write or a sleep) is ended by the
// interpreter with pthread_exit, which unwinds its C++ frames and runs their destructors
// without the lock. The objects below therefore release the references they hold while Python
// code runs themselves, once that code has returned; one destroyed before that knows that its
// thread is being unwound, checks whether the thread is still attached to the interpreter (its
// thread state the current one) and, if not, abandons the references instead of releasing
// them: no object is touched during such an unwinding. The objects it abandons would never be
// freed anyway, the process being at its end.
void abandon_if_detached(PyThreadState *tstate, std::initializer_list<Ref *> refs) {
    if (_PyThreadState_UncheckedGet() != tstate)
        for (Ref *r : refs) static_cast<void>(r->release());
}

// Reports the exception being raised in two steps and clears it: first the traceback, as the
// runtime prints an uncaught exception but without recording it as sys.last_exc; then the same
// exception through sys.unraisablehook.
class Report {
public:
    explicit Report(PyThreadState *tstate) : tstate_(tstate) {}
    Report(const Report &) = delete;
    Report &operator=(const Report &) = delete;
    ~Report() {
        if (CSDK_UNLIKELY(!finished_)) abandon_if_detached(tstate_, {&shown_, &tb_, &hook_, &exc_});
    }

    void run() {
        exc_ = Ref::steal(PyErr_GetRaisedException());
        if (PyErr_GivenExceptionMatches(exc_.get(), PyExc_SystemExit)) {
            show_exit();
        } else {
            PyErr_SetRaisedException(Py_NewRef(exc_.get()));
            PyErr_PrintEx(0);
        }
        PyErr_SetRaisedException(exc_.release());
        PyErr_WriteUnraisable(s_context != nullptr ? s_context : Py_None);
        for (Ref *r : {&shown_, &tb_, &hook_}) r->reset();
        finished_ = true;
    }

private:
    // PyErr_PrintEx would end the process on SystemExit, from inside the SDK's call: print it
    // through sys.excepthook like any other exception instead, and carry on.
    void show_exit() {
        PyObject *exc = exc_.get();
        hook_ = Ref::borrow(PySys_GetObject("excepthook"));
        tb_ = Ref::steal(PyException_GetTraceback(exc));
        if (hook_ && hook_.get() != Py_None) {
            PyObject *argv[3] = {reinterpret_cast<PyObject *>(Py_TYPE(exc)), exc,
                                 tb_ ? tb_.get() : Py_None};
            shown_ = Ref::steal(PyObject_Vectorcall(hook_.get(), argv, 3, nullptr));
            if (shown_) return;
            PyErr_Clear();
        }
        PyErr_Display(nullptr, exc, tb_.get());
    }

    PyThreadState *tstate_;
    bool finished_ = false;
    Ref exc_, hook_, tb_, shown_;
};

// One event on its way to f, with every object it holds while Python code runs.
class Delivery {
public:
    explicit Delivery(PyThreadState *tstate) : tstate_(tstate) {}
    Delivery(const Delivery &) = delete;
    Delivery &operator=(const Delivery &) = delete;
    ~Delivery() {
        if (CSDK_UNLIKELY(!finished_))
            abandon_if_detached(tstate_, {&result_, &payload_, &f_, &text_, &flag_});
    }

    void run(const char *event, const char *data, int len) {
        handle(event, data, len);
        for (Ref *r : {&result_, &payload_, &f_, &text_, &flag_}) r->reset();
        finished_ = true;
    }

private:
    void handle(const char *event, const char *data, int len) {
        int py2 = is_py2();
        if (py2 < 0) return report();
        if (py2) {
            text_ = Ref::steal(convert::from_text(event));
        } else {
            text_ = names().get(event != nullptr ? event : "");
        }
        if (!text_) return report();
        f_ = Ref::borrow(globals::get(globals::f));  // kept alive even if f re-registers
        if (!f_) return report();
        payload_ = Ref::steal(convert::from_response(data, len));
        if (!payload_) return report();
        PyObject *argv[3] = {nullptr, text_.get(), payload_.get()};
        result_ = Ref::steal(
            PyObject_Vectorcall(f_.get(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!result_) report();
    }

    // The truth value of the global IS_PY2: 1, 0, or -1 with an exception set.
    int is_py2() {
        if (globals::cached(globals::IS_PY2) == Py_False) return 0;
        PyObject *v = globals::get(globals::IS_PY2);
        if (v == nullptr) return -1;
        if (v == Py_False || v == Py_None) return 0;
        if (v == Py_True) return 1;
        flag_ = Ref::borrow(v);
        return PyObject_IsTrue(v);
    }

    CSDK_NOINLINE void report() {
        Report r(tstate_);
        r.run();
    }

    PyThreadState *tstate_;
    bool finished_ = false;
    Ref flag_, text_, f_, payload_, result_;
};

CSDK_NOINLINE void deliver(PyThreadState *tstate, const char *event, const char *data, int len) {
    Delivery d(tstate);
    d.run(event, data, len);
}

const Signature set_callback_sig{"py_qvi_set_data_callback", {"pythonf"}};

PyObject *set_data_callback(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                            PyObject *kwnames) {
    Args<1> a;
    if (!a.bind(set_callback_sig, args, nargs, kwnames)) return nullptr;
    if (s_context == nullptr && (s_context = intern("c_sdk.callback_wrapper")) == nullptr)
        return nullptr;
    if (PyDict_SetItem(import_state().dict, globals::name_of(globals::f), a[0]) < 0) return nullptr;
    qvi_set_event_callback_pb(callback_wrapper);
    Py_RETURN_NONE;
}

}  // namespace

Definition data_callback_definition() {
    return {"py_qvi_set_data_callback",
            method_def("py_qvi_set_data_callback", set_data_callback, set_callback_sig), 0};
}

}  // namespace csdk

// The SDK calls back on the thread that is inside a module call into it, which holds the
// interpreter lock: a thread with a thread state attached holds the lock, so the event goes
// straight on. An SDK that delivers from a thread of its own gets the lock taken for it
// (PyGILState_Ensure) instead of corrupting the interpreter. Nothing of ours lives in this
// frame, so a thread that the interpreter ends inside PyGILState_Ensure unwinds through it
// without touching an object; and nothing here catches exceptions, so such an unwinding is
// never swallowed.
void callback_wrapper(const char *event, const char *data, int len) {
    if (PyThreadState *tstate = _PyThreadState_UncheckedGet(); CSDK_LIKELY(tstate != nullptr)) {
        csdk::deliver(tstate, event, data, len);
        return;
    }
    PyGILState_STATE gil = PyGILState_Ensure();
    csdk::deliver(PyThreadState_Get(), event, data, len);
    PyGILState_Release(gil);
}
