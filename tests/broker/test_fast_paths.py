"""The conversions' shortcuts (exchange table taken once per call, symbols and
timestamps cached, plain-number gains computed in double, rounding without
decimal text) against the rule written plainly in Python."""

import gc
import math
import re
import struct
import sys
import traceback
from decimal import Decimal
from fractions import Fraction

import pandas as pd
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from shared.broker import (
    ORDERS,
    POSITIONS,
    answering,
    broker_order,
    orders_unlimited,
    position,
)
from shared.fuzz import examples
from zentaro.mod.tradeapi.api import broker_desk as bd
from zentaro.utils.exception import TradeException

# ---- the rule, plainly ----


def plain_symbol(code, table=None):
    market = None
    for pattern, value in (table or bd.MARKET.re_revert).items():
        if re.match(pattern, code):
            market = value
            break
    return "{}{}".format(code, ".%s" % market if market else "")  # noqa: UP031 - the rule's text


def plain_position(item):
    cost = item["CostPrice"]
    return {
        "symbol": plain_symbol(item["SecurityID"]),
        "name": item["SecurityName"],
        "amount": item["ActualAmt"],
        "frozen_amount": item["FrozenQty"],
        "available_amount": item["AvailableStockBalance"],
        "market_value": item["MarketValue"],
        "cost_basis": cost,
        "last_price": item["MarketPrice"],
        "pnl": round(
            item.get("NetMoney") or (item["MarketPrice"] - item["CostPrice"]) * item["ActualAmt"], 4
        ),
        "profit_rate": (
            round((item["MarketPrice"] - item["CostPrice"]) / item["CostPrice"], 4)
            if item["CostPrice"]
            else None
        ),
    }


def exact(value):
    return type(value), repr(value)


def outcome(fn):
    """What a conversion gives: its values, or the error as a traceback ends."""
    try:
        result = fn()
    except TradeException as e:  # carries the traceback of what failed inside
        return "error", str(e).rstrip("\n")
    except Exception as e:  # the plain rule's error, to compare with
        return "error", "".join(traceback.format_exception_only(e)).rstrip("\n")
    return "ok", result


def assert_same_failure(got, expected):
    assert got[0] == "error" and got[1].endswith("\n" + expected[1])


# ---- symbols ----

ALPHABET = "0123456789.\n x٣０൬𝟘aSHZ"
codes = st.one_of(
    st.builds(
        lambda p, body: p + body,
        st.sampled_from(["", "00", "12", "30", "60", "688", "689", "5", "4", "8", "9", "10", "2"]),
        st.text(alphabet=ALPHABET, max_size=8),
    ),
    st.text(alphabet="0123456789", min_size=20, max_size=30),  # past the cached length
    st.text(max_size=10),
)


def order(code, date="20240105", time="09:30:15"):
    return broker_order(SecurityID=code, OrderDate=date, OrderTime=time)


@settings(max_examples=examples(300), deadline=None)
@given(st.lists(codes, min_size=1, max_size=6))
@example(["600000", "600000\n", "600000", "６00000", "60", "900001", "200001"])
def test_symbols_are_the_rule_on_every_call(batch):
    expected = {plain_symbol(code): code for code in batch}
    for _ in range(2):  # the second call meets its own cached symbols
        with answering([position(code) for code in batch], POSITIONS) as api:
            assert list(api.positions) == list(expected)
        with answering([order(code) for code in batch], ORDERS) as api:
            assert [r.symbol for r in orders_unlimited(api)] == [plain_symbol(c) for c in batch]


@pytest.mark.parametrize(
    "table",
    [
        {
            r"^(00|12|30|15|16|17|18)\d+$": "ZZ",
            r"^(11|60|688|689|5)\d+$": "SH",
            r"^(4|8|9)\d+$": "BJ",
        },  # our patterns, another value
        {r"^(4|8|9)\d+$": "BJ", r"^(11|60|688|689|5)\d+$": "S"},  # ours, other order and values
        {r"^(11|60|688|689|5)\d+$": ""},  # an empty suffix is no suffix
        {r"^6\d+$": "X", r"^(11|60|688|689|5)\d+$": "SH"},  # not ours: through re.match
    ],
)
def test_a_replaced_table_is_honoured_after_cached_symbols(monkeypatch, table):
    batch = ["600000", "000001", "830799", "200002"]
    with answering([position(code) for code in batch], POSITIONS) as api:
        api.positions  # fills the cache under the module's own table
        monkeypatch.setattr(bd.MARKET, "re_revert", table)
        assert list(api.positions) == [plain_symbol(code, table) for code in batch]
        monkeypatch.undo()
        assert list(api.positions) == [plain_symbol(code) for code in batch]


