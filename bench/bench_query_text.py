"""Building and rendering a query of 5 fields and 8 conditions, against the
same text produced by one plain-Python f-string.

Run: PYTHONPATH=src python bench/bench_query_text.py
"""

import timeit

from zentaro.mod.kelvo.research.normal_query.query_text import (
    StrQuery,
    balance,
    income,
    valuation,
)

TARGET = 4.0
NUMBER = 20_000
ROUNDS = 15


def build_query():
    q = StrQuery(valuation.symbol, valuation.pe, valuation.pb, income.eps, balance.total_assets)
    q.filter(
        valuation.pe > 10,
        valuation.pe < 50,
        valuation.pb >= 1.5,
        valuation.symbol.in_(["a", "b"]),
        income.eps != 0,
        balance.total_assets <= 1e9,
        valuation.symbol == "abc",
        valuation.flag.is_(None),
    )
    return str(q.limit(20))


V, INC, BAL = "valuation", "income", "balance"
SYMBOL, PE, PB, EPS, TOTAL, FLAG = "symbol", "pe", "pb", "eps", "total_assets", "flag"
V1, V2, V3, V4, V5, V6, V7, V8, N = 10, 50, 1.5, ["a", "b"], 0, 1e9, "abc", None, 20


def f_string():
    return (
        f"query({V}.{SYMBOL}, {V}.{PE}, {V}.{PB}, {INC}.{EPS}, {BAL}.{TOTAL})"
        f".filter({V}.{PE}>{V1}, {V}.{PE}<{V2}, {V}.{PB}>={V3}, {V}.{SYMBOL}.in_({V4}), "
        f"{INC}.{EPS}!={V5}, {BAL}.{TOTAL}<={V6}, {V}.{SYMBOL}=={V7!r}, {V}.{FLAG}.is_({V8}))"
        f".limit({N})"
    )


def main():
    assert build_query() == f_string(), (build_query(), f_string())
    best = {"query": float("inf"), "f-string": float("inf")}
    for _ in range(ROUNDS):  # interleaved, best of each
        for name, fn in (("query", build_query), ("f-string", f_string)):
            best[name] = min(best[name], timeit.timeit(fn, number=NUMBER) / NUMBER)
    ratio = best["query"] / best["f-string"]
    print(f"{'case':<12}{'per call (us)':>16}")
    print(f"{'query':<12}{best['query'] * 1e6:>16.2f}")
    print(f"{'f-string':<12}{best['f-string'] * 1e6:>16.2f}")
    print(f"ratio {ratio:.2f}x (target <= {TARGET:.1f}x): {'ok' if ratio <= TARGET else 'MISSED'}")


if __name__ == "__main__":
    main()
