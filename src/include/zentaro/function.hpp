// The one way the kit makes functions and methods.
//
// A kit function is an object of a small function type that behaves like a
// Python function: it binds as a method (a real bound method, so two
// `obj.m` compare and hash equal, weak references and WeakMethod work), it
// carries __name__, __qualname__, __module__, __doc__ and attributes in a
// __dict__ (functools.wraps works), and inspect.signature reads its
// parameters from __text_signature__. Calls go through vectorcall, and the
// interpreter calls `obj.m(...)` without creating the bound method at all
// (the type is a method descriptor).
//
// The C++ side is a plain function whose parameters are all nb::handle (or
// nb::object): first the named parameters of the signature text in order,
// then the *args tuple and the **kwargs dict when the signature has them. A
// first parameter of type Closure receives the data object the function was
// made with.
// A function whose signature is "name(*args, **kwargs)" may take one
// ForwardedCall instead: the arguments exactly as the interpreter passed them.
//
//   nb::object login(nb::handle self, nb::handle username, nb::handle password);
//   ClassBuilder(m, "APIClient")
//       .def<login>("login(self, username, password)", "Log in and store the token.")
#pragma once

#include "zentaro/pyutil.hpp"

#include <cstring>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include <structmember.h>

namespace zentaro {

// ---- signatures --------------------------------------------------------------

struct Parameter {
    PyObject *name = nullptr;  // interned
    PyObject *value = nullptr; // the default; NULL when required
};

struct Signature {
    std::string name;
    std::string text;              // "(a, b=1, *, c=None)", for __text_signature__
    std::vector<Parameter> params; // named parameters, without *args/**kwargs
    Py_ssize_t positional_only = 0;
    Py_ssize_t positional = 0; // positional-only plus positional-or-keyword
    bool var_args = false;
    bool var_kwargs = false;

