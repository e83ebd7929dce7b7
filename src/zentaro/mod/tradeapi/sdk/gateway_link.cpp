// gateway_link: logs one futures account in at its broker's trading gateway
// and sends that account's RPC calls through the gateway.
//
// GatewayClient must derive from the host layer's gateway base class, so it is
// a plain Python class built at module init whose methods are C++ functions.
// Every name the module imports is a module attribute read at call time, so a
// deployment (or a test) can replace any of them.

#include <nanobind/nanobind.h>

#include <string>
#include <utility>

#include "zentaro/pyutil.hpp"

namespace nb = nanobind;
using namespace zentaro;

namespace {

// Weak references only: a strong reference held by C++ would keep the class
// and its functions alive past interpreter shutdown.
PyObject *module_ref = nullptr;
PyObject *class_ref = nullptr;

constexpr const char *password_key = "$%^47Qkv";
// A directory server that never answers must not hang a login.
constexpr int directory_timeout_seconds = 10;
// Below this the channel key has fewer than two digits after the first, so no
// service type can be read from it.
constexpr long min_investor_key = 1000;

constexpr const char *default_directory_host = "https://ctp-directory.zentaro.net";
constexpr const char *default_gateway_api_host = "https://futgw.zentaro.net";
constexpr const char *directory_path = "/futures/ctp_address.xml";
constexpr const char *site_path = "/futgwapi/api/trade/v1/trade/gateway/config?qsidList={}";

nb::object deref(PyObject *ref, const char *what) {
    PyObject *obj = PyWeakref_GetObject(ref); // borrowed
    if (!obj)
        raise_python_error();
    if (obj == Py_None) {
        PyErr_Format(PyExc_RuntimeError, "gateway_link: the %s no longer exists", what);
        raise_python_error();
    }
    return nb::borrow(obj);
}

nb::object imported(const char *name) {
    return module_attr(deref(module_ref, "module"), name);
}

nb::object call(nb::handle fn, nb::handle args, nb::handle kwargs) {
    return steal_or_raise(PyObject_Call(fn.ptr(), args.ptr(), kwargs.ptr()));
}

nb::object item(nb::handle obj, nb::handle key) {
    return steal_or_raise(PyObject_GetItem(obj.ptr(), key.ptr()));
}

nb::object item(nb::handle obj, const char *key) {
    return item(obj, nb::str(key));
}

bool truthy(nb::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0)
        raise_python_error();
    return r != 0;
}

bool equals(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0)
        raise_python_error();
    return r != 0;
}

nb::object format(const char *pattern, nb::handle arg) {
    return nb::str(pattern).attr("format")(arg);
}

[[noreturn]] void raise_value_error(nb::handle message) {
    PyErr_SetObject(PyExc_ValueError, message.ptr());
    raise_python_error();
}

// `a, b = value`, with the interpreter's own unpacking errors.
std::pair<nb::object, nb::object> unpack_pair(nb::handle value) {
    PyObject *it = PyObject_GetIter(value.ptr());
    if (!it) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                     Py_TYPE(value.ptr())->tp_name);
        raise_python_error();
    }
    nb::object iter = nb::steal(it);
    nb::object parts[2];
    for (int i = 0; i < 2; ++i) {
        PyObject *next = PyIter_Next(iter.ptr());
        if (!next) {
            if (PyErr_Occurred())
                raise_python_error();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            raise_python_error();
        }
        parts[i] = nb::steal(next);
    }
    PyObject *extra = PyIter_Next(iter.ptr());
    if (extra) {
        Py_DECREF(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        raise_python_error();
    }
    if (PyErr_Occurred())
        raise_python_error();
    return {std::move(parts[0]), std::move(parts[1])};
}

// requests.get(url, timeout=10), through the replaceable `requests` attribute.
nb::object http_get(nb::handle url) {
    nb::dict kwargs;
    kwargs["timeout"] = directory_timeout_seconds;
    return call(imported("requests").attr("get"), nb::make_tuple(url), kwargs);
}

