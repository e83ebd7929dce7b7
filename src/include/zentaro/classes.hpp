// Built-in types as handles, plain Python classes made at module init, and
// docstrings on finished objects.
#pragma once

#include <nanobind/nanobind.h>

#include "zentaro/objects.hpp"

namespace zentaro {

inline nb::handle builtin_type(PyTypeObject *type) {
    return nb::handle(reinterpret_cast<PyObject *>(type));
}

// Build a plain Python class at module init: type(name, bases, namespace).
// Used where a class must derive from a Python class or behave exactly like
// one (replaceable class attributes, __getattr__ fall-backs, __del__).
inline nb::object make_python_class(nb::handle module, const char *name, nb::handle bases,
                                    nb::dict ns) {
    if (!ns.contains("__module__"))
        ns["__module__"] = module.attr("__name__");
    if (!ns.contains("__qualname__"))
        ns["__qualname__"] = nb::str(name);
    return call(builtin_type(&PyType_Type), nb::str(name), bases, ns);
}

inline nb::object object_bases() {
    return nb::make_tuple(builtin_type(&PyBaseObject_Type));
}

// Set __doc__ on a finished object.
inline void set_doc(nb::handle obj, const char *doc) {
    nb::setattr(obj, "__doc__", nb::str(doc));
}

} // namespace zentaro
