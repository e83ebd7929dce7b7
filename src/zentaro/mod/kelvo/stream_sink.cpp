// StreamSink: follows a back-test through the engine's events and hands its
// result, trade and user records to `in_log`, the profiler report to `log`.

#include "stream_sink_state.hpp"
#include "zentaro/function.hpp"
#include "zentaro/state.hpp"

namespace nb = nanobind;
using namespace zentaro;
using namespace stream_sink;

namespace {

nb::object env_of(nb::handle self) {
    return get_attr(self, sink().names._env);
}

void dict_set(nb::handle dict, PyObject *key, nb::handle value) {
    check(PyDict_SetItem(dict.ptr(), key, value.ptr()));
}

// in_log.info(record), looked up at call time.
void to_in_log(nb::handle record) {
    call_method(module_attr(sink().names.in_log), sink().names.info, record);
}

// in_log.info(record, <keyword>=value)
void to_in_log(nb::handle record, PyObject *keyword, nb::handle value) {
    nb::object info = get_attr(module_attr(sink().names.in_log), sink().names.info);
    call_with_keywords(info, {record}, {{keyword, value}});
}

// Iterate mapping.items() and hand each (key, value) pair to `fn`.
template <typename Fn> void for_items(nb::handle mapping, Fn &&fn) {
    nb::object items = call_method(mapping, sink().names.items);
    nb::object it = steal_or_raise(into_python([&] { return PyObject_GetIter(items.ptr()); }));
    while (PyObject *raw = into_python([&] { return PyIter_Next(it.ptr()); })) {
        nb::object pair = nb::steal(raw);
        nb::object seq = steal_or_raise(into_python([&] { return PySequence_Tuple(pair.ptr()); }));
        if (PyTuple_GET_SIZE(seq.ptr()) != 2)
            raise_error(PyExc_ValueError, "items() must give (key, value) pairs");
        // Owned by `seq`, which outlives the call.
        fn(nb::handle(PyTuple_GET_ITEM(seq.ptr(), 0)), nb::handle(PyTuple_GET_ITEM(seq.ptr(), 1)));
    }
    if (PyErr_Occurred())
        raise_python_error();
}

// ---- construction and registration -------------------------------------------------

void sink_init(nb::handle self, nb::handle env, nb::handle daily_last_event,
               nb::handle collect_trade, nb::handle style) {
    const SinkNames &names = sink().names;
    set_attr(self, names._env, env);
    set_attr(self, names._trading_length, steal_or_raise(PyLong_FromLong(0)));
    set_attr(self, names._process, steal_or_raise(PyLong_FromLong(0)));
    set_attr(self, names._daily_last_event, daily_last_event);
    set_attr(self, names._collect_trade, collect_trade);
    set_attr(self, names._style, style);
    set_attr(self, names.trade_log, steal_or_raise(PyList_New(0)));
}

// The engine's user loggers write through the display log from now on.
void redirect_user_loggers() {
    const SinkNames &names = sink().names;
    nb::object user_log = import_from("corvane.utils.logger", "user_log");
    nb::object user_system_log = import_from("corvane.utils.logger", "user_system_log");
    nb::object log = module_attr(names.log);
    for (PyObject *name : {names.info, names.warn, names.error}) {
        nb::object bound = get_attr(log, name);
        set_attr(user_log, name, bound);
        set_attr(user_system_log, name, bound);
    }
}

// One listener: the event type is looked up only now, so a failure leaves
// the listeners registered before it in place.
void listen(nb::handle self, nb::handle event_type, PyObject *handler_name) {
    nb::object bus = get_attr(env_of(self), sink().names.event_bus);
    nb::object add_listener = get_attr(bus, sink().names.add_listener);
    call(add_listener, event_type, get_attr(self, handler_name));
}

nb::object event_type(PyObject *name) {
    return get_attr(module_attr(sink().names.EVENT), name);
}

void register_event(nb::handle self) {
    const SinkNames &names = sink().names;
    redirect_user_loggers();
    listen(self, event_type(names.POST_USER_INIT), names.process_init);
    listen(self, event_type(names.POST_SYSTEM_INIT), names.system_init);
    listen(self, event_type(names.PRE_BEFORE_TRADING), names.trade_init);
    listen(self, event_type(names.TRADE), names.trade_add);
    listen(self, event_type(names.POST_SETTLEMENT), names.backtest_trade_data);
    listen(self, get_attr(self, names._daily_last_event), names.output_record);
    listen(self, event_type(names.ON_LINE_PROFILER_RESULT), names.output_profile);
}

// ---- handlers ------------------------------------------------------------------------

nb::object run_base(nb::handle env) {
    return get_attr(get_attr(env, sink().names.config), sink().names.base);
}

void system_init(nb::handle self, nb::handle) {
    nb::object calendar = get_attr(run_base(env_of(self)), sink().names.trading_calendar);
    Py_ssize_t length = into_python([&] { return PyObject_Length(calendar.ptr()); });
    if (length < 0)
        raise_python_error();
    set_attr(self, sink().names._trading_length, steal_or_raise(PyLong_FromSsize_t(length)));
}

void process_init(nb::handle self, nb::handle) {
    const SinkNames &names = sink().names;
    nb::object env = env_of(self);
    nb::object start = get_attr(run_base(env), names.start_date);
    nb::object prev_dt =
        call_method(get_attr(env, names.data_proxy), names.get_previous_trading_date, start);
    nb::object record = call_method(self, names.get_backtest_data);
    nb::object stamp =
        call_with_keywords(get_attr(prev_dt, names.replace), {},
                           {{names.hour, nb::int_(15)}, {names.minute, nb::int_(30)}});
    to_in_log(record, names.datetime, stamp);
}

void trade_init(nb::handle self, nb::handle) {
    nb::object trade_log = get_attr(self, sink().names.trade_log);
    if (PyList_CheckExact(trade_log.ptr()))
        check(into_python(
            [&] { return PyList_SetSlice(trade_log.ptr(), 0, PY_SSIZE_T_MAX, nullptr); }));
    else
        call_method(trade_log, sink().names.clear);
}

void trade_add(nb::handle self, nb::handle event) {
    const SinkNames &names = sink().names;
    nb::object trade = get_attr(event, names.trade);
    if (!truth(trade))
        return;
    nb::object data = call_method(trade, names.output_json);
    if (truth(get_attr(self, names._collect_trade))) {
        call_method(get_attr(self, names.trade_log), names.append, data);
        return;
    }
    nb::object record = steal_or_raise(PyDict_New());
    nb::object one = steal_or_raise(PyList_New(1));
    PyList_SET_ITEM(one.ptr(), 0, data.release().ptr());
    dict_set(record, names.tradelogs, one);
    to_in_log(record, names.type, names.TRADE);
}

void output_record(nb::handle self, nb::handle) {
    const SinkNames &names = sink().names;
    nb::object env = env_of(self);
    nb::object record = get_attr(env, names.record_dict);
    if (!truth(record))
        return;
    to_in_log(record, names.type, names.RECORD);
    set_attr(env, names.record_dict, steal_or_raise(PyDict_New()));
}

// ---- result records --------------------------------------------------------------------

nb::object progress_of(nb::handle self) {
    nb::object length = get_attr(self, sink().names._trading_length);
    if (!truth(length))
        return length;
    nb::object done = get_attr(self, sink().names._process);
    return steal_or_raise(
        into_python([&] { return PyNumber_TrueDivide(done.ptr(), length.ptr()); }));
}

// position key -> output_json() over every account; a later account's
// value replaces an earlier one's under the same key.
nb::object merged_positions(nb::handle portfolio) {
    const SinkNames &names = sink().names;
    nb::object positions = steal_or_raise(PyDict_New());
    for_items(get_attr(portfolio, names.accounts), [&](nb::handle, nb::handle account) {
        for_items(get_attr(account, names.positions), [&](nb::handle key, nb::handle position) {
            nb::object data = call_method(position, names.output_json);
            check(into_python(
                [&] { return PyDict_SetItem(positions.ptr(), key.ptr(), data.ptr()); }));
        });
    });
    return positions;
}

nb::object get_backtest_data(nb::handle self) {
    const SinkNames &names = sink().names;
    nb::object record = steal_or_raise(PyDict_New());
    dict_set(record, names.tradelogs, steal_or_raise(PyList_New(0)));
    dict_set(record, names.positions, steal_or_raise(PyDict_New()));
    dict_set(record, names.progress, progress_of(self));
    nb::object portfolio = get_attr(env_of(self), names.portfolio);
    if (compare(get_attr(self, names._style), names.NORMAL, Py_EQ)) {
        // A copy: a consumer that keeps the record must not see the next
        // day's PRE_BEFORE_TRADING empty its trades.
        nb::object trades = get_attr(self, names.trade_log);
        nb::object copy =
            steal_or_raise(into_python([&] { return PySequence_List(trades.ptr()); }));
        dict_set(record, names.tradelogs, copy);
        dict_set(record, names.positions, merged_positions(portfolio));
    }
    dict_set(record, names.portfolio_value, get_attr(portfolio, names.portfolio_value));
    dict_set(record, names.ending_cash, get_attr(portfolio, names.cash));
    dict_set(record, names.pnl, get_attr(portfolio, names.pnl));
    return record;
}

void backtest_trade_data(nb::handle self, nb::handle) {
    const SinkNames &names = sink().names;
    nb::object one = steal_or_raise(PyLong_FromLong(1));
    nb::object done = get_attr(self, names._process);
    nb::object next =
        steal_or_raise(into_python([&] { return PyNumber_Add(done.ptr(), one.ptr()); }));
    set_attr(self, names._process, next);
    nb::object record = call_method(self, names.get_backtest_data);
    nb::object summary = steal_or_raise(PyDict_New());
    for (PyObject *key : {names.progress, names.portfolio_value, names.ending_cash, names.pnl})
        dict_set(summary, key, get_item(record, key));
    to_in_log(summary);
    to_in_log(record);
}

// ---- the profile ------------------------------------------------------------------------

// Runs `body` and returns the Python error it raised, if any: C++ failures
// become their Python exceptions, so the context manager receives them.
template <typename Body> nb::object error_of(Body &&body) {
    PyObject *ok = guarded([&]() -> PyObject * {
        body();
        return Py_NewRef(Py_None);
    });
    if (ok) {
        Py_DECREF(ok);
        return nb::object();
    }
    return fetch_error();
}

nb::handle type_of(nb::handle error) {
    return reinterpret_cast<PyObject *>(Py_TYPE(error.ptr()));
}

nb::object traceback_of(nb::handle error) {
    PyObject *traceback = PyException_GetTraceback(error.ptr());
    return traceback ? nb::steal(traceback) : nb::none();
}

// `with cm: body()`: the error of the body is handed to __exit__ as itself
// and raised again unless __exit__ suppresses it; an error of __exit__
// replaces it, chained to it as Python chains them.
template <typename Body> void with_context(nb::handle cm, Body &&body) {
    nb::object enter = get_attr(type_of(cm), sink().names.dunder_enter);
    nb::object exit = get_attr(type_of(cm), sink().names.dunder_exit);
    call(enter, cm);
    nb::object error = error_of(body);
    if (!error.is_valid()) {
        call(exit, cm, Py_None, Py_None, Py_None);
        return;
    }
    nb::object exit_error = error_of([&] {
        if (truth(call(exit, cm, type_of(error), error, traceback_of(error))))
            error = nb::object();
    });
    if (exit_error.is_valid()) {
        PyException_SetContext(exit_error.ptr(), error.release().ptr());
        error = exit_error;
    }
    if (error.is_valid())
        raise_again(error);
}

void output_profile(nb::handle self, nb::handle) {
    const SinkNames &names = sink().names;
    nb::object temp_dir = call(module_attr(names.TempDir));
    with_context(temp_dir, [&] {
        nb::object stream = call(get_attr(module_attr(names.io), names.StringIO));
        nb::object profiler = get_attr(env_of(self), names.profile_deco);
        call_method(profiler, names.print_stats, stream);
        nb::object text = call_method(call_method(stream, names.getvalue), names.rstrip);
        call_method(module_attr(names.log), names.info, text);
    });
}

nb::object make_sink_class(nb::module_ &m) {
    return ClassBuilder(m, "StreamSink")
        .def<sink_init>("__init__(self, env, daily_last_event, collect_trade=True, style='NORMAL')",
                        "Keep the run's environment and settings; register nothing yet.")
        .def<register_event>("register_event(self)",
                             "Route the user loggers through `log`; add seven listeners.")
        .def<system_init>("system_init(self, event)", "Note the length of the trading calendar.")
        .def<process_init>("process_init(self, event)",
                           "Write the first result record, stamped 15:30 the day before start.")
        .def<trade_init>("trade_init(self, event)", "Empty the day's trade list in place.")
        .def<trade_add>("trade_add(self, event)",
                        "Collect the event's trade, or write it at once when not collecting.")
        .def<backtest_trade_data>("backtest_trade_data(self, event)",
                                  "Count a settlement and write its summary and result records.")
        .def<output_record>("output_record(self, event)",
                            "Write the user record, if any, and start a new one.")
        .def<output_profile>("output_profile(self, event)",
                             "Write the line profiler's report through `log`.")
        .def<get_backtest_data>("get_backtest_data(self)",
                                "Return a new result record of progress, portfolio and trades.")
        .finish("Collects a back-test's results from the engine's events.");
}

constexpr zentaro::ImportEntry kImports[] = {
    {"io", "io", nullptr},
    {"EVENT", "corvane.events", "EVENT"},
    {"in_log", "zentaro.mod.kelvo.utils.recorder", "in_log"},
    {"log", "zentaro.mod.kelvo.utils.recorder", "log"},
    {"TempDir", "zentaro.mod.kelvo.utils.paths", "TempDir"},
};

} // namespace

ZT_MODULE(stream_sink, m) {
    module_state().init(m);
    bind_imports(m, kImports);
    m.attr("StreamSink") = make_sink_class(m);
}
