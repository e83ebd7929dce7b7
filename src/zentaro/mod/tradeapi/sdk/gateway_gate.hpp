// One RPC call at a time per gateway session.
//
// A session is one byte stream: a request is written and its answer read
// back, with nothing on the wire to tell one call's answer from another's.
// Two threads inside one session interleave their frames, read each other's
// answers and leave the stream broken for good; the gate makes each call
// whole. It is re-entrant (a host layer may call back into the client while
// sending), waits with the GIL released and lets signals through, like
// threading.RLock. A gate inherited by a forked child may be held by a thread
// that exists only in the parent: the child gets a fresh one.
#pragma once

#include "gateway_link_state.hpp"
#include "zentaro/errors.hpp"

#include <pythread.h>

#include <cstdint>
#include <new>

namespace zentaro::gateway_link {

class RpcGate {
  public:
    RpcGate() : lock_(new_lock()), generation_(gateway().fork_generation.load()) {}
    RpcGate(const RpcGate &) = delete;
    RpcGate &operator=(const RpcGate &) = delete;
    ~RpcGate() {
        if (lock_ && generation_ == gateway().fork_generation.load())
            PyThread_free_lock(lock_);
    }

    // Called with the GIL held; returns holding the gate.
    void enter() {
        renew_after_fork();
        unsigned long me = PyThread_get_thread_ident();
        if (depth_ > 0 && owner_ == me) {
            ++depth_;
            return;
        }
        if (!PyThread_acquire_lock(lock_, NOWAIT_LOCK))
            wait();
        owner_ = me;
        depth_ = 1;
    }

    void leave() {
        if (--depth_ == 0) {
            owner_ = 0;
            PyThread_release_lock(lock_);
        }
    }

  private:
    void wait() {
        for (;;) {
            PyLockStatus status;
            Py_BEGIN_ALLOW_THREADS;
            status = PyThread_acquire_lock_timed(lock_, -1, 1);
            Py_END_ALLOW_THREADS;
            if (status == PY_LOCK_ACQUIRED)
                return;
            // Interrupted by a signal: its handler runs now and may raise.
            if (Py_MakePendingCalls() < 0)
                raise_python_error();
        }
    }

    void renew_after_fork() {
        uint64_t now = gateway().fork_generation.load();
        if (generation_ == now)
            return;
        // The inherited lock may be held by a parent's thread; freeing a held
        // lock is undefined, so it is left as it is.
        lock_ = new_lock();
        owner_ = 0;
        depth_ = 0;
        generation_ = now;
    }

    static PyThread_type_lock new_lock() {
        PyThread_type_lock lock = PyThread_allocate_lock();
        if (!lock)
            throw std::bad_alloc();
        return lock;
    }

    PyThread_type_lock lock_;
    unsigned long owner_ = 0;
    int depth_ = 0;
    uint64_t generation_;
};

// Holds the gate for one scope; also leaves it when a thread that the
// interpreter ends at exit unwinds through the call.
class GateHold {
  public:
    explicit GateHold(RpcGate &gate) : gate_(gate) { gate_.enter(); }
    GateHold(const GateHold &) = delete;
    ~GateHold() { gate_.leave(); }

  private:
    RpcGate &gate_;
};

} // namespace zentaro::gateway_link
