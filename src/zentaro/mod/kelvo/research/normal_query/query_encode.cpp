// Value encoding of the condition builders: how a value on the right of a
// comparison is written into the query text.

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

nb::object str_or_quoted(nb::handle o, bool top) { return top ? quoted(to_str(o)) : to_str(o); }

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
    nb::object number = get(get(g_module, S.numbers), S.Number);
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
    nb::object iterable = get(g_module, S.Iterable);
    if (iterable.ptr() == N.std_iterable && is_builtin_container(o.ptr()))
        return true;
    return instance_of(o, iterable);
}

// The function behind a bound method of the built-in methods' type, read
// through the type's own `__func__` member; null for any other object.
PyObject *bound_function(nb::handle fn) {
    if (Py_TYPE(fn.ptr()) != N.bound_method_type || N.bound_func_offset < 0)
        return nullptr;
    return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(fn.ptr()) + N.bound_func_offset);
}

// Runs _encode for one element, given self._encode as it was looked up once
// for the whole container (an element cannot change it).
nb::object encode_item(nb::handle self, nb::handle fn, bool native, nb::handle item) {
    if (native)
        return encode(self, item, false);
    return steal_or_raise(PyObject_CallFunctionObjArgs(fn.ptr(), item.ptr(), S.zero, nullptr));
}

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
    nb::object fn = get(self, S.encode);
    bool native = N.encode && bound_function(fn) == N.encode;
    nb::object items = steal_or_raise(PyList_New(0));
    auto append = [&](nb::handle item) {
        if (PyList_Append(items.ptr(), encode_item(self, fn, native, item).ptr()) < 0)
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
    nb::object fn = get(self, S.encode);
    // The built-in _encode, bound to any field, runs directly; anything else
    // (a subclass's override, a replaced class attribute, a value set on the
    // instance) is called the way Python code would call it.
    if (N.encode && bound_function(fn) == N.encode)
        return encode(self, o, top == nullptr);
    return steal_or_raise(PyObject_CallFunctionObjArgs(fn.ptr(), o.ptr(), top, nullptr));
}

} // namespace query_text
