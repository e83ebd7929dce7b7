// StrQuery, a query under construction: filter, limit and offset change it
// and return it; str() gives its text, "query(...).filter(...)" with the
// limit and offset parts.

#include <vector>

#include "query_text.hpp"

namespace query_text {

namespace {

void query_init(nb::handle self, nb::handle args) {
    const QueryNames &names = query_state().names;
    set_attr(self, names.fields, args);
    set_attr(self, names.filters, steal_or_raise(PyList_New(0)));
    set_attr(self, names._limit, nb::none());
    set_attr(self, names._offset, nb::none());
}

nb::handle query_filter(nb::handle self, nb::handle args) {
    nb::object filters = get_attr(self, query_state().names.filters);
    for (nb::handle condition : nb::borrow<nb::tuple>(args)) {
        if (PyList_CheckExact(filters.ptr()))
            check(PyList_Append(filters.ptr(), condition.ptr()));
        else
            call_method(filters, query_state().names.append, condition);
    }
    return self;
}

// The value goes into text that the server evaluates: integers only.
void check_integer(nb::handle value) {
    if (!value.is_none())
        steal_or_raise(into_python([&] { return PyNumber_Index(value.ptr()); }));
}

nb::handle query_limit(nb::handle self, nb::handle limit) {
    check_integer(limit);
    set_attr(self, query_state().names._limit, limit);
    return self;
}

nb::handle query_offset(nb::handle self, nb::handle limit) {
    check_integer(limit);
    set_attr(self, query_state().names._offset, limit);
    return self;
}

// Pointers held inline for the usual few dozen, on the heap past that.
class SmallVector {
  public:
    void push_back(PyObject *p) {
        if (size_ < kInline && heap_.empty()) {
            inline_[size_++] = p;
            return;
        }
        if (heap_.empty())
            heap_.assign(inline_, inline_ + size_);
        heap_.push_back(p);
        ++size_;
    }
    PyObject **data() { return heap_.empty() ? inline_ : heap_.data(); }
    size_t size() const { return size_; }
    PyObject **begin() { return data(); }
    PyObject **end() { return data() + size_; }

  private:
    static constexpr size_t kInline = 48;
    PyObject *inline_[kInline];
    std::vector<PyObject *> heap_;
    size_t size_ = 0;
};

// The pieces of one text, kept alive until they are joined.
class Pieces {
  public:
    Pieces() = default;
    Pieces(const Pieces &) = delete;
    Pieces &operator=(const Pieces &) = delete;
    ~Pieces() {
        for (PyObject *piece : items_)
            Py_DECREF(piece);
    }
    void add(nb::object piece) { items_.push_back(piece.release().ptr()); }
    void add(PyObject *interned_text) { items_.push_back(Py_NewRef(interned_text)); }
    nb::object join() { return join_text(items_.data(), static_cast<Py_ssize_t>(items_.size())); }

  private:
    SmallVector items_;
};

// A field's text goes in as its pieces while str() would run the built-in
// __str__ (str() goes by the class, never the instance); anything else as
// str() gives it.
void add_field(Pieces &out, nb::handle item) {
    const QueryNames &names = query_state().names;
    if (Py_TYPE(item.ptr()) == reinterpret_cast<PyTypeObject *>(query_state().natives.attr_cls) &&
        class_attr_is(item, names.dunder_str, query_state().natives.attr_str)) {
        out.add(formatted(get_attr(item, names.name)));
        out.add(names.dot);
        out.add(formatted(get_attr(item, names.key)));
        return;
    }
    out.add(str_of(item));
}

void add_fields(Pieces &out, nb::handle fields) {
    nb::object it = steal_or_raise(into_python([&] { return PyObject_GetIter(fields.ptr()); }));
    bool first = true;
    while (PyObject *raw = into_python([&] { return PyIter_Next(it.ptr()); })) {
        nb::object item = nb::steal(raw);
        if (!first)
            out.add(query_state().names.comma);
        add_field(out, item);
        first = false;
    }
    if (PyErr_Occurred())
        raise_python_error();
}

// The conditions as ", ".join(filters) takes them, with its error for one
// that is not a str.
void add_filters(Pieces &out, nb::handle filters) {
    nb::object seq = steal_or_raise(
        into_python([&] { return PySequence_Fast(filters.ptr(), "can only join an iterable"); }));
    Py_ssize_t count = PySequence_Fast_GET_SIZE(seq.ptr());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *item = PySequence_Fast_GET_ITEM(seq.ptr(), i);
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found",
                         i, Py_TYPE(item)->tp_name);
            raise_python_error();
        }
        if (i)
            out.add(query_state().names.comma);
        out.add(item);
    }
}

// ".limit(<integer>)", or nothing while the value is None.
void add_limit_part(Pieces &out, nb::handle self, PyObject *attr, PyObject *open) {
    nb::object value = get_attr(self, attr);
    if (value.is_none())
        return;
    out.add(open);
    out.add(integer_text(value));
    out.add(query_state().names.close_paren);
}

nb::object query_str(nb::handle self) {
    const QueryNames &names = query_state().names;
    Pieces out;
    out.add(names.query_open);
    add_fields(out, get_attr(self, names.fields));
    out.add(names.filter_open);
    add_filters(out, get_attr(self, names.filters));
    out.add(names.close_paren);
    add_limit_part(out, self, names._limit, names.limit_open);
    add_limit_part(out, self, names._offset, names.offset_open);
    return out.join();
}

} // namespace

// Four attributes per query: a class made by type() keeps them inline.
nb::object make_query_class(nb::module_ &m) {
    return ClassBuilder(m, "StrQuery")
        .def<query_init>("__init__(self, *args)", "Start a query of the given fields.")
        .def<query_filter>("filter(self, *args)", "Add conditions and return the same query.")
        .def<query_limit>("limit(self, limit)",
                          "Set the row limit (an integer, or None for none) and return the same "
                          "query.")
        .def<query_offset>("offset(self, limit)",
                           "Set the row offset (an integer, or None for none) and return the same "
                           "query.")
        .def<query_str>("__str__(self)", "Return the query text.")
        .finish("A query under construction; str() gives its text.");
}

} // namespace query_text
