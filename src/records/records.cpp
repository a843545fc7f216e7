// The record classes: ObjectLikeDict2, QuoteItemLikeDict2, TickLikeDict2, BarLikeDict2.
//
// Each is an ordinary class (made by calling `type`) whose one slot `data` holds the caller's
// mapping; its methods are method descriptors and its fields built-in properties over getter
// and setter method descriptors, all implemented here. Strategies read record fields millions
// of times, so each class also gets C slots that do what the interpreter's generic slots would
// do through those methods, without the detour: the attribute lookup finds the class's
// attributes first and otherwise reads the mapping directly, with no AttributeError raised and
// caught on the way. The interpreter replaces these slots by its generic ones as soon as the
// corresponding method is reassigned on the class, and a subclass gets the generic ones from
// the start, so the classes keep the behaviour their methods define.
//
// Attribute assignment keeps the interpreter's generic slot: a C-level setattro would make
// object.__setattr__ (and so super().__setattr__ in a subclass) refuse these classes.
//
// Invariants:
// - every object the fast paths recognise by address (the field properties, the slot's member
//   descriptor, the class's __setattr__) is held here, so that no other object can take its
//   address; objects found in a class's namespace are trusted only while its version tag holds;
// - every call into a backing object other than an exact dict passes the recursion guard: a
//   record may be backed by itself, or by a chain of records that loops or is very deep; so
//   does every use of a key whose hash may be the caller's code (anything but an exact str or
//   int), since a key's __hash__ may read the record again; and so does every lookup of `data`
//   that is not a read of the slot, since it may fall back to reading `data` again;
// - a field property is read by the fast paths only while it still has the getter it was built
//   with: property.__init__ can give the same object another getter, which changes neither its
//   address nor the class's version tag;
// - a class attribute found by a lookup is cached only when the class kept its version tag
//   through the lookup.
#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>

#include "module/guard.h"
#include "module/module.h"
#include "module/registry.h"

