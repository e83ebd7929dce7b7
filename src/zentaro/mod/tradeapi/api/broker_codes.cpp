// Code tables of the broker's answers as module classes: order side (SIDE),
// exchange (MARKET) and price type (PRICETYPE).

#include "broker_desk_state.hpp"

namespace broker_desk {

namespace {

// Members of SIDE by value; values outside belong to no member.
const char *const kSideMember[kSideSpan] = {"BUY",
                                            "SALE",
                                            nullptr,
                                            nullptr,
                                            "PURCHASE",
                                            "REDEEM",
                                            "FINANCE_BUY",
                                            "STOCK_SALE",
                                            "SALE_REPAY",
                                            "BUY_REPAY",
                                            "DIRECT_REPAY",
                                            "STOCK_REPAY",
                                            nullptr,
                                            nullptr,
                                            "STOCK_REPAY_TRANSFER",
                                            "STOCK_LEFT_TRANSFER",
                                            "IPO"};

// SideMixin.revert: the member's name by value, or the value itself.
nb::object side_revert(nb::handle cls, nb::handle num) {
    if (cls.ptr() == desk().own_side_class &&
        (PyLong_CheckExact(num.ptr()) || PyBool_Check(num.ptr())))
        return native_side(num);
    PyObject *member = into_python([&] { return PyObject_CallOneArg(cls.ptr(), num.ptr()); });
    if (!member) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError))
            raise_python_error();
        PyErr_Clear();
        return nb::borrow(num);
    }
    nb::object keep = nb::steal(member);
    return get_attr(keep, desk().names.name);
}

nb::object market_lookup(nb::handle cls, PyObject *table, nb::handle symbol) {
    bool native = false;
    nb::object match = current_re_match(&native);
    return walk_table(get_attr(cls, table), symbol, match, native);
}

nb::object market_convert(nb::handle cls, nb::handle symbol) {
    return market_lookup(cls, desk().names.re_convert, symbol);
}

nb::object market_revert(nb::handle cls, nb::handle symbol) {
    return market_lookup(cls, desk().names.re_revert, symbol);
}

nb::object pricetype_revert(nb::handle cls, nb::handle num) {
    return get_or_none(get_attr(cls, desk().names.price_revert), num.ptr());
}

nb::object ordered_table(std::initializer_list<std::pair<int, nb::object>> rows) {
    nb::dict table;
    for (auto &[id, value] : rows)
        table[nb::handle(desk().pattern[id])] = value;
    return table;
}

nb::handle classmethod_type() {
    return zentaro::builtin_type(&PyClassMethod_Type);
}

// Owned for the life of the process: compared by identity on every call.
PyObject *owned_for_life(nb::handle obj) {
    return nb::borrow(obj).release().ptr();
}

// The function under a class's classmethod `name`.
PyObject *own_function(nb::handle cls, PyObject *name) {
    return owned_for_life(get_attr(get_attr(cls, name), desk().names.dunder_func));
}

void prepare_codes() {
    DeskState &s = desk();
    for (int i = 0; i < kPatternCount; ++i)
        s.pattern[i] = steal_or_raise(PyUnicode_FromString(kPatternText[i])).release().ptr();
    for (int i = 0; i < kSideSpan; ++i)
        s.side_member[i] = kSideMember[i] ? interned(kSideMember[i]) : nullptr;
    s.real_re_match = owned_for_life(get_attr(zentaro::import("re"), s.names.match));
    s.real_timestamp = owned_for_life(get_attr(module_global(s.names.pd), s.names.Timestamp));
    s.builtin_round = owned_for_life(get_attr(zentaro::import("builtins"), s.names.round));
    s.empty_tuple = steal_or_raise(PyTuple_New(0)).release().ptr();
    const char *suffixes[] = {"SZ", "SH", "BJ"};
    for (int i = 0; i < 3; ++i)
        s.revert_value[kRevertSz + i] = interned(suffixes[i]);
}

void install_side(nb::module_ &m) {
    DeskState &s = desk();
    nb::object mixin = zentaro::ClassBuilder(m, "SideMixin")
                           .def<side_revert>("revert(cls, num)",
                                             "Return the name of the member whose value is num, "
                                             "or num itself when no member has it.")
                           .wrap("revert", classmethod_type())
                           .finish("Reverse lookup of an enumeration's members by value.");
    m.attr("SideMixin") = mixin;
    nb::list members;
    for (int i = 0; i < kSideSpan; ++i)
        if (kSideMember[i])
            members.append(nb::make_tuple(nb::str(kSideMember[i]), nb::int_(i)));
    nb::object name = nb::str("SIDE"), module = m.attr("__name__");
    nb::object side = zentaro::call_with_keywords(
        module_global(s.names.Enum), {name, members},
        {{s.names.module, module}, {s.names.qualname, name}, {s.names.type, mixin}});
    set_attr(side, s.names.dunder_doc, nb::str("Order sides of the broker's answers."));
    m.attr("SIDE") = side;
    s.own_side_class = owned_for_life(side);
    s.own_side_revert = own_function(side, s.names.revert);
}

void install_market(nb::module_ &m) {
    DeskState &s = desk();
    nb::object market =
        zentaro::ClassBuilder(m, "MARKET")
            .attr("re_convert", ordered_table({{kConvertSz, nb::int_(1)},
                                               {kConvertSh, nb::int_(2)},
                                               {kConvertOf1, nb::int_(1)},
                                               {kConvertOf5, nb::int_(2)},
                                               {kConvertBj, nb::int_(3)}}))
            .attr("re_revert", ordered_table({{kRevertSz, nb::borrow(s.revert_value[kRevertSz])},
                                              {kRevertSh, nb::borrow(s.revert_value[kRevertSh])},
                                              {kRevertBj, nb::borrow(s.revert_value[kRevertBj])}}))
            .def<market_convert>("convert(cls, symbol)",
                                 "Return the market number of the first re_convert pattern "
                                 "that matches symbol, or None.")
            .wrap("convert", classmethod_type())
            .def<market_revert>("revert(cls, symbol)",
                                "Return the exchange suffix of the first re_revert pattern "
                                "that matches symbol, or None.")
            .wrap("revert", classmethod_type())
            .finish("Exchanges: qualified symbols to market numbers and bare codes to "
                    "exchange suffixes.");
    m.attr("MARKET") = market;
    s.own_market_class = owned_for_life(market);
    s.own_market_revert = own_function(market, s.names.revert);
}

void install_pricetype(nb::module_ &m) {
    nb::dict price_revert;
    price_revert[nb::int_(0)] = nb::str("限价单");
    price_revert[nb::int_(3)] = nb::str("市价单");
    m.attr("PRICETYPE") =
        zentaro::ClassBuilder(m, "PRICETYPE")
            .attr("price_revert", price_revert)
            .def<pricetype_revert>("revert(cls, num)",
                                   "Return the display text of a price-type number, or None.")
            .wrap("revert", classmethod_type())
            .finish("Price types of the broker's answers and their display texts.");
}

} // namespace

nb::object native_side(nb::handle num) {
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(num.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred())
        raise_python_error();
    if (!overflow && v >= 0 && v < kSideSpan && desk().side_member[v])
        return nb::borrow(desk().side_member[v]);
    return nb::borrow(num);
}

void install_codes(nb::module_ &m) {
    prepare_codes();
    install_side(m);
    install_market(m);
    install_pricetype(m);
}

} // namespace broker_desk
