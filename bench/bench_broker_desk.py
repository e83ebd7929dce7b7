"""Record conversion speed of broker_desk against a plain Python floor.

Run: PYTHONPATH=src python bench/bench_broker_desk.py

Converts 10,000 positions (`positions`) and 10,000 broker orders (the
conversion of `secondary_orders`, without its limiter) from a prepared answer,
and compares each with the floor: the same NameDicts built in a plain Python
loop from values already converted. Target: at most 1.5x the floor, and 2.0x
for broker orders whose timestamps are all new (boxed by pandas in one call).
Repetitions are interleaved; the best of each (thread CPU time) is reported. The broker-order
run reports the steady state (timestamps seen before, as when an account is
polled) and, separately, the first sight of every timestamp text.
"""

import datetime
import random
import re
import time

import pandas as pd

from zentaro.mod.tradeapi.api import broker_desk
from zentaro.mod.tradeapi.sdk.utils import NameDict

N = 10_000
REPEATS = 25
PREFIXES = ["600", "601", "688", "000", "002", "300", "510", "830", "430", "200", "010"]


class PreparedClient:
    def __init__(self):
        self.answer = None

    def call_rpc_json(self, request):
        if request["ReqType"] == 594177:
            return {
                "result": {"Accounts": [{"AccountID": "1", "TradeType": "0", "fund_token": "t"}]}
            }
        return self.answer


def position_rows(rng):
    rows = []
    for i in range(N):
        cost = round(rng.uniform(2, 200), 3)
        rows.append(
            {
                "SecurityID": f"{PREFIXES[i % len(PREFIXES)]}{i // len(PREFIXES):03d}",
                "SecurityName": f"证券{i}",
                "ActualAmt": rng.randrange(100, 100_000, 100),
                "FrozenQty": 0,
                "AvailableStockBalance": 100,
                "MarketValue": rng.uniform(1e3, 1e6),
                "CostPrice": cost,
                "MarketPrice": round(cost * rng.uniform(0.8, 1.2), 3),
                "NetMoney": 0,
            }
        )
    return rows


def order_rows(rng, day):
    rows = []
    for i in range(N):
        seconds = 9 * 3600 + 30 * 60 + rng.randrange(4 * 3600)
        rows.append(
            {
                "SecurityID": f"{PREFIXES[i % len(PREFIXES)]}{i % 1000:03d}",
                "SecurityName": f"证券{i}",
                "OrderID": str(i),
                "OrderQty": 100 * (i % 50 + 1),
                "Side": i % 2,
                "OrderPrice": 10.5,
                "OrderTypeMsg": "限价",
                "OrderDate": day,
                "OrderTime": f"{seconds // 3600:02d}:{seconds // 60 % 60:02d}:{seconds % 60:02d}",
                "OrderStatusMsg": "已成",
                "TradeVolume": 100,
                "AvgPx": 10.5,
            }
        )
    return rows


def converted_positions(api):
    return [tuple(rec.values()) for rec in api.positions.values()]


def floor_positions(values):
    out = {}
    for s, n, a, fa, aa, mv, cb, lp, pnl, pr in values:
        out[s] = NameDict(
            {
                "symbol": s,
                "name": n,
                "amount": a,
                "frozen_amount": fa,
                "available_amount": aa,
                "market_value": mv,
                "cost_basis": cb,
                "last_price": lp,
                "pnl": pnl,
                "profit_rate": pr,
            }
        )
    return out


def floor_orders(values):
    out = []
    for s, n, oid, a, side, p, pt, dt, st, ta, tp in values:
        out.append(
            NameDict(
                {
                    "symbol": s,
                    "name": n,
                    "secondary_order_id": oid,
                    "amount": a,
                    "side": side,
                    "price": p,
                    "price_type": pt,
                    "datetime": dt,
                    "status": st,
                    "trade_amount": ta,
                    "trade_price": tp,
                }
            )
        )
    return out


def best(fn, *args):
    # CPU time of this thread: other processes on a shared machine do not count.
    start = time.thread_time()
    fn(*args)
    return time.thread_time() - start


def run_conversions():
    rng = random.Random(7)
    client = PreparedClient()
    broker_desk.TraderRPC._instance = client
    api = broker_desk.TradeAPI("1")
    positions_answer = {"result": {"Array": position_rows(rng)}, "id": 1}
    orders_answer = {"result": {"Array": order_rows(rng, "20240105")}, "id": 2}
    convert_orders = broker_desk.TradeAPI.secondary_orders.__wrapped__

    client.answer = positions_answer
    pos_values = converted_positions(api)
    client.answer = orders_answer
    order_values = [tuple(r.values()) for r in convert_orders(api)]

    times = {k: [] for k in ("positions", "floor_p", "orders", "floor_o", "orders_cold")}
    day = datetime.date(2000, 1, 3)
    for _ in range(REPEATS):
        client.answer = positions_answer
        times["positions"].append(best(lambda: api.positions))
        times["floor_p"].append(best(floor_positions, pos_values))
        client.answer = orders_answer
        times["orders"].append(best(convert_orders, api))
        times["floor_o"].append(best(floor_orders, order_values))
        day += datetime.timedelta(days=1)  # texts never seen before
        client.answer = {"result": {"Array": order_rows(rng, day.strftime("%Y%m%d"))}, "id": 3}
        times["orders_cold"].append(best(convert_orders, api))
    return {k: min(v) for k, v in times.items()}


def per_call(fn, arg, number=200_000):
    start = time.thread_time()
    for _ in range(number):
        fn(arg)
    return (time.thread_time() - start) / number


def python_table(table):
    def lookup(symbol):
        for pattern, value in table.items():
            if re.match(pattern, symbol):
                return value
        return None

    return lookup


def run_symbol_rule():
    market = broker_desk.MARKET
    rows = []
    for label, native, table, text in (
        ("revert (3 patterns)", market.revert, market.re_revert, "300750"),
        ("convert (5 patterns)", market.convert, market.re_convert, "830799.BJ"),
    ):
        reference = python_table(table)
        n = min(per_call(native, text) for _ in range(3))
        r = min(per_call(reference, text) for _ in range(3))
        rows.append((label, n, r))
    return rows


def main():
    pd.Timestamp("2024-01-05 09:30:15")  # pandas warm-up
    t = run_conversions()
    print(f"Conversion of {N:,} records (best of {REPEATS} interleaved runs)")
    print("{:<34}{:>10}{:>10}{:>8}{:>8}".format("subject", "module", "floor", "ratio", "target"))
    for label, key, floor, target in (
        ("positions", "positions", "floor_p", "1.5x"),
        ("broker orders, steady state", "orders", "floor_o", "1.5x"),
        ("broker orders, first sight", "orders_cold", "floor_o", "2.0x"),
    ):
        print(
            f"{label:<34}{t[key] * 1e3:>8.1f}ms{t[floor] * 1e3:>8.1f}ms{t[key] / t[floor]:>7.2f}x{target:>7}"
        )
    print()
    print("Symbol rule per record: native vs re.match over the table")
    print("{:<24}{:>12}{:>12}{:>10}".format("table", "native", "re.match", "speed-up"))
    for label, n, r in run_symbol_rule():
        print(f"{label:<24}{n * 1e9:>10.0f}ns{r * 1e9:>10.0f}ns{r / n:>9.1f}x")


if __name__ == "__main__":
    main()
