"""The back-test side's classes and functions behave like Python's: bound methods
compare, hash and weak-reference like a def's, signatures and help read."""

import inspect
import json
import pydoc
import subprocess
import sys
import types

import pytest

from corvane.environment import Environment
from shared.citizens import assert_python_method, declared_signature
from shared.engine import make_env
from zentaro.mod.kelvo.mod import KelvoMod
from zentaro.mod.kelvo.stream_sink import StreamSink
from zentaro.mod.kelvo.utils import recorder
from zentaro.mod.kelvo.utils.recorder import BacktestLog, Log, LogEncoder, ShowLog

SINK_HANDLERS = [
    "system_init",
    "process_init",
    "trade_init",
    "trade_add",
    "backtest_trade_data",
    "output_record",
    "output_profile",
]


def objects():
    return {
        "Log": Log(),
        "ShowLog": ShowLog(),
        "BacktestLog": BacktestLog(),
        "LogEncoder": LogEncoder(),
        "StreamSink": StreamSink(make_env(), None),
        "KelvoMod": KelvoMod(),
    }


BOUND = [
    *[("Log", m) for m in ("set_key", "set_limited", "set_tofile", "info", "error")],
    *[("ShowLog", m) for m in ("info", "warn", "error", "set_key")],
    *[("BacktestLog", m) for m in ("info", "error", "set_limited")],
    ("LogEncoder", "default"),
    *[("StreamSink", m) for m in ["register_event", "get_backtest_data", *SINK_HANDLERS]],
    ("KelvoMod", "start_up"),
    ("KelvoMod", "tear_down"),
]


@pytest.mark.parametrize("owner, name", BOUND)
def test_bound_methods_behave_like_python_ones(owner, name):
    obj = objects()[owner]
    method = assert_python_method(obj, name)
    assert method.__self__ is obj


# Each shows the parameters its kit function declares (the build's signature text).
SIGNATURES = [
    Log,
    ShowLog,
    BacktestLog,
    StreamSink,
    KelvoMod,
    recorder.logtime_support,
    recorder.logtime_support("trading_dt"),
    Log().set_key,
    Log().set_limited,
    Log().set_tofile,
    Log().info,
    Log().error,
    BacktestLog().info,
    BacktestLog().error,
    ShowLog().info,
    ShowLog().warn,
    ShowLog().error,
    LogEncoder().default,
    StreamSink(None, None).register_event,
    StreamSink(None, None).get_backtest_data,
    *[getattr(StreamSink(None, None), name) for name in SINK_HANDLERS],
    KelvoMod().start_up,
    KelvoMod().tear_down,
]


@pytest.mark.parametrize("target", SIGNATURES, ids=lambda v: v.__qualname__)
def test_signatures(target):
    assert str(inspect.signature(target)) == declared_signature(target)


@pytest.mark.parametrize(
    "name", ["Log", "ShowLog", "BacktestLog", "LogEncoder", "StreamSink", "KelvoMod"]
)
def test_help_renders_for_class_and_instance(name):
    obj = objects()[name]
    for target in (type(obj), obj):
        text = pydoc.render_doc(target)
        assert name in text
    for attr, member in vars(type(obj)).items():
        if callable(member) and not attr.startswith("_abc"):
            assert member.__doc__, f"{name}.{attr} has no docstring"


def test_module_function_docstrings():
    assert recorder.logtime_support.__doc__
    assert recorder.logtime_support.__module__ == recorder.__name__


def test_none_is_taken_where_python_takes_it(monkeypatch):
    monkeypatch.setattr(Environment, "_env", None)
    calls = []
    monkeypatch.setattr(recorder, "log_tofile", lambda *args: calls.append(args))
    assert ShowLog().set_tofile(None) is None and calls[0][1] is None
    assert LogEncoder().default(None) == "None"
    assert json.dumps([None], cls=LogEncoder) == "[null]"
    sink = StreamSink(None, None, None, None)
    assert (sink._env, sink._daily_last_event, sink._collect_trade, sink._style) == (None,) * 4
    assert KelvoMod().tear_down(None, None) is None
    with pytest.raises(AttributeError):  # None has no lower(), as in Python
        ShowLog().set_limited(None)
    with pytest.raises(TypeError):  # getattr(env, None) in Python
        recorder.logtime_support(None)(lambda **kw: None)()


def test_decorated_function_takes_attributes_and_wraps():
    def sample(*args, **kwargs):
        """doc"""

    wrapped = recorder.logtime_support("calendar_dt")(sample)
    wrapped.note = 1
    assert (wrapped.note, wrapped.__wrapped__, wrapped.__doc__) == (1, sample, "doc")
    assert inspect.signature(wrapped) == inspect.signature(sample)
    assert isinstance(types.MethodType(wrapped, object()), types.MethodType)


DROPPED = """
import gc, sys
import zentaro.mod.kelvo.utils as package
from zentaro.mod.kelvo.utils import recorder
ShowLog, Log, BacktestLog = recorder.ShowLog, recorder.Log, recorder.BacktestLog
del sys.modules[recorder.__name__], package.recorder, recorder
gc.collect()
for call in (
    lambda: Log().set_tofile("x"),
    lambda: ShowLog.info.__wrapped__(Log(), "x"),
    lambda: ShowLog().info("x"),
    lambda: BacktestLog().info({"pnl": 1}),
    lambda: BacktestLog().error("x", datetime=None),
):
    try:
        call()
    except RuntimeError as error:
        print(error)
"""


def test_logs_kept_after_their_module_is_dropped_raise_cleanly():
    run = subprocess.run([sys.executable, "-c", DROPPED], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == ["zentaro.mod.kelvo.utils.recorder has been unloaded"] * 5
