// The service calls of platform_rpc's APIClient: `_request` sends one call
// with a fresh token, retrying read timeouts; `__getattr__` turns a name of
// request_methods into such a call.

#include "platform_rpc_client.hpp"
#include "platform_rpc_decode.hpp"
#include "platform_rpc_state.hpp"
#include "zentaro/guarded_http.hpp"
#include "zentaro/state.hpp"

namespace zentaro::platform_rpc {
namespace {

constexpr const char *kUnsupported = "该方法(%s)暂不支持.";

// {"serialize-type", "x-consumer-sdk-version", "Authorization", **extra}
nb::dict build_headers(nb::handle self, nb::handle extra) {
    nb::dict headers;
    headers["serialize-type"] = "0";
    headers["x-consumer-sdk-version"] = module_attr(rpc().names.dunder_version);
    nb::object token = call_method(self, rpc().names._get_token);
    headers["Authorization"] =
        plus(nb::str("Bearer "),
             steal_or_raise(into_python([&] { return PyObject_Format(token.ptr(), nullptr); })));
    merge_mapping(headers, extra);
    return headers;
}

nb::object send(nb::handle self, nb::handle method, nb::handle url, nb::handle headers,
                nb::handle timeout, nb::handle data) {
    const RpcNames &names = rpc().names;
    nb::object verb = call_method(method, names.upper);
    HttpExchange how;
    how.timeout = timeout;
    how.is_get = is_text(verb, "GET");
    how.unresolved_hint = unresolved_hint(self);
    return guarded_exchange(url, how, [&](nb::handle hop, nb::handle guard) {
        nb::dict kwargs;
        kwargs["headers"] = headers;
        kwargs["timeout"] = timeout;
        kwargs["data"] = data;
        merge_mapping(kwargs, guard);
        nb::object request = get_attr(module_attr(names.requests), names.request);
        nb::object args = nb::make_tuple(verb, hop);
        return steal_or_raise(
            into_python([&] { return PyObject_Call(request.ptr(), args.ptr(), kwargs.ptr()); }));
    });
}

bool is_read_timeout(nb::python_error &error) {
    const RpcNames &names = rpc().names;
    nb::object exceptions = get_attr(module_attr(names.requests), names.exceptions);
    return error.matches(get_attr(exceptions, names.ReadTimeout));
}

// Names of the object protocol (__wrapped__, __setstate__, ...) are not
// services: they answer AttributeError, so help, hasattr, copy, pickle and
// mock work. Every other unknown name is a service lookup.
bool is_protocol_name(nb::handle name) {
    if (!PyUnicode_Check(name.ptr()))
        return false;
    nb::str marker("__");
    Py_ssize_t end = PyUnicode_GetLength(name.ptr());
    return PyUnicode_Tailmatch(name.ptr(), marker.ptr(), 0, end, -1) == 1 &&
           PyUnicode_Tailmatch(name.ptr(), marker.ptr(), 0, end, 1) == 1;
}

} // namespace

nb::object client_compose_url(nb::handle self, nb::handle path) {
    return plus(get_attr(self, rpc().names.base_url), path);
}

nb::object client_handle_response(nb::handle self, nb::handle response) {
    const RpcNames &names = rpc().names;
    if (is_200(get_attr(response, names.status_code)))
        return decode_body(module_state().module(), get_attr(response, names.content));
    nb::object encoding = get_attr(self, names.encoding);
    raise_api(call_method(get_attr(response, names.content), names.decode, encoding));
}

nb::object client_request(nb::handle self, nb::handle method, nb::handle path,
                          nb::handle extra_headers, nb::handle timeout, nb::handle timeout_retry,
                          nb::handle kwargs) {
    const RpcNames &names = rpc().names;
    nb::object url = call_method(self, names._compose_url, path);
    nb::dict headers = build_headers(self, extra_headers);
    nb::object data = call_method(module_attr(names.pickle), names.dumps, kwargs);
    check_base_url(self);
    nb::object retries = nb::borrow(timeout_retry);
    nb::int_ zero(0), one(1);
    while (compare(retries, zero, Py_GT)) {
        try {
            nb::object answer = send(self, method, url, headers, timeout, data);
            return call_method(self, names._handle_response, answer);
        } catch (nb::python_error &e) {
            if (!is_read_timeout(e))
                throw;
        }
        retries = steal_or_raise(
            into_python([&] { return PyNumber_InPlaceSubtract(retries.ptr(), one.ptr()); }));
    }
    nb::object answer = send(self, method, url, headers, timeout, data);
    return call_method(self, names._handle_response, answer);
}

nb::object client_getattr(nb::handle self, nb::handle func) {
    const RpcNames &names = rpc().names;
    if (is_protocol_name(func)) {
        PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'",
                     Py_TYPE(self.ptr())->tp_name, func.ptr());
        raise_python_error();
    }
    nb::object methods = get_attr(self, names.request_methods);
    PyObject *entry = into_python([&] { return PyObject_GetItem(methods.ptr(), func.ptr()); });
    if (!entry) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError))
            raise_python_error();
        PyErr_Clear();
        raise_api(steal_or_raise(into_python(
            [&] { return PyNumber_Remainder(nb::str(kUnsupported).ptr(), func.ptr()); })));
    }
    nb::object table_entry = nb::steal(entry);
    nb::dict options; // **entry: any mapping will do, as in a Python call
    merge_mapping(options, table_entry);
    nb::object args = nb::make_tuple(get_attr(self, names._request));
    return steal_or_raise(into_python([&] {
        return PyObject_Call(module_attr(names.partial).ptr(), args.ptr(), options.ptr());
    }));
}

} // namespace zentaro::platform_rpc
