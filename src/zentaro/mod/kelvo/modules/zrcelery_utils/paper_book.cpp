// PaperBook: a read-only view of a paper-trading account, rebuilt inside the
// calling process from the state its simulation persisted on disk.
//
// Every engine class the view drives is a module attribute read at call
// time, so a caller (or a test) can replace it.

#include "paper_book_state.hpp"
#include "zentaro/function.hpp"
#include "zentaro/state.hpp"

namespace nb = nanobind;
using namespace zentaro;
using namespace paper_book;

namespace {

constexpr const char *kDoc = "实时读取simulate序列化信息获取数据\n"
                             "    portfolio读取当前交易组合相关信息\n"
                             "    ps:trade_logs交易日志将考虑像回测日志一样实时落库\n"
                             "    ";

nb::object now() {
    const BookNames &names = book().names;
    nb::object datetime = get_attr(module_attr(names.datetime), names.datetime);
    return call_method(datetime, names.now);
}

void init(nb::handle self, nb::handle stock_market, nb::handle frequency, nb::handle paper_id,
          nb::handle capital_base, nb::handle path) {
    const BookNames &names = book().names;
    set_attr(self, names.stock_market, stock_market);
    set_attr(self, names.frequency, frequency);
    set_attr(self, names.paper_id, paper_id);
    set_attr(self, names.capital_base, capital_base);
    set_attr(self, names.cluster_conn, call(module_attr(names.DiskPersistProvider), path));
}

nb::object engine_config(nb::handle self, nb::handle service) {
    const BookNames &names = book().names;
    nb::object frequencies = get_attr(service, names.map_frequncy);
    nb::object frequency = get_attr(self, names.frequency);
    nb::dict base;
    base["frequency"] = get_item(frequencies, frequency);
    nb::dict config;
    config["base"] = base;
    nb::object market = call_method(get_attr(self, names.stock_market), names.lower);
    nb::object capital_base = get_attr(self, names.capital_base);
    return call_method(service, names.gen_mod_config, config, market, capital_base);
}

void start_engine(nb::handle env) {
    const BookNames &names = book().names;
    nb::object handler = call(module_attr(names.ModHandler));
    call_method(handler, names.set_env, env);
    call_method(handler, names.start_up);
}

void set_clock(nb::handle env) {
    const BookNames &names = book().names;
    nb::object calendar_dt = now();
    nb::object data_proxy = get_attr(env, names.data_proxy);
    nb::object base = get_attr(get_attr(env, names.config), names.base);
    nb::object frequency = get_attr(base, names.frequency);
    nb::object bar_map = call(module_attr(names.BarMap), data_proxy, frequency);
    call_method(bar_map, names.update_dt, calendar_dt);
    call_method(env, names.set_bar_dict, bar_map);
    set_attr(env, names.calendar_dt, calendar_dt);
}

// Like hasattr: a failing read counts as absent and its error is dropped.
bool has_attribute(nb::handle obj, PyObject *name) {
    nb::object value = nb::steal(into_python([&] { return PyObject_GetAttr(obj.ptr(), name); }));
    if (!value.is_valid())
        PyErr_Clear();
    return value.is_valid();
}

void restore_state(nb::handle self, nb::handle env, nb::handle portfolio) {
    const BookNames &names = book().names;
    nb::object store = get_attr(self, names.cluster_conn);
    nb::object state = call_method(store, names.load, nb::str("portfolio"));
    if (!state.is_none())
        call_method(portfolio, names.set_state, state);
    nb::object broker = get_attr(env, names.broker);
    if (!has_attribute(broker, names.set_state_conf))
        return;
    set_attr(env, names.portfolio, portfolio);
    nb::object broker_state = call_method(store, names.load, nb::str("broker"));
    if (!broker_state.is_none())
        call_method(get_attr(env, names.broker), names.set_state_conf, broker_state);
}

nb::object portfolio(nb::handle self) {
    const BookNames &names = book().names;
    nb::handle none = Py_None;
    nb::object service = call(module_attr(names.SimulateService), none, none, none, none);
    nb::object config = engine_config(self, service);
    nb::object env = call(module_attr(names.Environment), config);
    // Remembered so that finalising the view never discards an environment
    // that belongs to someone else.
    set_attr(self, names._own_env, env);
    start_engine(env);
    set_clock(env);
    nb::object result = call_method(get_attr(env, names.broker), names.get_portfolio);
    restore_state(self, env, result);
    return result;
}

nb::object figure(nb::handle self, PyObject *name) {
    return get_attr(get_attr(self, book().names.portfolio), name);
}

nb::object total_asset_value(nb::handle self) {
    return figure(self, book().names.total_value);
}

nb::object ending_cash(nb::handle self) {
    return figure(self, book().names.available_cash);
}

nb::object market_value(nb::handle self) {
    return figure(self, book().names.market_value);
}

nb::object profit_and_loss(nb::handle self) {
    return figure(self, book().names.pnl);
}

// A position record as a new dict; None is refused the way `**record` refuses it.
nb::object record_copy(nb::handle record) {
    if (PyDict_Check(record.ptr()))
        return steal_or_raise(PyDict_Copy(record.ptr()));
    if (record.is_none())
        raise_error(PyExc_TypeError, "argument after ** must be a mapping, not NoneType");
    return call(builtin_type(&PyDict_Type), record);
}

nb::object positions(nb::handle self) {
    const BookNames &names = book().names;
    nb::object stamp = call_method(now(), names.strftime, nb::str("%Y-%m-%dT%H:%M:%S"));
    nb::object held = get_attr(get_attr(self, names.portfolio), names.positions);
    nb::list result;
    nb::object pairs = call_method(held, names.items);
    for (nb::handle pair : pairs) {
        nb::object position = pair[1];
        nb::object records = call_method(position, names.output_json);
        for (nb::handle record : records) {
            nb::object copy = record_copy(record);
            check(into_python(
                [&] { return PyObject_SetItem(copy.ptr(), names.position_date, stamp.ptr()); }));
            result.append(copy);
        }
    }
    return result;
}

// Discard the engine environment only if this view built it and it is
// still the current one: another run's environment is left alone. At
// interpreter exit the module may be gone before the view: nothing to do then.
void finalize(nb::handle self) {
    const BookNames &names = book().names;
    if (!module_state().loaded())
        return;
    try {
        nb::object own =
            nb::steal(into_python([&] { return PyObject_GetAttr(self.ptr(), names._own_env); }));
        if (!own.is_valid()) {
            PyErr_Clear();
            return;
        }
        nb::object environment = module_attr(names.Environment);
        if (get_attr(environment, names._env).is(own))
            call_method(environment, names.del_instance);
    } catch (nb::python_error &e) {
        e.restore();
        PyErr_WriteUnraisable(self.ptr());
    }
}

nb::object make_paper_book(nb::module_ &m) {
    ClassBuilder cls(m, "PaperBook");
    cls.def<init>("__init__(self, stock_market, frequency, paper_id, capital_base, path)",
                  "Store the account's settings and open its persisted state.")
        .def<portfolio>("portfolio(self)",
                        "The portfolio restored from the persisted state (built on first read).")
        .wrap("portfolio", module_attr(book().names.lazy_property))
        .property<total_asset_value>("total_asset_value", "The portfolio's total value.")
        .property<ending_cash>("ending_cash", "The portfolio's available cash.")
        .property<market_value>("market_value", "The portfolio's market value.")
        .property<profit_and_loss>("profit_and_loss", "The portfolio's profit and loss.")
        .property<positions>("positions",
                             "The position records, each stamped with the time of the read.")
        .def<finalize>("__del__(self)", "Discard the engine environment this view built.");
    return cls.finish(kDoc);
}

constexpr zentaro::ImportEntry kImports[] = {
    {"datetime", "datetime", nullptr},
    {"ModHandler", "corvane.mod", "ModHandler"},
    {"Environment", "corvane.environment", "Environment"},
    {"BarMap", "corvane.model.bar", "BarMap"},
    {"DiskPersistProvider", "corvane.utils.disk_persist_provider", "DiskPersistProvider"},
    {"lazy_property", "zentaro.mod.kelvo.utils.wrap_utils", "lazy_property"},
    {"SimulateService", "zentaro.mod.kelvo.simulate", "SimulateService"},
};

} // namespace

ZT_MODULE(paper_book, m) {
    module_state().init(m);
    bind_imports(m, kImports);
    m.attr("PaperBook") = make_paper_book(m);
}
