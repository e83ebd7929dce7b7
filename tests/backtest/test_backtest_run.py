"""Whole back-tests through corvane's loop with KelvoMod and the result stream on."""

import datetime
import json

import pytest

import corvane
from corvane.api import logger, order_shares, record
from corvane.events import EVENT
from corvane.utils.disk_persist_provider import DiskPersistProvider
from zentaro.mod.kelvo.errors import UserError
from zentaro.mod.kelvo.utils import recorder

SYMBOLS = ("600000.SH", "000001.SZ")


def buy_on_even_days(context, bars):
    day = context.now.day
    if day % 2 == 0:
        for symbol in SYMBOLS:
            order_shares(symbol, 100)
            logger.info("bought", symbol)
    record(day=day)


def kelvo_config(start="2023-01-03", end="2023-01-13", profile=False, **kelvo):
    settings = {"enabled": True, "enable_stream_sink": True, **kelvo}
    return {
        "base": {"start_date": start, "end_date": end},
        "extra": {"enable_profiler": profile},
        "mod": {"kelvo": settings},
    }


@pytest.fixture
def forwarding_spy(in_log_spy):
    in_log_spy.forward = recorder.in_log
    return in_log_spy


def by_kind(calls):
    kinds = []
    for args, kwargs in calls:
        rec = args[0]
        if kwargs.get("type"):
            kinds.append(kwargs["type"])
        elif "tradelogs" in rec:
            kinds.append("RESULT")
        else:
            kinds.append("SUMMARY")
    return kinds


def test_first_record_and_progress(forwarding_spy, sink):
    result = corvane.run(kelvo_config(start="2023-01-04"), {"handle_bar": buy_on_even_days})
    days = result["trading_days"]
    assert days == 8
    ((first,), first_kw), *rest = forwarding_spy.calls
    assert first_kw == {"datetime": datetime.datetime(2023, 1, 3, 15, 30)}
    assert (
        first["progress"] == 0.0
        and first["tradelogs"] == []
        and first["portfolio_value"] == 1_000_000
    )
    assert by_kind(rest) == ["SUMMARY", "RESULT", "RECORD"] * days
    progress = [args[0]["progress"] for args, kw in rest if "progress" in args[0]]
    assert progress == [k / days for k in range(1, days + 1) for _ in (0, 1)]
    assert progress[-1] == 1.0
    # in_log handed every record, unchanged, to the engine's user log
    assert [m for m in sink.messages("info") if isinstance(m, dict)] == forwarding_spy.records


def test_trades_collected_per_day(in_log_spy):
    corvane.run(kelvo_config(), {"handle_bar": buy_on_even_days})
    results = [args[0] for args, kw in in_log_spy.calls[1:] if "positions" in args[0]]
    records = [args[0] for args, kw in in_log_spy.calls if kw.get("type") == "RECORD"]
    for result, user in zip(results, records, strict=True):
        trades = result["tradelogs"]
        if user["day"] % 2 == 0:
            assert [t["symbol"] for t in trades] == list(SYMBOLS)
            assert all(t["datetime"].endswith("15:00:00") for t in trades)
        else:
            assert trades == []
    assert set(results[-1]["positions"]) == set(SYMBOLS)
    assert results[-1]["positions"]["600000.SH"][0]["quantity"] == 100 * 4


def test_trades_not_collected_are_written_at_once(in_log_spy):
    corvane.run(
        kelvo_config(end="2023-01-04", daily_collect_trade=False), {"handle_bar": buy_on_even_days}
    )
    kinds = by_kind(in_log_spy.calls[1:])
    assert kinds == ["SUMMARY", "RESULT", "RECORD", "TRADE", "TRADE", "SUMMARY", "RESULT", "RECORD"]
    trades = [args[0] for args, kw in in_log_spy.calls if kw.get("type") == "TRADE"]
    assert [t["tradelogs"][0]["symbol"] for t in trades] == list(SYMBOLS)
    assert all(
        args[0]["tradelogs"] == [] for args, kw in in_log_spy.calls if "positions" in args[0]
    )


