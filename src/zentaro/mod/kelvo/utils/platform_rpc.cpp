// platform_rpc: the kit's HTTP client of the platform server.
//
// APIClient is built at module init with type() so that it behaves exactly
// like a Python class: its tables are class attributes users may replace,
// `_get_token` carries the ttl_cache decorator (cache_info/cache_clear), and
// `__getattr__` turns unknown names into service calls. Every library the
// module uses is one of its attributes and is looked up when it is needed, so
// tests and deployments can swap any of them.

#include <cstdio>

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <atomic>
#include <random>
#include <string>

#include <unistd.h>

#include "platform_rpc_decode.hpp"
#include "zentaro/pyutil.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zentaro;

namespace {

// A weak reference: the class's functions must not keep the module alive (a
// cycle through C++ captures that the collector cannot see), yet must never
// use a module that is gone.
PyObject *module_ref = nullptr;

const char *const DEFAULT_BASE_URL = "https://api.zentaro.com/sdk/";
const char *const MSG_NOT_LOGGED_IN = "账号未登录, 请先登录!";
const char *const MSG_AUTH_FAILED = "账号认证失败, 请重新登录!";
const char *const MSG_UNSUPPORTED = "该方法(%s)暂不支持.";
// Login and refresh must not hang on a server that never answers.
const int LOGIN_TIMEOUT_SECONDS = 10;

nb::object this_module() {
    PyObject *m = PyWeakref_GetObject(module_ref);
    if (!m || m == Py_None) {
        PyErr_SetString(PyExc_RuntimeError, "platform_rpc has been unloaded");
        raise_python_error();
    }
    return nb::borrow(m);
}

nb::object imported(const char *name) {
    return module_attr(this_module(), name);
}

bool truthy(nb::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0)
        raise_python_error();
    return r == 1;
}

bool equals(nb::handle a, long b) {
    if (PyLong_CheckExact(a.ptr())) {
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(a.ptr(), &overflow);
        return !overflow && v == b;
    }
    int r = PyObject_RichCompareBool(a.ptr(), nb::int_(b).ptr(), Py_EQ);
    if (r < 0)
        raise_python_error();
    return r == 1;
}

nb::object add(nb::handle a, nb::handle b) {
    return steal_or_raise(PyNumber_Add(a.ptr(), b.ptr()));
}

nb::object item(nb::handle obj, const char *key) {
    return steal_or_raise(PyObject_GetItem(obj.ptr(), nb::str(key).ptr()));
}

// raise APIException(message), with APIException looked up now.
[[noreturn]] void raise_api(nb::handle message) {
    nb::object exc = imported("APIException")(message);
    if (!PyExceptionInstance_Check(exc.ptr())) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        raise_python_error();
    }
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    raise_python_error();
}

nb::object builtin_open() {
    return nb::module_::import_("builtins").attr("open");
}

// with open(path, "w") as f: f.write(text)   (also for an already open fd)
void write_text(nb::handle target, nb::handle text) {
    nb::object f = builtin_open()(target, "w");
    try {
        f.attr("write")(text);
    } catch (...) {
        try {
            f.attr("close")();
        } catch (nb::python_error &) {
        }
        throw;
    }
    f.attr("close")();
}

nb::object path_exists(nb::handle path) {
    return imported("os").attr("path").attr("exists")(path);
}

nb::object root_file(const char *name) {
    nb::object root = imported("setting").attr("ROOT_PATH");
    return imported("os").attr("path").attr("join")(root, name);
}

// The token is a credential: owner-only whatever the umask, and written to a
// temporary file beside it and renamed, so a crash never leaves half a token.
void write_token_file(nb::handle self, nb::handle token) {
    static std::atomic<unsigned long> counter{0};
    nb::object os = imported("os");
    nb::object path = self.attr("_token_file");
    std::random_device rd;
    char suffix[80];
    std::snprintf(suffix, sizeof suffix, ".%ld.%lu.%u.tmp", static_cast<long>(getpid()),
                  ++counter, static_cast<unsigned>(rd()));
    nb::object tmp = add(path, nb::str(suffix));
    nb::object flags = steal_or_raise(PyNumber_Or(
        steal_or_raise(PyNumber_Or(os.attr("O_WRONLY").ptr(), os.attr("O_CREAT").ptr())).ptr(),
        os.attr("O_EXCL").ptr()));
    nb::object fd = os.attr("open")(tmp, flags, 0600);
    try {
        nb::object f;
        try {
            f = builtin_open()(fd, "w");
        } catch (...) {
            os.attr("close")(fd);
            throw;
        }
        try {
            f.attr("write")(token);
            f.attr("flush")();
            os.attr("fsync")(f.attr("fileno")());
        } catch (...) {
            try {
                f.attr("close")();
            } catch (nb::python_error &) {
            }
            throw;
        }
        f.attr("close")();
        os.attr("replace")(tmp, path);
    } catch (...) {
        try {
            os.attr("remove")(tmp);
        } catch (nb::python_error &) {
        }
        throw;
    }
}

