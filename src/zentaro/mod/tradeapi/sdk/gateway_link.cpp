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
#include "gateway_link_state.hpp"
#include "zentaro/function.hpp"
#include "zentaro/guarded_http.hpp"
#include "zentaro/state.hpp"

namespace zentaro::gateway_link {
namespace {

using namespace nb::literals;

constexpr const char *kPasswordKey = "$%^47Qkv";
// A directory server that never answers must not hang a login.
constexpr int kDirectoryTimeoutSeconds = 10;
// Below this the channel key has fewer than two digits after the first, so no
// service type can be read from it.
constexpr long kMinInvestorKey = 1000;

constexpr const char *kDefaultDirectoryHost = "https://ctp-directory.zentaro.net";
constexpr const char *kDefaultGatewayApiHost = "https://futgw.zentaro.net";
constexpr const char *kDirectoryPath = "/futures/ctp_address.xml";
constexpr const char *kSitePath = "/futgwapi/api/trade/v1/trade/gateway/config?qsidList={}";
constexpr const char *kGateCapsule = "zentaro.gateway_link.RpcGate";

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

// `a, b = value`, with the interpreter's own unpacking errors.
std::pair<nb::object, nb::object> unpack_pair(nb::handle value) {
    PyObject *it = into_python([&] { return PyObject_GetIter(value.ptr()); });
    if (!it) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                     Py_TYPE(value.ptr())->tp_name);
        raise_python_error();
    }
    nb::object iter = nb::steal(it);
    nb::object parts[2];
    for (int i = 0; i < 2; ++i) {
        PyObject *next = into_python([&] { return PyIter_Next(iter.ptr()); });
        if (!next) {
            if (PyErr_Occurred())
                raise_python_error();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            raise_python_error();
        }
        parts[i] = nb::steal(next);
    }
    PyObject *extra = into_python([&] { return PyIter_Next(iter.ptr()); });
    if (extra) {
        Py_DECREF(extra);
        raise_error(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred())
        raise_python_error();
    return {std::move(parts[0]), std::move(parts[1])};
}

// requests.get(url, timeout=10), through the replaceable `requests` attribute,
// under the kit's rules for every hop (guarded_http.hpp): the directory
// decides where the password goes.
nb::object http_get(nb::handle url) {
    nb::int_ timeout(kDirectoryTimeoutSeconds);
    HttpExchange how;
    how.timeout = timeout;
    how.is_get = true;
    return guarded_exchange(url, how, [&](nb::handle hop, nb::handle guard) {
        nb::dict kwargs;
        kwargs["timeout"] = timeout;
        merge_mapping(kwargs, guard);
        nb::object get = get_attr(module_attr(gateway().names.requests), gateway().names.get);
        nb::object args = nb::make_tuple(hop);
        return steal_or_raise(
            into_python([&] { return PyObject_Call(get.ptr(), args.ptr(), kwargs.ptr()); }));
    });
}

// ---- broker directory and site selection (class methods) ----------------------

nb::object get_qs_info(nb::handle cls) {
    const GatewayNames &names = gateway().names;
    nb::object cached = get_attr(cls, names._qs_info);
    if (truth(cached))
        return cached;
    nb::object response = http_get(get_attr(cls, names.qs_info_url));
    nb::object text = call_method(get_attr(response, names.content), names.decode, nb::str("utf8"));
    nb::object root = call_method(module_attr(names.ET), names.fromstring, text);
    nb::dict directory;
    nb::object entries = steal_or_raise(into_python([&] { return PyObject_GetIter(root.ptr()); }));
    while (PyObject *raw = into_python([&] { return PyIter_Next(entries.ptr()); })) {
        nb::object entry = nb::steal(raw);
        nb::object attrib = get_attr(entry, names.attrib);
        nb::object record = call(builtin_type(&PyDict_Type), attrib);
        nb::object name = call_method(attrib, names.get, nb::str("qsname"));
        check(PyDict_SetItem(directory.ptr(), name.ptr(), record.ptr()));
    }
    if (PyErr_Occurred())
        raise_python_error();
    set_attr(cls, names._qs_info, directory);
    return directory;
}

nb::object get_qs_site(nb::handle cls, nb::handle qsid) {
    const GatewayNames &names = gateway().names;
    nb::object url = call_method(get_attr(cls, names.qs_site_url), names.format, qsid);
    nb::object answer = call_method(http_get(url), names.json);
    if (compare(get_item(answer, "code"), nb::int_(0), Py_EQ)) {
        nb::object data = get_item(answer, "data");
        if (truth(data)) {
            nb::object groups = call_method(get_item(data, nb::int_(0)), names.values);
            nb::list sites;
            nb::object it =
                steal_or_raise(into_python([&] { return PyObject_GetIter(groups.ptr()); }));
            while (PyObject *raw = into_python([&] { return PyIter_Next(it.ptr()); })) {
                nb::object group = nb::steal(raw);
                if (PyList_Check(group.ptr()))
                    call_method(sites, names.extend, group);
            }
            if (PyErr_Occurred())
                raise_python_error();
            return sites;
        }
    }
    raise_value_error(nb::str("该券商无可用站点!"));
}

nb::object select_site_auto(nb::handle cls, nb::handle broker_id) {
    nb::object qs_info = call_method(cls, gateway().names.get_qs_info);
    nb::object match =
        get_attr(module_attr(gateway().names.difflib), gateway().names.get_close_matches);
    nb::object names = match(broker_id, qs_info, 1, 0.1);
    if (!truth(names))
        raise_value_error(format("未匹配到支持的券商: {}", broker_id));
    nb::object broker = get_item(qs_info, get_item(names, nb::int_(0)));
    nb::object sites = call_method(cls, gateway().names.get_qs_site, get_item(broker, "qsid"));
    nb::object site =
        call_method(module_attr(gateway().names.random), gateway().names.choice, sites);
    nb::dict selected;
    selected["ip"] = get_item(site, "ip");
    selected["port"] =
        steal_or_raise(into_python([&] { return PyNumber_Long(get_item(site, "port").ptr()); }));
    return nb::make_tuple(broker, selected);
}

// Six hardware-address bytes, most significant first: "aa:bb:cc:dd:ee:ff".
nb::object hardware_address() {
    const GatewayNames &names = gateway().names;
    nb::object node = call_method(module_attr(names.uuid), names.getnode);
    nb::object mask = nb::int_(255);
    nb::list pairs;
    for (int shift = 40; shift >= 0; shift -= 8) {
        nb::object shifted = steal_or_raise(
            into_python([&] { return PyNumber_Rshift(node.ptr(), nb::int_(shift).ptr()); }));
        nb::object byte =
            steal_or_raise(into_python([&] { return PyNumber_And(shifted.ptr(), mask.ptr()); }));
        pairs.append(format("{:02x}", byte));
    }
    return call_method(nb::str(":"), names.join, pairs);
}

nb::object get_system_info(nb::handle /*cls*/) {
    const GatewayNames &names = gateway().names;
    nb::object collected = call_method(module_attr(names.datacollect), names.get_system_info);
    nb::object encoded = call_method(module_attr(names.EncryptionBase64), names.encode, collected);
    nb::object platform = call_method(module_attr(names.platform), names.platform);
    nb::object client_info =
        call_method(nb::str("mac={}|osv={}|clientver={}"), names.format, hardware_address(),
                    platform, module_attr(names.dunder_version));
    nb::dict info;
    info["collect_info"] = call_method(encoded, names.decode);
    info["client_info"] = client_info;
    return info;
}

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

// ---- login --------------------------------------------------------------------------

// MD5 of the text of user id, expiry and kit version joined, hex characters
// 8..15. Each part is taken as text (str of it): the platform sends the
// expiry as a JSON number as readily as a string.
nb::object authorisation_key(nb::handle user_id, nb::handle exp) {
    const GatewayNames &names = gateway().names;
    nb::object version = module_attr(names.dunder_version);
    nb::object text = str_of(user_id);
    for (nb::handle part : {exp, nb::handle(version)})
        text = steal_or_raise(PyUnicode_Concat(text.ptr(), str_of(part).ptr()));
    nb::object encoded = call_method(text, names.encode, nb::str("utf-8"));
    nb::object digest = call_method(module_attr(names.hashlib), names.md5, encoded);
    nb::object hex = call_method(digest, names.hexdigest);
    return steal_or_raise(into_python([&] { return PySequence_GetSlice(hex.ptr(), 8, 16); }));
}

nb::object decode_authorisation(nb::handle grant) {
    const GatewayNames &names = gateway().names;
    nb::object raw =
        call_method(module_attr(names.base64), names.b16decode, get_item(grant, "data"));
    return call_method(module_attr(names.json), names.loads, decode_utf8(raw));
}

// GatewaySession(**site, begin=b"\x0f", **kwargs), refusing a keyword given twice.
void add_keyword(nb::dict &merged, nb::handle key, nb::handle value) {
    int present = PyDict_Contains(merged.ptr(), key.ptr());
    if (present < 0)
        raise_python_error();
    if (present) {
        PyErr_Format(PyExc_TypeError,
                     "GatewaySession() got multiple values for keyword argument '%S'", key.ptr());
        raise_python_error();
    }
    check(PyDict_SetItem(merged.ptr(), key.ptr(), value.ptr()));
}

nb::object open_session(nb::handle site, nb::handle kwargs) {
    nb::dict merged;
    merge_mapping(merged, site);
    add_keyword(merged, nb::str("begin"), nb::bytes("\x0f", 1));
    nb::object it = steal_or_raise(into_python([&] { return PyObject_GetIter(kwargs.ptr()); }));
    while (PyObject *raw = into_python([&] { return PyIter_Next(it.ptr()); })) {
        nb::object key = nb::steal(raw);
        add_keyword(merged, key, get_item(kwargs, key));
    }
    if (PyErr_Occurred())
        raise_python_error();
    nb::object empty = nb::tuple();
    return steal_or_raise(into_python([&] {
        return PyObject_Call(module_attr(gateway().names.GatewaySession).ptr(), empty.ptr(),
                             merged.ptr());
    }));
}

nb::dict login_request(nb::handle self, nb::handle user_id, nb::handle qsinfo) {
    const GatewayNames &names = gateway().names;
    nb::dict login;
    login["investor_id"] = get_attr(self, names.account_id);
    login["trade_password"] = get_attr(self, names.password);
    merge_mapping(login, get_attr(self, names.system_info));
    login["is_auto_confirm"] = nb::bool_(true);
    nb::dict args;
    args["client_id"] = user_id;
    args["qsid"] = get_item(qsinfo, "qsid");
    args["wtid"] = get_item(qsinfo, "wtid");
    args["login"] = login;
    return args;
}

// Sets the three keys together, and only when all of them can be derived.
void store_keys(nb::handle self, nb::handle investor_key) {
    const GatewayNames &names = gateway().names;
    if (compare(investor_key, nb::int_(kMinInvestorKey), Py_LT))
        raise_value_error(format("投资者编号无效(应不小于1000): {}", investor_key));
    nb::object quotient = steal_or_raise(
        into_python([&] { return PyNumber_FloorDivide(investor_key.ptr(), nb::int_(100).ptr()); }));
    nb::object channel_key = str_of(quotient);
    nb::object digits =
        steal_or_raise(into_python([&] { return PySequence_GetSlice(channel_key.ptr(), 1, 3); }));
    nb::object exponent = steal_or_raise(into_python([&] { return PyNumber_Long(digits.ptr()); }));
    nb::object service_type = steal_or_raise(
        into_python([&] { return PyNumber_Power(nb::int_(2).ptr(), exponent.ptr(), Py_None); }));
    set_attr(self, names._investor_key, investor_key);
    set_attr(self, names._channel_key, channel_key);
    set_attr(self, names._service_type, service_type);
}

void authenticate(nb::handle session, nb::handle user_id, nb::handle grant, nb::handle auth_info) {
    const GatewayNames &names = gateway().names;
    call_method(session, names.protocol_comfirm);
    call_method(session, names.protocol_auth);
    nb::object key = authorisation_key(user_id, get_item(grant, "exp"));
    nb::object auth_code = call_method(module_attr(names.EncryptionDesBase64), names.decode,
                                       get_item(auth_info, "auth_code"), key);
    get_attr(session, names.client_auth)("auth_code"_a = auth_code);
    call_method(session, names.client_login, user_id, nb::str("zentaro"));
}

nb::object make_session(nb::handle self, nb::handle kwargs) {
    const GatewayNames &names = gateway().names;
    nb::object user_id = call(module_attr(names.get_user_id));
    nb::object trade_api = get_attr(module_attr(names.kl_api), names.trade_api);
    nb::object grant = trade_api("atype"_a = "futures");
    nb::object auth_info = decode_authorisation(grant);

    auto [qsinfo, site] =
        unpack_pair(call_method(self, names.select_site_auto, get_attr(self, names.broker_id)));
    set_attr(self, names.qsinfo, qsinfo);
    set_attr(self, names.site, site);

    nb::object session = open_session(site, kwargs);
    authenticate(session, user_id, grant, auth_info);

    nb::dict meta_in;
    meta_in["service_name"] = "rpc.account";
    meta_in["method_name"] = "login";
    nb::object request_json = get_attr(session, names.request_json);
    auto [meta, data] = unpack_pair(
        request_json("meta"_a = meta_in, "args"_a = login_request(self, user_id, qsinfo)));
    if (truth(get_attr(meta, names.error_code)))
        raise_value_error(format("登录失败: {}", decode_utf8(get_attr(meta, names.error_text))));

    store_keys(self, get_item(get_item(data, "login"), "investor_key"));
    nb::object message = call_method(nb::str("登录券商[{}]账号[{}]成功"), names.format,
                                     get_item(qsinfo, "qsname"), get_attr(self, names.account_id));
    call_method(module_attr(names.user_log), names.info, message);
    return session;
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
