import datetime
import gc
import sys

import pytest

import corvane
from corvane.api import order_shares
from corvane.environment import Environment
from corvane.utils.disk_persist_provider import DiskPersistProvider
from shared.paper import Journal, paper_fakes
from zentaro.mod.kelvo.modules.zrcelery_utils import paper_book
from zentaro.mod.kelvo.modules.zrcelery_utils.paper_book import PaperBook

DOC = (
    "实时读取simulate序列化信息获取数据\n"
    "    portfolio读取当前交易组合相关信息\n"
    "    ps:trade_logs交易日志将考虑像回测日志一样实时落库\n"
    "    "
)


# ------------------------------------------------------------- real state


def buy_and_trim(context, bars):
    day = context.now.day
    if day == 4:
        order_shares("600519.SH", 100)
        order_shares("000001.SZ", 5000)
    elif day == 9:
        order_shares("000001.SZ", -2000)


@pytest.fixture(scope="module")
def persisted(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("paper"))
    config = {
        "base": {"start_date": "2023-01-03", "end_date": "2023-01-12", "capital_base": 500_000},
        "mod": {
            "kelvo": {
                "enabled": True,
                "enable_stream_sink": False,
                "persist_provider": DiskPersistProvider(path),
            }
        },
    }
    result = corvane.run(config, {"handle_bar": buy_and_trim})
    return path, result


def test_docstring():
    assert PaperBook.__doc__ == DOC


def test_view_shows_the_run_portfolio(persisted):
    path, result = persisted
    book = PaperBook("CN", "1d", "paper-1", 500_000, path)
    run_portfolio = result["env"].portfolio
    assert book.total_asset_value == pytest.approx(result["total_value"])
    assert book.ending_cash == pytest.approx(result["cash"])
    assert book.market_value == pytest.approx(run_portfolio.market_value)
    assert book.profit_and_loss == pytest.approx(result["pnl"])
    records = book.positions
    assert [(r["symbol"], r["quantity"]) for r in records] == [
        ("600519.SH", 100),
        ("000001.SZ", 3000),
    ]
    stamp = records[0]["position_date"]
    assert datetime.datetime.strptime(stamp, "%Y-%m-%dT%H:%M:%S")
    assert all(r["position_date"] == stamp for r in records)
    broker = Environment._env.broker
    assert broker._next_trade_id == 4 and Environment._env.portfolio is book.portfolio


def test_view_without_state_is_fresh(tmp_path):
    book = PaperBook("cn", "day", None, 123_000, str(tmp_path))
    assert (book.total_asset_value, book.market_value, book.positions) == (123_000, 0, [])


def test_bad_frequency_and_market(tmp_path):
    with pytest.raises(KeyError):
        PaperBook("CN", "weekly", 1, 1, str(tmp_path)).portfolio
    with pytest.raises(AttributeError):
        PaperBook(7, "1d", 1, 1, str(tmp_path)).portfolio


def test_constructor_stores_and_builds_nothing_else(tmp_path):
    before = Environment._env
    book = PaperBook(
        stock_market="CN", frequency="1d", paper_id="p", capital_base=5, path=str(tmp_path)
    )
    assert (book.stock_market, book.frequency, book.paper_id, book.capital_base) == (
        "CN",
        "1d",
        "p",
        5,
    )
    assert isinstance(book.cluster_conn, DiskPersistProvider)
    assert Environment._env is before and "portfolio" not in vars(book)
    with pytest.raises(TypeError):
        PaperBook("CN", "1d", "p", 5)


# ---------------------------------------------------- fakes: call order


def install_fakes(monkeypatch, journal, stored, broker_conf=True, records=None):
    fakes, _ = paper_fakes(journal, stored, broker_conf, records)
    for name, value in fakes.items():
        monkeypatch.setattr(paper_book, name, value)
    return fakes["Environment"]


def test_restore_order_with_broker_conf(monkeypatch):
    journal = Journal()
    install_fakes(monkeypatch, journal, {"portfolio": "P-STATE", "broker": "B-STATE"})
    book = PaperBook("SH", "1d", "x", 99, "path")
    assert book.total_asset_value == 1 and book.ending_cash == 2
    assert (book.market_value, book.profit_and_loss) == (3, 4)
    assert journal == [
        ("service", (None, None, None, None)),
        ("gen_mod_config", {"base": {"frequency": "ENGINE_1D"}}, "sh", 99),
        ("Environment", "CONFIG"),
        ("set_env",),
        ("start_up",),
        ("BarMap", "PROXY", "F"),
        ("update_dt",),
        ("set_bar_dict", "BARS"),
        ("env.calendar_dt",),
        ("get_portfolio",),
        ("load", "portfolio"),
        ("set_state", "P-STATE"),
        ("env.portfolio",),
        ("load", "broker"),
        ("set_state_conf", "B-STATE"),
    ]


