"""Order push registration: the subscription, the handler and _trans_order."""

import datetime

import pandas as pd
import pytest

from shared.broker import TOKEN, pushed
from zentaro.utils.exception import TradeException


def test_subscription_and_delivery(api, client, log):
    client.answers[1601] = {"result": {"ok": 1}}
    got = []
    assert api.register_push(lambda rec: got.append(rec) or "seen") is None
    assert client.snapshots[-1] == {
        "ReqType": 1601,
        "params": {"action": "subscribe", "Subkey": "entrustret", "fund_token": TOKEN},
    }
    (handler,) = client.callbacks
    assert handler("entrustret", {"params": pushed()}) == "seen"
    assert list(got[0].items()) == [
        ("symbol", "600519.SH"),
        ("name", "贵州茅台"),
        ("secondary_order_id", "p1"),
        ("amount", 100),
        ("side", "SALE"),
        ("price", 1650.0),
        ("price_type", 0),
        ("datetime", pd.Timestamp("2024-01-05 10:15:00")),
        ("status", "已成"),
        ("trade_amount", 100),
        ("trade_price", 1650.0),
    ]
    assert log.lines == []


@pytest.mark.parametrize("orderpush", [None, 0, ""])
def test_without_callback_the_handler_returns_it(api, client, orderpush):
    client.answers[1601] = {}
    api.register_push(orderpush)
    assert client.callbacks[0](None, {"params": pushed()}) == orderpush


def test_each_registration_adds_a_handler(api, client):
    client.answers[1601] = {}
    api.register_push()
    api.register_push(orderpush=print)
    assert len(client.callbacks) == 2 and client.types().count(1601) == 2


@pytest.mark.parametrize(
    "reply, text",
    [
        ({"result": {"ok": 1}, "error": {"message": "拒绝"}, "id": 3}, "委托推送注册失败(3): 拒绝"),
        ({"error": {"message": ""}, "id": 8}, "委托推送注册失败(8): 参数输入有误"),
        ({"error": {"code": 1}}, "委托推送注册失败(None): 参数输入有误"),
    ],
)
def test_subscription_failure(api, client, reply, text):
    client.answers[1601] = reply
    with pytest.raises(TradeException) as info:
        api.register_push(print)
    assert str(info.value) == text and client.callbacks == []


@pytest.mark.parametrize(
    "reply, error", [("boom", ConnectionError), ({"error": "text"}, AttributeError)]
)
def test_subscription_errors_are_not_wrapped(api, client, reply, error):
    client.answers[1601] = ConnectionError("down") if reply == "boom" else reply
    with pytest.raises(error):
        api.register_push(print)


@pytest.mark.parametrize(
    "event, error",
    [
        ({}, KeyError),
        ({"params": pushed(OrderDate=None)}, ValueError),
        ({"params": {"SecurityID": "600519"}}, KeyError),
    ],
)
def test_handler_errors_reach_the_client(api, client, event, error):
    client.answers[1601] = {}
    api.register_push(print)
    with pytest.raises(error):
        client.callbacks[0](None, event)


def test_callback_errors_reach_the_client(api, client):
    client.answers[1601] = {}

    def callback(rec):
        raise RuntimeError("user code")

    api.register_push(callback)
    with pytest.raises(RuntimeError, match="user code"):
        client.callbacks[0](None, {"params": pushed()})


def test_trans_order_edge_cases(api):
    row = pushed(OrderDate="", OrderType=3)
    del row["OrderStatusMsg"]
    rec = api._trans_order(row)
    assert rec.status is None and rec.price_type == 3
    assert rec.datetime == pd.Timestamp(datetime.date.today()) + pd.Timedelta("10:15:00")
