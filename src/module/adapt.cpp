// The decorator adapt_to_python3 and the callable it returns.
//
// adapt_to_python3(func) returns a `wrapper` that encodes every top-level str argument as
// ASCII bytes before calling func, unless the module global IS_PY2 is true. The wrapper
// behaves like the nested Python function it stands for: named "wrapper", qualified
// "adapt_to_python3.<locals>.wrapper", a descriptor that binds like a function, with
// writable __name__, __qualname__, __module__, __doc__ and a __dict__, and no __wrapped__.
// Like a function, it is copied as itself (copy.copy, copy.deepcopy) and pickled by its name.
//
// Invariants: a call of any callable but a function of this module, and of a str subclass's
// encode, passes the recursion guard (the module's functions guard their own calls of what a
// caller can replace, their arguments' slots included); a builtin of anyone else (a bound
// method of a record, operator.call, another extension's function) is called through the
// protocol like any other callable. A chain of wrappers is freed through the interpreter's
// trashcan. A wrapper of a wrapper of ... thus ends in RecursionError when called and frees
// whole.
#include <cstring>
#include <iterator>

#include "module/ref.h"
#include "structmember.h"

#include "module/globals.h"
#include "module/guard.h"
#include "module/module.h"
#include "module/registry.h"

namespace csdk {
namespace {

struct Adapted {
    PyObject_HEAD PyObject *func;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *dict;
    PyObject *weaklist;
    vectorcallfunc vectorcall;
    // When func is a function of this module (a builtin of the (args, nargs, kwnames)
    // convention bound to the module): its C entry and the module (func holds it), else null.
    // Neither can change during func's life.
    FastFunction entry;
    PyObject *entry_self;
};

PyObject *s_ascii = nullptr;
PyObject *s_encode = nullptr;
PyObject *s_wrapper = nullptr;
PyObject *s_qualname = nullptr;

// `value.encode("ascii")`: the codec directly for an exact str, the method for a subclass (past
// the recursion guard: a subclass's encode may be a wrapper, which encodes the str again).
PyObject *encode(PyObject *value) {
    if (PyUnicode_CheckExact(value)) return PyUnicode_AsASCIIString(value);
    RecursionGuard guard;
    return guard.entered() ? PyObject_CallMethodOneArg(value, s_encode, s_ascii) : nullptr;
}

// func(*args), as the interpreter's own call would make it. A function of this module is
// entered directly, as the interpreter's specialised call of such a function enters it: the
// general protocol would only add a trip through its generic entry point (and a check of the C
// recursion depth, which the specialised call does not make either, and which the module's
// functions make themselves wherever they call into what a caller supplied). Any other
// callable, another wrapper or someone else's builtin among them, goes through the protocol
// past the recursion guard: a vectorcall of a C callable checks no depth.
CSDK_INLINE PyObject *call_func(const Adapted *a, PyObject *const *args, size_t nargsf,
                                PyObject *kwnames) {
    if (CSDK_LIKELY(a->entry != nullptr))
        return a->entry(a->entry_self, args, PyVectorcall_NARGS(nargsf), kwnames);
    RecursionGuard guard;
    return guard.entered() ? PyObject_Vectorcall(a->func, args, nargsf, kwnames) : nullptr;
}

// Calls func with the str arguments from index `first` on replaced by their encodings.
CSDK_NOINLINE PyObject *call_encoded(const Adapted *a, PyObject *const *args, Py_ssize_t nargs,
                                     PyObject *kwnames, Py_ssize_t first) {
    const Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    PyObject *small[9];
    PyObject **stack = small;
    if (total + 1 > static_cast<Py_ssize_t>(std::size(small))) {
        stack = PyMem_New(PyObject *, total + 1);
        if (stack == nullptr) return PyErr_NoMemory();
    }
    PyObject **argv = stack + 1;  // one free slot in front, for PY_VECTORCALL_ARGUMENTS_OFFSET
    std::memcpy(argv, args, total * sizeof(PyObject *));
    Py_ssize_t done = first;  // argv[first..done) hold new references
    PyObject *result = nullptr;
    for (; done < total; ++done) {
        if (!PyUnicode_Check(args[done])) continue;
        argv[done] = encode(args[done]);
        if (argv[done] == nullptr) break;
    }
    if (done == total) result = call_func(a, argv, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
    // Every str argument was replaced by a new reference, also when a subclass's encode
    // handed back the very same object.
    for (Py_ssize_t i = first; i < done; ++i)
        if (PyUnicode_Check(args[i])) Py_DECREF(argv[i]);
    if (stack != small) PyMem_Free(stack);
    return result;
}

PyObject *adapted_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                             PyObject *kwnames) {
    const Adapted *a = reinterpret_cast<Adapted *>(self);
    int pass_through = globals::truth(globals::IS_PY2);
    if (pass_through < 0) return nullptr;
    if (!pass_through) {
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        const Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
        for (Py_ssize_t i = 0; i < total; ++i)
            if (PyUnicode_Check(args[i])) return call_encoded(a, args, nargs, kwnames, i);
    }
    return call_func(a, args, nargsf, kwnames);
}

int adapted_traverse(PyObject *self, visitproc visit, void *arg) {
    Adapted *a = reinterpret_cast<Adapted *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(a->func);
    Py_VISIT(a->name);
    Py_VISIT(a->qualname);
    Py_VISIT(a->module);
    Py_VISIT(a->doc);
    Py_VISIT(a->dict);
    return 0;
}

int adapted_clear(PyObject *self) {
    Adapted *a = reinterpret_cast<Adapted *>(self);
    a->entry = nullptr;  // func and what it is bound to go
    a->entry_self = nullptr;
    Py_CLEAR(a->func);
    Py_CLEAR(a->name);
    Py_CLEAR(a->qualname);
    Py_CLEAR(a->module);
    Py_CLEAR(a->doc);
    Py_CLEAR(a->dict);
    return 0;
}

// Through the trashcan: freeing the outermost of a long chain of wrappers frees the next one
// from here, and so on; the trashcan defers the deeper ones instead of nesting without end.
void adapted_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, adapted_dealloc) if (reinterpret_cast<Adapted *>(self)->weaklist !=
                                                 nullptr) PyObject_ClearWeakRefs(self);
    adapted_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

PyObject *adapted_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<Adapted *>(self)->qualname,
                                self);
}

