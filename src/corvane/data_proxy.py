"""Daily bars and the trading calendar of the bundled data set."""

import csv
import dataclasses
import datetime
import functools
import os

DATA_FILE = os.path.join(os.path.dirname(__file__), "data", "daily_bars.csv")


@dataclasses.dataclass(slots=True, eq=False)
class Bar:
    symbol: str
    datetime: object
    open: float
    high: float
    low: float
    close: float
    volume: float

    def __repr__(self):
        return f"Bar({self.symbol} {self.datetime:%Y-%m-%d} close={self.close})"


@functools.lru_cache(maxsize=4)
def _load(path):
    bars = {}
    with open(path, newline="") as f:
        for row in csv.DictReader(f):
            day = datetime.date.fromisoformat(row["date"])
            bars[(row["symbol"], day)] = tuple(
                float(row[k]) for k in ("open", "high", "low", "close", "volume")
            )
    days = sorted({day for _, day in bars})
    symbols = sorted({symbol for symbol, _ in bars})
    return bars, days, symbols


def _day(value):
    if isinstance(value, datetime.datetime):
        return value.date()
    if isinstance(value, datetime.date):
        return value
    return datetime.date.fromisoformat(str(value)[:10])


class DataProxy:
    def __init__(self, path=DATA_FILE):
        self._bars, self._days, self.symbols = _load(path)

    def get_trading_dates(self, start, end):
        start, end = _day(start), _day(end)
        return [d for d in self._days if start <= d <= end]

    def get_previous_trading_date(self, date):
        """The trading day before ``date``, as a datetime at midnight.

        Before the data set begins, weekdays stand in for trading days.
        """
        day = _day(date)
        earlier = [d for d in self._days if d < day]
        if earlier and day <= self._days[-1] + datetime.timedelta(days=7):
            prev = earlier[-1]
        else:
            prev = day - datetime.timedelta(days=1)
            while prev.weekday() >= 5:
                prev -= datetime.timedelta(days=1)
        return datetime.datetime.combine(prev, datetime.time())

    def get_bar(self, symbol, dt):
        values = self._bars.get((symbol, _day(dt)))
        if values is None:
            return None
        return Bar(symbol, dt, *values)

    def get_last_price(self, symbol, dt):
        bar = self.get_bar(symbol, dt)
        return bar.close if bar else None
