// The pieces of GatewayClient that its files share. gateway_link.cpp builds
// the class and sends the RPC calls; the broker directory and the login at a
// gateway site each live in a file of their own.
#pragma once

#include <nanobind/nanobind.h>

namespace zentaro::gateway_link {

namespace nb = nanobind;

// ---- gateway_link.cpp -------------------------------------------------------

// pattern.format(arg)
nb::object format(const char *pattern, nb::handle arg);
nb::object decode_utf8(nb::handle data);
[[noreturn]] void raise_value_error(nb::handle message);

// ---- gateway_link_directory.cpp (class methods) -----------------------------

nb::object get_qs_info(nb::handle cls);
nb::object get_qs_site(nb::handle cls, nb::handle qsid);
nb::object select_site_auto(nb::handle cls, nb::handle broker_id);
nb::object get_system_info(nb::handle cls);

// ---- gateway_link_login.cpp -------------------------------------------------

// Logs the account in at a site of its broker; the open session.
nb::object make_session(nb::handle self, nb::handle kwargs);

} // namespace zentaro::gateway_link
