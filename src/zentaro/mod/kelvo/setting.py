"""Host layer: where the kit keeps its files.

A deployment replaces this module. ``ROOT_PATH`` holds the token and notice
files, ``INFO_PATH`` the SQL result cache. Both default to folders under the
user's home and can be moved with ``ZENTARO_ROOT`` and ``ZENTARO_INFO``.
"""

import os

ROOT_PATH = os.path.abspath(
    os.path.expanduser(os.environ.get("ZENTARO_ROOT") or os.path.join("~", ".zentaro"))
)
INFO_PATH = os.path.abspath(
    os.path.expanduser(os.environ.get("ZENTARO_INFO") or os.path.join(ROOT_PATH, "info"))
)

os.makedirs(ROOT_PATH, exist_ok=True)
os.makedirs(INFO_PATH, exist_ok=True)