@pytest.mark.parametrize("stored", [{}, {"portfolio": None, "broker": None}])
def test_missing_state_is_skipped(monkeypatch, stored):
    journal = Journal()
    install_fakes(monkeypatch, journal, stored)
    PaperBook("SH", "1d", "x", 99, "path").portfolio
    assert not any(e[0] in ("set_state", "set_state_conf") for e in journal)
    assert ("load", "broker") in journal


def test_broker_without_state_conf(monkeypatch):
    journal = Journal()
    install_fakes(monkeypatch, journal, {"portfolio": "P", "broker": "B"}, broker_conf=False)
    book = PaperBook("SH", "1d", "x", 99, "path")
    book.portfolio
    assert journal[-2:] == [("load", "portfolio"), ("set_state", "P")]


def test_portfolio_restored_once(monkeypatch):
    journal = Journal()
    install_fakes(monkeypatch, journal, {})
    book = PaperBook("SH", "1d", "x", 99, "path")
    book.total_asset_value, book.ending_cash, book.positions
    assert journal.count(("get_portfolio",)) == 1


def test_failed_restore_starts_again(monkeypatch):
    journal = Journal()
    install_fakes(monkeypatch, journal, {})
    book = PaperBook("SH", "1d", "x", 99, "path")
    calls = []
    real = paper_book.ModHandler

    class FailingOnce(real):
        def start_up(self):
            calls.append(1)
            if len(calls) == 1:
                raise OSError("engine")

    monkeypatch.setattr(paper_book, "ModHandler", FailingOnce)
    with pytest.raises(OSError):
        book.portfolio
    assert book.portfolio is book.portfolio and len(calls) == 2


class Pos:
    def __init__(self, *records):
        self.records = records

    def output_json(self):
        return iter(self.records)


def test_positions_flatten_in_order(monkeypatch):
    records = {"a": Pos({"n": 1}, {"n": 2, "position_date": "old"}), "b": Pos({"n": 3}, [("n", 4)])}
    install_fakes(monkeypatch, Journal(), {}, records=records)
    result = PaperBook("SH", "1d", "x", 1, "p").positions
    assert [r["n"] for r in result] == [1, 2, 3, 4]
    assert len({r["position_date"] for r in result}) == 1 and result[1]["position_date"] != "old"
    assert list(result[1]) == ["n", "position_date"]
    assert (
        result[0] is not records["a"].records[0] and "position_date" not in records["a"].records[0]
    )


@pytest.mark.parametrize(
    "records, error, text",
    [
        (None, AttributeError, "items"),
        ({"a": Pos(None)}, TypeError, "argument after \\*\\* must be a mapping, not NoneType"),
        ({"a": Pos(5)}, TypeError, None),
    ],
)
def test_position_errors(monkeypatch, records, error, text):
    install_fakes(monkeypatch, Journal(), {}, records=records)
    book = PaperBook("SH", "1d", "x", 1, "p")
    book.portfolio.__class__.positions = records
    with pytest.raises(error, match=text):
        book.positions


# ------------------------------------------------------------ finaliser


def test_del_discards_own_current_environment(monkeypatch):
    env_cls = install_fakes(monkeypatch, Journal(), {})
    book = PaperBook("SH", "1d", "x", 1, "p")
    book.portfolio
    assert env_cls._env is not None
    del book
    gc.collect()
    assert env_cls._env is None


def test_del_leaves_another_runs_environment(monkeypatch):
    env_cls = install_fakes(monkeypatch, Journal(), {})
    book = PaperBook("SH", "1d", "x", 1, "p")
    book.portfolio
    other = env_cls("OTHER")
    del book
    gc.collect()
    assert env_cls._env is other


def test_del_without_portfolio_leaves_environment(monkeypatch):
    env_cls = install_fakes(monkeypatch, Journal(), {})
    current = env_cls("RUN")
    PaperBook("SH", "1d", "x", 1, "p").__del__()
    assert env_cls._env is current


def test_del_errors_never_propagate(monkeypatch):
    install_fakes(monkeypatch, Journal(), {})
    book = PaperBook("SH", "1d", "x", 1, "p")
    book.portfolio
    monkeypatch.setattr(paper_book, "Environment", None)
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda info: seen.append(info.exc_type))
    assert book.__del__() is None
    assert seen == [AttributeError]


def test_paper_id_has_no_effect(persisted):
    path, _ = persisted
    first = PaperBook("CN", "1d", "a", 500_000, path)
    second = PaperBook("CN", "1d", {"any": "thing"}, 500_000, path)

    def strip(rows):
        return [{k: v for k, v in r.items() if k != "position_date"} for r in rows]

    assert first.total_asset_value == second.total_asset_value
    assert strip(first.positions) == strip(second.positions)
