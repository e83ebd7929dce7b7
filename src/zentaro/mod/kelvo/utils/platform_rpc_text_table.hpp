// The text tables of the MessagePack decoder: short texts kept by their
// bytes, so that a repeated key or value is shared instead of made again.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zentaro::platform_rpc {

// Texts of at most Words * 8 bytes, keyed by their UTF-8 bytes. A slot holds
// the last text that hashed to it; a miss decodes and replaces it.
template <size_t Words, size_t Slots> class TextTable {
  public:
    static constexpr size_t max_len = Words * 8;

    // A new reference, or NULL with an error pending (invalid UTF-8).
    PyObject *get(const unsigned char *p, size_t n, bool intern) {
        uint64_t words[Words] = {};
        memcpy(words, p, n);
        Slot &s = slots_[slot_of(words, n)];
        if (s.text && s.len == n && same(s.words, words)) {
            Py_INCREF(s.text);
            return s.text;
        }
        PyObject *text = decode(p, n);
        if (!text)
            return nullptr;
        if (intern)
            PyUnicode_InternInPlace(&text);
        // Set before the old text goes: releasing a str runs no Python code,
        // but the slot must never point at a freed object.
        PyObject *old = s.text;
        memcpy(s.words, words, sizeof words);
        s.len = static_cast<uint32_t>(n);
        Py_INCREF(text);
        s.text = text;
        Py_XDECREF(old);
        return text;
    }

    // ASCII needs no decoding; anything else is strict UTF-8, as msgpack reads it.
    static PyObject *decode(const unsigned char *p, size_t n) {
        for (size_t i = 0; i < n; ++i)
            if (p[i] & 0x80)
                return PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(p),
                                            static_cast<Py_ssize_t>(n), nullptr);
        PyObject *text = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
        if (text)
            memcpy(PyUnicode_DATA(text), p, n);
        return text;
    }

  private:
    struct Slot {
        uint64_t words[Words];
        uint32_t len = 0;
        PyObject *text = nullptr; // owned
    };

    static bool same(const uint64_t *a, const uint64_t *b) {
        uint64_t diff = 0;
        for (size_t i = 0; i < Words; ++i)
            diff |= a[i] ^ b[i];
        return diff == 0;
    }

    static size_t slot_of(const uint64_t *words, size_t n) {
        uint64_t h = n * 0x9E3779B97F4A7C15ull;
        for (size_t i = 0; i < Words; ++i)
            h = (h ^ words[i]) * 0xBF58476D1CE4E5B9ull;
        return static_cast<size_t>(h >> 40) & (Slots - 1);
    }

    Slot slots_[Slots];
};

// Map keys: interned, as msgpack interns them. Values: short texts only.
// Both live for the process (in the module's state); together they hold at
// most 5,120 small strings.
struct MsgpackTexts {
    TextTable<4, 1024> keys;
    TextTable<2, 4096> values;
};

} // namespace zentaro::platform_rpc
