// The state of the stream_sink module: one struct, reached through sink().
// Its life at exit and fork: zentaro/process_state.hpp.
#pragma once

#include "zentaro/process_state.hpp"

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
    STREAM_SINK_NAMES(ZT_NAME_MEMBER)
    PyObject *const dunder_enter = interned("__enter__");
    PyObject *const dunder_exit = interned("__exit__");
};

struct SinkState {
    SinkNames names;
};

// The module's state.
inline SinkState &sink() {
    return zentaro::process_state<SinkState>();
}

} // namespace stream_sink
