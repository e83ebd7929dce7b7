// Shared declarations of the broker_desk module: the trading-account handle
// (TradeAPI), its code tables and its record conversions. The module's state
// (caches, interned names, resolved hooks) is in broker_desk_state.hpp.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <initializer_list>

#include "zentaro/function.hpp"
#include "zentaro/objects.hpp"
#include "zentaro/state.hpp"
#include "zentaro/text.hpp"

namespace broker_desk {

namespace nb = nanobind;
using zentaro::call;
using zentaro::get_attr;
using zentaro::get_item;
using zentaro::get_or;
using zentaro::get_or_none;
using zentaro::interned;
using zentaro::into_python;
using zentaro::join_text;
using zentaro::module_global;
using zentaro::raise_object;
using zentaro::raise_python_error;
using zentaro::set_attr;
using zentaro::steal_or_raise;
using zentaro::str_of;
using zentaro::truth;

// ---- request types of the trading RPC (account queries: broker_queries.cpp) ----
constexpr long kOnlineAccountsReqType = 594177; // accounts online, with their fund tokens
constexpr long kInstructionsReqType = 151553;   // order instructions ("new_instmanage")
constexpr long kSubscribeReqType = 1601;        // subscription to a push

// ---- the module's namespace ----

// The module's __name__, for the functions it makes at call time.
nb::object module_name();

// ---- small object-protocol helpers (broker_desk.cpp; every NULL becomes a C++ exception) ----
nb::object iterate(nb::handle iterable);  // iter(iterable)
PyObject *next_item(nb::handle iterator); // next(iterator): new reference, or NULL at the end
nb::object format_text(nb::handle obj);   // format(obj), no copy of an exact str
[[noreturn]] void raise_trade_exception(nb::handle message);

// ---- the exchange patterns (broker_patterns.cpp) ----

// The module's own patterns of MARKET.re_convert and MARKET.re_revert.
enum Pattern {
    kConvertSz,
    kConvertSh,
    kConvertOf1,
    kConvertOf5,
    kConvertBj,
    kRevertSz,
    kRevertSh,
    kRevertBj,
    kPatternCount
};
extern const char *const kPatternText[kPatternCount];

// Which of the module's patterns `pattern` is (the same object or an equal
// exact str), or -1.
int pattern_id(PyObject *pattern);
// Index of the first of the patterns `ids` that the str `text` matches as
// re.match would, or -1.
int first_match(const int *ids, int count, PyObject *text);
// re.match as the module sees it now, and whether it is the real one.
nb::object current_re_match(bool *native);
// First value of the table (pattern -> value) whose pattern matches
// `symbol`, else None.
nb::object walk_table(nb::handle table, nb::handle symbol, nb::handle re_match, bool re_native);

// ---- code tables (broker_codes.cpp) ----

// Members of SIDE by value, from 0; values past the end belong to no member.
constexpr int kSideSpan = 17;
void install_codes(nb::module_ &m);
nb::object native_side(nb::handle num); // SIDE.revert of an int, for the module's own SIDE

// ---- the hooks a record conversion uses (broker_hooks.cpp) ----

// Which translation a record conversion uses: the native one, when the class
// attributes (and re.match, pd.Timestamp, round, NameDict) are still the
// module's own, or the Python callable found at call time.
struct RecordHooks {
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
RecordHooks resolve_hooks(nb::handle api, bool with_pricetype);

nb::object side_name(const RecordHooks &hooks, nb::handle num);
nb::object make_record_dict(const RecordHooks &hooks, PyObject *layout);
nb::object finish_record(const RecordHooks &hooks, nb::object dict);

// ---- the symbol rule (broker_symbols.cpp) ----
// `as_key`: the symbol keys a dict (a cached one carries its hash).
nb::object symbol_of(const RecordHooks &hooks, nb::handle code, bool as_key);

// ---- rounding (broker_rounding.cpp) ----
nb::object round4(const RecordHooks &hooks, nb::handle value);
nb::object round4_double(const RecordHooks &hooks, double value); // round4 of that float

// ---- the time rule (broker_time.cpp) ----
nb::object time_of(const RecordHooks &hooks, nb::handle date, nb::handle time);

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
    void open(const RecordHooks &hooks, nb::handle records, RecordTimes which);
    void finish(); // after the list's last record, before it is handed out

  private:
    TimeBatch *batch_ = nullptr;
};

// ---- record conversions (broker_records.cpp, broker_positions.cpp) ----
void prepare_records();
nb::object convert_funds(const RecordHooks &hooks, nb::handle item);
// Returns the record; stores the symbol in *symbol.
nb::object convert_position(const RecordHooks &hooks, nb::handle item, nb::object *symbol);
nb::object convert_trade(const RecordHooks &hooks, nb::handle item);
nb::object convert_broker_order(const RecordHooks &hooks, nb::handle item);
nb::object convert_instruction(const RecordHooks &hooks, nb::handle item);
nb::object convert_pushed_order(const RecordHooks &hooks, nb::handle item);

// ---- TradeAPI and friends ----
void install_trader(nb::module_ &m);                             // broker_queries.cpp
void set_item(nb::handle dict, PyObject *key, nb::handle value); // dict[key] = value
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
