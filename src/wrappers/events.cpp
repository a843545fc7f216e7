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
//
// Invariants:
// - no Python code runs between the SDK's call of callback_wrapper and the copies of its event
//   text and payload (that code could call the SDK again, which may reuse both buffers);
// - nothing touches the interpreter once it is finalising or gone: an event that arrives then
//   (from a thread of the SDK's own, or from the library's exit handlers) is dropped;
// - f is called past the recursion guard unless it is a Python function (or a method of one),
//   whose call the interpreter checks itself: a wrapper registered as f may deliver events.
#include "wrappers/events.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <utility>

#include "module/compat.h"
#include "module/convert.h"
#include "module/globals.h"
#include "module/guard.h"
#include "module/module.h"
#include "qvsdk/qvsdk.h"

namespace csdk {
namespace {

PyObject *s_context = nullptr;        // "c_sdk.callback_wrapper": what the unraisable hook is told
PyInterpreterState *owner = nullptr;  // the interpreter of the module (set with the callback)

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

// PyErr_PrintEx would end the process on SystemExit, from inside the SDK's call: print it
// through sys.excepthook like any other exception instead, and carry on.
void show_exit(PyObject *exc) {
    Ref hook = Ref::borrow(PySys_GetObject("excepthook"));
    Ref tb = Ref::steal(PyException_GetTraceback(exc));
    if (hook && hook.get() != Py_None) {
        PyObject *argv[3] = {reinterpret_cast<PyObject *>(Py_TYPE(exc)), exc,
                             tb ? tb.get() : Py_None};
        Ref shown = Ref::steal(PyObject_Vectorcall(hook.get(), argv, 3, nullptr));
        if (shown) return;
        PyErr_Clear();
    }
    PyErr_Display(nullptr, exc, tb.get());
}

// Reports `exc` in two steps: first the traceback, as the runtime prints an uncaught exception
// but without recording it as sys.last_exc; then the same exception through sys.unraisablehook.
// The hooks (and sys.stderr) are the caller's: they are called past the recursion guard, since a
// hook may lead back here through C alone (a wrapper of a module function that makes the SDK
// deliver the next event).
void make_report(Ref exc) {
    RecursionGuard guard;
    if (!guard.entered()) {
        PyErr_Clear();
        return;
    }
    if (PyErr_GivenExceptionMatches(exc.get(), PyExc_SystemExit)) {
        show_exit(exc.get());
    } else {
        PyErr_SetRaisedException(Py_NewRef(exc.get()));
        PyErr_PrintEx(0);
    }
    PyErr_SetRaisedException(exc.release());
    PyErr_WriteUnraisable(s_context != nullptr ? s_context : Py_None);
}

// Failures that could not be reported where they happened, near the end of the depth (a report
// calls the hooks, and the interpreter's own printing needs depth too): kept, oldest first, and
// reported as soon as a delivery on the way out has room, before any later failure. At most
// max_pending are kept; the module lives in the main interpreter only, which owns them.
PyObject *pending = nullptr;  // a list, under the interpreter lock; null while none is kept
constexpr Py_ssize_t max_pending = 64;
constexpr int report_depth = 50;                  // calls a report may nest
constexpr std::size_t report_stack = 128u << 10;  // bytes of stack it may use past the guard's

// Whether a report can be made here without running out of depth or stack. Called with no
// exception set.
bool room_to_report() {
    if (stack::exhausted(report_stack)) return false;
    int entered = 0;
    while (entered < report_depth && Py_EnterRecursiveCall("") == 0) ++entered;
    for (int i = 0; i < entered; ++i) Py_LeaveRecursiveCall();
    if (entered == report_depth) return true;
    PyErr_Clear();
    return false;
}

void report_pending() {
    while (pending != nullptr) {
        Ref exc = Ref::borrow(PyList_GET_ITEM(pending, 0));
        if (PyList_SetSlice(pending, 0, 1, nullptr) < 0) {
            PyErr_Clear();
            return;
        }
        if (PyList_GET_SIZE(pending) == 0) Ref::steal(std::exchange(pending, nullptr));
        make_report(std::move(exc));
    }
}

// Reports the exception being raised (see make_report) and clears it; near the end of the depth
// it is kept for later instead.
CSDK_NOINLINE void report() {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!room_to_report()) {
        if (pending == nullptr)
            pending = Py_BuildValue("[O]", exc.get());  // null when out of memory: dropped
        else if (PyList_GET_SIZE(pending) < max_pending)
            PyList_Append(pending, exc.get());
        PyErr_Clear();
        return;
    }
    report_pending();
    make_report(std::move(exc));
}

// After an event: the failures kept from deeper down, if there is room for them now.
CSDK_NOINLINE void report_pending_if_room() {
    if (room_to_report()) report_pending();
}

// The event text, as f receives it: str (bytes while IS_PY2 is true). When IS_PY2 is known to
// be False, the name is decoded (or found in the cache) at once; otherwise the text is copied
// before the truth test, which may run Python code, and decoded from the copy.
CSDK_INLINE Ref event_text(const char *event) {
    if (CSDK_LIKELY(globals::cached(globals::IS_PY2) == Py_False)) return names().get(event);
    Ref raw = Ref::steal(convert::from_text(event));
    if (!raw) return raw;
    int py2 = globals::truth(globals::IS_PY2);
    if (py2 != 0) return py2 < 0 ? Ref() : std::move(raw);
    return names().get(PyBytes_AS_STRING(raw.get()));
}

// A Python function, or a method bound to one: the interpreter checks the depth of its call.
CSDK_INLINE bool is_python_function(PyObject *f) {
    return PyFunction_Check(f) || (PyMethod_Check(f) && PyFunction_Check(PyMethod_GET_FUNCTION(f)));
}

// One event on its way to f. Every object it holds while f runs is owned here, `f` included:
// a callable that re-registers itself (or another one) while it runs stays alive until it
// returns. (A thread that the interpreter ends at exit while f runs is unwound through this
// frame without its destructors running: the module is built without exception handling.)
// The payload could not be copied: a failure of an earlier step (the text, f) is reported
// instead, as it would have come first.
CSDK_NOINLINE void report_in_turn(const char *event) {
    Ref failed_copy = Ref::steal(PyErr_GetRaisedException());
    Ref text = event_text(event);
    if (text && globals::get(globals::f) != nullptr)
        PyErr_SetRaisedException(failed_copy.release());
    report();
}

// f(text, payload), past the recursion guard unless f is a Python function.
CSDK_INLINE PyObject *call_f(PyObject *f, PyObject *text, PyObject *payload) {
    PyObject *argv[3] = {nullptr, text, payload};
    if (CSDK_LIKELY(is_python_function(f)))
        return PyObject_Vectorcall(f, argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    RecursionGuard guard;
    return guard.entered()
               ? PyObject_Vectorcall(f, argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)
               : nullptr;
}

CSDK_NOINLINE void deliver(const char *event, const char *data, int len) {
    if (event == nullptr) event = "";
    Ref payload = Ref::steal(convert::from_response(data, len));  // both buffers first
    if (CSDK_UNLIKELY(!payload)) return report_in_turn(event);
    Ref text = event_text(event);
    if (!text) return report();
    Ref f = Ref::borrow(globals::get(globals::f));
    if (!f) return report();
    Ref result = Ref::steal(call_f(f.get(), text.get(), payload.get()));
    if (!result) report();
    if (CSDK_UNLIKELY(pending != nullptr)) report_pending_if_room();
}

const Signature set_callback_sig{"py_qvi_set_data_callback", {"pythonf"}};

PyObject *set_data_callback(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                            PyObject *kwnames) {
    Args<1> a;
    if (!a.bind(set_callback_sig, args, nargs, kwnames)) return nullptr;
    if (s_context == nullptr && !intern_to(s_context, "c_sdk.callback_wrapper")) return nullptr;
    if (PyDict_SetItem(import_state().dict, globals::name_of(globals::f), a[0]) < 0) return nullptr;
    owner = PyInterpreterState_Get();
    qvi_set_event_callback_pb(callback_wrapper);
    Py_RETURN_NONE;
}

// An event on a thread that holds no thread state of the module's interpreter: delivered there
// all the same, through a thread state of that interpreter. The thread's own one, where it has
// one (a thread of that interpreter that let the lock go around an SDK call), is taken as
// PyGILState_Ensure takes it; otherwise one is made for the event and deleted after it. A
// thread state of another interpreter that the thread holds is set aside meanwhile.
// PyGILState_Ensure alone would not do: on a thread started by another interpreter it attaches
// that interpreter, whose dictionary watchers, modules and objects are not the module's.
CSDK_NOINLINE void deliver_elsewhere(PyThreadState *current, const char *event, const char *data,
                                     int len) {
    if (owner == nullptr) return;  // no callback was registered through this module
    if (current != nullptr) PyEval_SaveThread();
    PyThreadState *own = PyGILState_GetThisThreadState();
    if (own != nullptr && own->interp == owner) {
        PyGILState_STATE gil = PyGILState_Ensure();
        deliver(event, data, len);
        PyGILState_Release(gil);
    } else {
        PyThreadState *made = PyThreadState_New(owner);
        if (made != nullptr) {
            PyEval_RestoreThread(made);
            deliver(event, data, len);
            PyThreadState_Clear(made);
            PyThreadState_DeleteCurrent();
        }
    }
    if (current != nullptr) PyEval_RestoreThread(current);
}

// Whether `ts` belongs to the module's interpreter.
CSDK_INLINE bool is_owners(PyThreadState *ts) {
    return ts->interp == owner;
}

}  // namespace

Definition data_callback_definition() {
    return {"py_qvi_set_data_callback",
            method_def("py_qvi_set_data_callback", set_data_callback, set_callback_sig), 0};
}

}  // namespace csdk

// The SDK calls back on the thread that is inside a module call into it, which holds the
// interpreter lock: a thread with a thread state of the module's interpreter attached holds the
// lock, so the event goes straight on. An SDK that delivers from a thread of its own, or on a
// thread of another interpreter, gets a thread state of the module's interpreter for the event
// (deliver_elsewhere) instead of corrupting an interpreter. Nothing of ours lives in this frame,
// so a thread that the interpreter ends while it waits for the lock unwinds through it without
// touching an object; and nothing here catches exceptions, so such an unwinding is never
// swallowed.
//
// Once the interpreter is finalising or gone, an event from a thread without a thread state
// (the SDK's own, or the library's exit handlers after the interpreter has been finalised) is
// dropped without touching anything of the interpreter.
void callback_wrapper(const char *event, const char *data, int len) {
    PyThreadState *current = CSDK_THREAD_STATE_UNCHECKED();
    if (CSDK_LIKELY(current != nullptr && csdk::is_owners(current))) {
        csdk::deliver(event, data, len);
        return;
    }
    if (!Py_IsInitialized() || CSDK_IS_FINALIZING()) return;
    csdk::deliver_elsewhere(current, event, data, len);
}
