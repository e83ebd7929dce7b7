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

struct DeferredImport {};

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

// True when normal lookup on the proxy finds `name`: a class attribute or
// an entry of the instance dict.
bool has_own_attribute(PyObject *self, PyObject *name) {
    if (_PyType_Lookup(Py_TYPE(self), name))
        return true;
    PyObject **dict = _PyObject_GetDictPtr(self);
    if (dict && *dict) {
        PyObject *hit = PyDict_GetItemWithError(*dict, name);
        if (hit)
            return true;
        if (PyErr_Occurred())
            PyErr_Clear(); // an unhashable name: let the generic lookup report it
    }
    return false;
}

PyObject *forward_getattr(PyObject *self, PyObject *name) {
    try {
        nb::object target = resolve(self);
        return PyObject_GetAttr(target.ptr(), name);
    } catch (nb::python_error &e) {
        e.restore();
        return nullptr;
    }
}

PyObject *proxy_getattro(PyObject *self, PyObject *name) {
    if (!PyUnicode_Check(name) || has_own_attribute(self, name))
        return PyObject_GenericGetAttr(self, name);
    return forward_getattr(self, name);
}

PyObject *proxy_call(PyObject *self, PyObject *args, PyObject *kwargs) {
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
                       nb::arg("module_path"))
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
