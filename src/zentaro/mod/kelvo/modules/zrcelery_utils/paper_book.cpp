// PaperBook: a read-only view of a paper-trading account, rebuilt inside the
// calling process from the state its simulation persisted on disk.

#include <nanobind/nanobind.h>

#include "zentaro/modref.hpp"
#include "zentaro/pyutil.hpp"

namespace nb = nanobind;
using namespace zentaro;

namespace {

ModuleRef module_ref;

const char *const DOC = "实时读取simulate序列化信息获取数据\n"
                        "    portfolio读取当前交易组合相关信息\n"
                        "    ps:trade_logs交易日志将考虑像回测日志一样实时落库\n"
                        "    ";

// Where the view remembers the environment it built, so that finalising it
// never discards an environment that belongs to someone else.
const char *const OWN_ENV = "_own_env";

nb::object global(const char *name) {
    return module_ref.attr(name);
}

nb::object now() {
    return global("datetime").attr("datetime").attr("now")();
}

void init(nb::handle self, nb::object stock_market, nb::object frequency, nb::object paper_id,
          nb::object capital_base, nb::object path) {
    nb::setattr(self, "stock_market", stock_market);
    nb::setattr(self, "frequency", frequency);
    nb::setattr(self, "paper_id", paper_id);
    nb::setattr(self, "capital_base", capital_base);
    nb::setattr(self, "cluster_conn", global("DiskPersistProvider")(path));
}

nb::object engine_config(nb::handle self, nb::handle service) {
    nb::object frequencies = service.attr("map_frequncy");
    nb::object frequency = self.attr("frequency");
    nb::dict base;
    base["frequency"] = steal_or_raise(PyObject_GetItem(frequencies.ptr(), frequency.ptr()));
    nb::dict config;
    config["base"] = base;
    nb::object market = self.attr("stock_market").attr("lower")();
    nb::object capital_base = self.attr("capital_base");
    return service.attr("gen_mod_config")(config, market, capital_base);
}

void start_engine(nb::handle env) {
    nb::object handler = global("ModHandler")();
    handler.attr("set_env")(env);
    handler.attr("start_up")();
}

void set_clock(nb::handle env) {
    nb::object calendar_dt = now();
    nb::object data_proxy = env.attr("data_proxy");
    nb::object frequency = env.attr("config").attr("base").attr("frequency");
    nb::object bar_map = global("BarMap")(data_proxy, frequency);
    bar_map.attr("update_dt")(calendar_dt);
    env.attr("set_bar_dict")(bar_map);
    nb::setattr(env, "calendar_dt", calendar_dt);
}

bool has_attribute(nb::handle obj, const char *name) {
    nb::object value = nb::steal(PyObject_GetAttrString(obj.ptr(), name));
    if (!value.is_valid())
        PyErr_Clear(); // like hasattr: a failing read counts as absent
    return value.is_valid();
}

void restore_state(nb::handle self, nb::handle env, nb::handle portfolio) {
    nb::object store = self.attr("cluster_conn");
    nb::object state = store.attr("load")("portfolio");
    if (!state.is_none())
        portfolio.attr("set_state")(state);
    nb::object broker = env.attr("broker");
    if (!has_attribute(broker, "set_state_conf"))
        return;
    nb::setattr(env, "portfolio", portfolio);
    nb::object broker_state = store.attr("load")("broker");
    if (!broker_state.is_none())
        env.attr("broker").attr("set_state_conf")(broker_state);
}

nb::object portfolio(nb::handle self) {
    nb::object service = global("SimulateService")(nb::none(), nb::none(), nb::none(), nb::none());
    nb::object config = engine_config(self, service);
    nb::object env = global("Environment")(config);
    nb::setattr(self, OWN_ENV, env);
    start_engine(env);
    set_clock(env);
    nb::object result = env.attr("broker").attr("get_portfolio")();
    restore_state(self, env, result);
    return result;
}

nb::object figure(nb::handle self, const char *name) {
    return self.attr("portfolio").attr(name);
}

// A position record as a new dict; None is refused the way `**record` refuses it.
nb::object record_copy(nb::handle record) {
    if (PyDict_Check(record.ptr()))
        return steal_or_raise(PyDict_Copy(record.ptr()));
    if (record.is_none()) {
        PyErr_SetString(PyExc_TypeError, "argument after ** must be a mapping, not NoneType");
        raise_python_error();
    }
    return steal_or_raise(
        PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyDict_Type), record.ptr()));
}

