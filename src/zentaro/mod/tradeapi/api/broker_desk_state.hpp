// The state of the broker_desk module: one struct, reached through desk().
//
// It holds what the module makes once or keeps between calls: the names it
// looks up, its own patterns and member names, the identities of its own
// objects and of the hooks it has native stand-ins for, the record tables,
// the symbol and time caches, the broker client's creation lock and the
// limiters a forked child renews. Module attributes are not here: they are
// read at call time (module_global), since users and tests replace them.
//
// Its life at exit and fork: zentaro/process_state.hpp. What a forked child
// must not inherit (the creation lock, the shared client, the limiters'
// locks) is renewed by the module's after-fork hook (broker_client.cpp); the
// caches hold immutable values and stay valid.
#pragma once

#include <vector>

#include "broker_desk.hpp"
#include "broker_record_fields.hpp"
#include "broker_text_cache.hpp"
#include "broker_time.hpp"
#include "zentaro/process_state.hpp"

namespace broker_desk {

// The names the module's code looks up, each an identifier spelt as it is.
// clang-format off
#define BROKER_DESK_NAMES(X) \
    X(AccountID) X(Accounts) X(account_id) X(action) X(ActualAmt) X(after_in_child) X(Array) \
    X(array) X(astype) X(calls) X(call_rpc_json) X(CostPrice) X(dtype) X(enddate) X(Enum) \
    X(error) X(extra) X(format) X(format_exc) X(frombuffer) X(fund_token) X(FunID) X(get) X(id) \
    X(info) X(instructionid) X(items) X(limits) X(lock) X(MARKET) X(MarketPrice) X(match) \
    X(message) X(method) X(module) X(msg) X(name) X(NameDict) X(NetMoney) X(orders) X(params) \
    X(pd) X(period) X(PRICETYPE) X(price_revert) X(qualname) X(raise_message) X(raise_on_limit) \
    X(RavineClient) X(re) X(register_at_fork) X(register_callback) X(ReqType) X(result) \
    X(revert) X(re_convert) X(re_revert) X(round) X(SIDE) X(sleep_and_retry) X(sleep_on_limit) \
    X(startdate) X(status) X(strftime) X(Subkey) X(system_log) X(timeout) X(Timestamp) \
    X(tolist) X(traceback) X(TradeException) X(TraderRPC) X(TradeType) X(type) X(unit) X(wraps) \
    X(_account_token) X(_get_account_token) X(_instance) X(_limiter) X(_trader_rpc) \
    X(_trade_type) X(_trans_inst) X(_trans_order) X(_var)
// clang-format on

// Interned at module init and kept for the life of the process.
struct InternedNames {
#define BROKER_DESK_DECLARE_NAME(name) PyObject *name = nullptr;
    BROKER_DESK_NAMES(BROKER_DESK_DECLARE_NAME)
#undef BROKER_DESK_DECLARE_NAME
    PyObject *empty = nullptr;       // ""
    PyObject *dunder_name = nullptr; // "__name__"
    PyObject *dunder_doc = nullptr;  // "__doc__"
    PyObject *dunder_func = nullptr; // "__func__"

    void intern_all() {
#define BROKER_DESK_INTERN_NAME(name) name = interned(#name);
        BROKER_DESK_NAMES(BROKER_DESK_INTERN_NAME)
#undef BROKER_DESK_INTERN_NAME
        empty = interned("");
        dunder_name = interned("__name__");
        dunder_doc = interned("__doc__");
        dunder_func = interned("__func__");
    }
};

struct DeskState {
    InternedNames names;

    // ---- code tables (broker_codes.cpp) ----
    PyObject *pattern[kPatternCount] = {};      // the patterns' texts as str
    PyObject *revert_value[kPatternCount] = {}; // re_revert's values as installed, by pattern
    PyObject *side_member[kSideSpan] = {};      // SIDE's member names by value, or NULL
    PyObject *empty_tuple = nullptr;

    // Identity of this module's own objects, for choosing the native paths.
    // Owned, so that a freed object's address can never pass for one of them.
    PyObject *own_side_class = nullptr;
    PyObject *own_side_revert = nullptr; // the function under the classmethod
    PyObject *own_market_class = nullptr;
    PyObject *own_market_revert = nullptr;
    // The hooks as imported, which the module has native stand-ins for.
    PyObject *real_re_match = nullptr;  // re.match
    PyObject *real_timestamp = nullptr; // pandas.Timestamp
    PyObject *builtin_round = nullptr;

    // ---- records (broker_records.cpp) ----
    RecordSchemas records;
    TextCache symbol_cache; // code -> symbol, under the module's own table

    // ---- the time rule (broker_time.cpp) ----
    // Complete date-and-time text -> Timestamp: the rule's results, which
    // depend on nothing but the text, whether pd.Timestamp read the text or
    // pandas boxed it with a batch.
    TextCache time_cache;
    TimestampBoxing boxing;
    // The batch of the conversion running on this thread, if any. Initial
    // exec: read for every record converted, and a module's default
    // thread-local model costs a __tls_get_addr call per read.
    static inline thread_local TimeBatch *active_batch __attribute__((tls_model("initial-exec"))) =
        nullptr;

    // ---- the shared broker client (broker_client.cpp) ----
    PyThread_type_lock creation_lock = nullptr;
    unsigned long creation_owner = 0; // thread creating the client; 0 when none
    // Clients inherited from a parent process. Owned for the life of the
    // process, so that their addresses cannot be taken by other objects.
    std::vector<PyObject *> inherited_clients;

    // ---- rate limiters (broker_limits.cpp) ----
    // Weak references to the limiters made here: a forked child gives each a
    // new lock, since the parent's may have been held by a thread the child
    // lacks.
    PyObject *limiters = nullptr;
};

// The module's state.
inline DeskState &desk() {
    return zentaro::process_state<DeskState>();
}

} // namespace broker_desk
