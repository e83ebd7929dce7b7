// The hooks a record conversion uses, resolved once per call: the class
// attributes of the TradeAPI object and the module's imported names, each
// with whether it is still the module's own (then its native stand-in runs).

#include "broker_desk_state.hpp"

namespace broker_desk {

namespace {

bool plain_dict_type(nb::handle obj) {
    if (!PyType_Check(obj.ptr()) || Py_TYPE(obj.ptr()) != &PyType_Type)
        return false;
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(obj.ptr());
    return PyType_IsSubtype(type, &PyDict_Type) && type->tp_new == PyDict_Type.tp_new &&
           type->tp_init == PyDict_Type.tp_init;
}

bool same_text(nb::handle value, PyObject *own) {
    return value.ptr() == own ||
           (PyUnicode_CheckExact(value.ptr()) && PyUnicode_Compare(value.ptr(), own) == 0);
}

// Takes the table's patterns once for the whole call when every one of them
// is ours: each record then needs no walk of the table.
void plan_table(RecordHooks &hooks) {
    PyObject *table = hooks.market_table.ptr();
    if (!PyDict_CheckExact(table) || PyDict_GET_SIZE(table) > RecordHooks::kPlanLimit)
        return;
    Py_ssize_t pos = 0;
    PyObject *pattern, *value;
    int size = 0;
    while (PyDict_Next(table, &pos, &pattern, &value)) {
        int id = pattern_id(pattern);
        if (id < 0)
            return;
        hooks.plan_pattern[size] = id;
        hooks.plan_value[size++] = nb::borrow(value);
    }
    hooks.plan_size = size;
    hooks.plan_own = size == 3;
    for (int i = 0; i < size && hooks.plan_own; ++i)
        hooks.plan_own = hooks.plan_pattern[i] == kRevertSz + i &&
                         same_text(hooks.plan_value[i], desk().revert_value[kRevertSz + i]);
}

bool is_own_method(nb::handle bound, PyObject *cls, PyObject *fn) {
    return PyMethod_Check(bound.ptr()) && PyMethod_GET_SELF(bound.ptr()) == cls &&
           PyMethod_GET_FUNCTION(bound.ptr()) == fn;
}

} // namespace

RecordHooks resolve_hooks(nb::handle api, bool with_pricetype) {
    const DeskState &s = desk();
    const InternedNames &name = s.names;
    RecordHooks hooks;
    hooks.re_match = current_re_match(&hooks.re_native);
    nb::object market = get_attr(api, name.MARKET);
    hooks.market_revert = get_attr(market, name.revert);
    hooks.market_native =
        is_own_method(hooks.market_revert, s.own_market_class, s.own_market_revert);
    if (hooks.market_native) {
        hooks.market_table = get_attr(market, name.re_revert);
        if (hooks.re_native)
            plan_table(hooks);
    }
    nb::object side = get_attr(api, name.SIDE);
    hooks.side_revert = get_attr(side, name.revert);
    hooks.side_native = is_own_method(hooks.side_revert, s.own_side_class, s.own_side_revert);
    if (with_pricetype)
        hooks.pricetype_revert = get_attr(get_attr(api, name.PRICETYPE), name.revert);
    hooks.timestamp = get_attr(module_global(name.pd), name.Timestamp);
    hooks.timestamp_cached = hooks.timestamp.ptr() == s.real_timestamp;
    hooks.round_fn = module_global(name.round);
    hooks.round_native = hooks.round_fn.ptr() == s.builtin_round;
    hooks.record_type = module_global(name.NameDict);
    hooks.record_fast = plain_dict_type(hooks.record_type);
    return hooks;
}

nb::object side_name(const RecordHooks &hooks, nb::handle num) {
    if (hooks.side_native && (PyLong_CheckExact(num.ptr()) || PyBool_Check(num.ptr())))
        return native_side(num);
    return call(hooks.side_revert, num);
}

// When NameDict is a plain dict subclass (no __new__, __init__ or metaclass
// of its own), NameDict(d) is a NameDict holding d's items: the record is
// then built in place, without the intermediate dict and its copy.
nb::object make_record_dict(const RecordHooks &hooks, PyObject *layout) {
    if (!hooks.record_fast)
        return steal_or_raise(PyDict_New());
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(hooks.record_type.ptr());
    nb::object record = steal_or_raise(type->tp_new(type, desk().empty_tuple, nullptr));
    // Taking the keys from a finished table of the same keys spares the
    // record its growth while the values are filled in.
    if (PyDict_Update(record.ptr(), layout) < 0)
        raise_python_error();
    return record;
}

nb::object finish_record(const RecordHooks &hooks, nb::object dict) {
    if (hooks.record_fast)
        return dict;
    return call(hooks.record_type, dict);
}

} // namespace broker_desk