// ----- broker directory and site selection (class methods)

nb::object get_qs_info(nb::handle cls) {
    nb::object cached = nb::getattr(cls, "_qs_info");
    if (truthy(cached))
        return cached;
    nb::object response = http_get(nb::getattr(cls, "qs_info_url"));
    nb::object text = response.attr("content").attr("decode")("utf8");
    nb::object root = imported("ET").attr("fromstring")(text);
    nb::dict directory;
    nb::object entries = steal_or_raise(PyObject_GetIter(root.ptr()));
    while (PyObject *raw = PyIter_Next(entries.ptr())) {
        nb::object entry = nb::steal(raw);
        nb::object attrib = entry.attr("attrib");
        nb::object record =
            steal_or_raise(PyObject_CallOneArg((PyObject *)&PyDict_Type, attrib.ptr()));
        directory[attrib.attr("get")("qsname")] = record;
    }
    if (PyErr_Occurred())
        raise_python_error();
    nb::setattr(cls, "_qs_info", directory);
    return directory;
}

nb::object get_qs_site(nb::handle cls, nb::handle qsid) {
    nb::object url = nb::getattr(cls, "qs_site_url").attr("format")(qsid);
    nb::object answer = http_get(url).attr("json")();
    if (equals(item(answer, "code"), nb::int_(0))) {
        nb::object data = item(answer, "data");
        if (truthy(data)) {
            nb::object groups = item(data, nb::int_(0)).attr("values")();
            nb::list sites;
            nb::object it = steal_or_raise(PyObject_GetIter(groups.ptr()));
            while (PyObject *raw = PyIter_Next(it.ptr())) {
                nb::object group = nb::steal(raw);
                if (PyList_Check(group.ptr()))
                    sites.attr("extend")(group);
            }
            if (PyErr_Occurred())
                raise_python_error();
            return sites;
        }
    }
    raise_value_error(nb::str("该券商无可用站点!"));
}

nb::object select_site_auto(nb::handle cls, nb::handle broker_id) {
    nb::object qs_info = cls.attr("get_qs_info")();
    nb::object names = imported("difflib").attr("get_close_matches")(broker_id, qs_info, 1, 0.1);
    if (!truthy(names))
        raise_value_error(format("未匹配到支持的券商: {}", broker_id));
    nb::object broker = item(qs_info, item(names, nb::int_(0)));
    nb::object sites = cls.attr("get_qs_site")(item(broker, "qsid"));
    nb::object site = imported("random").attr("choice")(sites);
    nb::dict selected;
    selected["ip"] = item(site, "ip");
    selected["port"] = steal_or_raise(PyNumber_Long(item(site, "port").ptr()));
    return nb::make_tuple(broker, selected);
}

// Six hardware-address bytes, most significant first: "aa:bb:cc:dd:ee:ff".
nb::object hardware_address() {
    nb::object node = imported("uuid").attr("getnode")();
    nb::object mask = nb::int_(255);
    nb::list pairs;
    for (int shift = 40; shift >= 0; shift -= 8) {
        nb::object shifted = steal_or_raise(PyNumber_Rshift(node.ptr(), nb::int_(shift).ptr()));
        nb::object byte = steal_or_raise(PyNumber_And(shifted.ptr(), mask.ptr()));
        pairs.append(format("{:02x}", byte));
    }
    return nb::str(":").attr("join")(pairs);
}

nb::object get_system_info(nb::handle /*cls*/) {
    nb::object collected = imported("datacollect").attr("get_system_info")();
    nb::object collect_info =
        imported("EncryptionBase64").attr("encode")(collected).attr("decode")();
    nb::object client_info =
        nb::str("mac={}|osv={}|clientver={}")
            .attr("format")(hardware_address(), imported("platform").attr("platform")(),
                            imported("__version__"));
    nb::dict info;
    info["collect_info"] = collect_info;
    info["client_info"] = client_info;
    return info;
}

