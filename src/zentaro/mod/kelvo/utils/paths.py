"""Host layer: the platform user's identity and scratch folders.

A deployment replaces this module.
"""

import contextlib
import errno
import os
import stat
import tempfile


def get_user_id():
    """The platform user id: ``ZENTARO_USER_ID``, else the id the stored token carries.

    Platform tokens have the form ``<user id>.<secret>``. No token file (or one
    that cannot be opened) gives ""; anything at its name but a regular file
    is refused with OSError.
    """
    user_id = os.environ.get("ZENTARO_USER_ID")
    if user_id:
        return user_id
    from zentaro.mod.kelvo import setting

    token = _read_regular_file(os.path.join(setting.ROOT_PATH, "auth"))
    return token.split(".", 1)[0] if "." in token else ""


def _read_regular_file(path):
    # Opened without blocking: a FIFO at the name must not hang the caller.
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC | os.O_NOCTTY)
    except OSError:
        return ""
    with open(fd) as f:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise OSError(errno.EINVAL, "not a regular file; refusing to read the token", path)
        try:
            return f.read()
        except OSError:
            return ""


class TempDir:
    """A scratch folder that exists while the context is active and is the working directory."""

    def __init__(self):
        self.path = None
        self._active = contextlib.ExitStack()

    def __enter__(self):
        with contextlib.ExitStack() as stack:
            folder = tempfile.TemporaryDirectory(prefix="zentaro-", ignore_cleanup_errors=True)
            self.path = stack.enter_context(folder)
            stack.enter_context(contextlib.chdir(self.path))
            self._active = stack.pop_all()
        return self.path

    def __exit__(self, exc_type, exc, tb):
        # Back to the previous folder first, then the scratch folder goes.
        return self._active.__exit__(exc_type, exc, tb)
