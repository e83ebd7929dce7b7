// Shared pieces of the query text module: interned names, the objects the
// classes were born with (for fast paths that must step aside once a user
// replaces them), a text writer and the value encoding.
#pragma once

#include <nanobind/nanobind.h>

#include "zentaro/pyutil.hpp"

namespace query_text {

namespace nb = nanobind;
using zentaro::raise_python_error;
using zentaro::steal_or_raise;

struct Names {
    PyObject *name, *key, *encode, *init, *str, *numbers, *Number, *Iterable, *fields, *filters,
        *limit, *offset, *append, *empty, *comma, *dot, *query_open, *filter_open, *close,
        *limit_open, *offset_open, *func, *StrModelAttr, *limit_fmt, *offset_fmt, *zero;
};
extern Names S;

// Strong references taken at module init and dropped at interpreter exit;
// each is compared by identity only.
struct Native {
    PyObject *attr_cls = nullptr;     // StrModelAttr
    PyObject *attr_init = nullptr;    // StrModelAttr.__init__
    PyObject *attr_str = nullptr;     // StrModelAttr.__str__
    PyObject *encode = nullptr;       // StrModelAttr._encode
    PyObject *std_number = nullptr;   // numbers.Number
    PyObject *std_iterable = nullptr; // collections.abc.Iterable
};
extern Native N;

// The module itself. Single-phase extension modules stay alive until the
// interpreter shuts down, so a borrowed pointer serves call-time lookups and
// avoids a reference cycle through the methods.
extern PyObject *g_module;

inline nb::object get(nb::handle obj, PyObject *name) {
    return steal_or_raise(PyObject_GetAttr(obj.ptr(), name));
}

inline void set(nb::handle obj, PyObject *name, nb::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name, value.ptr()) < 0)
        raise_python_error();
}

inline nb::object to_str(nb::handle obj) {
    return steal_or_raise(PyObject_Str(obj.ptr()));
}

// What "{}".format(obj) puts in place of the braces.
inline nb::object formatted(nb::handle obj) {
    return steal_or_raise(PyObject_Format(obj.ptr(), S.empty));
}

// True when `name` on the class of `obj` is still `native`.
inline bool class_attr_is(nb::handle obj, PyObject *name, PyObject *native) {
    return native && _PyType_Lookup(Py_TYPE(obj.ptr()), name) == native;
}

// obj.name, reading a module's dict directly (what module attribute access
// ends up doing for a name the module type itself lacks).
inline nb::object attr_of(nb::handle obj, PyObject *name) {
    if (PyModule_CheckExact(obj.ptr())) {
        PyObject *hit = PyDict_GetItemWithError(PyModule_GetDict(obj.ptr()), name);
        if (hit)
            return nb::borrow(hit);
        if (PyErr_Occurred())
            raise_python_error();
    }
    return get(obj, name);
}

// A name in this module, looked up at call time like a Python global.
inline nb::object module_get(PyObject *name) {
    return attr_of(g_module, name);
}

// Concatenates a run of str objects with one allocation.
nb::object concat(PyObject *const *parts, Py_ssize_t count);

// _encode(o, top) as the class defines it.
nb::object encode(nb::handle self, nb::handle o, bool top);

// self._encode(o) when `top` is null, else self._encode(o, top): through the
// attribute while a user has replaced it, directly otherwise.
nb::object call_encode(nb::handle self, nb::handle o, PyObject *top);

} // namespace query_text
