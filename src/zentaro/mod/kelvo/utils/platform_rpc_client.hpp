// The pieces of APIClient that its files share. platform_rpc.cpp builds the
// class, logs in and refreshes; the token and notice files and the service
// calls each live in a file of their own.
#pragma once

#include <string>

#include <nanobind/nanobind.h>

namespace zentaro::platform_rpc {

namespace nb = nanobind;

// ---- platform_rpc.cpp -------------------------------------------------------

// raise APIException(message), with APIException looked up now.
[[noreturn]] void raise_api(nb::handle message);
nb::object plus(nb::handle a, nb::handle b);
bool is_200(nb::handle code);
// Refuses a base URL that names no host.
void check_base_url(nb::handle self);
// Added to a failed name resolution of the built-in server's address.
std::string unresolved_hint(nb::handle self);

// ---- platform_rpc_token_files.cpp -------------------------------------------

// Writes text owner-only, atomically, never through a planted link.
void write_text_file(nb::handle path, nb::handle text);
// The stored token, or None when there is none or it cannot be read.
nb::object stored_token(nb::handle path);

// ---- platform_rpc_requests.cpp (APIClient's service calls) ------------------

nb::object client_compose_url(nb::handle self, nb::handle path);
nb::object client_handle_response(nb::handle self, nb::handle response);
nb::object client_request(nb::handle self, nb::handle method, nb::handle path,
                          nb::handle extra_headers, nb::handle timeout, nb::handle timeout_retry,
                          nb::handle kwargs);
nb::object client_getattr(nb::handle self, nb::handle func);

} // namespace zentaro::platform_rpc
