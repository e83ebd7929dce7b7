// The login of gateway_link's GatewayClient: the platform's grant, the
// session opened at the chosen site, its authentication and the account
// login, and the keys every later call carries.

#include <utility>

#include "gateway_link_methods.hpp"
#include "gateway_link_state.hpp"
#include "zentaro/state.hpp"

namespace zentaro::gateway_link {

using namespace nb::literals;

namespace {

// Below this the channel key has fewer than two digits after the first, so no
// service type can be read from it.
constexpr long kMinInvestorKey = 1000;

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

} // namespace

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

} // namespace zentaro::gateway_link
