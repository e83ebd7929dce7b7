"""Host layer: the back-test run error (a deployment replaces this module)."""

import traceback


class UserError(Exception):
    def __init__(self, error_type=None, traceback_msg=None):
        super().__init__(error_type, traceback_msg)
        self.error_type = error_type
        self.traceback_msg = traceback_msg

    def __str__(self):
        return f"{self.error_type}: {self.traceback_msg}"


def get_error_message(error):
    """The formatted traceback of ``error`` (an exception, or a text)."""
    if isinstance(error, BaseException):
        return "".join(traceback.format_exception(type(error), error, error.__traceback__))
    return str(error)
