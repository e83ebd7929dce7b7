"""Fresh timestamps of a whole order or trade list, read without pandas and
boxed by it in one call: the same Timestamp as pd.Timestamp of the rule's
text (type, value, unit, repr, hash), the same failure for texts pandas
refuses, one object per text, and the rule's own per-record calls whenever
pd.Timestamp or NameDict is not the genuine one."""

import traceback

import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from shared.broker import ORDER_FIELDS, ORDERS, TRADES, answering, orders_unlimited
from zentaro.mod.tradeapi.api import broker_desk as bd
from zentaro.utils.exception import TradeException


def order(date, time, i=0):
    return {
        "SecurityID": "600000",
        "SecurityName": "名",
        "OrderID": str(i),
        "OrderQty": 100,
        "Side": 0,
        "OrderPrice": 1.0,
        "OrderTypeMsg": "限价",
        "OrderDate": date,
        "OrderTime": time,
        "TradeVolume": 0,
        "AvgPx": 0.0,
    }


def trade(date, time):
    row = {
        "SecurityID": "000001",
        "SecurityName": "名",
        "OrderID": "7",
        "TradeVolume": 100,
        "Side": 1,
        "AvgPx": 9.5,
        "TransactTime": time,
        "Commission": 0.1,
    }
    if date is not None:
        row["SettleDate"] = date
    return row


def stamp_identity(ts):
    return type(ts), ts.value, ts.unit, repr(ts), hash(ts)


def rule_outcome(pairs):
    """The rule per record: every timestamp, or the first record's error."""
    try:
        return "ok", [pd.Timestamp("{}{}{}".format(d, d and " ", t)) for d, t in pairs]
    except Exception as e:
        return "error", "".join(traceback.format_exception_only(e)).rstrip("\n")


# Dates and times around the edges of what is read without pandas: the
# years it reads, month and day limits, leap days, the last second of a day.
years = st.sampled_from([1899, 1900, 1970, 2000, 2023, 2024, 2100, 2199, 2200])
months = st.integers(0, 13)
days = st.sampled_from([0, 1, 28, 29, 30, 31, 32])
hours = st.sampled_from([0, 9, 23, 24])
minutes = st.sampled_from([0, 30, 59, 60])
seconds = st.sampled_from([0, 15, 59, 60])


@st.composite
def date_time(draw):
    y, mo, d = draw(years), draw(months), draw(days)
    h, mi, s = draw(hours), draw(minutes), draw(seconds)
    date = draw(st.sampled_from([f"{y:04d}{mo:02d}{d:02d}", f"{y:04d}-{mo:02d}-{d:02d}"]))
    time = draw(st.sampled_from([f"{h:02d}:{mi:02d}:{s:02d}", f"{h:02d}{mi:02d}{s:02d}"]))
    return date, time


@settings(max_examples=150, deadline=None, derandomize=True)
@given(st.lists(date_time(), min_size=1, max_size=12), st.booleans())
def test_lists_of_times_read_as_pandas_reads_each(pairs, twice):
    expected = rule_outcome(pairs)
    rows = [order(d, t, i) for i, (d, t) in enumerate(pairs)]
    for _ in range(2 if twice else 1):  # a second call meets the cached timestamps
        with answering(rows, ORDERS) as api:
            if expected[0] == "ok":
                got = [r.datetime for r in orders_unlimited(api)]
                assert list(map(stamp_identity, got)) == list(map(stamp_identity, expected[1]))
            else:
                with pytest.raises(TradeException) as info:
                    orders_unlimited(api)
                assert str(info.value).rstrip("\n").endswith("\n" + expected[1])


def fresh_day(offset):
    return (pd.Timestamp("2031-03-01") + pd.Timedelta(days=offset)).strftime("%Y%m%d")


def test_one_timestamp_per_text_and_records_in_place():
    day = fresh_day(0)
    times = ["09:30:00", "09:30:01", "09:30:00", "10:00:00", "09:30:01"]
    rows = [order(day, t, i) for i, t in enumerate(times)]
    with answering(rows, ORDERS) as api:
        first = orders_unlimited(api)
        again = orders_unlimited(api)
    assert first[0].datetime is first[2].datetime and first[1].datetime is first[4].datetime
    assert [r.datetime for r in again] == [r.datetime for r in first]
    assert again[3].datetime is first[3].datetime
    # the timestamp sits in its own place among the record's keys
    assert list(first[0]) == ORDER_FIELDS
    assert [r.secondary_order_id for r in first] == ["0", "1", "2", "3", "4"]


