// The time rule of the record conversions: pd.Timestamp of
// "{}{}{}".format(date, date and " ", time). Its results depend on nothing but
// the text, so a complete date and time is read once and kept in the one time
// cache; the fresh texts of an answer list are boxed by pandas together.

#include <bit>
#include <cstring>
#include <utility>

#include "broker_desk_state.hpp"

namespace broker_desk {

namespace {

// "{}{}{}".format(date, date and " ", time)
nb::object time_text(nb::handle date, nb::handle time) {
    bool has_date = truth(date);
    PyObject *d = date.ptr(), *t = time.ptr();
    if (PyUnicode_CheckExact(d) && PyUnicode_CheckExact(t)) {
        if (!has_date)
            return nb::borrow(time);
        if (PyUnicode_IS_ASCII(d) && PyUnicode_IS_ASCII(t)) {
            Py_ssize_t nd = PyUnicode_GET_LENGTH(d), nt = PyUnicode_GET_LENGTH(t);
            nb::object out = steal_or_raise(PyUnicode_New(nd + 1 + nt, 127));
            char *buf = reinterpret_cast<char *>(PyUnicode_DATA(out.ptr()));
            memcpy(buf, PyUnicode_DATA(d), nd);
            buf[nd] = ' ';
            memcpy(buf + nd + 1, PyUnicode_DATA(t), nt);
            return out;
        }
    }
    nb::object first = format_text(date);
    nb::object second = has_date ? nb::object(nb::str(" ")) : format_text(date);
    nb::object third = format_text(time);
    return join_text({first, second, third});
}

// The cache key of "{date} {time}" when both are texts and the date is not
// empty (an empty one leaves the day to pandas).
bool time_key_of(PyObject *date, PyObject *time, TextKey &key) {
    return PyUnicode_CheckExact(date) && PyUnicode_GET_LENGTH(date) > 0 && key.append(date) &&
           key.append(' ') && key.append(time);
}

// Whether the text is a complete date and time, whose reading cannot depend
// on the current day.
bool complete_date_time(const TextKey &key) {
    DateTimeFields fields;
    return read_date_time(key.data(), key.size(), fields);
}

// ---- boxing by pandas ----

// Timestamps for microseconds since the epoch, boxed by pandas as one
// array (pd.array(...).astype(object), its quickest public route); an empty
// object when pandas fails (the texts then go one by one).
nb::object box_micros(nb::handle timestamp_type, const std::vector<int64_t> &micros) {
    const DeskState &s = desk();
    size_t n = micros.size();
    PyObject *raw = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(micros.data()),
                                              static_cast<Py_ssize_t>(n * sizeof(int64_t)));
    nb::object bytes = steal_or_raise(raw);
    PyObject *list = into_python([&]() -> PyObject * {
        PyObject *array =
            PyObject_CallFunctionObjArgs(s.boxing.frombuffer, bytes.ptr(), s.boxing.dtype, nullptr);
        PyObject *dates = array ? PyObject_CallOneArg(s.boxing.make_array, array) : nullptr;
        Py_XDECREF(array);
        auto *object_type = reinterpret_cast<PyObject *>(&PyBaseObject_Type);
        PyObject *boxed =
            dates ? PyObject_CallMethodOneArg(dates, s.names.astype, object_type) : nullptr;
        Py_XDECREF(dates);
        PyObject *out = boxed ? PyObject_CallMethodNoArgs(boxed, s.names.tolist) : nullptr;
        Py_XDECREF(boxed);
        return out;
    });
    if (!list) {
        zentaro::swallow_ordinary_error();
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

Py_hash_t hash_of(nb::handle x) {
    Py_hash_t h = into_python([&] { return PyObject_Hash(x.ptr()); });
    if (h == -1 && PyErr_Occurred())
        raise_python_error();
    return h;
}

nb::object repr_of(nb::handle x) {
    return steal_or_raise(into_python([&] { return PyObject_Repr(x.ptr()); }));
}

bool same_stamp(nb::handle a, nb::handle b) {
    PyObject *unit = desk().names.unit;
    return Py_TYPE(a.ptr()) == Py_TYPE(b.ptr()) && zentaro::compare(a, b, Py_EQ) &&
           hash_of(a) == hash_of(b) && zentaro::compare(repr_of(a), repr_of(b), Py_EQ) &&
           zentaro::compare(str_of(get_attr(a, unit)), str_of(get_attr(b, unit)), Py_EQ);
}

// Whether pandas boxes exactly what pd.Timestamp makes of each form of text:
// tried once, on the first batch.
bool boxing_usable(const RecordHooks &hooks) {
    DeskState &s = desk();
    TimestampBoxing &boxing = s.boxing;
    if (boxing.state != TimestampBoxing::Unknown)
        return boxing.state == TimestampBoxing::Usable;
    boxing.state = TimestampBoxing::Unusable;
    try {
        nb::object np = zentaro::import("numpy");
        nb::object pd = zentaro::import("pandas");
        boxing.frombuffer = get_attr(np, s.names.frombuffer).release().ptr();
        boxing.dtype = call(get_attr(np, s.names.dtype), nb::str("M8[us]")).release().ptr();
        boxing.make_array = get_attr(pd, s.names.array).release().ptr();
        const char *samples[] = {"2024-01-05 09:30:15", "20240105 09:30:15", "20240105 093015",
                                 "2000-02-29 23:59:59", "1900-01-01 00:00:00"};
        std::vector<int64_t> micros;
        for (const char *sample : samples) {
            int64_t us;
            if (!parse_date_time(sample, strlen(sample), us))
                return false;
            micros.push_back(us);
        }
        nb::object boxed = box_micros(hooks.timestamp, micros);
        if (!boxed.is_valid())
            return false;
        for (size_t i = 0; i < micros.size(); ++i) {
            nb::object one = nb::borrow(PyList_GET_ITEM(boxed.ptr(), static_cast<Py_ssize_t>(i)));
            if (!same_stamp(one, call(hooks.timestamp, nb::str(samples[i]))))
                return false;
        }
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        return false;
    }
    boxing.state = TimestampBoxing::Usable;
    return true;
}

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

} // namespace

nb::object time_of(const RecordHooks &hooks, nb::handle date, nb::handle time) {
    TextKey key;
    bool keyed = hooks.timestamp_cached && time_key_of(date.ptr(), time.ptr(), key) &&
                 complete_date_time(key);
    TextCache &cache = desk().time_cache;
    if (keyed)
        if (PyObject *hit = cache.find(key))
            return nb::borrow(hit);
    nb::object stamp = call(hooks.timestamp, time_text(date, time));
    if (keyed)
        cache.put(key, stamp.ptr());
    return stamp;
}

nb::object record_time(const RecordHooks &hooks, const Field &f, nb::handle date, nb::handle time) {
    TimeBatch *b = desk().active_batch;
    TextKey key;
    if (!b || b->date_key != f.in_key || b->time_key != f.in2_key ||
        !time_key_of(date.ptr(), time.ptr(), key))
        return time_of(hooks, date, time);
    if (PyObject *hit = desk().time_cache.find(key))
        return nb::borrow(hit);
    int64_t us;
    if (!parse_date_time(key.data(), key.size(), us))
        return time_of(hooks, date, time);
    b->left_empty = true;
    b->text = key;
    b->micros = us;
    return nb::none();
}

void TimeBatchScope::open(const RecordHooks &hooks, nb::handle records, RecordTimes which) {
    if (!hooks.timestamp_cached || !hooks.record_fast || !PyList_CheckExact(records.ptr()) ||
        !boxing_usable(hooks))
        return;
    RecordSchemas &schemas = desk().records;
    const Field &f = which == RecordTimes::Trades
                         ? schemas.trade[RecordSchemas::kTradeTime]
                         : schemas.broker_order[RecordSchemas::kBrokerOrderTime];
    batch_ = new TimeBatch();
    batch_->date_key = f.in_key;
    batch_->time_key = f.in2_key;
    batch_->timestamp_type = hooks.timestamp;
    batch_->patches.reserve(static_cast<size_t>(PyList_GET_SIZE(records.ptr())));
    batch_->outer = std::exchange(desk().active_batch, batch_);
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
        TextCache &cache = desk().time_cache;
        cache.make_room(texts.keys.size());
        for (size_t j = 0; j < texts.keys.size(); ++j)
            cache.put(texts.keys[j], PyList_GET_ITEM(stamps.ptr(), static_cast<Py_ssize_t>(j)));
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
    desk().active_batch = batch_->outer;
    delete batch_;
}

} // namespace broker_desk
