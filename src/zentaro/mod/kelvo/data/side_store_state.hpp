// The state of the side_store module: one struct, reached through store_state().
// Its life at exit and fork: zentaro/process_state.hpp.
#pragma once

#include "zentaro/process_state.hpp"

namespace side_store {

using zentaro::interned;

// The names the module's code looks up, each an identifier spelt as it is.
// clang-format off
#define SIDE_STORE_NAMES(X) \
    X(b64encode) X(base64) X(close) X(DataFrame) X(decode) X(encode) X(feather) X(hashlib) \
    X(hexdigest) X(INFO_PATH) X(join) X(kl_api) X(md5) X(open) X(os) X(path) X(read_feather) \
    X(setting) X(side_store) X(Table) X(write_feather)
// clang-format on

struct StoreNames {
    SIDE_STORE_NAMES(ZT_NAME_MEMBER)
};

struct StoreState {
    StoreNames names;
};

// The module's state.
inline StoreState &store_state() {
    return zentaro::process_state<StoreState>();
}

} // namespace side_store
