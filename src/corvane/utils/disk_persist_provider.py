"""Engine state stored on disk, one file per key."""

import os


class DiskPersistProvider:
    def __init__(self, path):
        self._path = path
        os.makedirs(path, exist_ok=True)

    def store(self, key, value):
        target = os.path.join(self._path, key)
        tmp = f"{target}.{os.getpid()}.tmp"
        with open(tmp, "wb") as f:
            f.write(value)
        os.replace(tmp, target)

    def load(self, key):
        try:
            with open(os.path.join(self._path, key), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None
