// The state of the paper_book module: one struct, reached through book().
//
// Exit: made once on the heap and never deleted, so no destructor runs at
// exit (a thread parked there may still hold a pointer into it); its
// references are kept for the life of the process, like interned names.
// Made on first use, which is under the GIL (module init or a call).
// Fork: a child inherits it as it is; it holds nothing a child must renew.
#pragma once

#include "zentaro/pyutil.hpp"

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
#define PAPER_BOOK_NAMES_DECLARE(name) PyObject *const name = interned(#name);
    PAPER_BOOK_NAMES(PAPER_BOOK_NAMES_DECLARE)
#undef PAPER_BOOK_NAMES_DECLARE
};

struct BookState {
    BookNames names;
};

// The module's state. Each extension module is its own shared object with
// hidden symbols, so this is paper_book's alone.
inline BookState &book() {
    static BookState *const state = new BookState();
    return *state;
}

} // namespace paper_book
