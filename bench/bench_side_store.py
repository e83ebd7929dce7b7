"""SideStore.read on a hit, 100,000-row frame, against pyarrow.feather.read_feather
of the same file through an open file object.

Run: PYTHONPATH=src python bench/bench_side_store.py
"""

import os
import tempfile
import time

import numpy as np
import pandas as pd
import pyarrow.feather

TARGET = 1.1
ROWS = 100_000
ROUNDS = 25
SQL = "select id, value, name, date from bench_table"


def make_frame():
    rng = np.random.default_rng(7)
    return pd.DataFrame(
        {
            "id": np.arange(ROWS, dtype=np.int64),
            "value": rng.normal(size=ROWS),
            "name": [f"name{i % 977}" for i in range(ROWS)],
            "date": pd.date_range("2000-01-01", periods=ROWS, freq="h"),
        }
    )


class Platform:
    def __init__(self, frame):
        self.frame = frame

    def side_store(self, sql):
        return self.frame


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def main():
    home = tempfile.mkdtemp(prefix="bench-side-store-")
    os.environ["ZENTARO_INFO"] = os.path.join(home, "info")
    os.environ["ZENTARO_ROOT"] = os.path.join(home, "root")
    from zentaro.mod.kelvo.data import side_store

    frame = make_frame()
    side_store.kl_api = Platform(frame)
    store = side_store.SideStore().__enter__()
    store.read(SQL)  # the miss writes the file
    (name,) = os.listdir(store.path)
    path = os.path.join(store.path, name)

    def direct():
        with open(path, "rb") as f:
            return pyarrow.feather.read_feather(f)

    def cached():
        return store.read(SQL)

    pd.testing.assert_frame_equal(cached(), direct())
    best = {"SideStore.read": float("inf"), "read_feather": float("inf")}
    for _ in range(ROUNDS):  # interleaved, best of each
        best["SideStore.read"] = min(best["SideStore.read"], timed(cached))
        best["read_feather"] = min(best["read_feather"], timed(direct))
    ratio = best["SideStore.read"] / best["read_feather"]
    print(f"{'case':<16}{'per read (ms)':>15}")
    for case, seconds in best.items():
        print(f"{case:<16}{seconds * 1e3:>15.2f}")
    print(f"ratio {ratio:.3f}x (target <= {TARGET:.1f}x): {'ok' if ratio <= TARGET else 'MISSED'}")


if __name__ == "__main__":
    main()
