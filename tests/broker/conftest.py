"""Fixtures of the trading-account tests: a scripted broker client for exact
answers and failures, a recording logger, and a fresh rate-limit window."""

import copy

import pytest

from zentaro.mod.tradeapi.api import broker_desk as bd
from zentaro.utils.exception import TradeException  # noqa: F401  (re-exported for tests)

ACCOUNT = "80001234"
TOKEN = "tok-123"
LOOKUP = 594177


def lookup_answer(*accounts, **extra):
    records = list(accounts) or [{"AccountID": ACCOUNT, "TradeType": "0", "fund_token": TOKEN}]
    return {"result": {"Accounts": records}, "id": 1, **extra}


class ScriptedClient:
    """Answers by ReqType: a dict, an exception to raise, or a function of the request."""

    def __init__(self):
        self.answers = {LOOKUP: lookup_answer()}
        self.sent = []  # the request objects themselves
        self.snapshots = []  # deep copies, as they were when sent
        self.callbacks = []

    def call_rpc_json(self, request):
        self.sent.append(request)
        self.snapshots.append(copy.deepcopy(request))
        answer = self.answers[request["ReqType"]]
        if isinstance(answer, BaseException):
            raise answer
        return answer(request) if callable(answer) else answer

    def register_callback(self, handler):
        self.callbacks.append(handler)

    def types(self):
        return [r["ReqType"] for r in self.snapshots]


class RecordingLog:
    def __init__(self):
        self.lines = []

    def info(self, tag, extra=None):
        self.lines.append(("info", tag, copy.deepcopy(extra)))

    def error(self, tag, extra=None):
        self.lines.append(("error", tag, copy.deepcopy(extra)))


@pytest.fixture
def client(monkeypatch):
    fake = ScriptedClient()
    monkeypatch.setattr(bd.TraderRPC, "_instance", fake)
    return fake


@pytest.fixture
def log(monkeypatch):
    recorder = RecordingLog()
    monkeypatch.setattr(bd, "system_log", recorder)
    return recorder


@pytest.fixture
def api(client, log):
    return bd.TradeAPI(ACCOUNT)


class FakeClock:
    def __init__(self):
        self.now = 1000.0

    def __call__(self):
        return self.now

    def sleep(self, seconds):
        self.now += max(seconds, 0)


@pytest.fixture(autouse=True)
def clock(monkeypatch):
    """Each test starts with an open window of the shared limiter, on a fake clock."""
    limiter = bd.TradeAPI.secondary_orders._limiter
    fake = FakeClock()
    monkeypatch.setattr(limiter, "clock", fake)
    monkeypatch.setattr(limiter, "last_reset", -1e9)
    monkeypatch.setattr(limiter, "num_calls", 0)
    return fake
