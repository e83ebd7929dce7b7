// gateway_link: logs one futures account in at its broker's trading gateway
// and sends that account's RPC calls through the gateway.
//
// GatewayClient must derive from the host layer's gateway base class, so it is
// a plain Python class built at module init whose methods are kit functions.
// Every name the module imports is a module attribute read at call time, so a
// deployment (or a test) can replace any of them.

#include <string>
#include <utility>

#include "gateway_gate.hpp"
#include "gateway_link_methods.hpp"
#include "gateway_link_state.hpp"
#include "zentaro/function.hpp"
#include "zentaro/state.hpp"

namespace zentaro::gateway_link {

using namespace nb::literals;

namespace {

constexpr const char *kPasswordKey = "$%^47Qkv";

constexpr const char *kDefaultDirectoryHost = "https://ctp-directory.zentaro.net";
constexpr const char *kDefaultGatewayApiHost = "https://futgw.zentaro.net";
constexpr const char *kDirectoryPath = "/futures/ctp_address.xml";
constexpr const char *kSitePath = "/futgwapi/api/trade/v1/trade/gateway/config?qsidList={}";
constexpr const char *kGateCapsule = "zentaro.gateway_link.RpcGate";

} // namespace

// ---- shared by the client's files (gateway_link_methods.hpp) ------------------

nb::object format(const char *pattern, nb::handle arg) {
    return call_method(nb::str(pattern), gateway().names.format, arg);
}

nb::object decode_utf8(nb::handle data) {
    return call_method(data, gateway().names.decode, nb::str("utf-8"));
}

[[noreturn]] void raise_value_error(nb::handle message) {
    PyErr_SetObject(PyExc_ValueError, message.ptr());
    raise_python_error();
}

namespace {

// ---- construction ---------------------------------------------------------------

// `data` is a one-item list holding the class, filled in once the class
// exists: super() needs the class the method is defined in.
void init(Closure defining_class, nb::handle self, nb::handle broker_id, nb::handle account_id,
          nb::handle password) {
    const GatewayNames &names = gateway().names;
    set_attr(self, names.broker_id, broker_id);
    set_attr(self, names.account_id, account_id);
    nb::object clear = call_method(password, names.encode, nb::str("utf-8"));
    nb::object encrypted = call_method(module_attr(names.EncryptionDesBase64), names.encode, clear,
                                       nb::str(kPasswordKey));
    set_attr(self, names.password, call_method(encrypted, names.decode));
    set_attr(self, names.logger, module_attr(names.system_log));
    set_attr(self, names.system_info, call_method(self, names.get_system_info));
    set_attr(self, names._investor_key, nb::int_(0));
    set_attr(self, names._channel_key, nb::str(""));
    set_attr(self, names._service_type, nb::int_(0));
    nb::object cls = get_item(defining_class.data, nb::int_(0));
    nb::object base = call(builtin_type(&PySuper_Type), cls, self);
    call_method(base, names.dunder_init, nb::none(), nb::none(), nb::none(),
                get_attr(self, names.password));
}

// ---- calls ------------------------------------------------------------------------------

nb::object make_return(nb::handle /*self*/, nb::handle meta, nb::handle result) {
    nb::dict out;
    out["success"] = steal_or_raise(into_python([&] {
        return PyObject_RichCompare(get_attr(meta, gateway().names.error_code).ptr(),
                                    nb::int_(0).ptr(), Py_EQ);
    }));
    out["msg"] = decode_utf8(get_attr(meta, gateway().names.error_text));
    out["result"] = result;
    return out;
}

void delete_gate(PyObject *capsule) {
    delete static_cast<RpcGate *>(PyCapsule_GetPointer(capsule, kGateCapsule));
}

// The client's gate, made on first use and kept in its __dict__. `holder`
// keeps it alive for the call.
RpcGate &gate_of(nb::handle self, nb::object &holder) {
    const GatewayNames &names = gateway().names;
    nb::object dict = get_attr(self, names.dunder_dict);
    if (!PyDict_Check(dict.ptr()))
        raise_error(PyExc_TypeError, "a GatewayClient needs a __dict__");
    PyObject *found = PyDict_GetItemWithError(dict.ptr(), names._rpc_gate);
    if (!found) {
        if (PyErr_Occurred())
            raise_python_error();
        auto *gate = new RpcGate();
        PyObject *capsule = PyCapsule_New(gate, kGateCapsule, delete_gate);
        if (!capsule) {
            delete gate;
            raise_python_error();
        }
        nb::object made = nb::steal(capsule);
        // Another thread may have made one meanwhile: the first one stored wins.
        found = PyDict_SetDefault(dict.ptr(), names._rpc_gate, made.ptr());
        if (!found)
            raise_python_error();
    }
    holder = nb::borrow(found);
    void *gate = PyCapsule_GetPointer(holder.ptr(), kGateCapsule);
    if (!gate)
        raise_python_error();
    return *static_cast<RpcGate *>(gate);
}

nb::object call_rpc(nb::handle self, nb::handle method_name, nb::handle args, nb::handle stream,
                    nb::handle service_name) {
    const GatewayNames &names = gateway().names;
    nb::dict merged;
    merged["investor_key"] = get_attr(self, names._investor_key);
    merge_mapping(merged, args);
    nb::object holder;
    GateHold hold(gate_of(self, holder));
    nb::object send = get_attr(self, names.call_rpc_json);
    return send(service_name, method_name, merged, "stream"_a = stream,
                "channel_key"_a = get_attr(self, names._channel_key),
                "service_type"_a = get_attr(self, names._service_type));
}

// ---- module body ---------------------------------------------------------------------------

constexpr zentaro::ImportEntry kImports[] = {
    {"uuid", "uuid", nullptr},
    {"json", "json", nullptr},
    {"random", "random", nullptr},
    {"base64", "base64", nullptr},
    {"hashlib", "hashlib", nullptr},
    {"platform", "platform", nullptr},
    {"difflib", "difflib", nullptr},
    {"ET", "xml.etree.ElementTree", nullptr},
    {"requests", "requests", nullptr},
    {nullptr, "urllib3.util", nullptr},
    {"urllib3", "urllib3", nullptr},
    {"__version__", "zentaro", "__version__"},
    {"kl_api", "zentaro.mod.kelvo.utils.platform_rpc", "kl_api"},
    {"user_log", "zentaro.utils.logger", "user_log"},
    {"system_log", "zentaro.utils.logger", "system_log"},
    {"get_user_id", "zentaro.mod.kelvo.utils.paths", "get_user_id"},
    {"datacollect", "zentaro.mod.tradeapi.ctp", "datacollect"},
    {"EncryptionBase64", "zentaro.mod.tradeapi.sdk.common.encryption", "EncryptionBase64"},
    {"EncryptionDesBase64", "zentaro.mod.tradeapi.sdk.common.encryption", "EncryptionDesBase64"},
    {"_GatewayClient", "zentaro.mod.tradeapi.sdk.client", "GatewayClient"},
    {"GatewaySession", "zentaro.mod.tradeapi.sdk.client", "GatewaySession"},
};

// Deployments and the local services point both directory URLs at another
// host through ZENTARO_GATEWAY_DIRECTORY_URL (scheme and host, no path).
std::pair<std::string, std::string> directory_hosts() {
    nb::object environ = get_attr(import("os"), gateway().names.environ);
    nb::object value = call_method(environ, gateway().names.get,
                                   nb::str("ZENTARO_GATEWAY_DIRECTORY_URL"), nb::str(""));
    std::string host = nb::str(value).c_str();
    while (!host.empty() && host.back() == '/')
        host.pop_back();
    if (host.empty())
        return {kDefaultDirectoryHost, kDefaultGatewayApiHost};
    return {host, host};
}

nb::object make_client_class(nb::module_ &m) {
    auto [directory_host, gateway_host] = directory_hosts();
    nb::list defining_class;
    nb::handle classmethod = builtin_type(&PyClassMethod_Type);
    nb::object cls =
        ClassBuilder(m, "GatewayClient", nb::make_tuple(m.attr("_GatewayClient")))
            .attr("_qs_info", nb::dict())
            .attr("qs_info_url", nb::str((directory_host + kDirectoryPath).c_str()))
            .attr("qs_site_url", nb::str((gateway_host + kSitePath).c_str()))
            .def<get_qs_info>("get_qs_info(cls)",
                              "Return the broker directory, broker name to broker record; "
                              "downloaded once.")
            .wrap("get_qs_info", classmethod)
            .def<get_qs_site>("get_qs_site(cls, qsid)",
                              "Return the list of gateway site records of broker `qsid`.")
            .wrap("get_qs_site", classmethod)
            .def<select_site_auto>("select_site_auto(cls, broker_id)",
                                   "Return (broker record, site) for the broker named most "
                                   "like `broker_id`, the site picked at random.")
            .wrap("select_site_auto", classmethod)
            .def<get_system_info>("get_system_info(cls)",
                                  "Return the client fingerprint sent with a gateway login.")
            .wrap("get_system_info", classmethod)
            .def<init>("__init__(self, broker_id, account_id, password)",
                       "Set up the client of one futures account; keeps the password encrypted.",
                       defining_class)
            .def<make_session>("_make_session(self, **kwargs)",
                               "Log the account in at a gateway site; return the session.")
            .def<make_return>("make_return(self, meta, result)",
                              "Return {success, msg, result} for an RPC answer.")
            .def<call_rpc>("call_rpc(self, method_name, args={}, stream=False, "
                           "service_name='rpc.trader.futures')",
                           "Send one RPC call with the session keys; return its answer.")
            .finish("Client of one futures trading account at its broker's gateway.");
    defining_class.append(cls);
    return cls;
}

void after_fork_in_child() {
    gateway().fork_generation.fetch_add(1);
}

void renew_gates_in_forked_children(nb::module_ &m) {
    nb::object hook = make_function<after_fork_in_child>(
        "_after_fork_in_child()", "Give a forked child fresh RPC gates.", m.attr("__name__"));
    nb::object register_at_fork = get_attr(import("os"), gateway().names.register_at_fork);
    register_at_fork("after_in_child"_a = hook);
}

} // namespace
} // namespace zentaro::gateway_link

ZT_MODULE(gateway_link, m) {
    using namespace zentaro::gateway_link;
    zentaro::module_state().init(m);
    bind_imports(m, kImports);
    m.attr("GatewayClient") = make_client_class(m);
    renew_gates_in_forked_children(m);
}
