// KelvoMod: the engine plug-in that starts the result stream, publishes the
// in-house API functions, installs the persistence provider and lets the
// in-house event functions register, in that order.

#include <nanobind/nanobind.h>

#include "zentaro/modref.hpp"
#include "zentaro/pyutil.hpp"

namespace nb = nanobind;
using namespace zentaro;

namespace {

ModuleRef module_ref;

nb::object module_global(const char *name) {
    return module_ref.attr(name);
}

nb::object listed_names(nb::handle module) {
    nb::object names = module.attr("__all__");
    return steal_or_raise(PySequence_List(names.ptr()));
}

void start_stream(nb::handle env, nb::handle mod_config) {
    // Imported only when switched on: a run without the stream never loads it.
    nb::object sink_class =
        nb::module_::import_("zentaro.mod.kelvo.stream_sink").attr("StreamSink");
    nb::object daily_last_event = mod_config.attr("daily_last_event");
    nb::object collect_trade = mod_config.attr("daily_collect_trade");
    nb::object style = mod_config.attr("style");
    nb::object sink = sink_class(env, daily_last_event, collect_trade, style);
    sink.attr("register_event")();
}

void export_all(nb::handle module) {
    for (nb::handle name : listed_names(module)) {
        nb::object value = steal_or_raise(PyObject_GetAttr(module.ptr(), name.ptr()));
        module_global("export_as_api")(value);
    }
}

void start_up(nb::handle, nb::handle env, nb::handle mod_config) {
    if (truth(mod_config.attr("enable_stream_sink")))
        start_stream(env, mod_config);
    export_all(module_global("api_comm"));
    nb::object research = module_global("research_cls");
    for (nb::handle name : listed_names(research)) {
        nb::object value = steal_or_raise(PyObject_GetAttr(research.ptr(), name.ptr()));
        module_global("register_api")(name, value);
    }
    export_all(module_global("research_api"));
    if (truth(mod_config.attr("persist_provider"))) {
        // Read again for the call, as the engine's configuration may compute it.
        nb::object provider = mod_config.attr("persist_provider");
        env.attr("set_persist_provider")(provider);
    }
    module_global("EventFunc")(env).attr("register_event")();
}

void tear_down(nb::handle, nb::handle, nb::handle exception) {
    if (!truth(exception))
        return;
    // Materialised first: a failing lookup must raise here, not inside the call machinery.
    nb::object cause = exception.attr("error");
    nb::object message = module_global("get_error_message")(cause);
    nb::object error = module_global("UserError")(nb::arg("error_type") = "回测运行错误",
                                                  nb::arg("traceback_msg") = message);
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
    raise_python_error();
}

void init(nb::handle self) {
    nb::setattr(self, "_env", nb::none());
}

nb::object make_mod_class(nb::handle module) {
    nb::dict ns;
    ns["__init__"] = method(&init, nb::name("__init__"));
    ns["start_up"] = method(&start_up, nb::name("start_up"), nb::arg("env").none(),
                            nb::arg("mod_config").none());
    ns["tear_down"] = method(&tear_down, nb::name("tear_down"), nb::arg("success").none(),
                             nb::arg("exception").none() = nb::none());
    return make_python_class(module, "KelvoMod", nb::make_tuple(module.attr("AbstractMod")), ns);
}

} // namespace

NB_MODULE(mod, m) {
    module_ref.set(m);
    m.attr("AbstractMod") = nb::module_::import_("corvane.interface").attr("AbstractMod");
    m.attr("export_as_api") = nb::module_::import_("corvane").attr("export_as_api");
    m.attr("register_api") = nb::module_::import_("corvane.api.api_base").attr("register_api");
    m.attr("api_comm") = nb::module_::import_("zentaro.mod.kelvo.api.api_comm");
    nb::module_::import_("zentaro.mod.kelvo.research");
    m.attr("research_cls") = nb::module_::import_("zentaro.mod.kelvo").attr("research");
    m.attr("research_api") = nb::module_::import_("zentaro.mod.kelvo.research.research_api");
    m.attr("EventFunc") = nb::module_::import_("zentaro.mod.kelvo.event_func").attr("EventFunc");
    nb::object errors = nb::module_::import_("zentaro.mod.kelvo.errors");
    m.attr("UserError") = errors.attr("UserError");
    m.attr("get_error_message") = errors.attr("get_error_message");
    m.attr("KelvoMod") = make_mod_class(m);
}
