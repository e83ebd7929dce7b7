// The reused zlib stream that inflates small answers.
#pragma once

#include <algorithm>
#include <climits>
#include <cstddef>

#include <dlfcn.h>
#if __has_include(<zlib.h>) && !defined(ZENTARO_NO_SMALL_INFLATER)
#include <zlib.h>
#define ZENTARO_SMALL_INFLATER 1
#endif

#include "zentaro/compat.hpp"
#include "zentaro/pyutil.hpp"

namespace zentaro::platform_rpc {

#ifdef ZENTARO_SMALL_INFLATER
// Small answers: most of zlib.decompress's time there goes into setting up a
// stream (state and window allocations). One stream, reset for every answer,
// saves that. libz is reached through dlopen (it is already loaded for the
// zlib module); without it the genuine zlib.decompress does the work. The
// GIL is held throughout, so the one stream is never shared.
struct SmallInflater {
    int (*init2)(z_streamp, int, const char *, int) = nullptr;
    int (*run)(z_streamp, int) = nullptr;
    int (*reset)(z_streamp) = nullptr;
    z_stream stream{};
    bool ready = false;

    void load() {
        void *lib = dlopen("libz.so.1", RTLD_NOW | RTLD_LOCAL);
        if (!lib)
            return;
        init2 = reinterpret_cast<decltype(init2)>(dlsym(lib, "inflateInit2_"));
        run = reinterpret_cast<decltype(run)>(dlsym(lib, "inflate"));
        reset = reinterpret_cast<decltype(reset)>(dlsym(lib, "inflateReset"));
        ready = init2 && run && reset &&
                init2(&stream, MAX_WBITS, ZLIB_VERSION, static_cast<int>(sizeof(z_stream))) == Z_OK;
    }

    // The inflated bytes, or an empty object when the genuine function must
    // decide (malformed or truncated data, no libz).
    nb::object inflate(const unsigned char *data, size_t size) {
        if (!ready || reset(&stream) != Z_OK)
            return nb::object();
        size_t capacity = std::max<size_t>(size * 8, 1024); // small answers compress 3-6x
        PyObject *out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity));
        if (!out)
            raise_python_error();
        stream.next_in = const_cast<Bytef *>(data);
        stream.avail_in = static_cast<uInt>(size);
        size_t produced = 0;
        for (;;) {
            stream.next_out = reinterpret_cast<Bytef *>(PyBytes_AS_STRING(out)) + produced;
            stream.avail_out = static_cast<uInt>(std::min<size_t>(capacity - produced, UINT_MAX));
            int rc = run(&stream, Z_NO_FLUSH);
            produced = reinterpret_cast<char *>(stream.next_out) - PyBytes_AS_STRING(out);
            if (rc == Z_STREAM_END)
                break;
            bool room_needed = (rc == Z_OK || rc == Z_BUF_ERROR) && stream.avail_out == 0;
            if (!room_needed) {
                Py_DECREF(out);
                return nb::object();
            }
            capacity *= 2;
            if (compat::bytes_resize(&out, static_cast<Py_ssize_t>(capacity)) < 0)
                raise_python_error();
        }
        if (compat::bytes_resize(&out, static_cast<Py_ssize_t>(produced)) < 0)
            raise_python_error();
        return nb::steal(out);
    }
};

#else
// Built without the zlib header: small answers take the general route.
struct SmallInflater {
    void load() {}
    nb::object inflate(const unsigned char *, size_t) { return nb::object(); }
};
#endif

} // namespace zentaro::platform_rpc
