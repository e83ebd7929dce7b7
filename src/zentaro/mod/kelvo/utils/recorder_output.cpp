// The output methods of the two logs. ShowLog's info, warn and error write
// the text of their arguments under the level threshold (info also under the
// line limit); BacktestLog's info and error hand a record over unchanged.
// A keyed log writes nothing, and its error methods re-raise the handled
// exception once in the log's life.

#include "recorder.hpp"

namespace recorder {

namespace {

// A message of this level is dropped when the threshold is above it.
bool below_threshold(nb::handle self, PyObject *level_name) {
    nb::object limited = get_attr(self, recorder_state().names.limited);
    return compare(limited, level_number(self, level_name), Py_GT);
}

// user_normal_log.<method>(message).
void write_user_line(PyObject *method, nb::handle message) {
    call_method(recorder_state().user_log_attr.get(), method, message);
}

// The text of the positional arguments joined by single spaces.
nb::object joined_message(PyObject *const *parts, Py_ssize_t count) {
    if (count == 1)
        return str_of(parts[0]);
    nb::object texts = steal_or_raise(PyTuple_New(count));
    for (Py_ssize_t i = 0; i < count; ++i)
        PyTuple_SET_ITEM(texts.ptr(), i, str_of(parts[i]).release().ptr());
    return steal_or_raise(PyUnicode_Join(recorder_state().names.space, texts.ptr()));
}

// ---- re-raising the handled exception -------------------------------------------

// The exception the caller is handling, or an empty object.
nb::object handled_exception() {
    PyObject *exc = PyErr_GetHandledException();
    if (!exc || exc == Py_None) {
        Py_XDECREF(exc);
        return nb::object();
    }
    return nb::steal(exc);
}

// The keyed error path: the first call sets the flag, then re-raises the
// handled exception if there is one. Outside an except block there is
// nothing to re-raise, and an engine error line must not end the back-test.
void flag_and_raise_again_once(nb::handle self) {
    if (truth(get_attr(self, recorder_state().names.has_error)))
        return;
    set_attr(self, recorder_state().names.has_error, Py_True);
    nb::object exc = handled_exception();
    if (exc.is_valid())
        raise_again(exc);
}

PyObject *const *tuple_items(nb::handle tuple) {
    return PySequence_Fast_ITEMS(tuple.ptr());
}

} // namespace

// ---- state of a log -----------------------------------------------------------

nb::object level_number(nb::handle self, PyObject *level_name) {
    nb::object table = get_attr(self, recorder_state().names.LIMIT_MSG);
    return get_item(table, level_name);
}

bool is_keyed(nb::handle self) {
    nb::object key = get_attr(self, recorder_state().names.key);
    if (PyBytes_CheckExact(key.ptr()))
        return PyBytes_GET_SIZE(key.ptr()) != 0;
    return !compare(key, recorder_state().empty_bytes, Py_EQ);
}

void require_module() {
    module_state().live_dict();
}

// ---- the bodies of the five output methods ----------------------------------------

void show_info(nb::handle self, PyObject *const *parts, Py_ssize_t count) {
    const RecorderNames &names = recorder_state().names;
    if (below_threshold(self, names.INFO))
        return;
    nb::object message = joined_message(parts, count);
    if (truth(get_attr(self, names.is_limit))) {
        nb::object written = get_attr(self, names.log_num);
        nb::object cap = get_attr(self, names.LOG_LIMIT_NUM);
        if (compare(written, cap, Py_GT))
            return;
        bool at_cap = compare(written, cap, Py_EQ);
        nb::object one = steal_or_raise(PyLong_FromLong(1));
        nb::object next =
            steal_or_raise(into_python([&] { return PyNumber_Add(written.ptr(), one.ptr()); }));
        set_attr(self, names.log_num, next);
        if (at_cap)
            message = nb::borrow(names.notice);
    }
    if (!is_keyed(self))
        write_user_line(names.info, message);
}

void show_warn(nb::handle self, PyObject *const *parts, Py_ssize_t count) {
    if (below_threshold(self, recorder_state().names.WARN))
        return;
    nb::object message = joined_message(parts, count);
    if (!is_keyed(self))
        write_user_line(recorder_state().names.warn, message);
}

void show_error(nb::handle self, PyObject *const *parts, Py_ssize_t count) {
    if (below_threshold(self, recorder_state().names.ERROR))
        return;
    nb::object message = joined_message(parts, count);
    if (is_keyed(self)) {
        flag_and_raise_again_once(self);
        return;
    }
    write_user_line(recorder_state().names.error, message);
    nb::object exc = handled_exception();
    if (exc.is_valid())
        raise_again(exc);
}

void backtest_info(nb::handle self, nb::handle message) {
    if (!is_keyed(self))
        write_user_line(recorder_state().names.info, message);
}

void backtest_error(nb::handle self, nb::handle message) {
    if (is_keyed(self))
        flag_and_raise_again_once(self);
    else
        write_user_line(recorder_state().names.error, message);
}

// ---- the output methods as kit functions --------------------------------------------

void show_info_method(nb::handle self, nb::handle args, nb::handle) {
    require_module();
    show_info(self, tuple_items(args), PyTuple_GET_SIZE(args.ptr()));
}

void show_warn_method(nb::handle self, nb::handle args, nb::handle) {
    require_module();
    show_warn(self, tuple_items(args), PyTuple_GET_SIZE(args.ptr()));
}

void show_error_method(nb::handle self, nb::handle args, nb::handle) {
    require_module();
    show_error(self, tuple_items(args), PyTuple_GET_SIZE(args.ptr()));
}

void backtest_info_method(nb::handle self, nb::handle message, nb::handle, nb::handle) {
    require_module();
    backtest_info(self, message);
}

void backtest_error_method(nb::handle self, nb::handle message, nb::handle, nb::handle) {
    require_module();
    backtest_error(self, message);
}

} // namespace recorder
