// StrModelAttr, a field of a table: its comparisons and in_/is_/any_/all_
// return the condition texts of the query language instead of booleans.

#include <iterator>
#include <utility>

#include "query_text.hpp"

namespace query_text {

namespace {

void attr_init(nb::handle self, nb::handle name, nb::handle key) {
    set_attr(self, query_state().names.name, name);
    set_attr(self, query_state().names.key, key);
}

nb::object attr_str(nb::handle self) {
    const QueryNames &names = query_state().names;
    nb::object name = formatted(get_attr(self, names.name));
    nb::object key = formatted(get_attr(self, names.key));
    PyObject *parts[] = {name.ptr(), names.dot, key.ptr()};
    return join_text(parts, 3);
}

nb::object attr_encode(nb::handle self, nb::handle o, nb::handle top) {
    return encode(self, o, truth(top));
}

// One condition builder: "{}.{}<op>{}<tail>" filled with name, key and
// self._encode(obj). The table is a constant: the compiler reads each
// signature against the builder's C++ function.
struct ConditionBuilder {
    const char *signature;
    const char *doc;
    const char *op;
    const char *tail;
};

constexpr ConditionBuilder kConditionBuilders[] = {
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

nb::object build_condition(nb::handle self, nb::handle obj, const QueryState::ConditionTexts &b) {
    const QueryNames &names = query_state().names;
    nb::object name = formatted(get_attr(self, names.name));
    nb::object key = formatted(get_attr(self, names.key));
    nb::object value = render(call_encode(self, obj, nullptr));
    PyObject *parts[] = {name.ptr(), names.dot, key.ptr(), b.op, value.ptr(), b.tail};
    return join_text(parts, 6);
}

template <size_t I> nb::object condition(nb::handle self, nb::handle obj) {
    return build_condition(self, obj, query_state().condition_texts[I]);
}

template <size_t... I> void add_builders(ClassBuilder &cls, std::index_sequence<I...>) {
    (cls.def<condition<I>>(kConditionBuilders[I].signature, kConditionBuilders[I].doc), ...);
}

} // namespace

// Fields are made on every field read and carry two attributes: a class
// made by type() keeps those inline, without a dict per field, which costs
// less than direct comparison slots would save.
nb::object make_field_class(nb::module_ &m) {
    query_state().condition_texts.clear();
    for (const ConditionBuilder &b : kConditionBuilders)
        query_state().condition_texts.push_back({interned(b.op), interned(b.tail)});
    ClassBuilder cls(m, "StrModelAttr");
    cls.def<attr_init>("__init__(self, name, key)", "Store the table name and the field name.")
        .def<attr_str>("__str__(self)", "Return the field as table.field.");
    add_builders(cls, std::make_index_sequence<std::size(kConditionBuilders)>());
    cls.def<attr_encode>("_encode(self, o, top=1)",
                         "Return the value as the condition texts write it.");
    query_state().natives.attr_init = Py_NewRef(cls.ns()["__init__"].ptr());
    query_state().natives.attr_str = Py_NewRef(cls.ns()["__str__"].ptr());
    query_state().natives.encode = Py_NewRef(cls.ns()["_encode"].ptr());
    // No __hash__ next to __eq__: type() then makes the fields unhashable.
    nb::object result = cls.finish("A field of a table: comparisons and in_/is_/any_/all_ "
                                   "return condition texts of the query language.");
    query_state().natives.attr_cls = Py_NewRef(result.ptr());
    return result;
}

// StrModelAttr(name, key), without the generic call machinery while the
// module's class is still the one built here.
nb::object new_field(nb::handle cls, nb::handle name, nb::handle key) {
    auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    if (cls.ptr() == query_state().natives.attr_cls && Py_IS_TYPE(cls.ptr(), &PyType_Type) &&
        type->tp_new == PyBaseObject_Type.tp_new &&
        compat::type_lookup(type, query_state().names.dunder_init) ==
            query_state().natives.attr_init) {
        nb::object no_args = steal_or_raise(PyTuple_New(0));
        nb::object field = steal_or_raise(type->tp_new(type, no_args.ptr(), nullptr));
        attr_init(field, name, key);
        return field;
    }
    return call(cls, name, key);
}

} // namespace query_text
