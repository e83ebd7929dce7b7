#include "zentaro/imports.hpp"

#include "zentaro/errors.hpp"
#include "zentaro/exit_guard.hpp"

namespace zentaro {

nb::object import(const char *module) {
    return steal_or_raise(into_python([&] { return PyImport_ImportModule(module); }));
}

nb::object import_from(const char *package, const char *name) {
    nb::object fromlist = nb::make_tuple(name);
    nb::object module = steal_or_raise(into_python(
        [&] { return PyImport_ImportModuleLevel(package, nullptr, nullptr, fromlist.ptr(), 0); }));
    PyObject *value = into_python([&] { return PyObject_GetAttrString(module.ptr(), name); });
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            raise_python_error();
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, package);
        raise_python_error();
    }
    return nb::steal(value);
}

void bind_imports(nb::handle module, std::span<const ImportEntry> table) {
    for (const ImportEntry &entry : table) {
        nb::object value =
            entry.name ? import_from(entry.module, entry.name) : import(entry.module);
        if (entry.attribute)
            check(into_python([&] {
                return PyObject_SetAttrString(module.ptr(), entry.attribute, value.ptr());
            }));
    }
}

} // namespace zentaro
