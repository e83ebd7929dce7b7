// Code tables of the broker's answers (order side, exchange, price type) and
// the two shared rules of the record conversions: symbol and time.
//
// The exchange tables are regular expressions that users may inspect or
// replace. Matching them through the regex engine for every record would
// dominate the cost of a conversion, so the module's own patterns are matched
// by hand-written equivalents of Python's re.match; any pattern that is not
// one of ours (or a replaced re.match) goes through the regex engine.

#include <algorithm>
#include <charconv>
#include <cmath>

#include "broker_cache.hpp"
#include "broker_desk.hpp"

namespace broker_desk {

namespace {

enum Pattern {
    CONVERT_SZ,
    CONVERT_SH,
    CONVERT_OF1,
    CONVERT_OF5,
    CONVERT_BJ,
    REVERT_SZ,
    REVERT_SH,
    REVERT_BJ,
    PATTERN_COUNT
};

const char *const pattern_text[PATTERN_COUNT] = {
    "^(.+)\\.SZ$",
    "^(.+)\\.SH$",
    "^(1.+)\\.OF$",
    "^(5.+)\\.OF$",
    "^(.+)\\.BJ$",
    "^(00|12|30|15|16|17|18)\\d+$",
    "^(11|60|688|689|5)\\d+$",
    "^(4|8|9)\\d+$",
};
PyObject *pattern_obj[PATTERN_COUNT];  // kept for the life of the process
PyObject *revert_value[PATTERN_COUNT]; // re_revert's values as installed, by pattern

// Members of SIDE by value; values outside belong to no member.
constexpr int side_span = 17;
const char *const side_member[side_span] = {"BUY",
                                            "SALE",
                                            nullptr,
                                            nullptr,
                                            "PURCHASE",
                                            "REDEEM",
                                            "FINANCE_BUY",
                                            "STOCK_SALE",
                                            "SALE_REPAY",
                                            "BUY_REPAY",
                                            "DIRECT_REPAY",
                                            "STOCK_REPAY",
                                            nullptr,
                                            nullptr,
                                            "STOCK_REPAY_TRANSFER",
                                            "STOCK_LEFT_TRANSFER",
                                            "IPO"};
PyObject *side_name_obj[side_span];

// Identity of this module's own objects, for choosing the native paths.
// Borrowed: they are only compared, never used.
PyObject *own_side_class = nullptr;
PyObject *own_side_revert = nullptr;
PyObject *own_market_class = nullptr;
PyObject *own_market_revert = nullptr;
PyObject *real_re_match = nullptr;  // owned: re.match
PyObject *real_timestamp = nullptr; // owned: pandas.Timestamp
PyObject *builtin_round = nullptr;  // owned
PyObject *empty_tuple = nullptr;    // owned

// Results of the module's own rules, which depend on nothing but the text.
TextCache time_cache;   // complete date-and-time text -> Timestamp
TextCache symbol_cache; // code -> symbol, under the module's own table

// A text as the regex engine sees it for an end anchor: `$` also matches
// just before one final line break.
struct Text {
    int kind;
    const void *data;
    Py_ssize_t len; // without the final line break
    Py_UCS4 at(Py_ssize_t i) const { return PyUnicode_READ(kind, data, i); }
};

Text text_of(PyObject *s) {
    Text t{static_cast<int>(PyUnicode_KIND(s)), PyUnicode_DATA(s), PyUnicode_GET_LENGTH(s)};
    if (t.len > 0 && t.at(t.len - 1) == '\n')
        --t.len;
    return t;
}

bool is_decimal(const Text &t, Py_ssize_t i) {
    Py_UCS4 c = t.at(i);
    return c < 128 ? (c >= '0' && c <= '9') : Py_UNICODE_ISDECIMAL(c);
}

// ^(<first>.+)\.<A><B>$ where <first> is empty or one literal character.
bool dotted_suffix(const Text &t, Py_UCS4 first, char a, char b) {
    Py_ssize_t head = first ? 1 : 0;
    if (t.len < head + 4)
        return false;
    if (first && t.at(0) != first)
        return false;
    Py_ssize_t dot = t.len - 3;
    if (t.at(dot) != '.' || t.at(dot + 1) != (Py_UCS4)a || t.at(dot + 2) != (Py_UCS4)b)
        return false;
    for (Py_ssize_t i = head; i < dot; ++i)
        if (t.at(i) == '\n')
            return false;
    return true;
}

bool starts(const Text &t, const char *prefix) {
    Py_ssize_t i = 0;
    for (; prefix[i]; ++i)
        if (i >= t.len || t.at(i) != (Py_UCS4)prefix[i])
            return false;
    return i < t.len; // \d+ needs one digit after the prefix
}

// A text under trial, with what the digit patterns need computed once.
struct Subject {
    Text t;
    int decimal = -1; // whether the whole text is decimal digits; -1: not yet known

