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
    kConvertSz,
    kConvertSh,
    kConvertOf1,
    kConvertOf5,
    kConvertBj,
    kRevertSz,
    kRevertSh,
    kRevertBj,
    kPatternCount
};

const char *const kPatternText[kPatternCount] = {
    "^(.+)\\.SZ$",
    "^(.+)\\.SH$",
    "^(1.+)\\.OF$",
    "^(5.+)\\.OF$",
    "^(.+)\\.BJ$",
    "^(00|12|30|15|16|17|18)\\d+$",
    "^(11|60|688|689|5)\\d+$",
    "^(4|8|9)\\d+$",
};
PyObject *pattern_obj[kPatternCount];  // kept for the life of the process
PyObject *revert_value[kPatternCount]; // re_revert's values as installed, by pattern

// Members of SIDE by value; values outside belong to no member.
constexpr int kSideSpan = 17;
const char *const kSideMember[kSideSpan] = {"BUY",
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
PyObject *side_name_obj[kSideSpan];

// Identity of this module's own objects, for choosing the native paths.
// Owned, so that a freed object's address can never pass for one of them.
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
    if (t.at(dot) != '.' || t.at(dot + 1) != static_cast<Py_UCS4>(a) ||
        t.at(dot + 2) != static_cast<Py_UCS4>(b))
        return false;
    for (Py_ssize_t i = head; i < dot; ++i)
        if (t.at(i) == '\n')
            return false;
    return true;
}

bool starts(const Text &t, const char *prefix) {
    Py_ssize_t i = 0;
    for (; prefix[i]; ++i)
        if (i >= t.len || t.at(i) != static_cast<Py_UCS4>(prefix[i]))
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
    case kConvertSz:
        return dotted_suffix(t, 0, 'S', 'Z');
    case kConvertSh:
        return dotted_suffix(t, 0, 'S', 'H');
    case kConvertOf1:
        return dotted_suffix(t, '1', 'O', 'F');
    case kConvertOf5:
        return dotted_suffix(t, '5', 'O', 'F');
    case kConvertBj:
        return dotted_suffix(t, 0, 'B', 'J');
    case kRevertSz:
        return prefixed_digits(s, {"00", "12", "30", "15", "16", "17", "18"});
    case kRevertSh:
        return prefixed_digits(s, {"11", "60", "688", "689", "5"});
    case kRevertBj:
        return prefixed_digits(s, {"4", "8", "9"});
    }
    return false;
}

int pattern_id(PyObject *pattern) {
    for (int i = 0; i < kPatternCount; ++i)
        if (pattern == pattern_obj[i])
            return i;
    if (!PyUnicode_CheckExact(pattern))
        return -1;
    for (int i = 0; i < kPatternCount; ++i)
        if (PyUnicode_Compare(pattern, pattern_obj[i]) == 0)
            return i;
    return -1;
}

bool re_matches(nb::handle re_match, nb::handle pattern, nb::handle symbol) {
    return truth(call(re_match, pattern, symbol));
}

// Walks (pattern, value) pairs from `start`: the fall-back for tables that
// are not plain dicts and for patterns only re.match can try.
nb::object walk_pairs(nb::handle iterable, Py_ssize_t start, nb::handle symbol, nb::handle re_match,
                      bool re_native) {
    nb::object it = steal_or_raise(PyObject_GetIter(iterable.ptr()));
    Py_ssize_t index = 0;
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object pair = nb::steal(raw);
        if (index++ < start)
            continue;
        nb::object pattern = getitem(pair, nb::int_(0).ptr());
        nb::object value = getitem(pair, nb::int_(1).ptr());
        int id = re_native && PyUnicode_Check(symbol.ptr()) ? pattern_id(pattern.ptr()) : -1;
        if (id >= 0) {
            Subject subject(symbol.ptr());
            if (native_match(id, subject))
                return value;
        } else if (re_matches(re_match, pattern, symbol)) {
            return value;
        }
    }
    if (PyErr_Occurred())
        raise_python_error();
    return nb::none();
}

// First value whose pattern matches `symbol`, else None: the walk of
// MARKET.convert and MARKET.revert. Patterns matched natively run no Python
// code, so the dict cannot change under the walk; from the first pattern that
// needs re.match on, the walk goes on over a copy of the items.
nb::object walk_table(nb::handle table, nb::handle symbol, nb::handle re_match, bool re_native) {
    if (!PyDict_CheckExact(table.ptr()))
        return walk_pairs(zentaro::call_method(table, ZT_NAME("items")), 0, symbol, re_match,
                          re_native);
    bool text = re_native && PyUnicode_Check(symbol.ptr());
    Py_ssize_t pos = 0, index = 0;
    PyObject *pattern, *value;
    while (PyDict_Next(table.ptr(), &pos, &pattern, &value)) {
        int id = text ? pattern_id(pattern) : -1;
        if (id < 0) {
            nb::object items = steal_or_raise(PyDict_Items(table.ptr()));
            return walk_pairs(items, index, symbol, re_match, re_native);
        }
        Subject subject(symbol.ptr());
        if (native_match(id, subject))
            return nb::borrow(value);
        ++index;
    }
    return nb::none();
}

