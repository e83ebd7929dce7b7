// Where the kit sends a password or a token, or runs what comes back (a
// pickle), the answer must come from the server it asked: https only. Plain
// http stays allowed to this machine itself, where the local services run.
#pragma once

#include "zentaro/pyutil.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <string>

namespace zentaro {

// 127.0.0.0/8, ::1 and "localhost" (as urlsplit().hostname gives them).
inline bool is_loopback_host(const std::string &host) {
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

// Raises ValueError unless `url` is https or names a loopback host. `urlsplit`
// is urllib.parse.urlsplit, as the calling module holds it. The message names
// the scheme and host only: a URL may carry a user name and password.
inline void require_secure_url(nb::handle urlsplit, nb::handle url) {
    nb::object parts = call(urlsplit, url);
    nb::object scheme = get_attr(parts, ZT_NAME("scheme"));
    if (is_text(scheme, "https"))
        return;
    nb::object host = get_attr(parts, ZT_NAME("hostname"));
    if (PyUnicode_Check(host.ptr())) {
        Py_ssize_t size = 0;
        const char *text = PyUnicode_AsUTF8AndSize(host.ptr(), &size);
        if (!text)
            raise_python_error();
        if (is_loopback_host(std::string(text, static_cast<size_t>(size))))
            return;
    }
    PyErr_Format(PyExc_ValueError,
                 "refusing to connect to %R over %R: only https is allowed, plain http only to "
                 "this machine (127.0.0.0/8, ::1, localhost)",
                 host.ptr(), scheme.ptr());
    raise_python_error();
}

} // namespace zentaro
