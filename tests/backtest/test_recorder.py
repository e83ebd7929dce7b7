import datetime
import json
import types

import pytest

from corvane.environment import Environment
from zentaro.mod.kelvo.utils import recorder
from zentaro.mod.kelvo.utils.recorder import BacktestLog, Log, LogEncoder, ShowLog, logtime_support

NOTICE = "日志条数超过限制,以下日志省略"
ENCODE_FAILED = "回测标示编码失败！"


@pytest.fixture
def env(monkeypatch):
    fake = types.SimpleNamespace(calendar_dt="CAL", trading_dt="TRD")
    monkeypatch.setattr(Environment, "_env", fake)
    return fake


def test_module_surface():
    assert recorder.__doc__ == "记录中间数据、日志数据的接口"
    assert recorder.__all__ == ["in_log", "log"]
    assert Log.__doc__ == "记录数据，送入消息中间件"
    assert BacktestLog.__doc__ == "记录内部计算用的日志信息"
    assert ShowLog.__doc__ == "记录外部展示用的日志信息"
    assert type(recorder.in_log) is BacktestLog and type(recorder.log) is ShowLog
    assert issubclass(LogEncoder, json.JSONEncoder)
    assert (Log.topic, Log.has_error, Log.LOG_LIMIT_NUM) == ("Log", False, 10000)
    assert Log.LIMIT_MSG == {"ALL": 0, "INFO": 1, "WARN": 2, "ERROR": 3}
    assert ShowLog.info.__name__ == "info" and ShowLog.warn.__wrapped__.__name__ == "warn"


def test_new_object_state():
    obj = ShowLog()
    assert (obj.key, obj.limited, obj.log_num, obj.is_limit, obj.has_error) == (
        b"",
        0,
        0,
        True,
        False,
    )
    assert "has_error" not in vars(obj)


@pytest.mark.parametrize(
    "key, stored", [("abc", b"abc"), (b"abc", b"abc"), ("", b""), ("标", "标".encode())]
)
def test_set_key_stores_bytes(key, stored):
    obj = ShowLog()
    obj.log_num = 7
    obj.is_limit = False
    assert obj.set_key(key) is None
    assert obj.key == stored and (obj.log_num, obj.is_limit) == (0, True)


def test_set_key_keeps_bytes_object():
    key = b"abc"
    obj = ShowLog()
    obj.set_key(key)
    assert obj.key is key


@pytest.mark.parametrize("bad", [None, 5, "\ud800"])
def test_set_key_encode_failure(system_sink, bad):
    obj = ShowLog()
    obj.set_key(b"old")
    obj.log_num = 3
    obj.is_limit = False
    with pytest.raises(Exception, match=ENCODE_FAILED) as info:
        obj.set_key(bad)
    assert type(info.value) is Exception
    assert system_sink.lines == [("error", ENCODE_FAILED)]
    assert (obj.key, obj.log_num, obj.is_limit) == (b"old", 0, True)


def test_set_limited_sequence():
    obj = ShowLog()
    obj.set_limited("WARN")
    assert (obj.limited, obj.is_limit) == (2, True)
    obj.set_limited("Error", False)
    assert (obj.limited, obj.is_limit) == (3, False)
    obj.set_limited("all")
    assert (obj.limited, obj.is_limit) == (3, True)


def test_set_limited_without_lower_changes_nothing():
    obj = ShowLog()
    with pytest.raises(AttributeError):
        obj.set_limited(3, False)
    assert (obj.limited, obj.is_limit) == (0, True)


def test_set_tofile(monkeypatch, tmp_path):
    calls = []
    monkeypatch.setattr(
        recorder, "log_tofile", lambda logger, name: calls.append((logger, name)) or "H"
    )
    obj = ShowLog()
    assert obj.set_tofile("f.log") == "H"
    assert calls == [(recorder.user_normal_log, "f.log")]
    obj.set_key("k")
    assert obj.set_tofile("g.log") is False and len(calls) == 1


@pytest.mark.parametrize("name", ["info", "error"])
def test_plain_log_methods_are_abstract(name):
    with pytest.raises(NotImplementedError, match=f"log.{name}"):
        getattr(Log(), name)("m", 1, x=2)


def test_limit_and_notice(sink):
    obj = ShowLog()
    for i in range(10002):
        obj.info("line", i)
    written = sink.messages("info")
    assert len(written) == 10001
    assert written[0] == "line 0" and written[9999] == "line 9999"
    assert written[10000] == NOTICE
    assert obj.log_num == 10001


def test_limit_uses_class_value_override(sink):
    class Small(ShowLog):
        LOG_LIMIT_NUM = 2

    obj = Small()
    for i in range(5):
        obj.info(i)
    assert sink.messages() == ["0", "1", NOTICE]


def test_threshold_warn_drops_info_uncounted(sink):
    obj = ShowLog()
    obj.set_limited("warn")
    obj.info("dropped")
    obj.warn("w", 1)
    try:
        raise KeyError("k")
    except KeyError:
        with pytest.raises(KeyError):
            obj.error("e")
    assert obj.log_num == 0
    assert sink.lines == [("warn", "w 1"), ("error", "e")]


def test_threshold_error_drops_warn(sink):
    obj = ShowLog()
    obj.set_limited("error")
    obj.warn("w")
    assert sink.lines == []


def test_not_counting_writes_everything(sink):
    obj = ShowLog()
    obj.LOG_LIMIT_NUM = 1
    obj.set_limited("info", False)
    for i in range(4):
        obj.info(i)
    assert sink.messages() == ["0", "1", "2", "3"] and obj.log_num == 0


