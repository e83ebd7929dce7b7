"""zentaro-broker-demo, the broker module's demonstration run: four labelled
records, then the sample account as short tables."""

import pytest

from zentaro.mod.tradeapi.api import broker_desk as bd
from zentaro.mod.tradeapi.sdk import client_rv
from zentaro.support import broker_demo


@pytest.fixture(autouse=True)
def fresh_client(monkeypatch):
    monkeypatch.delenv(client_rv.BACKEND_ENV, raising=False)
    monkeypatch.setattr(bd.TraderRPC, "_instance", None)
    yield
    if bd.TraderRPC._instance is not None:
        bd.TraderRPC._instance.close()


def test_the_sample_account_as_tables(capsys):
    assert broker_demo.main([]) == 0
    lines = capsys.readouterr().out.splitlines()[4:]  # after the demonstration lines
    assert lines[0].startswith("(simulated brokerage started for this run")
    assert lines[1] == "Account 80001234"
    assert lines[2].split() == ["total", "value", "available", "cash", "market", "value"]
    positions = lines.index("Positions (3)")
    assert lines[positions + 1].split() == ["symbol", "name", "amount", "cost", "price", "pnl"]
    assert lines[positions + 2].split()[:3] == ["600000.SH", "浦发银行", "8000"]
    assert "Orders (4), 4 trades" in lines
    assert len(lines) < 20 and max(map(len, lines)) < 80


def test_an_unknown_account_fails_with_the_kits_message(capsys):
    assert broker_demo.main(["--account", "00000000"]) == 1
    assert "该账户不存在" in capsys.readouterr().err


def test_the_configured_backend_is_used(monkeypatch, capsys):
    monkeypatch.setenv(client_rv.BACKEND_ENV, "zentaro.support.broker_sim:SimulatedBrokerage")
    assert broker_demo.main([]) == 0
    assert capsys.readouterr().out.splitlines()[4] == "Account 80001234"


def test_the_demonstration_lines_come_first(monkeypatch, capsys):
    monkeypatch.setenv(client_rv.BACKEND_ENV, "zentaro.support.broker_sim:SimulatedBrokerage")
    assert broker_demo.main([]) == 0
    lines = capsys.readouterr().out.splitlines()
    api = broker_demo.trade_api
    assert api.account_id == broker_demo.SAMPLE_ACCOUNT_ID
    monkeypatch.setattr(bd.TradeAPI.secondary_orders._limiter, "num_calls", 0)
    values = [api.portfolio, api.positions, api.get_tradelogs(), api.secondary_orders()]
    labels = ["账号信息:", "持仓信息:", "成交信息:", "委托信息:"]
    assert lines[:4] == [f"{label} {value}" for label, value in zip(labels, values, strict=True)]
    assert all(values) and lines[4] == "Account 80001234"
