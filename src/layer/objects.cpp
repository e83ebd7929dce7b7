#include "zentaro/objects.hpp"

#include <vector>

#include "zentaro/names.hpp"

namespace zentaro {

namespace {

// dict[key] of an exact dict, borrowed, or NULL when the key is missing.
PyObject *dict_lookup(PyObject *dict, PyObject *key) {
    PyObject *hit = PyDict_GetItemWithError(dict, key);
    if (!hit && PyErr_Occurred())
        raise_python_error();
    return hit;
}

} // namespace

nb::object get_item(nb::handle obj, nb::handle key) {
    if (PyDict_CheckExact(obj.ptr()))
        if (PyObject *hit = dict_lookup(obj.ptr(), key.ptr()))
            return nb::borrow(hit);
    // Also the miss of a dict: it raises the KeyError a subscription raises.
    return steal_or_raise(into_python([&] { return PyObject_GetItem(obj.ptr(), key.ptr()); }));
}

nb::object get_item(nb::handle obj, const char *key) {
    return get_item(obj, nb::str(key));
}

nb::object get_or(nb::handle obj, nb::handle key, nb::handle dflt) {
    if (PyDict_CheckExact(obj.ptr())) {
        PyObject *hit = dict_lookup(obj.ptr(), key.ptr());
        return nb::borrow(hit ? hit : dflt.ptr());
    }
    return call_method(obj, ZT_NAME("get"), key, dflt);
}

nb::object get_or_none(nb::handle obj, nb::handle key) {
    if (PyDict_CheckExact(obj.ptr()))
        return get_or(obj, key, nb::none());
    return call_method(obj, ZT_NAME("get"), key);
}

void merge_mapping(nb::handle target, nb::handle source) {
    if (PyDict_Update(target.ptr(), source.ptr()) == 0)
        return;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not a mapping",
                     Py_TYPE(source.ptr())->tp_name);
    }
    raise_python_error();
}

nb::object call_with_keywords(nb::handle fn, std::initializer_list<nb::handle> positional,
                              std::initializer_list<std::pair<PyObject *, nb::handle>> keywords) {
    std::vector<PyObject *> argv;
    nb::object names = steal_or_raise(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    for (nb::handle arg : positional)
        argv.push_back(arg.ptr());
    Py_ssize_t i = 0;
    for (const auto &[name, value] : keywords) {
        PyTuple_SET_ITEM(names.ptr(), i++, Py_NewRef(name));
        argv.push_back(value.ptr());
    }
    return steal_or_raise(into_python([&] {
        return PyObject_Vectorcall(fn.ptr(), argv.data(),
                                   static_cast<Py_ssize_t>(positional.size()), names.ptr());
    }));
}

} // namespace zentaro
