// What the recorder's files share: the state tests of a log, the bodies of the
// two logs' output methods, and the logtime_support decorator that dresses
// them (recorder_output.cpp, recorder_logtime.cpp; the classes and the module
// are in recorder.cpp).
#pragma once

#include "recorder_state.hpp"
#include "zentaro/function.hpp"
#include "zentaro/state.hpp"

namespace recorder {

namespace nb = nanobind;
using namespace zentaro;

// ---- state of a log (recorder_output.cpp) ---------------------------------------

// The LIMIT_MSG number of a level name, read through the log (an instance or
// a subclass may replace the table).
nb::object level_number(nb::handle self, PyObject *level_name);

// Keyed means: key differs from b"" (a str key, even empty, is keyed).
bool is_keyed(nb::handle self);

// Raises RuntimeError when the module is gone: a log kept past its module
// raises on every path, keyed or not.
void require_module();

// ---- the five output methods (recorder_output.cpp) --------------------------------

// Their bodies: the log, then the caller's positional arguments after it.
void show_info(nb::handle self, PyObject *const *parts, Py_ssize_t count);
void show_warn(nb::handle self, PyObject *const *parts, Py_ssize_t count);
void show_error(nb::handle self, PyObject *const *parts, Py_ssize_t count);
void backtest_info(nb::handle self, nb::handle message);
void backtest_error(nb::handle self, nb::handle message);

// The same as kit functions: ShowLog's take (self, *args, **kwargs),
// BacktestLog's (self, message, *args, **kwargs).
void show_info_method(nb::handle self, nb::handle args, nb::handle kwargs);
void show_warn_method(nb::handle self, nb::handle args, nb::handle kwargs);
void show_error_method(nb::handle self, nb::handle args, nb::handle kwargs);
void backtest_info_method(nb::handle self, nb::handle message, nb::handle args, nb::handle kwargs);
void backtest_error_method(nb::handle self, nb::handle message, nb::handle args, nb::handle kwargs);

// ---- logtime_support (recorder_logtime.cpp) -----------------------------------------

// logtime_support(dt_field): the decorator `_log_support`.
nb::object logtime_support(nb::handle dt_field);

// _log_support(func): `wrapped`, dressed as func by functools.wraps.
nb::object wrap_with_time(nb::handle func, nb::handle dt_field);

} // namespace recorder
