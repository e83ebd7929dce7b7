// Shared declarations of the broker_desk module: the trading-account handle
// (TradeAPI), its code tables and its record conversions.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "zentaro/pyutil.hpp"

namespace broker_desk {

namespace nb = nanobind;
using zentaro::raise_python_error;
using zentaro::steal_or_raise;

// Interned names: keys of requests, answers and records, and attribute names.
// Created once at module init and kept for the life of the process.
PyObject *name(const char *text);

// An interned name resolved once per call site: for the hot paths.
#define KEY(text)                                                                                  \
    ([]() -> PyObject * {                                                                          \
        static PyObject *const k = ::broker_desk::name(text);                                      \
        return k;                                                                                  \
    }())

// ---- module globals, looked up at call time like a Python function's ----
void set_module(nb::handle module);
nb::object global(const char *key);

// ---- small object-protocol helpers (every NULL becomes a C++ exception) ----
nb::object getitem(nb::handle obj, PyObject *key);                 // obj[key]
nb::object get_or(nb::handle obj, PyObject *key, nb::handle dflt); // obj.get(key, dflt)
nb::object get_or_none(nb::handle obj, PyObject *key);             // obj.get(key)
nb::object getattr(nb::handle obj, PyObject *key);
bool truthy(nb::handle obj);
nb::object call(nb::handle fn, nb::handle arg);
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
    static constexpr int plan_limit = 8;
    int plan_size = -1;    // -1: walk the table through re.match
    bool plan_own = false; // the module's own table: symbols may be cached
    int plan_pattern[plan_limit];
    nb::object plan_value[plan_limit];
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

// ---- TradeAPI and friends (broker_queries.cpp) ----
void install_trader(nb::module_ &m);

} // namespace broker_desk
