"""Host layer: small decorators (a deployment replaces this module)."""

import functools
import sys


class lazy_property(functools.cached_property):  # noqa: N801 - used as a decorator
    """Run the body on the first read; later reads of the same object get that result."""

    def __init__(self, func):
        super().__init__(func)
        # Dressed as the function, as a decorator is: tools that unwrap it find its signature.
        functools.update_wrapper(self, func)

    if sys.version_info < (3, 12):
        # 3.11's cached_property runs every first read of the property, on
        # every object, under one shared lock: reads of different objects wait
        # for each other, and a child forked while another thread holds it
        # hangs on its first read. 3.12 dropped the lock; so do we.
        def __get__(self, instance, owner=None):
            if instance is None:
                return self
            cache = instance.__dict__
            try:
                return cache[self.attrname]
            except KeyError:
                value = cache[self.attrname] = self.func(instance)
                return value
