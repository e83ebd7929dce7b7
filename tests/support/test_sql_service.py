"""The local SQL service answers queries over its sample tables, refuses anything that
writes, and says why a query failed."""

import base64
import textwrap
import threading

import pandas as pd
import pytest

from shared.children import run_child
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
        # SQLite's own rules: numbers sort before texts, a negative limit is none.
        ("select code from daily_bars where close < 'x'", lambda: bars()[["code"]]),
        ("select code from daily_bars limit -1", lambda: bars()[["code"]]),
        ("select code from daily_bars where code like 3", lambda: bars()[["code"]].head(0)),
        ("select 1 limit 2", lambda: pd.DataFrame({"1": [1]})),
    ],
    ids=[
        "star",
        "limit",
        "and",
        "or-binds-looser",
        "in",
        "like",
        "empty",
        "mixed-types",
        "negative-limit",
        "like-number",
        "no-table",
    ],
)
def test_answers_like_a_database(sql, expected):
    pd.testing.assert_frame_equal(sql_tables.run(sql), expected().reset_index(drop=True))


@pytest.mark.parametrize(
    "sql, reason",
    [
        ("selec * frm nowhere", "^syntax error near 'selec'$"),
        ("select * from nowhere", "no such table"),
        ("select nope from daily_bars", "no such column: nope"),
        ("select code from daily_bars where nope = 1", "no such column: nope"),
        ("select code from daily_bars limit 2.5", "datatype mismatch"),
        ("select code from daily_bars; drop table daily_bars", "one statement at a time"),
        ("select code from daily_bars where close >", "incomplete input"),
        ("select code from daily_bars where code in ('1' 'x')", "syntax error near \"'x'\""),
        ("select code, from daily_bars", "syntax error near 'from'"),
        ("select code from daily_bars where close ~ 1", "syntax error near '~'"),
        ("select '\ud800'", "not valid text"),
        ("", "empty query"),
    ],
)
def test_refuses_what_it_cannot_run(sql, reason):
    with pytest.raises(sql_tables.SQLError, match=reason):
        sql_tables.run(sql)


@pytest.mark.parametrize(
    "sql",
    [
        "delete from instruments",
        "with gone as (select 1) delete from instruments",
        "drop table instruments",
        "insert into instruments (code) values ('x')",
        "update instruments set code = 'x'",
        "create table t (x)",
        "attach database ':memory:' as other",
        "pragma writable_schema = 1",
        "begin",
        "select load_extension('x')",
    ],
)
def test_only_reads(sql):
    with pytest.raises(sql_tables.SQLError, match="^not authorized: the service only runs"):
        sql_tables.run(sql)
    assert len(sql_tables.run("select code from instruments")) == len(instruments())


def test_queries_from_many_threads_get_their_own_answers():
    answers = {}

    def ask(n):
        answers[n] = sql_tables.run(f"select code from instruments limit {n}")

    threads = [threading.Thread(target=ask, args=(n,)) for n in range(1, 9)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert {n: list(frame.code) for n, frame in answers.items()} == {
        n: list(instruments().code[:n]) for n in range(1, 9)
    }


def test_a_forked_child_has_a_database_of_its_own():
    # Forked while another thread holds the database: the child does not wait for it.
    script = textwrap.dedent(
        """
        import os, signal
        from zentaro.support import sql_tables

        with sql_tables._database.lock:
            pid = os.fork()
            if pid == 0:
                signal.alarm(20)
                os._exit(0 if len(sql_tables.run("select 1")) == 1 else 3)
        _, status = os.waitpid(pid, 0)
        print("child", os.waitstatus_to_exitcode(status))
        """
    )
    assert "child 0" in run_child(script).stdout


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
