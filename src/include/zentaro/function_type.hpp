// The type of the kit's functions. Each extension module makes its own (the
// type is module-local, like the rest of a module's C++ state).
//
// A kit function behaves like a Python function: it binds as a method (a
// real bound method, so two `obj.m` compare and hash equal, weak references
// and WeakMethod work), it carries __name__, __qualname__, __module__,
// __doc__ and attributes in a __dict__ (functools.wraps works), and
// inspect.signature reads its parameters from __text_signature__. Calls go
// through vectorcall, and the interpreter calls `obj.m(...)` without creating
// the bound method at all (the type is a method descriptor).
#pragma once

#include "zentaro/pyutil.hpp"
#include "zentaro/signature.hpp"

#include <structmember.h>

namespace zentaro {

// The data object of a closure function, as its C++ body receives it.
struct Closure {
    nb::handle data;
};

// The call exactly as the interpreter made it, for a function that forwards
// every argument unchanged (a decorator's `wrapper(*args, **kwargs)`): no
// tuple or dict is built. The pointers are the caller's, valid for the call.
struct ForwardedCall {
    PyObject *const *args;
    Py_ssize_t nargs;
    PyObject *kwnames;
};

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    const Signature *sig; // owned; made once per function
    PyObject *data;       // closure data or NULL
    PyObject *dict;
    PyObject *weakrefs;
};

namespace detail {

inline FunctionObject *as_function(PyObject *op) {
    return reinterpret_cast<FunctionObject *>(op);
}

inline PyObject *dict_item(PyObject *self, const char *key) {
    PyObject *dict = as_function(self)->dict;
    return dict ? PyDict_GetItemString(dict, key) : nullptr; // borrowed
}

inline PyObject *function_get(PyObject *self, PyObject *obj, PyObject *) {
    if (!obj || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

inline PyObject *function_repr(PyObject *self) {
    PyObject *name = dict_item(self, "__qualname__");
    if (name && PyUnicode_Check(name))
        return PyUnicode_FromFormat("<function %U at %p>", name, self);
    return PyUnicode_FromFormat("<function at %p>", self);
}

// Pickled (and copied) by reference, like a Python function.
inline PyObject *function_reduce(PyObject *self, PyObject *) {
    PyObject *name = dict_item(self, "__qualname__");
    if (!name) {
        PyErr_SetString(PyExc_TypeError, "cannot pickle a function without __qualname__");
        return nullptr;
    }
    return Py_NewRef(name);
}

// The parameters the function binds by, read from the type (not the
// instance dict): functools.wraps copies a wrapped function's dict onto its
// wrapper, and the wrapper must still show its own parameters.
inline PyObject *function_text_signature(PyObject *self, void *) {
    std::string_view text = as_function(self)->sig->text;
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

inline int function_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(as_function(self)->data);
    Py_VISIT(as_function(self)->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

inline int function_clear(PyObject *self) {
    Py_CLEAR(as_function(self)->data);
    Py_CLEAR(as_function(self)->dict);
    return 0;
}

inline void function_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs)
        PyObject_ClearWeakRefs(self);
    function_clear(self);
    delete as_function(self)->sig;
    type->tp_free(self);
    Py_DECREF(type);
}

inline PyTypeObject *make_function_type() {
    static PyMethodDef methods[] = {
        {"__reduce__", function_reduce, METH_NOARGS, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyMemberDef members[] = {
        {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
        {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
        {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY,
         nullptr},
        {nullptr, 0, 0, 0, nullptr},
    };
    static PyGetSetDef getset[] = {
        {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
        {"__text_signature__", function_text_signature, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_descr_get, reinterpret_cast<void *>(function_get)},
        {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
        {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
        {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
        {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
        {Py_tp_methods, methods},
        {Py_tp_members, members},
        {Py_tp_getset, getset},
        {0, nullptr},
    };
    static PyType_Spec layout = {
        "zentaro.function",
        sizeof(FunctionObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
            Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };
    return reinterpret_cast<PyTypeObject *>(
        steal_or_raise(PyType_FromSpec(&layout)).release().ptr());
}

} // namespace detail

// This module's function type (each extension module has its own).
inline PyTypeObject *function_type() {
    static PyTypeObject *type = detail::make_function_type();
    return type;
}

inline bool is_kit_function(nb::handle obj) {
    return Py_TYPE(obj.ptr()) == function_type();
}

} // namespace zentaro
