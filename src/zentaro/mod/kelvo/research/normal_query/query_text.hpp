// Shared pieces of the query text module: the objects the classes were born
// with (for fast paths that must step aside once a user replaces them), the
// makers of its three classes, the text writer and the value encoding.
#pragma once

#include "query_text_state.hpp"
#include "zentaro/function.hpp"
#include "zentaro/state.hpp"
#include "zentaro/text.hpp"

namespace query_text {

namespace nb = nanobind;
using namespace zentaro;

// What "{}".format(obj) puts in place of the braces.
inline nb::object formatted(nb::handle obj) {
    return steal_or_raise(
        into_python([&] { return PyObject_Format(obj.ptr(), query_state().names.empty); }));
}

// True when `name` on the class of `obj` is still `native`.
inline bool class_attr_is(nb::handle obj, PyObject *name, PyObject *native) {
    return native && compat::type_lookup(Py_TYPE(obj.ptr()), name) == native;
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
    return get_attr(obj, name);
}

// ---- the three classes ------------------------------------------------------

// StrModelAttr (query_fields.cpp).
nb::object make_field_class(nb::module_ &m);

// StrModelAttr(name, key) for the class `cls` the module holds now.
nb::object new_field(nb::handle cls, nb::handle name, nb::handle key);

// StrModel (query_tables.cpp).
nb::object make_table_class();

// StrQuery (query_builder.cpp).
nb::object make_query_class(nb::module_ &m);

// ---- texts (query_encode.cpp) -------------------------------------------------

// _encode(o, top) as the class defines it.
nb::object encode(nb::handle self, nb::handle o, bool top);

// self._encode(o) when `top` is null, else self._encode(o, top): through the
// attribute while a user has replaced it, directly otherwise.
nb::object call_encode(nb::handle self, nb::handle o, PyObject *top);

// The text an encoded value takes in a condition: "{}".format(value), except
// that numbers are written as literals the server reads back as the same
// number, whatever their class's own __str__/__repr__ says.
nb::object render(nb::handle value);

// An integer's text for .limit()/.offset(): TypeError for anything that is
// not an integer.
nb::object integer_text(nb::handle value);

} // namespace query_text
