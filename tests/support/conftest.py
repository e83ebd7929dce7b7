"""Fixtures of the local-services tests."""

import pytest

from zentaro.mod.tradeapi.api import broker_desk as bd


@pytest.fixture(autouse=True)
def open_order_window(monkeypatch):
    """Each test starts with an open window of the shared broker-order rate limit."""
    limiter = bd.TradeAPI.secondary_orders._limiter
    monkeypatch.setattr(limiter, "last_reset", -1e9)
    monkeypatch.setattr(limiter, "num_calls", 0)
