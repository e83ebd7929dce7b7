"""Funds, positions, trades, broker orders and order instructions."""

import datetime

import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from ratelimit import RateLimitException

from shared.broker import (
    ORDER_FIELDS,
    POSITIONS,
    TOKEN,
    answer,
    answering,
    broker_order,
    instruction,
    position,
    trade,
)
from shared.fuzz import examples
from zentaro.mod.tradeapi.api import broker_desk as bd
from zentaro.mod.tradeapi.sdk.utils import NameDict
from zentaro.utils.exception import TradeException


def test_portfolio_takes_the_first_funds_record(api, client):
    first = {"AvailableValue": 1, "MarketValue": 2, "TotalAssets": 3, "FrozenValue": 4, "X": 0}
    client.answers[1201] = answer([first, dict(first, AvailableValue=9)])
    funds = api.portfolio
    assert type(funds) is NameDict and funds.available_cash == 1
    assert list(funds.items()) == [
        ("available_cash", 1),
        ("market_value", 2),
        ("total_value", 3),
        ("frozen_cash", 4),
    ]


def test_positions_record(api, client):
    client.answers[1202] = answer([position(NetMoney=None)])
    result = api.positions
    assert type(result) is dict and list(result) == ["600000.SH"]
    rec = result["600000.SH"]
    assert type(rec) is NameDict
    assert list(rec.items()) == [
        ("symbol", "600000.SH"),
        ("name", "名"),
        ("amount", 200),
        ("frozen_amount", 0),
        ("available_amount", 200),
        ("market_value", 2100.0),
        ("cost_basis", 10),
        ("last_price", 10.5),
        ("pnl", 100.0),
        ("profit_rate", 0.05),
    ]
    assert client.snapshots[-1] == {
        "ReqType": 1202,
        "method": "stockqmx",
        "params": {"FunID": 500015, "fund_token": TOKEN},
    }


@pytest.mark.parametrize(
    "row, pnl, rate",
    [
        (position(NetMoney=0), 100.0, 0.05),
        (position(NetMoney=12.34567), 12.3457, 0.05),
        (position(CostPrice=0, MarketPrice=10.5, NetMoney=0), 2100.0, None),
        (position(CostPrice=3, MarketPrice=4, ActualAmt=7), 7, 0.3333),
        (position(NetMoney=5), 5, 0.05),
    ],
)
def test_pnl_and_profit_rate(api, client, row, pnl, rate):
    client.answers[1202] = answer([row])
    rec = api.positions["600000.SH"]
    assert rec.pnl == pnl and type(rec.pnl) is type(pnl)
    assert rec.profit_rate == rate


@settings(max_examples=examples(300), deadline=None)
@given(
    st.floats(allow_nan=False, allow_infinity=False, min_value=-1e12, max_value=1e12)
    | st.sampled_from([0.03125, -0.03125, 2.00005, 1e-5, -1e-5, 0.00015, 1.23455]),
    st.floats(min_value=0.01, max_value=5000, allow_nan=False),
)
def test_rounding_is_pythons_round(net, cost):
    row = position(NetMoney=net, CostPrice=cost, MarketPrice=cost * 1.37)
    with answering([row], POSITIONS) as api:
        rec = api.positions["600000.SH"]
    expected = round(net, 4) if net else round((cost * 1.37 - cost) * 200, 4)
    assert repr(rec.pnl) == repr(expected)
    assert repr(rec.profit_rate) == repr(round((cost * 1.37 - cost) / cost, 4))


def test_positions_duplicates_and_unknown_codes(api, client):
    client.answers[1202] = answer(
        [position("600000", ActualAmt=1), position("200002"), position("600000", ActualAmt=2)]
    )
    result = api.positions
    assert list(result) == ["600000.SH", "200002"]
    assert result["600000.SH"].amount == 2 and result["200002"].symbol == "200002"


@pytest.mark.parametrize("result, expected", [({"Array": []}, {}), ({"other": 1}, {})])
def test_positions_empty(api, client, log, result, expected):
    client.answers[1202] = {"result": result}
    assert api.positions == expected
    assert [line[1] for line in log.lines] == ["positions_success"]


@pytest.mark.parametrize(
    "row",
    [
        position(MarketPrice=None),
        position(SecurityID=600000),
        {"SecurityID": "600000"},
    ],
)
def test_positions_bad_record_returns_nothing(api, client, log, row):
    client.answers[1202] = answer([position("000001"), row])
    with pytest.raises(TradeException) as info:
        api.positions
    assert str(info.value).startswith("账号持仓查询失败: Traceback")
    assert [line[1] for line in log.lines] == ["positions_success", "positions_fail"]