    explicit Subject(PyObject *s) : t(text_of(s)) {}

    bool all_decimal() {
        if (decimal < 0) {
            decimal = t.len > 0;
            for (Py_ssize_t i = 0; decimal && i < t.len; ++i)
                decimal = is_decimal(t, i);
        }
        return decimal;
    }
};

// ^(<prefixes>)\d+$: the prefixes are ASCII digits, so the text matches when
// it begins with one of them, goes on past it, and is all decimal digits.
bool prefixed_digits(Subject &s, std::initializer_list<const char *> prefixes) {
    if (!s.all_decimal())
        return false;
    for (const char *p : prefixes)
        if (starts(s.t, p))
            return true;
    return false;
}

bool native_match(int id, Subject &s) {
    const Text &t = s.t;
    switch (id) {
    case CONVERT_SZ:
        return dotted_suffix(t, 0, 'S', 'Z');
    case CONVERT_SH:
        return dotted_suffix(t, 0, 'S', 'H');
    case CONVERT_OF1:
        return dotted_suffix(t, '1', 'O', 'F');
    case CONVERT_OF5:
        return dotted_suffix(t, '5', 'O', 'F');
    case CONVERT_BJ:
        return dotted_suffix(t, 0, 'B', 'J');
    case REVERT_SZ:
        return prefixed_digits(s, {"00", "12", "30", "15", "16", "17", "18"});
    case REVERT_SH:
        return prefixed_digits(s, {"11", "60", "688", "689", "5"});
    case REVERT_BJ:
        return prefixed_digits(s, {"4", "8", "9"});
    }
    return false;
}

int pattern_id(PyObject *pattern) {
    for (int i = 0; i < PATTERN_COUNT; ++i)
        if (pattern == pattern_obj[i])
            return i;
    if (!PyUnicode_CheckExact(pattern))
        return -1;
    for (int i = 0; i < PATTERN_COUNT; ++i)
        if (PyUnicode_Compare(pattern, pattern_obj[i]) == 0)
            return i;
    return -1;
}

bool pattern_matches(nb::handle pattern, nb::handle symbol, nb::handle re_match, bool re_native) {
    if (re_native && PyUnicode_Check(symbol.ptr())) {
        int id = pattern_id(pattern.ptr());
        if (id >= 0) {
            Subject subject(symbol.ptr());
            return native_match(id, subject);
        }
    }
    return truthy(steal_or_raise(
        PyObject_CallFunctionObjArgs(re_match.ptr(), pattern.ptr(), symbol.ptr(), nullptr)));
}

// First value whose pattern matches `symbol`, else None: the walk of
// MARKET.convert and MARKET.revert.
nb::object walk_table(nb::handle table, nb::handle symbol, nb::handle re_match, bool re_native) {
    if (PyDict_CheckExact(table.ptr())) {
        Py_ssize_t pos = 0;
        PyObject *pattern, *value;
        while (PyDict_Next(table.ptr(), &pos, &pattern, &value)) {
            nb::object keep_pattern = nb::borrow(pattern), keep_value = nb::borrow(value);
            if (pattern_matches(keep_pattern, symbol, re_match, re_native))
                return keep_value;
        }
        return nb::none();
    }
    nb::object items = steal_or_raise(PyObject_CallMethod(table.ptr(), "items", nullptr));
    nb::object it = steal_or_raise(PyObject_GetIter(items.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object pair = nb::steal(raw);
        nb::object pattern = getitem(pair, nb::int_(0).ptr());
        nb::object value = getitem(pair, nb::int_(1).ptr());
        if (pattern_matches(pattern, symbol, re_match, re_native))
            return value;
    }
    if (PyErr_Occurred())
        raise_python_error();
    return nb::none();
}

// re.match as the module sees it now, and whether it is the real one.
nb::object current_re_match(bool *native) {
    nb::object match = getattr(global("re"), KEY("match"));
    *native = match.ptr() == real_re_match;
    return match;
}

nb::object market_lookup(nb::handle cls, const char *table, nb::handle symbol) {
    bool native = false;
    nb::object match = current_re_match(&native);
    return walk_table(getattr(cls, name(table)), symbol, match, native);
}

nb::object native_side(nb::handle num) {
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(num.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred())
        raise_python_error();
    if (!overflow && v >= 0 && v < side_span && side_name_obj[v])
        return nb::borrow(side_name_obj[v]);
    return nb::borrow(num);
}

// SideMixin.revert: the member's name by value, or the value itself.
nb::object side_revert(nb::handle cls, nb::handle num) {
    if (cls.ptr() == own_side_class && (PyLong_CheckExact(num.ptr()) || PyBool_Check(num.ptr())))
        return native_side(num);
    PyObject *member = PyObject_CallOneArg(cls.ptr(), num.ptr());
    if (!member) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError))
            raise_python_error();
        PyErr_Clear();
        return nb::borrow(num);
    }
    nb::object keep = nb::steal(member);
    return getattr(keep, KEY("name"));
}

