"""Hypothesis budgets and profiles.

ZENTARO_HYPOTHESIS_PROFILE picks the profile (the root conftest loads it):

- ``ci`` (the default): every property test draws the same inputs on every
  run (a seed derived from the test), and nothing is written to an example
  database; a failure on one machine fails the same way on another.
- ``explore``: fresh random inputs on every run and ten times the examples,
  with failures kept in ``.hypothesis/`` and replayed first next time. Run it
  now and then, and whenever a fuzzed module changed:

      ZENTARO_HYPOTHESIS_PROFILE=explore bash scripts/test -m "not slow" -k fuzz

ZENTARO_FUZZ_SCALE multiplies the examples of either profile (e.g. 50).
"""

import os

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

PROFILE = os.environ.get("ZENTARO_HYPOTHESIS_PROFILE", "ci")
_SCALES = {"ci": 1, "explore": 10}


def register_profiles():
    slow_is_fine = [HealthCheck.too_slow]
    settings.register_profile(
        "ci", derandomize=True, database=None, print_blob=True, suppress_health_check=slow_is_fine
    )
    settings.register_profile(
        "explore",
        derandomize=False,
        max_examples=1000,  # for tests that name no budget of their own
        print_blob=True,
        suppress_health_check=slow_is_fine,
    )
    if PROFILE not in _SCALES:
        raise ValueError(f"ZENTARO_HYPOTHESIS_PROFILE must be one of {sorted(_SCALES)}")
    settings.load_profile(PROFILE)


def examples(n):
    """The number of examples for a test that draws `n` in a CI run."""
    return int(n * _SCALES.get(PROFILE, 1) * float(os.environ.get("ZENTARO_FUZZ_SCALE") or 1))


def fuzz_settings(n, *checks):
    """A fuzz test's settings: `n` examples in a CI run, no deadline, and
    neither slowness nor `checks` reported as a failed health check."""
    return settings(
        max_examples=examples(n),
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow, *checks],
    )


EDITS = ("flip", "set", "cut", "insert", "drop")


def mutate(data, edits):
    """`data` after each (where, what, byte) edit in turn; `where` wraps around
    the length at that point, and an edit of empty data puts `byte` in it."""
    data = bytearray(data)
    for where, what, byte in edits:
        if not data:
            data.append(byte)
            continue
        i = where % len(data)
        if what == "flip":
            data[i] ^= 1 << (byte % 8)
        elif what == "set":
            data[i] = byte
        elif what == "cut":
            del data[i:]
        elif what == "insert":
            data.insert(i, byte)
        else:
            del data[i]
    return bytes(data)


def edit_lists(kinds=EDITS, min_size=1, max_size=4, reach=2**16):
    """Lists of edits for `mutate`, of the given kinds."""
    edit = st.tuples(st.integers(0, reach), st.sampled_from(list(kinds)), st.integers(0, 255))
    return st.lists(edit, min_size=min_size, max_size=max_size)
