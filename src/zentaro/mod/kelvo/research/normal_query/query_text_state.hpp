// The state of the query_text module: one struct, reached through query_state().
// Its life at exit and fork: zentaro/process_state.hpp.
#pragma once

#include <vector>

#include "zentaro/process_state.hpp"
#include "zentaro/state.hpp"

namespace query_text {

using zentaro::interned;

// The names the module's code looks up, each an identifier spelt as it is.
// clang-format off
#define QUERY_TEXT_NAMES(X) \
    X(_encode) X(_limit) X(_offset) X(append) X(fields) X(filters) X(key) X(name) X(Number)
// clang-format on

// The names spelt otherwise than their members (texts, dunders, keywords).
// clang-format off
#define QUERY_TEXT_SPELT_NAMES(X) \
    X(close_bracket, "]") X(close_paren, ")") X(comma, ", ") X(complex_open, "complex(") \
    X(dot, ".") X(dunder_getattr, "__getattr__") X(dunder_init, "__init__") \
    X(dunder_str, "__str__") X(empty, "") X(filter_open, ").filter(") X(limit_open, ".limit(") \
    X(offset_open, ".offset(") X(open_bracket, "[") X(query_open, "query(") \
    X(register_, "register")
// clang-format on

struct QueryNames {
    QUERY_TEXT_NAMES(ZT_NAME_MEMBER)
    QUERY_TEXT_SPELT_NAMES(ZT_SPELT_NAME_MEMBER)
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

// The module's state.
inline QueryState &query_state() {
    return zentaro::process_state<QueryState>();
}

} // namespace query_text
