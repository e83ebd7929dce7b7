"""Faults of the back-test side found by review: each test failed on the build before the fix."""

import os
import subprocess
import sys
import tempfile
import types

import pytest

import corvane
from corvane.api import logger as user_logger
from corvane.events import EVENT
from shared.engine import event, make_env
from zentaro.mod.kelvo import stream_sink
from zentaro.mod.kelvo.stream_sink import StreamSink
from zentaro.mod.kelvo.utils import recorder


@pytest.mark.parametrize(
    "print_stats, error",
    [
        (len, TypeError),  # raised by C code: no traceback of its own
        (lambda stream: {}["missing"], KeyError),
    ],
)
def test_output_profile_error_reaches_caller_and_scratch_folder_goes(
    print_stats, error, tmp_path, monkeypatch
):
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))  # where TempDir makes its folder
    env = make_env()
    env.profile_deco = types.SimpleNamespace(print_stats=print_stats)
    cwd = os.getcwd()
    with pytest.raises(error):
        StreamSink(env, None).output_profile(event())
    assert os.getcwd() == cwd
    assert list(tmp_path.iterdir()) == []


def test_register_event_keeps_listeners_added_before_a_failure(monkeypatch):
    no_trade = types.SimpleNamespace(
        **{name: getattr(EVENT, name) for name in EVENT.__members__ if name != "TRADE"}
    )
    monkeypatch.setattr(stream_sink, "EVENT", no_trade)
    env = make_env()
    with pytest.raises(AttributeError):
        StreamSink(env, None).register_event()
    assert [handler for _, handler in env.event_bus.order] == [
        "process_init",
        "system_init",
        "trade_init",
    ]


def log_every_day(context, bars):
    user_logger.info("day", context.now.day)


def test_each_back_test_run_writes_its_own_share_of_lines(sink, monkeypatch):
    monkeypatch.setattr(recorder.log, "LOG_LIMIT_NUM", 4)
    config = {
        "base": {"start_date": "2023-01-03", "end_date": "2023-01-05"},
        "mod": {"kelvo": {"enabled": True}},
    }
    for _ in range(3):
        corvane.run(config, {"handle_bar": log_every_day})
    lines = [m for m in sink.messages("info") if isinstance(m, str)]
    assert lines == ["day 3", "day 4", "day 5"] * 3


def test_a_run_key_from_the_configuration_keys_both_logs(sink):
    config = {"base": {"end_date": "2023-01-04"}, "extra": {"log_key": "run-7"}}
    corvane.run({**config, "mod": {"kelvo": {"enabled": True}}}, {"handle_bar": log_every_day})
    assert (recorder.in_log.key, recorder.log.key) == (b"run-7", b"run-7")
    assert sink.lines == []


# Daemon threads stay inside kit calls that call back into Python while the
# interpreter exits: the interpreter ends them with a forced unwind through the
# C++ frames, which must pass.
BUSY_AT_EXIT = """
import threading, time, types
from zentaro.mod.kelvo.utils import recorder
from zentaro.mod.kelvo.stream_sink import StreamSink
from zentaro.mod.kelvo.mod import KelvoMod

def spin(*args):
    time.sleep(0.0005)

class Slow:
    info = warn = error = staticmethod(spin)
    def output_json(self):
        spin()
        return {}

recorder.user_normal_log = Slow()
recorder.system_log = Slow()
recorder.log_tofile = spin
account = types.SimpleNamespace(positions={"a": Slow()})
portfolio = types.SimpleNamespace(accounts={"S": account}, portfolio_value=1, cash=1, pnl=0)
sink = StreamSink(types.SimpleNamespace(portfolio=portfolio), None)
mod = KelvoMod()

def failure():
    return types.SimpleNamespace(error=ValueError("x"))

calls = [
    lambda: recorder.log.info("x"),
    lambda: recorder.in_log.info({}),
    lambda: recorder.log.set_tofile("f"),
    lambda: recorder.log.set_key(None),
    lambda: sink.get_backtest_data(),
    lambda: mod.tear_down(False, types.SimpleNamespace(error=Slow())),
]

def loop(call):
    while True:
        try:
            call()
        except Exception:
            pass

import zentaro.mod.kelvo.mod as kelvo_mod
kelvo_mod.get_error_message = lambda error: spin() or "trace"
for call in calls:
    for _ in range(2):
        threading.Thread(target=loop, args=(call,), daemon=True).start()
time.sleep(0.2)
"""


def test_exit_with_threads_busy_in_kit_calls_is_clean():
    codes = []
    for _ in range(4):
        run = subprocess.run(
            [sys.executable, "-c", BUSY_AT_EXIT], capture_output=True, text=True, timeout=120
        )
        codes.append((run.returncode, run.stderr[-500:]))
    assert codes == [(0, "")] * 4
