#include "zentaro/errors.hpp"

namespace zentaro {

void raise_error(PyObject *type, const char *message) {
    PyErr_SetString(type, message);
    raise_python_error();
}

PyObject *python_type_of(const nb::builtin_exception &e) {
    switch (e.type()) {
    case nb::exception_type::stop_iteration:
        return PyExc_StopIteration;
    case nb::exception_type::index_error:
        return PyExc_IndexError;
    case nb::exception_type::key_error:
        return PyExc_KeyError;
    case nb::exception_type::value_error:
        return PyExc_ValueError;
    case nb::exception_type::type_error:
        return PyExc_TypeError;
    case nb::exception_type::buffer_error:
        return PyExc_BufferError;
    case nb::exception_type::import_error:
        return PyExc_ImportError;
    case nb::exception_type::attribute_error:
        return PyExc_AttributeError;
    default:
        return PyExc_RuntimeError;
    }
}

void raise_object(nb::handle exc) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    raise_python_error();
}

void raise_again(nb::handle exc) {
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr()))), Py_NewRef(exc.ptr()),
                  PyException_GetTraceback(exc.ptr()));
    raise_python_error();
}

void swallow_ordinary_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        raise_python_error();
    PyErr_Clear();
}

} // namespace zentaro
