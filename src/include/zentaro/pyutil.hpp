// Small helpers shared by the kit's extension modules.
#pragma once

#include <nanobind/nanobind.h>

namespace zentaro {

namespace nb = nanobind;

// Raise the pending Python error as a C++ exception that nanobind passes on.
[[noreturn]] inline void raise_python_error() {
    throw nb::python_error();
}

// Wrap a new reference from the C API, turning NULL into the pending error.
inline nb::object steal_or_raise(PyObject *obj) {
    if (!obj)
        raise_python_error();
    return nb::steal(obj);
}

// Look a module attribute up at call time, so that callers may replace it.
inline nb::object module_attr(nb::handle module, const char *name) {
    return steal_or_raise(PyObject_GetAttrString(module.ptr(), name));
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
    nb::object type = nb::borrow(reinterpret_cast<PyObject *>(&PyType_Type));
    return type(nb::str(name), bases, ns);
}

// A function that behaves as a method when stored in a class namespace.
template <typename Func, typename... Extra> nb::object method(Func &&f, const Extra &...extra) {
    return nb::cpp_function(std::forward<Func>(f), nb::is_method(), extra...);
}

// Set __doc__ on a finished object (nanobind prepends signatures otherwise).
inline void set_doc(nb::handle obj, const char *doc) {
    nb::setattr(obj, "__doc__", nb::str(doc));
}

} // namespace zentaro