// re.match as the module sees it now, and whether it is the real one.
nb::object current_re_match(bool *native) {
    nb::object match = get_attr(zentaro::global(ZT_NAME("re")), ZT_NAME("match"));
    *native = match.ptr() == real_re_match;
    return match;
}

nb::object market_lookup(nb::handle cls, PyObject *table, nb::handle symbol) {
    bool native = false;
    nb::object match = current_re_match(&native);
    return walk_table(get_attr(cls, table), symbol, match, native);
}

nb::object native_side(nb::handle num) {
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(num.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred())
        raise_python_error();
    if (!overflow && v >= 0 && v < kSideSpan && side_name_obj[v])
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
    return get_attr(keep, ZT_NAME("name"));
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
    bool has_date = truth(date);
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
    if (!truth(market))
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

namespace {

bool plain_dict_type(nb::handle obj) {
    if (!PyType_Check(obj.ptr()) || Py_TYPE(obj.ptr()) != &PyType_Type)
        return false;
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(obj.ptr());
    return PyType_IsSubtype(type, &PyDict_Type) && type->tp_new == PyDict_Type.tp_new &&
           type->tp_init == PyDict_Type.tp_init;
}

bool same_text(nb::handle value, PyObject *own) {
    return value.ptr() == own ||
           (PyUnicode_CheckExact(value.ptr()) && PyUnicode_Compare(value.ptr(), own) == 0);
}

// Takes the table's patterns once for the whole call when every one of them
// is ours: each record then needs no walk of the table.
void plan_table(Translators &tr) {
    PyObject *table = tr.market_table.ptr();
    if (!PyDict_CheckExact(table) || PyDict_GET_SIZE(table) > Translators::kPlanLimit)
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
        tr.plan_own = tr.plan_pattern[i] == kRevertSz + i &&
                      same_text(tr.plan_value[i], revert_value[kRevertSz + i]);
}

bool is_own_method(nb::handle bound, PyObject *cls, PyObject *fn) {
    return PyMethod_Check(bound.ptr()) && PyMethod_GET_SELF(bound.ptr()) == cls &&
           PyMethod_GET_FUNCTION(bound.ptr()) == fn;
}

} // namespace

Translators resolve_translators(nb::handle api, bool with_pricetype) {
    Translators tr;
    tr.re_match = current_re_match(&tr.re_native);
    nb::object market = get_attr(api, ZT_NAME("MARKET"));
    tr.market_revert = get_attr(market, ZT_NAME("revert"));
    tr.market_native = is_own_method(tr.market_revert, own_market_class, own_market_revert);
    if (tr.market_native) {
        tr.market_table = get_attr(market, ZT_NAME("re_revert"));
        if (tr.re_native)
            plan_table(tr);
    }
    nb::object side = get_attr(api, ZT_NAME("SIDE"));
    tr.side_revert = get_attr(side, ZT_NAME("revert"));
    tr.side_native = is_own_method(tr.side_revert, own_side_class, own_side_revert);
    if (with_pricetype)
        tr.pricetype_revert = get_attr(get_attr(api, ZT_NAME("PRICETYPE")), ZT_NAME("revert"));
    tr.timestamp = get_attr(zentaro::global(ZT_NAME("pd")), ZT_NAME("Timestamp"));
    tr.timestamp_cached = tr.timestamp.ptr() == real_timestamp;
    tr.round_fn = zentaro::global(ZT_NAME("round"));
    tr.round_native = tr.round_fn.ptr() == builtin_round;
    tr.record_type = zentaro::global(ZT_NAME("NameDict"));
    tr.record_fast = plain_dict_type(tr.record_type);
    return tr;
}

// ---- the tables as module classes ----

namespace {

nb::object ordered_table(std::initializer_list<std::pair<int, nb::object>> rows) {
    nb::dict table;
    for (auto &[id, value] : rows)
        table[nb::handle(pattern_obj[id])] = value;
    return table;
}

nb::object market_convert(nb::handle cls, nb::handle symbol) {
    return market_lookup(cls, ZT_NAME("re_convert"), symbol);
}

nb::object market_revert(nb::handle cls, nb::handle symbol) {
    return market_lookup(cls, ZT_NAME("re_revert"), symbol);
}

nb::object pricetype_revert(nb::handle cls, nb::handle num) {
    return get_or_none(get_attr(cls, ZT_NAME("price_revert")), num.ptr());
}

nb::handle classmethod_type() {
    return zentaro::builtin_type(&PyClassMethod_Type);
}

// Owned for the life of the process: compared by identity on every call.
PyObject *owned_for_life(nb::handle obj) {
    return nb::borrow(obj).release().ptr();
}

void prepare_codes() {
    for (int i = 0; i < kPatternCount; ++i)
        pattern_obj[i] = steal_or_raise(PyUnicode_FromString(kPatternText[i])).release().ptr();
    for (int i = 0; i < kSideSpan; ++i)
        side_name_obj[i] = kSideMember[i] ? interned(kSideMember[i]) : nullptr;
    real_re_match = owned_for_life(get_attr(zentaro::import("re"), ZT_NAME("match")));
    real_timestamp = owned_for_life(get_attr(zentaro::global(ZT_NAME("pd")), ZT_NAME("Timestamp")));
    builtin_round = owned_for_life(get_attr(zentaro::import("builtins"), ZT_NAME("round")));
    empty_tuple = steal_or_raise(PyTuple_New(0)).release().ptr();
    const char *suffixes[] = {"SZ", "SH", "BJ"};
    for (int i = 0; i < 3; ++i)
        revert_value[kRevertSz + i] = interned(suffixes[i]);
}

void install_side(nb::module_ &m) {
    nb::object mixin = zentaro::ClassBuilder(m, "SideMixin")
                           .def<side_revert>("revert(cls, num)",
                                             "Return the name of the member whose value is num, "
                                             "or num itself when no member has it.")
                           .wrap("revert", classmethod_type())
                           .finish("Reverse lookup of an enumeration's members by value.");
    m.attr("SideMixin") = mixin;
    nb::list members;
    for (int i = 0; i < kSideSpan; ++i)
        if (kSideMember[i])
            members.append(nb::make_tuple(nb::str(kSideMember[i]), nb::int_(i)));
    nb::object side = zentaro::global(ZT_NAME("Enum"))(
        nb::str("SIDE"), members, nb::arg("module").none() = m.attr("__name__"),
        nb::arg("qualname").none() = "SIDE", nb::arg("type").none() = mixin);
    set_attr(side, ZT_NAME("__doc__"), nb::str("Order sides of the broker's answers."));
    m.attr("SIDE") = side;
    own_side_class = owned_for_life(side);
    own_side_revert = owned_for_life(get_attr(side, ZT_NAME("revert")).attr("__func__"));
}

void install_market(nb::module_ &m) {
    nb::object market =
        zentaro::ClassBuilder(m, "MARKET")
            .attr("re_convert", ordered_table({{kConvertSz, nb::int_(1)},
                                               {kConvertSh, nb::int_(2)},
                                               {kConvertOf1, nb::int_(1)},
                                               {kConvertOf5, nb::int_(2)},
                                               {kConvertBj, nb::int_(3)}}))
            .attr("re_revert", ordered_table({{kRevertSz, nb::borrow(revert_value[kRevertSz])},
                                              {kRevertSh, nb::borrow(revert_value[kRevertSh])},
                                              {kRevertBj, nb::borrow(revert_value[kRevertBj])}}))
            .def<market_convert>("convert(cls, symbol)",
                                 "Return the market number of the first re_convert pattern "
                                 "that matches symbol, or None.")
            .wrap("convert", classmethod_type())
            .def<market_revert>("revert(cls, symbol)",
                                "Return the exchange suffix of the first re_revert pattern "
                                "that matches symbol, or None.")
            .wrap("revert", classmethod_type())
            .finish("Exchanges: qualified symbols to market numbers and bare codes to "
                    "exchange suffixes.");
    m.attr("MARKET") = market;
    own_market_class = owned_for_life(market);
    own_market_revert = owned_for_life(get_attr(market, ZT_NAME("revert")).attr("__func__"));
}

void install_pricetype(nb::module_ &m) {
    nb::dict price_revert;
    price_revert[nb::int_(0)] = nb::str("限价单");
    price_revert[nb::int_(3)] = nb::str("市价单");
    m.attr("PRICETYPE") =
        zentaro::ClassBuilder(m, "PRICETYPE")
            .attr("price_revert", price_revert)
            .def<pricetype_revert>("revert(cls, num)",
                                   "Return the display text of a price-type number, or None.")
            .wrap("revert", classmethod_type())
            .finish("Price types of the broker's answers and their display texts.");
}

} // namespace

void install_codes(nb::module_ &m) {
    prepare_codes();
    install_side(m);
    install_market(m);
    install_pricetype(m);
}

} // namespace broker_desk
