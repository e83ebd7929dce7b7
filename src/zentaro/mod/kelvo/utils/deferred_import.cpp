// DeferredImport: a proxy that imports a module (or any object reached from a
// module by a dotted path) when it is first used.
//
// Speed matters here because every attribute read through the proxy pays for
// it: the type's tp_getattro answers names the proxy itself has through the
// generic lookup, and forwards every other name straight to the resolved
// object, without raising and catching an AttributeError first. The class is
// a nanobind type because it needs those slots; they come from its slot table.
//
// Nothing borrowed is used across a call that can run Python code (a name's
// __hash__, an __import__ hook, a key's __eq__): the memo below keeps only
// pointers that version tags prove unchanged, and every object the code works
// on is held strongly first.

#include <new>

#include "deferred_import_state.hpp"
#include "zentaro/function.hpp"
#include "zentaro/slot_class.hpp"
#include "zentaro/state.hpp"

namespace nb = nanobind;
using namespace zentaro;
using namespace deferred_import;

namespace {

constexpr const char *kDoc = "DeferredImport(module_path)\n--\n\n"
                             "Proxy for the object at a dotted module path, imported on first use.";

// What the last resolution found, kept so that later reads can skip the
// lookups while nothing they depend on has changed. All pointers are borrowed
// and only read after the versions recorded with them still match: the cache
// dict owns `target`, and any change to the instance dict, the cache dict or
// either class (a new IMPORTED_MODULE, a new class attribute) changes a
// version recorded here.
struct Memo {
    PyObject *target = nullptr;
    PyObject *cache = nullptr;
    uint64_t instance_version = 0;
    uint64_t cache_version = 0;
    unsigned int own_type_tag = 0;
    unsigned int base_type_tag = 0;
    // The proxy class, set once at module init, kept here so that the fast
    // path reads no module state.
    PyTypeObject *base_type = nullptr;

    // The last name read from a module target, and its value: repeated reads
    // of one name (pd.DataFrame in a loop) skip every lookup while the
    // module's dict keeps its version. The name is held so that its address
    // cannot be reused by another string.
    PyObject *last_name = nullptr;
    PyObject *last_value = nullptr; // borrowed from module_dict
    PyObject *module_dict = nullptr;
    uint64_t module_dict_version = 0;

