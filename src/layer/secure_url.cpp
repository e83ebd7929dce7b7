#include "zentaro/secure_url.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include "zentaro/names.hpp"
#include "zentaro/objects.hpp"
#include "zentaro/text.hpp"

namespace zentaro {

bool is_loopback_host(std::string host) {
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

std::string shown_url(std::string url) {
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

bool read_url_target(nb::handle parse_url, nb::handle url, UrlTarget &target, std::string &why) {
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
    PyObject *raw = into_python([&] { return PyObject_CallOneArg(parse_url.ptr(), url.ptr()); });
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
    target.scheme = utf8_of(str_of(scheme));
    if (!get_attr(parts, ZT_NAME("auth")).is_none()) {
        why = "a user name or password in the URL is not allowed";
        return false;
    }
    nb::object host = get_attr(parts, ZT_NAME("host"));
    if (host.is_none() || !truth(host)) {
        why = "it has no host";
        return false;
    }
    target.host = utf8_of(str_of(host));
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

UrlTarget require_secure_url(nb::handle parse_url, nb::handle url) {
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
