// Query text builder: table and field objects whose comparisons return the
// text of the research query language instead of booleans.
//
// The three classes are built with type() so that they behave like plain
// Python classes (replaceable class attributes, a __getattr__ fall-back, no
// hash next to __eq__). Everything a method reads from the module or from an
// object is looked up at call time, as Python code would. Field reads,
// comparisons and query construction also get C slots of their own; Python
// puts its generic slots back as soon as a user sets one of the methods
// behind them on the class.

#include <vector>

#include "query_text.hpp"

namespace query_text {

Names S;
Native N;
PyObject *g_module = nullptr;

namespace {

using zentaro::make_python_class;
using zentaro::method;

PyObject *intern(const char *text) {
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s)
        raise_python_error();
    return s; // kept for the life of the process
}

bool truth(nb::handle o) {
    int t = PyObject_IsTrue(o.ptr());
    if (t < 0)
        raise_python_error();
    return t == 1;
}

// Runs `body` for a C slot, turning C++ exceptions into the pending error.
template <typename Body> PyObject *slot_call(Body &&body) {
    try {
        return body().release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

// ---- StrModelAttr ----------------------------------------------------------

void attr_init(nb::handle self, nb::handle name, nb::handle key) {
    set(self, S.name, name);
    set(self, S.key, key);
}

nb::str attr_str(nb::handle self) {
    nb::object name = formatted(get(self, S.name));
    nb::object key = formatted(get(self, S.key));
    PyObject *parts[] = {name.ptr(), S.dot, key.ptr()};
    return nb::borrow<nb::str>(concat(parts, 3));
}

// One condition builder: "{}.{}<op>{}<tail>" filled with name, key and
// self._encode(obj).
struct Builder {
    const char *method;
    const char *op;
    const char *tail;
    PyObject *op_text = nullptr; // `op` and `tail` as str, made at module init
    PyObject *tail_text = nullptr;
};

Builder kBuilders[] = {
    {"__lt__", "<", ""},     {"__le__", "<=", ""},    {"__eq__", "==", ""},  {"__ne__", "!=", ""},
    {"__gt__", ">", ""},     {"__ge__", ">=", ""},    {"in_", ".in_(", ")"}, {"is_", ".is_(", ")"},
    {"any_", ".any_(", ")"}, {"all_", ".all_(", ")"},
};
static_assert(Py_LT == 0 && Py_LE == 1 && Py_EQ == 2 && Py_NE == 3 && Py_GT == 4 && Py_GE == 5,
              "kBuilders starts with the comparisons in the order of their op codes");

nb::str build_condition(nb::handle self, nb::handle obj, const Builder &b) {
    nb::object name = formatted(get(self, S.name));
    nb::object key = formatted(get(self, S.key));
    nb::object value = formatted(call_encode(self, obj, nullptr));
    PyObject *parts[] = {name.ptr(), S.dot, key.ptr(), b.op_text, value.ptr(), b.tail_text};
    return nb::borrow<nb::str>(concat(parts, 6));
}

PyObject *attr_richcompare(PyObject *self, PyObject *other, int op) {
    return slot_call([&] { return build_condition(self, other, kBuilders[op]); });
}

nb::object make_attr_class(nb::module_ &m) {
    nb::dict ns;
    nb::object init =
        method(attr_init, nb::name("__init__"), nb::arg("name").none(), nb::arg("key").none());
    nb::object str = method(attr_str, nb::name("__str__"));
    nb::object encode_fn = method(
        [](nb::handle self, nb::handle o, nb::handle top) { return encode(self, o, truth(top)); },
        nb::name("_encode"), nb::arg("o").none(), nb::arg("top").none() = 1);
    ns["__init__"] = init;
    ns["__str__"] = str;
    for (Builder &b : kBuilders) {
        b.op_text = intern(b.op);
        b.tail_text = intern(b.tail);
    }
    for (const Builder &b : kBuilders)
        ns[b.method] =
            method([&b](nb::handle self, nb::handle obj) { return build_condition(self, obj, b); },
                   nb::name(b.method), nb::arg("obj").none());
    ns["_encode"] = encode_fn;
    // No __hash__ next to __eq__: type() then makes the fields unhashable.
    nb::object cls = make_python_class(m, "StrModelAttr", nb::make_tuple(), ns);
    reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_richcompare = attr_richcompare;

    N.attr_cls = nb::object(cls).release().ptr();
    N.attr_init = init.release().ptr();
    N.attr_str = str.release().ptr();
    N.encode = encode_fn.release().ptr();
    return cls;
}

// StrModelAttr(name, key), without the generic call machinery while the
// module's class is still the one built here.
nb::object new_field(nb::handle cls, nb::handle name, nb::handle key) {
    auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    if (cls.ptr() == N.attr_cls && Py_IS_TYPE(cls.ptr(), &PyType_Type) &&
        type->tp_new == PyBaseObject_Type.tp_new && _PyType_Lookup(type, S.init) == N.attr_init) {
        nb::object no_args = steal_or_raise(PyTuple_New(0));
        nb::object field = steal_or_raise(type->tp_new(type, no_args.ptr(), nullptr));
        attr_init(field, name, key);
        return field;
    }
    PyObject *args[] = {name.ptr(), key.ptr()};
    return steal_or_raise(PyObject_Vectorcall(cls.ptr(), args, 2, nullptr));
}

// ---- StrModel --------------------------------------------------------------

void model_init(nb::handle self, nb::handle name) {
    set(self, S.name, name);
}

nb::object model_str(nb::handle self) {
    return get(self, S.name);
}

// Any attribute the table lacks is a field of it. `name` is read past the
// fall-back, so that a table without one reports it instead of recursing.
nb::object model_getattr(nb::handle self, nb::handle key) {
    nb::object name = steal_or_raise(PyObject_GenericGetAttr(self.ptr(), S.name));
    return new_field(module_get(S.StrModelAttr), name, key);
}

// Python's own __getattr__ hook, minus building and discarding an
// AttributeError for every field read.
PyObject *model_getattro(PyObject *self, PyObject *name) {
    PyObject *found = _PyObject_GenericGetAttrWithDict(self, name, nullptr, 1);
    if (found || PyErr_Occurred())
        return found;
    return slot_call([&] { return model_getattr(self, name); });
}

nb::object make_model_class(nb::module_ &m) {
    nb::dict ns;
    ns["__init__"] = method(model_init, nb::name("__init__"), nb::arg("name").none());
    ns["__str__"] = method(model_str, nb::name("__str__"));
    ns["__getattr__"] = method(model_getattr, nb::name("__getattr__"), nb::arg("key").none());
    nb::object cls = make_python_class(m, "StrModel", nb::make_tuple(), ns);
    reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_getattro = model_getattro;
    return cls;
}

// ---- StrQuery --------------------------------------------------------------

void query_init(nb::handle self, nb::args args) {
    set(self, S.fields, args);
    set(self, S.filters, steal_or_raise(PyList_New(0)));
    set(self, S.limit, nb::none());
    set(self, S.offset, nb::none());
}

nb::handle query_filter(nb::handle self, nb::args args) {
    nb::object filters = get(self, S.filters);
    for (nb::handle condition : args) {
        if (PyList_CheckExact(filters.ptr())) {
            if (PyList_Append(filters.ptr(), condition.ptr()) < 0)
                raise_python_error();
        } else {
            steal_or_raise(PyObject_CallMethodOneArg(filters.ptr(), S.append, condition.ptr()));
        }
    }
    return self;
}

nb::handle query_limit(nb::handle self, nb::handle limit) {
    set(self, S.limit, limit);
    return self;
}

nb::handle query_offset(nb::handle self, nb::handle limit) {
    set(self, S.offset, limit);
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
    void add(PyObject *interned) { items_.push_back(Py_NewRef(interned)); }
    nb::object join() { return concat(items_.data(), static_cast<Py_ssize_t>(items_.size())); }

  private:
    SmallVector items_;
};

// A field's text goes in as its pieces while str() would run the built-in
// __str__ (str() goes by the class, never the instance); anything else as
// str() gives it.
void add_field(Pieces &out, nb::handle item) {
    if (Py_TYPE(item.ptr()) == reinterpret_cast<PyTypeObject *>(N.attr_cls) &&
        class_attr_is(item, S.str, N.attr_str)) {
        out.add(formatted(get(item, S.name)));
        out.add(S.dot);
        out.add(formatted(get(item, S.key)));
        return;
    }
    out.add(to_str(item));
}

void add_fields(Pieces &out, nb::handle fields) {
    nb::object it = steal_or_raise(PyObject_GetIter(fields.ptr()));
    bool first = true;
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object item = nb::steal(raw);
        if (!first)
            out.add(S.comma);
        add_field(out, item);
        first = false;
    }
    if (PyErr_Occurred())
        raise_python_error();
}

// The conditions as ", ".join(filters) takes them, with its error for one
// that is not a str.
void add_filters(Pieces &out, nb::handle filters) {
    nb::object seq = steal_or_raise(PySequence_Fast(filters.ptr(), "can only join an iterable"));
    Py_ssize_t count = PySequence_Fast_GET_SIZE(seq.ptr());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *item = PySequence_Fast_GET_ITEM(seq.ptr(), i);
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found",
                         i, Py_TYPE(item)->tp_name);
            raise_python_error();
        }
        if (i)
            out.add(S.comma);
        out.add(item);
    }
}

