// platform_rpc: the kit's HTTP client of the platform server.
//
// APIClient is built at module init with type() so that it behaves exactly
// like a Python class: its tables are class attributes users may replace,
// `_get_token` carries the ttl_cache decorator (cache_info/cache_clear), and
// `__getattr__` turns unknown names into service calls. Every library the
// module uses is one of its attributes and is looked up when it is needed, so
// tests and deployments can swap any of them.

#include "platform_rpc_client.hpp"
#include "platform_rpc_decode.hpp"
#include "platform_rpc_state.hpp"
#include "zentaro/function.hpp"
#include "zentaro/guarded_http.hpp"
#include "zentaro/secure_url.hpp"
#include "zentaro/state.hpp"

namespace zentaro::platform_rpc {

using namespace nb::literals;

namespace {

constexpr const char *kDefaultBaseUrl = "https://api.zentaro.com/sdk/";
constexpr const char *kNotLoggedIn = "账号未登录, 请先登录!";
constexpr const char *kAuthFailed = "账号认证失败, 请重新登录!";
// Login and refresh must not hang on a server that never answers.
constexpr int kLoginTimeoutSeconds = 10;

} // namespace

// ---- shared by the client's files (platform_rpc_client.hpp) -----------------

[[noreturn]] void raise_api(nb::handle message) {
    nb::object exc = call(module_attr(rpc().names.APIException), message);
    if (!PyExceptionInstance_Check(exc.ptr()))
        raise_error(PyExc_TypeError, "exceptions must derive from BaseException");
    raise_object(exc);
}

nb::object plus(nb::handle a, nb::handle b) {
    return steal_or_raise(into_python([&] { return PyNumber_Add(a.ptr(), b.ptr()); }));
}

bool is_200(nb::handle code) {
    if (PyLong_CheckExact(code.ptr())) {
        int overflow = 0;
        return PyLong_AsLongAndOverflow(code.ptr(), &overflow) == 200 && !overflow;
    }
    return compare(code, nb::int_(200), Py_EQ);
}

// The base URL must itself name a host: with `https://` alone, "login"
// would become the host. (The whole URL is checked on every hop as it is sent.)
void check_base_url(nb::handle self) {
    const RpcNames &names = rpc().names;
    nb::object base = get_attr(self, names.base_url);
    if (!PyUnicode_Check(base.ptr()))
        return;
    nb::object parse_url =
        get_attr(get_attr(module_attr(names.urllib3), names.util), names.parse_url);
    require_secure_url(parse_url, base);
}

// Added to a failed name resolution of the built-in server's address.
std::string unresolved_hint(nb::handle self) {
    nb::object base = get_attr(self, rpc().names.base_url);
    if (!is_text(base, kDefaultBaseUrl))
        return {};
    return std::string("the platform server at the default URL ") + kDefaultBaseUrl +
           " cannot be found from here: set ZENTARO_URL to your platform's address before "
           "importing the kit, or try the kit on this machine with the local services "
           "(`zentaro-local run -- python script.py`)";
}

namespace {

nb::object root_file(const char *name) {
    const RpcNames &names = rpc().names;
    nb::object root = get_attr(module_attr(names.setting), names.ROOT_PATH);
    nb::object path = get_attr(module_attr(names.os), names.path);
    return call_method(path, names.join, root, nb::str(name));
}

// ---- login and refresh ------------------------------------------------------

// POST {"passport": ..., "action": ...} to base_url + "login"; the parsed JSON answer.
nb::object post_login(nb::handle self, nb::handle passport, const char *action) {
    const RpcNames &names = rpc().names;
    nb::dict body;
    body["passport"] = passport;
    body["action"] = action;
    nb::object url = plus(get_attr(self, names.base_url), nb::str("login"));
    check_base_url(self);
    HttpExchange how;
    nb::int_ timeout(kLoginTimeoutSeconds);
    how.timeout = timeout;
    how.unresolved_hint = unresolved_hint(self);
    nb::object answer = guarded_exchange(url, how, [&](nb::handle hop, nb::handle guard) {
        nb::dict kwargs;
        kwargs["json"] = body;
        kwargs["timeout"] = timeout;
        merge_mapping(kwargs, guard);
        nb::object post = get_attr(module_attr(names.requests), names.post);
        nb::object args = nb::make_tuple(hop);
        return steal_or_raise(
            into_python([&] { return PyObject_Call(post.ptr(), args.ptr(), kwargs.ptr()); }));
    });
    return call_method(answer, names.json);
}

// Store data.notice in the notice file when the answer carries one.
void keep_notice(nb::handle self, nb::handle data) {
    nb::object notice = call_method(data, rpc().names.get, nb::str("notice"));
    if (!notice.is_none())
        write_text_file(get_attr(self, rpc().names._notice_file), get_item(data, "notice"));
}

void forget_cached_token(nb::handle self) {
    nb::object get_token = get_attr(self, rpc().names._get_token);
    nb::object clear = optional_attr(get_token, rpc().names.cache_clear);
    if (clear.is_valid())
        call(clear);
}

// ---- APIClient: set-up, token, login and logout --------------------------------

void client_init(nb::handle self, nb::handle encoding, nb::handle base_url) {
    const RpcNames &names = rpc().names;
    set_attr(self, names.encoding, encoding);
    // Before the instance has its own base_url, the lookup finds the class value.
    set_attr(self, names.base_url,
             truth(base_url) ? nb::borrow(base_url) : get_attr(self, names.base_url));
    set_attr(self, names._token_file, root_file("auth"));
    set_attr(self, names._refresh_token, stored_token(get_attr(self, names._token_file)));
    set_attr(self, names._notice_file, root_file("notice"));
}

nb::object client_get_token(nb::handle self) {
    const RpcNames &names = rpc().names;
    for (;;) {
        nb::object token = get_attr(self, names._refresh_token);
        if (token.is_none())
            raise_api(nb::str(kNotLoggedIn));
        nb::object answer = post_login(self, token, "refresh");
        // A login (or another refresh) stored a newer token while this one was
        // on its way: this answer belongs to the token it replaced. Refresh the
        // newer one instead, so a login is never undone by an older refresh.
        // (An equal token is the same login, however it was stored.)
        nb::object current = get_attr(self, names._refresh_token);
        if (!current.is(token) && !compare(current, token, Py_EQ))
            continue;
        if (!is_200(get_item(get_item(answer, "meta"), "code")))
            raise_api(nb::str(kAuthFailed));
        nb::object data = get_item(answer, "data");
        set_attr(self, names._refresh_token, get_item(data, "token"));
        keep_notice(self, data);
        return get_attr(self, names._refresh_token);
    }
}

bool client_login(nb::handle self, nb::handle username, nb::handle password) {
    const RpcNames &names = rpc().names;
    nb::object pickled =
        call_method(module_attr(names.pickle), names.dumps, nb::make_tuple(username, password));
    nb::object encoded = call_method(module_attr(names.base64), names.b64encode, pickled);
    nb::object answer = post_login(self, call_method(encoded, names.decode), "login");
    nb::object meta = get_item(answer, "meta");
    if (!is_200(get_item(meta, "code"))) {
        nb::object data = get_item(answer, "data");
        raise_api(truth(data) ? data : get_item(meta, "message"));
    }
    nb::object data = get_item(answer, "data");
    set_attr(self, names._refresh_token, get_item(data, "token"));
    // The new login takes effect at once, even when a file cannot be written:
    // the token cached for the old one goes, now and again at the end (a
    // refresh finishing meanwhile may have cached it anew).
    forget_cached_token(self);
    OnFailure forget_again([&] { forget_cached_token(self); });
    write_text_file(get_attr(self, names._token_file), get_attr(self, names._refresh_token));
    keep_notice(self, data);
    forget_again.dismiss();
    forget_cached_token(self);
    return true;
}

nb::object client_logout(nb::handle self) {
    const RpcNames &names = rpc().names;
    nb::object token_file = get_attr(self, names._token_file);
    nb::object os = module_attr(names.os);
    nb::object exists = call_method(get_attr(os, names.path), names.exists, token_file);
    if (!truth(exists))
        return exists;
    try {
        call_method(os, names.remove, token_file);
    } catch (nb::python_error &e) {
        // Another logout (thread or process) removed it since the check.
        if (!e.matches(PyExc_FileNotFoundError))
            throw;
        return nb::bool_(false);
    }
    return nb::none();
}

// ---- the class --------------------------------------------------------------------

nb::dict endpoint(const char *path, int timeout = 0) {
    nb::dict e;
    e["_method"] = "POST";
    e["_path"] = path;
    if (timeout)
        e["_timeout"] = timeout;
    return e;
}

nb::dict request_methods() {
    nb::dict t;
    t["api_usage"] = endpoint("api/sdk_api_usage");
    t["instruments"] = endpoint("api/sdk_instruments");
    t["trading_dates"] = endpoint("api/sdk_trading_dates");
    t["side_store"] = endpoint("api/sdk_side_store");
    t["arsenal_request"] = endpoint("api/sdk_arsenal_request");
    t["data_array"] = endpoint("api/sdk_data_array");
    t["all_api"] = endpoint("api/sdk_all_api", 30);
    t["run_api"] = endpoint("api/sdk_run_api", 30);
    t["trade_api"] = endpoint("api/sdk_trade_api", 30);
    t["upload_file"] = endpoint("api/sdk_upload_file", 30);
    t["download_file"] = endpoint("api/sdk_download_file", 30);
    t["get_fundamentals"] = endpoint("api/sdk_get_fundamentals", 60);
    return t;
}

nb::object token_cache() {
    return module_attr(rpc().names.ttl_cache)("maxsize"_a = 1, "ttl"_a = 7200);
}

nb::object build_client_class(nb::module_ &m) {
    nb::object environ = get_attr(module_attr(rpc().names.os), rpc().names.environ);
    ClassBuilder builder(m, "APIClient");
    builder.ns()["__module__"] = m.attr("__name__"); // first, as in a class statement
    return builder
        .attr("base_url", call_method(environ, rpc().names.get, nb::str("ZENTARO_URL"),
                                      nb::str(kDefaultBaseUrl)))
        .attr("request_methods", request_methods())
        .def<client_init>("__init__(self, encoding='utf-8', base_url=None)",
                          "Set up a client of the platform server; reads the stored token.")
        .def<client_get_token>("_get_token(self)",
                               "Exchange the stored token for a fresh one; cached for two hours.")
        .wrap("_get_token", token_cache())
        .def<client_login>("login(self, username, password)",
                           "Log in and store the token the server returns; return True.")
        .def<client_logout>("logout(self)",
                            "Delete the token file; return False when there is none.")
        .def<client_compose_url>("_compose_url(self, path)", "Return base_url followed by path.")
        .def<client_handle_response>("_handle_response(self, response)",
                                     "Return the decoded value of a service answer.")
        .def<client_request>("_request(self, _method='POST', _path='', _headers={}, _timeout=10, "
                             "_timeout_retry=1, **kwargs)",
                             "Send one service call with the keyword arguments as its body; "
                             "return the decoded answer.")
        .def<client_getattr>("__getattr__(self, func)",
                             "Return a callable that calls the service `func` of request_methods.")
        .finish("Client of the platform server: login, token refresh and service calls.");
}

// A child forked while another thread was inside `_get_token` inherits the
// cache's lock and its record of a refresh in flight, and would wait for
// that refresh forever: the child starts with a cache of its own.
void renew_token_cache_after_fork() {
    quietly([] {
        const RpcNames &names = rpc().names;
        nb::object cls = module_attr(names.APIClient);
        nb::object current = get_attr(cls, names._get_token);
        nb::object inner = optional_attr(current, names.dunder_wrapped);
        if (inner.is_valid() && is_kit_function(inner)) // else someone installed their own
            set_attr(cls, names._get_token, call(token_cache(), inner));
    });
}

void reset_in_forked_children(nb::module_ &m) {
    nb::object hook = make_function<renew_token_cache_after_fork>(
        "_renew_token_cache()", "Give a forked child a token cache of its own.",
        m.attr("__name__"));
    nb::object register_at_fork =
        get_attr(module_attr(rpc().names.os), rpc().names.register_at_fork);
    register_at_fork("after_in_child"_a = hook);
}

constexpr zentaro::ImportEntry kImports[] = {
    {"os", "os", nullptr},
    {"zlib", "zlib", nullptr},
    {"base64", "base64", nullptr},
    {"pickle", "pickle", nullptr},
    {"msgpack", "msgpack", nullptr},
    {"requests", "requests", nullptr},
    {"partial", "functools", "partial"},
    {"ttl_cache", "cachetools.func", "ttl_cache"},
    {"__version__", "zentaro", "__version__"},
    {"setting", "zentaro.mod.kelvo", "setting"},
    {"APIException", "zentaro.utils.exception", "APIException"},
    {"system_log", "zentaro.utils.logger", "system_log"},
    {nullptr, "urllib3.util", nullptr},
    {"urllib3", "urllib3", nullptr},
};

} // namespace
} // namespace zentaro::platform_rpc

ZT_MODULE(platform_rpc, m) {
    using namespace zentaro::platform_rpc;
    zentaro::module_state().init(m);
    init_decoders();
    bind_imports(m, kImports);
    m.attr("APIClient") = build_client_class(m);
    m.attr("kl_api") = zentaro::call(m.attr("APIClient"));
    reset_in_forked_children(m);
}
