"""The local SQL service: a few sample tables and the simple queries over them.

It answers ``select <columns> from <table> [where <conditions>] [limit n]``,
where columns are ``*`` or names, conditions compare a column with a number or
a quoted text (``= != <> < <= > >=``, ``in (...)``, ``like '...%'``) and are
joined by ``and``/``or`` (``and`` binds tighter). Anything else raises
``SQLError`` with a message saying what is wrong, as a database would.
"""

import functools
import re

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


# ------------------------------------------------------------------ the parser

_TOKEN = re.compile(
    r"\s*(?:(?P<number>-?\d+(?:\.\d+)?(?![\w.]))"
    r"|(?P<text>'(?:[^']|'')*')"
    r"|(?P<op><=|>=|<>|!=|=|<|>|,|\(|\)|\*|;)"
    r"|(?P<word>[A-Za-z_][A-Za-z0-9_]*))"
)
_COMPARE = {
    "=": "eq",
    "!=": "ne",
    "<>": "ne",
    "<": "lt",
    "<=": "le",
    ">": "gt",
    ">=": "ge",
}


def _tokens(sql):
    tokens, pos, text = [], 0, sql.rstrip()
    while pos < len(text):
        match = _TOKEN.match(text, pos)
        if match is None or match.end() == pos:
            raise SQLError(f"syntax error at position {pos + 1}: {text[pos : pos + 20]!r}")
        kind = match.lastgroup
        value = match.group(kind)
        if kind == "word":
            tokens.append(("word", value.lower(), value))
        elif kind == "number":
            tokens.append(("value", float(value) if "." in value else int(value), value))
        elif kind == "text":
            tokens.append(("value", value[1:-1].replace("''", "'"), value))
        else:
            tokens.append(("op", value, value))
        pos = match.end()
    if tokens and tokens[-1][1] == ";":
        tokens.pop()
    return tokens


class _Parser:
    def __init__(self, sql):
        self.tokens = _tokens(sql)
        self.pos = 0

    def peek(self):
        return self.tokens[self.pos][1] if self.pos < len(self.tokens) else None

    def take(self, kind=None):
        if self.pos >= len(self.tokens):
            raise SQLError("syntax error: unexpected end of query")
        token = self.tokens[self.pos]
        if kind is not None and token[0] != kind:
            raise SQLError(f"syntax error near {token[2]!r}")
        self.pos += 1
        return token

    def expect(self, word):
        token = self.take()
        if token[1] != word:
            raise SQLError(f"syntax error near {token[2]!r}: expected {word.upper()}")

    def query(self):
        self.expect("select")
        columns = self.columns()
        self.expect("from")
        name = self.take("word")[1]
        where = None
        if self.peek() == "where":
            self.take()
            where = self.disjunction()
        limit = None
        if self.peek() == "limit":
            self.take()
            limit = self.take("value")[1]
            if not isinstance(limit, int) or limit < 0:
                raise SQLError("LIMIT takes a whole number of rows")
        if self.pos != len(self.tokens):
            raise SQLError(f"syntax error near {self.tokens[self.pos][2]!r}")
        return columns, name, where, limit

    def columns(self):
        if self.peek() == "*":
            self.take()
            return None
        names = [self.take("word")[1]]
        while self.peek() == ",":
            self.take()
            names.append(self.take("word")[1])
        return names

    def disjunction(self):
        terms = [self.conjunction()]
        while self.peek() == "or":
            self.take()
            terms.append(self.conjunction())
        return ("or", terms)

    def conjunction(self):
        terms = [self.condition()]
        while self.peek() == "and":
            self.take()
            terms.append(self.condition())
        return ("and", terms)

    def condition(self):
        column = self.take("word")[1]
        token = self.take()
        if token[0] == "op" and token[1] in _COMPARE:
            return ("compare", column, _COMPARE[token[1]], self.take("value")[1])
        if token[1] == "in":
            return ("in", column, self.value_list())
        if token[1] == "like":
            pattern = self.take("value")[1]
            if not isinstance(pattern, str):
                raise SQLError("LIKE takes a quoted pattern")
            return ("like", column, pattern)
        raise SQLError(f"syntax error near {token[2]!r}: expected a comparison")

    def value_list(self):
        if self.take()[1] != "(":
            raise SQLError("IN takes a list in parentheses")
        values = [self.take("value")[1]]
        while self.peek() == ",":
            self.take()
            values.append(self.take("value")[1])
        if self.take()[1] != ")":
            raise SQLError("IN list not closed")
        return values


# ------------------------------------------------------------------ evaluation


def _column(frame, name):
    if name not in frame.columns:
        raise SQLError(f"no such column: {name}")
    return frame[name]


def _mask(frame, node):
    kind = node[0]
    if kind in ("or", "and"):
        masks = [_mask(frame, term) for term in node[1]]
        combine = np.logical_or if kind == "or" else np.logical_and
        return functools.reduce(combine, masks)
    column = _column(frame, node[1])
    try:
        if kind == "compare":
            return getattr(column, node[2])(node[3]).to_numpy()
        if kind == "in":
            return column.isin(node[2]).to_numpy()
        regex = "^" + re.escape(node[2]).replace("%", ".*").replace("_", ".") + "$"
        return column.astype(str).str.match(regex).to_numpy()
    except TypeError:
        raise SQLError(f"cannot compare column {node[1]} with {node[-1]!r}") from None


def run(sql):
    """The result of `sql` over the sample tables, as a new data frame."""
    if not isinstance(sql, str) or not sql.strip():
        raise SQLError("empty query")
    columns, name, where, limit = _Parser(sql).query()
    frame = table(name)
    if columns is not None:
        for column in columns:
            _column(frame, column)
    if where is not None:
        frame = frame[_mask(frame, where)]
    if limit is not None:
        frame = frame.iloc[:limit]
    if columns is not None:
        frame = frame[columns]
    return frame.reset_index(drop=True)
