// Answer decoding with a fast path for the usual large answers.
//
// The plain route copies the compressed body once (pickle.loads of a bytes
// value), inflates with the standard zlib into fresh memory, and decodes
// MessagePack with msgpack. Here the outer pickle is read in place (a view of
// the bytes opcode's body); a large body is inflated into a region reused
// from call to call (platform_rpc_inflate), else by ISA-L or, for a small
// one, on a reused zlib stream; and MessagePack is decoded natively
// (platform_rpc_msgpack). The fast path is only taken while the module's
// `pickle`, `zlib` and `msgpack` are the genuine ones, so a replaced decoder
// is always honoured (and handed a bytes object, as plain Python hands it),
// and every failure is redone by the genuine function so callers see exactly
// its exception.

#include "platform_rpc_decode.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <utility>

#include "platform_rpc_inflate.hpp"
#include "platform_rpc_msgpack.hpp"
#include "platform_rpc_state.hpp"
#include "zentaro/errors.hpp"
#include "zentaro/exit_guard.hpp"
#include "zentaro/imports.hpp"
#include "zentaro/names.hpp"
#include "zentaro/objects.hpp"

namespace zentaro::platform_rpc {

namespace {

// Below this many compressed bytes the standard inflater is quicker (ISA-L
// has a larger set-up cost) and copying the bytes beats making a view.
const size_t SMALL_BODY = 512;

uint64_t read_le(const unsigned char *p, int width) {
    uint64_t v = 0;
    for (int i = width - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

// Whether zlib.decompress (default arguments) would accept the stream's
// two-byte header: deflate, a window of at most 32 KiB, valid check bits, no
// preset dictionary. The fast inflaters are only handed such streams, since
// not all of them look at every field (one ignores the window size); any
// other stream goes to the module's zlib.decompress, whose error the caller
// then sees. The Adler-32 trailer is checked by every inflater.
bool zlib_would_accept(const unsigned char *p, size_t n) {
    if (n < 2)
        return false;
    unsigned cmf = p[0], flg = p[1];
    return (cmf & 0x0f) == 8 && (cmf >> 4) <= 7 && ((cmf << 8) | flg) % 31 == 0 && !(flg & 0x20);
}

// The same test of any object with the buffer protocol; false for others.
bool zlib_would_accept(nb::handle data) {
    Py_buffer view;
    if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) < 0) {
        swallow_ordinary_error();
        return false;
    }
    auto *bytes = static_cast<const unsigned char *>(view.buf);
    bool accepted = zlib_would_accept(bytes, static_cast<size_t>(view.len));
    PyBuffer_Release(&view);
    return accepted;
}

// Where the one bytes value of a pickle lies, when the pickle is nothing but
// that value (protocol 3 and later, framed or not). Anything unusual answers
// false and goes the plain way.
bool find_pickled_bytes(const unsigned char *p, size_t n, size_t &off, size_t &len) {
    size_t i = 0;
    if (n >= 2 && p[0] == 0x80) { // PROTO
        if (p[1] > 5)             // a protocol pickle.loads refuses: let it say so
            return false;
        i = 2;
    }
    auto skip_frames = [&]() {
        while (i < n && p[i] == 0x95) { // FRAME: 8-byte length, contents follow inline
            if (n - i < 9 || read_le(p + i + 1, 8) > n - i - 9)
                return false;
            i += 9;
        }
        return true;
    };
    if (!skip_frames() || i >= n)
        return false;
    int width;
    switch (p[i]) {
    case 'C':
        width = 1;
        break; // SHORT_BINBYTES
    case 'B':
        width = 4;
        break; // BINBYTES
    case 0x8e:
        width = 8;
        break; // BINBYTES8
    default:
        return false;
    }
    if (n - i - 1 < static_cast<size_t>(width))
        return false;
    uint64_t size = read_le(p + i + 1, width);
    i += 1 + width;
    if (size > n - i)
        return false;
    off = i;
    len = static_cast<size_t>(size);
    i += len;
    if (!skip_frames() || i >= n)
        return false;
    if (p[i] == 0x94) // MEMOIZE
        i += 1;
    else if (p[i] == 'q')
        i += 2; // BINPUT
    else if (p[i] == 'r')
        i += 5; // LONG_BINPUT
    if (!skip_frames() || i >= n)
        return false;
    return p[i] == '.'; // STOP; like pickle.loads, anything after it is ignored
}

// A read-only view of content[off:off+len] that keeps `content` alive.
nb::object view_of(nb::handle content, size_t off, size_t len) {
    nb::object whole = steal_or_raise(PyMemoryView_FromObject(content.ptr()));
    nb::object slice =
        steal_or_raise(PySlice_New(nb::int_(off).ptr(), nb::int_(off + len).ptr(), nullptr));
    return steal_or_raise(into_python([&] { return PyObject_GetItem(whole.ptr(), slice.ptr()); }));
}

// pickle.loads(content). A view in place of the bytes only when the genuine
// zlib.decompress is next: a replaced one receives the bytes object that
// pickle.loads returns.
nb::object unpickle_outer(nb::handle loads, nb::handle decompress, nb::handle content) {
    if (loads.ptr() == rpc().genuine_pickle_loads && PyBytes_Check(content.ptr())) {
        auto *p = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(content.ptr()));
        size_t off = 0, len = 0;
        if (find_pickled_bytes(p, static_cast<size_t>(PyBytes_GET_SIZE(content.ptr())), off, len)) {
            if (len < SMALL_BODY || decompress.ptr() != rpc().genuine_zlib_decompress)
                return steal_or_raise(
                    PyBytes_FromStringAndSize(reinterpret_cast<const char *>(p + off), len));
            return view_of(content, off, len);
        }
    }
    return loads(content);
}

bool is_small(nb::handle data) {
    if (PyBytes_Check(data.ptr()))
        return static_cast<size_t>(PyBytes_GET_SIZE(data.ptr())) < SMALL_BODY;
    if (PyMemoryView_Check(data.ptr()))
        return static_cast<size_t>(PyMemoryView_GET_BUFFER(data.ptr())->len) < SMALL_BODY;
    return false;
}

nb::object inflate(nb::handle decompress, nb::handle data) {
    RpcState &s = rpc();
    if (decompress.ptr() == s.genuine_zlib_decompress && s.fast_inflate && !is_small(data) &&
        zlib_would_accept(data)) {
        PyObject *out =
            into_python([&] { return PyObject_CallOneArg(s.fast_inflate, data.ptr()); });
        if (out)
            return nb::steal(out);
        swallow_ordinary_error(); // the genuine zlib gives the answer (or its own error)
    }
    return decompress(data);
}

// The inflated payload of one answer: a Python object (from an inflater or a
// replaced zlib), or the bytes in the reused region. Decoders other than the
// genuine ones always receive a bytes object, as plain Python gives them.
class Payload {
  public:
    explicit Payload(nb::object obj) : obj_(std::move(obj)) {}
    explicit Payload(InflateLease lease) : lease_(std::move(lease)) {}
    Payload(const Payload &) = delete;
    Payload &operator=(const Payload &) = delete;
    // A destructor may run without the GIL (a forced unwind): it calls no
    // Python. A view still held by someone and never released (an exception
    // other than a Python error left the decoding) gives the region up.
    ~Payload() {
        if (view_.is_valid() && !view_released_ && Py_REFCNT(view_.ptr()) != 1)
            lease_.abandon();
    }