// ----- construction, login and calls (instance methods)

void init(nb::handle self, nb::handle broker_id, nb::handle account_id, nb::handle password) {
    nb::setattr(self, "broker_id", broker_id);
    nb::setattr(self, "account_id", account_id);
    nb::object clear = password.attr("encode")("utf-8");
    nb::object encrypted =
        imported("EncryptionDesBase64").attr("encode")(clear, password_key).attr("decode")();
    nb::setattr(self, "password", encrypted);
    nb::setattr(self, "logger", imported("system_log"));
    nb::setattr(self, "system_info", self.attr("get_system_info")());
    nb::setattr(self, "_investor_key", nb::int_(0));
    nb::setattr(self, "_channel_key", nb::str(""));
    nb::setattr(self, "_service_type", nb::int_(0));
    nb::object super_ = steal_or_raise(PyObject_CallFunctionObjArgs(
        (PyObject *)&PySuper_Type, deref(class_ref, "class GatewayClient").ptr(), self.ptr(),
        nullptr));
    super_.attr("__init__")(nb::none(), nb::none(), nb::none(), nb::getattr(self, "password"));
}

// MD5 of user id + expiry + kit version, hex characters 8..15.
nb::object authorisation_key(nb::handle user_id, nb::handle exp) {
    nb::object text = steal_or_raise(PyNumber_Add(user_id.ptr(), exp.ptr()));
    text = steal_or_raise(PyNumber_Add(text.ptr(), imported("__version__").ptr()));
    nb::object digest =
        imported("hashlib").attr("md5")(text.attr("encode")("utf-8")).attr("hexdigest")();
    return steal_or_raise(PySequence_GetSlice(digest.ptr(), 8, 16));
}

nb::object decode_authorisation(nb::handle grant) {
    nb::object raw = imported("base64").attr("b16decode")(item(grant, "data"));
    return imported("json").attr("loads")(raw.attr("decode")("utf-8"));
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
    merged[key] = value;
}

