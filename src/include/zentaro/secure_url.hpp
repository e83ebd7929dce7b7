// Where the kit sends a password or a token, or runs what comes back (a
// pickle), the answer must come from the server it asked: https only. Plain
// http stays allowed to this machine itself, where the local services run.
//
// The host is the one the transport will contact: the URL is read by the
// transport's own parser (urllib3's parse_url, which requests uses), and
// anything two parsers could read differently (user info, backslashes,
// spaces, control characters) is refused before it is read at all.
#pragma once

#include "zentaro/pyutil.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <string>
#include <string_view>

namespace zentaro {

// 127.0.0.0/8, ::1 (bracketed or not) and "localhost".
inline bool is_loopback_host(std::string host) {
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host == "localhost")
        return true;
    unsigned char address[sizeof(in6_addr)];
    if (::inet_pton(AF_INET, host.c_str(), address) == 1)
        return address[0] == 127;
    if (::inet_pton(AF_INET6, host.c_str(), address) == 1)
        return std::memcmp(address, &in6addr_loopback, sizeof(in6_addr)) == 0;
    return false;
}

inline bool is_text(nb::handle obj, const char *text) {
    return PyUnicode_Check(obj.ptr()) && PyUnicode_CompareWithASCIIString(obj.ptr(), text) == 0;
}

inline std::string utf8_of(nb::handle text) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data)
        raise_python_error();
    return std::string(data, static_cast<size_t>(size));
}

// A URL as messages show it: a user name or password in it is masked.
inline std::string shown_url(std::string url) {
    size_t start = url.find("://");
    start = start == std::string::npos ? 0 : start + 3;
    size_t end = url.find_first_of("/?#", start);
    if (end == std::string::npos)
        end = url.size();
    size_t at = url.rfind('@', end == 0 ? 0 : end - 1);
    if (at != std::string::npos && at >= start && at < end)
        url.replace(start, at - start, "***");
    return url;
}

// Where a URL leads: scheme, host and port (the scheme's default filled in).
struct UrlTarget {
    std::string url; // as given
    std::string scheme, host;
    long port = 0;
    bool loopback = false;

    bool same_origin(const UrlTarget &other) const {
        return scheme == other.scheme && host == other.host && port == other.port;
    }
    std::string address() const { return host + ":" + std::to_string(port); }
};

// Reads `url` as the transport will; on a URL the kit must not contact,
// returns false with the reason in `why`.
inline bool read_url_target(nb::handle parse_url, nb::handle url, UrlTarget &target,
                            std::string &why) {
    if (!PyUnicode_Check(url.ptr())) {
        why = std::string("a URL must be text, not ") + Py_TYPE(url.ptr())->tp_name;
        return false;
    }
    target.url = utf8_of(url);
    for (unsigned char c : target.url) {
        if (c == '\\' || c <= ' ' || c == 0x7f) {
            why = "it holds a backslash, a space or a control character";
            return false;
        }
    }
    PyObject *raw = PyObject_CallOneArg(parse_url.ptr(), url.ptr());
    if (!raw) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError))
            raise_python_error();
        PyErr_Clear(); // its text may quote a password
        why = "it cannot be read as a URL (a bad host or port)";
        return false;
    }
    nb::object parts = nb::steal(raw);
    nb::object scheme = get_attr(parts, ZT_NAME("scheme"));
    if (scheme.is_none()) {
        why = "it has no scheme (write https://host/...)";
        return false;
    }
    target.scheme = utf8_of(text_of(scheme));
    if (!get_attr(parts, ZT_NAME("auth")).is_none()) {
        why = "a user name or password in the URL is not allowed";
        return false;
    }
    nb::object host = get_attr(parts, ZT_NAME("host"));
    if (host.is_none() || !truth(host)) {
        why = "it has no host";
        return false;
    }
    target.host = utf8_of(text_of(host));
    if (target.scheme != "https" && target.scheme != "http") {
        why = "the scheme '" + target.scheme +
              "' is neither https nor http (only https is allowed, plain http only to this "
              "machine)";
        return false;
    }
    nb::object port = get_attr(parts, ZT_NAME("port"));
    target.port =
        port.is_none() ? (target.scheme == "https" ? 443 : 80) : PyLong_AsLong(port.ptr());
    if (target.port == -1 && PyErr_Occurred())
        raise_python_error();
    target.loopback = is_loopback_host(target.host);
    if (target.scheme == "http" && !target.loopback) {
        why = "only https is allowed, plain http only to this machine "
              "(127.0.0.0/8, ::1, localhost)";
        return false;
    }
    return true;
}

// The target of `url`, or ValueError naming the URL and what is wrong with it.
inline UrlTarget require_secure_url(nb::handle parse_url, nb::handle url) {
    UrlTarget target;
    std::string why;
    if (!read_url_target(parse_url, url, target, why)) {
        std::string shown = PyUnicode_Check(url.ptr()) ? shown_url(utf8_of(url)) : "";
        PyErr_Format(PyExc_ValueError, "refusing to connect to '%s': %s", shown.c_str(),
                     why.c_str());
        raise_python_error();
    }
    return target;
}

} // namespace zentaro
