// Value encoding of the condition builders: how a value on the right of a
// comparison is written into the query text. The server evaluates that text,
// so nothing a value's own __str__ or __repr__ says may reach it unquoted.

#include <cctype>
#include <cmath>
#include <cstring>

#include <strings.h>

#include "query_text.hpp"

namespace query_text {

namespace {

// The text between quotes, written as Python writes a str literal, so that a
// quote or a backslash inside the value cannot end the literal early.
nb::object quoted(nb::handle text) {
    nb::object exact = steal_or_raise(PyUnicode_FromObject(text.ptr()));
    return steal_or_raise(PyUnicode_Type.tp_repr(exact.ptr()));
}

nb::object str_or_quoted(nb::handle o, bool top) {
    return top ? quoted(str_of(o)) : str_of(o);
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

bool is_builtin_number(PyObject *p) {
    return PyLong_Check(p) || PyFloat_Check(p) || PyComplex_Check(p);
}

// While the module uses the standard ABCs, built-in types are answered here
// instead of through ABCMeta.__instancecheck__, which costs more than the
// rest of a condition. (Nobody registers a built-in container as a number.)
bool is_number(nb::handle o) {
    nb::object number = attr_of(query_state().numbers_attr.get(), query_state().names.Number);
    if (number.ptr() == query_state().natives.std_number) {
        PyObject *p = o.ptr();
        if (PyLong_CheckExact(p) || PyFloat_CheckExact(p) || PyComplex_CheckExact(p))
            return true;
        if (is_builtin_container(p))
            return false;
    }
    return instance_of(o, number);
}

bool is_iterable(nb::handle o) {
    nb::object iterable = query_state().iterable_attr.get();
    if (iterable.ptr() == query_state().natives.std_iterable && is_builtin_container(o.ptr()))
        return true;
    return instance_of(o, iterable);
}

// ---- numbers as literals -----------------------------------------------------

// A new str of an ASCII C string.
nb::object str_from(const char *s) {
    return steal_or_raise(PyUnicode_FromString(s));
}

// A float as Python reads it back: its repr, or an expression for NaN and
// the infinities, which have no literal.
nb::object float_text(double value, PyObject *number) {
    if (std::isnan(value))
        return str_from("float('nan')");
    if (std::isinf(value))
        return str_from(value > 0 ? "float('inf')" : "-float('inf')");
    if (number)
        return steal_or_raise(PyFloat_Type.tp_repr(number));
    nb::object exact = steal_or_raise(PyFloat_FromDouble(value));
    return steal_or_raise(PyFloat_Type.tp_repr(exact.ptr()));
}

nb::object complex_text(PyObject *number) {
    const QueryNames &names = query_state().names;
    Py_complex value = PyComplex_AsCComplex(number);
    if (std::isfinite(value.real) && std::isfinite(value.imag))
        return steal_or_raise(PyComplex_Type.tp_repr(number));
    nb::object real = float_text(value.real, nullptr), imag = float_text(value.imag, nullptr);
    PyObject *parts[] = {names.complex_open, real.ptr(), names.comma, imag.ptr(),
                         names.close_paren};
    return join_text(parts, 5);
}

// [+-]digits[.digits][e[+-]digits][j], digits possibly starting at the dot.
size_t scan_real(const char *s, size_t i, size_t n) {
    if (i < n && (s[i] == '+' || s[i] == '-'))
        ++i;
    size_t digits = 0;
    while (i < n && std::isdigit(static_cast<unsigned char>(s[i])))
        ++i, ++digits;
    if (i < n && s[i] == '.') {
        ++i;
        while (i < n && std::isdigit(static_cast<unsigned char>(s[i])))
            ++i, ++digits;
    }
    if (!digits)
        return 0;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        size_t j = i + 1;
        if (j < n && (s[j] == '+' || s[j] == '-'))
            ++j;
        size_t start = j;
        while (j < n && std::isdigit(static_cast<unsigned char>(s[j])))
            ++j;
        if (j == start)
            return 0;
        i = j;
    }
    if (i < n && (s[i] == 'j' || s[i] == 'J'))
        ++i;
    return i;
}

// A number literal ("1.50", "-3", "1E+2"), a fraction ("1/3") or a complex
// pair ("(1+2j)"): forms that can only ever mean a number.
bool is_number_literal(const char *s, size_t n) {
    if (n >= 2 && s[0] == '(' && s[n - 1] == ')')
        ++s, n -= 2;
    size_t i = scan_real(s, 0, n);
    if (!i)
        return false;
    if (i < n && (s[i] == '/' || s[i] == '+' || s[i] == '-')) {
        size_t j = scan_real(s, s[i] == '/' ? i + 1 : i, n);
        if (!j)
            return false;
        i = j;
    }
    return i == n;
}

// "nan", "-Infinity", "sNaN", ...: the spellings of Decimal, numpy and float.
const char *non_finite(const char *s) {
    bool negative = *s == '-';
    if (*s == '-' || *s == '+')
        ++s;
    if (strcasecmp(s, "nan") == 0 || strcasecmp(s, "snan") == 0)
        return "float('nan')";
    if (strcasecmp(s, "inf") == 0 || strcasecmp(s, "infinity") == 0)
        return negative ? "-float('inf')" : "float('inf')";
    return nullptr;
}

// Any number: int, float and complex (subclasses included) by their base
// type's repr; any other registered number (Decimal, Fraction, numpy
// scalars) by its str() while that is a plain number, else quoted.
nb::object number_text(nb::handle value) {
    PyObject *p = value.ptr();
    if (PyLong_Check(p))
        return steal_or_raise(PyLong_Type.tp_repr(p));
    if (PyFloat_Check(p))
        return float_text(PyFloat_AS_DOUBLE(p), p);
    if (PyComplex_Check(p))
        return complex_text(p);
    nb::object own = str_of(value);
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(own.ptr(), &size);
    if (!utf8)
        raise_python_error();
    if (is_number_literal(utf8, static_cast<size_t>(size)))
        return nb::object(steal_or_raise(PyUnicode_FromObject(own.ptr())));
    if (const char *spelled = non_finite(utf8))
        return str_from(spelled);
    return quoted(own);
}

bool is_constant(PyObject *p) {
    return p == Py_None || p == Py_True || p == Py_False;
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

nb::object render_item(nb::handle item);

// The list form of repr(list) with each element through render_item.
nb::object render_list(nb::handle list) {
    const QueryNames &names = query_state().names;
    RecursionGuard guard;
    int seen = Py_ReprEnter(list.ptr());
    if (seen < 0)
        raise_python_error();
    if (seen > 0)
        return str_from("[...]");
    struct Leave {
        PyObject *list;
        ~Leave() { Py_ReprLeave(list); }
    } leave{list.ptr()};
    nb::object pieces = steal_or_raise(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
        nb::object item = nb::borrow(PyList_GET_ITEM(list.ptr(), i));
        check(PyList_Append(pieces.ptr(), render_item(item).ptr()));
    }
    nb::object inner = steal_or_raise(PyUnicode_Join(names.comma, pieces.ptr()));
    PyObject *parts[] = {names.open_bracket, inner.ptr(), names.close_bracket};
    return join_text(parts, 3);
}

// One element inside a list: what repr() gives, with str's own repr for any
// str and numbers as literals.
nb::object render_item(nb::handle item) {
    PyObject *p = item.ptr();
    if (PyUnicode_Check(p))
        return quoted(item);
    if (is_constant(p))
        return steal_or_raise(into_python([&] { return PyObject_Repr(p); }));
    if (is_builtin_number(p))
        return number_text(item);
    if (PyList_CheckExact(p))
        return render_list(item);
    if (is_number(item))
        return number_text(item);
    return steal_or_raise(into_python([&] { return PyObject_Repr(p); }));
}

// self._encode as Python's method call finds it, without building a bound
// method: the class's function (to be called with self in front) or
// whatever the instance holds under that name.
class EncodeMethod {
  public:
    explicit EncodeMethod(nb::handle self) : self_(self) {
        PyObject *found = nullptr;
        unbound_ = into_python([&] {
                       return compat::get_method(self.ptr(), query_state().names._encode, &found);
                   }) == 1;
        if (!found)
            raise_python_error();
        fn_ = nb::steal(found);
    }
    // The class's own built-in _encode, which then runs directly.
    bool native() const {
        return unbound_ && query_state().natives.encode &&
               fn_.ptr() == query_state().natives.encode;
    }
    // A call the way Python code makes it: self._encode(o) when `top` is
    // null, else self._encode(o, top).
    nb::object call(nb::handle o, PyObject *top) const {
        PyObject *args[] = {self_.ptr(), o.ptr(), top};
        size_t count = top ? 3 : 2;
        PyObject *const *first = unbound_ ? args : args + 1;
        return steal_or_raise(into_python([&] {
            return PyObject_Vectorcall(fn_.ptr(), first, unbound_ ? count : count - 1, nullptr);
        }));
    }

  private:
    nb::handle self_;
    nb::object fn_;
    bool unbound_;
};

nb::object encode_items(nb::handle self, nb::handle o) {
    // A container that holds itself, or one nested past the recursion limit,
    // raises RecursionError as Python would, instead of exhausting the C stack.
    RecursionGuard guard;
    // Looked up once for the whole container: an element cannot change it.
    EncodeMethod method(self);
    bool native = method.native();
    nb::object items = steal_or_raise(PyList_New(0));
    nb::object zero = steal_or_raise(PyLong_FromLong(0));
    auto append = [&](nb::handle item) {
        nb::object encoded = native ? encode(self, item, false) : method.call(item, zero.ptr());
        if (PyList_Append(items.ptr(), encoded.ptr()) < 0)
            raise_python_error();
    };
    if (PyList_CheckExact(o.ptr()) || PyTuple_CheckExact(o.ptr())) {
        // Indexing with the size read afresh each step is what their
        // iterators do; each element is held while it is encoded.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o.ptr()); ++i)
            append(nb::borrow(PySequence_Fast_GET_ITEM(o.ptr(), i)));
        return items;
    }
    nb::object it = steal_or_raise(into_python([&] { return PyObject_GetIter(o.ptr()); }));
    while (PyObject *raw = into_python([&] { return PyIter_Next(it.ptr()); }))
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
    if (is_constant(o.ptr()))
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

nb::object render(nb::handle value) {
    PyObject *p = value.ptr();
    if (PyUnicode_CheckExact(p))
        return nb::borrow(value);
    if (is_constant(p))
        return formatted(value);
    if (is_builtin_number(p))
        return number_text(value);
    if (PyList_CheckExact(p))
        return render_list(value);
    if (!PyUnicode_Check(p) && is_number(value))
        return number_text(value);
    return formatted(value);
}

nb::object integer_text(nb::handle value) {
    nb::object integer = steal_or_raise(into_python([&] { return PyNumber_Index(value.ptr()); }));
    return steal_or_raise(PyLong_Type.tp_repr(integer.ptr()));
}

} // namespace query_text
