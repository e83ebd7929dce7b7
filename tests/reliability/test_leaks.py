"""Every public entry point of every module, on its success and failure paths,
100,000 times: memory (RSS, allocated blocks, tracemalloc) and the reference
counts of shared objects must not grow, and nanobind must report no leaked
object at exit. Each module runs in a fresh interpreter (leak_driver.py), two
at a time."""

import concurrent.futures
import json
import os
import subprocess
import sys

import pytest

from shared.children import child_env
from shared.timing import SANITIZED, scaled

# About two and a half minutes on a two-core machine: CI runs it
# after the quick suite.
pytestmark = pytest.mark.slow

HERE = os.path.dirname(os.path.abspath(__file__))
# Under the sanitizers every call is many times slower and the allocator keeps
# freed memory in quarantine: fewer rounds, and RSS is not a measure there.
ITERATIONS = 2_000 if SANITIZED else 100_000
# Each side-store round writes, reads and damages a real file through pyarrow
# (milliseconds, not microseconds): a tenth of the rounds still shows a leak of
# one object per call many times over the limits below.
ROUNDS = {"side_store": max(ITERATIONS // 10, 2_000)}
# Longest first, so that the two workers finish together.
GROUPS = [
    "platform_rpc",
    "gateway_link",
    "broker_desk",
    "side_store",
    "query_text",
    "deferred_import",
    "mod",
    "paper_book",
    "recorder",
    "stream_sink",
]

MAX_RSS_GROWTH = 8 << 20
MAX_TRACED_GROWTH = 128 << 10  # per window of a fortieth of the rounds


def drive(group):
    run = subprocess.run(
        [
            sys.executable,
            os.path.join(HERE, "leak_driver.py"),
            group,
            str(ROUNDS.get(group, ITERATIONS)),
        ],
        capture_output=True,
        text=True,
        env=child_env(),
        timeout=scaled(600),
    )
    return run.returncode, run.stdout, run.stderr


@pytest.fixture(scope="module")
def results():
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        futures = {group: pool.submit(drive, group) for group in GROUPS}
        return {group: future.result() for group, future in futures.items()}


@pytest.mark.parametrize("group", GROUPS)
def test_entry_points_do_not_leak(results, group):
    code, out, err = results[group]
    assert code == 0, err
    assert "leak" not in err.lower(), err  # nanobind's report of objects never freed
    report = json.loads(out.strip().splitlines()[-1])
    rounds = ROUNDS.get(group, ITERATIONS)
    assert report["calls"] >= rounds * len(report["entries"])
    # A leak of one object per call would show as about `rounds`; noise is a few hundred.
    grown = {name: n for name, n in report["ref_growth"].items() if n > max(rounds // 100, 100)}
    assert not grown, f"reference counts grew: {grown}"
    assert report["blocks_growth"] < max(rounds // 10, 1000), report
    assert min(report["traced_growth"]) < MAX_TRACED_GROWTH, report
    if not SANITIZED:
        assert report["rss_growth"] < MAX_RSS_GROWTH, report
