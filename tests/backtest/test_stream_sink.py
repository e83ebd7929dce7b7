import datetime

import pytest

from corvane.events import EVENT
from corvane.utils import logger
from shared.engine import Profiler, Trade, account, event, make_env
from zentaro.mod.kelvo import stream_sink
from zentaro.mod.kelvo.stream_sink import StreamSink
from zentaro.mod.kelvo.utils import recorder


def sink_for(env, collect=True, style="NORMAL", last=EVENT.POST_SETTLEMENT):
    return StreamSink(env, last, collect, style)


def test_module_imports_and_constructor_state():
    import io

    assert stream_sink.io is io and stream_sink.EVENT is EVENT
    assert stream_sink.in_log is recorder.in_log and stream_sink.log is recorder.log
    env = make_env()
    sink = StreamSink(env, "LAST")
    assert (sink._env, sink._trading_length, sink._process) == (env, 0, 0)
    assert (sink._daily_last_event, sink._collect_trade, sink._style, sink.trade_log) == (
        "LAST",
        True,
        "NORMAL",
        [],
    )
    sink.extra = 1  # instances take new attributes


def test_register_event_order_and_logger_redirect(sink):
    env = make_env()
    StreamSink(env, None).register_event()
    assert env.event_bus.order == [
        (EVENT.POST_USER_INIT, "process_init"),
        (EVENT.POST_SYSTEM_INIT, "system_init"),
        (EVENT.PRE_BEFORE_TRADING, "trade_init"),
        (EVENT.TRADE, "trade_add"),
        (EVENT.POST_SETTLEMENT, "backtest_trade_data"),
        (None, "output_record"),
        (EVENT.ON_LINE_PROFILER_RESULT, "output_profile"),
    ]
    for name in ("info", "warn", "error"):
        for target in (logger.user_log, logger.user_system_log):
            assert getattr(target, name) == getattr(recorder.log, name)
    logger.user_log.info("a", "b")
    with pytest.raises(RuntimeError):
        try:
            raise RuntimeError("engine")
        except RuntimeError:
            logger.user_system_log.error("bad")
    assert sink.lines == [("info", "a b"), ("error", "bad")]


def test_engine_error_line_outside_handler_does_not_end_run(sink):
    StreamSink(make_env(), None).register_event()
    assert logger.user_system_log.error("lonely") is None
    assert sink.lines == [("error", "lonely")]


def test_process_init_stamps_1530_of_previous_day(in_log_spy):
    env = make_env()
    sink = sink_for(env)
    sink.system_init(event())
    sink.process_init(event())
    ((args, kwargs),) = in_log_spy.calls
    assert kwargs == {"datetime": datetime.datetime(2024, 3, 1, 15, 30, 7)}
    assert args[0]["progress"] == 0.0 and isinstance(args[0]["progress"], float)


def test_progress_before_system_init_is_integer_zero():
    record = sink_for(make_env()).get_backtest_data()
    assert record["progress"] == 0 and type(record["progress"]) is int
    assert list(record) == [
        "tradelogs",
        "positions",
        "progress",
        "portfolio_value",
        "ending_cash",
        "pnl",
    ]


def test_settlement_writes_summary_then_record(in_log_spy):
    env = make_env(days=10)
    sink = sink_for(env)
    sink.system_init(event())
    sink.backtest_trade_data(event())
    summary, record = in_log_spy.records
    assert summary == {"progress": 0.1, "portfolio_value": 100.0, "ending_cash": 40.0, "pnl": -1.5}
    assert list(summary) == ["progress", "portfolio_value", "ending_cash", "pnl"]
    assert record["positions"] == {"a": {"v": 1}} and record["progress"] == 0.1
    assert all(kwargs == {} for _, kwargs in in_log_spy.calls)


def test_positions_merge_keeps_first_place_and_later_value():
    accounts = {"S": account(x=1, y=2), "F": account(z=3, x=9)}
    record = sink_for(make_env(accounts=accounts)).get_backtest_data()
    assert list(record["positions"].items()) == [("x", {"v": 9}), ("y", {"v": 2}), ("z", {"v": 3})]


def test_other_style_leaves_trades_and_positions_out():
    sink = sink_for(make_env(), style="SIMPLE")
    sink.trade_add(event(trade=Trade(1)))
    record = sink.get_backtest_data()
    assert (record["tradelogs"], record["positions"]) == ([], {})
    assert sink.trade_log == [{"trade": 1}]


def test_record_trades_survive_the_next_day(in_log_spy):
    sink = sink_for(make_env())
    sink.trade_add(event(trade=Trade(1)))
    sink.backtest_trade_data(event())
    kept = in_log_spy.records[1]
    sink.trade_init(event())
    assert kept["tradelogs"] == [{"trade": 1}] and sink.trade_log == []


def test_trade_init_empties_in_place():
    sink = sink_for(make_env())
    same = sink.trade_log
    sink.trade_add(event(trade=Trade(1)))
    sink.trade_init(event())
    assert sink.trade_log is same and same == []


@pytest.mark.parametrize("trade", [None, 0, ""])
def test_false_trade_changes_nothing(in_log_spy, trade):
    for collect in (True, False):
        sink = sink_for(make_env(), collect=collect)
        sink.trade_add(event(trade=trade))
        assert sink.trade_log == []
    assert in_log_spy.calls == []


def test_uncollected_trades_are_written_at_once(in_log_spy):
    sink = sink_for(make_env(), collect=False)
    sink.trade_add(event(trade=Trade(1)))
    sink.trade_add(event(trade=Trade(2)))
    assert in_log_spy.calls == [
        (({"tradelogs": [{"trade": 1}]},), {"type": "TRADE"}),
        (({"tradelogs": [{"trade": 2}]},), {"type": "TRADE"}),
    ]
    assert sink.trade_log == []


def test_output_record(in_log_spy):
    env = make_env()
    sink = sink_for(env)
    empty = env.record_dict
    sink.output_record(event())
    assert env.record_dict is empty and in_log_spy.calls == []
    env.record_dict = user = {"k": 1}
    sink.output_record(event())
    sink.output_record(event())
    assert in_log_spy.calls == [((user,), {"type": "RECORD"})]
    assert in_log_spy.records[0] is user and env.record_dict == {} and env.record_dict is not user


@pytest.mark.parametrize(
    "text, written", [("report\n\n", ["report"]), ("", [""]), ("a\n b \n", ["a\n b"])]
)
def test_output_profile_strips_and_writes(sink, text, written):
    env = make_env()
    env.profile_deco = Profiler(text)
    sink_for(env).output_profile(event())
    assert sink.messages() == written


@pytest.mark.parametrize(
    "setup", [lambda log: log.set_key("k"), lambda log: log.set_limited("warn")]
)
def test_output_profile_follows_log_rules(sink, setup):
    setup(recorder.log)
    sink_for(make_env()).output_profile(event())
    assert sink.lines == []


def test_output_profile_exits_temp_dir_on_failure(monkeypatch):
    seen = []

    class Scratch:
        def __enter__(self):
            seen.append("enter")

        def __exit__(self, *exc):
            seen.append(exc[0])
            return False

    class Broken:
        def print_stats(self, stream):
            raise OSError("profiler")

    monkeypatch.setattr(stream_sink, "TempDir", Scratch)
    env = make_env()
    env.profile_deco = Broken()
    with pytest.raises(OSError, match="profiler"):
        sink_for(env).output_profile(event())
    assert seen == ["enter", OSError]


def test_handler_errors_propagate():
    env = make_env()
    del env.portfolio
    with pytest.raises(AttributeError):
        sink_for(env).get_backtest_data()
