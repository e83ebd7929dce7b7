"""Host layer: small decorators (a deployment replaces this module)."""

import functools


class lazy_property:  # noqa: N801 - used as a decorator
    """Run the body on the first read; later reads of the same object get that result."""

    def __init__(self, func):
        self.func = func
        self.name = func.__name__
        functools.update_wrapper(self, func)

    def __set_name__(self, owner, name):
        self.name = name

    def __get__(self, obj, owner=None):
        if obj is None:
            return self
        value = self.func(obj)
        obj.__dict__[self.name] = value
        return value
