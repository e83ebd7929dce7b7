// The broker directory of gateway_link's GatewayClient: which brokers there
// are, the gateway sites of each, the site a login goes to, and the client
// fingerprint sent with it.

#include "gateway_link_methods.hpp"
#include "gateway_link_state.hpp"
#include "zentaro/guarded_http.hpp"
#include "zentaro/state.hpp"

namespace zentaro::gateway_link {
namespace {

// A directory server that never answers must not hang a login.
constexpr int kDirectoryTimeoutSeconds = 10;

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

} // namespace

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

} // namespace zentaro::gateway_link
