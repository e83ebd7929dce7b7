// Built-in types as handles, the bases of a plain class, and docstrings on
// finished objects.
#pragma once

#include <nanobind/nanobind.h>

#include "zentaro/objects.hpp"

namespace zentaro {

inline nb::handle builtin_type(PyTypeObject *type) {
    return nb::handle(reinterpret_cast<PyObject *>(type));
}

inline nb::object object_bases() {
    return nb::make_tuple(builtin_type(&PyBaseObject_Type));
}

// Set __doc__ on a finished object.
inline void set_doc(nb::handle obj, const char *doc) {
    nb::setattr(obj, "__doc__", nb::str(doc));
}

} // namespace zentaro