def test_trades(api, client, log):
    client.answers[1203] = answer([trade(), trade(SettleDate=None, Side=2)])
    client.answers[1203]["result"]["Array"][1].pop("SettleDate")
    first, second = api.get_tradelogs()
    assert list(first.items()) == [
        ("symbol", "000001.SZ"),
        ("name", "平安银行"),
        ("secondary_order_id", "o1"),
        ("amount", 100),
        ("side", "SALE"),
        ("trade_price", 10.2),
        ("datetime", pd.Timestamp("2024-01-05 09:31:02")),
        ("commission", 5.0),
    ]
    today = pd.Timestamp(datetime.date.today())
    assert second.datetime == today + pd.Timedelta("09:31:02") and second.side == 2
    assert client.snapshots[-1]["params"] == {"FunID": 500014, "fund_token": TOKEN}
    assert log.lines[-1][1] == "tradelogs_success"


def test_trade_with_none_date_fails(api, client):
    client.answers[1203] = answer([trade(SettleDate=None)])
    with pytest.raises(TradeException) as info:
        api.get_tradelogs()
    assert str(info.value).startswith("账号成交查询失败: ")


def test_broker_orders(api, client):
    row = broker_order()
    bare = broker_order(OrderDate="", OrderID="o9")
    del bare["OrderStatusMsg"]
    client.answers[1204] = answer([row, bare])
    first, second = api.secondary_orders()
    assert list(first) == ORDER_FIELDS
    assert first.symbol == "830799.BJ" and first.side == "BUY" and first.price_type == "限价"
    assert first.datetime == pd.Timestamp("2024-01-05 10:00:00") and first.status == "已报"
    assert second.status is None
    assert second.datetime == pd.Timestamp(datetime.date.today()) + pd.Timedelta("10:00:00")
    assert client.snapshots[-1]["params"] == {"FunID": 500013, "fund_token": TOKEN}


@pytest.mark.parametrize(
    "method, req, prefix",
    [("get_tradelogs", 1203, "账号成交查询失败"), ("secondary_orders", 1204, "账号委托查询失败")],
)
def test_empty_result_mapping_fails(api, client, clock, method, req, prefix):
    client.answers[req] = {"result": {}, "id": 5}
    with pytest.raises(TradeException) as info:
        getattr(api, method)()
    assert str(info.value).rstrip().endswith(prefix + "(5): 参数输入有误")
    client.answers[req] = {"result": {"Array": []}}
    clock.now += 3.01
    assert getattr(api, method)() == []


def test_the_rate_limit_is_shared_and_consumes_its_keywords(client, log, clock):
    client.answers[1204] = answer([broker_order()])
    first, second = bd.TradeAPI("80001234"), bd.TradeAPI("80001234")
    assert len(first.secondary_orders()) == 1
    before = len(client.sent)
    with pytest.raises(RateLimitException) as info:
        second.secondary_orders()
    assert str(info.value) == "该查询函数使用最小间隔为3秒，请稍后重试。"
    assert second._account_token is None and len(client.sent) == before
    assert second.secondary_orders(raise_on_limit=False) is None
    # the setting belongs to that call alone: the next default call is refused again
    with pytest.raises(RateLimitException):
        second.secondary_orders()
    clock.now += 3.01
    assert len(second.secondary_orders()) == 1


def test_sleep_on_limit_waits_then_runs(api, client, clock, monkeypatch):
    import ratelimit.decorators

    monkeypatch.setattr(ratelimit.decorators.time, "sleep", clock.sleep)
    client.answers[1204] = answer([broker_order()])
    api.secondary_orders()
    start = clock.now
    assert len(api.secondary_orders(sleep_on_limit=True)) == 1
    assert clock.now - start == pytest.approx(3.0)


def test_rate_limit_decorator_on_a_method():
    seen = []

    class Thing:
        @bd.rate_limit(calls=2, period=60, raise_message="slow down")
        def ping(self, *args, **kwargs):
            """Ping."""
            seen.append((args, kwargs))
            return "pong"

    thing = Thing()
    assert Thing.ping.__name__ == "ping" and Thing.ping.__doc__ == "Ping."
    assert thing.ping(1, x=2, raise_on_limit=True) == "pong"
    assert thing.ping(sleep_on_limit=False) == "pong"
    with pytest.raises(RateLimitException, match="slow down"):
        thing.ping()
    assert seen == [((1,), {"x": 2}), ((), {})]


