"""End to end against the simulated brokerage behind RavineClient."""

import textwrap
import threading

import pandas as pd
import pytest

from shared.children import run_child
from zentaro.mod.tradeapi.api import broker_desk as bd
from zentaro.mod.tradeapi.sdk.client_rv import RavineClient
from zentaro.support.broker_sim import SAMPLE_ACCOUNT_ID, SimulatedBrokerage
from zentaro.utils.exception import TradeException


@pytest.fixture
def live(monkeypatch):
    client = RavineClient(SimulatedBrokerage())
    monkeypatch.setattr(bd.TraderRPC, "_instance", client)
    yield client
    client.close()


def test_queries_on_the_sample_account(live):
    api = bd.TradeAPI(SAMPLE_ACCOUNT_ID)
    funds = api.portfolio
    assert funds.total_value == pytest.approx(funds.available_cash + funds.market_value)
    holdings = api.positions
    assert set(holdings) == {"600000.SH", "000001.SZ", "688981.SH"}
    assert holdings["600000.SH"].amount == 8000
    assert holdings["600000.SH"].pnl == round((8.02 - 7.85) * 8000, 4)
    trades = api.get_tradelogs()
    assert [t.side for t in trades] == ["BUY", "BUY", "BUY", "SALE"]
    assert all(isinstance(t.datetime, pd.Timestamp) for t in trades)
    orders = api.secondary_orders()
    assert [o.status for o in orders] == ["已成"] * 4
    instructions = api.get_orders()
    assert [i.secondary_order_id for i in instructions] == [o.secondary_order_id for o in orders]
    assert [i.order_id for i in api.get_orders(order_id=instructions[1].order_id)] == [
        instructions[1].order_id
    ]


def test_unknown_account(live):
    with pytest.raises(TradeException, match=r"获取账户\(\d+\)：失败\(该账户不存在!\)\."):
        bd.TradeAPI("00000000").portfolio


def test_push_reaches_the_callback_on_the_clients_thread(live):
    api = bd.TradeAPI(SAMPLE_ACCOUNT_ID)
    seen = []
    api.register_push(lambda rec: seen.append((rec, threading.current_thread().name)))
    live.backend.place_order(api._account_token, "600519", 0, 100, 1650.0)
    assert live.wait_delivered(timeout=5)
    assert [(r.symbol, r.status, r.side) for r, _ in seen] == [
        ("600519.SH", "已报", "BUY"),
        ("600519.SH", "已成", "BUY"),
    ]
    assert {name for _, name in seen} == {"ravine-push"}
    assert "600519.SH" in api.positions


def test_clean_interpreter_exit():
    # A registered push keeps the object inside the client; at exit the client
    # stops its thread and everything is freed before nanobind's leak check.
    script = textwrap.dedent("""
        import gc, weakref
        from zentaro.mod.tradeapi.api import broker_desk as bd
        bd.trade_api = api = bd.TradeAPI("80001234")
        api.register_push(print)
        api._trader_rpc.backend.place_order(api._account_token, "600519", 0, 100, 1650.0)
        assert api._trader_rpc.wait_delivered(5)
        probe = weakref.ref(api)
        bd.TraderRPC._instance.close()
        del api, bd.trade_api
        bd.TraderRPC._instance = None
        gc.collect()
        assert probe() is None, "the push handler kept the object alive"
        bd.TradeAPI("80001234").register_push()
    """)
    done = run_child(script, ZENTARO_BROKER_BACKEND="zentaro.support.broker_sim:SimulatedBrokerage")
    assert done.returncode == 0, done.stderr
    assert "nanobind" not in done.stderr and "leaked" not in done.stderr
