// Query text builder: table and field objects whose comparisons return the
// text of the research query language instead of booleans.
//
// Field reads, comparisons and query construction run on every query, so
// the three classes come from type specs whose slots do that work directly;
// a class made by type() would route each of them through Python's generic
// slot functions (for a __getattr__, one AttributeError built and discarded
// per field read). They still behave like plain Python classes: instances
// take attributes, class attributes can be replaced (Python then puts its
// generic slot in place and calls the replacement), no hash next to __eq__.
// The named methods are kit functions. Everything a method reads from the
// module or from an object is looked up at call time, as Python code would.

#include <iterator>
#include <utility>
#include <vector>

#include "query_text.hpp"

namespace query_text {

Natives natives;

namespace {

// ---- instances of the slot-table class ----------------------------------------

// An instance with a __dict__ and weak references, as a Python class's.
struct Instance {
    PyObject_HEAD PyObject *dict;
    PyObject *weakrefs;
};

Instance *as_instance(PyObject *self) {
    return reinterpret_cast<Instance *>(self);
}

int instance_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(as_instance(self)->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int instance_clear(PyObject *self) {
    Py_CLEAR(as_instance(self)->dict);
    return 0;
}

void instance_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_instance(self)->weakrefs)
        PyObject_ClearWeakRefs(self);
    instance_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef kInstanceMembers[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(Instance, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Instance, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef kInstanceGetset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#define ZT_INSTANCE_SLOTS                                                                          \
    {Py_tp_traverse, reinterpret_cast<void *>(instance_traverse)},                                 \
        {Py_tp_clear, reinterpret_cast<void *>(instance_clear)},                                   \
        {Py_tp_dealloc, reinterpret_cast<void *>(instance_dealloc)},                               \
        {Py_tp_members, kInstanceMembers}, {                                                       \
        Py_tp_getset, kInstanceGetset                                                              \
    }

constexpr unsigned int kClassFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;

template <typename Fn> PyCFunction c_method(Fn fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

nb::object keep(PyObject *obj) {
    return nb::borrow(obj);
}

PyObject *class_entry(nb::handle cls, const char *name) {
    return compat::type_lookup(reinterpret_cast<PyTypeObject *>(cls.ptr()), interned(name));
}

// ---- StrModelAttr ----------------------------------------------------------

void attr_init(nb::handle self, nb::handle name, nb::handle key) {
    set_attr(self, ZT_NAME("name"), name);
    set_attr(self, ZT_NAME("key"), key);
}

nb::object attr_str(nb::handle self) {
    nb::object name = formatted(get_attr(self, ZT_NAME("name")));
    nb::object key = formatted(get_attr(self, ZT_NAME("key")));
    PyObject *parts[] = {name.ptr(), ZT_NAME("."), key.ptr()};
    return concat(parts, 3);
}

nb::object attr_encode(nb::handle self, nb::handle o, nb::handle top) {
    return encode(self, o, truth(top));
}

// One condition builder: "{}.{}<op>{}<tail>" filled with name, key and
// self._encode(obj).
struct Builder {
    const char *signature;
    const char *doc;
    const char *op;
    const char *tail;
    PyObject *op_text = nullptr; // `op` and `tail` as str, made at module init
    PyObject *tail_text = nullptr;
};

Builder kBuilders[] = {
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

nb::object build_condition(nb::handle self, nb::handle obj, const Builder &b) {
    nb::object name = formatted(get_attr(self, ZT_NAME("name")));
    nb::object key = formatted(get_attr(self, ZT_NAME("key")));
    nb::object value = render(call_encode(self, obj, nullptr));
    PyObject *parts[] = {name.ptr(), ZT_NAME("."), key.ptr(), b.op_text, value.ptr(), b.tail_text};
    return concat(parts, 6);
}

template <size_t I> nb::object condition(nb::handle self, nb::handle obj) {
    return build_condition(self, obj, kBuilders[I]);
}

template <size_t... I> void add_builders(ClassBuilder &cls, std::index_sequence<I...>) {
    (cls.def<condition<I>>(kBuilders[I].signature, kBuilders[I].doc), ...);
}

// Fields are made on every field read and carry two attributes: a class
// made by type() keeps those inline, without a dict per field, which costs
// less than direct comparison slots would save.
nb::object make_attr_class(nb::module_ &m) {
    for (Builder &b : kBuilders) {
        b.op_text = interned(b.op);
        b.tail_text = interned(b.tail);
    }
    ClassBuilder cls(m, "StrModelAttr");
    cls.def<attr_init>("__init__(self, name, key)", "Store the table name and the field name.")
        .def<attr_str>("__str__(self)", "Return the field as table.field.");
    add_builders(cls, std::make_index_sequence<std::size(kBuilders)>());
    cls.def<attr_encode>("_encode(self, o, top=1)",
                         "Return the value as the condition texts write it.");
    natives.attr_init = keep(cls.ns()["__init__"].ptr()).release().ptr();
    natives.attr_str = keep(cls.ns()["__str__"].ptr()).release().ptr();
    natives.encode = keep(cls.ns()["_encode"].ptr()).release().ptr();
    // No __hash__ next to __eq__: type() then makes the fields unhashable.
    nb::object result = cls.finish("A field of a table: comparisons and in_/is_/any_/all_ "
                                   "return condition texts of the query language.");
    natives.attr_cls = keep(result.ptr()).release().ptr();
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

// ---- StrModel --------------------------------------------------------------
//
// Every field read goes through the table's attribute hook, so the class is
// made from a slot table with its own tp_getattro: a class made by type()
// with a __getattr__ gets Python's generic hook, which builds and discards
// an AttributeError for every field. A user who sets __getattr__ on the
// class still gets Python's hook and their method, as with any class.

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

// Read on every field read; replacing it is seen at once.
CachedAttr field_class_attr("StrModelAttr");

// self.name by the generic lookup. While the class has no attribute of that
// name, that lookup is the instance dict's entry: read straight from it.
nb::object table_name(nb::handle self) {
    if (!compat::type_lookup(Py_TYPE(self.ptr()), ZT_NAME("name"))) {
        PyObject **dict = compat::dict_ptr(self.ptr());
        PyObject *found = dict && *dict ? PyDict_GetItemWithError(*dict, ZT_NAME("name")) : nullptr;
        if (found)
            return nb::borrow(found);
        if (PyErr_Occurred())
            raise_python_error();
    }
    return steal_or_raise(PyObject_GenericGetAttr(self.ptr(), ZT_NAME("name")));
}

// Any attribute the table lacks is a field of it. `name` is read past the
// fall-back, so that a table without one reports it instead of recursing.
nb::object model_getattr(nb::handle self, nb::handle key) {
    nb::object field = field_name(key);
    nb::object name = table_name(self);
    return new_field(field_class_attr.get(), name, field);
}

PyObject *model_getattro(PyObject *self, PyObject *name) {
    PyObject *found = compat::generic_getattr_quiet(self, name);
    if (found || PyErr_Occurred())
        return found;
    return guarded([&] {
        // While this hook is the class's slot, nobody has set __getattr__ on
        // it: that would have put Python's generic hook there.
        if (Py_TYPE(self)->tp_getattro == model_getattro ||
            class_attr_is(self, ZT_NAME("__getattr__"), natives.model_getattr))
            return model_getattr(self, name);
        // A replaced __getattr__: Python's hook calls it after this error.
        return steal_or_raise(PyObject_GenericGetAttr(self, name));
    });
}

int model_tp_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"name", nullptr};
    PyObject *name = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:__init__", const_cast<char **>(keywords),
                                     &name))
        return -1;
    return PyObject_SetAttr(self, ZT_NAME("name"), name);
}

PyObject *model_tp_str(PyObject *self) {
    return PyObject_GetAttr(self, ZT_NAME("name"));
}

// __getattr__(self, key), as a def takes it: positional or by keyword.
PyObject *model_getattr_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    bool by_keyword = nargs == 0 && nkw == 1 &&
                      PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, 0), "key") == 0;
    if (!(nargs == 1 && nkw == 0) && !by_keyword) {
        PyErr_SetString(PyExc_TypeError, "StrModel.__getattr__() takes one argument: 'key'");
        return nullptr;
    }
    return guarded([&] { return model_getattr(self, args[0]); });
}