def test_get_orders_request_and_filter(api, client, log):
    client.answers[151553] = answer(
        [
            instruction(),
            instruction(fund_token="other"),
            instruction(pricetype=3, side=2, instructionid="I2"),
        ],
        key="orders",
    )
    first, second = api.get_orders()
    assert client.snapshots[-1] == {
        "ReqType": 151553,
        "method": "new_instmanage",
        "params": {"action": "query", "instructionid": None, "fund_token": TOKEN, "type": 1},
    }
    assert list(first.items()) == [
        ("symbol", "510300.SH"),
        ("order_id", "I1"),
        ("secondary_order_id", "o3"),
        ("amount", 1000),
        ("side", "BUY"),
        ("price", 3.9),
        ("price_type", "限价单"),
        ("datetime", pd.Timestamp("2024-01-05 14:00:00")),
        ("status", "已成"),
        ("cancel_amount", 0),
        ("trade_amount", 1000),
        ("trade_price", 3.9),
        ("message", "ok"),
    ]
    assert second.price_type == "市价单" and second.side == 2
    assert log.lines[-1][1] == "get_orders_success"
    assert log.lines[-1][2]["params"]["fund_token"] == "***"


@pytest.mark.parametrize(
    "kwargs, extra",
    [
        ({"order_id": "I7"}, {}),
        ({"start_time": "2024-01-05"}, {}),
        ({"start_time": "2024-01-05", "end_time": ""}, {}),
        (
            {"start_time": "2024-01-05", "end_time": datetime.date(2024, 1, 6)},
            {"startdate": "2024-01-05 00:00:00", "enddate": "2024-01-06 00:00:00"},
        ),
        (
            {"start_time": pd.Timestamp("2024-01-05 09:30:01.5"), "end_time": "20240105 150000"},
            {"startdate": "2024-01-05 09:30:01", "enddate": "2024-01-05 15:00:00"},
        ),
    ],
)
def test_get_orders_time_range(api, client, kwargs, extra):
    client.answers[151553] = answer([], key="orders")
    assert api.get_orders(**kwargs) == []
    params = client.snapshots[-1]["params"]
    assert params == {
        "action": "query",
        "instructionid": kwargs.get("order_id"),
        "fund_token": TOKEN,
        "type": 1,
        **extra,
    }


def test_get_orders_bad_time_is_not_wrapped(api, client, log):
    with pytest.raises(ValueError):
        api.get_orders(start_time="2024-01-05", end_time="not a time")
    assert client.types() == [594177] and log.lines == []


@pytest.mark.parametrize(
    "reply, inner",
    [
        ({"msg": ""}, "委托查询失败: 参数输入有误"),
        ({"result": {}, "msg": "无权限"}, "委托查询失败: 无权限"),
    ],
)
def test_get_orders_failure(api, client, log, reply, inner):
    client.answers[151553] = reply
    with pytest.raises(TradeException) as info:
        api.get_orders()
    text = str(info.value)
    assert text.startswith("委托查询失败: Traceback")
    assert [x for x in text.splitlines() if x][
        -1
    ] == "zentaro.utils.exception.TradeException: " + inner
    assert [line[1] for line in log.lines] == ["get_orders_fail"]


def test_instruction_without_date_fails(api, client):
    row = instruction()
    del row["date"]
    client.answers[151553] = answer([row], key="orders")
    with pytest.raises(TradeException, match="KeyError: 'date'"):
        api.get_orders()


def test_translations_go_through_the_class_attributes(api, client, monkeypatch):
    class Market:
        @classmethod
        def revert(cls, symbol):
            return "XX"

    class Side:
        @classmethod
        def revert(cls, num):
            return f"side-{num}"

    monkeypatch.setattr(bd.TradeAPI, "MARKET", Market)
    monkeypatch.setattr(bd.TradeAPI, "SIDE", Side)
    client.answers[1203] = answer([trade()])
    assert api.get_tradelogs()[0].symbol == "000001.XX"
    assert api.get_tradelogs()[0].side == "side-1"
    assert api._trans_inst(instruction()).symbol == "510300.XX"


def test_time_rule_uses_pandas_from_the_module(api, client, monkeypatch):
    texts = []

    class FakePandas:
        @staticmethod
        def Timestamp(text):  # noqa: N802
            texts.append(text)
            return text

    monkeypatch.setattr(bd, "pd", FakePandas)
    client.answers[1203] = answer([trade(), trade(SettleDate=0, TransactTime=93102)])
    assert [r.datetime for r in api.get_tradelogs()] == ["20240105 09:31:02", "0093102"]
    assert texts == ["20240105 09:31:02", "0093102"]


def test_records_are_built_by_the_module_namedict(api, client, monkeypatch):
    class Record(dict):
        def __init__(self, mapping):
            super().__init__(mapping, wrapped=True)

    monkeypatch.setattr(bd, "NameDict", Record)
    client.answers[1204] = answer([broker_order()])
    rec = api.secondary_orders()[0]
    assert type(rec) is Record and rec["wrapped"] is True
