// A bounded map from short ASCII texts to Python objects, for what record
// conversions compute again and again (symbols, timestamps). A lookup needs
// no Python string: the key is the text's bytes, assembled from pieces.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace broker_desk {

class TextKey {
  public:
    static constexpr size_t capacity = 24;

    // Appends an exact str's characters; false when it is not ASCII or the
    // key would grow too long (such texts are not cached).
    bool append(PyObject *text) {
        if (!PyUnicode_CheckExact(text) || !PyUnicode_IS_ASCII(text))
            return false;
        size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
        if (n > capacity - len_)
            return false;
        memcpy(bytes() + len_, PyUnicode_DATA(text), n);
        len_ += static_cast<uint32_t>(n);
        return true;
    }
    bool append(char c) {
        if (len_ >= capacity)
            return false;
        bytes()[len_++] = c;
        return true;
    }

    const char *data() const { return reinterpret_cast<const char *>(words_); }
    size_t size() const { return len_; }
    bool operator==(const TextKey &o) const {
        return len_ == o.len_ && words_[0] == o.words_[0] && words_[1] == o.words_[1] &&
               words_[2] == o.words_[2];
    }
    uint64_t hash() const {
        uint64_t h = len_ * 0x9E3779B97F4A7C15ull;
        for (uint64_t w : words_) {
            h = (h ^ w) * 0xBF58476D1CE4E5B9ull;
            h ^= h >> 31;
        }
        return h;
    }

  private:
    char *bytes() { return reinterpret_cast<char *>(words_); }
    uint64_t words_[capacity / 8] = {}; // zero padded, so whole words compare
    uint32_t len_ = 0;
};

// Laid out like Python's dict: a table of positions, kept at most half full
// and as small as that allows, and the entries in the order they came.
// Records tend to come in the same order again, so lookups walk the entries
// in step, and only the small table is hit at random.
class TextCache {
  public:
    static constexpr size_t limit = 1 << 15; // entries; when full it starts afresh

    // Borrowed reference, or nullptr.
    PyObject *find(const TextKey &key) const {
        if (entries_.empty())
            return nullptr;
        uint64_t h = key.hash();
        size_t mask = index_.size() - 1;
        for (size_t i = h & mask; index_[i]; i = (i + 1) & mask) {
            if (tag_of(index_[i]) != tag(h))
                continue;
            const Entry &e = entries_[position_of(index_[i])];
            if (e.key == key)
                return e.value;
        }
        return nullptr;
    }

    // Keeps a new reference to value (replacing any entry of the same key).
    void put(const TextKey &key, PyObject *value) {
        if (entries_.size() >= limit)
            clear();
        if (2 * (entries_.size() + 1) > index_.size())
            grow();
        uint64_t h = key.hash();
        size_t mask = index_.size() - 1;
        size_t i = h & mask;
        for (; index_[i]; i = (i + 1) & mask) {
            if (tag_of(index_[i]) != tag(h))
                continue;
            Entry &e = entries_[position_of(index_[i])];
            if (e.key == key) {
                Py_INCREF(value);
                Py_DECREF(std::exchange(e.value, value));
                return;
            }
        }
        Py_INCREF(value);
        entries_.push_back(Entry{key, value});
        index_[i] = slot(h, entries_.size() - 1);
    }

    size_t size() const { return entries_.size(); }

    // Starts afresh now if `n` more entries would not fit, so that they all stay.
    void make_room(size_t n) {
        if (entries_.size() + n > limit)
            clear();
    }

    void clear() {
        // Emptied before the values go: their release may run Python code.
        std::vector<Entry> gone;
        gone.swap(entries_);
        std::fill(index_.begin(), index_.end(), 0);
        for (Entry &e : gone)
            Py_DECREF(e.value);
    }

  private:
    static_assert(limit < (1 << 16), "positions are 16-bit");
    struct Entry {
        TextKey key;
        PyObject *value;
    };

    // A slot holds the entry's position + 1 (0: free) and, above it, 16 bits
    // of the key's hash: a probe that meets another key mostly learns so
    // from the tag, without reading the entry (a cache miss when the table
    // is large, and every probe of a text not yet cached meets one).
    static uint32_t tag(uint64_t h) { return static_cast<uint32_t>(h >> 48); }
    static uint32_t tag_of(uint32_t slot) { return slot >> 16; }
    static size_t position_of(uint32_t slot) { return (slot & 0xffff) - 1; }
    static uint32_t slot(uint64_t h, size_t position) {
        return tag(h) << 16 | static_cast<uint32_t>(position + 1);
    }

    void grow() {
        index_.assign(index_.empty() ? 64 : index_.size() * 2, 0);
        size_t mask = index_.size() - 1;
        for (size_t n = 0; n < entries_.size(); ++n) {
            uint64_t h = entries_[n].key.hash();
            size_t i = h & mask;
            while (index_[i])
                i = (i + 1) & mask;
            index_[i] = slot(h, n);
        }
    }

    std::vector<uint32_t> index_; // see slot()
    std::vector<Entry> entries_;
};

} // namespace broker_desk
