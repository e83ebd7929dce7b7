// DeferredImport: a proxy that imports a module (or any object reached from a
// module by a dotted path) when it is first used.
//
// Speed matters here because every attribute read through the proxy pays for
// it: the type's tp_getattro answers names the proxy itself has through the
// generic lookup, and forwards every other name straight to the resolved
// object, without raising and catching an AttributeError first.

#include <nanobind/nanobind.h>

#include "zentaro/pyutil.hpp"

namespace nb = nanobind;
using namespace zentaro;

namespace {

// What the last resolution found, kept so that later reads can skip the
// lookups while nothing they depend on has changed. All pointers are borrowed:
// the cache dict owns `target`, and any change to the instance dict, the cache
// dict or either class (a new IMPORTED_MODULE, a new class attribute) changes
// a version recorded here and sends the read down the full path again.
struct Memo {
    PyObject *target = nullptr;
    PyObject *cache = nullptr;
    uint64_t instance_version = 0;
    uint64_t cache_version = 0;
    unsigned int own_type_tag = 0;
    unsigned int base_type_tag = 0;
    bool only_module_path = false; // the instance dict holds module_path alone

    // The last name read from a module target, and its value: repeated reads
    // of one name (pd.DataFrame in a loop) skip both lookups while the
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

// The class object of DeferredImport itself: the cache is always read from it,
// also for instances of subclasses.
PyTypeObject *proxy_type = nullptr;
PyObject *str_cache = nullptr;       // "IMPORTED_MODULE"
PyObject *str_module_path = nullptr; // "module_path"
PyObject *str_dot = nullptr;         // "."
PyObject *str_import = nullptr;      // "__import__"
PyObject *builtins_module = nullptr;

nb::object cache_dict() {
    PyObject *cache = _PyType_Lookup(proxy_type, str_cache); // borrowed
    if (!cache) {
        PyErr_Format(PyExc_AttributeError, "type object 'DeferredImport' has no attribute '%U'",
                     str_cache);
        raise_python_error();
    }
    return nb::borrow(cache);
}

// Read through the generic lookup only: a proxy without module_path must not
// forward the read of module_path itself.
nb::object module_path_of(PyObject *self) {
    return steal_or_raise(PyObject_GenericGetAttr(self, str_module_path));
}

// Cached value for `path`, or an empty object on a miss.
nb::object cache_get(nb::handle cache, nb::handle path) {
    if (PyDict_CheckExact(cache.ptr())) {
        PyObject *hit = PyDict_GetItemWithError(cache.ptr(), path.ptr());
        if (!hit && PyErr_Occurred())
            raise_python_error();
        return nb::borrow(hit);
    }
    int found = PySequence_Contains(cache.ptr(), path.ptr());
    if (found < 0)
        raise_python_error();
    if (!found)
        return nb::object();
    return steal_or_raise(PyObject_GetItem(cache.ptr(), path.ptr()));
}

nb::object split_path(nb::handle path) {
    if (PyUnicode_CheckExact(path.ptr()))
        return steal_or_raise(PyUnicode_Split(path.ptr(), str_dot, -1));
    // Anything else is split the way its own split(".") does it.
    return steal_or_raise(PyObject_CallMethod(path.ptr(), "split", "O", str_dot));
}

nb::object import_path(nb::handle path) {
    nb::object pieces = split_path(path);
    nb::object seq = steal_or_raise(PySequence_Fast(pieces.ptr(), "split() must give a sequence"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
    if (n == 0) {
        PyErr_SetString(PyExc_ValueError, "Empty module name");
        raise_python_error();
    }
    PyObject **items = PySequence_Fast_ITEMS(seq.ptr());
    // The built-in __import__ is looked up at call time, as Python code would.
    nb::object importer = steal_or_raise(PyObject_GetAttr(builtins_module, str_import));
    nb::object current = steal_or_raise(PyObject_CallOneArg(importer.ptr(), items[0]));
    for (Py_ssize_t i = 1; i < n; ++i)
        current = steal_or_raise(PyObject_GetAttr(current.ptr(), items[i]));
    return current;
}

nb::object resolve(PyObject *self) {
    nb::object path = module_path_of(self);
    nb::object cache = cache_dict();
    nb::object hit = cache_get(cache, path);
    if (hit.is_valid())
        return hit;
    nb::object resolved = import_path(path);
    if (PyObject_SetItem(cache.ptr(), path.ptr(), resolved.ptr()) < 0)
        raise_python_error();
    return resolved;
}

PyObject *instance_dict(PyObject *self) {
    PyObject **dict = _PyObject_GetDictPtr(self);
    return dict ? *dict : nullptr;
}

uint64_t dict_version(PyObject *dict) {
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
}

bool type_tag_valid(PyTypeObject *type) {
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag != 0;
}

Memo &memo_of(PyObject *self) {
    return nb::inst_ptr<DeferredImport>(self)->memo;
}

// The memoised target when nothing it depends on has changed, else NULL.
PyObject *memo_target(PyObject *self, PyObject *dict) {
    const Memo &m = memo_of(self);
    if (!m.target || !dict || dict_version(dict) != m.instance_version)
        return nullptr;
    PyTypeObject *own = Py_TYPE(self);
    if (!type_tag_valid(own) || own->tp_version_tag != m.own_type_tag ||
        !type_tag_valid(proxy_type) || proxy_type->tp_version_tag != m.base_type_tag ||
        dict_version(m.cache) != m.cache_version)
        return nullptr;
    return m.target;
}

// The cached object for this proxy's path, looked up in full, as a borrowed
// reference; NULL when the slow path must run (a miss, a module_path that is
// not a plain instance entry, a cache that is not a dict).
PyObject *cached_target(PyObject *self, PyObject *dict) {
    if (!dict || _PyType_Lookup(Py_TYPE(self), str_module_path))
        return nullptr;
    PyObject *path = PyDict_GetItemWithError(dict, str_module_path);
    PyObject *cache = _PyType_Lookup(proxy_type, str_cache);
    if (!path || !cache || !PyDict_CheckExact(cache) || !PyUnicode_CheckExact(path))
        return nullptr;
    PyObject *target = PyDict_GetItemWithError(cache, path);
    if (target && type_tag_valid(Py_TYPE(self)) && type_tag_valid(proxy_type)) {
        Memo &m = memo_of(self);
        m.target = target;
        m.cache = cache;
        m.instance_version = dict_version(dict);
        m.cache_version = dict_version(cache);
        m.own_type_tag = Py_TYPE(self)->tp_version_tag;
        m.base_type_tag = proxy_type->tp_version_tag;
        m.only_module_path = PyDict_GET_SIZE(dict) == 1;
        m.forget_name();
    }
    return target;
}

bool is_dunder(PyObject *name) {
    return PyUnicode_GET_LENGTH(name) > 1 && PyUnicode_READ_CHAR(name, 0) == '_' &&
           PyUnicode_READ_CHAR(name, 1) == '_';
}

// An attribute of the resolved object. Plain modules, the usual target, are
// read straight from their dict: the module type's own descriptors, which
// would take precedence, all have dunder names, and those take the full path.
PyObject *target_getattr(PyObject *target, PyObject *name) {
    if (Py_IS_TYPE(target, &PyModule_Type) && !is_dunder(name)) {
        PyObject *value = PyDict_GetItemWithError(PyModule_GetDict(target), name);
        if (value)
            return Py_NewRef(value);
        if (PyErr_Occurred())
            return nullptr;
    }
    return PyObject_GetAttr(target, name);
}

bool is_module_path_name(PyObject *name) {
    return name == str_module_path ||
           (PyUnicode_GET_LENGTH(name) == PyUnicode_GET_LENGTH(str_module_path) &&
            PyUnicode_Compare(name, str_module_path) == 0);
}

PyObject *forward_getattr(PyObject *self, PyObject *name) {
    try {
        nb::object target = resolve(self);
        return target_getattr(target.ptr(), name);
    } catch (nb::python_error &e) {
        e.restore();
        return nullptr;
    }
}

// Names the proxy has itself (class attributes, instance entries) take the
// generic lookup; every other name goes to the resolved object.
// A module attribute read through the memo, remembered as the last name.
PyObject *memo_module_getattr(Memo &m, PyObject *target, PyObject *name) {
    if (!Py_IS_TYPE(target, &PyModule_Type) || is_dunder(name))
        return PyObject_GetAttr(target, name);
    PyObject *module_dict = PyModule_GetDict(target);
    PyObject *value = PyDict_GetItemWithError(module_dict, name);
    if (!value)
        return PyErr_Occurred() ? nullptr : PyObject_GetAttr(target, name);
    Py_INCREF(name);
    Py_XSETREF(m.last_name, name);
    m.last_value = value;
    m.module_dict = module_dict;
    m.module_dict_version = dict_version(module_dict);
    return Py_NewRef(value);
}

PyObject *proxy_getattro(PyObject *self, PyObject *name) {
    PyObject *dict = instance_dict(self);
    Memo &m = memo_of(self);
    // The same name as last time, with nothing changed since: the name was
    // then found to be neither the proxy's own nor a module-type attribute.
    if (name == m.last_name && m.module_dict && memo_target(self, dict) &&
        dict_version(m.module_dict) == m.module_dict_version)
        return Py_NewRef(m.last_value);
    if (!PyUnicode_Check(name) || _PyType_Lookup(Py_TYPE(self), name))
        return PyObject_GenericGetAttr(self, name);
    if (PyObject *target = memo_target(self, dict)) {
        // With module_path the only entry, any other name is not the proxy's own.
        if (m.only_module_path && !is_module_path_name(name))
            return memo_module_getattr(m, target, name);
    }
    if (dict) {
        if (PyDict_GetItemWithError(dict, name))
            return PyObject_GenericGetAttr(self, name);
        PyErr_Clear(); // an unhashable name cannot be an entry
    }
    if (PyObject *target = cached_target(self, dict))
        return target_getattr(target, name);
    if (PyErr_Occurred())
        return nullptr;
    return forward_getattr(self, name);
}

PyObject *proxy_call(PyObject *self, PyObject *args, PyObject *kwargs) {
    PyObject *dict = instance_dict(self);
    PyObject *target = memo_target(self, dict);
    if (!target)
        target = cached_target(self, dict);
    if (target)
        return PyObject_Call(target, args, kwargs);
    if (PyErr_Occurred())
        return nullptr;
    try {
        nb::object target = resolve(self);
        return PyObject_Call(target.ptr(), args, kwargs);
    } catch (nb::python_error &e) {
        e.restore();
        return nullptr;
    }
}

PyType_Slot proxy_slots[] = {
    {Py_tp_getattro, reinterpret_cast<void *>(proxy_getattro)},
    {Py_tp_call, reinterpret_cast<void *>(proxy_call)},
    {0, nullptr},
};

PyObject *intern(const char *text) {
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s)
        raise_python_error();
    return s; // kept for the life of the process
}

} // namespace

NB_MODULE(deferred_import, m) {
    str_cache = intern("IMPORTED_MODULE");
    str_module_path = intern("module_path");
    str_dot = intern(".");
    str_import = intern("__import__");
    builtins_module = PyImport_ImportModule("builtins");
    if (!builtins_module)
        raise_python_error();

    auto cls = nb::class_<DeferredImport>(m, "DeferredImport", nb::dynamic_attr(),
                                          nb::type_slots(proxy_slots))
                   .def(
                       "__init__",
                       [](nb::pointer_and_handle<DeferredImport> self, nb::object module_path) {
                           new (self.p) DeferredImport();
                           nb::setattr(self.h, "module_path", module_path);
                       },
                       nb::arg("module_path").none())
                   .def_prop_ro("module", [](nb::handle self) { return resolve(self.ptr()); });
    proxy_type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    cls.attr("IMPORTED_MODULE") = nb::dict();

    // __getattr__ is offered for subclasses that call it explicitly. It goes
    // into the class dict directly: setting it through the type would replace
    // the fast tp_getattro above with the generic fallback hook.
    nb::object getattr_fn = method(
        [](nb::handle self, nb::object name) {
            nb::object target = resolve(self.ptr());
            return steal_or_raise(PyObject_GetAttr(target.ptr(), name.ptr()));
        },
        nb::name("__getattr__"), nb::arg("func_name"));
    if (PyDict_SetItemString(proxy_type->tp_dict, "__getattr__", getattr_fn.ptr()) < 0)
        raise_python_error();
    PyType_Modified(proxy_type);
}
