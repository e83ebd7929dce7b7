// Exit with threads inside kit calls: the guard every call into Python goes
// through (`into_python`), the scope every kit call holds, and `guarded`,
// the body of a function handed to the interpreter through the plain C API.
//
// Python 3.11 ends a daemon thread that wants the GIL once finalization has
// begun with pthread_exit, a forced unwind through the C++ frames: their
// destructors then release references without the GIL while the main thread
// tears the interpreter down (a crash at exit). So, as Python 3.14 does for
// every thread, a thread inside a kit call is parked instead: at exit
// (atexit, before finalization begins) kit calls stop, each thread inside
// one reaches the next kit-call boundary, releases the GIL there and waits
// for the process to end; the exit waits for that (at most two seconds).
#pragma once

#include <nanobind/nanobind.h>

#include <cxxabi.h>

#include <exception>
#include <new>
#include <pthread.h>
#include <type_traits>

#include "zentaro/compat.hpp"
#include "zentaro/errors.hpp"

namespace zentaro {

namespace exit_guard {

struct State {
    bool exiting = false;
    pthread_t exit_thread{}; // the thread running the exit: it carries on
    int threads_inside = 0;  // threads inside a kit call, parked ones included
    int parked = 0;
};

// Per extension module (hidden symbols: each module links its own copy of
// the layer); changed only with the GIL held.
extern State state_of_this_module __attribute__((visibility("hidden")));

inline State &state() {
    return state_of_this_module;
}

// Initial-exec: read on every kit call, without a __tls_get_addr call.
inline int &depth() {
    static thread_local int d __attribute__((tls_model("initial-exec"))) = 0;
    return d;
}

inline bool must_park() {
    return state().exiting && !pthread_equal(pthread_self(), state().exit_thread);
}

// Releases the GIL and waits for the process to end.
[[noreturn]] void park();

// A thread that missed the atexit step (it was inside Python code for longer,
// or entered the kit afterwards) is ended with pthread_exit when it next wants
// the GIL: a forced unwind, caught on its way out of the interpreter. It
// holds no GIL there; it waits for the process to end instead of unwinding.
[[noreturn]] void park_exiting_thread();

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
PyObject *wait_for_kit_calls(PyObject *, PyObject *);

// A forked child has only the forking thread.
void reset_in_child();

// Once per extension module, at its init.
void install();

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

} // namespace zentaro
