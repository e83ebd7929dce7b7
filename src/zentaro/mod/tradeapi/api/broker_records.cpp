// Conversion of the broker's records into the records handed to users: each
// record type is a table of fields (broker_record_fields.hpp), read in order.

#include <utility>

#include "broker_desk_state.hpp"
#include "zentaro/compat.hpp"

namespace broker_desk {

namespace {

// The rows of one answer share a layout, so a field is looked for first at
// the entry where the previous row held it: a step through the entries
// instead of a hash probe. A hit is exact, keys being unique: the entry that
// holds the key holds row[key]. Otherwise the dict lookup answers, and the
// entry it found is noted for the next row. Borrowed, or NULL (an error may
// be pending).
PyObject *hinted_lookup(PyObject *row, PyObject *key, std::atomic<Py_ssize_t> &hint) {
    Py_ssize_t at = hint.load(std::memory_order_relaxed), pos = at;
    PyObject *k, *v;
    if (at >= 0 && PyDict_Next(row, &pos, &k, &v) && pos == at + 1 && PyUnicode_CheckExact(k) &&
        zentaro::compat::same_str(k, key))
        return v;
    PyObject *hit = PyDict_GetItemWithError(row, key);
    if (!hit)
        return nullptr;
    for (pos = 0; PyDict_Next(row, &pos, &k, &v);)
        if (v == hit && PyUnicode_CheckExact(k) && zentaro::compat::same_str(k, key)) {
            hint.store(pos - 1, std::memory_order_relaxed);
            break;
        }
    return hit;
}

// item[key], with the hint for a plain dict.
nb::object read(nb::handle item, PyObject *key, std::atomic<Py_ssize_t> &hint) {
    if (PyDict_CheckExact(item.ptr()))
        if (PyObject *hit = hinted_lookup(item.ptr(), key, hint))
            return nb::borrow(hit);
    return get_item(item, key); // also the KeyError of a missing field
}

// dict.get(key, dflt) of a plain dict, with the hint.
nb::object dict_read_or(nb::handle item, PyObject *key, nb::handle dflt,
                        std::atomic<Py_ssize_t> &hint) {
    if (PyObject *hit = hinted_lookup(item.ptr(), key, hint))
        return nb::borrow(hit);
    if (PyErr_Occurred())
        raise_python_error();
    return nb::borrow(dflt);
}

template <size_t N>
nb::object convert(const RecordHooks &hooks, nb::handle item, Field (&fields)[N],
                   nb::object *symbol = nullptr) {
    nb::object record = make_record_dict(hooks, fields[0].layout);
    // Nested conversions restore the active batch before they return.
    TimeBatch *const batch = desk().active_batch;
    for (Field &f : fields) {
        nb::object value = field_value(hooks, item, f, symbol);
        if (PyDict_SetItem(record.ptr(), f.out_key, value.ptr()) < 0)
            raise_python_error();
        if (batch)
            batch->note_left_empty(record, f.out_key);
    }
    return finish_record(hooks, std::move(record));
}

template <size_t N> void intern_keys(Field (&fields)[N]) {
    nb::dict layout;
    for (Field &f : fields) {
        f.out_key = interned(f.out);
        f.in_key = interned(f.in);
        f.in2_key = f.in2 ? interned(f.in2) : nullptr;
        layout[nb::handle(f.out_key)] = nb::none();
    }
    fields[0].layout = layout.release().ptr(); // kept for the life of the process
}

} // namespace

nb::object field_value(const RecordHooks &hooks, nb::handle item, Field &f, nb::object *symbol) {
    switch (f.kind) {
    case Kind::Symbol: {
        nb::object value = symbol_of(hooks, read(item, f.in_key, f.hint), symbol != nullptr);
        if (symbol)
            *symbol = value;
        return value;
    }
    case Kind::Plain:
        return read(item, f.in_key, f.hint);
    case Kind::Optional:
        if (PyDict_CheckExact(item.ptr()))
            return dict_read_or(item, f.in_key, nb::none(), f.hint);
        return get_or_none(item, f.in_key);
    case Kind::Side:
        return side_name(hooks, read(item, f.in_key, f.hint));
    case Kind::PriceType:
        return call(hooks.pricetype_revert, read(item, f.in_key, f.hint));
    case Kind::Time: {
        nb::object date = read(item, f.in_key, f.hint);
        return record_time(hooks, f, date, read(item, f.in2_key, f.hint2));
    }
    case Kind::TimeOptDate: {
        PyObject *empty = desk().names.empty;
        nb::object date = PyDict_CheckExact(item.ptr())
                              ? dict_read_or(item, f.in_key, empty, f.hint)
                              : get_or(item, f.in_key, empty);
        return record_time(hooks, f, date, read(item, f.in2_key, f.hint2));
    }
    case Kind::Pnl:
        return pnl_of(hooks, item);
    case Kind::ProfitRate:
        return profit_rate_of(hooks, item);
    }
    return nb::none();
}

void prepare_records() {
    RecordSchemas &schemas = desk().records;
    intern_keys(schemas.funds);
    intern_keys(schemas.position);
    intern_keys(schemas.trade);
    intern_keys(schemas.broker_order);
    intern_keys(schemas.instruction);
    intern_keys(schemas.pushed_order);
}

nb::object convert_funds(const RecordHooks &hooks, nb::handle item) {
    return convert(hooks, item, desk().records.funds);
}
nb::object convert_position(const RecordHooks &hooks, nb::handle item, nb::object *symbol) {
    if (PyDict_CheckExact(item.ptr()))
        return plain_position(hooks, item, symbol);
    return convert(hooks, item, desk().records.position, symbol);
}
nb::object convert_trade(const RecordHooks &hooks, nb::handle item) {
    return convert(hooks, item, desk().records.trade);
}
nb::object convert_broker_order(const RecordHooks &hooks, nb::handle item) {
    return convert(hooks, item, desk().records.broker_order);
}
nb::object convert_instruction(const RecordHooks &hooks, nb::handle item) {
    return convert(hooks, item, desk().records.instruction);
}
nb::object convert_pushed_order(const RecordHooks &hooks, nb::handle item) {
    return convert(hooks, item, desk().records.pushed_order);
}

} // namespace broker_desk
