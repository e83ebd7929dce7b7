#include "zentaro/slot_class.hpp"

#include <cstddef>

#include <structmember.h>

namespace zentaro {

namespace {

PythonLikeInstance *as_instance(PyObject *self) {
    return reinterpret_cast<PythonLikeInstance *>(self);
}

} // namespace

int python_like_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(as_instance(self)->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int python_like_clear(PyObject *self) {
    Py_CLEAR(as_instance(self)->dict);
    return 0;
}

void python_like_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_instance(self)->weakrefs)
        PyObject_ClearWeakRefs(self);
    python_like_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef python_like_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(PythonLikeInstance, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(PythonLikeInstance, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef python_like_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject *single_argument(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                          const char *keyword, const char *message) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    bool by_keyword = nargs == 0 && nkw == 1 &&
                      PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, 0), keyword) == 0;
    if (!(nargs == 1 && nkw == 0) && !by_keyword) {
        PyErr_SetString(PyExc_TypeError, message);
        return nullptr;
    }
    return args[0];
}

PyObject *single_init_argument(PyObject *args, PyObject *kwargs, const char *format,
                               const char *keyword) {
    const char *keywords[] = {keyword, nullptr};
    PyObject *value = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char **>(keywords), &value))
        return nullptr;
    return value;
}

} // namespace zentaro
