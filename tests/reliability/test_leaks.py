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

# About 80 s on an idle two-core machine, several minutes under load: CI runs it
# after the quick suite.
pytestmark = pytest.mark.slow

HERE = os.path.dirname(os.path.abspath(__file__))
# Under the sanitizers every call is many times slower and the allocator keeps
# freed memory in quarantine: fewer rounds, and RSS is not a measure there.
ITERATIONS = 2_000 if SANITIZED else 100_000
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

# A leak of one object per call would show as about ITERATIONS; noise is a few hundred.
MAX_REF_GROWTH = max(ITERATIONS // 100, 100)
MAX_BLOCK_GROWTH = max(ITERATIONS // 10, 1000)
MAX_RSS_GROWTH = 8 << 20
MAX_TRACED_GROWTH = 128 << 10  # per window of ITERATIONS // 40 rounds


def drive(group):
    run = subprocess.run(
        [sys.executable, os.path.join(HERE, "leak_driver.py"), group, str(ITERATIONS)],
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
    assert report["calls"] >= ITERATIONS * len(report["entries"])
    grown = {name: n for name, n in report["ref_growth"].items() if n > MAX_REF_GROWTH}
    assert not grown, f"reference counts grew: {grown}"
    assert report["blocks_growth"] < MAX_BLOCK_GROWTH, report
    assert min(report["traced_growth"]) < MAX_TRACED_GROWTH, report
    if not SANITIZED:
        assert report["rss_growth"] < MAX_RSS_GROWTH, report
