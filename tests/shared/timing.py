"""Time-outs that hold under the sanitizers, where every call runs several
times slower and a child interpreter takes seconds to start."""

import os

SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")
# ZENTARO_TEST_SLOWDOWN overrides the factor, e.g. on a machine busy with builds.
SLOWDOWN = float(os.environ.get("ZENTARO_TEST_SLOWDOWN") or (5 if SANITIZED else 1))


def scaled(seconds):
    """A time-out of `seconds` on a plain build, stretched by the slowdown."""
    return seconds * SLOWDOWN
