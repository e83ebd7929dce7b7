// The object protocol through the guard: attribute lookups, truth,
// comparison, str, items, calls. Every NULL becomes a C++ exception; every
// result is a strong reference.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <utility>

#include "zentaro/errors.hpp"
#include "zentaro/exit_guard.hpp"

namespace zentaro {

inline nb::object get_attr(nb::handle obj, PyObject *name) {
    return steal_or_raise(into_python([&] { return PyObject_GetAttr(obj.ptr(), name); }));
}

// obj.name, or an empty object when it has none (AttributeError only).
inline nb::object optional_attr(nb::handle obj, PyObject *name) {
    PyObject *found = nullptr;
    if (into_python([&] { return compat::lookup_attr(obj.ptr(), name, &found); }) < 0)
        raise_python_error();
    return found ? nb::steal(found) : nb::object();
}

inline void set_attr(nb::handle obj, PyObject *name, nb::handle value) {
    check(into_python([&] { return PyObject_SetAttr(obj.ptr(), name, value.ptr()); }));
}

inline bool truth(nb::handle obj) {
    int r = into_python([&] { return PyObject_IsTrue(obj.ptr()); });
    if (r < 0)
        raise_python_error();
    return r != 0;
}

inline bool compare(nb::handle a, nb::handle b, int op) {
    int r = into_python([&] { return PyObject_RichCompareBool(a.ptr(), b.ptr(), op); });
    if (r < 0)
        raise_python_error();
    return r != 0;
}

inline nb::object str_of(nb::handle obj) {
    return steal_or_raise(into_python([&] { return PyObject_Str(obj.ptr()); }));
}

// obj[key], read straight from an exact dict; a miss raises the KeyError a
// subscription raises.
nb::object get_item(nb::handle obj, nb::handle key);
nb::object get_item(nb::handle obj, const char *key);

// obj.get(key, dflt), read straight from an exact dict.
nb::object get_or(nb::handle obj, nb::handle key, nb::handle dflt);

// obj.get(key): the one-argument call for anything but an exact dict.
nb::object get_or_none(nb::handle obj, nb::handle key);

// target.update(source) as `{**target, **source}` takes it: any mapping, and
// the interpreter's TypeError for anything else (None included).
void merge_mapping(nb::handle target, nb::handle source);

// fn(args...) through vectorcall; the arguments are handles.
template <typename... Args> nb::object call(nb::handle fn, Args... args) {
    PyObject *argv[sizeof...(Args) + 1] = {nullptr, nb::handle(args).ptr()...};
    return steal_or_raise(into_python([&] {
        return PyObject_Vectorcall(fn.ptr(), argv + 1,
                                   sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }));
}

// obj.name(args...) through the method-call fast path.
template <typename... Args> nb::object call_method(nb::handle obj, PyObject *name, Args... args) {
    PyObject *argv[sizeof...(Args) + 1] = {obj.ptr(), nb::handle(args).ptr()...};
    return steal_or_raise(into_python([&] {
        return PyObject_VectorcallMethod(
            name, argv, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }));
}

// fn(*positional, **{name: value for name, value in keywords}); names interned.
nb::object call_with_keywords(nb::handle fn, std::initializer_list<nb::handle> positional,
                              std::initializer_list<std::pair<PyObject *, nb::handle>> keywords);

} // namespace zentaro