    void forget_name() {
        Py_CLEAR(last_name);
        module_dict = nullptr;
    }
    ~Memo() { Py_XDECREF(last_name); }
};

struct DeferredImport {
    Memo memo;
};

// The memo of a proxy. A proxy made without __init__ (copy, pickle, __new__)
// starts from zeroed memory, a valid empty memo; it is marked constructed
// here so that its destructor runs.
Memo &memo_of(PyObject *self) {
    return nb::inst_ptr<DeferredImport>(self)->memo;
}

Memo &writable_memo(PyObject *self) {
    if (!nb::inst_ready(self)) {
        new (nb::inst_ptr<DeferredImport>(self)) DeferredImport();
        nb::inst_mark_ready(self);
    }
    return memo_of(self);
}

PyObject *instance_dict(PyObject *self) {
    PyObject **dict = compat::dict_ptr(self);
    return dict ? *dict : nullptr;
}

// ---- resolving -----------------------------------------------------------------

nb::object cache_dict() {
    PyObject *cache = compat::type_lookup(deferred().proxy_type, deferred().names.IMPORTED_MODULE);
    if (!cache) {
        PyErr_Format(PyExc_AttributeError, "type object 'DeferredImport' has no attribute '%U'",
                     deferred().names.IMPORTED_MODULE);
        raise_python_error();
    }
    return nb::borrow(cache);
}

// Read through the generic lookup only: a proxy without module_path must not
// forward the read of module_path itself.
nb::object module_path_of(PyObject *self) {
    return steal_or_raise(PyObject_GenericGetAttr(self, deferred().names.module_path));
}

// Cached value for `path`, or an empty object on a miss.
nb::object cache_get(nb::handle cache, nb::handle path) {
    if (PyDict_CheckExact(cache.ptr())) {
        PyObject *hit = PyDict_GetItemWithError(cache.ptr(), path.ptr());
        if (!hit && PyErr_Occurred())
            raise_python_error();
        return nb::borrow(hit);
    }
    int found = into_python([&] { return PySequence_Contains(cache.ptr(), path.ptr()); });
    if (found < 0)
        raise_python_error();
    if (!found)
        return nb::object();
    return get_item(cache, path);
}

nb::object split_path(nb::handle path) {
    const DeferredState::Names &names = deferred().names;
    if (PyUnicode_CheckExact(path.ptr()))
        return steal_or_raise(PyUnicode_Split(path.ptr(), names.dot, -1));
    // Anything else is split the way its own split(".") does it.
    return call_method(path, names.split, nb::handle(names.dot));
}

// names = path.split("."); obj = __import__(names[0]); then getattr for each
// of names[1:], taken after the import as Python would take it (an import
// hook may change the list meanwhile).
nb::object import_path(nb::handle path) {
    nb::object names = split_path(path);
    nb::object top =
        steal_or_raise(into_python([&] { return PySequence_GetItem(names.ptr(), 0); }));
    nb::object current = call(module_global(deferred().names.dunder_import), top);
    nb::object rest = steal_or_raise(
        into_python([&] { return PySequence_GetSlice(names.ptr(), 1, PY_SSIZE_T_MAX); }));
    nb::object it = steal_or_raise(into_python([&] { return PyObject_GetIter(rest.ptr()); }));
    while (PyObject *raw = into_python([&] { return PyIter_Next(it.ptr()); })) {
        nb::object name = nb::steal(raw);
        current = get_attr(current, name.ptr());
    }
    if (PyErr_Occurred())
        raise_python_error();
    return current;
}

nb::object resolve(PyObject *self) {
    nb::object path = module_path_of(self);
    nb::object cache = cache_dict();
    nb::object hit = cache_get(cache, path);
    if (hit.is_valid())
        return hit;
    nb::object resolved = import_path(path);
    check(into_python([&] { return PyObject_SetItem(cache.ptr(), path.ptr(), resolved.ptr()); }));
    return resolved;
}

// ---- the memo ------------------------------------------------------------------

// Inlined: the memo check is most of what a call through the proxy costs.
[[gnu::always_inline]] inline bool tags_match(PyObject *self, const Memo &m) {
    unsigned int own = compat::type_version(Py_TYPE(self));
    unsigned int base = compat::type_version(m.base_type);
    return own && base && own == m.own_type_tag && base == m.base_type_tag;
}

// The memoised target when nothing it depends on has changed, else NULL.
// Reads versions only: no Python code runs here.
[[gnu::always_inline]] inline PyObject *memo_target(PyObject *self, PyObject *dict) {
    const Memo &m = memo_of(self);
    if (!m.target || !dict || compat::dict_version(dict) != m.instance_version)
        return nullptr;
    // The class versions first: while they hold, the class still holds the
    // cache dict whose version is read next.
    if (!tags_match(self, m) || compat::dict_version(m.cache) != m.cache_version)
        return nullptr;
    return m.target;
}

// The cached object for this proxy's path, found by a full lookup and
// remembered; empty when the slow path must run (a miss, a module_path that
// is not a plain instance entry, a cache that is not a dict).
nb::object cached_target(PyObject *self, PyObject *dict) {
    const DeferredState::Names &names = deferred().names;
    if (!dict || compat::type_lookup(Py_TYPE(self), names.module_path))
        return nb::object();
    nb::object keep_dict = nb::borrow(dict);
    nb::object path = nb::borrow(PyDict_GetItemWithError(dict, names.module_path));
    if (!path.is_valid() && PyErr_Occurred())
        raise_python_error();
    nb::object cache =
        nb::borrow(compat::type_lookup(deferred().proxy_type, names.IMPORTED_MODULE));
    if (!path.is_valid() || !cache.is_valid() || !PyDict_CheckExact(cache.ptr()) ||
        !PyUnicode_CheckExact(path.ptr()))
        return nb::object();
    nb::object target = nb::borrow(PyDict_GetItemWithError(cache.ptr(), path.ptr()));
    if (!target.is_valid()) {
        if (PyErr_Occurred())
            raise_python_error();
        return target;
    }
    if (compat::type_version(Py_TYPE(self)) && compat::type_version(deferred().proxy_type) &&
        instance_dict(self) == dict) {
        Memo &m = writable_memo(self);
        m.target = target.ptr();
        m.cache = cache.ptr();
        m.instance_version = compat::dict_version(dict);
        m.cache_version = compat::dict_version(cache.ptr());
        m.own_type_tag = compat::type_version(Py_TYPE(self));
        m.base_type = deferred().proxy_type;
        m.base_type_tag = compat::type_version(m.base_type);
        m.forget_name();
    }
    return target;
}

// The resolved object, held strongly.
nb::object target_of(PyObject *self) {
    PyObject *dict = instance_dict(self);
    if (PyObject *target = memo_target(self, dict))
        return nb::borrow(target);
    nb::object target = cached_target(self, dict);
    if (target.is_valid())
        return target;
    return resolve(self);
}

bool is_dunder(PyObject *name) {
    return PyUnicode_GET_LENGTH(name) > 1 && PyUnicode_READ_CHAR(name, 0) == '_' &&
           PyUnicode_READ_CHAR(name, 1) == '_';
}

// An attribute of the resolved object. Plain modules, the usual target, are
// read straight from their dict: the module type's own descriptors, which
// would take precedence, all have dunder names, and those take the full path.
// A value found that way is remembered under its name while the memo is
// valid for this target.
nb::object forward(PyObject *self, nb::handle target, PyObject *name) {
    if (PyUnicode_CheckExact(name) && Py_IS_TYPE(target.ptr(), &PyModule_Type) &&
        !is_dunder(name)) {
        nb::object module_dict = nb::borrow(PyModule_GetDict(target.ptr()));
        nb::object value = nb::borrow(PyDict_GetItemWithError(module_dict.ptr(), name));
        if (value.is_valid()) {
            if (memo_target(self, instance_dict(self)) == target.ptr()) {
                Memo &m = memo_of(self);
                Py_INCREF(name);
                Py_XSETREF(m.last_name, name);
                m.last_value = value.ptr();
                m.module_dict = module_dict.ptr();
                m.module_dict_version = compat::dict_version(module_dict.ptr());
            }
            return value;
        }
        if (PyErr_Occurred())
            raise_python_error();
    }
    return get_attr(target, name);
}

// ---- slots ---------------------------------------------------------------------

PyObject *proxy_getattro(PyObject *self, PyObject *name) {
    const Memo &m = memo_of(self);
    // The same name as last time, with nothing changed since: the name was
    // then found to be neither the proxy's own nor a module-type attribute.
    if (name == m.last_name && m.module_dict && memo_target(self, instance_dict(self)) &&
        compat::dict_version(m.module_dict) == m.module_dict_version)
        return Py_NewRef(m.last_value);
    return guarded([&]() -> nb::object {
        // Names the proxy has itself (class attributes, instance entries)
        // take the generic lookup; every other name goes to the target.
        nb::object own = nb::steal(compat::generic_getattr_quiet(self, name));
        if (own.is_valid())
            return own;
        if (PyErr_Occurred())
            raise_python_error();
        nb::object target = target_of(self);
        return forward(self, target, name);
    });
}

PyObject *proxy_call(PyObject *self, PyObject *args, PyObject *kwargs) {
    // The memoised target, held for the call; only the exit guard (plain
    // counters) is a C++ object here, and the path is plain C.
    exit_guard::PlainScope scope;
    if (PyObject *target = memo_target(self, instance_dict(self))) {
        Py_INCREF(target);
        PyObject *result = PyObject_Call(target, args, kwargs);
        Py_DECREF(target);
        return result;
    }
    return guarded([&] {
        nb::object target = target_of(self);
        return steal_or_raise(
            into_python([&] { return PyObject_Call(target.ptr(), args, kwargs); }));
    });
}

int proxy_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    PyObject *module_path = single_init_argument(args, kwargs, "O:DeferredImport", "module_path");
    if (!module_path)
        return -1;
    writable_memo(self).target = nullptr;
    return PyObject_SetAttr(self, deferred().names.module_path, module_path);
}

