// StreamSink: follows a back-test through the engine's events and hands its
// result, trade and user records to `in_log`, the profiler report to `log`.

#include <nanobind/nanobind.h>

#include "zentaro/modref.hpp"
#include "zentaro/pyutil.hpp"

namespace nb = nanobind;
using namespace zentaro;

namespace {

ModuleRef module_ref;

struct Names {
    PyObject *_env, *_trading_length, *_process, *_daily_last_event, *_collect_trade, *_style;
    PyObject *trade_log, *event_bus, *config, *base, *trading_calendar, *data_proxy, *start_date;
    PyObject *get_previous_trading_date, *get_backtest_data, *info, *trade, *output_json, *append;
    PyObject *record_dict, *portfolio, *accounts, *positions, *items, *portfolio_value, *cash, *pnl;
    PyObject *profile_deco, *print_stats, *getvalue, *rstrip, *clear, *add_listener;
    PyObject *in_log, *log, *EVENT, *six, *TempDir, *StringIO, *NORMAL;
    PyObject *k_tradelogs, *k_positions, *k_progress, *k_portfolio_value, *k_ending_cash, *k_pnl;
} S;

void init_names() {
    S._env = interned("_env");
    S._trading_length = interned("_trading_length");
    S._process = interned("_process");
    S._daily_last_event = interned("_daily_last_event");
    S._collect_trade = interned("_collect_trade");
    S._style = interned("_style");
    S.trade_log = interned("trade_log");
    S.event_bus = interned("event_bus");
    S.config = interned("config");
    S.base = interned("base");
    S.trading_calendar = interned("trading_calendar");
    S.data_proxy = interned("data_proxy");
    S.start_date = interned("start_date");
    S.get_previous_trading_date = interned("get_previous_trading_date");
    S.get_backtest_data = interned("get_backtest_data");
    S.info = interned("info");
    S.trade = interned("trade");
    S.output_json = interned("output_json");
    S.append = interned("append");
    S.record_dict = interned("record_dict");
    S.portfolio = interned("portfolio");
    S.accounts = interned("accounts");
    S.positions = interned("positions");
    S.items = interned("items");
    S.portfolio_value = interned("portfolio_value");
    S.cash = interned("cash");
    S.pnl = interned("pnl");
    S.profile_deco = interned("profile_deco");
    S.print_stats = interned("print_stats");
    S.getvalue = interned("getvalue");
    S.rstrip = interned("rstrip");
    S.clear = interned("clear");
    S.add_listener = interned("add_listener");
    S.in_log = interned("in_log");
    S.log = interned("log");
    S.EVENT = interned("EVENT");
    S.six = interned("six");
    S.TempDir = interned("TempDir");
    S.StringIO = interned("StringIO");
    S.NORMAL = interned("NORMAL");
    S.k_tradelogs = interned("tradelogs");
    S.k_positions = interned("positions");
    S.k_progress = interned("progress");
    S.k_portfolio_value = interned("portfolio_value");
    S.k_ending_cash = interned("ending_cash");
    S.k_pnl = interned("pnl");
}

nb::object env_of(nb::handle self) {
    return get_attr(self, S._env);
}

void dict_set(nb::handle d, PyObject *key, nb::handle value) {
    if (PyDict_SetItem(d.ptr(), key, value.ptr()) < 0)
        raise_python_error();
}

nb::object dict_get(nb::handle d, PyObject *key) {
    return steal_or_raise(PyObject_GetItem(d.ptr(), key));
}

// in_log.info(record, <keyword>=<value>), looked up at call time.
void to_in_log(nb::handle record, const char *keyword = nullptr, nb::handle value = nb::handle()) {
    nb::object in_log = module_ref.attr(S.in_log);
    nb::object info = get_attr(in_log, S.info);
    if (!keyword) {
        steal_or_raise(PyObject_CallOneArg(info.ptr(), record.ptr()));
        return;
    }
    nb::object names = steal_or_raise(PyTuple_Pack(1, nb::str(keyword).ptr()));
    PyObject *args[2] = {record.ptr(), value.ptr()};
    steal_or_raise(PyObject_Vectorcall(info.ptr(), args, 1, names.ptr()));
}

// Iterate obj.items() and hand each (key, value) pair to `fn`.
template <typename Fn> void for_items(nb::handle mapping, Fn &&fn) {
    nb::object items = call_method0(mapping, S.items);
    nb::object it = steal_or_raise(PyObject_GetIter(items.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object pair = nb::steal(raw);
        nb::object seq = steal_or_raise(PySequence_Tuple(pair.ptr()));
        if (PyTuple_GET_SIZE(seq.ptr()) != 2) {
            PyErr_SetString(PyExc_ValueError, "items() must give (key, value) pairs");
            raise_python_error();
        }
        fn(nb::handle(PyTuple_GET_ITEM(seq.ptr(), 0)), nb::handle(PyTuple_GET_ITEM(seq.ptr(), 1)));
    }
    if (PyErr_Occurred())
        raise_python_error();
}

// ------------------------------------------------------------ construction

void sink_init(nb::handle self, nb::object env, nb::object daily_last_event,
               nb::object collect_trade, nb::object style) {
    set_attr(self, S._env, env);
    set_attr(self, S._trading_length, steal_or_raise(PyLong_FromLong(0)));
    set_attr(self, S._process, steal_or_raise(PyLong_FromLong(0)));
    set_attr(self, S._daily_last_event, daily_last_event);
    set_attr(self, S._collect_trade, collect_trade);
    set_attr(self, S._style, style);
    set_attr(self, S.trade_log, steal_or_raise(PyList_New(0)));
}

void redirect_user_loggers() {
    nb::object logger = nb::module_::import_("corvane.utils.logger");
    nb::object user_log = logger.attr("user_log");
    nb::object user_system_log = logger.attr("user_system_log");
    nb::object log = module_ref.attr(S.log);
    for (const char *name : {"info", "warn", "error"}) {
        nb::object bound = log.attr(name);
        nb::setattr(user_log, name, bound);
        nb::setattr(user_system_log, name, bound);
    }
}

void register_event(nb::handle self) {
    redirect_user_loggers();
    nb::object event = module_ref.attr(S.EVENT);
    nb::object bus = get_attr(env_of(self), S.event_bus);
    struct {
        nb::object type;
        const char *handler;
    } table[] = {
        {event.attr("POST_USER_INIT"), "process_init"},
        {event.attr("POST_SYSTEM_INIT"), "system_init"},
        {event.attr("PRE_BEFORE_TRADING"), "trade_init"},
        {event.attr("TRADE"), "trade_add"},
        {event.attr("POST_SETTLEMENT"), "backtest_trade_data"},
        {get_attr(self, S._daily_last_event), "output_record"},
        {event.attr("ON_LINE_PROFILER_RESULT"), "output_profile"},
    };
    for (auto &row : table) {
        nb::object handler = self.attr(row.handler);
        nb::object add = get_attr(bus, S.add_listener);
        add(row.type, handler);
    }
}

// ---------------------------------------------------------------- handlers

void system_init(nb::handle self, nb::handle) {
    nb::object base = get_attr(get_attr(env_of(self), S.config), S.base);
    nb::object calendar = get_attr(base, S.trading_calendar);
    Py_ssize_t n = PyObject_Length(calendar.ptr());
    if (n < 0)
        raise_python_error();
    set_attr(self, S._trading_length, steal_or_raise(PyLong_FromSsize_t(n)));
}

void process_init(nb::handle self, nb::handle) {
    nb::object env = env_of(self);
    nb::object start = get_attr(get_attr(get_attr(env, S.config), S.base), S.start_date);
    nb::object prev_dt =
        call_method1(get_attr(env, S.data_proxy), S.get_previous_trading_date, start);
    nb::object record = call_method0(self, S.get_backtest_data);
    nb::object stamp = prev_dt.attr("replace")(nb::arg("hour") = 15, nb::arg("minute") = 30);
    to_in_log(record, "datetime", stamp);
}

void trade_init(nb::handle self, nb::handle) {
    nb::object trade_log = get_attr(self, S.trade_log);
    if (PyList_CheckExact(trade_log.ptr())) {
        if (PyList_SetSlice(trade_log.ptr(), 0, PY_SSIZE_T_MAX, nullptr) < 0)
            raise_python_error();
        return;
    }
    call_method0(trade_log, S.clear);
}

void trade_add(nb::handle self, nb::handle event) {
    nb::object trade = get_attr(event, S.trade);
    if (!truth(trade))
        return;
    nb::object data = call_method0(trade, S.output_json);
    if (truth(get_attr(self, S._collect_trade))) {
        call_method1(get_attr(self, S.trade_log), S.append, data);
        return;
    }
    nb::object record = steal_or_raise(PyDict_New());
    nb::object one = steal_or_raise(PyList_New(1));
    PyList_SET_ITEM(one.ptr(), 0, data.release().ptr());
    dict_set(record, S.k_tradelogs, one);
    to_in_log(record, "type", nb::str("TRADE"));
}

void output_record(nb::handle self, nb::handle) {
    nb::object env = env_of(self);
    nb::object record = get_attr(env, S.record_dict);
    if (!truth(record))
        return;
    to_in_log(record, "type", nb::str("RECORD"));
    set_attr(env, S.record_dict, steal_or_raise(PyDict_New()));
}

// ----------------------------------------------------------- result records

nb::object progress_of(nb::handle self) {
    nb::object length = get_attr(self, S._trading_length);
    if (!truth(length))
        return length;
    nb::object done = get_attr(self, S._process);
    return steal_or_raise(PyNumber_TrueDivide(done.ptr(), length.ptr()));
}

// position key -> output_json() over every account; a later account's
// value replaces an earlier one's under the same key.
nb::object merged_positions(nb::handle portfolio) {
    nb::object positions = steal_or_raise(PyDict_New());
    for_items(get_attr(portfolio, S.accounts), [&](nb::handle, nb::handle account) {
        for_items(get_attr(account, S.positions), [&](nb::handle key, nb::handle position) {
            if (PyDict_SetItem(positions.ptr(), key.ptr(),
                               call_method0(position, S.output_json).ptr()) < 0)
                raise_python_error();
        });
    });
    return positions;
}

nb::object get_backtest_data(nb::handle self) {
    nb::object record = steal_or_raise(PyDict_New());
    dict_set(record, S.k_tradelogs, steal_or_raise(PyList_New(0)));
    dict_set(record, S.k_positions, steal_or_raise(PyDict_New()));
    dict_set(record, S.k_progress, progress_of(self));
    nb::object portfolio = get_attr(env_of(self), S.portfolio);
    if (compare(get_attr(self, S._style), S.NORMAL, Py_EQ)) {
        // A copy: a consumer that keeps the record must not see the next
        // day's PRE_BEFORE_TRADING empty its trades.
        nb::object trades = steal_or_raise(PySequence_List(get_attr(self, S.trade_log).ptr()));
        dict_set(record, S.k_tradelogs, trades);
        dict_set(record, S.k_positions, merged_positions(portfolio));
    }
    dict_set(record, S.k_portfolio_value, get_attr(portfolio, S.portfolio_value));
    dict_set(record, S.k_ending_cash, get_attr(portfolio, S.cash));
    dict_set(record, S.k_pnl, get_attr(portfolio, S.pnl));
    return record;
}

void backtest_trade_data(nb::handle self, nb::handle) {
    nb::object one = steal_or_raise(PyLong_FromLong(1));
    nb::object done = get_attr(self, S._process);
    set_attr(self, S._process, steal_or_raise(PyNumber_Add(done.ptr(), one.ptr())));
    nb::object record = call_method0(self, S.get_backtest_data);
    nb::object summary = steal_or_raise(PyDict_New());
    for (PyObject *key : {S.k_progress, S.k_portfolio_value, S.k_ending_cash, S.k_pnl})
        dict_set(summary, key, dict_get(record, key));
    to_in_log(summary);
    to_in_log(record);
}

// `with cm: body()`, with the ordinary hand-over of a failure to __exit__.
template <typename Body> void with_context(nb::handle cm, Body &&body) {
    nb::handle type = reinterpret_cast<PyObject *>(Py_TYPE(cm.ptr()));
    nb::object exit = type.attr("__exit__");
    type.attr("__enter__")(cm);
    try {
        body();
    } catch (nb::python_error &e) {
        nb::object suppress = exit(cm, e.type(), e.value(), e.traceback());
        if (truth(suppress))
            return;
        throw;
    }
    exit(cm, nb::none(), nb::none(), nb::none());
}

void output_profile(nb::handle self, nb::handle) {
    nb::object temp_dir = module_ref.attr(S.TempDir)();
    with_context(temp_dir, [&] {
        nb::object stream = get_attr(module_ref.attr(S.six), S.StringIO)();
        nb::object profiler = get_attr(env_of(self), S.profile_deco);
        call_method1(profiler, S.print_stats, stream);
        nb::object text = call_method0(call_method0(stream, S.getvalue), S.rstrip);
        nb::object log = module_ref.attr(S.log);
        call_method1(log, S.info, text);
    });
}

nb::object make_sink_class(nb::handle module) {
    nb::dict ns;
    ns["__init__"] = method(
        &sink_init, nb::name("__init__"), nb::arg("env").none(), nb::arg("daily_last_event").none(),
        nb::arg("collect_trade").none() = true, nb::arg("style").none() = "NORMAL");
    ns["register_event"] = method(&register_event, nb::name("register_event"));
    auto handler = [&](const char *name, void (*fn)(nb::handle, nb::handle)) {
        ns[name] = method(fn, nb::name(name), nb::arg("event").none());
    };
    handler("system_init", &system_init);
    handler("process_init", &process_init);
    handler("trade_init", &trade_init);
    handler("trade_add", &trade_add);
    handler("output_record", &output_record);
    handler("backtest_trade_data", &backtest_trade_data);
    handler("output_profile", &output_profile);
    ns["get_backtest_data"] = method(&get_backtest_data, nb::name("get_backtest_data"));
    nb::object object_type = nb::borrow(reinterpret_cast<PyObject *>(&PyBaseObject_Type));
    return make_python_class(module, "StreamSink", nb::make_tuple(object_type), ns);
}

} // namespace

NB_MODULE(stream_sink, m) {
    init_names();
    module_ref.set(m);
    m.attr("six") = nb::module_::import_("six");
    m.attr("EVENT") = nb::module_::import_("corvane.events").attr("EVENT");
    nb::object recorder = nb::module_::import_("zentaro.mod.kelvo.utils.recorder");
    m.attr("in_log") = recorder.attr("in_log");
    m.attr("log") = recorder.attr("log");
    m.attr("TempDir") = nb::module_::import_("zentaro.mod.kelvo.utils.paths").attr("TempDir");
    m.attr("StreamSink") = make_sink_class(m);
}
