// Reaching a module's own attributes from functions stored in its classes.
#pragma once

#include <nanobind/nanobind.h>

#include "zentaro/pyutil.hpp"

namespace zentaro {

// A weak reference to the extension module. Functions that live in the
// module's classes must not hold the module strongly: nanobind captures are
// opaque to the cycle collector, so module -> class -> function -> module
// would never be freed and nanobind would report leaks at exit.
class ModuleRef {
  public:
    void set(nb::handle module) {
        Py_XDECREF(ref_);
        ref_ = PyWeakref_NewRef(module.ptr(), nullptr);
        if (!ref_)
            raise_python_error();
    }

    // Borrowed: valid while the caller does not release the interpreter.
    PyObject *get() const {
        PyObject *module = ref_ ? PyWeakref_GetObject(ref_) : Py_None;
        if (module == Py_None) {
            PyErr_SetString(PyExc_RuntimeError, "the extension module is no longer loaded");
            raise_python_error();
        }
        return module;
    }

    // The module dict first: this sits on hot paths, and plain names never
    // need the generic attribute machinery of the module type.
    nb::object attr(PyObject *name) const {
        PyObject *module = get();
        PyObject *found = PyDict_GetItemWithError(PyModule_GetDict(module), name);
        if (found)
            return nb::borrow(found);
        if (PyErr_Occurred())
            raise_python_error();
        return steal_or_raise(PyObject_GetAttr(module, name));
    }
    nb::object attr(const char *name) const {
        return steal_or_raise(PyObject_GetAttrString(get(), name));
    }

  private:
    PyObject *ref_ = nullptr; // a weakref object: holds nothing alive
};

// An interned str kept for the life of the process.
inline PyObject *interned(const char *text) {
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s)
        raise_python_error();
    return s;
}

// A module attribute read on a hot path, remembered until the module dict
// changes. Dict version tags are unique across all dicts and change on every
// mutation, so an unchanged tag proves the borrowed value is still the one
// stored (replacing the attribute, as tests do, changes the tag).
class CachedAttr {
  public:
    explicit CachedAttr(const char *name) : text_(name) {}

    nb::object get(const ModuleRef &module) {
        PyObject *mod = module.get();
        auto *dict = reinterpret_cast<PyDictObject *>(PyModule_GetDict(mod));
        if (name_ && dict == dict_ && dict->ma_version_tag == tag_)
            return nb::borrow(value_);
        if (!name_)
            name_ = interned(text_);
        PyObject *found = PyDict_GetItemWithError(reinterpret_cast<PyObject *>(dict), name_);
        if (!found) {
            if (PyErr_Occurred())
                raise_python_error();
            dict_ = nullptr;
            return steal_or_raise(PyObject_GetAttr(mod, name_));
        }
        dict_ = dict;
        tag_ = dict->ma_version_tag;
        value_ = found;
        return nb::borrow(found);
    }

  private:
    const char *text_;
    PyObject *name_ = nullptr;
    PyDictObject *dict_ = nullptr;
    uint64_t tag_ = 0;
    PyObject *value_ = nullptr; // borrowed from dict_, valid while the tag holds
};

inline nb::object get_attr(nb::handle obj, PyObject *name) {
    return steal_or_raise(PyObject_GetAttr(obj.ptr(), name));
}

inline void set_attr(nb::handle obj, PyObject *name, nb::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name, value.ptr()) < 0)
        raise_python_error();
}

inline bool truth(nb::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0)
        raise_python_error();
    return r != 0;
}

inline bool compare(nb::handle a, nb::handle b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0)
        raise_python_error();
    return r != 0;
}

// obj.name(arg) through the method-call fast path.
inline nb::object call_method1(nb::handle obj, PyObject *name, nb::handle arg) {
    PyObject *args[2] = {obj.ptr(), arg.ptr()};
    return steal_or_raise(
        PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline nb::object call_method0(nb::handle obj, PyObject *name) {
    PyObject *args[1] = {obj.ptr()};
    return steal_or_raise(
        PyObject_VectorcallMethod(name, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Run `body` and turn C++-side failures into a pending Python error; for
// functions handed to the interpreter through the plain C API.
template <typename Body> PyObject *guarded(Body &&body) {
    try {
        return body().release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const nb::builtin_exception &e) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

} // namespace zentaro