// POST {"passport": ..., "action": ...} to base_url + "login"; the parsed JSON answer.
nb::object post_login(nb::handle self, nb::handle passport, const char *action) {
    nb::dict body;
    body["passport"] = passport;
    body["action"] = action;
    nb::object url = add(self.attr("base_url"), nb::str("login"));
    nb::object r = imported("requests")
                       .attr("post")(url, "json"_a = body, "timeout"_a = LOGIN_TIMEOUT_SECONDS);
    return r.attr("json")();
}

// Store data.notice in the notice file when the answer carries one.
void keep_notice(nb::handle self, nb::handle data) {
    nb::object notice = data.attr("get")("notice");
    if (!notice.is_none())
        write_text(self.attr("_notice_file"), item(data, "notice"));
}

// ----- APIClient methods

void client_init(nb::handle self, nb::object encoding, nb::object base_url) {
    nb::setattr(self, "encoding", encoding);
    if (truthy(base_url))
        nb::setattr(self, "base_url", base_url);
    else
        nb::setattr(self, "base_url", self.attr("base_url")); // the class value
    nb::setattr(self, "_token_file", root_file("auth"));
    nb::object token_file = self.attr("_token_file");
    if (truthy(path_exists(token_file))) {
        nb::object f = builtin_open()(token_file);
        nb::object text;
        try {
            text = f.attr("read")();
        } catch (...) {
            try {
                f.attr("close")();
            } catch (nb::python_error &) {
            }
            throw;
        }
        f.attr("close")();
        nb::setattr(self, "_refresh_token", text);
    } else {
        nb::setattr(self, "_refresh_token", nb::none());
    }
    nb::setattr(self, "_notice_file", root_file("notice"));
}

nb::object client_get_token(nb::handle self) {
    nb::object token = self.attr("_refresh_token");
    if (token.is_none())
        raise_api(nb::str(MSG_NOT_LOGGED_IN));
    nb::object res = post_login(self, token, "refresh");
    if (!equals(item(item(res, "meta"), "code"), 200))
        raise_api(nb::str(MSG_AUTH_FAILED));
    nb::object data = item(res, "data");
    nb::setattr(self, "_refresh_token", item(data, "token"));
    keep_notice(self, data);
    return self.attr("_refresh_token");
}

bool client_login(nb::handle self, nb::object username, nb::object password) {
    nb::object pickled = imported("pickle").attr("dumps")(nb::make_tuple(username, password));
    nb::object passport = imported("base64").attr("b64encode")(pickled).attr("decode")();
    nb::object res = post_login(self, passport, "login");
    if (!equals(item(item(res, "meta"), "code"), 200)) {
        nb::object data = item(res, "data");
        raise_api(truthy(data) ? data : item(item(res, "meta"), "message"));
    }
    nb::object data = item(res, "data");
    nb::setattr(self, "_refresh_token", item(data, "token"));
    write_token_file(self, self.attr("_refresh_token"));
    keep_notice(self, data);
    // The new login takes effect at once: drop the token cached for the old one.
    nb::object get_token = self.attr("_get_token");
    if (nb::hasattr(get_token, "cache_clear"))
        get_token.attr("cache_clear")();
    return true;
}

nb::object client_logout(nb::handle self) {
    nb::object token_file = self.attr("_token_file");
    nb::object exists = path_exists(token_file);
    if (!truthy(exists))
        return exists;
    imported("os").attr("remove")(token_file);
    return nb::none();
}

nb::object client_compose_url(nb::handle self, nb::object path) {
    return add(self.attr("base_url"), path);
}

nb::object client_handle_response(nb::handle self, nb::object response) {
    static PyObject *s_status_code =
        steal_or_raise(PyUnicode_InternFromString("status_code")).release().ptr();
    static PyObject *s_content =
        steal_or_raise(PyUnicode_InternFromString("content")).release().ptr();
    nb::object status = steal_or_raise(PyObject_GetAttr(response.ptr(), s_status_code));
    if (equals(status, 200)) {
        nb::object content = steal_or_raise(PyObject_GetAttr(response.ptr(), s_content));
        return platform_rpc::decode_body(this_module(), content);
    }
    // Looked up before the call: an attribute accessor handed to a call is
    // read inside a noexcept conversion, where a failed lookup aborts.
    nb::object encoding = self.attr("encoding");
    nb::object text = response.attr("content").attr("decode")(encoding);
    raise_api(text);
}

// {"serialize-type", "x-consumer-sdk-version", "Authorization", **extra}
nb::dict build_headers(nb::handle self, nb::handle extra) {
    nb::dict headers;
    headers["serialize-type"] = "0";
    headers["x-consumer-sdk-version"] = imported("__version__");
    nb::object token = self.attr("_get_token")();
    nb::object formatted = steal_or_raise(PyObject_Format(token.ptr(), nullptr));
    headers["Authorization"] = add(nb::str("Bearer "), formatted);
    if (!PyDict_Check(extra.ptr()) && !nb::hasattr(extra, "keys")) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not a mapping",
                     Py_TYPE(extra.ptr())->tp_name);
        raise_python_error();
    }
    if (PyDict_Update(headers.ptr(), extra.ptr()) < 0)
        raise_python_error();
    return headers;
}

