"""Side-by-side timing: candidates run interleaved, best of several rounds."""

import time


def per_call(fn, number):
    start = time.perf_counter()
    fn(number)
    return (time.perf_counter() - start) / number


def compare(candidates, number=200_000, rounds=7):
    """candidates: {name: fn(n) running the operation n times}. Returns best seconds per call."""
    best = {name: float("inf") for name in candidates}
    for _ in range(rounds):
        for name, fn in candidates.items():
            best[name] = min(best[name], per_call(fn, number))
    return best


def table(title, rows, floor):
    print(f"\n{title}")
    print(f"{'case':<40}{'ns/op':>10}{'x floor':>10}")
    for name, seconds in rows.items():
        print(f"{name:<40}{seconds * 1e9:>10.1f}{seconds / rows[floor]:>10.2f}")