namespace csdk {
namespace {

enum Method { m_init, m_getitem, m_setitem, m_contains, m_getattr, m_setattr, m_str, m_repr };

constexpr const char *method_names[] = {"__init__",    "__getitem__", "__setitem__", "__contains__",
                                        "__getattr__", "__setattr__", "__str__",     "__repr__"};

// Parameters of each method besides self.
constexpr int method_arity[] = {1, 1, 2, 1, 1, 2, 0, 0};
constexpr const char *method_params[][2] = {
    {"data"}, {"item"}, {"item", "value"}, {"key"}, {"item"}, {"item", "value"}, {}, {}};

struct ClassSpec {
    const char *name;
    std::initializer_list<Method> methods;  // in the order of the class body
    std::initializer_list<const char *> fields;
    bool writable_fields;
};

enum ClassId { quote, tick, bar, object, class_count };

// In the order of creation.
const ClassSpec specs[class_count] = {
    {"QuoteItemLikeDict2",
     {m_init, m_getitem, m_setitem, m_getattr, m_setattr, m_str, m_repr},
     {"bid_p", "bid_v", "ask_p", "ask_v"},
     false},
    {"TickLikeDict2",
     {m_init, m_getitem, m_setitem, m_getattr, m_setattr, m_str, m_repr},
     {"quotes", "symbol", "created_at", "price", "open", "high", "low", "cum_volume", "cum_amount",
      "cum_position", "last_amount", "last_volume", "trade_type", "receive_local_time"},
     true},
    {"BarLikeDict2",
     {m_init, m_getitem, m_setitem, m_contains, m_getattr, m_setattr, m_str, m_repr},
     {"symbol", "eob", "bob", "open", "close", "high", "low", "volume", "amount", "pre_close",
      "position", "frequency", "receive_local_time"},
     true},
    {"ObjectLikeDict2",
     {m_init, m_getitem, m_getattr, m_setitem, m_setattr, m_str, m_repr},
     {},
     false},
};

constexpr int max_fields = 14;
constexpr int field_table_size = 64;
constexpr int name_cache_size = 64;

// A class attribute found by name, valid while the class keeps its version tag.
struct NameEntry {
    PyObject *name = nullptr;   // owned, so that its address is not reused for another name
    PyObject *found = nullptr;  // borrowed from the class's namespace (or object's); may be null
    int field = -1;             // the field it reads, when it is one of the class's properties
};

// What the fast slots of one class rely on, filled when the class is created.
struct ClassInfo {
    PyTypeObject *type = nullptr;
    getattrofunc getattro = nullptr;     // the class's fast attribute lookup
    PyObject *data_member = nullptr;     // the slot's member descriptor, as created (held)
    PyObject *setattr_method = nullptr;  // its __setattr__ method descriptor, as created (held)
    Py_ssize_t data_offset = 0;
    // The class's version tag when `names`, `data_is_slot` and `own_setattr` were last
    // established (0: never). Any change to the class gives it a new tag.
    unsigned int version = 0;
    bool data_is_slot = false;  // `data` still finds the slot
    bool own_setattr = false;   // __setattr__ is still the class's own
    std::array<NameEntry, name_cache_size> names{};
    int field_count = 0;
    std::array<PyObject *, max_fields> keys{};            // the field names (interned)
    std::array<PyObject *, max_fields> props{};           // the field properties, as created (held)
    std::array<PyObject *, max_fields> getters{};         // the getter each was built with (held)
    std::array<signed char, field_table_size> by_prop{};  // hash of a property's address
    std::array<Signature *, std::size(method_names)> method_sigs{};
    std::array<Signature *, max_fields> getter_sigs{};
    std::array<Signature *, max_fields> setter_sigs{};
};

ClassInfo infos[class_count];

PyObject *s_data = nullptr;
PyObject *s_get = nullptr;
PyObject *s_str = nullptr;
PyObject *s_repr = nullptr;
PyObject *s_setattr = nullptr;
PyObject *s_delitem = nullptr;
PyObject *s_init = nullptr;
Py_ssize_t fget_offset = -1;  // where a property keeps its getter (its member `fget`)

// Whether the property of field `f` still has the getter it was built with.
CSDK_INLINE bool field_intact(const ClassInfo &info, int f) {
    return *reinterpret_cast<PyObject *const *>(reinterpret_cast<const char *>(info.props[f]) +
                                                fget_offset) == info.getters[f];
}

// Whether hashing `key` (or comparing it with a str) runs no code of the caller's.
CSDK_INLINE bool hashes_quietly(PyObject *key) {
    return PyUnicode_CheckExact(key) || PyLong_CheckExact(key);
}

PyObject *method_names_str(Method m) {
    return m == m_init ? s_init : intern(method_names[m]);
}

// The field whose property is `descr`, or -1.
int field_of(const ClassInfo &info, PyObject *descr) {
    std::size_t h = (reinterpret_cast<std::uintptr_t>(descr) >> 4) % field_table_size;
    for (int i = info.by_prop[h]; i >= 0; i = info.by_prop[h]) {
        if (info.props[i] == descr) return i;
        h = (h + 1) % field_table_size;
    }
    return -1;
}

// Brings what the class's fast paths know about it up to date with its current version tag:
// true when they may be used.
bool refresh(ClassInfo &info, PyTypeObject *tp) {
    if (tp->tp_version_tag == info.version && info.version != 0) return true;
    PyObject *data = _PyType_Lookup(tp, s_data);  // also gives the class a version tag
    PyObject *setattr = _PyType_Lookup(tp, s_setattr);
    if (!PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG) || tp->tp_version_tag == 0) {
        info.version = 0;
        return false;
    }
    for (NameEntry &e : info.names) {
        Py_CLEAR(e.name);
        e.found = nullptr;
    }
    info.data_is_slot = data == info.data_member;
    info.own_setattr = setattr == info.setattr_method;
    info.version = tp->tp_version_tag;
    return true;
}

CSDK_INLINE bool fresh(const ClassInfo &info, PyTypeObject *tp) {
    return tp->tp_version_tag == info.version && info.version != 0;
}

CSDK_INLINE NameEntry &entry_of(ClassInfo &info, PyObject *name) {
    return info.names[(reinterpret_cast<std::uintptr_t>(name) >> 4) % name_cache_size];
}

// The class attribute that `name` finds on the class (borrowed, or null) and, in `field`, the
// field it reads when it is one of the class's own field properties.
PyObject *class_attr_slow(ClassInfo &info, PyTypeObject *tp, PyObject *name, int &field) {
    const bool known = refresh(info, tp);
    const unsigned int version = info.version;
    PyObject *found = _PyType_Lookup(tp, name);
    field = found != nullptr ? field_of(info, found) : -1;
    if (known && PyUnicode_CheckExact(name) && fresh(info, tp) && info.version == version) {
        NameEntry &e = entry_of(info, name);
        Py_XSETREF(e.name, Py_NewRef(name));
        e.found = found;
        e.field = field;
    }
    return found;
}

CSDK_INLINE PyObject *class_attr(ClassInfo &info, PyTypeObject *tp, PyObject *name, int &field) {
    NameEntry &e = entry_of(info, name);
    if (CSDK_LIKELY(e.name == name && fresh(info, tp))) {
        field = e.field;
        return e.found;
    }
    return class_attr_slow(info, tp, name, field);
}

// The slot's storage, when an ordinary lookup of `self.data` is known to read the slot: the
// class's own attribute lookup is in place and `data` still finds the slot.
CSDK_INLINE PyObject **data_slot(ClassInfo &info, PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    if (CSDK_LIKELY(tp == info.type && fresh(info, tp) && info.data_is_slot &&
                    tp->tp_getattro == info.getattro))
        return reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + info.data_offset);
    if (tp == info.type && tp->tp_getattro == info.getattro && refresh(info, tp) &&
        info.data_is_slot)
        return reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + info.data_offset);
    return nullptr;
}