nb::object positions(nb::handle self) {
    nb::object stamp = now().attr("strftime")("%Y-%m-%dT%H:%M:%S");
    nb::object positions = self.attr("portfolio").attr("positions");
    nb::list result;
    for (nb::handle pair : positions.attr("items")()) {
        nb::object position = pair[1];
        for (nb::handle record : position.attr("output_json")()) {
            nb::object copy = record_copy(record);
            copy["position_date"] = stamp;
            result.append(copy);
        }
    }
    return result;
}

// Discard the engine environment only if this view built it and it is
// still the current one: another run's environment is left alone.
void finalize(nb::handle self) {
    try {
        nb::object own = nb::steal(PyObject_GetAttrString(self.ptr(), OWN_ENV));
        if (!own.is_valid()) {
            PyErr_Clear();
            return;
        }
        nb::object environment = global("Environment");
        if (environment.attr("_env").is(own))
            environment.attr("del_instance")();
    } catch (nb::python_error &e) {
        e.restore();
        PyErr_WriteUnraisable(self.ptr());
    }
}

nb::object make_property(nb::object getter) {
    nb::handle property = reinterpret_cast<PyObject *>(&PyProperty_Type);
    return property(getter);
}

nb::object make_paper_book(nb::handle module) {
    nb::dict ns;
    ns["__init__"] = method(&init, nb::name("__init__"), nb::arg("stock_market").none(),
                            nb::arg("frequency").none(), nb::arg("paper_id").none(),
                            nb::arg("capital_base").none(), nb::arg("path").none());
    nb::object lazy_property = module.attr("lazy_property");
    ns["portfolio"] = lazy_property(method(&portfolio, nb::name("portfolio")));
    struct {
        const char *name, *attr;
    } figures[] = {{"total_asset_value", "total_value"},
                   {"ending_cash", "available_cash"},
                   {"market_value", "market_value"},
                   {"profit_and_loss", "pnl"}};
    for (auto &row : figures) {
        const char *attr = row.attr;
        ns[row.name] = make_property(
            method([attr](nb::handle self) { return figure(self, attr); }, nb::name(row.name)));
    }
    ns["positions"] = make_property(method(&positions, nb::name("positions")));
    ns["__del__"] = method(&finalize, nb::name("__del__"));
    nb::object object_type = nb::borrow(reinterpret_cast<PyObject *>(&PyBaseObject_Type));
    nb::object cls = make_python_class(module, "PaperBook", nb::make_tuple(object_type), ns);
    set_doc(cls, DOC);
    return cls;
}

} // namespace

NB_MODULE(paper_book, m) {
    module_ref.set(m);
    m.attr("datetime") = nb::module_::import_("datetime");
    m.attr("ModHandler") = nb::module_::import_("corvane.mod").attr("ModHandler");
    m.attr("Environment") = nb::module_::import_("corvane.environment").attr("Environment");
    m.attr("BarMap") = nb::module_::import_("corvane.model.bar").attr("BarMap");
    m.attr("DiskPersistProvider") =
        nb::module_::import_("corvane.utils.disk_persist_provider").attr("DiskPersistProvider");
    m.attr("lazy_property") =
        nb::module_::import_("zentaro.mod.kelvo.utils.wrap_utils").attr("lazy_property");
    m.attr("SimulateService") =
        nb::module_::import_("zentaro.mod.kelvo.simulate").attr("SimulateService");
    m.attr("PaperBook") = make_paper_book(m);
}
