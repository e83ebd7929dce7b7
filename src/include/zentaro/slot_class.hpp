// Classes made from a slot table that behave as classes written in Python
// do: instances with a __dict__ and weak references, and methods that take
// their arguments as a def would. A slot table is used where a class needs
// its own tp_getattro (a class made by type() with a __getattr__ gets
// Python's generic hook, which builds and discards an AttributeError for
// every miss).
#pragma once

#include <nanobind/nanobind.h>

#include "zentaro/method_table.hpp"

namespace zentaro {

// An instance with a __dict__ and weak references, as a Python class's.
struct PythonLikeInstance {
    PyObject_HEAD PyObject *dict;
    PyObject *weakrefs;
};

int python_like_traverse(PyObject *self, visitproc visit, void *arg);
int python_like_clear(PyObject *self);
void python_like_dealloc(PyObject *self);
extern PyMemberDef python_like_members[];
extern PyGetSetDef python_like_getset[];

constexpr unsigned int kPythonLikeClassFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;

// The one argument of a METH_FASTCALL | METH_KEYWORDS method, given by
// position or as `keyword`; NULL with TypeError(`message`) otherwise.
PyObject *single_argument(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                          const char *keyword, const char *message);

// The one argument of a tp_init, given by position or as `keyword`
// (borrowed); NULL with the error PyArg_ParseTupleAndKeywords gives for
// `format` ("O:<name>") otherwise.
PyObject *single_init_argument(PyObject *args, PyObject *kwargs, const char *format,
                               const char *keyword);

} // namespace zentaro

// The slots of a class whose instances are PythonLikeInstance (its
// PyType_Spec gives sizeof(PythonLikeInstance) as the basic size).
#define ZT_PYTHON_LIKE_INSTANCE_SLOTS                                                              \
    {Py_tp_traverse, reinterpret_cast<void *>(::zentaro::python_like_traverse)},                   \
        {Py_tp_clear, reinterpret_cast<void *>(::zentaro::python_like_clear)},                     \
        {Py_tp_dealloc, reinterpret_cast<void *>(::zentaro::python_like_dealloc)},                 \
        {Py_tp_members, ::zentaro::python_like_members}, {                                         \
        Py_tp_getset, ::zentaro::python_like_getset                                                \
    }
