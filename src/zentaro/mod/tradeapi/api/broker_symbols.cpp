// The symbol rule of the record conversions: a bare code and the exchange
// suffix MARKET.revert finds for it, "{code}.{suffix}".

#include <algorithm>

#include "broker_desk_state.hpp"

namespace broker_desk {

namespace {

// code + "." + suffix in one allocation.
nb::object dotted(PyObject *code, PyObject *suffix) {
    Py_ssize_t a = PyUnicode_GET_LENGTH(code), b = PyUnicode_GET_LENGTH(suffix);
    Py_UCS4 widest = std::max(PyUnicode_MAX_CHAR_VALUE(code), PyUnicode_MAX_CHAR_VALUE(suffix));
    nb::object out = steal_or_raise(PyUnicode_New(a + 1 + b, widest));
    if (PyUnicode_IS_ASCII(out.ptr())) {
        char *buf = reinterpret_cast<char *>(PyUnicode_DATA(out.ptr()));
        memcpy(buf, PyUnicode_DATA(code), a);
        buf[a] = '.';
        memcpy(buf + a + 1, PyUnicode_DATA(suffix), b);
        return out;
    }
    if (PyUnicode_CopyCharacters(out.ptr(), 0, code, 0, a) < 0 ||
        PyUnicode_WriteChar(out.ptr(), a, '.') < 0 ||
        PyUnicode_CopyCharacters(out.ptr(), a + 1, suffix, 0, b) < 0)
        raise_python_error();
    return out;
}

// "{}{}".format(code, ".%s" % market if market else "")
nb::object with_market(nb::handle code, nb::handle market) {
    if (PyUnicode_CheckExact(code.ptr()) && PyUnicode_CheckExact(market.ptr())) {
        if (PyUnicode_GET_LENGTH(market.ptr()) == 0)
            return nb::borrow(code);
        return dotted(code.ptr(), market.ptr());
    }
    nb::object head = format_text(code);
    if (!truth(market))
        return head;
    nb::object suffix;
    if (PyUnicode_CheckExact(market.ptr()))
        suffix = join_text({nb::str("."), market});
    else
        suffix = format_text(steal_or_raise(
            into_python([&] { return PyNumber_Remainder(nb::str(".%s").ptr(), market.ptr()); })));
    return join_text({head, suffix});
}

nb::object planned_symbol(const RecordHooks &hooks, nb::handle code) {
    int i = first_match(hooks.plan_pattern, hooks.plan_size, code.ptr());
    return i < 0 ? nb::borrow(code) : with_market(code, hooks.plan_value[i]);
}

} // namespace

// A symbol that keys a dict needs its hash, which a cached symbol carries
// already; elsewhere a fresh symbol costs less than the lookup.
nb::object symbol_of(const RecordHooks &hooks, nb::handle code, bool as_key) {
    if (hooks.plan_size >= 0 && PyUnicode_CheckExact(code.ptr())) {
        TextKey key;
        if (!as_key || !hooks.plan_own || !key.append(code.ptr()))
            return planned_symbol(hooks, code);
        TextCache &cache = desk().symbol_cache;
        if (PyObject *hit = cache.find(key))
            return nb::borrow(hit);
        nb::object symbol = planned_symbol(hooks, code);
        cache.put(key, symbol.ptr());
        return symbol;
    }
    nb::object market = hooks.market_native
                            ? walk_table(hooks.market_table, code, hooks.re_match, hooks.re_native)
                            : call(hooks.market_revert, code);
    return with_market(code, market);
}

} // namespace broker_desk
