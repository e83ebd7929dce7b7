"""The sample data set behind the embedded platform server's services.

Everything here is deterministic, so tests can compare answers with values
computed again on their side.
"""

import base64
import datetime as dt
import hashlib
import json

import numpy as np
import pandas as pd

SERVICE_NAMES = (
    "api_usage",
    "instruments",
    "trading_dates",
    "side_store",
    "arsenal_request",
    "data_array",
    "all_api",
    "run_api",
    "trade_api",
    "upload_file",
    "download_file",
    "get_fundamentals",
)

_SYLLABLES = (
    "华",
    "中",
    "国",
    "银",
    "信",
    "安",
    "海",
    "通",
    "建",
    "科",
    "新",
    "联",
    "能",
    "源",
    "电",
    "力",
)
_INDUSTRIES = ("银行", "证券", "医药", "电子", "汽车", "化工", "食品", "传媒", "机械", "电力")


def _symbol(i):
    return "".join(_SYLLABLES[(i * k + k * k) % len(_SYLLABLES)] for k in (1, 3, 5, 7))


def make_instruments(per_exchange=150):
    """A few hundred stocks on the two exchanges, as plain records."""
    rows = []
    for i in range(per_exchange * 2):
        sh = i < per_exchange
        n = i if sh else i - per_exchange
        code = f"{(600000 + n) if sh else (1 + n):06d}"
        listed = dt.date(1995, 1, 3) + dt.timedelta(days=37 * i)
        rows.append(
            {
                "order_book_id": code + (".XSHG" if sh else ".XSHE"),
                "symbol": _symbol(i),
                "type": "CS",
                "exchange": "XSHG" if sh else "XSHE",
                "industry": _INDUSTRIES[i % len(_INDUSTRIES)],
                "listed_date": listed.isoformat(),
                "de_listed_date": "0000-00-00",
                "round_lot": 100,
                "status": "Active",
            }
        )
    return rows


INSTRUMENTS = make_instruments()


def _as_date(value, default):
    if value is None:
        return default
    if isinstance(value, dt.datetime):
        return value.date()
    if isinstance(value, dt.date):
        return value
    text = str(value).strip()
    return dt.datetime.strptime(text.replace("-", "")[:8], "%Y%m%d").date()


def trading_dates(start_date=None, end_date=None, **_):
    """A weekday calendar: every Monday to Friday between the two dates."""
    start = _as_date(start_date, dt.date(2024, 1, 1))
    end = _as_date(end_date, dt.date(2024, 12, 31))
    days = pd.bdate_range(start, end)
    return [d.strftime("%Y-%m-%d") for d in days]


def fundamentals(rows=None, count=None, entry_date=None, **_):
    """A frame of numbers and symbol texts; `rows` sets its length directly,
    otherwise one row per instrument and day of `count` days up to `entry_date`."""
    end = _as_date(entry_date, dt.date(2024, 6, 28))
    if rows is None:
        rows = len(INSTRUMENTS) * max(int(count or 1), 1)
    rows = int(rows)
    rng = np.random.default_rng(rows)
    n_inst = len(INSTRUMENTS)
    idx = np.arange(rows) % n_inst
    day = pd.bdate_range(end=end, periods=max(rows // n_inst + 1, 1))
    ids = np.array([r["order_book_id"] for r in INSTRUMENTS], dtype=object)
    syms = np.array([r["symbol"] for r in INSTRUMENTS], dtype=object)
    return pd.DataFrame(
        {
            "order_book_id": ids[idx],
            "symbol": syms[idx],
            "date": np.array([d.strftime("%Y-%m-%d") for d in day], dtype=object)[
                np.arange(rows) // n_inst
            ],
            "pe_ratio": np.round(rng.normal(18, 6, rows), 2),
            "pb_ratio": np.round(rng.normal(2, 0.5, rows), 3),
            "market_cap": np.round(rng.lognormal(23, 1, rows), 0),
            "revenue": np.round(rng.lognormal(21, 1.2, rows), 0),
            "net_profit": np.round(rng.normal(1e8, 5e7, rows), 0),
            "roe": np.round(rng.normal(0.1, 0.05, rows), 4),
            "volume": rng.integers(0, 10**8, rows),
        }
    )


def side_store(sql=None, **_):
    """Run a SQL text (sent as Base64 of its UTF-8) over the sample tables.

    Raises sql_tables.SQLError for a query the service cannot run.
    """
    from zentaro.support import sql_tables

    try:
        text = base64.b64decode(sql or b"", validate=True).decode("utf-8")
    except (ValueError, TypeError) as exc:
        raise sql_tables.SQLError(f"the query is not Base64 of UTF-8 text: {exc}") from None
    return sql_tables.run(text)


FUTURES_EXPIRY = "2026-12-31 23:59:59"


def futures_authorisation(user_id, sdk_version, exp=FUTURES_EXPIRY):
    """{"data", "exp"}: the gateway authorisation code, DES-encrypted with a key
    derived from the caller, inside upper-case Base16 of a JSON text."""
    from zentaro.mod.tradeapi.sdk.common.encryption import EncryptionDesBase64
    from zentaro.support import GATEWAY_AUTH_CODE

    digest = hashlib.md5((user_id + exp + sdk_version).encode("utf-8")).hexdigest()
    code = EncryptionDesBase64.encode(GATEWAY_AUTH_CODE, digest[8:16]).decode()
    body = json.dumps({"auth_code": code, "user_id": user_id}).encode("utf-8")
    return {"data": body.hex().upper(), "exp": exp}


def data_array(rows=10, cols=4, **_):
    rng = np.random.default_rng(int(rows) * 31 + int(cols))
    return np.round(rng.normal(0, 1, (int(rows), int(cols))), 6).tolist()
