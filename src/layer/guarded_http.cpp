#include "zentaro/guarded_http.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "zentaro/compat.hpp"
#include "zentaro/function.hpp"
#include "zentaro/secure_url.hpp"
#include "zentaro/state.hpp"
#include "zentaro/text.hpp"

namespace zentaro {

namespace {

using namespace nb::literals;

nb::object requests_error(PyObject *name) {
    return get_attr(get_attr(module_attr(ZT_NAME("requests")), ZT_NAME("exceptions")), name);
}

// raise type(message) from cause
[[noreturn]] void raise_from(nb::handle type, const std::string &message,
                             nb::handle cause = nb::handle()) {
    nb::object error = call(type, nb::str(message.c_str()));
    if (cause.ptr())
        PyException_SetCause(error.ptr(), Py_NewRef(cause.ptr()));
    raise_object(error);
}

// The seconds an attempt may wait: the number given, the read part of a
// (connect, read) pair; 0 (no limit) for None, as requests takes it.
double attempt_seconds(nb::handle timeout) {
    if (!timeout.ptr() || timeout.is_none())
        return 0;
    nb::object read = nb::borrow(timeout);
    if (PyTuple_Check(timeout.ptr()) || PyList_Check(timeout.ptr())) {
        Py_ssize_t size = into_python([&] { return PySequence_Size(timeout.ptr()); });
        if (size != 2)
            return 0;
        read = steal_or_raise(into_python([&] { return PySequence_GetItem(timeout.ptr(), 1); }));
    }
    if (!PyNumber_Check(read.ptr()))
        return 0;
    double seconds = PyFloat_AsDouble(read.ptr());
    if (seconds == -1 && PyErr_Occurred())
        raise_python_error();
    return seconds > 0 ? seconds : 0;
}

// urllib3's errors while the body is read, as requests reports them; a read
// time-out is requests' ReadTimeout, so that the retry rules apply. Anything
// else is raised again as it came.
[[noreturn]] void raise_read_error(nb::handle error) {
    nb::object found = get_attr(module_attr(ZT_NAME("urllib3")), ZT_NAME("exceptions"));
    struct Mapping {
        PyObject *theirs, *ours;
    } mappings[] = {
        {ZT_NAME("ReadTimeoutError"), ZT_NAME("ReadTimeout")},
        {ZT_NAME("ProtocolError"), ZT_NAME("ChunkedEncodingError")},
        {ZT_NAME("DecodeError"), ZT_NAME("ContentDecodingError")},
        {ZT_NAME("SSLError"), ZT_NAME("SSLError")},
    };
    for (const Mapping &m : mappings) {
        nb::object theirs = optional_attr(found, m.theirs);
        if (theirs.is_valid() && PyErr_GivenExceptionMatches(error.ptr(), theirs.ptr()))
            raise_from(requests_error(m.ours), utf8_of(str_of(error)), error);
    }
    raise_again(error);
}

// Reads the whole body of a requests response sent with stream=True, under
// the low-speed limit, and leaves it where `content` finds it. Anything else
// (an answer already read, a stand-in object) is left as it is.
void read_answer(nb::handle response, double seconds) {
    nb::object content = optional_attr(response, ZT_NAME("_content"));
    if (!content.is_valid() || !content.is(nb::handle(Py_False)))
        return;
    OnFailure close([&] { call_method(response, ZT_NAME("close")); });
    // read1 returns what one read of the socket gave, so every chunk is timed;
    // a transport without it is read by plain chunks (each read still bounded).
    nb::object raw = get_attr(response, ZT_NAME("raw"));
    nb::object read1 = optional_attr(raw, ZT_NAME("read1"));
    if (!read1.is_valid())
        read1 = get_attr(raw, ZT_NAME("read"));
    nb::object size = nb::int_(kAnswerChunk);
    nb::object kwnames = nb::make_tuple("decode_content");
    using clock = std::chrono::steady_clock;
    auto window_start = clock::now();
    double window_bytes = 0;
    std::vector<nb::object> chunks;
    Py_ssize_t total = 0;
    for (;;) {
        PyObject *argv[] = {size.ptr(), Py_True};
        PyObject *raw_chunk =
            into_python([&] { return PyObject_Vectorcall(read1.ptr(), argv, 1, kwnames.ptr()); });
        if (!raw_chunk)
            raise_read_error(fetch_error());
        nb::object chunk = nb::steal(raw_chunk);
        if (chunk.is_none())
            break;
        if (!PyBytes_Check(chunk.ptr()))
            raise_error(PyExc_TypeError, "the transport's read1 gave no bytes");
        Py_ssize_t size_read = PyBytes_GET_SIZE(chunk.ptr());
        if (size_read == 0)
            break;
        total += size_read;
        chunks.push_back(std::move(chunk));
        window_bytes += static_cast<double>(size_read);
        if (seconds <= 0)
            continue;
        auto now = clock::now();
        double elapsed = std::chrono::duration<double>(now - window_start).count();
        if (elapsed < seconds)
            continue;
        if (window_bytes < kSlowestAnswerRate * elapsed) {
            nb::object url = optional_attr(response, ZT_NAME("url"));
            std::string shown = url.is_valid() && PyUnicode_Check(url.ptr())
                                    ? shown_url(utf8_of(url))
                                    : std::string("the server");
            char rate[160];
            std::snprintf(rate, sizeof rate,
                          "%.0f bytes in the last %.1f s, slower than %.0f bytes/s for longer "
                          "than the time-out of %g s",
                          window_bytes, elapsed, kSlowestAnswerRate, seconds);
            raise_from(requests_error(ZT_NAME("ReadTimeout")),
                       "gave up reading the answer of " + shown + ": " + rate);
        }
        window_start = now;
        window_bytes = 0;
    }
    nb::object body = steal_or_raise(PyBytes_FromStringAndSize(nullptr, total));
    char *out = PyBytes_AS_STRING(body.ptr());
    for (const nb::object &chunk : chunks) {
        Py_ssize_t n = PyBytes_GET_SIZE(chunk.ptr());
        std::memcpy(out, PyBytes_AS_STRING(chunk.ptr()), static_cast<size_t>(n));
        out += n;
    }
    chunks.clear();
    set_attr(response, ZT_NAME("_content"), body);
    set_attr(response, ZT_NAME("_content_consumed"), nb::bool_(true));
    call_method(response, ZT_NAME("close")); // gives the connection back
    close.dismiss();
}

// requests' response hook: runs as soon as the headers are in, before
// requests itself would read a body (it reads a redirect's body unguarded).
void answer_hook(nb::handle response, nb::handle kwargs) {
    nb::object timeout = call_method(kwargs, ZT_NAME("get"), nb::str("timeout")); // absent: None
    read_answer(response, attempt_seconds(timeout));
}

// Whether the error (or one it came from) is an instance of `type`.
bool error_chain_has(nb::handle error, nb::handle type) {
    if (!type.ptr())
        return false;
    std::vector<nb::object> todo{nb::borrow(error)};
    std::vector<PyObject *> seen;
    for (int steps = 0; !todo.empty() && steps < 32; ++steps) {
        nb::object current = std::move(todo.back());
        todo.pop_back();
        if (!current.is_valid() || !PyExceptionInstance_Check(current.ptr()))
            continue;
        if (std::find(seen.begin(), seen.end(), current.ptr()) != seen.end())
            continue;
        seen.push_back(current.ptr());
        if (PyErr_GivenExceptionMatches(current.ptr(), type.ptr()))
            return true;
        if (PyObject *cause = PyException_GetCause(current.ptr()))
            todo.push_back(nb::steal(cause));
        if (PyObject *context = PyException_GetContext(current.ptr()))
            todo.push_back(nb::steal(context));
        todo.push_back(optional_attr(current, ZT_NAME("reason"))); // urllib3's MaxRetryError
        nb::object args = optional_attr(current, ZT_NAME("args"));
        if (args.is_valid() && PyTuple_Check(args.ptr()))
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args.ptr()); ++i)
                todo.push_back(nb::borrow(PyTuple_GET_ITEM(args.ptr(), i)));
    }
    return false;
}

