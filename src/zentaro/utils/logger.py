"""Host layer: the platform's loggers (a deployment replaces this module).

``system_log`` takes a tag and ``extra=``; ``user_log`` takes a text. Both write
through the standard ``logging`` module and never raise.
"""

import logging


class _SafeLogger:
    def __init__(self, name):
        self._logger = logging.getLogger(name)

    def _write(self, level, msg, extra):
        try:
            if extra:
                self._logger.log(level, "%s %r", msg, dict(extra))
            else:
                self._logger.log(level, "%s", msg)
        except Exception:  # a logger must never take its caller down
            pass

    def info(self, msg, extra=None):
        self._write(logging.INFO, msg, extra)

    def warn(self, msg, extra=None):
        self._write(logging.WARNING, msg, extra)

    warning = warn

    def error(self, msg, extra=None):
        self._write(logging.ERROR, msg, extra)


system_log = _SafeLogger("zentaro.system")
user_log = _SafeLogger("zentaro.user")
