#include "zentaro/exit_guard.hpp"

#include <unistd.h>

namespace zentaro::exit_guard {

State state_of_this_module;

void park() {
    ++state().parked;
    PyEval_SaveThread();
    for (;;)
        pause();
}

void park_exiting_thread() {
    for (;;)
        pause();
}

PyObject *wait_for_kit_calls(PyObject *, PyObject *) {
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

void reset_in_child() {
    State &s = state();
    s.exiting = false;
    s.parked = 0;
    s.threads_inside = depth() > 0 ? 1 : 0;
}

void install() {
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

} // namespace zentaro::exit_guard
