// zentaro.mod.tradeapi.api.broker_desk: a handle on one live brokerage
// account served by the platform's trading RPC (TradeAPI), with the code
// tables its records are translated with.
//
// Every imported name is a module attribute read when it is used, so that a
// deployment (or a test) can replace the broker client, logger or limiter.

#include "broker_state.hpp"

namespace broker_desk {

nb::object module_name() {
    return get_attr(zentaro::module_state().module(), desk().names.dunder_name);
}

namespace {

// dict[key] of an exact dict, borrowed, or NULL when the key is missing.
PyObject *dict_lookup(PyObject *dict, PyObject *key) {
    PyObject *hit = PyDict_GetItemWithError(dict, key);
    if (!hit && PyErr_Occurred())
        raise_python_error();
    return hit;
}

} // namespace

nb::object getitem(nb::handle obj, PyObject *key) {
    if (PyDict_CheckExact(obj.ptr()))
        if (PyObject *hit = dict_lookup(obj.ptr(), key))
            return nb::borrow(hit);
    // Also the miss of a dict: it raises the KeyError a subscription raises.
    return steal_or_raise(into_python([&] { return PyObject_GetItem(obj.ptr(), key); }));
}

nb::object get_or(nb::handle obj, PyObject *key, nb::handle dflt) {
    if (PyDict_CheckExact(obj.ptr())) {
        PyObject *hit = dict_lookup(obj.ptr(), key);
        return nb::borrow(hit ? hit : dflt.ptr());
    }
    return zentaro::call_method(obj, desk().names.get, key, dflt);
}

nb::object get_or_none(nb::handle obj, PyObject *key) {
    if (PyDict_CheckExact(obj.ptr()))
        return get_or(obj, key, nb::none());
    return zentaro::call_method(obj, desk().names.get, key);
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

nb::object join_text(std::initializer_list<nb::handle> parts) {
    nb::object out = nb::str("");
    for (nb::handle part : parts)
        out = steal_or_raise(PyUnicode_Concat(out.ptr(), part.ptr()));
    return out;
}

void raise_object(nb::handle exc) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    raise_python_error();
}

void raise_trade_exception(nb::handle message) {
    raise_object(call(module_global(desk().names.TradeException), message));
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
    desk().names.intern_all();
    import_names(m);
    prepare_records();
    install_codes(m);
    install_trader(m);
    nb::list all;
    all.append("TradeAPI");
    m.attr("__all__") = all;
}
