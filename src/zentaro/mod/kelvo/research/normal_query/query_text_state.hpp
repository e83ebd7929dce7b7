// The state of the query_text module: one struct, reached through query_state().
//
// Exit: made once on the heap and never deleted, so no destructor runs at
// exit (a thread parked there may still hold a pointer into it); its
// references are kept for the life of the process, like interned names.
// Made on first use, which is under the GIL (module init or a call).
// Fork: a child inherits it as it is; it holds nothing a child must renew.
#pragma once

#include <vector>

#include "zentaro/pyutil.hpp"
#include "zentaro/state.hpp"

namespace query_text {

using zentaro::interned;

// The names the module's code looks up, each an identifier spelt as it is.
// clang-format off
#define QUERY_TEXT_NAMES(X) \
    X(_encode) X(_limit) X(_offset) X(append) X(fields) X(filters) X(key) X(name) X(Number)
// clang-format on

struct QueryNames {
#define QUERY_TEXT_NAMES_DECLARE(name) PyObject *const name = interned(#name);
    QUERY_TEXT_NAMES(QUERY_TEXT_NAMES_DECLARE)
#undef QUERY_TEXT_NAMES_DECLARE
    PyObject *const close_bracket = interned("]");
    PyObject *const close_paren = interned(")");
    PyObject *const comma = interned(", ");
    PyObject *const complex_open = interned("complex(");
    PyObject *const dot = interned(".");
    PyObject *const dunder_getattr = interned("__getattr__");
    PyObject *const dunder_init = interned("__init__");
    PyObject *const dunder_str = interned("__str__");
    PyObject *const empty = interned("");
    PyObject *const filter_open = interned(").filter(");
    PyObject *const limit_open = interned(".limit(");
    PyObject *const offset_open = interned(".offset(");
    PyObject *const open_bracket = interned("[");
    PyObject *const query_open = interned("query(");
    PyObject *const register_ = interned("register");
};

struct QueryState {
    QueryNames names;
    // The objects the classes were born with: strong references taken at
    // module init and dropped at interpreter exit, each compared by identity
    // only, so that a fast path steps aside once a user replaces one.
    struct Natives {
        PyObject *attr_cls = nullptr;      // StrModelAttr
        PyObject *attr_init = nullptr;     // StrModelAttr.__init__
        PyObject *attr_str = nullptr;      // StrModelAttr.__str__
        PyObject *encode = nullptr;        // StrModelAttr._encode
        PyObject *model_getattr = nullptr; // StrModel.__getattr__
        PyObject *std_number = nullptr;    // numbers.Number
        PyObject *std_iterable = nullptr;  // collections.abc.Iterable
    } natives;
    // Read for every condition value or field read; replacing one is seen at once.
    zentaro::CachedAttr numbers_attr{"numbers"};
    zentaro::CachedAttr iterable_attr{"Iterable"};
    zentaro::CachedAttr field_class_attr{"StrModelAttr"};
    // Each field condition's operator and closing text as str, made at
    // module init in the order of the builders' table.
    struct ConditionTexts {
        PyObject *op = nullptr;
        PyObject *tail = nullptr;
    };
    std::vector<ConditionTexts> condition_texts;
};

// The module's state. Each extension module is its own shared object with
// hidden symbols, so this is query_text's alone.
inline QueryState &query_state() {
    static QueryState *const state = new QueryState();
    return *state;
}

} // namespace query_text
