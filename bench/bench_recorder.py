"""Recorder and result-stream speed against the work that cannot be avoided.

    python bench/bench_recorder.py

(a) log.info with two arguments vs. the plain-Python floor (time read, join, sink call);
(b) in_log.info of a record vs. the floor (time read, sink call);
(c) the result stream's share of a 250-day back-test with 20 trades a day.
"""

import datetime
import statistics
import time

import corvane
from corvane.api import order_shares
from corvane.environment import Environment
from zentaro.mod.kelvo.utils import recorder

REPEATS = 60
CALLS = 2000


class NoOp:
    def info(self, message):
        pass

    warn = error = info


def timed_batch(fn, *args):
    start = time.perf_counter()
    for _ in range(CALLS):
        fn(*args)
    return (time.perf_counter() - start) / CALLS


def compare(kit, floor, args, reset=None):
    kit_times, floor_times = [], []
    for round_no in range(REPEATS):  # interleaved, so drift hits both sides alike
        if reset:
            reset()
        # Alternate which side goes first: neither always inherits the other's warm caches.
        if round_no % 2:
            floor_times.append(timed_batch(floor, *args))
            kit_times.append(timed_batch(kit, *args))
        else:
            kit_times.append(timed_batch(kit, *args))
            floor_times.append(timed_batch(floor, *args))
    return min(kit_times), min(floor_times)


def bench_log_info(noop):
    def floor(*args):
        getattr(Environment._env, "trading_dt", None)
        noop.info(" ".join(map(str, args)))

    def reset():
        recorder.log.log_num = 0  # stay under the line limit: every call writes

    return compare(recorder.log.info, floor, ("bought", 600000), reset)


def bench_in_log_info(noop):
    record = {"progress": 0.5, "portfolio_value": 1e6, "ending_cash": 2e5, "pnl": 12.5}

    def floor(message):
        getattr(Environment._env, "calendar_dt", None)
        noop.info(message)

    return compare(recorder.in_log.info, floor, (record,))


SYMBOLS = ("000001.SZ", "600000.SH", "600519.SH", "300750.SZ")


def twenty_trades(context, bars):
    for i in range(10):
        symbol = SYMBOLS[i % 4]
        order_shares(symbol, 100)
        order_shares(symbol, -100)


def backtest_seconds(stream_on):
    config = {
        "base": {"start_date": "2023-01-01", "end_date": "2023-12-31", "capital_base": 1e8},
        "mod": {"kelvo": {"enabled": True, "enable_stream_sink": stream_on}},
    }
    start = time.perf_counter()
    result = corvane.run(config, {"handle_bar": twenty_trades})
    assert result["trading_days"] == 250
    return time.perf_counter() - start


def bench_backtest():
    on, off = [], []
    for _ in range(5):
        on.append(backtest_seconds(True))
        off.append(backtest_seconds(False))
    return statistics.median(on), statistics.median(off)


def main():
    noop = NoOp()
    recorder.user_normal_log = noop
    env = Environment({})
    env.trading_dt = env.calendar_dt = datetime.datetime(2023, 6, 1, 15)

    rows = []
    for name, (kit, floor) in [
        ("(a) log.info, 2 args", bench_log_info(noop)),
        ("(b) in_log.info, record", bench_in_log_info(noop)),
    ]:
        rows.append(
            (
                name,
                f"{kit * 1e9:8.0f} ns",
                f"{floor * 1e9:8.0f} ns",
                f"{kit / floor:5.2f}x",
                "<= 1.50x",
            )
        )

    on, off = bench_backtest()
    share = (on - off) / on
    rows.append(
        (
            "(c) 250-day run, 20 trades/day",
            f"{on * 1e3:8.1f} ms",
            f"{off * 1e3:8.1f} ms",
            f"{share:6.1%}",
            "sink share (report)",
        )
    )

    header = ("case", "kit / stream on", "floor / stream off", "ratio", "target")
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(5)]
    for row in [header] + rows:
        print("  ".join(str(cell).ljust(w) for cell, w in zip(row, widths, strict=True)))


if __name__ == "__main__":
    main()
