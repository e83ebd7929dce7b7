// Conversion of the broker's records into the records handed to users.
//
// Each record type is a table of output keys and the answer fields they are
// read from, in output order; fields are read in that order, so a record
// missing several fields reports the first one, as a dict display would.

#include "broker_desk.hpp"

namespace broker_desk {

namespace {

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
};

Field funds_fields[] = {
    {"available_cash", "AvailableValue", Kind::Plain},
    {"market_value", "MarketValue", Kind::Plain},
    {"total_value", "TotalAssets", Kind::Plain},
    {"frozen_cash", "FrozenValue", Kind::Plain},
};

Field position_fields[] = {
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

Field trade_fields[] = {
    {"symbol", "SecurityID", Kind::Symbol},
    {"name", "SecurityName", Kind::Plain},
    {"secondary_order_id", "OrderID", Kind::Plain},
    {"amount", "TradeVolume", Kind::Plain},
    {"side", "Side", Kind::Side},
    {"trade_price", "AvgPx", Kind::Plain},
    {"datetime", "SettleDate", Kind::TimeOptDate, "TransactTime"},
    {"commission", "Commission", Kind::Plain},
};

Field broker_order_fields[] = {
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

Field instruction_fields[] = {
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

Field pushed_order_fields[] = {
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

nb::object number_op(binaryfunc op, nb::handle a, nb::handle b) {
    return steal_or_raise(op(a.ptr(), b.ptr()));
}

// A number Python would turn into this double for float arithmetic: a float,
// or an integer small enough to convert exactly.
bool as_double(PyObject *v, double *out) {
    if (PyFloat_CheckExact(v)) {
        *out = PyFloat_AS_DOUBLE(v);
        return true;
    }
    if (!PyLong_CheckExact(v))
        return false;
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
    constexpr long long exact = 1LL << 53;
    if (overflow || n > exact || n < -exact)
        return false;
    *out = static_cast<double>(n);
    return true;
}

// Both prices as doubles, when their difference is a float in Python (two
// integers give an integer instead).
bool float_prices(nb::handle last, nb::handle cost, double *l, double *c) {
    return (PyFloat_CheckExact(last.ptr()) || PyFloat_CheckExact(cost.ptr())) &&
           as_double(last.ptr(), l) && as_double(cost.ptr(), c);
}

// round((last - cost) * amount, 4)
nb::object gain_pnl(const Translators &tr, nb::handle last, nb::handle cost, nb::handle amount) {
    double l, c, a;
    if (float_prices(last, cost, &l, &c) && as_double(amount.ptr(), &a))
        return round4_double(tr, (l - c) * a);
    nb::object gain = number_op(PyNumber_Subtract, last, cost);
    return round4(tr, number_op(PyNumber_Multiply, gain, amount));
}

// round((last - cost) / cost, 4), cost being truthy
nb::object gain_rate(const Translators &tr, nb::handle last, nb::handle cost) {
    double l, c;
    if (float_prices(last, cost, &l, &c))
        return round4_double(tr, (l - c) / c);
    nb::object gain = number_op(PyNumber_Subtract, last, cost);
    return round4(tr, number_op(PyNumber_TrueDivide, gain, cost));
}

// round(NetMoney, 4) when truthy, else from the prices read afresh, each
// read where the rule reads it (the arithmetic may run code of the values).
nb::object pnl_from(const Translators &tr, nb::handle item, nb::handle net) {
    if (truthy(net))
        return round4(tr, net);
    nb::object last = getitem(item, KEY("MarketPrice"));
    nb::object gain = number_op(PyNumber_Subtract, last, getitem(item, KEY("CostPrice")));
    return round4(tr, number_op(PyNumber_Multiply, gain, getitem(item, KEY("ActualAmt"))));
}

nb::object pnl_of(const Translators &tr, nb::handle item) {
    return pnl_from(tr, item, get_or_none(item, KEY("NetMoney")));
}

nb::object profit_rate_of(const Translators &tr, nb::handle item) {
    if (!truthy(getitem(item, KEY("CostPrice"))))
        return nb::none();
    nb::object last = getitem(item, KEY("MarketPrice"));
    nb::object gain = number_op(PyNumber_Subtract, last, getitem(item, KEY("CostPrice")));
    return round4(tr, number_op(PyNumber_TrueDivide, gain, getitem(item, KEY("CostPrice"))));
}

nb::object field_value(const Translators &tr, nb::handle item, Field &f, nb::object *symbol) {
    switch (f.kind) {
    case Kind::Symbol: {
        nb::object value = symbol_of(tr, getitem(item, f.in_key), symbol != nullptr);
        if (symbol)
            *symbol = value;
        return value;
    }
    case Kind::Plain:
        return getitem(item, f.in_key);
    case Kind::Optional:
        return get_or_none(item, f.in_key);
    case Kind::Side:
        return side_name(tr, getitem(item, f.in_key));
    case Kind::PriceType:
        return call(tr.pricetype_revert, getitem(item, f.in_key));
    case Kind::Time: {
        nb::object date = getitem(item, f.in_key);
        return time_of(tr, date, getitem(item, f.in2_key));
    }
    case Kind::TimeOptDate: {
        nb::object date = get_or(item, f.in_key, KEY(""));
        return time_of(tr, date, getitem(item, f.in2_key));
    }
    case Kind::Pnl:
        return pnl_of(tr, item);
    case Kind::ProfitRate:
        return profit_rate_of(tr, item);
    }
    return nb::none();
}

template <size_t N>
nb::object convert(const Translators &tr, nb::handle item, Field (&fields)[N],
                   nb::object *symbol = nullptr) {
    nb::object record = make_record_dict(tr, fields[0].layout);
    for (Field &f : fields) {
        nb::object value = field_value(tr, item, f, symbol);
        if (PyDict_SetItem(record.ptr(), f.out_key, value.ptr()) < 0)
            raise_python_error();
    }
    return finish_record(tr, std::move(record));
}

template <size_t N> void intern_keys(Field (&fields)[N]) {
    nb::dict layout;
    for (Field &f : fields) {
        f.out_key = name(f.out);
        f.in_key = name(f.in);
        f.in2_key = f.in2 ? name(f.in2) : nullptr;
        layout[nb::handle(f.out_key)] = nb::none();
    }
    fields[0].layout = layout.release().ptr(); // kept for the life of the process
}

bool plain_number(nb::handle v) {
    return PyFloat_CheckExact(v.ptr()) || PyLong_CheckExact(v.ptr());
}

void set_value(nb::handle record, const Field &f, nb::handle value) {
    if (PyDict_SetItem(record.ptr(), f.out_key, value.ptr()) < 0)
        raise_python_error();
}

// A position from a plain dict. Truth, arithmetic and rounding of plain
// numbers run no Python code (the built-in round), so nothing can change the
// record between reads of one field: each field is read once. Any other value
// takes the rule's own reads.
nb::object plain_position(const Translators &tr, nb::handle item, nb::object *symbol) {
    constexpr size_t read = 8; // the fields before pnl and profit_rate
    nb::object values[read];
    for (size_t i = 0; i < read; ++i)
        values[i] = field_value(tr, item, position_fields[i], symbol);
    nb::handle amount = values[2], cost = values[6], last = values[7];
    nb::object net = get_or_none(item, KEY("NetMoney"));
    nb::object pnl, rate;
    if (tr.round_native && plain_number(amount) && plain_number(cost) && plain_number(last) &&
        (net.is_none() || plain_number(net))) {
        pnl = truthy(net) ? round4(tr, net) : gain_pnl(tr, last, cost, amount);
        rate = truthy(cost) ? gain_rate(tr, last, cost) : nb::none();
    } else {
        pnl = pnl_from(tr, item, net);
        rate = profit_rate_of(tr, item);
    }
    nb::object record = make_record_dict(tr, position_fields[0].layout);
    for (size_t i = 0; i < read; ++i)
        set_value(record, position_fields[i], values[i]);
    set_value(record, position_fields[read], pnl);
    set_value(record, position_fields[read + 1], rate);
    return finish_record(tr, std::move(record));
}

} // namespace

void prepare_records() {
    intern_keys(funds_fields);
    intern_keys(position_fields);
    intern_keys(trade_fields);
    intern_keys(broker_order_fields);
    intern_keys(instruction_fields);
    intern_keys(pushed_order_fields);
}

nb::object convert_funds(const Translators &tr, nb::handle item) {
    return convert(tr, item, funds_fields);
}
nb::object convert_position(const Translators &tr, nb::handle item, nb::object *symbol) {
    if (PyDict_CheckExact(item.ptr()))
        return plain_position(tr, item, symbol);
    return convert(tr, item, position_fields, symbol);
}
nb::object convert_trade(const Translators &tr, nb::handle item) {
    return convert(tr, item, trade_fields);
}
nb::object convert_broker_order(const Translators &tr, nb::handle item) {
    return convert(tr, item, broker_order_fields);
}
nb::object convert_instruction(const Translators &tr, nb::handle item) {
    return convert(tr, item, instruction_fields);
}
nb::object convert_pushed_order(const Translators &tr, nb::handle item) {
    return convert(tr, item, pushed_order_fields);
}

} // namespace broker_desk
