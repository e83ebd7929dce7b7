// zentaro.mod.tradeapi.api.broker_desk: a handle on one live brokerage
// account served by the platform's trading RPC (TradeAPI), with the code
// tables its records are translated with.
//
// Every imported name is a module attribute read when it is used, so that a
// deployment (or a test) can replace the broker client, logger or limiter.

#include <unordered_map>

#include "broker_desk.hpp"

namespace broker_desk {

namespace {
// Strong reference on purpose: when the interpreter finalizes, it clears the
// dict of every module still alive, which releases the classes and functions
// of this module before nanobind checks for leaks.
PyObject *module_obj = nullptr;
PyObject *builtins_dict = nullptr; // borrowed from the builtins module

} // namespace

PyObject *name(const char *text) {
    // Keys are string literals: their address identifies them.
    static std::unordered_map<const char *, PyObject *> interned;
    auto found = interned.find(text);
    if (found != interned.end())
        return found->second;
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s)
        raise_python_error();
    interned.emplace(text, s); // kept for the life of the process
    return s;
}

void set_module(nb::handle module) {
    Py_XDECREF(module_obj);
    module_obj = nb::borrow(module).release().ptr();
    builtins_dict = PyEval_GetBuiltins();
}

nb::object global(const char *key) {
    PyObject *k = name(key);
    PyObject *dict = PyModule_GetDict(module_obj);
    PyObject *hit = PyDict_GetItemWithError(dict, k);
    if (!hit && !PyErr_Occurred() && builtins_dict)
        hit = PyDict_GetItemWithError(builtins_dict, k);
    if (hit)
        return nb::borrow(hit);
    if (!PyErr_Occurred())
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", key);
    raise_python_error();
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
    return steal_or_raise(
        PyObject_CallMethodObjArgs(obj.ptr(), KEY("get"), key, dflt.ptr(), nullptr));
}

nb::object get_or_none(nb::handle obj, PyObject *key) {
    if (PyDict_CheckExact(obj.ptr()))
        return get_or(obj, key, nb::none());
    return steal_or_raise(PyObject_CallMethodObjArgs(obj.ptr(), KEY("get"), key, nullptr));
}

nb::object getattr(nb::handle obj, PyObject *key) {
    return steal_or_raise(PyObject_GetAttr(obj.ptr(), key));
}

bool truthy(nb::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0)
        raise_python_error();
    return r != 0;
}

nb::object call(nb::handle fn, nb::handle arg) {
    return steal_or_raise(PyObject_CallOneArg(fn.ptr(), arg.ptr()));
}

void raise_object(nb::handle exc) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    raise_python_error();
}

void raise_trade_exception(nb::handle message) {
    raise_object(call(global("TradeException"), message));
}

} // namespace broker_desk

using namespace broker_desk;

namespace {

void import_names(nb::module_ &m) {
    m.attr("re") = nb::module_::import_("re");
    m.attr("traceback") = nb::module_::import_("traceback");
    m.attr("pd") = nb::module_::import_("pandas");
    m.attr("Enum") = nb::module_::import_("enum").attr("Enum");
    m.attr("system_log") = nb::module_::import_("zentaro.utils.logger").attr("system_log");
    m.attr("TradeException") =
        nb::module_::import_("zentaro.utils.exception").attr("TradeException");
    m.attr("NameDict") = nb::module_::import_("zentaro.mod.tradeapi.sdk.utils").attr("NameDict");
    m.attr("RavineClient") =
        nb::module_::import_("zentaro.mod.tradeapi.sdk.client_rv").attr("RavineClient");
    nb::module_ ratelimit = nb::module_::import_("zentaro.mod.kelvo.utils.ratelimit");
    m.attr("limits") = ratelimit.attr("limits");
    m.attr("wraps") = ratelimit.attr("wraps");
    m.attr("sleep_and_retry") = ratelimit.attr("sleep_and_retry");
}

} // namespace

NB_MODULE(broker_desk, m) {
    set_module(m);
    import_names(m);
    prepare_records();
    install_codes(m);
    install_trader(m);
    nb::list all;
    all.append("TradeAPI");
    m.attr("__all__") = all;
}
