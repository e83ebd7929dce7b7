// Large answers inflated into one reused region instead of a fresh buffer.
//
// A fresh 21 MB output buffer costs some 5,000 page faults, about a fifth of
// inflating it; a region that is written again and again costs none. The
// region is a reservation of address space of which only the pages written
// become memory; after every use all but the first `resident_bound` bytes
// are handed back. libdeflate inflates in one pass into a given buffer, which
// the Python-level inflaters cannot do. It comes from the `deflate` package (a
// declared dependency), whose extension module carries the library and
// exports its small stable C interface: the kit finds the functions in that
// module once it is imported, so no system library is needed.
//
// One region serves the process. A call takes it (under the GIL) and gives
// it back when done; a call that finds it taken, by another thread or by
// code run from inside a decoding, takes the general route instead.

#include "platform_rpc_inflate.hpp"

#include <Python.h>

#include <algorithm>
#include <atomic>

#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include "platform_rpc_state.hpp"

namespace zentaro::platform_rpc {

enum LibdeflateResult { LIBDEFLATE_SUCCESS = 0 };

struct Region {
    unsigned char *base = nullptr;
    size_t reserved = 0;
    size_t touched = 0; // bytes that may be resident
    libdeflate_decompressor *decompressor = nullptr;
};

namespace {

// Address space only: pages cost memory once written.
constexpr size_t reservation = size_t{1} << 30;
// Below this many compressed bytes keeping the GIL is cheaper than handing it over.
constexpr size_t gil_release_size = 64u << 10;

void destroy(Region *r) {
    if (r->decompressor)
        rpc().libdeflate.free(r->decompressor);
    if (r->base)
        munmap(r->base, r->reserved);
    delete r;
}

Region *create_region() {
    void *base = mmap(nullptr, reservation, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED)
        return nullptr;
#ifdef MADV_HUGEPAGE
    madvise(base, reservation, MADV_HUGEPAGE); // fewer faults when it grows; advice only
#endif
    auto *r =
        new Region{static_cast<unsigned char *>(base), reservation, 0, rpc().libdeflate.alloc()};
    if (!r->decompressor) {
        destroy(r);
        return nullptr;
    }
    return r;
}

// The checks zlib.decompress makes of the two-byte header that libdeflate
// does not all make: deflate, a window it accepts, no preset dictionary.
bool plain_zlib_header(const unsigned char *p, size_t n) {
    if (n < 6)
        return false;
    unsigned cmf = p[0], flg = p[1];
    return (cmf & 0x0f) == 8 && (cmf >> 4) <= 7 && ((cmf << 8) | flg) % 31 == 0 && !(flg & 0x20);
}

} // namespace

void ReturnRegion::operator()(Region *r) const {
    // No Python here: this also runs while a thread is unwound at exit.
    if (r->touched > resident_bound) {
        size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_t end = (r->touched + page - 1) / page * page;
        madvise(r->base + resident_bound, end - resident_bound, MADV_DONTNEED);
        r->touched = resident_bound;
    }
    Region *expected = nullptr;
    if (!rpc().spare_region.compare_exchange_strong(expected, r))
        destroy(r);
}

const unsigned char *InflateLease::data() const {
    return region_->base;
}

void init_region_inflater() {
    // Any failure leaves the region inflater off; decoding keeps to the
    // other inflaters, which give the same bytes.
    PyObject *module = PyImport_ImportModule("deflate._deflate");
    PyObject *file = module ? PyObject_GetAttrString(module, "__file__") : nullptr;
    const char *path = file && PyUnicode_Check(file) ? PyUnicode_AsUTF8(file) : nullptr;
    // The import has loaded it: this only finds it (never a library elsewhere).
    void *handle = path ? dlopen(path, RTLD_NOW | RTLD_NOLOAD) : nullptr;
    Py_XDECREF(file);
    Py_XDECREF(module);
    PyErr_Clear();
    if (!handle)
        return;
    Libdeflate &lib = rpc().libdeflate;
    lib.alloc =
        reinterpret_cast<decltype(lib.alloc)>(dlsym(handle, "libdeflate_alloc_decompressor"));
    lib.free = reinterpret_cast<decltype(lib.free)>(dlsym(handle, "libdeflate_free_decompressor"));
    lib.zlib_decompress_ex = reinterpret_cast<decltype(lib.zlib_decompress_ex)>(
        dlsym(handle, "libdeflate_zlib_decompress_ex"));
    // The module stays imported for the life of the process: the handle's
    // reference is kept, so the functions can never be unmapped.
}

InflateLease inflate_reused(const unsigned char *data, size_t size) {
    const Libdeflate &lib = rpc().libdeflate;
    if (!lib.ready() || !plain_zlib_header(data, size))
        return {};
    Region *taken = rpc().spare_region.exchange(nullptr);
    if (!taken)
        taken = create_region();
    if (!taken)
        return {};
    std::unique_ptr<Region, ReturnRegion> hold(taken);
    size_t used_in = 0, produced = 0;
    int rc;
    if (size >= gil_release_size) {
        // Straight-line, not a guard object: at exit, taking the GIL back may
        // unwind this thread, which must not start inside a destructor.
        PyThreadState *state = PyEval_SaveThread();
        rc = lib.zlib_decompress_ex(taken->decompressor, data, size, taken->base, taken->reserved,
                                    &used_in, &produced);
        PyEval_RestoreThread(state);
    } else {
        rc = lib.zlib_decompress_ex(taken->decompressor, data, size, taken->base, taken->reserved,
                                    &used_in, &produced);
    }
    // After a failure it is not known how far the output went.
    taken->touched =
        std::max(taken->touched, rc == LIBDEFLATE_SUCCESS ? produced : taken->reserved);
    if (rc != LIBDEFLATE_SUCCESS)
        return {};
    return InflateLease(hold.release(), produced);
}

} // namespace zentaro::platform_rpc
