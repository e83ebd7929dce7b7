// round(value, 4), the rounding of the position's gains: Python's own for
// floats without the call, whenever round is still the builtin.

#include <charconv>
#include <cmath>

#include "broker_desk_state.hpp"

namespace broker_desk {

namespace {

// Python's round(x, 4) for a float: the correctly rounded decimal with four
// places, ties to even, read back. to_chars/from_chars are exact both ways.
nb::object native_round4(double x) {
    if (!std::isfinite(x))
        return steal_or_raise(PyFloat_FromDouble(x));
    // Fast path: x * 1e4 is within |y| * 2^-52 of the exact product, so when
    // that product is not that close to a half, its nearest integer n is the
    // exact decimal rounding, and n / 1e4 (both exact) is the double nearest
    // to the rounded decimal: what reading the rounded text back gives.
    double y = x * 1e4;
    if (std::fabs(y) < 0x1p40) {
        double n = std::nearbyint(y);
        double margin = std::fabs(y) * 0x1p-52 + 0x1p-60;
        if (std::fabs(std::fabs(y - n) - 0.5) > margin)
            return steal_or_raise(PyFloat_FromDouble(n / 1e4));
    }
    char buf[400];
    auto written = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, 4);
    double rounded = 0.0;
    std::from_chars(buf, written.ptr, rounded);
    return steal_or_raise(PyFloat_FromDouble(rounded));
}

} // namespace

nb::object round4(const RecordHooks &hooks, nb::handle value) {
    if (hooks.round_native) {
        if (PyFloat_CheckExact(value.ptr()))
            return native_round4(PyFloat_AS_DOUBLE(value.ptr()));
        if (PyLong_CheckExact(value.ptr()))
            return nb::borrow(value);
    }
    nb::object digits = nb::int_(4);
    return call(hooks.round_fn, value, digits);
}

nb::object round4_double(const RecordHooks &hooks, double value) {
    if (hooks.round_native)
        return native_round4(value);
    return round4(hooks, steal_or_raise(PyFloat_FromDouble(value)));
}

} // namespace broker_desk