// __getattr__(self, func_name), as a def takes it: positional or by keyword.
PyObject *getattr_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                         PyObject *kwnames) {
    PyObject *name =
        single_argument(args, nargs, kwnames, "func_name",
                        "DeferredImport.__getattr__() takes one argument: 'func_name'");
    if (!name)
        return nullptr;
    return guarded([&] { return get_attr(resolve(self), name); });
}

// The constructor's signature comes from the class docstring, as for a
// built-in class (an __init__ method beside the init slot would carry it on
// 3.11 and 3.12, but 3.13's inspect cannot bind such a method to the class).
// __getattr__ is offered for subclasses that call it explicitly, and comes
// with the type so that the fast tp_getattro stays in place.
PyMethodDef kMethods[] = {
    {"__getattr__", c_method(getattr_method), METH_FASTCALL | METH_KEYWORDS,
     "__getattr__($self, func_name)\n--\n\nReturn the attribute `func_name` of the resolved "
     "object."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_getattro, reinterpret_cast<void *>(proxy_getattro)},
    {Py_tp_call, reinterpret_cast<void *>(proxy_call)},
    {Py_tp_init, reinterpret_cast<void *>(proxy_init)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

// ---- methods -------------------------------------------------------------------

nb::object module_property(nb::handle self) {
    return resolve(self.ptr());
}

// The state copy and pickle use, as for a Python object with a __dict__:
// the dict (the C++ memo is a cache and starts empty in the copy).
nb::object proxy_getstate(nb::handle self) {
    PyObject *dict = instance_dict(self.ptr());
    if (!dict || PyDict_GET_SIZE(dict) == 0)
        return nb::none();
    return steal_or_raise(PyDict_Copy(dict));
}

} // namespace

ZT_MODULE(deferred_import, m) {
    module_state().init(m);
    auto cls = nb::class_<DeferredImport>(m, "DeferredImport", kDoc, nb::dynamic_attr(),
                                          nb::is_weak_referenceable(), nb::type_slots(kSlots));
    deferred().proxy_type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    nb::object module_name = m.attr("__name__");
    cls.attr("IMPORTED_MODULE") = nb::dict();
    nb::object getter = make_function<module_property>(
        "module(self)", "The resolved object, imported on first use.", module_name,
        "DeferredImport.module");
    cls.attr("module") = call(builtin_type(&PyProperty_Type), getter);
    cls.attr("__getstate__") = make_function<proxy_getstate>(
        "__getstate__(self)", "Return the instance dict, as copy and pickle want it.", module_name,
        "DeferredImport.__getstate__");
}