nb::object open_session(nb::handle site, nb::handle kwargs) {
    nb::dict merged;
    if (PyDict_Merge(merged.ptr(), site.ptr(), 1) < 0)
        raise_python_error();
    add_keyword(merged, nb::str("begin"), nb::bytes("\x0f", 1));
    nb::object it = steal_or_raise(PyObject_GetIter(kwargs.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object key = nb::steal(raw);
        add_keyword(merged, key, item(kwargs, key));
    }
    if (PyErr_Occurred())
        raise_python_error();
    return call(imported("GatewaySession"), nb::tuple(), merged);
}

nb::dict login_request(nb::handle self, nb::handle user_id, nb::handle qsinfo) {
    nb::dict login;
    login["investor_id"] = nb::getattr(self, "account_id");
    login["trade_password"] = nb::getattr(self, "password");
    if (PyDict_Merge(login.ptr(), nb::getattr(self, "system_info").ptr(), 1) < 0)
        raise_python_error();
    login["is_auto_confirm"] = nb::bool_(true);
    nb::dict args;
    args["client_id"] = user_id;
    args["qsid"] = item(qsinfo, "qsid");
    args["wtid"] = item(qsinfo, "wtid");
    args["login"] = login;
    return args;
}

// Sets the three keys together, and only when all of them can be derived.
void store_keys(nb::handle self, nb::handle investor_key) {
    int low = PyObject_RichCompareBool(investor_key.ptr(), nb::int_(min_investor_key).ptr(), Py_LT);
    if (low < 0)
        raise_python_error();
    if (low)
        raise_value_error(format("投资者编号无效(应不小于1000): {}", investor_key));
    nb::object quotient =
        steal_or_raise(PyNumber_FloorDivide(investor_key.ptr(), nb::int_(100).ptr()));
    nb::object channel_key = nb::str(quotient);
    nb::object digits = steal_or_raise(PySequence_GetSlice(channel_key.ptr(), 1, 3));
    nb::object exponent = steal_or_raise(PyNumber_Long(digits.ptr()));
    nb::object service_type =
        steal_or_raise(PyNumber_Power(nb::int_(2).ptr(), exponent.ptr(), Py_None));
    nb::setattr(self, "_investor_key", investor_key);
    nb::setattr(self, "_channel_key", channel_key);
    nb::setattr(self, "_service_type", service_type);
}

nb::object make_session(nb::handle self, nb::kwargs kwargs) {
    nb::object user_id = imported("get_user_id")();
    nb::dict trade_kwargs;
    trade_kwargs["atype"] = "futures";
    nb::object grant = call(imported("kl_api").attr("trade_api"), nb::tuple(), trade_kwargs);
    nb::object auth_info = decode_authorisation(grant);

    auto [qsinfo, site] =
        unpack_pair(self.attr("select_site_auto")(nb::getattr(self, "broker_id")));
    nb::setattr(self, "qsinfo", qsinfo);
    nb::setattr(self, "site", site);

    nb::object session = open_session(site, kwargs);
    session.attr("protocol_comfirm")();
    session.attr("protocol_auth")();
    nb::object key = authorisation_key(user_id, item(grant, "exp"));
    nb::object auth_code =
        imported("EncryptionDesBase64").attr("decode")(item(auth_info, "auth_code"), key);
    nb::dict auth_kwargs;
    auth_kwargs["auth_code"] = auth_code;
    call(session.attr("client_auth"), nb::tuple(), auth_kwargs);
    session.attr("client_login")(user_id, "zentaro");

    nb::dict meta_in;
    meta_in["service_name"] = "rpc.account";
    meta_in["method_name"] = "login";
    nb::dict request;
    request["meta"] = meta_in;
    request["args"] = login_request(self, user_id, qsinfo);
    auto [meta, data] = unpack_pair(call(session.attr("request_json"), nb::tuple(), request));
    if (truthy(meta.attr("error_code")))
        raise_value_error(format("登录失败: {}", meta.attr("error_text").attr("decode")("utf-8")));

    store_keys(self, item(item(data, "login"), "investor_key"));
    nb::object message =
        nb::str("登录券商[{}]账号[{}]成功")
            .attr("format")(item(qsinfo, "qsname"), nb::getattr(self, "account_id"));
    imported("user_log").attr("info")(message);
    return session;
}

nb::object make_return(nb::handle /*self*/, nb::handle meta, nb::handle result) {
    nb::dict out;
    out["success"] = steal_or_raise(
        PyObject_RichCompare(meta.attr("error_code").ptr(), nb::int_(0).ptr(), Py_EQ));
    out["msg"] = meta.attr("error_text").attr("decode")("utf-8");
    out["result"] = result;
    return out;
}

nb::object call_rpc(nb::handle self, nb::handle method_name, nb::handle args, nb::handle stream,
                    nb::handle service_name) {
    nb::dict merged;
    merged["investor_key"] = nb::getattr(self, "_investor_key");
    if (PyDict_Merge(merged.ptr(), args.ptr(), 1) < 0)
        raise_python_error();
    nb::dict options;
    options["stream"] = stream;
    options["channel_key"] = nb::getattr(self, "_channel_key");
    options["service_type"] = nb::getattr(self, "_service_type");
    return call(self.attr("call_rpc_json"), nb::make_tuple(service_name, method_name, merged),
                options);
}

// ----- module body

// `from <package> import <name>`, failing the load as the interpreter would.
nb::object import_from(const char *package, const char *name) {
    nb::object fromlist = nb::make_tuple(nb::str(name));
    nb::object mod =
        steal_or_raise(PyImport_ImportModuleLevel(package, nullptr, nullptr, fromlist.ptr(), 0));
    PyObject *value = PyObject_GetAttrString(mod.ptr(), name);
    if (!value) {
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, package);
        raise_python_error();
    }
    return nb::steal(value);
}

