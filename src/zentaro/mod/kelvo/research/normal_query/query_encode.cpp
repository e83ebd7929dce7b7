// Value encoding of the condition builders: how a value on the right of a
// comparison is written into the query text.

#include <cstring>

#include "query_text.hpp"

namespace query_text {

namespace {

// The text between quotes, written as Python writes a str literal, so that a
// quote or a backslash inside the value cannot end the literal early on the
// server, which evaluates the query text.
nb::object quoted(nb::handle text) {
    nb::object exact = steal_or_raise(PyUnicode_FromObject(text.ptr()));
    return steal_or_raise(PyUnicode_Type.tp_repr(exact.ptr()));
}

nb::object str_or_quoted(nb::handle o, bool top) {
    return top ? quoted(to_str(o)) : to_str(o);
}

bool instance_of(nb::handle o, nb::handle cls) {
    int hit = PyObject_IsInstance(o.ptr(), cls.ptr());
    if (hit < 0)
        raise_python_error();
    return hit == 1;
}

bool is_builtin_container(PyObject *p) {
    return PyList_CheckExact(p) || PyTuple_CheckExact(p) || PyDict_CheckExact(p) ||
           PyAnySet_CheckExact(p) || PyBytes_CheckExact(p) || PyByteArray_CheckExact(p);
}

// While the module uses the standard ABCs, built-in types are answered here
// instead of through ABCMeta.__instancecheck__, which costs more than the
// rest of a condition. (Nobody registers a built-in container as a number.)
bool is_number(nb::handle o) {
    nb::object number = attr_of(module_get(S.numbers), S.Number);
    if (number.ptr() == N.std_number) {
        PyObject *p = o.ptr();
        if (PyLong_CheckExact(p) || PyFloat_CheckExact(p) || PyComplex_CheckExact(p))
            return true;
        if (is_builtin_container(p))
            return false;
    }
    return instance_of(o, number);
}

bool is_iterable(nb::handle o) {
    nb::object iterable = module_get(S.Iterable);
    if (iterable.ptr() == N.std_iterable && is_builtin_container(o.ptr()))
        return true;
    return instance_of(o, iterable);
}

// self._encode as Python's method call finds it, without building a bound
// method: the class's function (to be called with self in front) or
// whatever the instance holds under that name.
class EncodeMethod {
  public:
    explicit EncodeMethod(nb::handle self) : self_(self) {
        PyObject *found = nullptr;
        unbound_ = _PyObject_GetMethod(self.ptr(), S.encode, &found) == 1;
        if (!found)
            raise_python_error();
        fn_ = nb::steal(found);
    }
    // The class's own built-in _encode, which then runs directly.
    bool native() const { return unbound_ && N.encode && fn_.ptr() == N.encode; }
    // A call the way Python code makes it: self._encode(o) when `top` is
    // null, else self._encode(o, top).
    nb::object call(nb::handle o, PyObject *top) const {
        PyObject *args[] = {self_.ptr(), o.ptr(), top};
        size_t count = top ? 3 : 2;
        PyObject *const *first = unbound_ ? args : args + 1;
        return steal_or_raise(
            PyObject_Vectorcall(fn_.ptr(), first, unbound_ ? count : count - 1, nullptr));
    }

  private:
    nb::handle self_;
    nb::object fn_;
    bool unbound_;
};

// Holds one level of the interpreter's recursion limit for as long as it lives.
class RecursionGuard {
  public:
    RecursionGuard() {
        if (Py_EnterRecursiveCall(" while encoding a query value"))
            raise_python_error();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
};

nb::object encode_items(nb::handle self, nb::handle o) {
    // A container that holds itself, or one nested past the recursion limit,
    // raises RecursionError as Python would, instead of exhausting the C stack.
    RecursionGuard guard;
    // Looked up once for the whole container: an element cannot change it.
    EncodeMethod method(self);
    bool native = method.native();
    nb::object items = steal_or_raise(PyList_New(0));
    auto append = [&](nb::handle item) {
        nb::object encoded = native ? encode(self, item, false) : method.call(item, S.zero);
        if (PyList_Append(items.ptr(), encoded.ptr()) < 0)
            raise_python_error();
    };
    if (PyList_CheckExact(o.ptr()) || PyTuple_CheckExact(o.ptr())) {
        // Indexing with the size read afresh each step is what their
        // iterators do.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o.ptr()); ++i)
            append(nb::borrow(PySequence_Fast_GET_ITEM(o.ptr(), i)));
        return items;
    }
    nb::object it = steal_or_raise(PyObject_GetIter(o.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr()))
        append(nb::steal(raw));
    if (PyErr_Occurred())
        raise_python_error();
    return items;
}

} // namespace

nb::object concat(PyObject *const *parts, Py_ssize_t count) {
    // Texts of conditions and queries are nearly always ASCII: then the
    // pieces are copied straight into one new str.
    Py_ssize_t length = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!PyUnicode_IS_ASCII(parts[i]))
            return steal_or_raise(_PyUnicode_JoinArray(S.empty, parts, count));
        length += PyUnicode_GET_LENGTH(parts[i]);
    }
    PyObject *text = PyUnicode_New(length, 127);
    if (!text)
        raise_python_error();
    char *out = static_cast<char *>(PyUnicode_DATA(text));
    for (Py_ssize_t i = 0; i < count; ++i) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(parts[i]);
        memcpy(out, PyUnicode_DATA(parts[i]), static_cast<size_t>(n));
        out += n;
    }
    return nb::steal(text);
}

// The first test that matches decides; the order matters (a str is also an
// iterable, True is also a number).
nb::object encode(nb::handle self, nb::handle o, bool top) {
    if (PyUnicode_Check(o.ptr()))
        return str_or_quoted(o, top);
    if (o.is_none() || o.ptr() == Py_True || o.ptr() == Py_False)
        return nb::borrow(o);
    if (is_number(o))
        return nb::borrow(o);
    if (is_iterable(o))
        return encode_items(self, o);
    return str_or_quoted(o, top);
}

nb::object call_encode(nb::handle self, nb::handle o, PyObject *top) {
    // The built-in _encode runs directly; anything else (a subclass's
    // override, a replaced class attribute, a value set on the instance) is
    // called the way Python code would call it.
    EncodeMethod method(self);
    if (method.native())
        return encode(self, o, top == nullptr);
    return method.call(o, top);
}

} // namespace query_text
