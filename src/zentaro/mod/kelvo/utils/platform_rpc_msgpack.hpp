// A MessagePack decoder for the documents the platform sends: records of
// strings and numbers, in lists and maps with text keys.
#pragma once

#include <Python.h>

#include <cstddef>

namespace zentaro::platform_rpc {

// The value of a whole document, as msgpack.unpackb(data, raw=False) gives
// it; a new reference. NULL, with no error pending, when the document lies
// outside what this decoder covers (ext types, keys that are not text,
// invalid UTF-8, trailing bytes, deep nesting, truncation, any failure):
// the genuine msgpack must then decide, and raise its own error.
PyObject *decode_msgpack(const unsigned char *data, size_t size);

} // namespace zentaro::platform_rpc