void import_dependencies(nb::module_ &m) {
    for (const char *name : {"uuid", "json", "random", "base64", "hashlib", "platform", "difflib"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("ET") = nb::module_::import_("xml.etree.ElementTree");
    m.attr("requests") = nb::module_::import_("requests");
    m.attr("__version__") = import_from("zentaro", "__version__");
    m.attr("kl_api") = import_from("zentaro.mod.kelvo.utils.platform_rpc", "kl_api");
    m.attr("user_log") = import_from("zentaro.utils.logger", "user_log");
    m.attr("system_log") = import_from("zentaro.utils.logger", "system_log");
    m.attr("get_user_id") = import_from("zentaro.mod.kelvo.utils.paths", "get_user_id");
    m.attr("datacollect") = import_from("zentaro.mod.tradeapi.ctp", "datacollect");
    m.attr("EncryptionBase64") =
        import_from("zentaro.mod.tradeapi.sdk.common.encryption", "EncryptionBase64");
    m.attr("EncryptionDesBase64") =
        import_from("zentaro.mod.tradeapi.sdk.common.encryption", "EncryptionDesBase64");
    m.attr("_GatewayClient") = import_from("zentaro.mod.tradeapi.sdk.client", "GatewayClient");
    m.attr("GatewaySession") = import_from("zentaro.mod.tradeapi.sdk.client", "GatewaySession");
}

// Deployments and the local services point both directory URLs at another
// host through ZENTARO_GATEWAY_DIRECTORY_URL (scheme and host, no path).
std::pair<std::string, std::string> directory_hosts() {
    nb::object value =
        nb::module_::import_("os").attr("environ").attr("get")("ZENTARO_GATEWAY_DIRECTORY_URL", "");
    std::string host = nb::str(value).c_str();
    while (!host.empty() && host.back() == '/')
        host.pop_back();
    if (host.empty())
        return {default_directory_host, default_gateway_api_host};
    return {host, host};
}

nb::object class_method(nb::object fn) {
    nb::object wrap = nb::borrow((PyObject *)&PyClassMethod_Type);
    return wrap(fn);
}

nb::dict class_namespace() {
    auto [directory_host, gateway_host] = directory_hosts();
    nb::dict ns;
    ns["_qs_info"] = nb::dict();
    ns["qs_info_url"] = nb::str((directory_host + directory_path).c_str());
    ns["qs_site_url"] = nb::str((gateway_host + site_path).c_str());
    ns["get_qs_info"] = class_method(method(&get_qs_info, nb::name("get_qs_info")));
    ns["get_qs_site"] =
        class_method(method(&get_qs_site, nb::name("get_qs_site"), nb::arg("qsid")));
    ns["select_site_auto"] =
        class_method(method(&select_site_auto, nb::name("select_site_auto"), nb::arg("broker_id")));
    ns["get_system_info"] = class_method(method(&get_system_info, nb::name("get_system_info")));
    ns["__init__"] = method(&init, nb::name("__init__"), nb::arg("broker_id"),
                            nb::arg("account_id"), nb::arg("password"));
    ns["_make_session"] = method(&make_session, nb::name("_make_session"));
    ns["make_return"] =
        method(&make_return, nb::name("make_return"), nb::arg("meta"), nb::arg("result"));
    ns["call_rpc"] = method(&call_rpc, nb::name("call_rpc"), nb::arg("method_name"),
                            nb::arg("args") = nb::dict(), nb::arg("stream") = false,
                            nb::arg("service_name") = "rpc.trader.futures");
    return ns;
}

} // namespace

NB_MODULE(gateway_link, m) {
    import_dependencies(m);
    module_ref = steal_or_raise(PyWeakref_NewRef(m.ptr(), nullptr)).release().ptr();
    nb::object cls = make_python_class(m, "GatewayClient", nb::make_tuple(m.attr("_GatewayClient")),
                                       class_namespace());
    class_ref = steal_or_raise(PyWeakref_NewRef(cls.ptr(), nullptr)).release().ptr();
    m.attr("GatewayClient") = cls;
}
