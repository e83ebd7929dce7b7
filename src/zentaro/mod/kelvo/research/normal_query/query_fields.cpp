// StrModelAttr, a field of a table: its comparisons and in_/is_/any_/all_
// return the condition texts of the query language instead of booleans.

#include <iterator>
#include <utility>

#include "query_text.hpp"

namespace query_text {

namespace {

void attr_init(nb::handle self, nb::handle name, nb::handle key) {
    set_attr(self, ZT_NAME("name"), name);
    set_attr(self, ZT_NAME("key"), key);
}

nb::object attr_str(nb::handle self) {
    nb::object name = formatted(get_attr(self, ZT_NAME("name")));
    nb::object key = formatted(get_attr(self, ZT_NAME("key")));
    PyObject *parts[] = {name.ptr(), ZT_NAME("."), key.ptr()};
    return join_text(parts, 3);
}

nb::object attr_encode(nb::handle self, nb::handle o, nb::handle top) {
    return encode(self, o, truth(top));
}

// One condition builder: "{}.{}<op>{}<tail>" filled with name, key and
// self._encode(obj).
struct ConditionBuilder {
    const char *signature;
    const char *doc;
    const char *op;
    const char *tail;
    PyObject *op_text = nullptr; // `op` and `tail` as str, made at module init
    PyObject *tail_text = nullptr;
};

ConditionBuilder kConditionBuilders[] = {
    {"__lt__(self, obj)", "Return the condition text name.key<obj.", "<", ""},
    {"__le__(self, obj)", "Return the condition text name.key<=obj.", "<=", ""},
    {"__eq__(self, obj)", "Return the condition text name.key==obj.", "==", ""},
    {"__ne__(self, obj)", "Return the condition text name.key!=obj.", "!=", ""},
    {"__gt__(self, obj)", "Return the condition text name.key>obj.", ">", ""},
    {"__ge__(self, obj)", "Return the condition text name.key>=obj.", ">=", ""},
    {"in_(self, obj)", "Return the condition text name.key.in_(obj).", ".in_(", ")"},
    {"is_(self, obj)", "Return the condition text name.key.is_(obj).", ".is_(", ")"},
    {"any_(self, obj)", "Return the condition text name.key.any_(obj).", ".any_(", ")"},
    {"all_(self, obj)", "Return the condition text name.key.all_(obj).", ".all_(", ")"},
};

nb::object build_condition(nb::handle self, nb::handle obj, const ConditionBuilder &b) {
    nb::object name = formatted(get_attr(self, ZT_NAME("name")));
    nb::object key = formatted(get_attr(self, ZT_NAME("key")));
    nb::object value = render(call_encode(self, obj, nullptr));
    PyObject *parts[] = {name.ptr(), ZT_NAME("."), key.ptr(), b.op_text, value.ptr(), b.tail_text};
    return join_text(parts, 6);
}

template <size_t I> nb::object condition(nb::handle self, nb::handle obj) {
    return build_condition(self, obj, kConditionBuilders[I]);
}

template <size_t... I> void add_builders(ClassBuilder &cls, std::index_sequence<I...>) {
    (cls.def<condition<I>>(kConditionBuilders[I].signature, kConditionBuilders[I].doc), ...);
}

} // namespace

// Fields are made on every field read and carry two attributes: a class
// made by type() keeps those inline, without a dict per field, which costs
// less than direct comparison slots would save.
nb::object make_field_class(nb::module_ &m) {
    for (ConditionBuilder &b : kConditionBuilders) {
        b.op_text = interned(b.op);
        b.tail_text = interned(b.tail);
    }
    ClassBuilder cls(m, "StrModelAttr");
    cls.def<attr_init>("__init__(self, name, key)", "Store the table name and the field name.")
        .def<attr_str>("__str__(self)", "Return the field as table.field.");
    add_builders(cls, std::make_index_sequence<std::size(kConditionBuilders)>());
    cls.def<attr_encode>("_encode(self, o, top=1)",
                         "Return the value as the condition texts write it.");
    natives.attr_init = Py_NewRef(cls.ns()["__init__"].ptr());
    natives.attr_str = Py_NewRef(cls.ns()["__str__"].ptr());
    natives.encode = Py_NewRef(cls.ns()["_encode"].ptr());
    // No __hash__ next to __eq__: type() then makes the fields unhashable.
    nb::object result = cls.finish("A field of a table: comparisons and in_/is_/any_/all_ "
                                   "return condition texts of the query language.");
    natives.attr_cls = Py_NewRef(result.ptr());
    return result;
}

// StrModelAttr(name, key), without the generic call machinery while the
// module's class is still the one built here.
nb::object new_field(nb::handle cls, nb::handle name, nb::handle key) {
    auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    if (cls.ptr() == natives.attr_cls && Py_IS_TYPE(cls.ptr(), &PyType_Type) &&
        type->tp_new == PyBaseObject_Type.tp_new &&
        compat::type_lookup(type, ZT_NAME("__init__")) == natives.attr_init) {
        nb::object no_args = steal_or_raise(PyTuple_New(0));
        nb::object field = steal_or_raise(type->tp_new(type, no_args.ptr(), nullptr));
        attr_init(field, name, key);
        return field;
    }
    return call(cls, name, key);
}

} // namespace query_text
