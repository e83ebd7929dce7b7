"""The host engine's own logic: calendar, broker fills, state round trip, event order."""

import datetime

import pytest

import corvane
from corvane.api import order_shares
from corvane.data_proxy import DataProxy
from corvane.events import EVENT
from corvane.interface import AbstractMod
from corvane.model.portfolio import Portfolio


def test_calendar_and_previous_day():
    proxy = DataProxy()
    days = proxy.get_trading_dates("2023-01-01", "2023-12-31")
    assert len(days) == 250 and datetime.date(2023, 1, 2) not in days
    assert proxy.get_previous_trading_date(datetime.date(2023, 1, 30)) == datetime.datetime(
        2023, 1, 20
    )
    assert proxy.get_previous_trading_date("2023-01-03") == datetime.datetime(2023, 1, 2)


def test_fill_at_close_with_commission():
    fills = []

    def handle_bar(context, bars):
        if not fills:
            fills.append(bars["600000.SH"].close)
            order_shares("600000.SH", 1000)

    result = corvane.run({"base": {"end_date": "2023-01-03"}}, {"handle_bar": handle_bar})
    close = fills[0]
    assert result["cash"] == pytest.approx(1_000_000 - close * 1000 - 5.0)
    position = result["env"].portfolio.positions["600000.SH"]
    assert (position.quantity, position.avg_price) == (1000, close)


def test_state_round_trip():
    def handle_bar(context, bars):
        order_shares("600519.SH", 100)

    result = corvane.run({"base": {"end_date": "2023-01-05"}}, {"handle_bar": handle_bar})
    original = result["env"].portfolio
    restored = Portfolio(0)
    restored.set_state(original.get_state())
    assert restored.total_value == pytest.approx(original.total_value)
    assert (
        restored.positions["600519.SH"].output_json()
        == original.positions["600519.SH"].output_json()
    )


def test_daily_event_order():
    seen = []

    class Spy(AbstractMod):
        def start_up(self, env, mod_config):
            for event in EVENT:
                env.event_bus.add_listener(event, lambda e, name=event.name: seen.append(name))

    corvane.run(
        {"base": {"end_date": "2023-01-03"}, "extra": {"enable_profiler": True}},
        {"handle_bar": lambda c, b: order_shares("600000.SH", 100)},
        mods={"spy": Spy()},
    )
    assert seen == [
        "POST_SYSTEM_INIT",
        "POST_USER_INIT",
        "PRE_BEFORE_TRADING",
        "BEFORE_TRADING",
        "PRE_BAR",
        "BAR",
        "TRADE",
        "POST_BAR",
        "AFTER_TRADING",
        "PRE_SETTLEMENT",
        "SETTLEMENT",
        "POST_SETTLEMENT",
        "ON_LINE_PROFILER_RESULT",
    ]