nb::object format_text(nb::handle obj) {
    if (PyUnicode_CheckExact(obj.ptr()))
        return nb::borrow(obj);
    return steal_or_raise(PyObject_Format(obj.ptr(), nullptr));
}

nb::object concat(nb::handle a, nb::handle b) {
    return steal_or_raise(PyUnicode_Concat(a.ptr(), b.ptr()));
}

bool is_ascii_digits(const char *s, std::initializer_list<int> positions) {
    for (int i : positions)
        if (s[i] < '0' || s[i] > '9')
            return false;
    return true;
}

// A complete date and time whose reading cannot depend on the current day:
// "YYYY-MM-DD HH:MM:SS", "YYYYMMDD HH:MM:SS" or "YYYYMMDD HHMMSS".
bool complete_date_time(const char *s, size_t len) {
    switch (len) {
    case 19:
        return s[4] == '-' && s[7] == '-' && s[10] == ' ' && s[13] == ':' && s[16] == ':' &&
               is_ascii_digits(s, {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18});
    case 17:
        return s[8] == ' ' && s[11] == ':' && s[14] == ':' &&
               is_ascii_digits(s, {0, 1, 2, 3, 4, 5, 6, 7, 9, 10, 12, 13, 15, 16});
    case 15:
        return s[8] == ' ' && is_ascii_digits(s, {0, 1, 2, 3, 4, 5, 6, 7, 9, 10, 11, 12, 13, 14});
    }
    return false;
}

