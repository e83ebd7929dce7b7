// TraderRPC: the holder of the process's one broker client, shared by every
// TradeAPI. The client is created on first use under a lock, so that two
// threads building their first TradeAPI at once still share one client.
//
// A forked child inherits the client in whatever state the parent's other
// threads left it: a lock taken inside a broker call stays taken for ever in
// the child. The child therefore drops it and the creation lock, and renews
// the rate limiters' locks: the next TradeAPI gets a new client, and objects
// made before the fork take the new one on their next request.

#include "broker_desk_state.hpp"

namespace broker_desk {

namespace {

// Holds the creation lock for a scope; the thread creating the client may
// come back here (a client whose constructor builds a TradeAPI) and then
// passes through.
class CreationLock {
  public:
    CreationLock() {
        DeskState &s = desk();
        unsigned long me = PyThread_get_thread_ident();
        if (s.creation_owner == me)
            return;
        if (!PyThread_acquire_lock(s.creation_lock, NOWAIT_LOCK)) {
            Py_BEGIN_ALLOW_THREADS;
            PyThread_acquire_lock(s.creation_lock, WAIT_LOCK);
            Py_END_ALLOW_THREADS;
        }
        s.creation_owner = me;
        held_ = true;
    }
    CreationLock(const CreationLock &) = delete;
    ~CreationLock() {
        if (!held_)
            return;
        desk().creation_owner = 0;
        PyThread_release_lock(desk().creation_lock);
    }

  private:
    bool held_ = false;
};

nb::object trader_rpc_new(nb::handle cls) {
    if (get_attr(cls, desk().names._instance).is_none()) {
        CreationLock lock;
        if (get_attr(cls, desk().names._instance).is_none())
            set_attr(cls, desk().names._instance, call(module_global(desk().names.RavineClient)));
    }
    return get_attr(cls, desk().names._instance);
}

// os.register_at_fork(after_in_child=...): `owner` is a weak reference to
// TraderRPC.
void forget_inherited_client(zentaro::Closure owner) {
    DeskState &s = desk();
    zentaro::quietly(renew_limiter_locks);
    s.creation_lock = PyThread_allocate_lock(); // the old one may be held by a thread now gone
    s.creation_owner = 0;
    if (!s.creation_lock) {
        PyErr_NoMemory();
        raise_python_error();
    }
    nb::object cls = nb::steal(zentaro::compat::weakref_get(owner.data.ptr()));
    if (!cls.is_valid())
        return;
    nb::object client = get_attr(cls, desk().names._instance);
    if (client.is_none())
        return;
    s.inherited_clients.push_back(client.release().ptr());
    set_attr(cls, desk().names._instance, nb::none());
}

bool inherited(nb::handle client) {
    for (PyObject *old : desk().inherited_clients)
        if (old == client.ptr())
            return true;
    return false;
}

} // namespace

nb::object client_of(nb::handle api) {
    nb::object client = get_attr(api, desk().names._trader_rpc);
    if (desk().inherited_clients.empty() || !inherited(client))
        return client;
    client = call(module_global(desk().names.TraderRPC));
    set_attr(api, desk().names._trader_rpc, client);
    return client;
}

nb::object make_trader_rpc(nb::module_ &m) {
    PyThread_type_lock &lock = desk().creation_lock;
    lock = PyThread_allocate_lock();
    if (!lock) {
        PyErr_NoMemory();
        raise_python_error();
    }
    nb::object cls =
        zentaro::ClassBuilder(m, "TraderRPC")
            .attr("_instance", nb::none())
            .def<trader_rpc_new>("__new__(cls)", "Return the process's shared broker client, "
                                                 "creating it on first use.")
            .wrap("__new__", zentaro::builtin_type(&PyStaticMethod_Type))
            .finish("Holder of the broker client that every TradeAPI of the "
                    "process shares.");
    nb::object owner = steal_or_raise(PyWeakref_NewRef(cls.ptr(), nullptr));
    nb::object reset = zentaro::make_function<forget_inherited_client>(
        "forget_inherited_client()", "Drop the broker client inherited from the parent process.",
        m.attr("__name__"), "TraderRPC.forget_inherited_client", owner);
    const InternedNames &name = desk().names;
    zentaro::call_with_keywords(get_attr(zentaro::import("os"), name.register_at_fork), {},
                                {{name.after_in_child, reset}});
    return cls;
}

} // namespace broker_desk
