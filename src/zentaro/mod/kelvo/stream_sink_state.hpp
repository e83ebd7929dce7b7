// The state of the stream_sink module: one struct, reached through sink().
//
// Exit: made once on the heap and never deleted, so no destructor runs at
// exit (a thread parked there may still hold a pointer into it); its
// references are kept for the life of the process, like interned names.
// Made on first use, which is under the GIL (module init or a call).
// Fork: a child inherits it as it is; it holds nothing a child must renew.
#pragma once

#include "zentaro/pyutil.hpp"

namespace stream_sink {

using zentaro::interned;

// The names the module's code looks up, each an identifier spelt as it is.
// clang-format off
#define STREAM_SINK_NAMES(X) \
    X(_collect_trade) X(_daily_last_event) X(_env) X(_process) X(_style) X(_trading_length) \
    X(accounts) X(add_listener) X(append) X(backtest_trade_data) X(base) X(cash) X(clear) \
    X(config) X(data_proxy) X(datetime) X(ending_cash) X(error) X(EVENT) X(event_bus) \
    X(get_backtest_data) X(get_previous_trading_date) X(getvalue) X(hour) X(in_log) X(info) X(io) \
    X(items) X(log) X(minute) X(NORMAL) X(ON_LINE_PROFILER_RESULT) X(output_json) \
    X(output_profile) X(output_record) X(pnl) X(portfolio) X(portfolio_value) X(positions) \
    X(POST_SETTLEMENT) X(POST_SYSTEM_INIT) X(POST_USER_INIT) X(PRE_BEFORE_TRADING) X(print_stats) \
    X(process_init) X(profile_deco) X(progress) X(RECORD) X(record_dict) X(replace) X(rstrip) \
    X(start_date) X(StringIO) X(system_init) X(TempDir) X(TRADE) X(trade) X(trade_add) \
    X(trade_init) X(trade_log) X(tradelogs) X(trading_calendar) X(type) X(warn)
// clang-format on

struct SinkNames {
#define STREAM_SINK_NAMES_DECLARE(name) PyObject *const name = interned(#name);
    STREAM_SINK_NAMES(STREAM_SINK_NAMES_DECLARE)
#undef STREAM_SINK_NAMES_DECLARE
    PyObject *const dunder_enter = interned("__enter__");
    PyObject *const dunder_exit = interned("__exit__");
};

struct SinkState {
    SinkNames names;
};

// The module's state. Each extension module is its own shared object with
// hidden symbols, so this is stream_sink's alone.
inline SinkState &sink() {
    static SinkState *const state = new SinkState();
    return *state;
}

} // namespace stream_sink
