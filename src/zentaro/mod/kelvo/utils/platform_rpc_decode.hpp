// Decoding of a platform answer body: pickle(zlib(MessagePack or pickle)).
#pragma once

#include <nanobind/nanobind.h>

namespace zentaro::platform_rpc {

namespace nb = nanobind;

// Remember the library functions the fast path stands in for; call once at init.
void init_decoders();

// Decode the body of a 200 answer. `module` is the platform_rpc module: its
// `pickle`, `zlib` and `msgpack` attributes are looked up on every call, and
// the fast path is only taken while they are the genuine ones.
nb::object decode_body(nb::handle module, nb::handle content);

} // namespace zentaro::platform_rpc
