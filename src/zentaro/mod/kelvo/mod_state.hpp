// The state of the mod module: one struct, reached through mod().
//
// Exit: made once on the heap and never deleted, so no destructor runs at
// exit (a thread parked there may still hold a pointer into it); its
// references are kept for the life of the process, like interned names.
// Made on first use, which is under the GIL (module init or a call).
// Fork: a child inherits it as it is; it holds nothing a child must renew.
#pragma once

#include "zentaro/pyutil.hpp"

namespace kelvo_mod {

using zentaro::interned;

// The names the module's code looks up, each an identifier spelt as it is.
// clang-format off
#define MOD_NAMES(X) \
    X(_env) X(AbstractMod) X(api_comm) X(daily_collect_trade) X(daily_last_event) \
    X(enable_stream_sink) X(error) X(error_type) X(EventFunc) X(export_as_api) \
    X(get_error_message) X(persist_provider) X(register_api) X(register_event) X(research_api) \
    X(research_cls) X(set_persist_provider) X(style) X(traceback_msg) X(UserError)
// clang-format on

struct ModNames {
#define MOD_NAMES_DECLARE(name) PyObject *const name = interned(#name);
    MOD_NAMES(MOD_NAMES_DECLARE)
#undef MOD_NAMES_DECLARE
    PyObject *const dunder_all = interned("__all__");
    PyObject *const run_error = interned("回测运行错误"); // the error type of a failed run
};

struct ModState {
    ModNames names;
};

// The module's state. Each extension module is its own shared object with
// hidden symbols, so this is mod's alone.
inline ModState &mod() {
    static ModState *const state = new ModState();
    return *state;
}

} // namespace kelvo_mod
