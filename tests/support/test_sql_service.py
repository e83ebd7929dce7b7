"""The local SQL service runs simple selects over its sample tables and refuses the rest."""

import base64

import pandas as pd
import pytest

from zentaro.support import sql_tables
from zentaro.support.platform_server import PlatformServer
from zentaro.utils.exception import APIException


def bars():
    return sql_tables.table("daily_bars")


def instruments():
    return sql_tables.table("instruments")


@pytest.mark.parametrize(
    "sql, expected",
    [
        ("select * from instruments", instruments),
        ("SELECT code, close FROM daily_bars LIMIT 5;", lambda: bars()[["code", "close"]].head(5)),
        (
            "select code, close from daily_bars where close > 100 and trade_date >= '2023-12-01'",
            lambda: bars()[(bars().close > 100) & (bars().trade_date >= "2023-12-01")][
                ["code", "close"]
            ],
        ),
        (
            "select symbol from instruments where code = '600001' or code = '000002' and exchange = 'XSHE'",
            lambda: instruments()[
                (instruments().code == "600001")
                | ((instruments().code == "000002") & (instruments().exchange == "XSHE"))
            ][["symbol"]],
        ),
        (
            "select code from instruments where code in ('600003', '000004') limit 1",
            lambda: instruments()[instruments().code.isin(["600003", "000004"])][["code"]].head(1),
        ),
        (
            "select code, industry from instruments where industry like '银%' and code like '6_0%'",
            lambda: instruments()[
                (instruments().industry == "银行") & instruments().code.str.match(r"^6.0")
            ][["code", "industry"]],
        ),
        (
            "select code, pe_ratio from valuation where pe_ratio <> 10.5 limit 0",
            lambda: sql_tables.table("valuation")[["code", "pe_ratio"]].head(0),
        ),
    ],
    ids=["star", "limit", "and", "or-binds-looser", "in", "like", "empty"],
)
def test_answers_like_a_database(sql, expected):
    pd.testing.assert_frame_equal(sql_tables.run(sql), expected().reset_index(drop=True))


@pytest.mark.parametrize(
    "sql, reason",
    [
        ("selec * frm nowhere", "expected SELECT"),
        ("select * from nowhere", "no such table"),
        ("select nope from daily_bars", "no such column: nope"),
        ("select code from daily_bars where nope = 1", "no such column: nope"),
        ("select code from daily_bars where close < 'x'", "cannot compare"),
        ("select code from daily_bars limit -1", "whole number"),
        ("select code from daily_bars limit 2.5", "whole number"),
        ("select code from daily_bars; drop table daily_bars", "syntax error"),
        ("select code from daily_bars where close >", "unexpected end"),
        ("select code from daily_bars where code in ('1' 'x')", "not closed"),
        ("select code from daily_bars where code like 3", "quoted pattern"),
        ("select code, from daily_bars", "syntax error"),
        ("select 1 limit 2", "syntax error"),
        ("select code from daily_bars where close ~ 1", "syntax error"),
        ("", "empty query"),
    ],
)
def test_refuses_what_it_cannot_run(sql, reason):
    with pytest.raises(sql_tables.SQLError, match=reason):
        sql_tables.run(sql)


def test_the_kit_reports_a_refusal_as_the_servers_error(tmp_path):
    with PlatformServer(tls=False) as srv:
        client = srv.client()
        client._token_file = str(tmp_path / "auth")
        client.login("demo", "demo-pass")
        sql = base64.b64encode(b"select code, close from daily_bars limit 3").decode()
        assert list(client.side_store(sql=sql).columns) == ["code", "close"]
        bad = base64.b64encode(b"selec * frm nowhere").decode()
        with pytest.raises(APIException, match="^SQL 执行失败: syntax error near 'selec'"):
            client.side_store(sql=bad)
        with pytest.raises(APIException, match="not Base64"):
            client.side_store(sql="@@@")
