// How a call reaches a kit function's C++ body: the arguments bound the way
// Python binds a call to a def (same checks, same order, same messages), then
// handed to the body as nb::handle (or nb::object) parameters, the closure
// data first when it takes a Closure.
#pragma once

#include "zentaro/function_type.hpp"
#include "zentaro/pyutil.hpp"
#include "zentaro/signature.hpp"

#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace zentaro {

namespace detail {

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
// ---- the C++ body's parameters ----------------------------------------------------

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

// Whether `obj` is the kit function made for `Fn`: a decorator that knows Fn
// may run its body straight away instead of calling through the interpreter.
template <auto Fn> bool is_function_for(nb::handle obj) {
    return is_kit_function(obj) &&
           reinterpret_cast<FunctionObject *>(obj.ptr())->vectorcall == &detail::vectorcall<Fn>;
}

} // namespace zentaro
