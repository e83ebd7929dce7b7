// Retiring: the weak module reference of the first modules; state.hpp replaces it.
#pragma once

#include <nanobind/nanobind.h>

#include "zentaro/compat.hpp"
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
        PyObject *module = ref_ ? borrowed_target() : Py_None;
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
    PyObject *borrowed_target() const {
        PyObject *obj = compat::weakref_get(ref_);
        if (!obj)
            return Py_None;
        Py_DECREF(obj); // the module dict of sys.modules still holds it
        return obj;
    }
    PyObject *ref_ = nullptr; // a weakref object: holds nothing alive
};

} // namespace zentaro