nb::object make_model_class() {
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
        ZT_INSTANCE_SLOTS,
        {0, nullptr},
    };
    static PyType_Spec layout = {
        "zentaro.mod.kelvo.research.normal_query.query_text.StrModel",
        sizeof(Instance),
        0,
        kClassFlags,
        slots,
    };
    nb::object cls = steal_or_raise(PyType_FromSpec(&layout));
    natives.model_getattr = keep(class_entry(cls, "__getattr__")).release().ptr();
    return cls;
}

// ---- StrQuery --------------------------------------------------------------

void query_init(nb::handle self, nb::handle args) {
    set_attr(self, ZT_NAME("fields"), args);
    set_attr(self, ZT_NAME("filters"), steal_or_raise(PyList_New(0)));
    set_attr(self, ZT_NAME("_limit"), nb::none());
    set_attr(self, ZT_NAME("_offset"), nb::none());
}

nb::handle query_filter(nb::handle self, nb::handle args) {
    nb::object filters = get_attr(self, ZT_NAME("filters"));
    for (nb::handle condition : nb::borrow<nb::tuple>(args)) {
        if (PyList_CheckExact(filters.ptr()))
            check(PyList_Append(filters.ptr(), condition.ptr()));
        else
            call_method(filters, ZT_NAME("append"), condition);
    }
    return self;
}