// "{}{}{}".format(date, date and " ", time)
nb::object time_text(nb::handle date, nb::handle time) {
    bool has_date = truthy(date);
    PyObject *d = date.ptr(), *t = time.ptr();
    if (PyUnicode_CheckExact(d) && PyUnicode_CheckExact(t)) {
        if (!has_date)
            return nb::borrow(time);
        if (PyUnicode_IS_ASCII(d) && PyUnicode_IS_ASCII(t)) {
            Py_ssize_t nd = PyUnicode_GET_LENGTH(d), nt = PyUnicode_GET_LENGTH(t);
            nb::object out = steal_or_raise(PyUnicode_New(nd + 1 + nt, 127));
            char *buf = reinterpret_cast<char *>(PyUnicode_DATA(out.ptr()));
            memcpy(buf, PyUnicode_DATA(d), nd);
            buf[nd] = ' ';
            memcpy(buf + nd + 1, PyUnicode_DATA(t), nt);
            return out;
        }
    }
    nb::object first = format_text(date);
    nb::object second = has_date ? nb::object(nb::str(" ")) : format_text(date);
    nb::object third = format_text(time);
    return concat(concat(first, second), third);
}

// Python's round(x, 4) for a float: the correctly rounded decimal with four
// places, ties to even, read back. to_chars/from_chars are exact both ways.
nb::object native_round4(double x) {
    if (!std::isfinite(x))
        return steal_or_raise(PyFloat_FromDouble(x));
    // Fast path: x * 1e4 is within |y| * 2^-52 of the exact product, so when
    // that product is not that close to a half, its nearest integer n is the
    // exact decimal rounding, and n / 1e4 (both exact) is the double nearest
    // to the rounded decimal: what reading the rounded text back gives.
    double y = x * 1e4;
    if (std::fabs(y) < 0x1p40) {
        double n = std::nearbyint(y);
        double margin = std::fabs(y) * 0x1p-52 + 0x1p-60;
        if (std::fabs(std::fabs(y - n) - 0.5) > margin)
            return steal_or_raise(PyFloat_FromDouble(n / 1e4));
    }
    char buf[400];
    auto written = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, 4);
    double rounded = 0.0;
    std::from_chars(buf, written.ptr, rounded);
    return steal_or_raise(PyFloat_FromDouble(rounded));
}

nb::object builtin(const char *key) {
    nb::object builtins = steal_or_raise(PyImport_ImportModule("builtins"));
    return getattr(builtins, name(key));
}

nb::object make_class(nb::handle m, const char *cls_name, nb::handle bases, nb::dict ns) {
    return zentaro::make_python_class(m, cls_name, bases, ns);
}

nb::object classmethod_of(nb::object fn) {
    return call(builtin("classmethod"), fn);
}

// code + "." + suffix in one allocation.
nb::object dotted(PyObject *code, PyObject *suffix) {
    Py_ssize_t a = PyUnicode_GET_LENGTH(code), b = PyUnicode_GET_LENGTH(suffix);
    Py_UCS4 widest = std::max(PyUnicode_MAX_CHAR_VALUE(code), PyUnicode_MAX_CHAR_VALUE(suffix));
    nb::object out = steal_or_raise(PyUnicode_New(a + 1 + b, widest));
    if (PyUnicode_IS_ASCII(out.ptr())) {
        char *buf = reinterpret_cast<char *>(PyUnicode_DATA(out.ptr()));
        memcpy(buf, PyUnicode_DATA(code), a);
        buf[a] = '.';
        memcpy(buf + a + 1, PyUnicode_DATA(suffix), b);
        return out;
    }
    if (PyUnicode_CopyCharacters(out.ptr(), 0, code, 0, a) < 0 ||
        PyUnicode_WriteChar(out.ptr(), a, '.') < 0 ||
        PyUnicode_CopyCharacters(out.ptr(), a + 1, suffix, 0, b) < 0)
        raise_python_error();
    return out;
}

// "{}{}".format(code, ".%s" % market if market else "")
nb::object with_market(nb::handle code, nb::handle market) {
    if (PyUnicode_CheckExact(code.ptr()) && PyUnicode_CheckExact(market.ptr())) {
        if (PyUnicode_GET_LENGTH(market.ptr()) == 0)
            return nb::borrow(code);
        return dotted(code.ptr(), market.ptr());
    }
    nb::object head = format_text(code);
    if (!truthy(market))
        return head;
    nb::object suffix;
    if (PyUnicode_CheckExact(market.ptr()))
        suffix = concat(nb::str("."), market);
    else
        suffix =
            format_text(steal_or_raise(PyNumber_Remainder(nb::str(".%s").ptr(), market.ptr())));
    return concat(head, suffix);
}

} // namespace

