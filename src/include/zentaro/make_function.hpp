// Making a kit function: a C++ body and its signature text, checked against
// each other by the compiler.
//
// The C++ body is a plain function whose parameters are all nb::handle (or
// nb::object): first the named parameters of the signature text in order,
// then the *args tuple and the **kwargs dict when the signature has them. A
// first parameter of type Closure receives the data object the function was
// made with. A function whose signature is "name(*args, **kwargs)" may take
// one ForwardedCall instead: the arguments exactly as the interpreter passed
// them.
#pragma once

#include "zentaro/argument_binding.hpp"
#include "zentaro/function_type.hpp"
#include "zentaro/pyutil.hpp"
#include "zentaro/signature.hpp"

#include <cstddef>

namespace zentaro {

namespace detail {

// Whether the C++ body takes what the signature binds. Its parameter names
// are not visible to the compiler, so only their number is checked (the
// names are checked against each other by the parser).
template <auto Fn> constexpr bool signature_fits(const SignatureText &sig) {
    using traits = fn_traits<decltype(Fn)>;
    constexpr size_t offset = takes_closure<decltype(Fn)>() ? 1 : 0;
    if constexpr (forwards_call<decltype(Fn)>())
        return traits::arity - offset == 1 && sig.count == 0 && sig.var_args && sig.var_kwargs;
    else
        return sig.slots() == traits::arity - offset;
}

} // namespace detail

// A signature text for the C++ function `Fn`, read by the compiler: a text
// that does not fit Fn stops the build. Written where a `const char *` was:
// `.def<login>("login(self, username, password)", "doc")`.
template <auto Fn> struct SignatureOf {
    SignatureText parsed;

    consteval SignatureOf(const char *text) : parsed(parse_signature(text)) {
        if (!detail::signature_fits<Fn>(parsed))
            signature_error::does_not_take_as_many_parameters_as_its_cpp_function();
    }
};

namespace detail {

inline nb::object new_function(vectorcallfunc vectorcall, const SignatureText &text,
                               std::string_view name, const char *doc, nb::handle module,
                               const char *qualname, nb::handle data) {
    auto *sig = new Signature(make_signature(text));
    auto *self = PyObject_GC_New(FunctionObject, function_type());
    if (!self) {
        delete sig;
        raise_python_error();
    }
    self->vectorcall = vectorcall;
    self->sig = sig;
    self->data = data.ptr() ? Py_NewRef(data.ptr()) : nullptr;
    self->dict = nullptr;
    self->weakrefs = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject *>(self));
    nb::object fn = nb::steal(reinterpret_cast<PyObject *>(self));
    nb::str name_text(name.data(), name.size());
    nb::setattr(fn, "__name__", name_text);
    nb::setattr(fn, "__qualname__", qualname ? nb::str(qualname) : name_text);
    nb::setattr(fn, "__module__", module);
    nb::setattr(fn, "__doc__", doc ? nb::object(nb::str(doc)) : nb::none());
    return fn;
}

} // namespace detail

// A kit function for `Fn`. `qualname` defaults to the signature's name;
// `module` is the __module__ (a str). `data` is the closure data, if Fn
// takes a Closure first.
template <auto Fn>
nb::object make_function(const SignatureOf<Fn> &signature, const char *doc, nb::handle module,
                         const char *qualname = nullptr, nb::handle data = nb::handle()) {
    return detail::new_function(detail::vectorcall<Fn>, signature.parsed, signature.parsed.name,
                                doc, module, qualname, data);
}

// Adds a module-level function.
template <auto Fn>
nb::object def_function(nb::module_ &m, const SignatureOf<Fn> &signature, const char *doc,
                        nb::handle data = nb::handle()) {
    nb::object fn = make_function<Fn>(signature, doc, m.attr("__name__"), nullptr, data);
    m.attr(fn.attr("__name__")) = fn;
    return fn;
}

} // namespace zentaro
