// str values as C++ text, and the joining of str pieces.
#pragma once

#include <nanobind/nanobind.h>

#include <cstring>
#include <initializer_list>
#include <string>

#include "zentaro/errors.hpp"

namespace zentaro {

namespace nb = nanobind;

// Whether `obj` is a str equal to the ASCII `text`.
inline bool is_text(nb::handle obj, const char *text) {
    return PyUnicode_Check(obj.ptr()) && PyUnicode_CompareWithASCIIString(obj.ptr(), text) == 0;
}

// A str as UTF-8 (UnicodeEncodeError for a lone surrogate).
std::string utf8_of(nb::handle text);

// "".join(parts) of any parts: the general route, and its TypeError for
// anything that is not a str.
nb::object join_any_text(PyObject *const *parts, Py_ssize_t count);

// "".join(parts) of str parts (TypeError for anything else). Texts are
// nearly always ASCII: then the pieces are copied straight into one new str.
// Inline: query texts join a few parts per condition, many times a query.
inline nb::object join_text(PyObject *const *parts, Py_ssize_t count) {
    Py_ssize_t length = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!PyUnicode_CheckExact(parts[i]) || !PyUnicode_IS_ASCII(parts[i]))
            return join_any_text(parts, count);
        length += PyUnicode_GET_LENGTH(parts[i]);
    }
    PyObject *joined = PyUnicode_New(length, 127);
    if (!joined)
        raise_python_error();
    char *out = static_cast<char *>(PyUnicode_DATA(joined));
    for (Py_ssize_t i = 0; i < count; ++i) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(parts[i]);
        std::memcpy(out, PyUnicode_DATA(parts[i]), static_cast<size_t>(n));
        out += n;
    }
    return nb::steal(joined);
}

nb::object join_text(std::initializer_list<nb::handle> parts);

} // namespace zentaro
