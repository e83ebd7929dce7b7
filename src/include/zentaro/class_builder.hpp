// Builds a class with type(name, bases, namespace) whose methods are kit
// functions: its tables are real class attributes and its instances take
// new attributes, as a Python class's do.
//
//   nb::object login(nb::handle self, nb::handle username, nb::handle password);
//   ClassBuilder(m, "APIClient")
//       .def<login>("login(self, username, password)", "Log in and store the token.")
#pragma once

#include "zentaro/make_function.hpp"
#include "zentaro/pyutil.hpp"

#include <string>

namespace zentaro {

class ClassBuilder {
  public:
    ClassBuilder(nb::handle module, const char *name, nb::handle bases = nb::handle())
        : module_name_(module.attr("__name__")), name_(name),
          bases_(bases.ptr() ? nb::borrow(bases) : object_bases()) {}

    template <auto Fn>
    ClassBuilder &def(const SignatureOf<Fn> &signature, const char *doc = nullptr,
                      nb::handle data = nb::handle()) {
        std::string name(signature.parsed.name);
        std::string qualname = name_ + "." + name;
        ns_[name.c_str()] = make_function<Fn>(signature, doc, module_name_, qualname.c_str(), data);
        return *this;
    }

    // A read-only property whose getter is `Fn(self)`.
    template <auto Fn> ClassBuilder &property(const char *name, const char *doc = nullptr) {
        static_assert(detail::signature_fits<Fn>(kGetter), "a property's getter takes self only");
        std::string qualname = name_ + "." + name;
        nb::object getter = detail::new_function(detail::vectorcall<Fn>, kGetter, name, doc,
                                                 module_name_, qualname.c_str(), nb::handle());
        ns_[name] = call(builtin_type(&PyProperty_Type), getter);
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
    // Every getter's parameters; its name is the property's.
    static constexpr SignatureText kGetter = parse_signature("getter(self)");

    nb::object module_name_;
    std::string name_;
    nb::object bases_;
    nb::dict ns_;
};

} // namespace zentaro