// `self.data`, an ordinary attribute lookup. An empty slot raises the slot's own
// AttributeError naming "data".
CSDK_INLINE PyObject *read_data(ClassInfo &info, PyObject *self) {
    if (PyObject **slot = data_slot(info, self); CSDK_LIKELY(slot != nullptr)) {
        if (CSDK_LIKELY(*slot != nullptr)) return Py_NewRef(*slot);
        return Py_TYPE(info.data_member)
            ->tp_descr_get(info.data_member, self, reinterpret_cast<PyObject *>(info.type));
    }
    // Past the guard: once the class's `data` no longer finds the slot (deleted, or a property
    // that raises AttributeError), the lookup falls back to `self.data.get("data")`, which
    // reads `data` again, and so on without end.
    RecursionGuard guard;
    return guard.entered() ? PyObject_GetAttr(self, s_data) : nullptr;
}

// name == "data", for the names the fallback sees: a str equal to "data" (a subclass of str
// compares by its text, without running code); any other object is not "data".
bool names_data(PyObject *name) {
    if (name == s_data) return true;
    if (PyUnicode_CheckExact(name))
        return PyUnicode_GET_LENGTH(name) == 4 && PyUnicode_KIND(name) == PyUnicode_1BYTE_KIND &&
               std::memcmp(PyUnicode_DATA(name), "data", 4) == 0;
    return PyUnicode_Check(name) && PyUnicode_Compare(name, s_data) == 0;
}