// ".limit(%s)" % value, or nothing while the value is None.
void add_optional(Pieces &out, nb::handle self, PyObject *attr, PyObject *fmt, PyObject *open) {
    nb::object value = get(self, attr);
    if (value.is_none())
        return;
    if (!PyLong_CheckExact(value.ptr())) {
        out.add(steal_or_raise(PyUnicode_Format(fmt, value.ptr())));
        return;
    }
    // "%s" % n is str(n) for a plain int; skip parsing the format.
    out.add(open);
    out.add(to_str(value));
    out.add(S.close);
}

nb::str query_str(nb::handle self) {
    Pieces out;
    out.add(S.query_open);
    add_fields(out, get(self, S.fields));
    out.add(S.filter_open);
    add_filters(out, get(self, S.filters));
    out.add(S.close);
    add_optional(out, self, S.limit, S.limit_fmt, S.limit_open);
    add_optional(out, self, S.offset, S.offset_fmt, S.offset_open);
    return nb::borrow<nb::str>(out.join());
}

// The class's init slot while __init__ is the built-in one: StrQuery(...)
// then skips the generic method call.
int query_tp_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    if (kwargs && PyDict_GET_SIZE(kwargs)) {
        PyObject *key = nullptr, *value = nullptr;
        Py_ssize_t pos = 0;
        PyDict_Next(kwargs, &pos, &key, &value);
        PyErr_Format(PyExc_TypeError, "StrQuery.__init__() got an unexpected keyword argument '%S'",
                     key);
        return -1;
    }
    try {
        query_init(self, nb::borrow<nb::args>(args));
        return 0;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return -1;
}

