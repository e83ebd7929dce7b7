// zentaro.mod.tradeapi.api.broker_desk: a handle on one live brokerage
// account served by the platform's trading RPC (TradeAPI), with the code
// tables its records are translated with.
//
// Every imported name is a module attribute read when it is used, so that a
// deployment (or a test) can replace the broker client, logger or limiter.

#include "broker_desk_state.hpp"

namespace broker_desk {

nb::object module_name() {
    return get_attr(zentaro::module_state().module(), desk().names.dunder_name);
}

nb::object iterate(nb::handle iterable) {
    return steal_or_raise(into_python([&] { return PyObject_GetIter(iterable.ptr()); }));
}

PyObject *next_item(nb::handle iterator) {
    return into_python([&] { return PyIter_Next(iterator.ptr()); });
}

nb::object format_text(nb::handle obj) {
    if (PyUnicode_CheckExact(obj.ptr()))
        return nb::borrow(obj);
    return steal_or_raise(into_python([&] { return PyObject_Format(obj.ptr(), nullptr); }));
}

void raise_trade_exception(nb::handle message) {
    raise_object(call(module_global(desk().names.TradeException), message));
}

} // namespace broker_desk

using namespace broker_desk;

namespace {

constexpr zentaro::ImportEntry kImports[] = {
    {"re", "re", nullptr},
    {"traceback", "traceback", nullptr},
    {"pd", "pandas", nullptr},
    {"Enum", "enum", "Enum"},
    {"system_log", "zentaro.utils.logger", "system_log"},
    {"TradeException", "zentaro.utils.exception", "TradeException"},
    {"NameDict", "zentaro.mod.tradeapi.sdk.utils", "NameDict"},
    {"RavineClient", "zentaro.mod.tradeapi.sdk.client_rv", "RavineClient"},
    {"limits", "zentaro.mod.kelvo.utils.ratelimit", "limits"},
    {"wraps", "zentaro.mod.kelvo.utils.ratelimit", "wraps"},
    {"sleep_and_retry", "zentaro.mod.kelvo.utils.ratelimit", "sleep_and_retry"},
};

} // namespace

ZT_MODULE(broker_desk, m) {
    zentaro::module_state().init(m);
    desk().names.intern_all();
    zentaro::bind_imports(m, kImports);
    prepare_records();
    install_codes(m);
    install_trader(m);
    nb::list all;
    all.append("TradeAPI");
    m.attr("__all__") = all;
}
