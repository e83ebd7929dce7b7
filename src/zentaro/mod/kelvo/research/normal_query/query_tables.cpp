// StrModel, a table of the query language: any attribute it lacks is a field
// of it.
//
// Every field read goes through the table's attribute hook, so the class is
// made from a slot table with its own tp_getattro: a class made by type()
// with a __getattr__ gets Python's generic hook, which builds and discards
// an AttributeError for every field. A user who sets __getattr__ on the
// class still gets Python's hook and their method, as with any class.

#include "query_text.hpp"
#include "zentaro/slot_class.hpp"

namespace query_text {

namespace {

PyObject *class_entry(nb::handle cls, const char *name) {
    return compat::type_lookup(reinterpret_cast<PyTypeObject *>(cls.ptr()), interned(name));
}

// Python's identifier rule; ASCII names, nearly all of them, without the
// Unicode tables.
// One table lookup per character: every field read checks its name.
enum IdentifierChar : unsigned char { kNot = 0, kStart = 1, kInside = 2 };

constexpr auto kIdentifierChars = [] {
    struct Table {
        unsigned char kind[128] = {};
    } table;
    for (int ch = 0; ch < 128; ++ch) {
        bool letter = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || ch == '_';
        bool digit = ch >= '0' && ch <= '9';
        table.kind[ch] = letter ? kStart | kInside : digit ? kInside : kNot;
    }
    return table;
}();

bool is_identifier(PyObject *text) {
    if (!PyUnicode_IS_ASCII(text))
        return PyUnicode_IsIdentifier(text) == 1;
    const auto *c = static_cast<const unsigned char *>(PyUnicode_DATA(text));
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (n == 0 || !(kIdentifierChars.kind[c[0]] & kStart))
        return false;
    for (Py_ssize_t i = 1; i < n; ++i)
        if (!(kIdentifierChars.kind[c[i]] & kInside))
            return false;
    return true;
}

// A field name read through getattr goes into text that the server
// evaluates: only an identifier may, and only as a plain str (a subclass
// could render as something else).
nb::object field_name(nb::handle key) {
    if (!PyUnicode_Check(key.ptr())) {
        PyErr_Format(PyExc_TypeError, "attribute name must be string, not '%.200s'",
                     Py_TYPE(key.ptr())->tp_name);
        raise_python_error();
    }
    if (!is_identifier(key.ptr())) {
        PyErr_Format(PyExc_ValueError, "field name must be an identifier: %R", key.ptr());
        raise_python_error();
    }
    return steal_or_raise(PyUnicode_FromObject(key.ptr()));
}

// self.name by the generic lookup. While the class has no attribute of that
// name, that lookup is the instance dict's entry: read straight from it.
nb::object table_name(nb::handle self) {
    const QueryNames &names = query_state().names;
    if (!compat::type_lookup(Py_TYPE(self.ptr()), names.name)) {
        PyObject **dict = compat::dict_ptr(self.ptr());
        PyObject *found = dict && *dict ? PyDict_GetItemWithError(*dict, names.name) : nullptr;
        if (found)
            return nb::borrow(found);
        if (PyErr_Occurred())
            raise_python_error();
    }
    return steal_or_raise(PyObject_GenericGetAttr(self.ptr(), names.name));
}

// Any attribute the table lacks is a field of it. `name` is read past the
// fall-back, so that a table without one reports it instead of recursing.
nb::object model_getattr(nb::handle self, nb::handle key) {
    nb::object field = field_name(key);
    nb::object name = table_name(self);
    return new_field(query_state().field_class_attr.get(), name, field);
}

PyObject *model_getattro(PyObject *self, PyObject *name) {
    PyObject *found = compat::generic_getattr_quiet(self, name);
    if (found || PyErr_Occurred())
        return found;
    return guarded([&] {
        // While this hook is the class's slot, nobody has set __getattr__ on
        // it: that would have put Python's generic hook there.
        if (Py_TYPE(self)->tp_getattro == model_getattro ||
            class_attr_is(self, query_state().names.dunder_getattr,
                          query_state().natives.model_getattr))
            return model_getattr(self, name);
        // A replaced __getattr__: Python's hook calls it after this error.
        return steal_or_raise(PyObject_GenericGetAttr(self, name));
    });
}

int model_tp_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    PyObject *name = single_init_argument(args, kwargs, "O:__init__", "name");
    if (!name)
        return -1;
    return PyObject_SetAttr(self, query_state().names.name, name);
}

PyObject *model_tp_str(PyObject *self) {
    return PyObject_GetAttr(self, query_state().names.name);
}

// __getattr__(self, key), as a def takes it: positional or by keyword.
PyObject *model_getattr_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames) {
    PyObject *key = single_argument(args, nargs, kwnames, "key",
                                    "StrModel.__getattr__() takes one argument: 'key'");
    if (!key)
        return nullptr;
    return guarded([&] { return model_getattr(self, key); });
}

} // namespace

nb::object make_table_class() {
    // The constructor's signature comes from the class docstring: 3.13's
    // inspect cannot bind an __init__ method that stands beside the slot.
    static PyMethodDef methods[] = {
        {"__getattr__", c_method(model_getattr_method), METH_FASTCALL | METH_KEYWORDS,
         "__getattr__($self, key)\n--\n\nReturn the field `key` of this table."},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char *>("StrModel(name)\n--\n\nA table of the research query "
                                       "language: any attribute it lacks is a field of it.")},
        {Py_tp_init, reinterpret_cast<void *>(model_tp_init)},
        {Py_tp_str, reinterpret_cast<void *>(model_tp_str)},
        {Py_tp_getattro, reinterpret_cast<void *>(model_getattro)},
        {Py_tp_methods, methods},
        ZT_PYTHON_LIKE_INSTANCE_SLOTS,
        {0, nullptr},
    };
    static PyType_Spec layout = {
        "zentaro.mod.kelvo.research.normal_query.query_text.StrModel",
        sizeof(PythonLikeInstance),
        0,
        kPythonLikeClassFlags,
        slots,
    };
    nb::object cls = steal_or_raise(PyType_FromSpec(&layout));
    query_state().natives.model_getattr = Py_NewRef(class_entry(cls, "__getattr__"));
    return cls;
}

} // namespace query_text