nb::object make_query_class(nb::module_ &m) {
    nb::dict ns;
    ns["__init__"] = method(query_init, nb::name("__init__"));
    ns["filter"] = method(query_filter, nb::name("filter"));
    ns["limit"] = method(query_limit, nb::name("limit"), nb::arg("limit").none());
    ns["offset"] = method(query_offset, nb::name("offset"), nb::arg("limit").none());
    ns["__str__"] = method(query_str, nb::name("__str__"));
    nb::object cls = make_python_class(m, "StrQuery", nb::make_tuple(), ns);
    reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_init = query_tp_init;
    return cls;
}

// ---- module ----------------------------------------------------------------

constexpr const char *kTables[] = {
    "bonus",         "valuation",       "balance",    "cashflow",     "income",
    "profit_report", "profit_forecast", "operating",  "debtrepay",    "profit",
    "growth",        "cashflow_sq",     "income_sq",  "profit_sq",    "growth_sq",
    "asharevalue",   "ashareoperate",   "asharedebt", "ashareprofit",
};

void init_names() {
    S.name = intern("name");
    S.key = intern("key");
    S.encode = intern("_encode");
    S.init = intern("__init__");
    S.str = intern("__str__");
    S.numbers = intern("numbers");
    S.Number = intern("Number");
    S.Iterable = intern("Iterable");
    S.fields = intern("fields");
    S.filters = intern("filters");
    S.limit = intern("_limit");
    S.offset = intern("_offset");
    S.append = intern("append");
    S.empty = intern("");
    S.comma = intern(", ");
    S.dot = intern(".");
    S.query_open = intern("query(");
    S.filter_open = intern(").filter(");
    S.close = intern(")");
    S.limit_open = intern(".limit(");
    S.offset_open = intern(".offset(");
    S.StrModelAttr = intern("StrModelAttr");
    S.limit_fmt = intern(".limit(%s)");
    S.offset_fmt = intern(".offset(%s)");
    S.zero = steal_or_raise(PyLong_FromLong(0)).release().ptr(); // a cached small int
}

// Dropped from atexit, while the interpreter still runs: past this point every
// fast path steps aside and the methods go through Python's own lookups.
void release_natives() {
    Py_CLEAR(N.attr_cls);
    Py_CLEAR(N.attr_init);
    Py_CLEAR(N.attr_str);
    Py_CLEAR(N.encode);
    Py_CLEAR(N.std_number);
    Py_CLEAR(N.std_iterable);
}

} // namespace

} // namespace query_text

using namespace query_text;

NB_MODULE(query_text, m) {
    g_module = m.ptr();
    init_names();

    nb::module_ numbers = nb::module_::import_("numbers");
    m.attr("numbers") = numbers;
    nb::object iterable = nb::module_::import_("collections.abc").attr("Iterable");
    m.attr("Iterable") = iterable;
    N.std_number = nb::object(numbers.attr("Number")).release().ptr();
    N.std_iterable = iterable.release().ptr();

    m.attr("StrModelAttr") = make_attr_class(m);
    nb::object model_cls = make_model_class(m);
    m.attr("StrModel") = model_cls;
    m.attr("StrQuery") = make_query_class(m);

    nb::list all;
    for (const char *table : kTables) {
        m.attr(table) = model_cls(table);
        all.append(table);
    }
    m.attr("__all__") = all;

    nb::module_::import_("atexit").attr("register")(
        nb::cpp_function(release_natives, nb::name("_release_query_text_natives")));
}
