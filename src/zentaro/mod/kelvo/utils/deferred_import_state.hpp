// The state of the deferred_import module: one struct, reached through deferred().
//
// Exit: made once on the heap and never deleted, so no destructor runs at
// exit (a thread parked there may still hold a pointer into it); its
// references are kept for the life of the process, like interned names.
// Made on first use, which is under the GIL (module init or a call).
// Fork: a child inherits it as it is; it holds nothing a child must renew.
#pragma once

#include "zentaro/pyutil.hpp"

namespace deferred_import {

struct DeferredState {
    // The class object of DeferredImport itself: the cache is always read
    // from it, also for instances of subclasses. Every instance keeps it
    // alive (through its own class), and it is only read on behalf of one.
    PyTypeObject *proxy_type = nullptr;

    // The names the module's code looks up.
    struct Names {
        PyObject *const IMPORTED_MODULE = zentaro::interned("IMPORTED_MODULE");
        PyObject *const module_path = zentaro::interned("module_path");
        PyObject *const split = zentaro::interned("split");
        PyObject *const dot = zentaro::interned(".");
        PyObject *const dunder_import = zentaro::interned("__import__");
    } names;
};

// The module's state. Each extension module is its own shared object with
// hidden symbols, so this is deferred_import's alone. Every attribute read
// through a proxy comes here: an inline reference, no lookup.
inline DeferredState &deferred() {
    static DeferredState *const state = new DeferredState();
    return *state;
}

} // namespace deferred_import
