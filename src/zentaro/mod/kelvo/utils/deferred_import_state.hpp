// The state of the deferred_import module: one struct, reached through deferred().
// Its life at exit and fork: zentaro/process_state.hpp.
#pragma once

#include "zentaro/process_state.hpp"

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
    return zentaro::process_state<DeferredState>();
}

} // namespace deferred_import
