// A kit function's signature text, "name(a, b=1, /, *args, c=None, **kwargs)",
// read by the compiler: a text a def would refuse (a name twice, a required
// parameter after one with a default, a default that is no plain literal)
// stops the build, with the reason in the name of the function the error
// points at. At import only the names are interned and the defaults made.
#pragma once

#include "zentaro/pyutil.hpp"

#include <array>
#include <cstddef>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace zentaro {

// Never defined: a call to one of these in a signature being read at compile
// time is the compile error, and its name says what is wrong.
namespace signature_error {
void is_not_a_name_then_a_parenthesised_parameter_list();
void has_a_name_that_is_no_identifier();
void names_a_parameter_twice();
void has_a_required_parameter_after_one_with_a_default();
void has_a_misplaced_slash_or_star();
void has_a_default_that_is_no_plain_literal();
void has_more_parameters_than_the_kit_allows();
void does_not_take_as_many_parameters_as_its_cpp_function();
} // namespace signature_error

// A default written as a literal: None, True, False, numbers, quoted text,
// () and {}.
enum class DefaultKind : unsigned char {
    required,
    none,
    true_value,
    false_value,
    empty_tuple,
    empty_dict,
    text, // `literal` is the text between the quotes, escapes still in
    integer,
    real, // `literal` is the number as written
};

struct ParameterText {
    std::string_view name;
    DefaultKind kind = DefaultKind::required;
    std::string_view literal;
    long long integer = 0;
};

inline constexpr size_t kMaxParameters = 16;

// A signature as the compiler read it; the views point into the text, a
// string literal.
struct SignatureText {
    std::string_view name;
    std::string_view text; // "(a, b=1, *, c=None)", for __text_signature__
    std::array<ParameterText, kMaxParameters> params{}; // without *args/**kwargs
    size_t count = 0;
    ptrdiff_t positional_only = 0;
    ptrdiff_t positional = 0; // positional-only plus positional-or-keyword
    bool var_args = false;
    bool var_kwargs = false;

    constexpr size_t slots() const { return count + var_args + var_kwargs; }
};

namespace detail {

constexpr bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

constexpr std::string_view trim(std::string_view s) {
    while (!s.empty() && is_space(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_space(s.back()))
        s.remove_suffix(1);
    return s;
}

constexpr bool is_identifier(std::string_view s) {
    auto letter = [](char c) {
        return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    };
    if (s.empty() || !letter(s[0]))
        return false;
    for (char c : s)
        if (!letter(c) && !(c >= '0' && c <= '9'))
            return false;
    return true;
}

// The length of the next parameter: up to a comma outside quotes and brackets.
constexpr size_t parameter_length(std::string_view s) {
    int depth = 0;
    char quote = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (quote) {
            if (c == '\\')
                ++i;
            else if (c == quote)
                quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '(' || c == '[' || c == '{') {
            ++depth;
        } else if (c == ')' || c == ']' || c == '}') {
            --depth;
        } else if (c == ',' && depth == 0) {
            return i;
        }
    }
    return s.size();
}

constexpr bool parse_integer(std::string_view s, long long &value) {
    bool negative = !s.empty() && s[0] == '-';
    if (negative)
        s.remove_prefix(1);
    if (s.empty())
        return false;
    value = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    if (negative)
        value = -value;
    return true;
}

constexpr bool is_real(std::string_view s) {
    if (!s.empty() && s[0] == '-')
        s.remove_prefix(1);
    bool digits = false, point = false, exponent = false;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c >= '0' && c <= '9')
            digits = true;
        else if (c == '.' && !point && !exponent)
            point = true;
        else if ((c == 'e' || c == 'E') && digits && !exponent) {
            exponent = true;
            digits = false;
            if (i + 1 < s.size() && (s[i + 1] == '-' || s[i + 1] == '+'))
                ++i;
        } else
            return false;
    }
    return digits;
}

constexpr ParameterText read_default(ParameterText p, std::string_view s) {
    if (s == "None")
        p.kind = DefaultKind::none;
    else if (s == "True")
        p.kind = DefaultKind::true_value;
    else if (s == "False")
        p.kind = DefaultKind::false_value;
    else if (s == "()")
        p.kind = DefaultKind::empty_tuple;
    else if (s == "{}")
        p.kind = DefaultKind::empty_dict;
    else if (s.size() >= 2 && (s[0] == '\'' || s[0] == '"') && s.back() == s[0] &&
             parameter_length(s) == s.size()) {
        p.kind = DefaultKind::text;
        p.literal = s.substr(1, s.size() - 2);
    } else if (parse_integer(s, p.integer))
        p.kind = DefaultKind::integer;
    else if (is_real(s)) {
        p.kind = DefaultKind::real;
        p.literal = s;
    } else
        signature_error::has_a_default_that_is_no_plain_literal();
    return p;
}

// One named parameter, "name" or "name=default".
constexpr ParameterText read_parameter(std::string_view item) {
    ParameterText p;
    size_t eq = item.find('=');
    p.name = trim(item.substr(0, eq));
    if (!is_identifier(p.name))
        signature_error::has_a_name_that_is_no_identifier();
    if (eq != std::string_view::npos)
        p = read_default(p, trim(item.substr(eq + 1)));
    return p;
}