def test_more_codes_than_the_cache_holds():
    batch = [f"60{i:06d}" for i in range(40_000)]
    for _ in range(2):
        with answering([position(code) for code in batch], POSITIONS) as api:
            result = api.positions
        assert len(result) == len(batch) and result["60039999.SH"].symbol == "60039999.SH"


def converted_blocks_kept(rows_of, batches, req_type):
    """Python memory blocks still held after converting each batch and dropping
    every result: what the module's own caches keep."""

    def convert(rows):
        with answering(rows, req_type) as api:
            api.positions if req_type == POSITIONS else orders_unlimited(api)

    convert(rows_of(batches[0]))  # fills the cache past its limit once
    gc.collect()
    before = sys.getallocatedblocks()
    for batch in batches[1:]:
        convert(rows_of(batch))
    gc.collect()
    return sys.getallocatedblocks() - before


def seconds(start, stop):
    return [f"{s // 3600:02d}:{s // 60 % 60:02d}:{s % 60:02d}" for s in range(start, stop)]


@pytest.mark.parametrize(
    "rows_of, batches, req_type",
    [
        (
            lambda codes: [position(code) for code in codes],
            [[f"60{i:07d}" for i in range(k, k + 40_000)] for k in range(0, 160_000, 40_000)],
            POSITIONS,
        ),
        (
            lambda times: [order("600000", day, t) for day, t in times],
            [[(day, t) for t in seconds(0, 40_000)] for day in ("20240105", "20240108")]
            + [[(day, t) for t in seconds(40_000, 80_000)] for day in ("20240105", "20240108")],
            ORDERS,
        ),
    ],
    ids=["symbols", "timestamps"],
)
def test_the_conversion_caches_stay_bounded(rows_of, batches, req_type):
    # 160,000 distinct texts go through a cache whose positions are 16-bit: it
    # must start afresh when full, never keep everything (past 65,535 entries
    # its positions would wrap and every later entry be lost to lookups).
    if not sys.getallocatedblocks():
        pytest.skip("the allocator in use (the sanitizers' malloc) counts no blocks")
    kept = converted_blocks_kept(rows_of, batches, req_type)
    assert kept < 60_000, f"{kept} blocks kept after 120,000 distinct texts"


# ---- timestamps ----

date_texts = st.one_of(
    st.sampled_from(["20240105", "2024-01-05", "", "2024010", "２０２４0105", "20241301", "0"]),
    st.text(alphabet="0123456789-", min_size=8, max_size=10),
)
time_texts = st.one_of(
    st.sampled_from(["09:30:15", "093015", "9:30:15", "09:30:15\n", "23:59:60", "09:30", ""]),
    st.text(alphabet="0123456789:", min_size=6, max_size=8),
)


def plain_time(date, time):
    return pd.Timestamp("{}{}{}".format(date, date and " ", time))


@settings(max_examples=examples(300), deadline=None)
@given(date_texts, time_texts)
@example("20240105", "09:30:15")
@example("2024-01-05", "09:30:15")
@example("20240105", "093015")
@example("20240105", "99:99:99")
def test_timestamps_are_pandas_reading_on_every_call(date, time):
    expected = outcome(lambda: plain_time(date, time))
    for _ in range(2):  # the second call meets its own cached timestamp
        with answering([order("600000", date, time)], ORDERS) as api:
            got = outcome(lambda: orders_unlimited(api)[0].datetime)
        if expected[0] == "ok":
            assert got[0] == "ok" and exact(got[1]) == exact(expected[1])
            assert getattr(got[1], "unit", None) == getattr(expected[1], "unit", None)
        else:
            assert_same_failure(got, expected)


def test_more_times_than_the_cache_holds():
    times = [f"{s // 3600:02d}:{s // 60 % 60:02d}:{s % 60:02d}" for s in range(0, 86_400, 2)]
    rows = [order("600000", "20240105", t) for t in times]
    for _ in range(2):
        with answering(rows, ORDERS) as api:
            got = [r.datetime for r in orders_unlimited(api)]
        assert got[0] == pd.Timestamp("2024-01-05 00:00:00")
        assert got[-1] == pd.Timestamp("2024-01-05 23:59:58") and len(got) == len(times)


