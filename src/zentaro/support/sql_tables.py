"""The local SQL service: a few sample tables in an in-memory SQLite database.

Queries are SQLite's SQL and may only read: the database refuses, before a
statement runs, anything that would write, attach a file, change a setting or
recurse. A query the service cannot run raises ``SQLError`` with the
database's reason.
"""

import functools
import os
import re
import sqlite3
import threading

import numpy as np
import pandas as pd

# The tables and their columns, in order (the data are built on first use).
SCHEMA = {
    "daily_bars": ("code", "trade_date", "open", "high", "low", "close", "volume"),
    "instruments": ("code", "symbol", "exchange", "industry", "listed_date"),
    "valuation": ("code", "trade_date", "pe_ratio", "pb_ratio", "market_cap"),
}


class SQLError(ValueError):
    """A query the service cannot run; the text says why."""


# ------------------------------------------------------------------ sample data


@functools.cache
def _instrument_rows():
    from zentaro.support.platform_data import INSTRUMENTS

    return INSTRUMENTS


@functools.cache
def _days():
    return pd.bdate_range("2023-01-02", "2023-12-29")


@functools.cache
def table(name):
    """The sample table `name` as a data frame (raises SQLError for an unknown name)."""
    if name not in SCHEMA:
        raise SQLError(f"no such table: {name} (tables: {', '.join(sorted(SCHEMA))})")
    frame = _BUILDERS[name]()
    return frame[list(SCHEMA[name])]


def _codes():
    return np.array([r["order_book_id"].split(".")[0] for r in _instrument_rows()], dtype=object)


def _instruments():
    rows = _instrument_rows()
    return pd.DataFrame(
        {
            "code": _codes(),
            "symbol": [r["symbol"] for r in rows],
            "exchange": [r["exchange"] for r in rows],
            "industry": [r["industry"] for r in rows],
            "listed_date": [r["listed_date"] for r in rows],
        }
    )


def _daily_bars():
    codes, days = _codes(), _days()
    rng = np.random.default_rng(20230102)
    start = np.round(rng.uniform(3, 300, len(codes)), 2)
    steps = rng.normal(0.0003, 0.018, (len(days), len(codes)))
    close = np.round(start * np.exp(np.cumsum(steps, axis=0)), 2)
    open_ = np.round(close * (1 + rng.normal(0, 0.004, close.shape)), 2)
    spread = np.abs(rng.normal(0, 0.006, close.shape))
    return pd.DataFrame(
        {
            "code": np.tile(codes, len(days)),
            "trade_date": np.repeat(days.strftime("%Y-%m-%d").to_numpy(dtype=object), len(codes)),
            "open": open_.ravel(),
            "high": np.round(np.maximum(open_, close) * (1 + spread), 2).ravel(),
            "low": np.round(np.minimum(open_, close) * (1 - spread), 2).ravel(),
            "close": close.ravel(),
            "volume": rng.integers(100_000, 50_000_000, close.size),
        }
    )


def _valuation():
    bars = table("daily_bars")
    rng = np.random.default_rng(20230103)
    earnings = rng.uniform(0.05, 5.0, len(_codes()))
    shares = rng.uniform(2e8, 2e10, len(_codes()))
    n_days = len(_days())
    per_share = np.tile(earnings, n_days)
    return pd.DataFrame(
        {
            "code": bars["code"],
            "trade_date": bars["trade_date"],
            "pe_ratio": np.round(bars["close"].to_numpy() / per_share, 2),
            "pb_ratio": np.round(rng.uniform(0.5, 8, len(bars)), 3),
            "market_cap": np.round(bars["close"].to_numpy() * np.tile(shares, n_days), 0),
        }
    )


_BUILDERS = {"daily_bars": _daily_bars, "instruments": _instruments, "valuation": _valuation}


# ------------------------------------------------------------------ the database

# What a query may do: read tables and call functions. Everything else is
# refused while SQLite prepares the statement, so nothing has run by then.
_READING = frozenset({sqlite3.SQLITE_SELECT, sqlite3.SQLITE_READ, sqlite3.SQLITE_FUNCTION})


def _authorize(action, *_):
    return sqlite3.SQLITE_OK if action in _READING else sqlite3.SQLITE_DENY


class _Database:
    """The process's database, filled on first use; one query at a time runs on it."""

    def __init__(self):
        self.lock = threading.Lock()
        self._connection = None

    def connection(self):  # the caller holds the lock
        if self._connection is None:
            connection = sqlite3.connect(":memory:", check_same_thread=False)
            for name in SCHEMA:
                table(name).to_sql(name, connection, index=False)
            connection.set_authorizer(_authorize)
            self._connection = connection
        return self._connection


_database = _Database()


def _reset_after_fork():
    # A connection must not cross a fork, and the lock may have been taken
    # by a thread the child does not have.
    global _database
    _database = _Database()


os.register_at_fork(after_in_child=_reset_after_fork)


def _reason(exc):
    # pandas wraps the database's error in one that repeats the whole query.
    if isinstance(exc.__cause__, sqlite3.Error):
        exc = exc.__cause__
    text = str(exc)
    near = re.fullmatch(r'near "(.*)": syntax error', text, re.DOTALL)
    if near:
        return f"syntax error near {near.group(1)!r}"
    if text in ("not authorized", "authorization denied"):
        return f"{text}: the service only runs queries that read its tables"
    return text


@functools.cache
def _column_types():
    return {column: dtype for name in SCHEMA for column, dtype in table(name).dtypes.items()}


def run(sql):
    """The result of `sql` over the sample tables, as a new data frame."""
    if not isinstance(sql, str) or not sql.strip():
        raise SQLError("empty query")
    database = _database
    with database.lock:
        try:
            frame = pd.read_sql_query(sql, database.connection())
        except (sqlite3.Error, pd.errors.DatabaseError) as exc:
            raise SQLError(_reason(exc)) from None
        except UnicodeEncodeError as exc:  # lone surrogates have no UTF-8 form
            raise SQLError(f"the query is not valid text: {exc}") from None
    if len(frame) == 0:
        # No rows tell the column types: a table's columns keep the table's.
        types = _column_types()
        frame = frame.astype({c: types[c] for c in frame.columns if c in types})
    return frame
