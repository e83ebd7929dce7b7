"""Fakes for the engine loggers the recorder writes through."""

import contextlib

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


@contextlib.contextmanager
def attributes_kept(module, *names):
    """Puts back the attributes of each module.<name> object on the way out."""
    saved = {name: dict(vars(getattr(module, name))) for name in names}
    try:
        yield
    finally:
        for name, state in saved.items():
            obj = getattr(module, name)
            vars(obj).clear()
            vars(obj).update(state)


@pytest.fixture(autouse=True)
def restore_module_logs():
    """Tests may key or limit the module-level logs; put them back afterwards."""
    with attributes_kept(recorder, "in_log", "log"):
        yield


@pytest.fixture(autouse=True)
def restore_engine_loggers():
    """register_event points the engine's user loggers at `log`; undo that after each test."""
    from corvane.utils import logger

    with attributes_kept(logger, "user_log", "user_system_log"):
        yield


class InLogSpy:
    """Stands for `in_log` inside the stream module: keeps every call, optionally forwards it."""

    def __init__(self, forward=None):
        self.calls = []
        self.forward = forward

    def info(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.forward is not None:
            self.forward.info(*args, **kwargs)

    @property
    def records(self):
        return [args[0] for args, _ in self.calls]


@pytest.fixture
def in_log_spy(monkeypatch):
    from zentaro.mod.kelvo import stream_sink

    spy = InLogSpy()
    monkeypatch.setattr(stream_sink, "in_log", spy)
    return spy
