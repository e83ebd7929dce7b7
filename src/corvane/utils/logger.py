"""The engine's loggers.

Callers look them up at call time (``logger.user_normal_log.info(...)``), so
replacing a module attribute redirects its lines.
"""

import logging


class EngineLogger:
    def __init__(self, name):
        self._logger = logging.getLogger(name)

    def info(self, msg):
        self._logger.info(msg)

    def warn(self, msg):
        self._logger.warning(msg)

    warning = warn

    def error(self, msg):
        self._logger.error(msg)

    def add_handler(self, handler):
        self._logger.addHandler(handler)


system_log = EngineLogger("corvane.system")
user_log = EngineLogger("corvane.user")
user_normal_log = EngineLogger("corvane.user_normal")
user_system_log = EngineLogger("corvane.user_system")


def log_tofile(logger, filename):
    """Also write the lines of ``logger`` to ``filename``."""
    handler = logging.FileHandler(filename, encoding="utf-8")
    handler.setFormatter(logging.Formatter("%(message)s"))
    target = getattr(logger, "_logger", logger)
    target.addHandler(handler)
    if target.level == logging.NOTSET or target.level > logging.INFO:
        target.setLevel(logging.INFO)
    return handler