// ---- record-level rules ----

nb::object planned_symbol(const Translators &tr, nb::handle code) {
    Subject subject(code.ptr());
    for (int i = 0; i < tr.plan_size; ++i)
        if (native_match(tr.plan_pattern[i], subject))
            return with_market(code, tr.plan_value[i]);
    return nb::borrow(code);
}

// A symbol that keys a dict needs its hash, which a cached symbol carries
// already; elsewhere a fresh symbol costs less than the lookup.
nb::object symbol_of(const Translators &tr, nb::handle code, bool as_key) {
    if (tr.plan_size >= 0 && PyUnicode_CheckExact(code.ptr())) {
        TextKey key;
        if (!as_key || !tr.plan_own || !key.append(code.ptr()))
            return planned_symbol(tr, code);
        if (PyObject *hit = symbol_cache.find(key))
            return nb::borrow(hit);
        nb::object symbol = planned_symbol(tr, code);
        symbol_cache.put(key, symbol.ptr());
        return symbol;
    }
    nb::object market = tr.market_native
                            ? walk_table(tr.market_table, code, tr.re_match, tr.re_native)
                            : call(tr.market_revert, code);
    return with_market(code, market);
}

nb::object side_name(const Translators &tr, nb::handle num) {
    if (tr.side_native && (PyLong_CheckExact(num.ptr()) || PyBool_Check(num.ptr())))
        return native_side(num);
    return call(tr.side_revert, num);
}

// The text the time rule hands to pandas, when that is a complete date and
// time made of two texts.
bool complete_time_key(nb::handle date, nb::handle time, TextKey &key) {
    if (!PyUnicode_CheckExact(date.ptr()) || PyUnicode_GET_LENGTH(date.ptr()) == 0)
        return false; // an empty date leaves the day to pandas
    return key.append(date.ptr()) && key.append(' ') && key.append(time.ptr()) &&
           complete_date_time(key.data(), key.size());
}

nb::object time_of(const Translators &tr, nb::handle date, nb::handle time) {
    TextKey key;
    bool keyed = tr.timestamp_cached && complete_time_key(date, time, key);
    if (keyed)
        if (PyObject *hit = time_cache.find(key))
            return nb::borrow(hit);
    nb::object stamp = call(tr.timestamp, time_text(date, time));
    if (keyed)
        time_cache.put(key, stamp.ptr());
    return stamp;
}

nb::object round4(const Translators &tr, nb::handle value) {
    if (tr.round_native) {
        if (PyFloat_CheckExact(value.ptr()))
            return native_round4(PyFloat_AS_DOUBLE(value.ptr()));
        if (PyLong_CheckExact(value.ptr()))
            return nb::borrow(value);
    }
    nb::object digits = nb::int_(4);
    return steal_or_raise(
        PyObject_CallFunctionObjArgs(tr.round_fn.ptr(), value.ptr(), digits.ptr(), nullptr));
}

nb::object round4_double(const Translators &tr, double value) {
    if (tr.round_native)
        return native_round4(value);
    return round4(tr, steal_or_raise(PyFloat_FromDouble(value)));
}

// When NameDict is a plain dict subclass (no __new__, __init__ or metaclass
// of its own), NameDict(d) is a NameDict holding d's items: the record is
// then built in place, without the intermediate dict and its copy.
nb::object make_record_dict(const Translators &tr, PyObject *layout) {
    if (!tr.record_fast)
        return steal_or_raise(PyDict_New());
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(tr.record_type.ptr());
    nb::object record = steal_or_raise(type->tp_new(type, empty_tuple, nullptr));
    // Taking the keys from a finished table of the same keys spares the
    // record its growth while the values are filled in.
    if (PyDict_Update(record.ptr(), layout) < 0)
        raise_python_error();
    return record;
}

