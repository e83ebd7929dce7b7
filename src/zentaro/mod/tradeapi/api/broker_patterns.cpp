// The exchange tables' patterns, matched without the regex engine.
//
// The exchange tables are regular expressions that users may inspect or
// replace. Matching them through the regex engine for every record would
// dominate the cost of a conversion, so the module's own patterns are matched
// by hand-written equivalents of Python's re.match; any pattern that is not
// one of ours (or a replaced re.match) goes through the regex engine.

#include "broker_desk_state.hpp"

namespace broker_desk {

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

namespace {

// A str as the regex engine sees it for an end anchor: `$` also matches
// just before one final line break.
struct AnchoredText {
    int kind;
    const void *data;
    Py_ssize_t len; // without the final line break
    Py_UCS4 at(Py_ssize_t i) const { return PyUnicode_READ(kind, data, i); }
};

AnchoredText anchored_text(PyObject *s) {
    AnchoredText t{static_cast<int>(PyUnicode_KIND(s)), PyUnicode_DATA(s), PyUnicode_GET_LENGTH(s)};
    if (t.len > 0 && t.at(t.len - 1) == '\n')
        --t.len;
    return t;
}

bool is_decimal(const AnchoredText &t, Py_ssize_t i) {
    Py_UCS4 c = t.at(i);
    return c < 128 ? (c >= '0' && c <= '9') : Py_UNICODE_ISDECIMAL(c);
}

// ^(<first>.+)\.<A><B>$ where <first> is empty or one literal character.
bool dotted_suffix(const AnchoredText &t, Py_UCS4 first, char a, char b) {
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

bool starts(const AnchoredText &t, const char *prefix) {
    Py_ssize_t i = 0;
    for (; prefix[i]; ++i)
        if (i >= t.len || t.at(i) != static_cast<Py_UCS4>(prefix[i]))
            return false;
    return i < t.len; // \d+ needs one digit after the prefix
}

// A text tried against several patterns, with what the digit patterns need
// computed once.
struct TextOnTrial {
    AnchoredText t;
    int decimal = -1; // whether the whole text is decimal digits; -1: not yet known

    explicit TextOnTrial(PyObject *s) : t(anchored_text(s)) {}

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
bool prefixed_digits(TextOnTrial &s, std::initializer_list<const char *> prefixes) {
    if (!s.all_decimal())
        return false;
    for (const char *p : prefixes)
        if (starts(s.t, p))
            return true;
    return false;
}

bool native_match(int id, TextOnTrial &s) {
    const AnchoredText &t = s.t;
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

bool re_matches(nb::handle re_match, nb::handle pattern, nb::handle symbol) {
    return truth(call(re_match, pattern, symbol));
}

// Walks (pattern, value) pairs from `start`: the fall-back for tables that
// are not plain dicts and for patterns only re.match can try.
nb::object walk_pairs(nb::handle iterable, Py_ssize_t start, nb::handle symbol, nb::handle re_match,
                      bool re_native) {
    nb::object it = iterate(iterable);
    Py_ssize_t index = 0;
    while (PyObject *raw = next_item(it)) {
        nb::object pair = nb::steal(raw);
        if (index++ < start)
            continue;
        nb::object pattern = get_item(pair, nb::int_(0).ptr());
        nb::object value = get_item(pair, nb::int_(1).ptr());
        int id = re_native && PyUnicode_Check(symbol.ptr()) ? pattern_id(pattern.ptr()) : -1;
        if (id >= 0) {
            TextOnTrial text(symbol.ptr());
            if (native_match(id, text))
                return value;
        } else if (re_matches(re_match, pattern, symbol)) {
            return value;
        }
    }
    if (PyErr_Occurred())
        raise_python_error();
    return nb::none();
}

} // namespace

int pattern_id(PyObject *pattern) {
    PyObject *const *own = desk().pattern;
    for (int i = 0; i < kPatternCount; ++i)
        if (pattern == own[i])
            return i;
    if (!PyUnicode_CheckExact(pattern))
        return -1;
    for (int i = 0; i < kPatternCount; ++i)
        if (PyUnicode_Compare(pattern, own[i]) == 0)
            return i;
    return -1;
}

int first_match(const int *ids, int count, PyObject *text) {
    TextOnTrial trial(text);
    for (int i = 0; i < count; ++i)
        if (native_match(ids[i], trial))
            return i;
    return -1;
}

// The walk of MARKET.convert and MARKET.revert. Patterns matched natively
// run no Python code, so the dict cannot change under the walk; from the
// first pattern that needs re.match on, the walk goes on over a copy of the
// items.
nb::object walk_table(nb::handle table, nb::handle symbol, nb::handle re_match, bool re_native) {
    if (!PyDict_CheckExact(table.ptr()))
        return walk_pairs(zentaro::call_method(table, desk().names.items), 0, symbol, re_match,
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
        TextOnTrial trial(symbol.ptr());
        if (native_match(id, trial))
            return nb::borrow(value);
        ++index;
    }
    return nb::none();
}

nb::object current_re_match(bool *native) {
    nb::object match = get_attr(module_global(desk().names.re), desk().names.match);
    *native = match.ptr() == desk().real_re_match;
    return match;
}

} // namespace broker_desk
