// Conversion of the broker's records into the records handed to users.
//
// Each record type is a table of output keys and the answer fields they are
// read from, in output order; fields are read in that order, so a record
// missing several fields reports the first one, as a dict display would.

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <utility>
#include <vector>

#include "broker_cache.hpp"
#include "zentaro/compat.hpp"
#include "broker_desk.hpp"

namespace broker_desk {

// Fresh timestamps of one answer list, boxed together. A record whose
// complete date-and-time text has no timestamp yet is converted with its
// time field left empty, and the text parsed here; once the whole list is
// converted, pandas boxes all those texts in one call (about half the cost of
// pd.Timestamp per text) and the records get their timestamps, in their own
// places. Nothing outside sees a record before then: only lists built into
// plain records (NameDict as a plain dict class) are done this way.
struct TimeBatch {
    PyObject *date_key = nullptr; // the record type's date and time fields
    PyObject *time_key = nullptr;
    nb::object timestamp_type;
    // Set by the time field left empty, taken by the record's conversion.
    bool left_empty = false;
    TextKey text;
    int64_t micros = 0;
    struct Patch {
        nb::object record;
        PyObject *out_key;
        TextKey text;
        int64_t micros;
    };
    std::vector<Patch> patches;
    TimeBatch *outer = nullptr; // the batch this one hides (nested conversions)
};

namespace {

// Initial-exec: read for every record converted, and a module's default
// thread-local model costs a __tls_get_addr call per read.
thread_local TimeBatch *active_batch __attribute__((tls_model("initial-exec"))) = nullptr;

// Complete date-and-time text -> Timestamp, for the texts read here.
TextCache fresh_times;

// The text key of "{date} {time}" when both are texts and the date is not
// empty (an empty one leaves the day to pandas).
bool time_key_of(PyObject *date, PyObject *time, TextKey &key) {
    return PyUnicode_CheckExact(date) && PyUnicode_GET_LENGTH(date) > 0 && key.append(date) &&
           key.append(' ') && key.append(time);
}

// ---- boxing by pandas ----

struct Boxing {
    enum State { Unknown, Usable, Unusable } state = Unknown;
    PyObject *frombuffer = nullptr; // numpy.frombuffer
    PyObject *dtype = nullptr;      // numpy.dtype("M8[us]")
    PyObject *make_array = nullptr; // pandas.array
};
Boxing boxing; // its objects are kept for the life of the process

void swallow_ordinary_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        raise_python_error();
    PyErr_Clear();
}

// Timestamps for microseconds since the epoch, boxed by pandas as one
// array (pd.array(...).astype(object), its quickest public route); an empty
// object when pandas fails (the texts then go one by one).
nb::object box_micros(nb::handle timestamp_type, const std::vector<int64_t> &micros) {
    size_t n = micros.size();
    PyObject *raw = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(micros.data()),
                                              static_cast<Py_ssize_t>(n * sizeof(int64_t)));
    nb::object bytes = steal_or_raise(raw);
    PyObject *array =
        PyObject_CallFunctionObjArgs(boxing.frombuffer, bytes.ptr(), boxing.dtype, nullptr);
    PyObject *dates = array ? PyObject_CallOneArg(boxing.make_array, array) : nullptr;
    Py_XDECREF(array);
    auto *object_type = reinterpret_cast<PyObject *>(&PyBaseObject_Type);
    PyObject *boxed =
        dates ? PyObject_CallMethodOneArg(dates, ZT_NAME("astype"), object_type) : nullptr;
    Py_XDECREF(dates);
    PyObject *list = boxed ? PyObject_CallMethodNoArgs(boxed, ZT_NAME("tolist")) : nullptr;
    Py_XDECREF(boxed);
    if (!list) {
        swallow_ordinary_error();
        return nb::object();
    }
    nb::object out = nb::steal(list);
    auto *type = reinterpret_cast<PyTypeObject *>(timestamp_type.ptr());
    if (!PyList_CheckExact(list) || static_cast<size_t>(PyList_GET_SIZE(list)) != n)
        return nb::object();
    for (size_t i = 0; i < n; ++i)
        if (Py_TYPE(PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i))) != type)
            return nb::object();
    return out;
}

