"""Host layer: the platform user's identity and scratch folders.

A deployment replaces this module.
"""

import os
import shutil
import tempfile


def get_user_id():
    """The platform user id: ``ZENTARO_USER_ID``, else the id the stored token carries.

    Platform tokens have the form ``<user id>.<secret>``.
    """
    user_id = os.environ.get("ZENTARO_USER_ID")
    if user_id:
        return user_id
    from zentaro.mod.kelvo import setting

    try:
        with open(os.path.join(setting.ROOT_PATH, "auth")) as f:
            token = f.read()
    except OSError:
        return ""
    return token.split(".", 1)[0] if "." in token else ""


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