// `data.get(key)`: a dict is read directly, anything else through its `get` method, past the
// recursion guard (the mapping may be a record that leads back here).
CSDK_INLINE PyObject *mapping_get(PyObject *data, PyObject *key) {
    if (CSDK_LIKELY(PyDict_CheckExact(data) && hashes_quietly(key))) {
        PyObject *v = PyDict_GetItemWithError(data, key);
        if (v != nullptr) return Py_NewRef(v);
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NONE;
    }
    RecursionGuard guard;
    return guard.entered() ? PyObject_CallMethodOneArg(data, s_get, key) : nullptr;
}

PyObject *get_item(ClassInfo &info, PyObject *self, PyObject *key) {
    Ref data = Ref::steal(read_data(info, self));
    return data ? mapping_get(data.get(), key) : nullptr;
}

// The attribute fallback, `self.data.get(name)`. A record whose slot is empty has no `data` to
// read: the lookup of `data` itself falls back here, so for "data" the slot's own
// AttributeError is raised instead of reading `data` again without end.
PyObject *fallback(ClassInfo &info, PyObject *self, PyObject *name) {
    if (names_data(name) && *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) +
                                                           info.data_offset) == nullptr)
        return Py_TYPE(info.data_member)
            ->tp_descr_get(info.data_member, self, reinterpret_cast<PyObject *>(info.type));
    return get_item(info, self, name);
}

int set_item(ClassInfo &info, PyObject *self, PyObject *key, PyObject *value) {
    Ref data = Ref::steal(read_data(info, self));
    if (!data) return -1;
    if (CSDK_LIKELY(PyDict_CheckExact(data.get()) && hashes_quietly(key)))
        return PyDict_SetItem(data.get(), key, value);
    RecursionGuard guard;
    return guard.entered() ? PyObject_SetItem(data.get(), key, value) : -1;
}

// `key in data`, past the recursion guard unless data is an exact dict.
int contains(ClassInfo &info, PyObject *self, PyObject *key) {
    Ref data = Ref::steal(read_data(info, self));
    if (!data) return -1;
    if (PyDict_CheckExact(data.get()) && hashes_quietly(key))
        return PyDict_Contains(data.get(), key);
    RecursionGuard guard;
    return guard.entered() ? PySequence_Contains(data.get(), key) : -1;
}

// name == "data" by string equality (a str subclass equal to "data" counts): 1, 0 or -1.
int is_data(PyObject *name) {
    if (name == s_data || PyUnicode_CheckExact(name)) return names_data(name);
    Ref ne = Ref::steal(PyObject_RichCompare(name, s_data, Py_NE));
    if (!ne) return -1;
    RecursionGuard guard;  // the outcome's __bool__ is the caller's
    if (!guard.entered()) return -1;
    int t = PyObject_IsTrue(ne.get());
    return t < 0 ? -1 : !t;
}

// Attribute assignment: "data" goes to the next class's assignment (normally object's, which
// stores it in the slot); any other name becomes an entry of the mapping.
int set_attr(ClassInfo &info, PyObject *self, PyObject *name, PyObject *value) {
    int data = is_data(name);
    if (data < 0) return -1;
    if (!data) return set_item(info, self, name, value);
    const ImportState &st = import_state();
    if (Py_TYPE(self) == info.type && st.super == reinterpret_cast<PyObject *>(&PySuper_Type))
        return PyObject_GenericSetAttr(self, name, value);
    Ref parent = Ref::steal(PyObject_CallFunctionObjArgs(
        st.super, reinterpret_cast<PyObject *>(info.type), self, nullptr));
    if (!parent) return -1;
    Ref r = Ref::steal(PyObject_CallMethodObjArgs(parent.get(), s_setattr, name, value, nullptr));
    return r ? 0 : -1;
}

// `data.__str__()` / `data.__repr__()`, whatever they return.
PyObject *text_of(ClassInfo &info, PyObject *self, PyObject *method) {
    Ref data = Ref::steal(read_data(info, self));
    if (!data) return nullptr;
    RecursionGuard guard;
    return guard.entered() ? PyObject_CallMethodNoArgs(data.get(), method) : nullptr;
}