// Binds like a Python function: a method when reached through an instance.
PyObject *adapted_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject *get_str(PyObject *self, void *offset) {
    return Py_NewRef(*reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) +
                                                    reinterpret_cast<Py_ssize_t>(offset)));
}

int set_str(PyObject *self, PyObject *value, void *offset) {
    const bool is_name = reinterpret_cast<Py_ssize_t>(offset) == offsetof(Adapted, name);
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object",
                     is_name ? "__name__" : "__qualname__");
        return -1;
    }
    Py_XSETREF(*reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) +
                                              reinterpret_cast<Py_ssize_t>(offset)),
               Py_NewRef(value));
    return 0;
}

// A function is copied as itself and pickled as a reference to its qualified name; so is this
// wrapper (a string from __reduce__ tells copy to return the object, and pickle to save the
// name, which it then looks up and, for "adapt_to_python3.<locals>.wrapper", cannot find).
PyObject *adapted_reduce(PyObject *self, PyObject *) {
    return Py_NewRef(reinterpret_cast<Adapted *>(self)->qualname);
}

PyMethodDef adapted_methods[] = {
    {"__reduce__", adapted_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject *get_text_signature(PyObject *, void *) {
    return PyUnicode_FromString("(*args, **kwargs)");
}

PyGetSetDef adapted_getset[] = {
    {"__name__", get_str, set_str, nullptr, reinterpret_cast<void *>(offsetof(Adapted, name))},
    {"__qualname__", get_str, set_str, nullptr,
     reinterpret_cast<void *>(offsetof(Adapted, qualname))},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef adapted_members[] = {
    {"__module__", T_OBJECT, offsetof(Adapted, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(Adapted, doc), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Adapted, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Adapted, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Adapted, weaklist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot adapted_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(adapted_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(adapted_repr)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void *>(adapted_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(adapted_clear)},
    {Py_tp_descr_get, reinterpret_cast<void *>(adapted_descr_get)},
    {Py_tp_members, adapted_members},
    {Py_tp_methods, adapted_methods},
    {Py_tp_getset, adapted_getset},
    {0, nullptr},
};

PyType_Spec adapted_spec = {
    "c_sdk.adapted_function",
    sizeof(Adapted),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    adapted_slots,
};

PyTypeObject *adapted_type = nullptr;  // owned for the life of the process

const Signature adapt_sig{"adapt_to_python3", {"func"}};

PyObject *adapt_to_python3(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Args<1> a;
    if (!a.bind(adapt_sig, args, nargs, kwnames)) return nullptr;
    Adapted *w = PyObject_GC_New(Adapted, adapted_type);
    if (w == nullptr) return nullptr;
    w->func = Py_NewRef(a[0]);
    w->name = Py_NewRef(s_wrapper);
    w->qualname = Py_NewRef(s_qualname);
    w->module = Py_NewRef(module_name());
    w->doc = Py_NewRef(Py_None);
    w->dict = nullptr;
    w->weaklist = nullptr;
    w->vectorcall = adapted_vectorcall;
    w->entry = nullptr;
    w->entry_self = nullptr;
    const ImportState &st = import_state();
    if (PyCFunction_CheckExact(w->func) &&
        PyCFunction_GET_FLAGS(w->func) == (METH_FASTCALL | METH_KEYWORDS) && st.module != nullptr &&
        PyCFunction_GET_SELF(w->func) == st.module) {
        w->entry = reinterpret_cast<FastFunction>(
            reinterpret_cast<void (*)()>(PyCFunction_GET_FUNCTION(w->func)));
        w->entry_self = PyCFunction_GET_SELF(w->func);
    }
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject *>(w);
}

constexpr const char adapt_doc[] = "\n     装饰器：让模块同时支持 python3 与 python2\n     ";

}  // namespace

bool init_adapt() {
    if (adapted_type == nullptr) {
        adapted_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&adapted_spec));
        if (adapted_type == nullptr) return false;
    }
    return intern_to(s_ascii, "ascii") && intern_to(s_encode, "encode") &&
           intern_to(s_wrapper, "wrapper") &&
           intern_to(s_qualname, "adapt_to_python3.<locals>.wrapper");
}

PyMethodDef *adapt_def() {
    static PyMethodDef *def =
        method_def("adapt_to_python3", adapt_to_python3, adapt_sig, adapt_doc);
    return def;
}

}  // namespace csdk