nb::object send(nb::handle method, nb::handle url, nb::handle headers, nb::handle timeout,
                nb::handle data) {
    nb::object verb = method.attr("upper")();
    return imported("requests")
        .attr("request")(verb, url, "headers"_a = headers, "timeout"_a = timeout, "data"_a = data);
}

nb::object client_request(nb::handle self, nb::object method, nb::object path,
                          nb::object extra_headers, nb::object timeout, nb::object timeout_retry,
                          nb::kwargs kwargs) {
    nb::object url = self.attr("_compose_url")(path);
    nb::dict headers = build_headers(self, extra_headers);
    nb::object data = imported("pickle").attr("dumps")(kwargs);
    nb::int_ zero(0), one(1);
    for (;;) {
        int more = PyObject_RichCompareBool(timeout_retry.ptr(), zero.ptr(), Py_GT);
        if (more < 0)
            raise_python_error();
        if (!more)
            break;
        try {
            nb::object r = send(method, url, headers, timeout, data);
            return self.attr("_handle_response")(r);
        } catch (nb::python_error &e) {
            nb::object read_timeout = imported("requests").attr("exceptions").attr("ReadTimeout");
            if (!e.matches(read_timeout))
                throw;
        }
        timeout_retry = steal_or_raise(PyNumber_InPlaceSubtract(timeout_retry.ptr(), one.ptr()));
    }
    nb::object r = send(method, url, headers, timeout, data);
    return self.attr("_handle_response")(r);
}

nb::object client_getattr(nb::handle self, nb::object func) {
    nb::object methods = self.attr("request_methods");
    PyObject *entry = PyObject_GetItem(methods.ptr(), func.ptr());
    if (!entry) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError))
            raise_python_error();
        PyErr_Clear();
        raise_api(steal_or_raise(PyNumber_Remainder(nb::str(MSG_UNSUPPORTED).ptr(), func.ptr())));
    }
    nb::object table_entry = nb::steal(entry);
    nb::dict options; // **entry: any mapping will do, like in a Python call
    if (PyDict_Update(options.ptr(), table_entry.ptr()) < 0)
        raise_python_error();
    nb::object request = self.attr("_request");
    nb::object args = nb::make_tuple(request);
    return steal_or_raise(PyObject_Call(imported("partial").ptr(), args.ptr(), options.ptr()));
}

// ----- class construction

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

nb::object build_client_class(nb::module_ &m) {
    nb::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = "APIClient";
    nb::object environ = m.attr("os").attr("environ");
    ns["base_url"] = environ.attr("get")("ZENTARO_URL", DEFAULT_BASE_URL);
    ns["request_methods"] = request_methods();
    ns["__init__"] = method(&client_init, nb::name("__init__"), "encoding"_a = "utf-8",
                            "base_url"_a = nb::none());
    nb::object cache = m.attr("ttl_cache")("maxsize"_a = 1, "ttl"_a = 7200);
    ns["_get_token"] = cache(method(&client_get_token, nb::name("_get_token")));
    ns["login"] = method(&client_login, nb::name("login"), "username"_a, "password"_a);
    ns["logout"] = method(&client_logout, nb::name("logout"));
    ns["_compose_url"] = method(&client_compose_url, nb::name("_compose_url"), "path"_a);
    ns["_handle_response"] =
        method(&client_handle_response, nb::name("_handle_response"), "response"_a);
    ns["_request"] =
        method(&client_request, nb::name("_request"), "_method"_a = "POST", "_path"_a = "",
               "_headers"_a = nb::dict(), "_timeout"_a = 10, "_timeout_retry"_a = 1, "kwargs"_a);
    ns["__getattr__"] = method(&client_getattr, nb::name("__getattr__"), "func"_a);
    return make_python_class(m, "APIClient",
                             nb::make_tuple(nb::handle((PyObject *)&PyBaseObject_Type)), ns);
}

} // namespace

NB_MODULE(platform_rpc, m) {
    module_ref = steal_or_raise(PyWeakref_NewRef(m.ptr(), nullptr)).release().ptr();
    platform_rpc::init_decoders();

    for (const char *name : {"os", "zlib", "base64", "pickle", "msgpack", "requests"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("partial") = nb::module_::import_("functools").attr("partial");
    m.attr("ttl_cache") = nb::module_::import_("cachetools.func").attr("ttl_cache");
    m.attr("__version__") = nb::module_::import_("zentaro").attr("__version__");
    // from zentaro.mod.kelvo import setting (a submodule)
    m.attr("setting") = nb::module_::import_("zentaro.mod.kelvo.setting");
    m.attr("APIException") = nb::module_::import_("zentaro.utils.exception").attr("APIException");

    m.attr("APIClient") = build_client_class(m);
    m.attr("kl_api") = m.attr("APIClient")();
}
