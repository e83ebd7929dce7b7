"""Checks that the kit's objects behave as a Python module's would."""

import os
import time
import weakref
from unittest import mock


def assert_python_method(obj, name):
    """obj.name behaves as a Python bound method: equal and hashable across
    reads, weakly referable, found by list.remove and by mock's call matching."""
    method = getattr(obj, name)
    assert method == getattr(obj, name) and hash(method) == hash(getattr(obj, name))
    assert method.__name__ == name and method.__qualname__.endswith("." + name)
    assert weakref.WeakMethod(method)() == method
    handlers = [getattr(obj, name)]
    handlers.remove(getattr(obj, name))
    spy = mock.Mock()
    spy(getattr(obj, name))
    spy.assert_called_with(getattr(obj, name))
    return method


def wait_for_child(pid, seconds=30):
    """The forked child's exit code, or "hung" (and the child killed)."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.05)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    return "hung"
