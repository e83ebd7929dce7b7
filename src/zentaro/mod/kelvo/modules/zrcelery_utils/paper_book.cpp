// PaperBook: a read-only view of a paper-trading account, rebuilt inside the
// calling process from the state its simulation persisted on disk.
//
// Every engine class the view drives is a module attribute read at call
// time, so a caller (or a test) can replace it.

#include "zentaro/function.hpp"
#include "zentaro/state.hpp"

namespace nb = nanobind;
using namespace zentaro;

namespace {

constexpr const char *kDoc = "实时读取simulate序列化信息获取数据\n"
                             "    portfolio读取当前交易组合相关信息\n"
                             "    ps:trade_logs交易日志将考虑像回测日志一样实时落库\n"
                             "    ";

nb::object now() {
    nb::object datetime = get_attr(module_attr(ZT_NAME("datetime")), ZT_NAME("datetime"));
    return call_method(datetime, ZT_NAME("now"));
}

void init(nb::handle self, nb::handle stock_market, nb::handle frequency, nb::handle paper_id,
          nb::handle capital_base, nb::handle path) {
    set_attr(self, ZT_NAME("stock_market"), stock_market);
    set_attr(self, ZT_NAME("frequency"), frequency);
    set_attr(self, ZT_NAME("paper_id"), paper_id);
    set_attr(self, ZT_NAME("capital_base"), capital_base);
    set_attr(self, ZT_NAME("cluster_conn"),
             call(module_attr(ZT_NAME("DiskPersistProvider")), path));
}

nb::object engine_config(nb::handle self, nb::handle service) {
    nb::object frequencies = get_attr(service, ZT_NAME("map_frequncy"));
    nb::object frequency = get_attr(self, ZT_NAME("frequency"));
    nb::dict base;
    base["frequency"] = get_item(frequencies, frequency);
    nb::dict config;
    config["base"] = base;
    nb::object market = call_method(get_attr(self, ZT_NAME("stock_market")), ZT_NAME("lower"));
    nb::object capital_base = get_attr(self, ZT_NAME("capital_base"));
    return call_method(service, ZT_NAME("gen_mod_config"), config, market, capital_base);
}

void start_engine(nb::handle env) {
    nb::object handler = call(module_attr(ZT_NAME("ModHandler")));
    call_method(handler, ZT_NAME("set_env"), env);
    call_method(handler, ZT_NAME("start_up"));
}

void set_clock(nb::handle env) {
    nb::object calendar_dt = now();
    nb::object data_proxy = get_attr(env, ZT_NAME("data_proxy"));
    nb::object base = get_attr(get_attr(env, ZT_NAME("config")), ZT_NAME("base"));
    nb::object frequency = get_attr(base, ZT_NAME("frequency"));
    nb::object bar_map = call(module_attr(ZT_NAME("BarMap")), data_proxy, frequency);
    call_method(bar_map, ZT_NAME("update_dt"), calendar_dt);
    call_method(env, ZT_NAME("set_bar_dict"), bar_map);
    set_attr(env, ZT_NAME("calendar_dt"), calendar_dt);
}

// Like hasattr: a failing read counts as absent and its error is dropped.
bool has_attribute(nb::handle obj, PyObject *name) {
    nb::object value = nb::steal(into_python([&] { return PyObject_GetAttr(obj.ptr(), name); }));
    if (!value.is_valid())
        PyErr_Clear();
    return value.is_valid();
}

void restore_state(nb::handle self, nb::handle env, nb::handle portfolio) {
    nb::object store = get_attr(self, ZT_NAME("cluster_conn"));
    nb::object state = call_method(store, ZT_NAME("load"), nb::str("portfolio"));
    if (!state.is_none())
        call_method(portfolio, ZT_NAME("set_state"), state);
    nb::object broker = get_attr(env, ZT_NAME("broker"));
    if (!has_attribute(broker, ZT_NAME("set_state_conf")))
        return;
    set_attr(env, ZT_NAME("portfolio"), portfolio);
    nb::object broker_state = call_method(store, ZT_NAME("load"), nb::str("broker"));
    if (!broker_state.is_none())
        call_method(get_attr(env, ZT_NAME("broker")), ZT_NAME("set_state_conf"), broker_state);
}

nb::object portfolio(nb::handle self) {
    nb::handle none = Py_None;
    nb::object service = call(module_attr(ZT_NAME("SimulateService")), none, none, none, none);
    nb::object config = engine_config(self, service);
    nb::object env = call(module_attr(ZT_NAME("Environment")), config);
    // Remembered so that finalising the view never discards an environment
    // that belongs to someone else.
    set_attr(self, ZT_NAME("_own_env"), env);
    start_engine(env);
    set_clock(env);
    nb::object result = call_method(get_attr(env, ZT_NAME("broker")), ZT_NAME("get_portfolio"));
    restore_state(self, env, result);
    return result;
}

nb::object figure(nb::handle self, PyObject *name) {
    return get_attr(get_attr(self, ZT_NAME("portfolio")), name);
}

nb::object total_asset_value(nb::handle self) {
    return figure(self, ZT_NAME("total_value"));
}

nb::object ending_cash(nb::handle self) {
    return figure(self, ZT_NAME("available_cash"));
}

nb::object market_value(nb::handle self) {
    return figure(self, ZT_NAME("market_value"));
}

nb::object profit_and_loss(nb::handle self) {
    return figure(self, ZT_NAME("pnl"));
}

// A position record as a new dict; None is refused the way `**record` refuses it.
nb::object record_copy(nb::handle record) {
    if (PyDict_Check(record.ptr()))
        return steal_or_raise(PyDict_Copy(record.ptr()));
    if (record.is_none())
        raise(PyExc_TypeError, "argument after ** must be a mapping, not NoneType");
    return call(builtin_type(&PyDict_Type), record);
}

nb::object positions(nb::handle self) {
    nb::object stamp = call_method(now(), ZT_NAME("strftime"), nb::str("%Y-%m-%dT%H:%M:%S"));
    nb::object held = get_attr(get_attr(self, ZT_NAME("portfolio")), ZT_NAME("positions"));
    nb::list result;
    nb::object pairs = call_method(held, ZT_NAME("items"));
    for (nb::handle pair : pairs) {
        nb::object position = pair[1];
        nb::object records = call_method(position, ZT_NAME("output_json"));
        for (nb::handle record : records) {
            nb::object copy = record_copy(record);
            check(into_python([&] {
                return PyObject_SetItem(copy.ptr(), ZT_NAME("position_date"), stamp.ptr());
            }));
            result.append(copy);
        }
    }
    return result;
}

// Discard the engine environment only if this view built it and it is
// still the current one: another run's environment is left alone. At
// interpreter exit the module may be gone before the view: nothing to do then.
void finalize(nb::handle self) {
    if (!module_state().loaded())
        return;
    try {
        nb::object own = nb::steal(
            into_python([&] { return PyObject_GetAttr(self.ptr(), ZT_NAME("_own_env")); }));
        if (!own.is_valid()) {
            PyErr_Clear();
            return;
        }
        nb::object environment = module_attr(ZT_NAME("Environment"));
        if (get_attr(environment, ZT_NAME("_env")).is(own))
            call_method(environment, ZT_NAME("del_instance"));
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
        .wrap("portfolio", module_attr(ZT_NAME("lazy_property")))
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
