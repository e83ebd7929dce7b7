// A position's gains: pnl (NetMoney, else computed from the prices) and
// profit_rate (the relative gain over the cost price), and the position read
// from a plain dict, where plain numbers let each field be read once.

#include <utility>

#include "broker_desk_state.hpp"

namespace broker_desk {

namespace {

nb::object number_op(binaryfunc op, nb::handle a, nb::handle b) {
    return steal_or_raise(into_python([&] { return op(a.ptr(), b.ptr()); }));
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
nb::object gain_pnl(const RecordHooks &hooks, nb::handle last, nb::handle cost, nb::handle amount) {
    double l, c, a;
    if (float_prices(last, cost, &l, &c) && as_double(amount.ptr(), &a))
        return round4_double(hooks, (l - c) * a);
    nb::object gain = number_op(PyNumber_Subtract, last, cost);
    return round4(hooks, number_op(PyNumber_Multiply, gain, amount));
}

// round((last - cost) / cost, 4), cost being truthy
nb::object gain_rate(const RecordHooks &hooks, nb::handle last, nb::handle cost) {
    double l, c;
    if (float_prices(last, cost, &l, &c))
        return round4_double(hooks, (l - c) / c);
    nb::object gain = number_op(PyNumber_Subtract, last, cost);
    return round4(hooks, number_op(PyNumber_TrueDivide, gain, cost));
}

bool plain_number(nb::handle v) {
    return PyFloat_CheckExact(v.ptr()) || PyLong_CheckExact(v.ptr());
}

void set_value(nb::handle record, const Field &f, nb::handle value) {
    if (PyDict_SetItem(record.ptr(), f.out_key, value.ptr()) < 0)
        raise_python_error();
}

// round(NetMoney, 4) when truthy, else from the prices read afresh, each
// read where the rule reads it (the arithmetic may run code of the values).
nb::object pnl_from(const RecordHooks &hooks, nb::handle item, nb::handle net) {
    if (truth(net))
        return round4(hooks, net);
    nb::object last = get_item(item, desk().names.MarketPrice);
    nb::object gain = number_op(PyNumber_Subtract, last, get_item(item, desk().names.CostPrice));
    return round4(hooks,
                  number_op(PyNumber_Multiply, gain, get_item(item, desk().names.ActualAmt)));
}

} // namespace

nb::object pnl_of(const RecordHooks &hooks, nb::handle item) {
    return pnl_from(hooks, item, get_or_none(item, desk().names.NetMoney));
}

nb::object profit_rate_of(const RecordHooks &hooks, nb::handle item) {
    if (!truth(get_item(item, desk().names.CostPrice)))
        return nb::none();
    nb::object last = get_item(item, desk().names.MarketPrice);
    nb::object gain = number_op(PyNumber_Subtract, last, get_item(item, desk().names.CostPrice));
    return round4(hooks,
                  number_op(PyNumber_TrueDivide, gain, get_item(item, desk().names.CostPrice)));
}

// A position from a plain dict. Truth, arithmetic and rounding of plain
// numbers run no Python code (the built-in round), so nothing can change the
// record between reads of one field: each field is read once. Any other value
// takes the rule's own reads.
nb::object plain_position(const RecordHooks &hooks, nb::handle item, nb::object *symbol) {
    Field(&fields)[10] = desk().records.position;
    constexpr size_t read = RecordSchemas::kPositionReadFirst;
    nb::object values[read];
    for (size_t i = 0; i < read; ++i)
        values[i] = field_value(hooks, item, fields[i], symbol);
    nb::handle amount = values[2], cost = values[6], last = values[7];
    nb::object net = get_or_none(item, desk().names.NetMoney);
    nb::object pnl, rate;
    if (hooks.round_native && plain_number(amount) && plain_number(cost) && plain_number(last) &&
        (net.is_none() || plain_number(net))) {
        pnl = truth(net) ? round4(hooks, net) : gain_pnl(hooks, last, cost, amount);
        rate = truth(cost) ? gain_rate(hooks, last, cost) : nb::none();
    } else {
        pnl = pnl_from(hooks, item, net);
        rate = profit_rate_of(hooks, item);
    }
    nb::object record = make_record_dict(hooks, fields[0].layout);
    for (size_t i = 0; i < read; ++i)
        set_value(record, fields[i], values[i]);
    set_value(record, fields[read], pnl);
    set_value(record, fields[read + 1], rate);
    return finish_record(hooks, std::move(record));
}

} // namespace broker_desk
