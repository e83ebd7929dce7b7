// TraderRPC: the holder of the process's one broker client, shared by every
// TradeAPI. The client is created on first use under a lock, so that two
// threads building their first TradeAPI at once still share one client.
//
// A forked child inherits the client in whatever state the parent's other
// threads left it: a lock taken inside a broker call stays taken for ever in
// the child. The child therefore drops it and the creation lock, and renews
// the rate limiters' locks: the next TradeAPI gets a new client, and objects
// made before the fork take the new one on their next request.

#include <vector>

#include "broker_desk.hpp"

namespace broker_desk {

namespace {

PyThread_type_lock creation_lock = nullptr;
unsigned long creation_owner = 0; // thread creating the client; 0 when none

// Clients inherited from a parent process. Owned for the life of the
// process, so that their addresses cannot be taken by other objects.
std::vector<PyObject *> inherited_clients;

// Holds the creation lock for a scope; the thread creating the client may
// come back here (a client whose constructor builds a TradeAPI) and then
// passes through.
class CreationLock {
  public:
    CreationLock() {
        unsigned long me = PyThread_get_thread_ident();
        if (creation_owner == me)
            return;
        if (!PyThread_acquire_lock(creation_lock, NOWAIT_LOCK)) {
            Py_BEGIN_ALLOW_THREADS;
            PyThread_acquire_lock(creation_lock, WAIT_LOCK);
            Py_END_ALLOW_THREADS;
        }
        creation_owner = me;
        held_ = true;
    }
    CreationLock(const CreationLock &) = delete;
    ~CreationLock() {
        if (!held_)
            return;
        creation_owner = 0;
        PyThread_release_lock(creation_lock);
    }

  private:
    bool held_ = false;
};

nb::object trader_rpc_new(nb::handle cls) {
    if (get_attr(cls, ZT_NAME("_instance")).is_none()) {
        CreationLock lock;
        if (get_attr(cls, ZT_NAME("_instance")).is_none())
            set_attr(cls, ZT_NAME("_instance"), call(zentaro::global(ZT_NAME("RavineClient"))));
    }
    return get_attr(cls, ZT_NAME("_instance"));
}

// os.register_at_fork(after_in_child=...): `owner` is a weak reference to
// TraderRPC.
void forget_inherited_client(zentaro::Closure owner) {
    zentaro::quietly(renew_limiter_locks);
    creation_lock = PyThread_allocate_lock(); // the old one may be held by a thread now gone
    creation_owner = 0;
    if (!creation_lock) {
        PyErr_NoMemory();
        raise_python_error();
    }
    nb::object cls = nb::steal(zentaro::compat::weakref_get(owner.data.ptr()));
    if (!cls.is_valid())
        return;
    nb::object client = get_attr(cls, ZT_NAME("_instance"));
    if (client.is_none())
        return;
    inherited_clients.push_back(client.release().ptr());
    set_attr(cls, ZT_NAME("_instance"), nb::none());
}

bool inherited(nb::handle client) {
    for (PyObject *old : inherited_clients)
        if (old == client.ptr())
            return true;
    return false;
}

} // namespace

nb::object client_of(nb::handle api) {
    nb::object client = get_attr(api, ZT_NAME("_trader_rpc"));
    if (inherited_clients.empty() || !inherited(client))
        return client;
    client = call(zentaro::global(ZT_NAME("TraderRPC")));
    set_attr(api, ZT_NAME("_trader_rpc"), client);
    return client;
}

nb::object make_trader_rpc(nb::module_ &m) {
    creation_lock = PyThread_allocate_lock();
    if (!creation_lock) {
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
    zentaro::import("os").attr("register_at_fork")(nb::arg("after_in_child") = reset);
    return cls;
}

} // namespace broker_desk
