// KelvoMod: the engine plug-in that starts the result stream, publishes the
// in-house API functions, installs the persistence provider and lets the
// in-house event functions register, in that order.

#include "zentaro/function.hpp"
#include "zentaro/state.hpp"

namespace nb = nanobind;
using namespace zentaro;

namespace {

constexpr const char *kRunError = "回测运行错误";

nb::object listed_names(nb::handle module) {
    nb::object names = get_attr(module, ZT_NAME("__all__"));
    return steal_or_raise(into_python([&] { return PySequence_List(names.ptr()); }));
}

void start_stream(nb::handle env, nb::handle mod_config) {
    // Imported only when switched on: a run without the stream never loads it.
    nb::object sink_class = import_from("zentaro.mod.kelvo.stream_sink", "StreamSink");
    nb::object daily_last_event = get_attr(mod_config, ZT_NAME("daily_last_event"));
    nb::object collect_trade = get_attr(mod_config, ZT_NAME("daily_collect_trade"));
    nb::object style = get_attr(mod_config, ZT_NAME("style"));
    nb::object sink = call(sink_class, env, daily_last_event, collect_trade, style);
    call_method(sink, ZT_NAME("register_event"));
}

void export_all(nb::handle module) {
    nb::object names = listed_names(module);
    for (nb::handle name : names) {
        nb::object value = get_attr(module, name.ptr());
        call(module_attr(ZT_NAME("export_as_api")), value);
    }
}

void register_research(nb::handle research) {
    nb::object names = listed_names(research);
    for (nb::handle name : names) {
        nb::object value = get_attr(research, name.ptr());
        call(module_attr(ZT_NAME("register_api")), name, value);
    }
}

void start_up(nb::handle, nb::handle env, nb::handle mod_config) {
    if (truth(get_attr(mod_config, ZT_NAME("enable_stream_sink"))))
        start_stream(env, mod_config);
    export_all(module_attr(ZT_NAME("api_comm")));
    register_research(module_attr(ZT_NAME("research_cls")));
    export_all(module_attr(ZT_NAME("research_api")));
    if (truth(get_attr(mod_config, ZT_NAME("persist_provider")))) {
        // Read again for the call, as the engine's configuration may compute it.
        nb::object provider = get_attr(mod_config, ZT_NAME("persist_provider"));
        call_method(env, ZT_NAME("set_persist_provider"), provider);
    }
    nb::object event_func = call(module_attr(ZT_NAME("EventFunc")), env);
    call_method(event_func, ZT_NAME("register_event"));
}

void tear_down(nb::handle, nb::handle, nb::handle exception) {
    if (!truth(exception))
        return;
    nb::object user_error = module_attr(ZT_NAME("UserError"));
    nb::object cause = get_attr(exception, ZT_NAME("error"));
    nb::object message = call(module_attr(ZT_NAME("get_error_message")), cause);
    nb::object error = call_with_keywords(
        user_error, {},
        {{ZT_NAME("error_type"), ZT_NAME(kRunError)}, {ZT_NAME("traceback_msg"), message}});
    raise_object(error);
}

void init(nb::handle self) {
    set_attr(self, ZT_NAME("_env"), Py_None);
}

nb::object make_mod_class(nb::module_ &m) {
    nb::object bases = nb::make_tuple(module_attr(ZT_NAME("AbstractMod")));
    return ClassBuilder(m, "KelvoMod", bases)
        .def<init>("__init__(self)", "Make the plug-in; it keeps no state.")
        .def<start_up>("start_up(self, env, mod_config)",
                       "Start the stream if enabled, publish the API, register the events.")
        .def<tear_down>("tear_down(self, success, exception=None)",
                        "Raise UserError for a failed run; otherwise return None.")
        .finish("Engine plug-in that connects the back-test side of the kit to a run.");
}

constexpr zentaro::ImportEntry kImports[] = {
    {"AbstractMod", "corvane.interface", "AbstractMod"},
    {"export_as_api", "corvane", "export_as_api"},
    {"register_api", "corvane.api.api_base", "register_api"},
    {"api_comm", "zentaro.mod.kelvo.api", "api_comm"},
    {"research_cls", "zentaro.mod.kelvo", "research"},
    {"research_api", "zentaro.mod.kelvo.research", "research_api"},
    {"EventFunc", "zentaro.mod.kelvo.event_func", "EventFunc"},
    {"UserError", "zentaro.mod.kelvo.errors", "UserError"},
    {"get_error_message", "zentaro.mod.kelvo.errors", "get_error_message"},
};

} // namespace

ZT_MODULE(mod, m) {
    module_state().init(m);
    bind_imports(m, kImports);
    m.attr("KelvoMod") = make_mod_class(m);
}
