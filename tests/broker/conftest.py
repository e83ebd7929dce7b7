"""Fixtures of the trading-account tests: the scripted client in place of the
shared broker client, a recording logger, and a fresh rate-limit window."""

import pytest

from shared.broker import ACCOUNT, FakeClock, RecordingLog, ScriptedBroker
from zentaro.mod.tradeapi.api import broker_desk as bd


@pytest.fixture
def client(monkeypatch):
    fake = ScriptedBroker()
    monkeypatch.setattr(bd.TraderRPC, "_instance", fake)
    return fake


@pytest.fixture
def log(monkeypatch):
    recorder = RecordingLog()
    monkeypatch.setattr(bd, "system_log", recorder)
    return recorder


@pytest.fixture
def api(client, log):
    return bd.TradeAPI(ACCOUNT)


@pytest.fixture(autouse=True)
def clock(monkeypatch):
    """Each test starts with an open window of the shared limiter, on a fake clock."""
    limiter = bd.TradeAPI.secondary_orders._limiter
    fake = FakeClock()
    monkeypatch.setattr(limiter, "clock", fake)
    monkeypatch.setattr(limiter, "last_reset", -1e9)
    monkeypatch.setattr(limiter, "num_calls", 0)
    return fake
