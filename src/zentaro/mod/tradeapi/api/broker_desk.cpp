// zentaro.mod.tradeapi.api.broker_desk: a handle on one live brokerage
// account served by the platform's trading RPC (TradeAPI), with the code
// tables its records are translated with.
//
// Every imported name is a module attribute read when it is used, so that a
// deployment (or a test) can replace the broker client, logger or limiter.

#include "broker_desk.hpp"

namespace broker_desk {

nb::object module_name() {
    return get_attr(zentaro::module_state().module(), ZT_NAME("__name__"));
}

nb::object getitem(nb::handle obj, PyObject *key) {
    if (PyDict_CheckExact(obj.ptr())) {
        PyObject *hit = PyDict_GetItemWithError(obj.ptr(), key);
        if (hit)
            return nb::borrow(hit);
        if (PyErr_Occurred())
            raise_python_error();
    }
    // Also the miss of a dict: it raises the KeyError a subscription raises.
    return steal_or_raise(PyObject_GetItem(obj.ptr(), key));
}

nb::object get_or(nb::handle obj, PyObject *key, nb::handle dflt) {
    if (PyDict_CheckExact(obj.ptr())) {
        PyObject *hit = PyDict_GetItemWithError(obj.ptr(), key);
        if (hit)
            return nb::borrow(hit);
        if (PyErr_Occurred())
            raise_python_error();
        return nb::borrow(dflt);
    }
    return zentaro::call_method(obj, ZT_NAME("get"), key, dflt);
}

nb::object get_or_none(nb::handle obj, PyObject *key) {
    if (PyDict_CheckExact(obj.ptr()))
        return get_or(obj, key, nb::none());
    return zentaro::call_method(obj, ZT_NAME("get"), key);
}

void raise_object(nb::handle exc) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    raise_python_error();
}

void raise_trade_exception(nb::handle message) {
    raise_object(call(zentaro::global(ZT_NAME("TradeException")), message));
}

} // namespace broker_desk

using namespace broker_desk;

namespace {

void import_names(nb::module_ &m) {
    using zentaro::import;
    using zentaro::import_from;
    m.attr("re") = import("re");
    m.attr("traceback") = import("traceback");
    m.attr("pd") = import("pandas");
    m.attr("Enum") = import_from("enum", "Enum");
    m.attr("system_log") = import_from("zentaro.utils.logger", "system_log");
    m.attr("TradeException") = import_from("zentaro.utils.exception", "TradeException");
    m.attr("NameDict") = import_from("zentaro.mod.tradeapi.sdk.utils", "NameDict");
    m.attr("RavineClient") = import_from("zentaro.mod.tradeapi.sdk.client_rv", "RavineClient");
    m.attr("limits") = import_from("zentaro.mod.kelvo.utils.ratelimit", "limits");
    m.attr("wraps") = import_from("zentaro.mod.kelvo.utils.ratelimit", "wraps");
    m.attr("sleep_and_retry") = import_from("zentaro.mod.kelvo.utils.ratelimit", "sleep_and_retry");
}

} // namespace

ZT_MODULE(broker_desk, m) {
    zentaro::module_state().init(m);
    import_names(m);
    prepare_records();
    install_codes(m);
    install_trader(m);
    nb::list all;
    all.append("TradeAPI");
    m.attr("__all__") = all;
}