bool same_stamp(nb::handle a, nb::handle b) {
    auto text = [](nb::handle x, const char *attr) {
        return nb::str(attr[0] ? x.attr(attr) : nb::repr(x));
    };
    return Py_TYPE(a.ptr()) == Py_TYPE(b.ptr()) && a.equal(b) && nb::hash(a) == nb::hash(b) &&
           text(a, "").equal(text(b, "")) && text(a, "unit").equal(text(b, "unit"));
}

// Whether pandas boxes exactly what pd.Timestamp makes of each form of text:
// tried once, on the first batch.
bool boxing_usable(const Translators &tr) {
    if (boxing.state != Boxing::Unknown)
        return boxing.state == Boxing::Usable;
    boxing.state = Boxing::Unusable;
    try {
        nb::module_ np = nb::module_::import_("numpy");
        nb::module_ pd = nb::module_::import_("pandas");
        boxing.frombuffer = nb::object(np.attr("frombuffer")).release().ptr();
        boxing.dtype = np.attr("dtype")("M8[us]").release().ptr();
        boxing.make_array = nb::object(pd.attr("array")).release().ptr();
        const char *samples[] = {"2024-01-05 09:30:15", "20240105 09:30:15", "20240105 093015",
                                 "2000-02-29 23:59:59", "1900-01-01 00:00:00"};
        std::vector<int64_t> micros;
        for (const char *s : samples) {
            int64_t us;
            if (!parse_date_time(s, strlen(s), us))
                return false;
            micros.push_back(us);
        }
        nb::object boxed = box_micros(tr.timestamp, micros);
        if (!boxed.is_valid())
            return false;
        for (size_t i = 0; i < micros.size(); ++i)
            if (!same_stamp(boxed[i], call(tr.timestamp, nb::str(samples[i]))))
                return false;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        return false;
    }
    boxing.state = Boxing::Usable;
    return true;
}

// ---- the texts of a batch ----

// The texts of a batch, each once.
class PendingTexts {
  public:
    explicit PendingTexts(size_t most) : index_(std::bit_ceil(2 * most + 2), -1) {}

    // The text's position among the texts.
    size_t add(const TextKey &key, int64_t us) {
        size_t mask = index_.size() - 1;
        size_t i = key.hash() & mask;
        for (; index_[i] >= 0; i = (i + 1) & mask)
            if (keys[index_[i]] == key)
                return static_cast<size_t>(index_[i]);
        index_[i] = static_cast<int32_t>(keys.size());
        keys.push_back(key);
        micros.push_back(us);
        return keys.size() - 1;
    }

    std::vector<TextKey> keys;
    std::vector<int64_t> micros;

  private:
    std::vector<int32_t> index_;
};

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
    if (truth(net))
        return round4(tr, net);
    nb::object last = getitem(item, ZT_NAME("MarketPrice"));
    nb::object gain = number_op(PyNumber_Subtract, last, getitem(item, ZT_NAME("CostPrice")));
    return round4(tr, number_op(PyNumber_Multiply, gain, getitem(item, ZT_NAME("ActualAmt"))));
}

nb::object pnl_of(const Translators &tr, nb::handle item) {
    return pnl_from(tr, item, get_or_none(item, ZT_NAME("NetMoney")));
}

nb::object profit_rate_of(const Translators &tr, nb::handle item) {
    if (!truth(getitem(item, ZT_NAME("CostPrice"))))
        return nb::none();
    nb::object last = getitem(item, ZT_NAME("MarketPrice"));
    nb::object gain = number_op(PyNumber_Subtract, last, getitem(item, ZT_NAME("CostPrice")));
    return round4(tr, number_op(PyNumber_TrueDivide, gain, getitem(item, ZT_NAME("CostPrice"))));
}

// The time rule for a record of the active batch, or of none.
nb::object record_time(const Translators &tr, const Field &f, nb::handle date, nb::handle time) {
    TimeBatch *b = active_batch;
    TextKey key;
    if (!b || b->date_key != f.in_key || b->time_key != f.in2_key ||
        !time_key_of(date.ptr(), time.ptr(), key))
        return time_of(tr, date, time);
    if (PyObject *hit = fresh_times.find(key))
        return nb::borrow(hit);
    int64_t us;
    if (!parse_date_time(key.data(), key.size(), us))
        return time_of(tr, date, time);
    b->left_empty = true;
    b->text = key;
    b->micros = us;
    return nb::none();
}

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
    return getitem(item, key); // also the KeyError of a missing field
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