    size_t slots() const { return params.size() + var_args + var_kwargs; }
};

namespace detail {

inline std::string trim(std::string s) {
    size_t b = s.find_first_not_of(" \t\n"), e = s.find_last_not_of(" \t\n");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// Splits at top-level commas; quotes and brackets nest.
inline std::vector<std::string> split_params(const std::string &text) {
    std::vector<std::string> out;
    std::string cur;
    int depth = 0;
    char quote = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (quote) {
            cur += c;
            if (c == '\\' && i + 1 < text.size())
                cur += text[++i];
            else if (c == quote)
                quote = 0;
            continue;
        }
        if (c == '\'' || c == '"')
            quote = c;
        else if (c == '(' || c == '[' || c == '{')
            ++depth;
        else if (c == ')' || c == ']' || c == '}')
            --depth;
        if (c == ',' && depth == 0) {
            out.push_back(trim(cur));
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!trim(cur).empty())
        out.push_back(trim(cur));
    return out;
}

// A default written as a literal: None, True, False, numbers, quoted text,
// () and {}. Kept for the life of the process, like a def's defaults.
inline PyObject *parse_literal(const std::string &text) {
    if (text == "None")
        return Py_NewRef(Py_None);
    if (text == "True")
        return Py_NewRef(Py_True);
    if (text == "False")
        return Py_NewRef(Py_False);
    if (text == "()")
        return PyTuple_New(0);
    if (text == "{}")
        return PyDict_New();
    if (text.size() >= 2 && (text[0] == '\'' || text[0] == '"') && text.back() == text[0]) {
        std::string body;
        for (size_t i = 1; i + 1 < text.size(); ++i) {
            if (text[i] == '\\' && i + 2 < text.size())
                ++i;
            body += text[i];
        }
        return PyUnicode_FromStringAndSize(body.data(), static_cast<Py_ssize_t>(body.size()));
    }
    char *end = nullptr;
    long long integer = std::strtoll(text.c_str(), &end, 10);
    if (end && *end == '\0' && !text.empty())
        return PyLong_FromLongLong(integer);
    double real = std::strtod(text.c_str(), &end);
    if (end && *end == '\0' && !text.empty())
        return PyFloat_FromDouble(real);
    throw std::invalid_argument("unsupported default in signature: " + text);
}

} // namespace detail

// Parses "name(a, b=1, /, *args, c=None, **kwargs)".
inline Signature parse_signature(const char *text) {
    Signature sig;
    std::string s(text);
    size_t open = s.find('('), close = s.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        throw std::invalid_argument(std::string("bad signature: ") + text);
    sig.name = detail::trim(s.substr(0, open));
    sig.text = s.substr(open, close - open + 1);
    bool keyword_only = false;
    for (const std::string &p : detail::split_params(s.substr(open + 1, close - open - 1))) {
        if (p == "/") {
            sig.positional_only = static_cast<Py_ssize_t>(sig.params.size());
        } else if (p == "*") {
            keyword_only = true;
        } else if (p.rfind("**", 0) == 0) {
            sig.var_kwargs = true;
        } else if (p[0] == '*') {
            sig.var_args = true;
            keyword_only = true;
        } else {
            Parameter param;
            size_t eq = p.find('=');
            std::string pname = detail::trim(p.substr(0, eq));
            param.name = interned(pname.c_str());
            if (eq != std::string::npos) {
                param.value = detail::parse_literal(detail::trim(p.substr(eq + 1)));
                if (!param.value)
                    raise_python_error();
            }
            sig.params.push_back(param);
            if (!keyword_only)
                sig.positional = static_cast<Py_ssize_t>(sig.params.size());
        }
    }
    return sig;
}

// ---- the function type ----------------------------------------------------------

// The data object of a closure function, as its C++ body receives it.
struct Closure {
    nb::handle data;
};

// The call exactly as the interpreter made it, for a function that forwards
// every argument unchanged (a decorator's `wrapper(*args, **kwargs)`): no
// tuple or dict is built. The pointers are the caller's, valid for the call.
struct ForwardedCall {
    PyObject *const *args;
    Py_ssize_t nargs;
    PyObject *kwnames;
};

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    const Signature *sig; // owned; made once per function
    PyObject *data;       // closure data or NULL
    PyObject *dict;
    PyObject *weakrefs;
};

namespace detail {

inline FunctionObject *as_function(PyObject *op) {
    return reinterpret_cast<FunctionObject *>(op);
}

inline PyObject *dict_item(PyObject *self, const char *key) {
    PyObject *dict = as_function(self)->dict;
    return dict ? PyDict_GetItemString(dict, key) : nullptr; // borrowed
}

inline PyObject *function_get(PyObject *self, PyObject *obj, PyObject *) {
    if (!obj || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

inline PyObject *function_repr(PyObject *self) {
    PyObject *name = dict_item(self, "__qualname__");
    if (name && PyUnicode_Check(name))
        return PyUnicode_FromFormat("<function %U at %p>", name, self);
    return PyUnicode_FromFormat("<function at %p>", self);
}

// Pickled (and copied) by reference, like a Python function.
inline PyObject *function_reduce(PyObject *self, PyObject *) {
    PyObject *name = dict_item(self, "__qualname__");
    if (!name) {
        PyErr_SetString(PyExc_TypeError, "cannot pickle a function without __qualname__");
        return nullptr;
    }
    return Py_NewRef(name);
}

// The parameters the function binds by, read from the type (not the
// instance dict): functools.wraps copies a wrapped function's dict onto its
// wrapper, and the wrapper must still show its own parameters.
inline PyObject *function_text_signature(PyObject *self, void *) {
    const std::string &text = as_function(self)->sig->text;
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

inline int function_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(as_function(self)->data);
    Py_VISIT(as_function(self)->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

inline int function_clear(PyObject *self) {
    Py_CLEAR(as_function(self)->data);
    Py_CLEAR(as_function(self)->dict);
    return 0;
}

inline void function_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs)
        PyObject_ClearWeakRefs(self);
    function_clear(self);
    delete as_function(self)->sig;
    type->tp_free(self);
    Py_DECREF(type);
}

inline PyTypeObject *make_function_type() {
    static PyMethodDef methods[] = {
        {"__reduce__", function_reduce, METH_NOARGS, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyMemberDef members[] = {
        {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
        {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
        {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY,
         nullptr},
        {nullptr, 0, 0, 0, nullptr},
    };
    static PyGetSetDef getset[] = {
        {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
        {"__text_signature__", function_text_signature, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_descr_get, reinterpret_cast<void *>(function_get)},
        {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
        {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
        {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
        {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
        {Py_tp_methods, methods},
        {Py_tp_members, members},
        {Py_tp_getset, getset},
        {0, nullptr},
    };
    static PyType_Spec layout = {
        "zentaro.function",
        sizeof(FunctionObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
            Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };
    return reinterpret_cast<PyTypeObject *>(
        steal_or_raise(PyType_FromSpec(&layout)).release().ptr());
}

// ---- argument binding ---------------------------------------------------------

inline PyObject *display_name(PyObject *callable) {
    PyObject *name = dict_item(callable, "__qualname__");
    return name ? name : dict_item(callable, "__name__");
}

inline void missing_error(PyObject *callable, const Signature &sig, PyObject **slots,
                          bool keyword_only) {
    std::vector<PyObject *> names;
    size_t begin = keyword_only ? static_cast<size_t>(sig.positional) : 0;
    size_t end = keyword_only ? sig.params.size() : static_cast<size_t>(sig.positional);
    for (size_t i = begin; i < end; ++i)
        if (!slots[i] && !sig.params[i].value)
            names.push_back(sig.params[i].name);
    std::string list;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i)
            list += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        list.append("'").append(PyUnicode_AsUTF8(names[i])).append("'");
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required %s argument%s: %s",
                 display_name(callable), static_cast<Py_ssize_t>(names.size()),
                 keyword_only ? "keyword-only" : "positional", names.size() == 1 ? "" : "s",
                 list.c_str());
}

// The parameter a keyword names, among those a keyword may fill (the
// positional-only ones excluded); -1 when none does.
inline Py_ssize_t find_param(const Signature &sig, PyObject *key) {
    const size_t first = static_cast<size_t>(sig.positional_only);
    for (size_t i = first; i < sig.params.size(); ++i)
        if (sig.params[i].name == key)
            return static_cast<Py_ssize_t>(i);
    for (size_t i = first; i < sig.params.size(); ++i)
        if (PyUnicode_Compare(sig.params[i].name, key) == 0)
            return static_cast<Py_ssize_t>(i);
    if (PyErr_Occurred())
        PyErr_Clear();
    return -1;
}

// A keyword that names positional-only parameters, with no **kwargs to take
// it: the interpreter's message lists every such keyword of the call.
inline bool positional_only_as_keyword(PyObject *callable, const Signature &sig,
                                       PyObject *kwnames) {
    std::string names;
    Py_ssize_t count = 0;
    for (Py_ssize_t p = 0; p < sig.positional_only; ++p)
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            if (PyUnicode_Compare(sig.params[p].name, key) != 0)
                continue;
            names.append(count++ ? ", " : "").append(PyUnicode_AsUTF8(key));
        }
    if (PyErr_Occurred())
        PyErr_Clear();
    if (!count)
        return false;
    PyErr_Format(PyExc_TypeError,
                 "%U() got some positional-only arguments passed as keyword argument%s: '%s'",
                 display_name(callable), count > 1 ? "s" : "", names.c_str());
    return true;
}

// Sets the interpreter's TypeError for more positional arguments than the
// signature takes (no C++ exception: this runs outside any guard).
inline void too_many_positional(PyObject *callable, const Signature &sig, PyObject **slots,
                                Py_ssize_t given) {
    Py_ssize_t defaults = 0, kwonly_given = 0;
    for (Py_ssize_t i = 0; i < sig.positional; ++i)
        defaults += sig.params[i].value != nullptr;
    for (size_t i = static_cast<size_t>(sig.positional); i < sig.params.size(); ++i)
        kwonly_given += slots[i] != nullptr;
    PyObject *takes = defaults ? PyUnicode_FromFormat("from %zd to %zd", sig.positional - defaults,
                                                      sig.positional)
                               : PyUnicode_FromFormat("%zd", sig.positional);
    if (!takes)
        return;
    PyObject *kwonly = kwonly_given
                           ? PyUnicode_FromFormat(
                                 " positional argument%s (and %zd keyword-only argument%s)",
                                 given != 1 ? "s" : "", kwonly_given, kwonly_given != 1 ? "s" : "")
                           : PyUnicode_FromString("");
    if (kwonly)
        PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given",
                     display_name(callable), takes, defaults || sig.positional != 1 ? "s" : "",
                     given, kwonly, given == 1 && !kwonly_given ? "was" : "were");
    Py_DECREF(takes);
    Py_XDECREF(kwonly);
}

// Fills `slots` (borrowed references, valid for the call) the way Python
// binds a call to a def; *args and **kwargs land in `extra` (owned). The
// checks come in the interpreter's order, so that each misuse gets the
// message a def would give: keywords first (multiple values, unexpected
// names), then the count of positional arguments, then what is missing.
inline bool bind_arguments(PyObject *callable, const Signature &sig, PyObject *const *args,
                           Py_ssize_t nargs, PyObject *kwnames, PyObject **slots,
                           nb::object *extra) {
    const size_t named = sig.params.size();
    Py_ssize_t taken = nargs < sig.positional ? nargs : sig.positional;
    for (Py_ssize_t i = 0; i < taken; ++i)
        slots[i] = args[i];
    size_t next = named;
    if (sig.var_args) {
        PyObject *rest = PyTuple_New(nargs - taken);
        if (!rest)
            return false;
        for (Py_ssize_t i = taken; i < nargs; ++i)
            PyTuple_SET_ITEM(rest, i - taken, Py_NewRef(args[i]));
        extra[0] = nb::steal(rest);
        slots[next++] = rest;
    }
    PyObject *kwargs = nullptr;
    if (sig.var_kwargs) {
        kwargs = PyDict_New();
        if (!kwargs)
            return false;
        extra[1] = nb::steal(kwargs);
        slots[next] = kwargs;
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        PyObject *value = args[nargs + k];
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", display_name(callable));
            return false;
        }
        Py_ssize_t i = find_param(sig, key);
        if (i >= 0) {
            if (slots[i]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%U'",
                             display_name(callable), key);
                return false;
            }
            slots[i] = value;
        } else if (kwargs) {
            if (PyDict_SetItem(kwargs, key, value) < 0)
                return false;
        } else {
            if (!positional_only_as_keyword(callable, sig, kwnames))
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'",
                             display_name(callable), key);
            return false;
        }
    }
    if (nargs > sig.positional && !sig.var_args) {
        too_many_positional(callable, sig, slots, nargs);
        return false;
    }
    for (size_t i = 0; i < named; ++i) {
        if (slots[i])
            continue;
        if (!sig.params[i].value) {
            missing_error(callable, sig, slots, static_cast<Py_ssize_t>(i) >= sig.positional);
            return false;
        }
        slots[i] = sig.params[i].value;
    }
    return true;
}

template <typename> struct fn_traits;
template <typename R, typename... A> struct fn_traits<R (*)(A...)> {
    using result = R;
    using args = std::tuple<A...>;
    static constexpr size_t arity = sizeof...(A);
};

template <typename Fn> constexpr bool takes_closure() {
    using traits = fn_traits<Fn>;
    if constexpr (traits::arity == 0)
        return false;
    else
        return std::is_same_v<std::tuple_element_t<0, typename traits::args>, Closure>;
}

template <typename Fn> constexpr bool forwards_call() {
    using traits = fn_traits<Fn>;
    if constexpr (traits::arity == 0)
        return false;
    else
        return std::is_same_v<std::tuple_element_t<traits::arity - 1, typename traits::args>,
                              ForwardedCall>;
}

template <typename T> T argument(PyObject *obj) {
    using U = std::decay_t<T>;
    if constexpr (std::is_same_v<U, nb::handle>)
        return nb::handle(obj);
    else
        return nb::borrow<U>(obj);
}

template <typename R> PyObject *to_python(R &&value) {
    using U = std::decay_t<R>;
    if constexpr (std::is_same_v<U, bool>)
        return Py_NewRef(value ? Py_True : Py_False);
    else if constexpr (std::is_same_v<U, nb::handle>)
        return Py_NewRef(value.ptr() ? value.ptr() : Py_None);
    else if constexpr (std::is_base_of_v<nb::object, U>)
        return value.is_valid() ? value.release().ptr() : Py_NewRef(Py_None);
    else
        return nb::cast(std::forward<R>(value)).release().ptr();
}

template <auto Fn, size_t Offset, size_t... I>
PyObject *invoke(PyObject *callable, PyObject **slots, std::index_sequence<I...>) {
    using traits = fn_traits<decltype(Fn)>;
    using args = typename traits::args;
    return guarded([&]() -> PyObject * {
        if constexpr (Offset == 1) {
            Closure closure{nb::handle(as_function(callable)->data)};
            if constexpr (std::is_void_v<typename traits::result>) {
                Fn(closure, argument<std::tuple_element_t<I + 1, args>>(slots[I])...);
                return Py_NewRef(Py_None);
            } else {
                return to_python(
                    Fn(closure, argument<std::tuple_element_t<I + 1, args>>(slots[I])...));
            }
        } else if constexpr (std::is_void_v<typename traits::result>) {
            Fn(argument<std::tuple_element_t<I, args>>(slots[I])...);
            return Py_NewRef(Py_None);
        } else {
            return to_python(Fn(argument<std::tuple_element_t<I, args>>(slots[I])...));
        }
    });
}

// A function that takes the call as it came: no binding.
template <auto Fn, size_t Offset> PyObject *forward(PyObject *callable, ForwardedCall call) {
    using traits = fn_traits<decltype(Fn)>;
    return guarded([&]() -> PyObject * {
        if constexpr (Offset == 1) {
            Closure closure{nb::handle(as_function(callable)->data)};
            if constexpr (std::is_void_v<typename traits::result>) {
                Fn(closure, call);
                return Py_NewRef(Py_None);
            } else {
                return to_python(Fn(closure, call));
            }
        } else if constexpr (std::is_void_v<typename traits::result>) {
            Fn(call);
            return Py_NewRef(Py_None);
        } else {
            return to_python(Fn(call));
        }
    });
}

template <auto Fn>
PyObject *vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    using traits = fn_traits<decltype(Fn)>;
    constexpr size_t offset = takes_closure<decltype(Fn)>() ? 1 : 0;
    if constexpr (forwards_call<decltype(Fn)>()) {
        return forward<Fn, offset>(callable,
                                   ForwardedCall{args, PyVectorcall_NARGS(nargsf), kwnames});
    } else {
        constexpr size_t count = traits::arity - offset;
        PyObject *slots[count + 1] = {};
        nb::object extra[2];
        if (!bind_arguments(callable, *as_function(callable)->sig, args, PyVectorcall_NARGS(nargsf),
                            kwnames, slots, extra))
            return nullptr;
        return invoke<Fn, offset>(callable, slots, std::make_index_sequence<count>());
    }
}

} // namespace detail

// This module's function type (each extension module has its own).
inline PyTypeObject *function_type() {
    static PyTypeObject *type = detail::make_function_type();
    return type;
}

inline bool is_kit_function(nb::handle obj) {
    return Py_TYPE(obj.ptr()) == function_type();
}

// Whether `obj` is the kit function made for `Fn`: a decorator that knows Fn
// may run its body straight away instead of calling through the interpreter.
template <auto Fn> bool is_function_for(nb::handle obj) {
    return is_kit_function(obj) &&
           reinterpret_cast<FunctionObject *>(obj.ptr())->vectorcall == &detail::vectorcall<Fn>;
}

// A kit function for `Fn`. `qualname` defaults to the signature's name;
// `module` is the __module__ (a str). `data` is the closure data, if Fn
// takes a Closure first.
template <auto Fn>
nb::object make_function(const char *signature, const char *doc, nb::handle module,
                         const char *qualname = nullptr, nb::handle data = nb::handle()) {
    using traits = detail::fn_traits<decltype(Fn)>;
    constexpr size_t offset = detail::takes_closure<decltype(Fn)>() ? 1 : 0;
    auto *sig = new Signature(parse_signature(signature));
    bool matches = sig->slots() == traits::arity - offset;
    if constexpr (detail::forwards_call<decltype(Fn)>())
        matches =
            traits::arity - offset == 1 && sig->params.empty() && sig->var_args && sig->var_kwargs;
    if (!matches) {
        std::string what = "signature " + std::string(signature) + " does not match its function";
        delete sig;
        throw std::logic_error(what);
    }
    PyTypeObject *type = function_type();
    auto *self = PyObject_GC_New(FunctionObject, type);
    if (!self) {
        delete sig;
        raise_python_error();
    }
    self->vectorcall = detail::vectorcall<Fn>;
    self->sig = sig;
    self->data = data.ptr() ? Py_NewRef(data.ptr()) : nullptr;
    self->dict = nullptr;
    self->weakrefs = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject *>(self));
    nb::object fn = nb::steal(reinterpret_cast<PyObject *>(self));
    nb::setattr(fn, "__name__", nb::str(sig->name.c_str()));
    nb::setattr(fn, "__qualname__", nb::str(qualname ? qualname : sig->name.c_str()));
    nb::setattr(fn, "__module__", module);
    nb::setattr(fn, "__doc__", doc ? nb::object(nb::str(doc)) : nb::none());
    return fn;
}

// Adds a module-level function.
template <auto Fn>
nb::object def_function(nb::module_ &m, const char *signature, const char *doc,
                        nb::handle data = nb::handle()) {
    nb::object fn = make_function<Fn>(signature, doc, m.attr("__name__"), nullptr, data);
    m.attr(fn.attr("__name__")) = fn;
    return fn;
}

// Builds a class with type(name, bases, namespace) whose methods are kit
// functions: its tables are real class attributes and its instances take
// new attributes, as a Python class's do.
class ClassBuilder {
  public:
    ClassBuilder(nb::handle module, const char *name, nb::handle bases = nb::handle())
        : module_name_(module.attr("__name__")), name_(name),
          bases_(bases.ptr() ? nb::borrow(bases) : object_bases()) {}

    template <auto Fn>
    ClassBuilder &def(const char *signature, const char *doc = nullptr,
                      nb::handle data = nb::handle()) {
        std::string name(signature, std::strcspn(signature, "("));
        std::string qualname = name_ + "." + name;
        ns_[name.c_str()] = make_function<Fn>(signature, doc, module_name_, qualname.c_str(), data);
        return *this;
    }

    // A read-only property whose getter is `Fn(self)`.
    template <auto Fn> ClassBuilder &property(const char *name, const char *doc = nullptr) {
        std::string signature = std::string(name) + "(self)";
        std::string qualname = name_ + "." + name;
        nb::object getter =
            make_function<Fn>(signature.c_str(), doc, module_name_, qualname.c_str());
        nb::object prop = call(builtin_type(&PyProperty_Type), getter);
        ns_[name] = prop;
        return *this;
    }

    ClassBuilder &attr(const char *name, nb::handle value) {
        ns_[name] = value;
        return *this;
    }

    // Wraps the last-defined or a named entry: staticmethod, classmethod, ...
    ClassBuilder &wrap(const char *name, nb::handle wrapper) {
        ns_[name] = call(wrapper, ns_[name]);
        return *this;
    }

    nb::object finish(const char *doc = nullptr) {
        ns_["__module__"] = module_name_;
        ns_["__qualname__"] = nb::str(name_.c_str());
        ns_["__doc__"] = doc ? nb::object(nb::str(doc)) : nb::none();
        return call(builtin_type(&PyType_Type), nb::str(name_.c_str()), bases_, ns_);
    }

    nb::dict &ns() { return ns_; }

  private:
    nb::object module_name_;
    std::string name_;
    nb::object bases_;
    nb::dict ns_;
};

} // namespace zentaro