    // The bytes themselves, when they can be read in place.
    bool raw(const unsigned char *&p, size_t &n) const {
        if (lease_) {
            p = lease_.data();
            n = lease_.size();
            return true;
        }
        if (!PyBytes_CheckExact(obj_.ptr()))
            return false;
        p = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(obj_.ptr()));
        n = static_cast<size_t>(PyBytes_GET_SIZE(obj_.ptr()));
        return true;
    }

    // What a decoder is handed: a view of the region for a genuine decoder
    // (it copies what it keeps), a copy of it for any other.
    nb::handle for_call(bool genuine) {
        if (!lease_)
            return obj_;
        nb::object &slot = genuine ? view_ : copy_;
        if (!slot.is_valid()) {
            auto *p = const_cast<char *>(reinterpret_cast<const char *>(lease_.data()));
            auto n = static_cast<Py_ssize_t>(lease_.size());
            slot = steal_or_raise(genuine ? PyMemoryView_FromMemory(p, n, PyBUF_READ)
                                          : PyBytes_FromStringAndSize(p, n));
        }
        return slot;
    }

    // The region is reused only when nothing can read it through the view
    // any more; should anything still hold the view and refuse its release,
    // the region is given up rather than reused. Runs once decoding is over,
    // with no error pending.
    void release_view() {
        if (!view_.is_valid() || Py_REFCNT(view_.ptr()) == 1)
            return;
        PyObject *done = into_python(
            [&] { return PyObject_CallMethodNoArgs(view_.ptr(), rpc().names.release); });
        if (done) {
            Py_DECREF(done);
            view_released_ = true;
        } else {
            PyErr_Clear();
            lease_.abandon();
        }
    }

  private:
    nb::object obj_;
    InflateLease lease_; // declared before the views: they go first
    nb::object view_, copy_;
    bool view_released_ = false;
};

