// Where the kit sends a password or a token, or runs what comes back (a
// pickle), the answer must come from the server it asked: https only. Plain
// http stays allowed to this machine itself, where the local services run.
//
// The host is the one the transport will contact: the URL is read by the
// transport's own parser (urllib3's parse_url, which requests uses), and
// anything two parsers could read differently (user info, backslashes,
// spaces, control characters) is refused before it is read at all.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace zentaro {

namespace nb = nanobind;

// 127.0.0.0/8, ::1 (bracketed or not) and "localhost".
bool is_loopback_host(std::string host);

// A URL as messages show it: a user name or password in it is masked.
std::string shown_url(std::string url);

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
bool read_url_target(nb::handle parse_url, nb::handle url, UrlTarget &target, std::string &why);

// The target of `url`, or ValueError naming the URL and what is wrong with it.
UrlTarget require_secure_url(nb::handle parse_url, nb::handle url);

} // namespace zentaro
