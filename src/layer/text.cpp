#include "zentaro/text.hpp"

#include <cstring>
#include <vector>

#include "zentaro/compat.hpp"
#include "zentaro/errors.hpp"
#include "zentaro/names.hpp"

namespace zentaro {

std::string utf8_of(nb::handle text) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data)
        raise_python_error();
    return std::string(data, static_cast<size_t>(size));
}

nb::object join_any_text(PyObject *const *parts, Py_ssize_t count) {
    return steal_or_raise(compat::unicode_join(ZT_NAME(""), parts, count));
}

nb::object join_text(std::initializer_list<nb::handle> parts) {
    std::vector<PyObject *> items;
    items.reserve(parts.size());
    for (nb::handle part : parts)
        items.push_back(part.ptr());
    return join_text(items.data(), static_cast<Py_ssize_t>(items.size()));
}

} // namespace zentaro
