import subprocess
import sys
import types

import pytest

from corvane.interface import AbstractMod
from shared.engine import make_env
from zentaro.mod.kelvo import mod as kelvo_mod
from zentaro.mod.kelvo.errors import UserError
from zentaro.mod.kelvo.mod import KelvoMod


class ModConfig:
    """Mod settings that note every attribute read."""

    def __init__(self, journal, **values):
        object.__setattr__(self, "_journal", journal)
        object.__setattr__(self, "_values", values)

    def __getattr__(self, name):
        self._journal.append(("read", name))
        return self._values[name]


@pytest.fixture
def journal(monkeypatch):
    calls = []
    monkeypatch.setattr(kelvo_mod, "export_as_api", lambda obj: calls.append(("export", obj)))
    monkeypatch.setattr(
        kelvo_mod, "register_api", lambda name, obj: calls.append(("register", name, obj))
    )
    monkeypatch.setattr(
        kelvo_mod, "api_comm", types.SimpleNamespace(__all__=["a", "b"], a="A", b="B")
    )
    monkeypatch.setattr(kelvo_mod, "research_cls", types.SimpleNamespace(__all__=["r"], r="R"))
    monkeypatch.setattr(kelvo_mod, "research_api", types.SimpleNamespace(__all__=["q"], q="Q"))

    class EventFunc:
        def __init__(self, *args):
            calls.append(("EventFunc", args))

        def register_event(self, *args):
            calls.append(("event_func.register", args))

    monkeypatch.setattr(kelvo_mod, "EventFunc", EventFunc)
    return calls


def env_for(calls):
    env = make_env()
    env.set_persist_provider = lambda p: calls.append(("persist", p))
    return env


def test_module_surface():
    assert issubclass(KelvoMod, AbstractMod)
    assert KelvoMod()._env is None
    from zentaro.mod.kelvo import research

    assert kelvo_mod.research_cls is research
    assert kelvo_mod.UserError is UserError


def test_start_up_order_with_stream(journal, sink):
    env = env_for(journal)
    config = ModConfig(
        journal,
        enable_stream_sink=True,
        daily_last_event="END",
        daily_collect_trade=False,
        style="NORMAL",
        persist_provider="P",
    )
    assert KelvoMod().start_up(env, config) is None
    assert journal == [
        ("read", "enable_stream_sink"),
        ("read", "daily_last_event"),
        ("read", "daily_collect_trade"),
        ("read", "style"),
        ("export", "A"),
        ("export", "B"),
        ("register", "r", "R"),
        ("export", "Q"),
        ("read", "persist_provider"),
        ("read", "persist_provider"),
        ("persist", "P"),
        ("EventFunc", (env,)),
        ("event_func.register", ()),
    ]
    registered = env.event_bus.order
    assert len(registered) == 7 and registered[5] == ("END", "output_record")


@pytest.mark.parametrize("provider", [None, 0, ""])
def test_stream_off_and_no_provider(journal, provider):
    env = env_for(journal)
    config = ModConfig(journal, enable_stream_sink=False, persist_provider=provider)
    KelvoMod().start_up(env, config)
    reads = [c[1] for c in journal if c[0] == "read"]
    assert reads == ["enable_stream_sink", "persist_provider"]
    assert not any(c[0] == "persist" for c in journal) and env.event_bus.order == []


def test_empty_lists_publish_nothing(journal, monkeypatch):
    for name in ("api_comm", "research_cls", "research_api"):
        monkeypatch.setattr(kelvo_mod, name, types.SimpleNamespace(__all__=[]))
    KelvoMod().start_up(
        env_for(journal), ModConfig(journal, enable_stream_sink=False, persist_provider=None)
    )
    assert [c[0] for c in journal if c[0] != "read"] == ["EventFunc", "event_func.register"]


def test_missing_listed_name_stops_start_up(journal, monkeypatch):
    monkeypatch.setattr(kelvo_mod, "api_comm", types.SimpleNamespace(__all__=["gone"]))
    with pytest.raises(AttributeError):
        KelvoMod().start_up(
            env_for(journal), ModConfig(journal, enable_stream_sink=False, persist_provider="P")
        )
    assert not any(c[0] in ("persist", "EventFunc") for c in journal)


def test_stream_module_not_imported_when_off():
    code = (
        "import sys, types\n"
        "from zentaro.mod.kelvo.mod import KelvoMod\n"
        "from corvane.environment import Environment\n"
        "env = Environment({})\n"
        "cfg = types.SimpleNamespace(enable_stream_sink=False, persist_provider=None)\n"
        "KelvoMod().start_up(env, cfg)\n"
        "print('zentaro.mod.kelvo.stream_sink' in sys.modules)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


@pytest.mark.parametrize("success", [True, False, None])
def test_tear_down_without_exception(success):
    assert KelvoMod().tear_down(success) is None
    assert KelvoMod().tear_down(success, None) is None


def test_tear_down_raises_user_error(monkeypatch):
    monkeypatch.setattr(kelvo_mod, "get_error_message", lambda error: f"trace of {error!r}")
    failure = types.SimpleNamespace(error=ValueError("x"))
    with pytest.raises(UserError) as info:
        KelvoMod().tear_down(False, failure)
    assert info.value.error_type == "回测运行错误"
    assert info.value.traceback_msg == "trace of ValueError('x')"


def test_tear_down_lookup_errors_propagate():
    with pytest.raises(AttributeError):
        KelvoMod().tear_down(False, object())
