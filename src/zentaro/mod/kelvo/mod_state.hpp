// The state of the mod module: one struct, reached through mod().
// Its life at exit and fork: zentaro/process_state.hpp.
#pragma once

#include "zentaro/process_state.hpp"

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
    MOD_NAMES(ZT_NAME_MEMBER)
    PyObject *const dunder_all = interned("__all__");
    PyObject *const run_error = interned("回测运行错误"); // the error type of a failed run
};

struct ModState {
    ModNames names;
};

// The module's state.
inline ModState &mod() {
    return zentaro::process_state<ModState>();
}

} // namespace kelvo_mod
