// One HTTP exchange of the kit (login, refresh, service call, broker
// directory, site list) under the rules that keep it on the server it asked:
//
// - every hop is checked with the https/loopback rule (secure_url.hpp);
// - the transport follows no redirect by itself. A redirect to another
//   scheme, host or port is refused, so a request body (credentials) never
//   reaches another origin; one to the same origin is followed, at most
//   kMaxRedirects times, when it keeps the request as it was (307/308, or
//   any redirect of a GET);
// - a request to this machine never goes through a proxy from the
//   environment: a proxy cannot reach our 127.0.0.1, and plain http through
//   it would hand the login to whoever runs it;
// - the answer is read against a low-speed limit: an attempt is given up
//   with requests' ReadTimeout once a stretch of at least its time-out has
//   passed during which fewer than kSlowestAnswerRate bytes a second came.
//   A trickling server cannot hold an attempt open, and a large answer that
//   keeps flowing is never cut off, however long it takes.
//
// The calling module holds `requests` and `urllib3` as attributes, looked up
// at each call.
#pragma once

#include <nanobind/nanobind.h>

#include <functional>
#include <string>

namespace zentaro {

namespace nb = nanobind;

constexpr double kSlowestAnswerRate = 1024; // bytes a second
constexpr int kMaxRedirects = 5;
constexpr Py_ssize_t kAnswerChunk = 64 * 1024;

// Sends one hop: the caller's request to `url`, with `guard` (a dict of
// keyword arguments) added to the call.
using HttpSend = std::function<nb::object(nb::handle url, nb::handle guard)>;

struct HttpExchange {
    nb::handle timeout;          // the attempt's time-out, as passed to requests
    bool is_get = false;         // a GET may follow any same-origin redirect
    std::string unresolved_hint; // a note for a host name that cannot be resolved
};

// The response of `url` after the guarded hops, its body read.
nb::object guarded_exchange(nb::handle url, const HttpExchange &how, const HttpSend &send);

} // namespace zentaro