nb::object field_value(const Translators &tr, nb::handle item, Field &f, nb::object *symbol) {
    switch (f.kind) {
    case Kind::Symbol: {
        nb::object value = symbol_of(tr, read(item, f.in_key, f.hint), symbol != nullptr);
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
        return side_name(tr, read(item, f.in_key, f.hint));
    case Kind::PriceType:
        return call(tr.pricetype_revert, read(item, f.in_key, f.hint));
    case Kind::Time: {
        nb::object date = read(item, f.in_key, f.hint);
        return record_time(tr, f, date, read(item, f.in2_key, f.hint2));
    }
    case Kind::TimeOptDate: {
        nb::object date = PyDict_CheckExact(item.ptr())
                              ? dict_read_or(item, f.in_key, ZT_NAME(""), f.hint)
                              : get_or(item, f.in_key, ZT_NAME(""));
        return record_time(tr, f, date, read(item, f.in2_key, f.hint2));
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
    // Nested conversions restore the active batch before they return.
    TimeBatch *const b = active_batch;
    for (Field &f : fields) {
        nb::object value = field_value(tr, item, f, symbol);
        if (PyDict_SetItem(record.ptr(), f.out_key, value.ptr()) < 0)
            raise_python_error();
        if (b && b->left_empty) {
            b->left_empty = false;
            b->patches.push_back({record, f.out_key, b->text, b->micros});
        }
    }
    return finish_record(tr, std::move(record));
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
    nb::object net = get_or_none(item, ZT_NAME("NetMoney"));
    nb::object pnl, rate;
    if (tr.round_native && plain_number(amount) && plain_number(cost) && plain_number(last) &&
        (net.is_none() || plain_number(net))) {
        pnl = truth(net) ? round4(tr, net) : gain_pnl(tr, last, cost, amount);
        rate = truth(cost) ? gain_rate(tr, last, cost) : nb::none();
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

void TimeBatchScope::open(const Translators &tr, nb::handle records, RecordTimes which) {
    if (!tr.timestamp_cached || !tr.record_fast || !PyList_CheckExact(records.ptr()) ||
        !boxing_usable(tr))
        return;
    const Field &f = which == RecordTimes::Trades ? trade_fields[6] : broker_order_fields[7];
    batch_ = new TimeBatch();
    batch_->date_key = f.in_key;
    batch_->time_key = f.in2_key;
    batch_->timestamp_type = tr.timestamp;
    batch_->patches.reserve(static_cast<size_t>(PyList_GET_SIZE(records.ptr())));
    batch_->outer = std::exchange(active_batch, batch_);
}

// Boxes the texts left for later and puts each timestamp in its record.
void TimeBatchScope::finish() {
    if (!batch_ || batch_->patches.empty())
        return;
    std::vector<TimeBatch::Patch> patches;
    patches.swap(batch_->patches);
    PendingTexts texts(patches.size());
    std::vector<size_t> which(patches.size());
    for (size_t i = 0; i < patches.size(); ++i)
        which[i] = texts.add(patches[i].text, patches[i].micros);
    nb::object stamps = box_micros(batch_->timestamp_type, texts.micros);
    if (stamps.is_valid()) {
        fresh_times.make_room(texts.keys.size());
        for (size_t j = 0; j < texts.keys.size(); ++j)
            fresh_times.put(texts.keys[j],
                            PyList_GET_ITEM(stamps.ptr(), static_cast<Py_ssize_t>(j)));
    }
    for (size_t i = 0; i < patches.size(); ++i) {
        TimeBatch::Patch &p = patches[i];
        nb::object stamp;
        if (stamps.is_valid())
            stamp = nb::borrow(PyList_GET_ITEM(stamps.ptr(), static_cast<Py_ssize_t>(which[i])));
        else // pandas could not box them together: one by one, as the rule reads them
            stamp = call(batch_->timestamp_type,
                         steal_or_raise(PyUnicode_FromStringAndSize(
                             p.text.data(), static_cast<Py_ssize_t>(p.text.size()))));
        if (PyDict_SetItem(p.record.ptr(), p.out_key, stamp.ptr()) < 0)
            raise_python_error();
    }
}

TimeBatchScope::~TimeBatchScope() {
    if (!batch_)
        return;
    active_batch = batch_->outer;
    delete batch_;
}

} // namespace broker_desk
