"""Drives every public entry point of one module, on its success and failure
paths, many times, and reports how memory and shared reference counts moved.

Run as ``python leak_driver.py <group> <iterations>``; prints one JSON line.
Transport, files and engine are in-process fakes, so the loop runs at the
speed of the module itself. Used by test_leaks.py, in a fresh interpreter per
group so that the process's RSS and nanobind's exit report are the module's.
"""

import gc
import json
import os
import sys
import tracemalloc

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.dirname(HERE)]  # leak_groups, and the tests' shared fakes

import leak_groups  # noqa: E402


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run(entries, times):
    for _ in range(times):
        for _label, call in entries:
            call()


def snapshot(shared):
    gc.collect()
    return {
        "rss": rss_bytes(),
        "blocks": sys.getallocatedblocks(),
        "refs": {name: sys.getrefcount(obj) for name, obj in shared.items()},
    }


def traced_growth(entries, times, windows=2):
    """Bytes still allocated by Python after `times` more rounds, in each of
    `windows` consecutive windows (tracing makes every allocation several times
    slower, so it watches a share of the loop). A leak grows in every window; a
    long-lived table that happens to be reallocated while tracing (allocated
    before tracing began, so its old copy was never counted) shows in one only."""
    tracemalloc.start()
    try:
        run(entries, 20)
        growth = []
        for _ in range(windows):
            gc.collect()
            before = tracemalloc.get_traced_memory()[0]
            run(entries, times)
            gc.collect()
            growth.append(tracemalloc.get_traced_memory()[0] - before)
        return growth
    finally:
        tracemalloc.stop()


def main(group, iterations):
    entries, shared = leak_groups.GROUPS[group]()
    shared = dict(shared, none=None, true=True, false=False)
    run(entries, max(iterations // 50, 200))  # warm-up: caches, interned names, free lists
    before = snapshot(shared)
    run(entries, iterations)
    after = snapshot(shared)
    traced_rounds = max(iterations // 40, 50)
    traced = traced_growth(entries, traced_rounds)
    print(
        json.dumps(
            {
                "entries": [label for label, _ in entries],
                "calls": (iterations + 2 * traced_rounds) * len(entries),
                "rss_growth": after["rss"] - before["rss"],
                "blocks_growth": after["blocks"] - before["blocks"],
                "ref_growth": {name: after["refs"][name] - before["refs"][name] for name in shared},
                "traced_rounds": traced_rounds,
                "traced_growth": traced,
            }
        )
    )


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]))
