// Interned names: created once per call site and kept for the life of the
// process (freed by the process ending, not by C++ destructors).
#pragma once

#include <nanobind/nanobind.h>

namespace zentaro {

// An interned str kept for the life of the process.
PyObject *interned(const char *text);

} // namespace zentaro

// An interned name created once per call site (string literals only).
#define ZT_NAME(text)                                                                              \
    ([]() -> PyObject * {                                                                          \
        static PyObject *const interned_name = ::zentaro::interned(text);                          \
        return interned_name;                                                                      \
    }())
