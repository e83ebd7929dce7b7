"""Engine stand-ins for the back-test plug-in and its result stream: the unit
tests and the leak loop."""

import datetime
import types

from corvane.events import EventBus


class Position:
    def __init__(self, value):
        self.value = value

    def output_json(self):
        return {"v": self.value}


class Trade:
    def __init__(self, n):
        self.n = n

    def output_json(self):
        return {"trade": self.n}


def account(**positions):
    return types.SimpleNamespace(positions={k: Position(v) for k, v in positions.items()})


class QuietBus:
    """Takes listeners and keeps none: for loops that register again and again."""

    def add_listener(self, event_type, handler):
        pass


class RecordingBus(EventBus):
    def __init__(self):
        super().__init__()
        self.order = []

    def add_listener(self, event_type, handler):
        self.order.append((event_type, handler.__name__))
        super().add_listener(event_type, handler)


class Profiler:
    def __init__(self, text):
        self.text = text

    def print_stats(self, stream):
        stream.write(self.text)


def make_env(days=10, accounts=None, bus=None):
    base = types.SimpleNamespace(
        trading_calendar=list(range(days)), start_date=datetime.date(2024, 3, 4), frequency="1d"
    )
    proxy = types.SimpleNamespace(
        get_previous_trading_date=lambda d: datetime.datetime(2024, 3, 1, 0, 0, 7)
    )
    portfolio = types.SimpleNamespace(
        accounts=accounts if accounts is not None else {"STOCK": account(a=1)},
        portfolio_value=100.0,
        cash=40.0,
        pnl=-1.5,
    )
    return types.SimpleNamespace(
        config=types.SimpleNamespace(base=base),
        data_proxy=proxy,
        portfolio=portfolio,
        event_bus=RecordingBus() if bus is None else bus,
        record_dict={},
        profile_deco=Profiler("report\n\n"),
    )


def event(**kwargs):
    return types.SimpleNamespace(**kwargs)
