// How a module reaches itself: one state per extension module, one rule.
//
// The rule: the module is held weakly. The kit's functions live in the
// module's classes and namespace; a strong reference from C++ would keep the
// module, and with it nanobind's records, alive past interpreter shutdown.
// Every call looks the module up afresh through a weak reference and holds
// it strongly for the duration of the call; a class used after its module
// was dropped raises RuntimeError("<module> has been unloaded").
//
// Interned names are created once per call site with ZT_NAME (names.hpp)
// and kept for the life of the process, so the state holds only the module.
#pragma once

#include "zentaro/compat.hpp"
#include "zentaro/errors.hpp"
#include "zentaro/names.hpp"
#include "zentaro/objects.hpp"

#include <string>

namespace zentaro {

class ModuleState {
  public:
    // At module init, before anything can call back into the module.
    void init(nb::handle module);

    // The module, strongly held by the caller.
    nb::object module() const {
        PyObject *module = ref_ ? compat::weakref_get(ref_) : nullptr;
        if (!module)
            raise_unloaded();
        return nb::steal(module);
    }

    // The module's namespace, borrowed: for a hot path that is done with it
    // before it calls anything that may run Python code. A module's __dict__
    // cannot be replaced, so the one seen at init is it while the module lives.
    PyObject *live_dict() const {
        if (!ref_ || !compat::weakref_peek(ref_))
            raise_unloaded();
        return dict_;
    }

    // Whether the module still exists: finalisers that run while the
    // interpreter tears modules down have nothing left to clean up without it.
    bool loaded() const {
        PyObject *module = ref_ ? compat::weakref_get(ref_) : nullptr;
        Py_XDECREF(module);
        return module != nullptr;
    }

    // A module attribute, read at call time so that callers may replace it.
    nb::object attr(PyObject *name) const { return lookup(name, false); }

    // A name the module's code uses as a global: the module's attribute if
    // someone set one, else the builtin (open, round, ...), else NameError.
    nb::object module_global(PyObject *name) const { return lookup(name, true); }

  private:
    [[noreturn]] void raise_unloaded() const;

    nb::object lookup(PyObject *name, bool builtins) const;

    PyObject *ref_ = nullptr;  // a weakref object: keeps nothing alive
    PyObject *dict_ = nullptr; // the module's namespace, borrowed: alive while ref_'s target is
    std::string name_;
};

// This extension module's state. Each module is its own shared object with
// hidden symbols, so every module has its own instance.
inline ModuleState &module_state() {
    static ModuleState state;
    return state;
}

inline nb::object module_attr(PyObject *name) {
    return module_state().attr(name);
}

inline nb::object module_global(PyObject *name) {
    return module_state().module_global(name);
}

// A module attribute read on a hot path, remembered while the module dict is
// unchanged (replacing the attribute, as tests do, changes the dict's version).
class CachedAttr {
  public:
    explicit CachedAttr(const char *name) : text_(name) {}

    // The check that the module still exists and the version test touch no
    // reference; the module is held strongly only when the value is read anew.
    nb::object get() {
        PyObject *dict = module_state().live_dict();
        if (value_ && dict == dict_ && compat::dict_version(dict) == version_)
            return nb::borrow(value_);
        return get(module_state().module());
    }

    // The same, for a caller that already holds the module: a hot path that
    // reads several attributes looks the module up once.
    nb::object get(nb::handle module) {
        PyObject *dict = PyModule_GetDict(module.ptr());
        if (value_ && dict == dict_ && compat::dict_version(dict) == version_)
            return nb::borrow(value_);
        return read_anew(module, dict);
    }

  private:
    nb::object read_anew(nb::handle module, PyObject *dict);

    const char *text_;
    PyObject *name_ = nullptr;
    PyObject *dict_ = nullptr;
    uint64_t version_ = 0;
    PyObject *value_ = nullptr;
};

// The main interpreter is the only one a kit module loads in: its state is
// per process (ModuleState above, nanobind's type records), so a second
// interpreter would take it over and leave the first with objects of an
// interpreter that may be gone. A subinterpreter's import fails with
// ImportError before anything is touched; the interpreter's own check (the
// slot below, 3.12+) covers only subinterpreters that ask for it.
// The message is the interpreter's own, with the module's full name.
int refuse_subinterpreter(PyObject *module);

} // namespace zentaro

#if PY_VERSION_HEX >= 0x030C0000
#define ZT_MODULE_SLOT_INTERPRETERS                                                                \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define ZT_MODULE_SLOT_INTERPRETERS
#endif

// A kit module's definition: nanobind's NB_MODULE with the interpreter check
// made before nanobind sets up anything.
#define ZT_MODULE(name, variable)                                                                  \
    static void zt_##name##_exec_impl(nanobind::module_);                                          \
    static int zt_##name##_exec(PyObject *m) {                                                     \
        if (zentaro::refuse_subinterpreter(m) < 0)                                                 \
            return -1;                                                                             \
        nanobind::detail::init(NB_DOMAIN_STR);                                                     \
        try {                                                                                      \
            zt_##name##_exec_impl(nanobind::borrow<nanobind::module_>(m));                         \
            return 0;                                                                              \
        } catch (nanobind::python_error & e) {                                                     \
            e.restore();                                                                           \
            nanobind::chain_error(PyExc_ImportError,                                               \
                                  "Encountered an error while initializing the extension.");       \
        } catch (const std::exception &e) {                                                        \
            PyErr_SetString(PyExc_ImportError, e.what());                                          \
        }                                                                                          \
        return -1;                                                                                 \
    }                                                                                              \
    static PyModuleDef_Slot zt_##name##_slots[] = {{Py_mod_exec, (void *)zt_##name##_exec},        \
                                                   ZT_MODULE_SLOT_INTERPRETERS{0, nullptr}};       \
    static struct PyModuleDef zt_##name##_module = {                                               \
        PyModuleDef_HEAD_INIT, #name,   nullptr, 0,      nullptr,                                  \
        zt_##name##_slots,     nullptr, nullptr, nullptr};                                         \
    extern "C" [[maybe_unused]] NB_EXPORT PyObject *PyInit_##name(void);                           \
    extern "C" PyObject *PyInit_##name(void) {                                                     \
        return PyModuleDef_Init(&zt_##name##_module);                                              \
    }                                                                                              \
    void zt_##name##_exec_impl(nanobind::module_ variable)
