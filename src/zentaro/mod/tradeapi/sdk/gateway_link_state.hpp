// The state of the gateway_link module: one struct, reached through gateway().
// Its life at exit and fork: zentaro/process_state.hpp; a forked child renews
// the fork generation.
#pragma once

#include <atomic>
#include <cstdint>

#include "zentaro/process_state.hpp"

namespace zentaro::gateway_link {

// The names the module's code looks up, each an identifier spelt as it is.
// clang-format off
#define GATEWAY_LINK_NAMES(X) \
    X(_channel_key) X(_investor_key) X(_qs_info) X(_rpc_gate) X(_service_type) X(account_id) \
    X(attrib) X(b16decode) X(base64) X(broker_id) X(call_rpc_json) X(choice) X(client_auth) \
    X(client_login) X(content) X(datacollect) X(decode) X(difflib) X(encode) X(EncryptionBase64) \
    X(EncryptionDesBase64) X(environ) X(error_code) X(error_text) X(ET) X(extend) X(format) \
    X(fromstring) X(GatewaySession) X(get) X(get_close_matches) X(get_qs_info) X(get_qs_site) \
    X(get_system_info) X(get_user_id) X(getnode) X(hashlib) X(hexdigest) X(info) X(join) X(json) \
    X(kl_api) X(loads) X(logger) X(md5) X(password) X(platform) X(protocol_auth) \
    X(protocol_comfirm) X(qs_info_url) X(qs_site_url) X(qsinfo) X(random) X(register_at_fork) \
    X(request_json) X(requests) X(select_site_auto) X(site) X(system_info) X(system_log) \
    X(trade_api) X(user_log) X(uuid) X(values)
// clang-format on

// The names spelt otherwise than their members (texts, dunders, keywords).
// clang-format off
#define GATEWAY_LINK_SPELT_NAMES(X) \
    X(dunder_dict, "__dict__") X(dunder_init, "__init__") X(dunder_version, "__version__")
// clang-format on

struct GatewayNames {
    GATEWAY_LINK_NAMES(ZT_NAME_MEMBER)
    GATEWAY_LINK_SPELT_NAMES(ZT_SPELT_NAME_MEMBER)
};

struct GatewayState {
    GatewayNames names;
    // Bumped in every forked child (os.register_at_fork): a gate made in an
    // earlier generation was inherited and is replaced (gateway_gate.hpp).
    std::atomic<uint64_t> fork_generation{0};
};

// The module's state.
inline GatewayState &gateway() {
    return zentaro::process_state<GatewayState>();
}

} // namespace zentaro::gateway_link
