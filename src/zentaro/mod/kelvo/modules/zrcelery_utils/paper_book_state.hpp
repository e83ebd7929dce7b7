// The state of the paper_book module: one struct, reached through book().
// Its life at exit and fork: zentaro/process_state.hpp.
#pragma once

#include "zentaro/process_state.hpp"

namespace paper_book {

using zentaro::interned;

// The names the module's code looks up, each an identifier spelt as it is.
// clang-format off
#define PAPER_BOOK_NAMES(X) \
    X(_env) X(_own_env) X(available_cash) X(BarMap) X(base) X(broker) X(calendar_dt) \
    X(capital_base) X(cluster_conn) X(config) X(data_proxy) X(datetime) X(del_instance) \
    X(DiskPersistProvider) X(Environment) X(frequency) X(gen_mod_config) X(get_portfolio) X(items) X(lazy_property) \
    X(load) X(lower) X(map_frequncy) X(market_value) X(ModHandler) X(now) X(output_json) \
    X(paper_id) X(pnl) X(portfolio) X(position_date) X(positions) X(set_bar_dict) X(set_env) \
    X(set_state) X(set_state_conf) X(SimulateService) X(start_up) X(stock_market) X(strftime) \
    X(total_value) X(update_dt)
// clang-format on

struct BookNames {
    PAPER_BOOK_NAMES(ZT_NAME_MEMBER)
};

struct BookState {
    BookNames names;
};

// The module's state.
inline BookState &book() {
    return zentaro::process_state<BookState>();
}

} // namespace paper_book