// The value goes into text that the server evaluates: integers only.
void check_integer(nb::handle value) {
    if (!value.is_none())
        steal_or_raise(PyNumber_Index(value.ptr()));
}

nb::handle query_limit(nb::handle self, nb::handle limit) {
    check_integer(limit);
    set_attr(self, ZT_NAME("_limit"), limit);
    return self;
}

nb::handle query_offset(nb::handle self, nb::handle limit) {
    check_integer(limit);
    set_attr(self, ZT_NAME("_offset"), limit);
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
    nb::object join() { return concat(items_.data(), static_cast<Py_ssize_t>(items_.size())); }

  private:
    SmallVector items_;
};

// A field's text goes in as its pieces while str() would run the built-in
// __str__ (str() goes by the class, never the instance); anything else as
// str() gives it.
void add_field(Pieces &out, nb::handle item) {
    if (Py_TYPE(item.ptr()) == reinterpret_cast<PyTypeObject *>(natives.attr_cls) &&
        class_attr_is(item, ZT_NAME("__str__"), natives.attr_str)) {
        out.add(formatted(get_attr(item, ZT_NAME("name"))));
        out.add(ZT_NAME("."));
        out.add(formatted(get_attr(item, ZT_NAME("key"))));
        return;
    }
    out.add(text_of(item));
}

void add_fields(Pieces &out, nb::handle fields) {
    nb::object it = steal_or_raise(PyObject_GetIter(fields.ptr()));
    bool first = true;
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object item = nb::steal(raw);
        if (!first)
            out.add(ZT_NAME(", "));
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
            out.add(ZT_NAME(", "));
        out.add(item);
    }
}

// ".limit(<integer>)", or nothing while the value is None.
void add_optional(Pieces &out, nb::handle self, PyObject *attr, PyObject *open) {
    nb::object value = get_attr(self, attr);
    if (value.is_none())
        return;
    out.add(open);
    out.add(integer_text(value));
    out.add(ZT_NAME(")"));
}

nb::object query_str(nb::handle self) {
    Pieces out;
    out.add(ZT_NAME("query("));
    add_fields(out, get_attr(self, ZT_NAME("fields")));
    out.add(ZT_NAME(").filter("));
    add_filters(out, get_attr(self, ZT_NAME("filters")));
    out.add(ZT_NAME(")"));
    add_optional(out, self, ZT_NAME("_limit"), ZT_NAME(".limit("));
    add_optional(out, self, ZT_NAME("_offset"), ZT_NAME(".offset("));
    return out.join();
}

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

// ---- module ----------------------------------------------------------------

constexpr const char *kTables[] = {
    "bonus",         "valuation",       "balance",    "cashflow",     "income",
    "profit_report", "profit_forecast", "operating",  "debtrepay",    "profit",
    "growth",        "cashflow_sq",     "income_sq",  "profit_sq",    "growth_sq",
    "asharevalue",   "ashareoperate",   "asharedebt", "ashareprofit",
};

// Dropped from atexit, while the interpreter still runs: past this point every
// fast path steps aside and the methods go through Python's own lookups.
void release_natives() {
    Py_CLEAR(natives.attr_cls);
    Py_CLEAR(natives.attr_init);
    Py_CLEAR(natives.attr_str);
    Py_CLEAR(natives.encode);
    Py_CLEAR(natives.model_getattr);
    Py_CLEAR(natives.std_number);
    Py_CLEAR(natives.std_iterable);
}

} // namespace

} // namespace query_text

using namespace query_text;

ZT_MODULE(query_text, m) {
    module_state().init(m);

    nb::object numbers = import("numbers");
    m.attr("numbers") = numbers;
    nb::object iterable = import_from("collections.abc", "Iterable");
    m.attr("Iterable") = iterable;
    natives.std_number = get_attr(numbers, ZT_NAME("Number")).release().ptr();
    natives.std_iterable = iterable.release().ptr();

    m.attr("StrModelAttr") = make_attr_class(m);
    nb::object model_cls = make_model_class();
    m.attr("StrModel") = model_cls;
    m.attr("StrQuery") = make_query_class(m);

    nb::list all;
    for (const char *table : kTables) {
        m.attr(table) = call(model_cls, nb::str(table));
        all.append(table);
    }
    m.attr("__all__") = all;

    nb::object release = make_function<release_natives>(
        "_release_query_text_natives()", "Drop the fast paths' references before exit.",
        m.attr("__name__"));
    call_method(import("atexit"), ZT_NAME("register"), release);
}