# ---- gains and rounding ----

numbers = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-(10**6), 10**6),
    st.integers(-(2**70), 2**70),
    st.sampled_from(
        [
            2**53,
            2**53 + 1,
            -(2**53) - 1,
            0,
            0.0,
            -0.0,
            math.inf,
            -math.inf,
            math.nan,
            Decimal("1.5"),
            Fraction(1, 3),
            "1",
        ]
    ),
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(-1e6, 1e6),
)


@settings(max_examples=examples(500), deadline=None)
@given(numbers, numbers, numbers, st.one_of(st.just("absent"), numbers))
@example(10.5, 10, 200, "absent")
@example(10.5, 10.0, 2**53 + 1, 0)
@example(3, 4, 7, None)
@example(1.5, 0.0, 2**80, 0.0)
def test_positions_are_the_rule_for_any_numbers(last, cost, amount, net):
    row = position("600000", MarketPrice=last, CostPrice=cost, ActualAmt=amount)
    if net != "absent":
        row["NetMoney"] = net
    expected = outcome(lambda: plain_position(row))
    with answering([row], POSITIONS) as api:
        got = outcome(lambda: dict(api.positions["600000.SH"]))
    if expected[0] == "ok":
        assert got[0] == "ok"
        assert [(k, exact(v)) for k, v in got[1].items()] == [
            (k, exact(v)) for k, v in expected[1].items()
        ]
    else:
        assert_same_failure(got, expected)


def record_changed_by_its_price():
    row = position("600000", ActualAmt=200, NetMoney=None)

    class Price:
        """A price whose subtraction changes the record, as user code may."""

        calls = 0

        def __sub__(self, other):
            Price.calls += 1
            row["ActualAmt"] = 3 * Price.calls
            row["CostPrice"] = 2.0 * Price.calls
            return 1.0

    row["MarketPrice"] = Price()
    return row


def test_values_that_run_code_are_read_again_as_the_rule_reads_them():
    expected = plain_position(record_changed_by_its_price())
    with answering([record_changed_by_its_price()], POSITIONS) as api:
        rec = api.positions["600000.SH"]
    assert rec.amount == 200 and rec.cost_basis == 10.0  # read before the change
    assert (rec.pnl, rec.profit_rate) == (expected["pnl"], expected["profit_rate"]) == (3.0, 0.25)


def test_a_replaced_round_is_followed_by_the_rules_reads(monkeypatch):
    row = position("600000", NetMoney=None, CostPrice=10.0, MarketPrice=12.0, ActualAmt=100)

    def changing_round(value, digits):
        row["CostPrice"] = 5.0
        return ("rounded", value, digits)

    monkeypatch.setattr(bd, "round", changing_round, raising=False)
    with answering([row], POSITIONS) as api:
        rec = api.positions["600000.SH"]
    assert rec.cost_basis == 10.0 and rec.pnl == ("rounded", 200.0, 4)
    assert rec.profit_rate == ("rounded", 1.4, 4)  # CostPrice read after the first round


def float_from_bits(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def near_ties():
    """Floats within a few units in the last place of a half of 0.0001."""

    def around(k, offset, scale):
        x = (k + 0.5) * scale
        for _ in range(abs(offset)):
            x = math.nextafter(x, math.inf if offset > 0 else -math.inf)
        return x

    return st.builds(
        around,
        st.integers(-(10**12), 10**12),
        st.integers(-6, 6),
        st.sampled_from([1e-4, 0.0001, 1 / 10_000]),
    )


@settings(max_examples=examples(1000), deadline=None)
@given(
    st.one_of(
        near_ties(),
        st.floats(allow_nan=False, allow_infinity=False),
        st.integers(0, 2**64 - 1).map(float_from_bits),
        st.floats(-(2.0**40) / 1e4 * 1.01, 2.0**40 / 1e4 * 1.01),
    )
)
@example(0.00015)
@example(1.00005)
@example(2.675)
@example(5e-324)
def test_rounding_is_pythons_round_near_ties(x):
    row = position("600000", NetMoney=x, CostPrice=0)
    with answering([row], POSITIONS) as api:
        pnl = api.positions["600000.SH"].pnl
    if x:
        assert exact(pnl) == exact(round(x, 4))