PyObject *none_or_null(int status) {
    if (status < 0) return nullptr;
    Py_RETURN_NONE;
}

// ---- the methods, as the class's namespace holds them ----

template <int C, int M>
PyObject *method(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    ClassInfo &info = infos[C];
    Args<method_arity[M]> a;
    if (!a.bind(*info.method_sigs[M], args, nargs, kwnames)) return nullptr;
    if constexpr (M == m_init) {
        // `self.data = data`: straight into the slot while the class's own __setattr__ and
        // slot are in place (that is where they would put it).
        if (PyObject **slot = data_slot(info, self); slot != nullptr && info.own_setattr) {
            Py_XSETREF(*slot, Py_NewRef(a[0]));
            Py_RETURN_NONE;
        }
        return none_or_null(PyObject_SetAttr(self, s_data, a[0]));
    } else if constexpr (M == m_getitem) {
        return get_item(info, self, a[0]);
    } else if constexpr (M == m_getattr) {
        return fallback(info, self, a[0]);
    } else if constexpr (M == m_setitem) {
        return none_or_null(set_item(info, self, a[0], a[1]));
    } else if constexpr (M == m_setattr) {
        return none_or_null(set_attr(info, self, a[0], a[1]));
    } else if constexpr (M == m_contains) {
        int r = contains(info, self, a[0]);
        return r < 0 ? nullptr : PyBool_FromLong(r);
    } else if constexpr (M == m_str) {
        return text_of(info, self, s_str);
    } else {
        return text_of(info, self, s_repr);
    }
}

template <int C, int F>
PyObject *field_getter(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    ClassInfo &info = infos[C];
    Args<0> a;
    if (!a.bind(*info.getter_sigs[F], args, nargs, kwnames)) return nullptr;
    return get_item(info, self, info.keys[F]);
}

template <int C, int F>
PyObject *field_setter(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    ClassInfo &info = infos[C];
    Args<1> a;
    if (!a.bind(*info.setter_sigs[F], args, nargs, kwnames)) return nullptr;
    return none_or_null(set_item(info, self, info.keys[F], a[0]));
}

template <int C>
PyMethodDef *method_def_of(Method m) {
    static PyMethodDef *defs[std::size(method_names)] = {};
    constexpr FastFunction impls[] = {
        method<C, m_init>,    method<C, m_getitem>, method<C, m_setitem>, method<C, m_contains>,
        method<C, m_getattr>, method<C, m_setattr>, method<C, m_str>,     method<C, m_repr>};
    if (defs[m] == nullptr)
        defs[m] =
            csdk::method_def(method_names[m], impls[m], *infos[C].method_sigs[m], nullptr, "$self");
    return defs[m];
}

template <int C, std::size_t... F>
FastFunction field_function(int f, bool setter, std::index_sequence<F...>) {
    constexpr FastFunction getters[] = {field_getter<C, static_cast<int>(F)>...};
    constexpr FastFunction setters[] = {field_setter<C, static_cast<int>(F)>...};
    return setter ? setters[f] : getters[f];
}

// ---- the fast slots, used while the class's own methods are in place ----

