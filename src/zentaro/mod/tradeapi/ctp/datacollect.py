"""Host layer: the terminal information a futures gateway asks for.

A deployment replaces this module.
"""

import platform
import uuid


def get_system_info():
    """A short text describing this terminal."""
    mac = uuid.getnode()
    return "|".join(
        [
            "os=" + platform.system(),
            "osv=" + platform.release(),
            "host=" + platform.node(),
            "mac=" + format(mac, "012x"),
        ]
    )
