// The state of the side_store module: one struct, reached through store_state().
//
// Exit: made once on the heap and never deleted, so no destructor runs at
// exit (a thread parked there may still hold a pointer into it); its
// references are kept for the life of the process, like interned names.
// Made on first use, which is under the GIL (module init or a call).
// Fork: a child inherits it as it is; it holds nothing a child must renew.
#pragma once

#include "zentaro/pyutil.hpp"

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
#define SIDE_STORE_NAMES_DECLARE(name) PyObject *const name = interned(#name);
    SIDE_STORE_NAMES(SIDE_STORE_NAMES_DECLARE)
#undef SIDE_STORE_NAMES_DECLARE
};

struct StoreState {
    StoreNames names;
};

// The module's state. Each extension module is its own shared object with
// hidden symbols, so this is side_store's alone.
inline StoreState &store_state() {
    static StoreState *const state = new StoreState();
    return *state;
}

} // namespace side_store