// What the generic lookup followed by the __getattr__ fallback would give.
template <int C>
PyObject *slot_getattro_general(PyObject *self, PyObject *name) {
    ClassInfo &info = infos[C];
    PyTypeObject *tp = Py_TYPE(self);
    int f;
    PyObject *found = class_attr(info, tp, name, f);
    if (found == nullptr) return fallback(info, self, name);
    if (f >= 0 && field_intact(info, f)) {
        PyObject *v = get_item(info, self, info.keys[f]);
        if (v != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return v;
        PyErr_Clear();
        return fallback(info, self, name);
    }
    Ref descr = Ref::borrow(found);
    descrgetfunc get = Py_TYPE(found)->tp_descr_get;
    if (get == nullptr) return descr.release();  // a plain class attribute; no instance dict
    PyObject *v = get(found, self, reinterpret_cast<PyObject *>(tp));
    if (v != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return v;
    PyErr_Clear();
    return fallback(info, self, name);
}

// The common reads, a field or a name the class does not have over a dict, in one pass: the
// name is known to the class's cache, the class is unchanged, `data` is its slot and holds a
// dict. (Found for a name the class lacks, `data` being the slot means the name is not "data".)
template <int C>
PyObject *slot_getattro(PyObject *self, PyObject *name) {
    ClassInfo &info = infos[C];
    const NameEntry &e = entry_of(info, name);
    if (CSDK_LIKELY(e.name == name && fresh(info, Py_TYPE(self)) && info.data_is_slot &&
                    (e.field >= 0 ? field_intact(info, e.field) : e.found == nullptr))) {
        PyObject *data =
            *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + info.data_offset);
        if (CSDK_LIKELY(data != nullptr && PyDict_CheckExact(data))) {
            Ref keep = Ref::borrow(data);  // a key's __eq__ may replace the record's data
            PyObject *v = PyDict_GetItemWithError(data, e.field >= 0 ? info.keys[e.field] : name);
            if (CSDK_LIKELY(v != nullptr)) return Py_NewRef(v);
            if (!PyErr_Occurred()) Py_RETURN_NONE;
            if (e.field < 0 || !PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();  // a field's AttributeError falls back to __getattr__
            return fallback(info, self, name);
        }
    }
    if (CSDK_UNLIKELY(!PyUnicode_CheckExact(name))) {  // a str subclass may hash in Python
        RecursionGuard guard;
        return guard.entered() ? slot_getattro_general<C>(self, name) : nullptr;
    }
    return slot_getattro_general<C>(self, name);
}

template <int C>
PyObject *slot_subscript(PyObject *self, PyObject *key) {
    return get_item(infos[C], self, key);
}

template <int C>
int slot_ass_subscript(PyObject *self, PyObject *key, PyObject *value) {
    if (value == nullptr) {  // no __delitem__
        PyErr_SetObject(PyExc_AttributeError, s_delitem);
        return -1;
    }
    return set_item(infos[C], self, key, value);
}

template <int C>
int slot_contains(PyObject *self, PyObject *key) {
    return contains(infos[C], self, key);
}

template <int C>
PyObject *slot_str(PyObject *self) {
    return text_of(infos[C], self, s_str);
}

template <int C>
PyObject *slot_repr(PyObject *self) {
    return text_of(infos[C], self, s_repr);
}

template <int C>
int slot_init(PyObject *self, PyObject *args, PyObject *kwds) {
    // What calling the class's __init__ with the call's tuple and dict would do.
    PyObject *const *items = reinterpret_cast<PyTupleObject *>(args)->ob_item;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (kwds == nullptr || PyDict_GET_SIZE(kwds) == 0) {
        Ref r = Ref::steal(method<C, m_init>(self, items, nargs, nullptr));
        return r ? 0 : -1;
    }
    PyObject *init = _PyType_Lookup(Py_TYPE(self), method_names_str(m_init));
    if (init == nullptr) return -1;
    Ref keep = Ref::borrow(init);
    Ref bound_args = Ref::steal(PyTuple_New(nargs + 1));
    if (!bound_args) return -1;
    PyTuple_SET_ITEM(bound_args.get(), 0, Py_NewRef(self));
    for (Py_ssize_t i = 0; i < nargs; ++i)
        PyTuple_SET_ITEM(bound_args.get(), i + 1, Py_NewRef(items[i]));
    Ref r = Ref::steal(PyObject_Call(init, bound_args.get(), kwds));
    return r ? 0 : -1;
}

// Neither iteration nor `in` (without __contains__) can end through item reads that never
// fail, so both are refused.
PyObject *slot_iter(PyObject *self) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not iterable", Py_TYPE(self)->tp_name);
    return nullptr;
}

// ---- creation ----

// Drops what an earlier, failed import left of a class.
void forget(ClassInfo &info) {
    for (NameEntry &e : info.names) Py_XDECREF(e.name);
    for (PyObject *prop : info.props) Py_XDECREF(prop);
    for (PyObject *getter : info.getters) Py_XDECREF(getter);
    Py_XDECREF(info.data_member);
    Py_XDECREF(info.setattr_method);
    info = ClassInfo{};
}

Signature *signature(const std::string &qualname, const char *const *params, int count) {
    static auto *names = new std::deque<std::string>();
    static auto *sigs = new std::deque<Signature>();
    const char *q = names->emplace_back(qualname).c_str();
    Signature &s = sigs->emplace_back(q);
    for (int i = 0; i < count; ++i) s.params[i] = params[i];
    s.count = s.required = count;
    s.method = true;
    return &s;
}

// Fills in an entry of a new class's namespace in place. The class was made with None in every
// entry, so the interpreter has already given it its generic slots for the dunder names (as an
// attribute assignment would): writing the namespace directly skips recomputing them entry by
// entry; create_class tells the interpreter once at the end (PyType_Modified).
bool fill_entry(PyTypeObject *tp, const char *name, PyObject *value) {
    return value != nullptr && PyDict_SetItemString(tp->tp_dict, name, value) == 0;
}

template <int C>
bool create_class(PyObject *module) {
    const ClassSpec &spec = specs[C];
    ClassInfo &info = infos[C];
    forget(info);
    info.by_prop.fill(-1);
    const ImportState &st = import_state();

    for (Method m : spec.methods)
        info.method_sigs[m] = signature(std::string(spec.name) + "." + method_names[m],
                                        method_params[m], method_arity[m]);
    int f = 0;
    for (const char *field : spec.fields) {
        const std::string q = std::string(spec.name) + "." + field;
        static constexpr const char *value_param[] = {"value"};
        info.getter_sigs[f] = signature(q, nullptr, 0);
        info.setter_sigs[f] = signature(q, value_param, 1);
        if (!intern_to(info.keys[f], field)) return false;
        ++f;
    }
    info.field_count = f;

    // The namespace in the order of the class body; methods and properties are filled in once
    // the class exists, since their descriptors name it.
    Ref name = Ref::steal(PyUnicode_FromString(spec.name));
    Ref ns = Ref::steal(PyDict_New());
    Ref slots = Ref::steal(PyList_New(1));
    if (!name || !ns || !slots) return false;
    PyList_SET_ITEM(slots.get(), 0, Py_NewRef(s_data));
    if (PyDict_SetItemString(ns.get(), "__module__", module_name()) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", name.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__slots__", slots.get()) < 0)
        return false;
    for (Method m : spec.methods)
        if (PyDict_SetItemString(ns.get(), method_names[m], Py_None) < 0) return false;
    for (const char *field : spec.fields)
        if (PyDict_SetItemString(ns.get(), field, Py_None) < 0) return false;
    Ref cls = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PyType_Type),
                                                      name.get(), st.bases, ns.get(), nullptr));
    if (!cls) return false;
    if (!PyType_Check(cls.get())) {
        PyErr_SetString(PyExc_TypeError, "type() did not return a class");
        return false;
    }
    PyTypeObject *tp = reinterpret_cast<PyTypeObject *>(cls.get());

    for (Method m : spec.methods) {
        Ref descr = Ref::steal(PyDescr_NewMethod(tp, method_def_of<C>(m)));
        if (!fill_entry(tp, method_names[m], descr.get())) return false;
    }
    for (int i = 0; i < info.field_count; ++i) {
        const char *field = spec.fields.begin()[i];
        auto fields = std::make_index_sequence<max_fields>{};
        Ref getter =
            Ref::steal(PyDescr_NewMethod(tp, method_def(field, field_function<C>(i, false, fields),
                                                        *info.getter_sigs[i], nullptr, "$self")));
        if (!getter) return false;
        Ref setter;
        if (spec.writable_fields) {
            setter = Ref::steal(
                PyDescr_NewMethod(tp, method_def(field, field_function<C>(i, true, fields),
                                                 *info.setter_sigs[i], nullptr, "$self")));
            if (!setter) return false;
        }
        Ref prop = Ref::steal(
            PyObject_CallFunctionObjArgs(st.property, getter.get(), setter.get(), nullptr));
        if (!fill_entry(tp, field, prop.get())) return false;
        // As a class body would: the property learns its name (its messages use it).
        Ref named =
            Ref::steal(PyObject_CallMethod(prop.get(), "__set_name__", "Os", cls.get(), field));
        if (!named) return false;
        // Only a built-in property is read by the fast paths (builtins.property may have been
        // replaced before the import).
        if (!Py_IS_TYPE(prop.get(), &PyProperty_Type)) continue;
        info.props[i] = Py_NewRef(prop.get());
        info.getters[i] = Py_NewRef(getter.get());
        std::size_t h = (reinterpret_cast<std::uintptr_t>(prop.get()) >> 4) % field_table_size;
        while (info.by_prop[h] >= 0) h = (h + 1) % field_table_size;
        info.by_prop[h] = static_cast<signed char>(i);
    }
    PyType_Modified(tp);  // the namespace was filled in place: nothing cached may stay

    PyObject *member = _PyType_Lookup(tp, s_data);
    if (member == nullptr || !Py_IS_TYPE(member, &PyMemberDescr_Type)) {
        PyErr_SetString(PyExc_SystemError, "record class without its data slot");
        return false;
    }
    info.data_member = Py_NewRef(member);
    info.setattr_method = Py_XNewRef(_PyType_Lookup(tp, s_setattr));
    info.data_offset = reinterpret_cast<PyMemberDescrObject *>(member)->d_member->offset;

    // The fast slots, installed last over the generic ones that the class got for its dunder
    // names; any later reassignment of a method puts the generic one back.
    tp->tp_getattro = info.getattro = slot_getattro<C>;
    tp->tp_init = slot_init<C>;
    tp->tp_as_mapping->mp_subscript = slot_subscript<C>;
    tp->tp_as_mapping->mp_ass_subscript = slot_ass_subscript<C>;
    tp->tp_str = slot_str<C>;
    tp->tp_repr = slot_repr<C>;
    tp->tp_iter = slot_iter;
    if constexpr (C == bar) tp->tp_as_sequence->sq_contains = slot_contains<C>;
    PyType_Modified(tp);
    info.type = tp;
    info.version = 0;

    // Bound as soon as it exists; the class also stays referenced from here for the life of
    // the process, as the fast slots rely on it.
    if (PyObject_SetAttrString(module, spec.name, cls.get()) < 0) return false;
    cls.release();
    return true;
}

}  // namespace

bool create_record_classes(PyObject *module) {
    if (!intern_to(s_data, "data") || !intern_to(s_get, "get") || !intern_to(s_str, "__str__") ||
        !intern_to(s_repr, "__repr__") || !intern_to(s_setattr, "__setattr__") ||
        !intern_to(s_delitem, "__delitem__") || !intern_to(s_init, "__init__"))
        return false;
    PyObject *s_fget = intern("fget");
    if (s_fget == nullptr) return false;
    PyObject *fget = _PyType_Lookup(&PyProperty_Type, s_fget);
    if (fget == nullptr || !Py_IS_TYPE(fget, &PyMemberDescr_Type)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "property without its fget");
        return false;
    }
    fget_offset = reinterpret_cast<PyMemberDescrObject *>(fget)->d_member->offset;
    return create_class<quote>(module) && create_class<tick>(module) && create_class<bar>(module) &&
           create_class<object>(module);
}

}  // namespace csdk