nb::object finish_record(const Translators &tr, nb::object dict) {
    if (tr.record_fast)
        return dict;
    return call(tr.record_type, dict);
}

static bool plain_dict_type(nb::handle obj) {
    if (!PyType_Check(obj.ptr()) || Py_TYPE(obj.ptr()) != &PyType_Type)
        return false;
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(obj.ptr());
    return PyType_IsSubtype(type, &PyDict_Type) && type->tp_new == PyDict_Type.tp_new &&
           type->tp_init == PyDict_Type.tp_init;
}

static bool same_text(nb::handle value, PyObject *own) {
    return value.ptr() == own ||
           (PyUnicode_CheckExact(value.ptr()) && PyUnicode_Compare(value.ptr(), own) == 0);
}

// Takes the table's patterns once for the whole call when every one of them
// is ours: each record then needs no walk of the table.
static void plan_table(Translators &tr) {
    PyObject *table = tr.market_table.ptr();
    if (!PyDict_CheckExact(table) || PyDict_GET_SIZE(table) > Translators::plan_limit)
        return;
    Py_ssize_t pos = 0;
    PyObject *pattern, *value;
    int size = 0;
    while (PyDict_Next(table, &pos, &pattern, &value)) {
        int id = pattern_id(pattern);
        if (id < 0)
            return;
        tr.plan_pattern[size] = id;
        tr.plan_value[size++] = nb::borrow(value);
    }
    tr.plan_size = size;
    tr.plan_own = size == 3;
    for (int i = 0; i < size && tr.plan_own; ++i)
        tr.plan_own = tr.plan_pattern[i] == REVERT_SZ + i &&
                      same_text(tr.plan_value[i], revert_value[REVERT_SZ + i]);
}

static bool is_own_method(nb::handle bound, PyObject *cls, PyObject *fn) {
    return PyMethod_Check(bound.ptr()) && PyMethod_GET_SELF(bound.ptr()) == cls &&
           PyMethod_GET_FUNCTION(bound.ptr()) == fn;
}

Translators resolve_translators(nb::handle api, bool with_pricetype) {
    Translators tr;
    tr.re_match = current_re_match(&tr.re_native);
    nb::object market = getattr(api, KEY("MARKET"));
    tr.market_revert = getattr(market, KEY("revert"));
    tr.market_native = is_own_method(tr.market_revert, own_market_class, own_market_revert);
    if (tr.market_native) {
        tr.market_table = getattr(market, KEY("re_revert"));
        if (tr.re_native)
            plan_table(tr);
    }
    nb::object side = getattr(api, KEY("SIDE"));
    tr.side_revert = getattr(side, KEY("revert"));
    tr.side_native = is_own_method(tr.side_revert, own_side_class, own_side_revert);
    if (with_pricetype)
        tr.pricetype_revert = getattr(getattr(api, KEY("PRICETYPE")), KEY("revert"));
    tr.timestamp = getattr(global("pd"), KEY("Timestamp"));
    tr.timestamp_cached = tr.timestamp.ptr() == real_timestamp;
    tr.round_fn = global("round");
    tr.round_native = tr.round_fn.ptr() == builtin_round;
    tr.record_type = global("NameDict");
    tr.record_fast = plain_dict_type(tr.record_type);
    return tr;
}

// ---- the tables as module classes ----

static nb::object ordered_table(std::initializer_list<std::pair<int, nb::object>> rows) {
    nb::dict table;
    for (auto &[id, value] : rows)
        table[nb::handle(pattern_obj[id])] = value;
    return table;
}