def test_user_record_at_configured_day_end(in_log_spy):
    corvane.run(
        kelvo_config(end="2023-01-04", daily_last_event="AFTER_TRADING"),
        {"handle_bar": buy_on_even_days},
    )
    assert by_kind(in_log_spy.calls[1:]) == ["RECORD", "SUMMARY", "RESULT"] * 2
    assert [args[0] for args, kw in in_log_spy.calls if kw.get("type") == "RECORD"] == [
        {"day": 3},
        {"day": 4},
    ]


def test_user_and_profiler_lines_go_through_log(sink):
    corvane.run(kelvo_config(end="2023-01-05", profile=True), {"handle_bar": buy_on_even_days})
    texts = [m for m in sink.messages("info") if isinstance(m, str)]
    assert texts[:2] == ["bought 600000.SH", "bought 000001.SZ"]
    assert "Function: buy_on_even_days" in texts[-1] and not texts[-1].endswith("\n")
    assert recorder.log.log_num == len(texts)


def test_keyed_run_writes_nothing(sink):
    recorder.in_log.set_key("run-1")
    recorder.log.set_key("run-1")
    corvane.run(kelvo_config(end="2023-01-05", profile=True), {"handle_bar": buy_on_even_days})
    assert sink.lines == []


def test_engine_rejection_line_does_not_end_run(sink):
    def oversell(context, bars):
        order_shares("600000.SH", -100)

    result = corvane.run(kelvo_config(end="2023-01-04"), {"handle_bar": oversell})
    assert result["trading_days"] == 2
    assert [m for m in sink.messages("warn")] == ["订单被拒绝: 600000.SH -100: 持仓不足"] * 2


def test_records_kept_by_a_consumer_keep_their_trades(monkeypatch):
    kept = []
    from zentaro.mod.kelvo import stream_sink

    monkeypatch.setattr(
        stream_sink, "in_log", type("Queue", (), {"info": lambda self, r, **kw: kept.append(r)})()
    )
    corvane.run(kelvo_config(end="2023-01-06"), {"handle_bar": buy_on_even_days})
    results = [r for r in kept if "positions" in r]
    assert [len(r["tradelogs"]) for r in results] == [0, 0, 2, 0, 2]


def test_failed_run_ends_in_user_error(sink):
    def broken(context, bars):
        raise ZeroDivisionError("strategy bug")

    with pytest.raises(UserError) as info:
        corvane.run(kelvo_config(), {"handle_bar": broken})
    assert info.value.error_type == "回测运行错误"
    assert "ZeroDivisionError: strategy bug" in info.value.traceback_msg
    assert isinstance(info.value.__context__, ZeroDivisionError)


def test_state_persisted_each_day(tmp_path):
    provider = DiskPersistProvider(str(tmp_path / "state"))
    result = corvane.run(kelvo_config(persist_provider=provider), {"handle_bar": buy_on_even_days})
    portfolio = json.loads(provider.load("portfolio"))
    broker = json.loads(provider.load("broker"))
    stock = portfolio["accounts"]["STOCK"]
    assert stock["cash"] == pytest.approx(result["cash"])
    assert stock["positions"]["000001.SZ"]["quantity"] == 400
    assert broker["next_trade_id"] == 9


def test_full_year_reaches_progress_one(in_log_spy):
    result = corvane.run(
        kelvo_config(start="2023-01-01", end="2023-12-31", daily_last_event=EVENT.POST_SETTLEMENT),
        {"handle_bar": buy_on_even_days},
    )
    assert result["trading_days"] == 250
    results = [args[0] for args, kw in in_log_spy.calls if "positions" in args[0]]
    assert len(results) == 251 and results[-1]["progress"] == 1.0
