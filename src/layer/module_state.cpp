#include "zentaro/state.hpp"

namespace zentaro {

void ModuleState::init(nb::handle module) {
    PyObject *ref = PyWeakref_NewRef(module.ptr(), nullptr);
    if (!ref)
        raise_python_error();
    Py_XSETREF(ref_, ref);
    const char *name = PyModule_GetName(module.ptr());
    if (!name)
        raise_python_error();
    name_ = name;
    dict_ = PyModule_GetDict(module.ptr());
    exit_guard::install();
}

void ModuleState::raise_unloaded() const {
    PyErr_Format(PyExc_RuntimeError, "%s has been unloaded",
                 name_.empty() ? "the module" : name_.c_str());
    raise_python_error();
}

nb::object ModuleState::lookup(PyObject *name, bool builtins) const {
    nb::object module = this->module();
    PyObject *found = PyDict_GetItemWithError(PyModule_GetDict(module.ptr()), name);
    if (!found && !PyErr_Occurred() && builtins)
        found = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    if (found)
        return nb::borrow(found);
    if (PyErr_Occurred())
        raise_python_error();
    if (builtins) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        raise_python_error();
    }
    return get_attr(module, name);
}

nb::object CachedAttr::read_anew(nb::handle module, PyObject *dict) {
    if (!name_)
        name_ = interned(text_);
    PyObject *found = PyDict_GetItemWithError(dict, name_);
    if (!found) {
        if (PyErr_Occurred())
            raise_python_error();
        value_ = nullptr;
        return get_attr(module, name_);
    }
    dict_ = dict;
    version_ = compat::dict_version(dict);
    value_ = found; // borrowed from dict_; only used while the version holds
    return nb::borrow(found);
}

int refuse_subinterpreter(PyObject *module) {
    if (PyInterpreterState_Get() == PyInterpreterState_Main())
        return 0;
    const char *name = PyModule_GetName(module);
    if (name)
        PyErr_Format(PyExc_ImportError, "module %s does not support loading in subinterpreters",
                     name);
    return -1;
}

} // namespace zentaro
