// Small helpers shared by the kit's extension modules: errors, interned
// names, the object protocol with every NULL turned into a C++ exception,
// imports and clean-up on failure.
#pragma once

#include <nanobind/nanobind.h>

#include <cxxabi.h>

#include <exception>
#include <initializer_list>
#include <new>
#include <pthread.h>
#include <type_traits>
#include <unistd.h>
#include <utility>
#include <vector>

#include "zentaro/compat.hpp"

namespace zentaro {

namespace nb = nanobind;

// ---- errors ------------------------------------------------------------

// Raise the pending Python error as a C++ exception that nanobind passes on.
[[noreturn]] inline void raise_python_error() {
    throw nb::python_error();
}

// Set a Python exception and raise it as a C++ exception.
[[noreturn]] inline void raise(PyObject *type, const char *message) {
    PyErr_SetString(type, message);
    raise_python_error();
}

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
inline PyObject *python_type_of(const nb::builtin_exception &e) {
    switch (e.type()) {
    case nb::exception_type::stop_iteration:
        return PyExc_StopIteration;
    case nb::exception_type::index_error:
        return PyExc_IndexError;
    case nb::exception_type::key_error:
        return PyExc_KeyError;
    case nb::exception_type::value_error:
        return PyExc_ValueError;
    case nb::exception_type::type_error:
        return PyExc_TypeError;
    case nb::exception_type::buffer_error:
        return PyExc_BufferError;
    case nb::exception_type::import_error:
        return PyExc_ImportError;
    case nb::exception_type::attribute_error:
        return PyExc_AttributeError;
    default:
        return PyExc_RuntimeError;
    }
}

// ---- exit with threads inside kit calls ------------------------------------
//
// Python 3.11 ends a daemon thread that wants the GIL once finalization has
// begun with pthread_exit, a forced unwind through the C++ frames: their
// destructors then release references without the GIL while the main thread
// tears the interpreter down (a crash at exit). So, as Python 3.14 does for
// every thread, a thread inside a kit call is parked instead: at exit
// (atexit, before finalization begins) kit calls stop, each thread inside
// one reaches the next kit-call boundary, releases the GIL there and waits
// for the process to end; the exit waits for that (at most two seconds).
namespace exit_guard {

struct State {
    bool exiting = false;
    pthread_t exit_thread{}; // the thread running the exit: it carries on
    int threads_inside = 0;  // threads inside a kit call, parked ones included
    int parked = 0;
};

// Per extension module (hidden symbols); changed only with the GIL held.
inline State &state() {
    static State s;
    return s;
}

// Initial-exec: read on every kit call, without a __tls_get_addr call.
inline int &depth() {
    static thread_local int d __attribute__((tls_model("initial-exec"))) = 0;
    return d;
}

inline bool must_park() {
    return state().exiting && !pthread_equal(pthread_self(), state().exit_thread);
}

[[noreturn]] inline void park() {
    ++state().parked;
    PyEval_SaveThread();
    for (;;)
        pause();
}

// A thread that missed the atexit step (it was inside Python code for longer,
// or entered the kit afterwards) is ended with pthread_exit when it next wants
// the GIL: a forced unwind, caught on its way out of the interpreter. It
// holds no GIL there; it waits for the process to end instead of unwinding.
[[noreturn]] inline void park_exiting_thread() {
    for (;;)
        pause();
}

// One kit call on this thread.
class Scope {
  public:
    Scope() {
        if (depth()++ == 0)
            ++state().threads_inside;
        if (must_park())
            park();
    }
    Scope(const Scope &) = delete;
    Scope &operator=(const Scope &) = delete;
    // Parks only on a normal return: while an exception unwinds (a forced
    // unwind among them) the thread may not hold the GIL. The unwinding check
    // costs a library call, so it runs only once the exit has begun.
    ~Scope() {
        if (must_park() && std::uncaught_exceptions() == 0)
            park();
        if (--depth() == 0)
            --state().threads_inside;
    }
};

// One kit call whose body is plain C API calls (a slot's fast path). No C++
// exception of its own can be in flight at its end, so it skips Scope's
// unwinding count, a libstdc++ thread-local read that costs a quick call a
// quarter of its time. A forced unwind can still pass through from the
// Python code it calls; it happens only once the interpreter is finalizing,
// without the GIL, so such a thread waits for the end instead of parking.
class PlainScope {
  public:
    PlainScope() {
        if (depth()++ == 0)
            ++state().threads_inside;
        if (must_park())
            park();
    }
    PlainScope(const PlainScope &) = delete;
    PlainScope &operator=(const PlainScope &) = delete;
    ~PlainScope() {
        if (must_park()) {
            if (compat::finalizing())
                park_exiting_thread();
            park();
        }
        if (--depth() == 0)
            --state().threads_inside;
    }
};

// The atexit step: stop kit calls and let the threads inside them park.
inline PyObject *wait_for_kit_calls(PyObject *, PyObject *) {
    State &s = state();
    s.exit_thread = pthread_self();
    s.exiting = true;
    for (int waited = 0; waited < 2000 && s.threads_inside > s.parked; ++waited) {
        Py_BEGIN_ALLOW_THREADS;
        usleep(1000);
        Py_END_ALLOW_THREADS;
    }
    // What parked threads hold is never released, as with a Python daemon
    // thread's frames: not a leak to report.
    if (s.parked)
        nb::set_leak_warnings(false);
    Py_RETURN_NONE;
}

// A forked child has only the forking thread.
inline void reset_in_child() {
    State &s = state();
    s.exiting = false;
    s.parked = 0;
    s.threads_inside = depth() > 0 ? 1 : 0;
}

// Once per extension module, at its init.
inline void install() {
    static bool installed = false;
    if (installed)
        return;
    static PyMethodDef def = {"_wait_for_kit_calls", wait_for_kit_calls, METH_NOARGS,
                              "Let threads inside kit calls park before the interpreter ends."};
    PyObject *fn = PyCFunction_New(&def, nullptr);
    PyObject *atexit = fn ? PyImport_ImportModule("atexit") : nullptr;
    PyObject *done = atexit ? PyObject_CallMethod(atexit, "register", "O", fn) : nullptr;
    Py_XDECREF(done);
    Py_XDECREF(atexit);
    Py_XDECREF(fn);
    if (!done)
        throw nb::python_error();
    pthread_atfork(nullptr, nullptr, reset_in_child);
    installed = true;
}

} // namespace exit_guard

// Runs `step`, a call into the interpreter that may run Python code.
template <typename Step> auto into_python(Step &&step) -> decltype(step()) {
    try {
        return step();
    }
#if defined(_LIBCPP_VERSION)
    // libc++ (the wheels' runtime) has no type for a forced unwind: it is the
    // one exception without a C++ exception object behind it.
    catch (...) {
        if (!std::current_exception() && compat::finalizing())
            exit_guard::park_exiting_thread();
        throw;
    }
#else
    catch (abi::__forced_unwind &) {
        if (compat::finalizing())
            exit_guard::park_exiting_thread();
        throw;
    }
#endif
}

// Runs `body` and turns a C++ failure into a pending Python error, returning
// NULL; for functions handed to the interpreter through the plain C API. A
// thread that the interpreter ends at exit unwinds with a forced-unwind
// exception: it must pass through, or the process dies.
template <typename Body> PyObject *guarded(Body &&body) noexcept(false) {
    exit_guard::Scope scope;
    try {
        if constexpr (std::is_convertible_v<decltype(body()), PyObject *>)
            return body();
        else
            return body().release().ptr();
    }
#if !defined(_LIBCPP_VERSION) // with libc++ a forced unwind matches no clause below
    catch (abi::__forced_unwind &) {
        throw;
    }
#endif
    catch (nb::python_error &e) {
        e.restore();
    } catch (const nb::builtin_exception &e) {
        if (!PyErr_Occurred())
            PyErr_SetString(python_type_of(e), e.what());
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

// The pending error as an exception object (normalised, traceback attached).
inline nb::object fetch_error() {
    return nb::steal(compat::take_error());
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

// ---- names and the object protocol ---------------------------------------

// An interned str kept for the life of the process.
inline PyObject *interned(const char *text) {
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s)
        raise_python_error();
    return s;
}

// An interned name created once per call site (string literals only).
#define ZT_NAME(text)                                                                              \
    ([]() -> PyObject * {                                                                          \
        static PyObject *const interned_name = ::zentaro::interned(text);                          \
        return interned_name;                                                                      \
    }())

inline nb::object get_attr(nb::handle obj, PyObject *name) {
    return steal_or_raise(into_python([&] { return PyObject_GetAttr(obj.ptr(), name); }));
}

inline void set_attr(nb::handle obj, PyObject *name, nb::handle value) {
    check(into_python([&] { return PyObject_SetAttr(obj.ptr(), name, value.ptr()); }));
}

inline bool truth(nb::handle obj) {
    int r = into_python([&] { return PyObject_IsTrue(obj.ptr()); });
    if (r < 0)
        raise_python_error();
    return r != 0;
}

inline bool compare(nb::handle a, nb::handle b, int op) {
    int r = into_python([&] { return PyObject_RichCompareBool(a.ptr(), b.ptr(), op); });
    if (r < 0)
        raise_python_error();
    return r != 0;
}

inline nb::object text_of(nb::handle obj) {
    return steal_or_raise(into_python([&] { return PyObject_Str(obj.ptr()); }));
}

// target.update(source) as `{**target, **source}` takes it: any mapping, and
// the interpreter's TypeError for anything else (None included).
inline void merge_mapping(nb::handle target, nb::handle source) {
    if (PyDict_Update(target.ptr(), source.ptr()) == 0)
        return;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not a mapping",
                     Py_TYPE(source.ptr())->tp_name);
    }
    raise_python_error();
}

// fn(args...) through vectorcall; the arguments are handles.
template <typename... Args> nb::object call(nb::handle fn, Args... args) {
    PyObject *argv[sizeof...(Args) + 1] = {nullptr, nb::handle(args).ptr()...};
    return steal_or_raise(into_python([&] {
        return PyObject_Vectorcall(fn.ptr(), argv + 1,
                                   sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }));
}

// obj.name(args...) through the method-call fast path.
template <typename... Args> nb::object call_method(nb::handle obj, PyObject *name, Args... args) {
    PyObject *argv[sizeof...(Args) + 1] = {obj.ptr(), nb::handle(args).ptr()...};
    return steal_or_raise(into_python([&] {
        return PyObject_VectorcallMethod(
            name, argv, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }));
}

// fn(*positional, **{name: value for name, value in keywords}); names interned.
inline nb::object
call_with_keywords(nb::handle fn, std::initializer_list<nb::handle> positional,
                   std::initializer_list<std::pair<PyObject *, nb::handle>> keywords) {
    std::vector<PyObject *> argv;
    nb::object names = steal_or_raise(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    for (nb::handle arg : positional)
        argv.push_back(arg.ptr());
    Py_ssize_t i = 0;
    for (const auto &[name, value] : keywords) {
        PyTuple_SET_ITEM(names.ptr(), i++, Py_NewRef(name));
        argv.push_back(value.ptr());
    }
    return steal_or_raise(into_python([&] {
        return PyObject_Vectorcall(fn.ptr(), argv.data(),
                                   static_cast<Py_ssize_t>(positional.size()), names.ptr());
    }));
}

inline nb::object call_method0(nb::handle obj, PyObject *name) {
    return call_method(obj, name);
}
inline nb::object call_method1(nb::handle obj, PyObject *name, nb::handle arg) {
    return call_method(obj, name, arg);
}

// ---- imports -------------------------------------------------------------

inline nb::object import(const char *module) {
    return steal_or_raise(into_python([&] { return PyImport_ImportModule(module); }));
}

// `from <package> import <name>`, with the ImportError Python gives when the
// name is missing.
inline nb::object import_from(const char *package, const char *name) {
    nb::object fromlist = nb::make_tuple(name);
    nb::object module = steal_or_raise(into_python(
        [&] { return PyImport_ImportModuleLevel(package, nullptr, nullptr, fromlist.ptr(), 0); }));
    PyObject *value = into_python([&] { return PyObject_GetAttrString(module.ptr(), name); });
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            raise_python_error();
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, package);
        raise_python_error();
    }
    return nb::steal(value);
}

inline nb::handle builtin_type(PyTypeObject *type) {
    return nb::handle(reinterpret_cast<PyObject *>(type));
}

inline nb::object object_bases() {
    return nb::make_tuple(builtin_type(&PyBaseObject_Type));
}

// Set __doc__ on a finished object.
inline void set_doc(nb::handle obj, const char *doc) {
    nb::setattr(obj, "__doc__", nb::str(doc));
}

} // namespace zentaro