def test_keyed_show_log_counts_without_writing(sink):
    obj = ShowLog()
    obj.LOG_LIMIT_NUM = 2
    obj.set_key("run")
    for _ in range(4):
        obj.info("x")
    obj.warn("w")
    assert sink.lines == [] and obj.log_num == 3
    obj.set_key(b"")
    obj.info("back")
    assert sink.messages() == ["back"]


def test_str_key_even_empty_counts_as_keyed(sink):
    obj = ShowLog()
    obj.key = ""
    obj.info("x")
    assert sink.lines == []


@pytest.mark.parametrize("args, text", [((), ""), (("a", 1, None), "a 1 None"), (("só",), "só")])
def test_info_joins_arguments(sink, args, text):
    ShowLog().info(*args, extra="ignored")
    assert sink.messages() == [text]


def test_show_error_not_keyed_writes_then_reraises(sink):
    obj = ShowLog()
    with pytest.raises(ValueError, match="inner") as info:
        try:
            raise ValueError("inner")
        except ValueError:
            obj.error("failed", 2)
    assert sink.lines == [("error", "failed 2")]
    assert info.value.__traceback__ is not None


@pytest.mark.parametrize("cls", [ShowLog, BacktestLog])
def test_keyed_error_reraises_once(sink, cls):
    obj = cls()
    obj.set_key("k")
    for expect_raise in (True, False):
        try:
            raise RuntimeError("boom")
        except RuntimeError:
            if expect_raise:
                with pytest.raises(RuntimeError, match="boom"):
                    obj.error("m")
            else:
                assert obj.error("m") is None
    assert obj.has_error is True and sink.lines == []


@pytest.mark.parametrize("cls", [ShowLog, BacktestLog])
def test_error_outside_handler_returns_none(sink, cls):
    obj = cls()
    assert obj.error("alone") is None
    assert sink.lines == [("error", "alone")]
    obj.set_key("k")
    assert obj.error("alone") is None
    # The flag is set before the re-raise is attempted, so the one re-raise is spent.
    assert vars(obj)["has_error"] is True
    try:
        raise KeyError("later")
    except KeyError:
        assert obj.error("in handler") is None
    assert sink.lines == [("error", "alone")]


def test_backtest_info_hands_object_unchanged(sink):
    record = {"a": 1}
    obj = BacktestLog()
    obj.info(record, "extra", type="RECORD")
    obj.info(message=record)
    assert [m for _, m in sink.lines] == [record, record]
    assert sink.lines[0][1] is record


def test_backtest_error_not_keyed_returns(sink):
    try:
        raise KeyError("x")
    except KeyError:
        assert BacktestLog().error({"e": 1}) is None
    assert sink.lines == [("error", {"e": 1})]


def test_backtest_keyed_info_writes_nothing(sink):
    obj = BacktestLog()
    obj.set_key("k")
    obj.info({"a": 1})
    assert sink.lines == []


def test_backtest_info_requires_message():
    with pytest.raises(TypeError):
        BacktestLog().info()


class Capture:
    def __init__(self):
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return "discarded"


def test_logtime_support_adds_environment_time(env):
    target = Capture()
    wrapped = logtime_support("trading_dt")(target)
    assert wrapped(1, a=2) is None
    wrapped(datetime="mine")
    assert target.calls == [((1,), {"a": 2, "datetime": "TRD"}), ((), {"datetime": "mine"})]


def test_logtime_support_without_environment(monkeypatch):
    monkeypatch.setattr(Environment, "_env", None)
    target = Capture()
    logtime_support("calendar_dt")(target)("x")
    monkeypatch.setattr(Environment, "_env", types.SimpleNamespace())
    logtime_support("calendar_dt")(target)("y")
    assert [kw["datetime"] for _, kw in target.calls] == [None, None]


def test_logtime_support_propagates_other_errors(monkeypatch):
    class Broken:
        @property
        def calendar_dt(self):
            raise ZeroDivisionError

    monkeypatch.setattr(Environment, "_env", Broken())
    with pytest.raises(ZeroDivisionError):
        logtime_support("calendar_dt")(Capture())()


def test_logtime_support_copies_metadata():
    def sample():
        """doc"""

    wrapped = logtime_support("x")(sample)
    assert (wrapped.__name__, wrapped.__doc__, wrapped.__wrapped__) == ("sample", "doc", sample)


class ReadCounter:
    def __init__(self):
        self.reads = []

    @property
    def calendar_dt(self):
        self.reads.append("calendar_dt")

    @property
    def trading_dt(self):
        self.reads.append("trading_dt")


@pytest.mark.parametrize(
    "obj, call, field",
    [
        (BacktestLog(), lambda o: o.info({"r": 1}), "calendar_dt"),
        (BacktestLog(), lambda o: o.error({"r": 1}), "calendar_dt"),
        (ShowLog(), lambda o: o.info("x"), "trading_dt"),
        (ShowLog(), lambda o: o.warn("x"), "trading_dt"),
        (ShowLog(), lambda o: o.error("x"), "trading_dt"),
    ],
)
def test_methods_read_their_time_field(sink, monkeypatch, obj, call, field):
    counter = ReadCounter()
    monkeypatch.setattr(Environment, "_env", counter)
    call(obj)
    assert counter.reads == [field]
    obj.info("y", datetime="given") if isinstance(obj, ShowLog) else obj.info({}, datetime=1)
    assert counter.reads == [field]


def test_log_encoder_falls_back_to_str():
    day = datetime.date(2024, 3, 1)
    text = json.dumps({"d": day, "n": 1, "s": {7}}, cls=LogEncoder)
    assert json.loads(text) == {"d": "2024-03-01", "n": 1, "s": "{7}"}
    assert LogEncoder().default(day) == "2024-03-01"
