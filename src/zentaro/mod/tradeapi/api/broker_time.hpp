// The time rule's date-and-time texts, read without pandas, and the batch in
// which a list's fresh timestamps wait to be boxed together (broker_time.cpp).
#pragma once

#include <cstdint>
#include <vector>

#include "broker_desk.hpp"
#include "broker_text_cache.hpp"

namespace broker_desk {

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
inline int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    auto yoe = static_cast<unsigned>(y - era * 400);
    unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

inline bool digits_at(const char *s, size_t at, size_t n, unsigned &out) {
    unsigned v = 0;
    for (size_t i = at; i < at + n; ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
        v = v * 10 + static_cast<unsigned>(s[i] - '0');
    }
    out = v;
    return true;
}

struct DateTimeFields {
    unsigned year, month, day, hour, minute, second;
};

// The fields of a text in one of the broker's forms of a complete date and
// time, whose reading cannot depend on the current day: "YYYY-MM-DD
// HH:MM:SS", "YYYYMMDD HH:MM:SS" or "YYYYMMDD HHMMSS". False for any other
// shape; the values are not checked.
inline bool read_date_time(const char *s, size_t len, DateTimeFields &f) {
    switch (len) {
    case 19:
        return s[4] == '-' && s[7] == '-' && s[10] == ' ' && s[13] == ':' && s[16] == ':' &&
               digits_at(s, 0, 4, f.year) && digits_at(s, 5, 2, f.month) &&
               digits_at(s, 8, 2, f.day) && digits_at(s, 11, 2, f.hour) &&
               digits_at(s, 14, 2, f.minute) && digits_at(s, 17, 2, f.second);
    case 17:
        return s[8] == ' ' && s[11] == ':' && s[14] == ':' && digits_at(s, 0, 4, f.year) &&
               digits_at(s, 4, 2, f.month) && digits_at(s, 6, 2, f.day) &&
               digits_at(s, 9, 2, f.hour) && digits_at(s, 12, 2, f.minute) &&
               digits_at(s, 15, 2, f.second);
    case 15:
        return s[8] == ' ' && digits_at(s, 0, 4, f.year) && digits_at(s, 4, 2, f.month) &&
               digits_at(s, 6, 2, f.day) && digits_at(s, 9, 2, f.hour) &&
               digits_at(s, 11, 2, f.minute) && digits_at(s, 13, 2, f.second);
    }
    return false;
}

// Microseconds since the epoch of a complete, valid date and time in one of
// the broker's forms. Anything else (another form, a day the month does not
// have, an hour past 23, a year outside 1900-2199) answers false and is left
// to pandas, which reads or rejects it.
inline bool parse_date_time(const char *s, size_t len, int64_t &micros) {
    DateTimeFields f;
    if (!read_date_time(s, len, f) || f.year < 1900 || f.year > 2199 || f.month < 1 ||
        f.month > 12 || f.day < 1 || f.hour > 23 || f.minute > 59 || f.second > 59)
        return false;
    static constexpr unsigned month_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (f.year % 4 == 0 && f.year % 100 != 0) || f.year % 400 == 0;
    if (f.day > month_days[f.month - 1] + (f.month == 2 && leap))
        return false;
    int64_t seconds =
        days_from_civil(f.year, f.month, f.day) * 86400 + f.hour * 3600 + f.minute * 60 + f.second;
    micros = seconds * 1000000;
    return true;
}

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

    // After a field's value is in `record`: notes the record's place when
    // the field was left empty.
    void note_left_empty(const nb::object &record, PyObject *out_key) {
        if (!left_empty)
            return;
        left_empty = false;
        patches.push_back({record, out_key, text, micros});
    }
};

// pandas' means of boxing microseconds in bulk, found on the first batch and
// kept for the life of the process.
struct TimestampBoxing {
    enum State { Unknown, Usable, Unusable } state = Unknown;
    PyObject *frombuffer = nullptr; // numpy.frombuffer
    PyObject *dtype = nullptr;      // numpy.dtype("M8[us]")
    PyObject *make_array = nullptr; // pandas.array
};

struct Field;
// The time rule for a record's field `f`: a timestamp, or None with the
// field left to the active batch of this thread.
nb::object record_time(const RecordHooks &hooks, const Field &f, nb::handle date, nb::handle time);

} // namespace broker_desk
