"""Checks that the kit's objects behave as a Python module's would."""

import inspect
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


def declared_signature(target):
    """The parameters the build declares for target, as inspect should show them.

    A kit function's __text_signature__ (a class's __new__ or __init__, whichever
    its MRO defines first; a decorator's wrapped function), without the first
    parameter where the call supplies it (a bound method, a class); a slot-table
    class or method: the signature its docstring declares.
    """
    if isinstance(target, type):
        if target.__text_signature__:
            return target.__text_signature__
        return _without_first(_constructor(target).__text_signature__)
    fn = inspect.unwrap(getattr(target, "__func__", target))
    if not _is_kit_function(fn):
        return target.__text_signature__.replace("($self, ", "(self, /, ")
    return (
        _without_first(fn.__text_signature__) if inspect.ismethod(target) else fn.__text_signature__
    )


def _without_first(text):
    first, _, rest = text[1:-1].partition(",")
    return text if first.startswith("*") else "(" + rest.strip() + ")"


def _is_kit_function(obj):
    return type(obj).__module__ == "zentaro" and type(obj).__name__ == "function"


def _constructor(cls):
    for base in cls.__mro__:
        for name in ("__new__", "__init__"):
            member = getattr(vars(base).get(name), "__func__", vars(base).get(name))
            if _is_kit_function(member):
                return member
    raise AssertionError(f"{cls.__qualname__} has no kit constructor")


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
