"""Every test run gets its own ROOT_PATH and INFO_PATH, set before the kit loads."""

import os
import tempfile

_home = tempfile.mkdtemp(prefix="zentaro-tests-")
os.environ["ZENTARO_ROOT"] = os.path.join(_home, "root")
os.environ["ZENTARO_INFO"] = os.path.join(_home, "info")
os.environ.pop("ZENTARO_URL", None)
