// A module's state: one struct per module, reached through one accessor.
//
// Exit: the struct is made once on the heap and never deleted, so no
// destructor runs at exit (a thread parked there may still hold a pointer
// into it); its references are kept for the life of the process, like
// interned names. It is made on first use, which is under the GIL (module
// init or a call). Fork: a child inherits it as it is; a module whose state
// holds something a child must renew says so beside that member.
#pragma once

#include "zentaro/pyutil.hpp"

// One member of a names struct: `PyObject *const x` holding the interned
// "x". Used with a module's X-macro list of the names its code looks up.
#define ZT_NAME_MEMBER(name) PyObject *const name = ::zentaro::interned(#name);
// The same for a name spelt otherwise than its member: `dot` holding ".".
#define ZT_SPELT_NAME_MEMBER(member, text) PyObject *const member = ::zentaro::interned(text);

namespace zentaro {

namespace detail {
// Made out of line and marked cold: inlined, the constructor (dozens of
// interned names) would sit inside every hot function that reads the state,
// spreading its fast path over many more cache lines.
template <class State> [[gnu::noinline, gnu::cold]] State *make_process_state() {
    return new State();
}
} // namespace detail

// The one State of this extension module. Each module is its own shared
// object with hidden symbols, so each has its own instance.
template <class State> inline State &process_state() {
    static State *const state = detail::make_process_state<State>();
    return *state;
}

} // namespace zentaro