void add_note(nb::handle error, const std::string &note) {
    quietly([&] { call_method(error, ZT_NAME("add_note"), nb::str(note.c_str())); });
}

// Notes on a failed connection that say what to do: start the local
// services, or the caller's hint for a name that does not resolve.
void note_connection_error(nb::handle error, const UrlTarget &target, const HttpExchange &how) {
    // (a stand-in for requests may have no `exceptions`)
    nb::object found = optional_attr(module_attr(ZT_NAME("requests")), ZT_NAME("exceptions"));
    nb::object connection_error =
        found.is_valid() ? optional_attr(found, ZT_NAME("ConnectionError")) : nb::object();
    if (!connection_error.is_valid() ||
        !PyErr_GivenExceptionMatches(error.ptr(), connection_error.ptr()))
        return;
    if (target.loopback && error_chain_has(error, PyExc_ConnectionRefusedError))
        add_note(error, "nothing answers at " + target.address() + " (" + shown_url(target.url) +
                            "); if that is where the local services should run, start "
                            "them with `zentaro-local` (or `zentaro-local run -- "
                            "python script.py`)");
    nb::object unresolved =
        optional_attr(get_attr(module_attr(ZT_NAME("urllib3")), ZT_NAME("exceptions")),
                      ZT_NAME("NameResolutionError"));
    if (!how.unresolved_hint.empty() && unresolved.is_valid() && error_chain_has(error, unresolved))
        add_note(error, how.unresolved_hint);
}

} // namespace

