#include "zentaro/names.hpp"

#include "zentaro/errors.hpp"

namespace zentaro {

PyObject *interned(const char *text) {
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s)
        raise_python_error();
    return s;
}

} // namespace zentaro
