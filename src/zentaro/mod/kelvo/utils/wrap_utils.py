"""Host layer: small decorators (a deployment replaces this module)."""

import functools


class lazy_property(functools.cached_property):  # noqa: N801 - used as a decorator
    """Run the body on the first read; later reads of the same object get that result."""

    def __init__(self, func):
        super().__init__(func)
        # Dressed as the function, as a decorator is: tools that unwrap it find its signature.
        functools.update_wrapper(self, func)
