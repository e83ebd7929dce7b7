// The record types handed to users, as tables of output keys and the answer
// fields they are read from, in output order; fields are read in that order,
// so a record missing several fields reports the first one, as a dict
// display would. The tables live in the module's state (broker_desk_state.hpp):
// their keys are interned at init and each field learns where rows hold it.
#pragma once

#include <atomic>

#include "broker_desk.hpp"

namespace broker_desk {

enum class Kind {
    Symbol,      // symbol rule on the field
    Plain,       // required, unchanged
    Optional,    // .get(field): None when absent
    Side,        // SIDE.revert
    PriceType,   // PRICETYPE.revert
    Time,        // time rule, both fields required
    TimeOptDate, // time rule, the date field defaults to ""
    Pnl,         // NetMoney, else computed from the prices
    ProfitRate,  // relative gain over the cost price, or None
};

struct Field {
    const char *out;
    const char *in;
    Kind kind;
    const char *in2 = nullptr; // time field of the time rule
    PyObject *out_key = nullptr, *in_key = nullptr, *in2_key = nullptr; // interned at init
    PyObject *layout = nullptr; // on the first field: the output keys, for cloning
    // Where the last row held `in` and `in2` (see hinted_lookup).
    std::atomic<Py_ssize_t> hint{-1}, hint2{-1};
};

struct RecordSchemas {
    Field funds[4] = {
        {"available_cash", "AvailableValue", Kind::Plain},
        {"market_value", "MarketValue", Kind::Plain},
        {"total_value", "TotalAssets", Kind::Plain},
        {"frozen_cash", "FrozenValue", Kind::Plain},
    };

    // pnl and profit_rate last: the plain-dict path reads the others first.
    static constexpr size_t kPositionReadFirst = 8;
    Field position[10] = {
        {"symbol", "SecurityID", Kind::Symbol},
        {"name", "SecurityName", Kind::Plain},
        {"amount", "ActualAmt", Kind::Plain},
        {"frozen_amount", "FrozenQty", Kind::Plain},
        {"available_amount", "AvailableStockBalance", Kind::Plain},
        {"market_value", "MarketValue", Kind::Plain},
        {"cost_basis", "CostPrice", Kind::Plain},
        {"last_price", "MarketPrice", Kind::Plain},
        {"pnl", "NetMoney", Kind::Pnl},
        {"profit_rate", "CostPrice", Kind::ProfitRate},
    };

    static constexpr size_t kTradeTime = 6;
    Field trade[8] = {
        {"symbol", "SecurityID", Kind::Symbol},
        {"name", "SecurityName", Kind::Plain},
        {"secondary_order_id", "OrderID", Kind::Plain},
        {"amount", "TradeVolume", Kind::Plain},
        {"side", "Side", Kind::Side},
        {"trade_price", "AvgPx", Kind::Plain},
        {"datetime", "SettleDate", Kind::TimeOptDate, "TransactTime"},
        {"commission", "Commission", Kind::Plain},
    };

    static constexpr size_t kBrokerOrderTime = 7;
    Field broker_order[11] = {
        {"symbol", "SecurityID", Kind::Symbol},
        {"name", "SecurityName", Kind::Plain},
        {"secondary_order_id", "OrderID", Kind::Plain},
        {"amount", "OrderQty", Kind::Plain},
        {"side", "Side", Kind::Side},
        {"price", "OrderPrice", Kind::Plain},
        {"price_type", "OrderTypeMsg", Kind::Plain},
        {"datetime", "OrderDate", Kind::TimeOptDate, "OrderTime"},
        {"status", "OrderStatusMsg", Kind::Optional},
        {"trade_amount", "TradeVolume", Kind::Plain},
        {"trade_price", "AvgPx", Kind::Plain},
    };

    Field instruction[13] = {
        {"symbol", "security", Kind::Symbol},
        {"order_id", "instructionid", Kind::Plain},
        {"secondary_order_id", "orderid", Kind::Plain},
        {"amount", "qty", Kind::Plain},
        {"side", "side", Kind::Side},
        {"price", "price", Kind::Plain},
        {"price_type", "pricetype", Kind::PriceType},
        {"datetime", "date", Kind::Time, "time"},
        {"status", "statusmsg", Kind::Optional},
        {"cancel_amount", "qtycancel", Kind::Plain},
        {"trade_amount", "qtytrade", Kind::Plain},
        {"trade_price", "avgpx", Kind::Plain},
        {"message", "msg", Kind::Optional},
    };

    Field pushed_order[11] = {
        {"symbol", "SecurityID", Kind::Symbol},
        {"name", "SecurityName", Kind::Plain},
        {"secondary_order_id", "OrderID", Kind::Plain},
        {"amount", "OrderQty", Kind::Plain},
        {"side", "Side", Kind::Side},
        {"price", "OrderPrice", Kind::Plain},
        {"price_type", "OrderType", Kind::Plain},
        {"datetime", "OrderDate", Kind::Time, "OrderEntryTime"},
        {"status", "OrderStatusMsg", Kind::Optional},
        {"trade_amount", "TradeVolume", Kind::Plain},
        {"trade_price", "AvgPx", Kind::Plain},
    };
};

// One field's value of `item` under its rule; a symbol is also stored in
// *symbol when that is given (broker_records.cpp).
nb::object field_value(const RecordHooks &hooks, nb::handle item, Field &f, nb::object *symbol);

// ---- a position's gains (broker_positions.cpp) ----
nb::object pnl_of(const RecordHooks &hooks, nb::handle item);
nb::object profit_rate_of(const RecordHooks &hooks, nb::handle item);
// A position from a plain dict, each field read once.
nb::object plain_position(const RecordHooks &hooks, nb::handle item, nb::object *symbol);

} // namespace broker_desk