nb::object guarded_exchange(nb::handle url, const HttpExchange &how, const HttpSend &send) {
    nb::object parse_url =
        get_attr(get_attr(module_attr(ZT_NAME("urllib3")), ZT_NAME("util")), ZT_NAME("parse_url"));
    nb::object module_name = get_attr(module_state().module(), ZT_NAME("__name__"));
    nb::object current = nb::borrow(url);
    UrlTarget target = require_secure_url(parse_url, current);
    for (int hop = 0;; ++hop) {
        nb::dict guard;
        guard["allow_redirects"] = false;
        guard["stream"] = true;
        nb::dict hooks;
        hooks["response"] =
            make_function<answer_hook>("_answer_hook(response, **kwargs)",
                                       "Read the answer under the low-speed limit.", module_name);
        guard["hooks"] = hooks;
        if (target.loopback) {
            // Every key requests' proxy selection consults, so no proxy is used.
            std::string bare = target.host;
            if (bare.size() > 2 && bare.front() == '[')
                bare = bare.substr(1, bare.size() - 2);
            nb::dict proxies;
            for (std::string key :
                 {target.scheme, std::string("all"), target.scheme + "://" + bare, "all://" + bare})
                proxies[key.c_str()] = nb::none();
            guard["proxies"] = proxies;
        }
        nb::object response;
        nb::object failure = python_error_of([&] { response = send(current, guard); });
        if (failure.is_valid()) {
            note_connection_error(failure, target, how);
            raise_again(failure);
        }
        nb::object redirect = optional_attr(response, ZT_NAME("is_redirect"));
        if (!redirect.is_valid() || !truth(redirect)) {
            read_answer(response, attempt_seconds(how.timeout));
            return response;
        }
        // A redirect: where requests would go next, checked before anything is sent.
        nb::object status = get_attr(response, ZT_NAME("status_code"));
        nb::object next = optional_attr(response, ZT_NAME("next"));
        nb::object next_url =
            next.is_valid() && !next.is_none() ? get_attr(next, ZT_NAME("url")) : nb::object();
        quietly([&] { call_method(response, ZT_NAME("close")); });
        UrlTarget next_target;
        std::string why;
        bool readable = false;
        if (!next_url.is_valid() || !PyUnicode_Check(next_url.ptr()))
            why = "the answer does not say where";
        else
            readable = read_url_target(parse_url, next_url, next_target, why);
        if (!next_target.host.empty() && !target.same_origin(next_target))
            why = "the kit follows no redirect to another scheme, host or port";
        else if (!readable)
            ;
        else if (!how.is_get && !compare(status, nb::int_(307), Py_EQ) &&
                 !compare(status, nb::int_(308), Py_EQ))
            why = "it would turn this request into a GET";
        else if (hop >= kMaxRedirects)
            why = "more than " + std::to_string(kMaxRedirects) + " redirects";
        if (!why.empty()) {
            std::string to = next_url.is_valid() && PyUnicode_Check(next_url.ptr())
                                 ? "'" + shown_url(utf8_of(next_url)) + "'"
                                 : std::string("elsewhere");
            PyErr_Format(PyExc_ValueError, "refusing the redirect (HTTP %S) from '%s' to %s: %s",
                         status.ptr(), shown_url(target.url).c_str(), to.c_str(), why.c_str());
            raise_python_error();
        }
        current = next_url;
        target = next_target;
    }
}

} // namespace zentaro
