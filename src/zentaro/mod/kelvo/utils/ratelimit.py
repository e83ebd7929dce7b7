"""Host layer: call-rate limiting on the ``ratelimit`` package.

``limits`` adds a message to the package's limiter: a refused call raises
``RateLimitException`` carrying ``raise_message``. A deployment replaces this module.
"""

from functools import wraps

import ratelimit
from ratelimit import RateLimitException, sleep_and_retry

__all__ = ["RateLimitException", "limits", "sleep_and_retry", "wraps"]


class limits(ratelimit.RateLimitDecorator):  # noqa: N801 - the package's own spelling
    def __init__(self, calls=15, period=900, raise_message=None, **kwargs):
        super().__init__(calls=calls, period=period, **kwargs)
        self.raise_message = raise_message

    def __call__(self, func):
        limited = super().__call__(func)

        @wraps(func)
        def wrapper(*args, **kwargs):
            try:
                return limited(*args, **kwargs)
            except RateLimitException as exc:
                if self.raise_message is None or exc.args[:1] != ("too many calls",):
                    raise
                raise RateLimitException(self.raise_message, exc.period_remaining) from None

        return wrapper
