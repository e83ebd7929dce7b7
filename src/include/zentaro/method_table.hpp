// Entries of a plain-C method table (PyMethodDef).
#pragma once

#include <Python.h>

namespace zentaro {

// A METH_FASTCALL (| METH_KEYWORDS) function as the table's PyCFunction
// field holds it; the flags tell the interpreter its real type.
template <typename Fn> PyCFunction c_method(Fn fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

} // namespace zentaro
