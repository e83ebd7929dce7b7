// KelvoMod: the engine plug-in that starts the result stream, publishes the
// in-house API functions, installs the persistence provider and lets the
// in-house event functions register, in that order.

#include "mod_state.hpp"
#include "zentaro/function.hpp"
#include "zentaro/state.hpp"

namespace nb = nanobind;
using namespace zentaro;
using namespace kelvo_mod;

namespace {

nb::object listed_names(nb::handle module) {
    nb::object names = get_attr(module, mod().names.dunder_all);
    return steal_or_raise(into_python([&] { return PySequence_List(names.ptr()); }));
}

void start_stream(nb::handle env, nb::handle mod_config) {
    const ModNames &names = mod().names;
    // Imported only when switched on: a run without the stream never loads it.
    nb::object sink_class = import_from("zentaro.mod.kelvo.stream_sink", "StreamSink");
    nb::object daily_last_event = get_attr(mod_config, names.daily_last_event);
    nb::object collect_trade = get_attr(mod_config, names.daily_collect_trade);
    nb::object style = get_attr(mod_config, names.style);
    nb::object sink = call(sink_class, env, daily_last_event, collect_trade, style);
    call_method(sink, names.register_event);
}

void export_all(nb::handle module) {
    nb::object names = listed_names(module);
    for (nb::handle name : names) {
        nb::object value = get_attr(module, name.ptr());
        call(module_attr(mod().names.export_as_api), value);
    }
}

void register_research(nb::handle research) {
    nb::object names = listed_names(research);
    for (nb::handle name : names) {
        nb::object value = get_attr(research, name.ptr());
        call(module_attr(mod().names.register_api), name, value);
    }
}

void start_up(nb::handle, nb::handle env, nb::handle mod_config) {
    const ModNames &names = mod().names;
    if (truth(get_attr(mod_config, names.enable_stream_sink)))
        start_stream(env, mod_config);
    export_all(module_attr(names.api_comm));
    register_research(module_attr(names.research_cls));
    export_all(module_attr(names.research_api));
    if (truth(get_attr(mod_config, names.persist_provider))) {
        // Read again for the call, as the engine's configuration may compute it.
        nb::object provider = get_attr(mod_config, names.persist_provider);
        call_method(env, names.set_persist_provider, provider);
    }
    nb::object event_func = call(module_attr(names.EventFunc), env);
    call_method(event_func, names.register_event);
}

void tear_down(nb::handle, nb::handle, nb::handle exception) {
    const ModNames &names = mod().names;
    if (!truth(exception))
        return;
    nb::object user_error = module_attr(names.UserError);
    nb::object cause = get_attr(exception, names.error);
    nb::object message = call(module_attr(names.get_error_message), cause);
    nb::object error = call_with_keywords(
        user_error, {}, {{names.error_type, names.run_error}, {names.traceback_msg, message}});
    raise_object(error);
}

void init(nb::handle self) {
    set_attr(self, mod().names._env, Py_None);
}

nb::object make_mod_class(nb::module_ &m) {
    nb::object bases = nb::make_tuple(module_attr(mod().names.AbstractMod));
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
