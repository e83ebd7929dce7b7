"""Fakes of the trading-account tests: a scripted broker client for exact answers
and failures, a recording logger and a clock for the rate limiter."""

import copy

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


class FakeClock:
    def __init__(self):
        self.now = 1000.0

    def __call__(self):
        return self.now

    def sleep(self, seconds):
        self.now += max(seconds, 0)