// msgpack.unpackb(payload, raw=False), or NULL with the error pending; the
// lookup is part of the attempt, as it is inside the try block it stands for.
PyObject *try_msgpack(nb::handle module, Payload &payload) {
    PyObject *msgpack =
        into_python([&] { return PyObject_GetAttr(module.ptr(), rpc().names.msgpack); });
    if (!msgpack)
        return nullptr;
    nb::object unpackb =
        nb::steal(into_python([&] { return PyObject_GetAttr(msgpack, rpc().names.unpackb); }));
    Py_DECREF(msgpack);
    if (!unpackb.is_valid())
        return nullptr;
    bool genuine = unpackb.ptr() == rpc().genuine_msgpack_unpackb;
    const unsigned char *p;
    size_t n;
    if (genuine && payload.raw(p, n)) {
        // A pickle (protocol 2+) starts with 0x80, which MessagePack reads as
        // an empty map followed by extra data, an error: skip that doomed
        // attempt, whose error would copy the whole payload.
        if (n > 1 && p[0] == 0x80) {
            PyErr_SetString(PyExc_ValueError, "a pickle, not MessagePack");
            return nullptr;
        }
        if (PyObject *value = decode_msgpack(p, n))
            return value;
    }
    PyObject *args[2] = {payload.for_call(genuine).ptr(), Py_False};
    return into_python(
        [&] { return PyObject_Vectorcall(unpackb.ptr(), args, 1, rpc().raw_kwnames); });
}

// Try MessagePack, fall back to pickle on any ordinary exception.
nb::object decode_payload(nb::handle module, Payload &payload) {
    if (PyObject *value = try_msgpack(module, payload))
        return nb::steal(value);
    swallow_ordinary_error();
    nb::object loads = get_attr(get_attr(module, rpc().names.pickle), rpc().names.loads);
    return loads(payload.for_call(loads.ptr() == rpc().genuine_pickle_loads));
}

// The decoded payload; the view the decoders saw is let go of on return and
// on error alike, in straight-line code (the release runs Python code).
nb::object decode_and_release(nb::handle module, Payload &payload) {
    nb::object value;
    nb::object failure = python_error_of([&] { value = decode_payload(module, payload); });
    payload.release_view();
    if (failure.is_valid())
        raise_again(failure);
    return value;
}

// Small bodies straight from the answer's bytes into the payload, with no
// intermediate objects; empty when the general route must be taken.
nb::object inflate_small_in_place(nb::handle loads, nb::handle decompress, nb::handle content) {
    RpcState &s = rpc();
    if (loads.ptr() != s.genuine_pickle_loads || decompress.ptr() != s.genuine_zlib_decompress ||
        !PyBytes_Check(content.ptr()))
        return nb::object();
    auto *p = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(content.ptr()));
    size_t off = 0, len = 0;
    if (!find_pickled_bytes(p, static_cast<size_t>(PyBytes_GET_SIZE(content.ptr())), off, len) ||
        len >= SMALL_BODY || !zlib_would_accept(p + off, len))
        return nb::object();
    return s.small_inflater.inflate(p + off, len);
}

// Large bodies inflated from the answer's bytes into the reused region; an
// empty lease when the general route must be taken.
InflateLease inflate_large_in_place(nb::handle loads, nb::handle decompress, nb::handle content) {
    RpcState &s = rpc();
    if (loads.ptr() != s.genuine_pickle_loads || decompress.ptr() != s.genuine_zlib_decompress ||
        !PyBytes_Check(content.ptr()))
        return {};
    auto *p = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(content.ptr()));
    size_t off = 0, len = 0;
    if (!find_pickled_bytes(p, static_cast<size_t>(PyBytes_GET_SIZE(content.ptr())), off, len) ||
        len < SMALL_BODY || !zlib_would_accept(p + off, len))
        return {};
    return inflate_reused(p + off, len);
}

} // namespace

void init_decoders() {
    RpcState &s = rpc();
    s.genuine_pickle_loads = import_from("pickle", "loads").release().ptr();
    s.genuine_zlib_decompress = import_from("zlib", "decompress").release().ptr();
    s.genuine_msgpack_unpackb = import_from("msgpack", "unpackb").release().ptr();
    // Interned, as callers' keyword names are: keyword parsers match by identity first.
    nb::object raw = nb::borrow(interned("raw"));
    s.raw_kwnames = steal_or_raise(PyTuple_Pack(1, raw.ptr())).release().ptr();
    PyObject *isal = PyImport_ImportModule("isal.isal_zlib");
    if (isal) {
        s.fast_inflate = PyObject_GetAttrString(isal, "decompress");
        Py_DECREF(isal);
    }
    if (!s.fast_inflate)
        PyErr_Clear(); // without ISA-L the standard zlib does the work
    s.small_inflater.load();
    init_region_inflater();
}

nb::object decode_body(nb::handle module, nb::handle content) {
    const RpcNames &names = rpc().names;
    nb::object decompress = get_attr(get_attr(module, names.zlib), names.decompress);
    nb::object loads = get_attr(get_attr(module, names.pickle), names.loads);
    nb::object small = inflate_small_in_place(loads, decompress, content);
    if (small.is_valid()) {
        Payload payload(std::move(small));
        return decode_and_release(module, payload);
    }
    if (InflateLease lease = inflate_large_in_place(loads, decompress, content)) {
        Payload payload(std::move(lease));
        return decode_and_release(module, payload);
    }
    nb::object compressed = unpickle_outer(loads, decompress, content);
    Payload payload(inflate(decompress, compressed));
    return decode_and_release(module, payload);
}

} // namespace zentaro::platform_rpc
