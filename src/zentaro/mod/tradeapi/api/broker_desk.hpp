// Shared declarations of the broker_desk module: the trading-account handle
// (TradeAPI), its code tables and its record conversions.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <initializer_list>

#include "zentaro/function.hpp"
#include "zentaro/pyutil.hpp"
#include "zentaro/state.hpp"

namespace broker_desk {

namespace nb = nanobind;
using zentaro::call;
using zentaro::get_attr;
using zentaro::interned;
using zentaro::raise_python_error;
using zentaro::set_attr;
using zentaro::steal_or_raise;
using zentaro::truth;

// The module's __name__, for the functions it makes at call time.
nb::object module_name();

// ---- small object-protocol helpers (every NULL becomes a C++ exception) ----
nb::object getitem(nb::handle obj, PyObject *key);                 // obj[key]
nb::object get_or(nb::handle obj, PyObject *key, nb::handle dflt); // obj.get(key, dflt)
nb::object get_or_none(nb::handle obj, PyObject *key);             // obj.get(key)
[[noreturn]] void raise_object(nb::handle exc);
[[noreturn]] void raise_trade_exception(nb::handle message);

// ---- code tables (broker_codes.cpp) ----
void install_codes(nb::module_ &m);

// Which translation a record conversion uses: the native one, when the class
// attributes still hold this module's own tables, or the Python callable.
struct Translators {
    nb::object market_revert; // MARKET.revert as found; unused when native
    nb::object market_table;  // MARKET.re_revert, read by the native rule
    bool market_native = false;
    // The table's patterns (when every one is ours and re.match is the real
    // one) in trial order, with their values: taken once per call.
    static constexpr int kPlanLimit = 8;
    int plan_size = -1;    // -1: walk the table through re.match
    bool plan_own = false; // the module's own table: symbols may be cached
    int plan_pattern[kPlanLimit];
    nb::object plan_value[kPlanLimit];
    nb::object re_match; // re.match as found at call time
    bool re_native = false;
    nb::object side_revert; // SIDE.revert as found; unused when native
    bool side_native = false;
    nb::object pricetype_revert;
    nb::object timestamp; // pd.Timestamp as found at call time
    bool timestamp_cached = false;
    nb::object round_fn; // round as found at call time
    bool round_native = false;
    nb::object record_type; // NameDict as found at call time
    bool record_fast = false;
};
Translators resolve_translators(nb::handle api, bool with_pricetype);

nb::object symbol_of(const Translators &tr, nb::handle code, bool as_key);
nb::object side_name(const Translators &tr, nb::handle num);
nb::object time_of(const Translators &tr, nb::handle date, nb::handle time);
nb::object round4(const Translators &tr, nb::handle value);
nb::object round4_double(const Translators &tr, double value); // round4 of that float
nb::object make_record_dict(const Translators &tr, PyObject *layout);
nb::object finish_record(const Translators &tr, nb::object dict);

// ---- record conversions (broker_records.cpp) ----
void prepare_records();
nb::object convert_funds(const Translators &tr, nb::handle item);
// Returns the record; stores the symbol in *symbol.
nb::object convert_position(const Translators &tr, nb::handle item, nb::object *symbol);
nb::object convert_trade(const Translators &tr, nb::handle item);
nb::object convert_broker_order(const Translators &tr, nb::handle item);
nb::object convert_instruction(const Translators &tr, nb::handle item);
nb::object convert_pushed_order(const Translators &tr, nb::handle item);

// While a scope lives, the trade or broker-order conversions on this thread
// leave fresh timestamps of `records` (the answer's list) for `finish`, which
// boxes them in bulk, where pandas' own Timestamp is in use.
enum class RecordTimes { Trades, BrokerOrders };
struct TimeBatch;
class TimeBatchScope {
  public:
    TimeBatchScope() = default;
    TimeBatchScope(const TimeBatchScope &) = delete;
    TimeBatchScope &operator=(const TimeBatchScope &) = delete;
    ~TimeBatchScope();
    void open(const Translators &tr, nb::handle records, RecordTimes which);
    void finish(); // after the list's last record, before it is handed out

  private:
    TimeBatch *batch_ = nullptr;
};

// ---- TradeAPI and friends ----
void install_trader(nb::module_ &m);                             // broker_queries.cpp
void set_item(nb::handle dict, PyObject *key, nb::handle value); // dict[key] = value
nb::object join_text(std::initializer_list<nb::handle> parts);   // "".join of str parts
nb::object account_token(nb::handle api);                        // api._get_account_token()
// {"ReqType": ..., ["method": ...,] "params": params}
nb::dict make_request(long req_type, const char *method, nb::handle params);
nb::object register_push(nb::handle self, nb::handle orderpush); // broker_push.cpp
nb::object make_rate_limit(nb::module_ &m);                      // broker_limits.cpp
void renew_limiter_locks();                 // in a forked child: the parent's may be held
nb::object make_trader_rpc(nb::module_ &m); // broker_client.cpp
// api._trader_rpc, or the process's current client when that one was
// inherited from a parent process.
nb::object client_of(nb::handle api);

} // namespace broker_desk
