// MessagePack straight into Python objects.
//
// The large answers are lists of records: the same few keys in every map and
// many short values that repeat (codes, dates, statuses). msgpack.unpackb
// creates every one of those strings afresh; here short texts are looked up
// by their bytes in two small direct-mapped tables first (the module's, in
// platform_rpc_text_table.hpp), so a repeated key
// or value costs a hash and a compare. Strings are immutable, so sharing one
// object between records changes nothing a caller can see but `is`.
//
// Only documents that msgpack.unpackb(raw=False) would decode successfully
// are decoded here, to the same value; for everything else the decoder gives
// up, and the caller hands the document to msgpack itself.

#include "platform_rpc_msgpack.hpp"

#include <cstdint>
#include <cstring>
#include <memory>

#include "platform_rpc_state.hpp"

namespace zentaro::platform_rpc {

namespace {

// msgpack refuses documents nested deeper than 1024 containers; anything
// near that is left to it.
constexpr int max_depth = 500;

uint64_t load_be(const unsigned char *p, int width) {
    uint64_t v = 0;
    for (int i = 0; i < width; ++i)
        v = (v << 8) | p[i];
    return v;
}

struct Reader {
    const unsigned char *p, *end;
    MsgpackTexts &texts; // the module's, looked up once per document
    int depth = 0;

    bool has(size_t n) const { return static_cast<size_t>(end - p) >= n; }

    // A big-endian length or number of `width` bytes.
    bool take(int width, uint64_t &v) {
        if (!has(static_cast<size_t>(width)))
            return false;
        v = load_be(p, width);
        p += width;
        return true;
    }
};

struct Release {
    void operator()(PyObject *o) const { Py_DECREF(o); }
};
using Owned = std::unique_ptr<PyObject, Release>;

PyObject *value(Reader &r);

PyObject *text(Reader &r, uint64_t n, bool key) {
    if (!r.has(n))
        return nullptr;
    const unsigned char *p = r.p;
    r.p += n;
    if (key) {
        if (n <= r.texts.keys.max_len)
            return r.texts.keys.get(p, n, true);
        PyObject *t = r.texts.keys.decode(p, n);
        if (t)
            PyUnicode_InternInPlace(&t);
        return t;
    }
    if (n <= r.texts.values.max_len)
        return r.texts.values.get(p, n, false);
    return r.texts.values.decode(p, n);
}

// Length of a str header, or false when the next value is no text.
bool text_header(Reader &r, uint64_t &n) {
    if (!r.has(1))
        return false;
    unsigned c = *r.p++;
    if ((c & 0xe0) == 0xa0) {
        n = c & 0x1f;
        return true;
    }
    if (c >= 0xd9 && c <= 0xdb)
        return r.take(1 << (c - 0xd9), n);
    return false;
}

PyObject *bytes(Reader &r, int width) {
    uint64_t n;
    if (!r.take(width, n) || !r.has(n))
        return nullptr;
    PyObject *b =
        PyBytes_FromStringAndSize(reinterpret_cast<const char *>(r.p), static_cast<Py_ssize_t>(n));
    r.p += n;
    return b;
}

PyObject *array(Reader &r, uint64_t n) {
    if (!r.has(n) || ++r.depth > max_depth) // every item takes a byte at least
        return nullptr;
    Owned list(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list)
        return nullptr;
    for (uint64_t i = 0; i < n; ++i) {
        PyObject *item = value(r);
        if (!item)
            return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    --r.depth;
    return list.release();
}

PyObject *map(Reader &r, uint64_t n) {
    if (n > static_cast<size_t>(r.end - r.p) / 2 || ++r.depth > max_depth)
        return nullptr;
    Owned dict(PyDict_New());
    if (!dict)
        return nullptr;
    for (uint64_t i = 0; i < n; ++i) {
        uint64_t len;
        if (!text_header(r, len))
            return nullptr; // msgpack also takes bin keys (as bytes), or refuses
        Owned key(text(r, len, true));
        if (!key)
            return nullptr;
        Owned item(value(r));
        if (!item || PyDict_SetItem(dict.get(), key.get(), item.get()) < 0)
            return nullptr;
    }
    --r.depth;
    return dict.release();
}

PyObject *number(Reader &r, unsigned c) {
    uint64_t v;
    if (c >= 0xcc && c <= 0xcf) { // uint 8, 16, 32, 64
        if (!r.take(1 << (c - 0xcc), v))
            return nullptr;
        return PyLong_FromUnsignedLongLong(v);
    }
    int width = 1 << (c - 0xd0); // int 8, 16, 32, 64
    if (!r.take(width, v))
        return nullptr;
    int shift = 64 - 8 * width;
    return PyLong_FromLongLong(static_cast<int64_t>(v << shift) >> shift);
}

PyObject *real(Reader &r, bool wide) {
    uint64_t bits;
    if (!r.take(wide ? 8 : 4, bits))
        return nullptr;
    if (wide) {
        double d;
        memcpy(&d, &bits, sizeof d);
        return PyFloat_FromDouble(d);
    }
    uint32_t narrow = static_cast<uint32_t>(bits);
    float f;
    memcpy(&f, &narrow, sizeof f);
    return PyFloat_FromDouble(f);
}

PyObject *value(Reader &r) {
    if (!r.has(1))
        return nullptr;
    unsigned c = *r.p++;
    if (c <= 0x7f)
        return PyLong_FromLong(static_cast<long>(c));
    if (c >= 0xe0)
        return PyLong_FromLong(static_cast<long>(static_cast<int8_t>(c)));
    if (c >= 0xa0 && c <= 0xbf)
        return text(r, c & 0x1f, false);
    if (c >= 0x90 && c <= 0x9f)
        return array(r, c & 0x0f);
    if (c <= 0x8f)
        return map(r, c & 0x0f);
    uint64_t n;
    switch (c) {
    case 0xc0:
        Py_RETURN_NONE;
    case 0xc2:
        Py_RETURN_FALSE;
    case 0xc3:
        Py_RETURN_TRUE;
    case 0xc4:
    case 0xc5:
    case 0xc6:
        return bytes(r, 1 << (c - 0xc4));
    case 0xca:
    case 0xcb:
        return real(r, c == 0xcb);
    case 0xd9:
    case 0xda:
    case 0xdb:
        return r.take(1 << (c - 0xd9), n) ? text(r, n, false) : nullptr;
    case 0xdc:
    case 0xdd:
        return r.take(c == 0xdc ? 2 : 4, n) ? array(r, n) : nullptr;
    case 0xde:
    case 0xdf:
        return r.take(c == 0xde ? 2 : 4, n) ? map(r, n) : nullptr;
    }
    if (c >= 0xcc && c <= 0xd3)
        return number(r, c);
    return nullptr; // ext types, timestamps and the unused 0xc1
}

} // namespace

PyObject *decode_msgpack(const unsigned char *data, size_t size) {
    Reader r{data, data + size, rpc().msgpack_texts};
    PyObject *result = value(r);
    if (result && r.p != r.end) { // extra data: msgpack's ExtraData
        Py_DECREF(result);
        result = nullptr;
    }
    if (!result)
        PyErr_Clear();
    return result;
}

} // namespace zentaro::platform_rpc