def test_trades_mix_fresh_texts_with_the_current_day():
    day = fresh_day(1)
    rows = [trade(day, "14:00:00"), trade(None, "10:15:00"), trade("", "11:00:00")]
    with answering(rows, TRADES) as api:
        got = [r.datetime for r in api.get_tradelogs()]
    today = pd.Timestamp("10:15:00")
    assert got[0] == pd.Timestamp(f"{day} 14:00:00")
    assert got[1] == today and got[2] == pd.Timestamp("11:00:00")


def test_a_bad_text_after_fresh_ones_fails_the_whole_list():
    day = fresh_day(2)
    rows = [order(day, "09:00:00"), order(day, "09:00:01"), order("20240231", "09:00:00")]
    expected = rule_outcome([(r["OrderDate"], r["OrderTime"]) for r in rows])
    with answering(rows, ORDERS) as api, pytest.raises(TradeException) as info:
        orders_unlimited(api)
    assert str(info.value).rstrip("\n").endswith("\n" + expected[1])


class CountingTimestamp(pd.Timestamp):
    texts = []

    def __new__(cls, text, *args, **kwargs):
        cls.texts.append(text)
        return super().__new__(cls, text, *args, **kwargs)


class InitNameDict(dict):
    inits = 0

    def __init__(self, *args, **kwargs):
        type(self).inits += 1
        super().__init__(*args, **kwargs)

    def __getattr__(self, name):
        return self[name]


@pytest.mark.parametrize("replaced", ["timestamp", "namedict"])
def test_replaced_classes_get_the_rules_calls(monkeypatch, replaced):
    day = fresh_day(3 if replaced == "timestamp" else 4)
    times = ["09:30:00", "09:31:00", "09:30:00"]
    rows = [order(day, t, i) for i, t in enumerate(times)]
    expected = [pd.Timestamp(f"{day} {t}") for t in times]
    if replaced == "timestamp":
        monkeypatch.setattr(bd.pd, "Timestamp", CountingTimestamp)
        CountingTimestamp.texts = []
    else:
        monkeypatch.setattr(bd, "NameDict", InitNameDict)
        InitNameDict.inits = 0
    with answering(rows, ORDERS) as api:
        got = orders_unlimited(api)
    assert [r["datetime"] for r in got] == expected
    if replaced == "timestamp":
        assert CountingTimestamp.texts == [f"{day} {t}" for t in times]
    else:
        assert InitNameDict.inits == len(rows) and all(type(r) is InitNameDict for r in got)
        assert all(isinstance(r["datetime"], pd.Timestamp) for r in got)


class NestingRow(dict):
    """A row whose read of its name converts another order list meanwhile."""

    def __getitem__(self, key):
        if key == "SecurityName" and self.nested is not None:
            self.nested, nested = None, self.nested
            self.inner.extend(nested())
        return super().__getitem__(key)


def test_a_list_converted_inside_a_record_keeps_each_lists_times():
    outer_day, inner_day = fresh_day(10), fresh_day(11)
    inner_rows = [order(inner_day, "10:00:00", 7), order(inner_day, "10:00:01", 8)]
    nesting = NestingRow(order(outer_day, "09:30:01", 1))
    outer_rows = [order(outer_day, "09:30:00", 0), nesting, order(outer_day, "09:30:02", 2)]
    answers = iter([outer_rows, inner_rows])
    with answering([], ORDERS) as api:
        bd.TraderRPC._instance.answers[ORDERS] = lambda request: {
            "result": {"Array": next(answers)},
            "id": 1,
        }
        nesting.inner, nesting.nested = [], lambda: orders_unlimited(api)
        outer = orders_unlimited(api)
    assert [r.datetime for r in outer] == [
        pd.Timestamp(f"{outer_day} 09:30:0{i}") for i in range(3)
    ]
    assert [r.datetime for r in nesting.inner] == [
        pd.Timestamp(f"{inner_day} 10:00:0{i}") for i in range(2)
    ]
