// str values as C++ text, and the joining of str pieces.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string>

namespace zentaro {

namespace nb = nanobind;

// Whether `obj` is a str equal to the ASCII `text`.
inline bool is_text(nb::handle obj, const char *text) {
    return PyUnicode_Check(obj.ptr()) && PyUnicode_CompareWithASCIIString(obj.ptr(), text) == 0;
}

// A str as UTF-8 (UnicodeEncodeError for a lone surrogate).
std::string utf8_of(nb::handle text);

// "".join(parts) of str parts (TypeError for anything else). Texts are
// nearly always ASCII: then the pieces are copied straight into one new str.
nb::object join_text(PyObject *const *parts, Py_ssize_t count);
nb::object join_text(std::initializer_list<nb::handle> parts);

} // namespace zentaro
