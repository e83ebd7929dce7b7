// The state of the platform_rpc module: one struct, reached through rpc().
//
// It holds what the module makes once or keeps between calls: the names it
// looks up, the standard-library decoders its fast path stands in for, the
// inflaters it found and their reused stream and region, and the MessagePack
// decoder's text tables. Module attributes are not here: they are read at
// call time, since users and tests replace them.
//
// Its life at exit and fork: zentaro/process_state.hpp. A forked child keeps
// the region and the stream: only a call that holds them uses them, and the
// forking thread holds none then.
#pragma once

#include <atomic>

#include "platform_rpc_inflate.hpp"
#include "platform_rpc_small_inflate.hpp"
#include "platform_rpc_text_table.hpp"
#include "zentaro/process_state.hpp"

namespace zentaro::platform_rpc {

// The names the module's code looks up, each an identifier spelt as it is.
// clang-format off
#define PLATFORM_RPC_NAMES(X) \
    X(_compose_url) X(_get_token) X(_handle_response) X(_notice_file) X(_refresh_token) \
    X(_request) X(_token_file) X(APIClient) X(APIException) X(b64encode) X(base64) X(base_url) \
    X(cache_clear) X(close) X(content) X(decode) X(decompress) X(dumps) X(encoding) X(environ) \
    X(exceptions) X(exists) X(fileno) X(flush) X(format) X(fsync) X(get) X(join) X(json) X(loads) \
    X(msgpack) X(open) X(os) X(parse_url) X(partial) X(path) X(pickle) X(post) X(read) X(release) \
    X(ReadTimeout) X(register_at_fork) X(remove) X(request) X(request_methods) X(requests) \
    X(ROOT_PATH) X(setting) X(status_code) X(system_log) X(ttl_cache) X(unpackb) X(upper) \
    X(urllib3) X(util) X(warning) X(write) X(zlib)
// clang-format on

// The names spelt otherwise than their members (texts, dunders, keywords).
// clang-format off
#define PLATFORM_RPC_SPELT_NAMES(X) \
    X(dunder_name, "__name__") X(dunder_version, "__version__") X(dunder_wrapped, "__wrapped__")
// clang-format on

struct RpcNames {
    PLATFORM_RPC_NAMES(ZT_NAME_MEMBER)
    PLATFORM_RPC_SPELT_NAMES(ZT_SPELT_NAME_MEMBER)
};

struct RpcState {
    RpcNames names;

    // ---- answer decoding (platform_rpc_decode.cpp) ----
    // The functions the fast path stands in for, as imported at init: the
    // fast path is taken only while the module's attributes are these.
    PyObject *genuine_pickle_loads = nullptr;
    PyObject *genuine_zlib_decompress = nullptr;
    PyObject *genuine_msgpack_unpackb = nullptr;
    PyObject *fast_inflate = nullptr; // isal_zlib.decompress, or NULL without it
    PyObject *raw_kwnames = nullptr;  // ("raw",)
    SmallInflater small_inflater;     // small bodies, on one reused stream

    // ---- large bodies (platform_rpc_inflate.cpp) ----
    Libdeflate libdeflate; // found in the deflate package, or not ready
    // The one reused region, while no call holds it.
    std::atomic<Region *> spare_region{nullptr};

    // ---- MessagePack (platform_rpc_msgpack.cpp) ----
    MsgpackTexts msgpack_texts;
};

// The module's state. Each extension module is its own shared object with
// hidden symbols, so this is platform_rpc's alone. The decoding reads it once
// or twice per answer: an inline reference, no lookup.
inline RpcState &rpc() {
    return zentaro::process_state<RpcState>();
}

} // namespace zentaro::platform_rpc
