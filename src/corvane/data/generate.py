"""Writes the bundled daily bars (daily_bars.csv) from a fixed seed.

Run ``python -m corvane.data.generate`` to rebuild the file; the output is the
same on every machine, so the file in the package never drifts from this script.
"""

import csv
import datetime
import os
import random

YEAR = 2023
# Weekdays the exchanges were closed in the bundled year.
HOLIDAYS = {
    datetime.date(2023, 1, 2),
    *(datetime.date(2023, 1, d) for d in range(23, 28)),
    datetime.date(2023, 4, 5),
    *(datetime.date(2023, 5, d) for d in range(1, 4)),
}
INSTRUMENTS = {"000001.SZ": 12.8, "600000.SH": 7.3, "600519.SH": 1730.0, "300750.SZ": 410.0}
SEED = 20230103
PATH = os.path.join(os.path.dirname(__file__), "daily_bars.csv")


def trading_days(year=YEAR):
    day = datetime.date(year, 1, 1)
    while day.year == year:
        if day.weekday() < 5 and day not in HOLIDAYS:
            yield day
        day += datetime.timedelta(days=1)


def bars():
    rng = random.Random(SEED)
    last = dict(INSTRUMENTS)
    for day in trading_days():
        for symbol in INSTRUMENTS:
            open_ = last[symbol] * (1 + rng.gauss(0, 0.004))
            close = open_ * (1 + rng.gauss(0.0003, 0.015))
            high = max(open_, close) * (1 + abs(rng.gauss(0, 0.004)))
            low = min(open_, close) * (1 - abs(rng.gauss(0, 0.004)))
            volume = int(rng.uniform(2e6, 9e6))
            last[symbol] = close
            yield [
                day.isoformat(),
                symbol,
                *(f"{p:.2f}" for p in (open_, high, low, close)),
                volume,
            ]


def main(argv=None):
    import argparse

    parser = argparse.ArgumentParser(
        prog="python -m corvane.data.generate", description=__doc__.splitlines()[0]
    )
    parser.add_argument("--out", default=PATH, help="file to write (default: the bundled file)")
    args = parser.parse_args(argv)
    with open(args.out, "w", newline="") as f:
        writer = csv.writer(f)
        writer.writerow(["date", "symbol", "open", "high", "low", "close", "volume"])
        writer.writerows(bars())


if __name__ == "__main__":
    main()
