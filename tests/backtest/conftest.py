"""Fakes for the engine loggers the recorder writes through."""

import pytest

from zentaro.mod.kelvo.utils import recorder


class LineSink:
    """Stands for the engine's user_normal_log: keeps (level, message) pairs."""

    def __init__(self):
        self.lines = []

    def info(self, message):
        self.lines.append(("info", message))

    def warn(self, message):
        self.lines.append(("warn", message))

    def error(self, message):
        self.lines.append(("error", message))

    def messages(self, level=None):
        return [m for lvl, m in self.lines if level in (None, lvl)]


@pytest.fixture
def sink(monkeypatch):
    fake = LineSink()
    monkeypatch.setattr(recorder, "user_normal_log", fake)
    return fake


@pytest.fixture
def system_sink(monkeypatch):
    fake = LineSink()
    monkeypatch.setattr(recorder, "system_log", fake)
    return fake


@pytest.fixture
def fresh_logs():
    """New log objects, so tests don't share the module objects' counters and flags."""
    return recorder.BacktestLog(), recorder.ShowLog()


@pytest.fixture(autouse=True)
def restore_module_logs():
    """Tests may key or limit the module-level logs; put them back afterwards."""
    saved = {name: dict(vars(getattr(recorder, name))) for name in ("in_log", "log")}
    yield
    for name, state in saved.items():
        obj = getattr(recorder, name)
        vars(obj).clear()
        vars(obj).update(state)