// What a def also refuses: a name twice, a required positional parameter
// after one with a default.
constexpr void check_names(const SignatureText &sig, std::string_view var_args,
                           std::string_view var_kwargs) {
    std::array<std::string_view, kMaxParameters + 2> names{};
    size_t n = 0;
    for (size_t i = 0; i < sig.count; ++i)
        names[n++] = sig.params[i].name;
    if (!var_args.empty())
        names[n++] = var_args;
    if (!var_kwargs.empty())
        names[n++] = var_kwargs;
    for (size_t i = 0; i < n; ++i)
        for (size_t j = i + 1; j < n; ++j)
            if (names[i] == names[j])
                signature_error::names_a_parameter_twice();
    for (ptrdiff_t i = 1; i < sig.positional; ++i)
        if (sig.params[i].kind == DefaultKind::required &&
            sig.params[i - 1].kind != DefaultKind::required)
            signature_error::has_a_required_parameter_after_one_with_a_default();
}

} // namespace detail

// Reads "name(a, b=1, /, *args, c=None, **kwargs)".
consteval SignatureText parse_signature(std::string_view full) {
    SignatureText sig;
    size_t open = full.find('(');
    std::string_view rest = detail::trim(full);
    if (open == std::string_view::npos || rest.empty() || rest.back() != ')')
        signature_error::is_not_a_name_then_a_parenthesised_parameter_list();
    sig.name = detail::trim(full.substr(0, open));
    if (!detail::is_identifier(sig.name))
        signature_error::has_a_name_that_is_no_identifier();
    size_t close = full.rfind(')');
    sig.text = full.substr(open, close - open + 1);
    std::string_view params = full.substr(open + 1, close - open - 1);
    std::string_view var_args, var_kwargs;
    bool keyword_only = false, slash = false, bare_star = false;
    while (!detail::trim(params).empty()) {
        size_t length = detail::parameter_length(params);
        std::string_view item = detail::trim(params.substr(0, length));
        params.remove_prefix(length < params.size() ? length + 1 : length);
        if (!var_kwargs.empty())
            signature_error::has_a_misplaced_slash_or_star(); // **kwargs comes last
        if (item == "/") {
            if (slash || keyword_only || sig.count == 0)
                signature_error::has_a_misplaced_slash_or_star();
            slash = true;
            sig.positional_only = static_cast<ptrdiff_t>(sig.count);
        } else if (item.starts_with("**")) {
            var_kwargs = detail::trim(item.substr(2));
            if (!detail::is_identifier(var_kwargs) || bare_star)
                signature_error::has_a_misplaced_slash_or_star();
            sig.var_kwargs = true;
        } else if (item.starts_with("*")) {
            if (keyword_only)
                signature_error::has_a_misplaced_slash_or_star();
            keyword_only = true;
            if (item == "*") {
                bare_star = true; // a keyword-only parameter must follow
            } else {
                var_args = detail::trim(item.substr(1));
                if (!detail::is_identifier(var_args))
                    signature_error::has_a_name_that_is_no_identifier();
                sig.var_args = true;
            }
        } else {
            if (sig.count == kMaxParameters)
                signature_error::has_more_parameters_than_the_kit_allows();
            sig.params[sig.count++] = detail::read_parameter(item);
            bare_star = false;
            if (!keyword_only)
                sig.positional = static_cast<ptrdiff_t>(sig.count);
        }
    }
    if (bare_star)
        signature_error::has_a_misplaced_slash_or_star();
    detail::check_names(sig, var_args, var_kwargs);
    return sig;
}

// ---- the signature a function binds by, made at import ------------------------

struct Parameter {
    PyObject *name = nullptr;  // interned
    PyObject *value = nullptr; // the default; NULL when required
};

struct Signature {
    std::string_view name;
    std::string_view text;
    std::vector<Parameter> params;
    Py_ssize_t positional_only = 0;
    Py_ssize_t positional = 0;
    bool var_args = false;
    bool var_kwargs = false;
};

namespace detail {

inline PyObject *text_default(std::string_view quoted) {
    std::string body;
    for (size_t i = 0; i < quoted.size(); ++i) {
        if (quoted[i] == '\\' && i + 1 < quoted.size())
            ++i;
        body += quoted[i];
    }
    return PyUnicode_FromStringAndSize(body.data(), static_cast<Py_ssize_t>(body.size()));
}

// Kept for the life of the process, like a def's defaults.
inline PyObject *make_default(const ParameterText &p) {
    switch (p.kind) {
    case DefaultKind::required:
        return nullptr;
    case DefaultKind::none:
        return Py_NewRef(Py_None);
    case DefaultKind::true_value:
        return Py_NewRef(Py_True);
    case DefaultKind::false_value:
        return Py_NewRef(Py_False);
    case DefaultKind::empty_tuple:
        return PyTuple_New(0);
    case DefaultKind::empty_dict:
        return PyDict_New();
    case DefaultKind::text:
        return text_default(p.literal);
    case DefaultKind::integer:
        return PyLong_FromLongLong(p.integer);
    case DefaultKind::real:
        return PyFloat_FromDouble(std::strtod(std::string(p.literal).c_str(), nullptr));
    }
    return nullptr;
}

inline PyObject *interned_view(std::string_view text) {
    PyObject *s = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (!s)
        raise_python_error();
    PyUnicode_InternInPlace(&s);
    return s;
}

} // namespace detail

inline Signature make_signature(const SignatureText &text) {
    Signature sig;
    sig.name = text.name;
    sig.text = text.text;
    sig.positional_only = text.positional_only;
    sig.positional = text.positional;
    sig.var_args = text.var_args;
    sig.var_kwargs = text.var_kwargs;
    sig.params.reserve(text.count);
    for (size_t i = 0; i < text.count; ++i) {
        Parameter param;
        param.name = detail::interned_view(text.params[i].name);
        param.value = detail::make_default(text.params[i]);
        if (!param.value && text.params[i].kind != DefaultKind::required)
            raise_python_error();
        sig.params.push_back(param);
    }
    return sig;
}

} // namespace zentaro
