"""Host layer: the platform user's identity and scratch folders.

A deployment replaces this module.
"""

import errno
import os
import shutil
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
        self._previous = None

    def __enter__(self):
        self.path = tempfile.mkdtemp(prefix="zentaro-")
        self._previous = os.getcwd()
        os.chdir(self.path)
        return self.path

    def __exit__(self, exc_type, exc, tb):
        os.chdir(self._previous)
        shutil.rmtree(self.path, ignore_errors=True)
        return False