void install_codes(nb::module_ &m) {
    for (int i = 0; i < PATTERN_COUNT; ++i)
        pattern_obj[i] = steal_or_raise(PyUnicode_FromString(pattern_text[i])).release().ptr();
    for (int i = 0; i < side_span; ++i)
        side_name_obj[i] = side_member[i] ? name(side_member[i]) : nullptr;
    real_re_match =
        getattr(steal_or_raise(PyImport_ImportModule("re")), KEY("match")).release().ptr();
    real_timestamp = getattr(global("pd"), KEY("Timestamp")).release().ptr();
    builtin_round = builtin("round").release().ptr();
    empty_tuple = steal_or_raise(PyTuple_New(0)).release().ptr();

    nb::object object_base =
        nb::make_tuple(nb::borrow(reinterpret_cast<PyObject *>(&PyBaseObject_Type)));

    nb::object revert_fn = nb::cpp_function(side_revert, nb::name("revert"), nb::arg("cls").none(),
                                            nb::arg("num").none());
    nb::dict mixin_ns;
    mixin_ns["revert"] = classmethod_of(revert_fn);
    nb::object mixin = make_class(m, "SideMixin", object_base, mixin_ns);
    m.attr("SideMixin") = mixin;

    nb::list members;
    for (int i = 0; i < side_span; ++i)
        if (side_member[i])
            members.append(nb::make_tuple(nb::str(side_member[i]), nb::int_(i)));
    nb::object side =
        global("Enum")(nb::str("SIDE"), members, nb::arg("module").none() = m.attr("__name__"),
                       nb::arg("qualname").none() = "SIDE", nb::arg("type").none() = mixin);
    m.attr("SIDE") = side;
    own_side_class = side.ptr();
    own_side_revert = revert_fn.ptr();

    nb::object convert_fn = nb::cpp_function(
        [](nb::handle cls, nb::handle symbol) { return market_lookup(cls, "re_convert", symbol); },
        nb::name("convert"), nb::arg("cls").none(), nb::arg("symbol").none());
    nb::object market_revert_fn = nb::cpp_function(
        [](nb::handle cls, nb::handle symbol) { return market_lookup(cls, "re_revert", symbol); },
        nb::name("revert"), nb::arg("cls").none(), nb::arg("symbol").none());
    nb::dict market_ns;
    market_ns["re_convert"] = ordered_table({{CONVERT_SZ, nb::int_(1)},
                                             {CONVERT_SH, nb::int_(2)},
                                             {CONVERT_OF1, nb::int_(1)},
                                             {CONVERT_OF5, nb::int_(2)},
                                             {CONVERT_BJ, nb::int_(3)}});
    const char *suffixes[] = {"SZ", "SH", "BJ"};
    for (int i = 0; i < 3; ++i)
        revert_value[REVERT_SZ + i] = name(suffixes[i]);
    market_ns["re_revert"] = ordered_table({{REVERT_SZ, nb::borrow(revert_value[REVERT_SZ])},
                                            {REVERT_SH, nb::borrow(revert_value[REVERT_SH])},
                                            {REVERT_BJ, nb::borrow(revert_value[REVERT_BJ])}});
    market_ns["convert"] = classmethod_of(convert_fn);
    market_ns["revert"] = classmethod_of(market_revert_fn);
    nb::object market = make_class(m, "MARKET", object_base, market_ns);
    m.attr("MARKET") = market;
    own_market_class = market.ptr();
    own_market_revert = market_revert_fn.ptr();

    nb::dict price_ns;
    nb::dict price_revert;
    price_revert[nb::int_(0)] = nb::str("限价单");
    price_revert[nb::int_(3)] = nb::str("市价单");
    price_ns["price_revert"] = price_revert;
    price_ns["revert"] = classmethod_of(nb::cpp_function(
        [](nb::handle cls, nb::handle num) {
            return get_or_none(getattr(cls, KEY("price_revert")), num.ptr());
        },
        nb::name("revert"), nb::arg("cls").none(), nb::arg("num").none()));
    m.attr("PRICETYPE") = make_class(m, "PRICETYPE", object_base, price_ns);
}

} // namespace broker_desk
