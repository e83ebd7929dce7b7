// Python errors as C++ exceptions: raising the pending error, taking it out,
// raising an exception object, and clean-up while an error is on its way out.
#pragma once

#include <nanobind/nanobind.h>

#include <exception>
#include <utility>

#include "zentaro/compat.hpp"

namespace zentaro {

namespace nb = nanobind;

// Raise the pending Python error as a C++ exception that nanobind passes on.
[[noreturn]] inline void raise_python_error() {
    throw nb::python_error();
}

// Set a Python exception and raise it as a C++ exception.
[[noreturn]] void raise_error(PyObject *type, const char *message);

// Wrap a new reference from the C API, turning NULL into the pending error.
inline nb::object steal_or_raise(PyObject *obj) {
    if (!obj)
        raise_python_error();
    return nb::steal(obj);
}

inline void check(int status) {
    if (status < 0)
        raise_python_error();
}

// The Python exception class of a nanobind builtin exception.
PyObject *python_type_of(const nb::builtin_exception &e);

// The pending error as an exception object (normalised, traceback attached).
inline nb::object fetch_error() {
    return nb::steal(compat::take_error());
}

// `raise exc` for an exception instance: chained to the error being handled,
// as Python chains them.
[[noreturn]] void raise_object(nb::handle exc);

// A bare `raise` in the except block that handled `exc`: raised again with
// the traceback it already has, chained to nothing new.
[[noreturn]] void raise_again(nb::handle exc);

// Clears a pending ordinary exception; anything else (KeyboardInterrupt,
// SystemExit) is raised on, as `except Exception` would let it through.
void swallow_ordinary_error();

// Runs `step` and returns the Python error it raised (an empty object when
// it raised none), taken out of the handler: the handler only puts the error
// back as pending, and it is normalised (which may run Python code) once the
// handler is left. For a caller that must call Python before raising it on.
template <typename Step> nb::object python_error_of(Step &&step) {
    bool failed = false;
    try {
        step();
    } catch (nb::python_error &e) {
        e.restore();
        failed = true;
    }
    return failed ? fetch_error() : nb::object();
}

// Runs a clean-up step while another error is on its way out; the step's own
// failure must not replace that error.
template <typename Step> void quietly(Step &&step) {
    try {
        step();
    } catch (nb::python_error &) {
    }
}

// Runs `undo` when the scope is left by an exception, unless dismissed: the
// close-on-failure and remove-on-failure blocks of the modules.
template <typename Undo> class OnFailure {
  public:
    explicit OnFailure(Undo undo) : undo_(std::move(undo)), count_(std::uncaught_exceptions()) {}
    OnFailure(const OnFailure &) = delete;
    ~OnFailure() {
        if (armed_ && std::uncaught_exceptions() > count_)
            quietly(undo_);
    }
    void dismiss() { armed_ = false; }

  private:
    Undo undo_;
    int count_;
    bool armed_ = true;
};

} // namespace zentaro
